// The job runner: the server merge job (mode 4) on small zones built byte by byte, checked by the
// exact sequence of its log texts, the upgrade loop, the ends of a job (failure, error, unknown
// mode), and the queue that runs jobs one after another.
#include "jobs/job.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "common/datetime.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "platform/codepage.h"
#include "support/bytes.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/zones.h"

namespace zkq {
namespace {

using test::G;
using test::GetLe32;
using test::kHeaderSize;
using test::kKem0330RecordSize;
using test::kKem0820RecordSize;
using test::kKemRecordSize;
using test::MakeZone;
using test::ReadBytes;
using test::SameBytes;
using test::SavedTexts;
using test::Texts;
using test::WriteBytes;
using test::Zone;
namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

// ---- Zones ----

JobParams ServerJob(const Zone& main, const Zone& slave) {
  JobParams p;
  p.Mode = 4;
  p.Param = {main.id().string(),   slave.id().string(), main.hum().string(),
             slave.hum().string(), main.kem().string(), slave.kem().string()};
  return p;
}

// ---- Log texts ----

void Append(Lines& to, const Lines& more) {
  to.insert(to.end(), more.begin(), more.end());
}

std::string ProbeLine(const fs::path& kem) {
  return kem.string() + G(" 源数据备份成功!");
}

// The lines of one upgrade of `kem` from layout 0330 (kind 1) or 0820 (kind 2).
Lines UpgradeLines(const fs::path& kem, int kind) {
  return {kem.string() + G(" 原数据备份成功!准备升级数据格式!"),
          G(kind == 1 ? "老ZKQ3 0330数据结构正在升级..." : "新ZKQ3 0820数据结构正在升级...")};
}

// The bytes of the one data backup "Kem#yyyyMMdd.db.bak" in a folder.
std::string DataBackupIn(const fs::path& dir) {
  std::vector<fs::path> found;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (name.size() == 19 && name.rfind("Kem#", 0) == 0 && name.substr(12) == ".db.bak")
      found.push_back(e.path());
  }
  EXPECT_EQ(found.size(), 1u) << dir;
  return found.size() == 1 ? ReadBytes(found[0]) : std::string();
}

class JobTest : public test::FileTest {
 protected:
  JobTest() { Log().Reset(); }
  ~JobTest() override { Log().Reset(); }
};

// ---- The server merge job ----

// main: accounts AMY, BEN; characters KING (AMY), QUEEN (BEN).
// slave: accounts BEN, CAT; characters QUEEN (BEN), ROOK (CAT).
// BEN becomes BENa, QUEEN becomes QUEENa.
struct TwoZones {
  Zone main, slave;
};

TwoZones MakeTwoZones(const fs::path& root, size_t mainLayout = kKemRecordSize,
                      size_t slaveLayout = kKemRecordSize) {
  return {
      MakeZone({root / "main"}, {"AMY", "BEN"}, {{"KING", "AMY"}, {"QUEEN", "BEN"}}, mainLayout),
      MakeZone({root / "slave"}, {"BEN", "CAT"}, {{"QUEEN", "BEN"}, {"ROOK", "CAT"}}, slaveLayout)};
}

// The lines of the three merges of TwoZones, the closing line included.
Lines MergeLines() {
  return {G("合并帐号BEN"),          G("合并帐号CAT"),           G("合并角色QUEEN"),
          G("合并角色ROOK"),         G("合并角色QUEEN的数据"),   G("合并角色ROOK的数据"),
          G("重排角色KING的物品ID"), G("重排角色QUEEN的物品ID"), G("重排角色QUEENa的物品ID"),
          G("重排角色ROOK的物品ID"), G("数据库文件合并完毕!")};
}

TEST_F(JobTest, ServerMergeLogsEachStepInOrderAndSavesTheLog) {
  const TwoZones z = MakeTwoZones(dir_.path());
  EXPECT_EQ(RunJob(ServerJob(z.main, z.slave)), JobResult::kSucceeded);

  Lines expected = {G("升级数据库文件..."), ProbeLine(z.main.kem()), ProbeLine(z.slave.kem())};
  Append(expected, MergeLines());
  Lines saved = SavedTexts();
  // The last lines name the restore point, beside the main zone's Kem.db.
  const Lines restorePoint = test::TakeRestorePointLines(saved);
  ASSERT_FALSE(restorePoint.empty());
  EXPECT_EQ(restorePoint.front().find(G("还原点: ") + z.main.dir.string() + "/zkqmerge-"), 0u)
      << restorePoint.front();
  EXPECT_EQ(saved, expected);
  EXPECT_TRUE(Log().Lines().empty());
  EXPECT_EQ(Log().Percent(), 0);  // Percent 100, then TotalParts 100 empties the bar
  EXPECT_EQ(Log().TotalParts(), 100u);

  // The merges did their work: the rename lists, and every record in the main files.
  EXPECT_EQ(ReadBytes(dir_ / "ID更名列表.txt"), "BEN=BENa\r\n");
  EXPECT_EQ(ReadBytes(dir_ / "人物更名列表.txt"), "QUEEN=QUEENa\r\n");
  EXPECT_EQ(GetLe32(ReadBytes(z.main.id()), 104), 4);
  EXPECT_EQ(GetLe32(ReadBytes(z.main.hum()), 104), 4);
  EXPECT_EQ(ReadBytes(z.main.kem()).size(), kHeaderSize + 4 * kKemRecordSize);
  EXPECT_EQ(Process().accountNameMap.Value("BEN"), "BENa");
  EXPECT_EQ(Process().charNameMap.Value("QUEEN"), "QUEENa");
}

TEST_F(JobTest, OlderLayoutsAreUpgradedBeforeAnyMerge) {
  struct Case {
    const char* name;
    size_t mainLayout, slaveLayout;
    std::vector<int> mainKinds, slaveKinds;  // the upgrades each file needs, in order
  };
  const Case cases[] = {
      {"main in layout 0330", kKem0330RecordSize, kKemRecordSize, {1, 2}, {}},
      {"slave in layout 0820", kKemRecordSize, kKem0820RecordSize, {}, {2}},
      {"both in layout 0330", kKem0330RecordSize, kKem0330RecordSize, {1, 2}, {1, 2}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir root;
    Log().Reset();
    ResetProcessState();
    const TwoZones z = MakeTwoZones(root.path(), c.mainLayout, c.slaveLayout);
    const std::string mainBefore = ReadBytes(z.main.kem());
    const std::string slaveBefore = ReadBytes(z.slave.kem());

    EXPECT_EQ(RunJob(ServerJob(z.main, z.slave)), JobResult::kSucceeded);

    Lines expected = {G("升级数据库文件..."), ProbeLine(z.main.kem())};
    for (int kind : c.mainKinds) {
      Append(expected, UpgradeLines(z.main.kem(), kind));
      expected.push_back(G("人物数据一升级完毕!"));
      expected.push_back(ProbeLine(z.main.kem()));
    }
    expected.push_back(ProbeLine(z.slave.kem()));
    for (int kind : c.slaveKinds) {
      Append(expected, UpgradeLines(z.slave.kem(), kind));
      expected.push_back(G("人物数据二升级完毕!"));
      expected.push_back(ProbeLine(z.slave.kem()));
    }
    Append(expected, MergeLines());
    Lines saved = SavedTexts();
    EXPECT_FALSE(test::TakeRestorePointLines(saved).empty());
    EXPECT_EQ(saved, expected);
    EXPECT_EQ(ReadBytes(z.main.kem()).size(), kHeaderSize + 4 * kKemRecordSize);
    EXPECT_EQ(ReadBytes(z.slave.kem()).size(), kHeaderSize + 2 * kKemRecordSize);
    // However often a file was backed up during the job, its backup holds it as it was before.
    EXPECT_TRUE(SameBytes(DataBackupIn(z.main.dir), mainBefore));
    EXPECT_TRUE(SameBytes(DataBackupIn(z.slave.dir), slaveBefore));
  }
}

TEST_F(JobTest, AFailedUpgradeEndsTheJobBeforeAnyMerge) {
  struct Case {
    const char* name;
    bool mainFails;
  };
  for (const Case c : {Case{"main file", true}, Case{"slave file", false}}) {
    SCOPED_TRACE(c.name);
    test::TempDir root;
    Log().Reset();
    ResetProcessState();
    const TwoZones z = MakeTwoZones(root.path(), c.mainFails ? kKem0330RecordSize : kKemRecordSize,
                                    c.mainFails ? kKemRecordSize : kKem0820RecordSize);
    const fs::path failing = c.mainFails ? z.main.kem() : z.slave.kem();
    const std::string kemBefore = ReadBytes(failing);
    const std::string idBefore = ReadBytes(z.main.id());
    // The upgraded file cannot be written.
    env_.writeFault = [&](const fs::path& file, int64_t, size_t) {
      return file.filename().string().rfind(failing.filename().string() + ".zkq-upgrade", 0) != 0;
    };

    EXPECT_EQ(RunJob(ServerJob(z.main, z.slave)), JobResult::kFailed);
    env_.writeFault = nullptr;

    Lines expected = {G("升级数据库文件..."), ProbeLine(z.main.kem())};
    if (c.mainFails) {
      Append(expected, UpgradeLines(z.main.kem(), 1));
      expected.push_back(G("人物数据一升级失败!"));
    } else {
      expected.push_back(ProbeLine(z.slave.kem()));
      Append(expected, UpgradeLines(z.slave.kem(), 2));
      expected.push_back(G("人物数据二升级失败!"));
    }
    EXPECT_EQ(Texts(Log().Lines()), expected);
    EXPECT_TRUE(SameBytes(ReadBytes(failing), kemBefore));
    EXPECT_TRUE(SameBytes(ReadBytes(z.main.id()), idBefore));
    EXPECT_FALSE(fs::exists(dir_ / "ID更名列表.txt"));
  }
}

TEST_F(JobTest, AMainFileThatCannotBeOpenedEndsTheJobWithoutALine) {
  struct Case {
    const char* name;
    const char* folderName;  // replaced by a folder of that name
    Lines mergeLines;        // the lines logged before the failing merge
  };
  const Case cases[] = {
      {"account file", "Id.db", {}},
      {"character index file", "Hum.db", {G("合并帐号BEN"), G("合并帐号CAT")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir root;
    Log().Reset();
    ResetProcessState();
    const TwoZones z = MakeTwoZones(root.path());
    fs::remove(z.main.dir / c.folderName);
    fs::create_directory(z.main.dir / c.folderName);
    const std::string kemBefore = ReadBytes(z.main.kem());

    EXPECT_EQ(RunJob(ServerJob(z.main, z.slave)), JobResult::kFailed);

    Lines expected = {G("升级数据库文件..."), ProbeLine(z.main.kem()), ProbeLine(z.slave.kem())};
    Append(expected, c.mergeLines);
    EXPECT_EQ(Texts(Log().Lines()), expected);
    EXPECT_TRUE(SameBytes(ReadBytes(z.main.kem()), kemBefore));
    EXPECT_FALSE(fs::exists(dir_ / "Log.txt"));
    // A file that could not be opened has no index file written for it.
    EXPECT_FALSE(fs::exists(z.main.dir / (std::string(c.folderName) + ".idx")));
  }
}

TEST_F(JobTest, AnErrorIsLoggedAsOneLineAndAbortsTheJob) {
  struct Case {
    const char* name;
    fs::path folder;     // made a folder before the job
    size_t linesBefore;  // texts of the successful run that come before the abort line
  };
  // Of the lines of a successful run (3 upgrade lines, then MergeLines()): the account rename
  // list is written after the two account lines; the log is saved after the closing line.
  const Case cases[] = {
      {"rename list target is a folder", dir_ / "ID更名列表.txt", 3 + 2},
      {"Log.txt is a folder", dir_ / "Log.txt", 3 + 11},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir root;
    Log().Reset();
    ResetProcessState();
    const TwoZones z = MakeTwoZones(root.path());
    fs::create_directory(c.folder);

    EXPECT_EQ(RunJob(ServerJob(z.main, z.slave)), JobResult::kAborted);
    fs::remove(c.folder);

    Lines expected = {G("升级数据库文件..."), ProbeLine(z.main.kem()), ProbeLine(z.slave.kem())};
    Append(expected, MergeLines());
    expected.resize(c.linesBefore);
    Lines texts = Texts(Log().Lines());
    test::TakeRestorePointLines(texts);
    ASSERT_EQ(texts.size(), c.linesBefore + 1);
    EXPECT_EQ(Lines(texts.begin(), texts.end() - 1), expected);
    // One line that says why and names the file.
    const std::string& abort = texts.back();
    const std::string prefix = G("作业中止: ");
    EXPECT_EQ(abort.substr(0, prefix.size()), prefix) << abort;
    const std::string file = platform::PathToGbk(c.folder.filename());
    EXPECT_NE(abort.find(file), std::string::npos) << abort;
    EXPECT_GT(abort.size(), prefix.size() + file.size() + 2) << "no reason given: " << abort;
  }
}

TEST_F(JobTest, AModeWithoutARowEndsAtOnceWithoutALine) {
  const TwoZones z = MakeTwoZones(dir_.path());
  for (uint32_t mode : {0u, 11u, 99u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(mode);
    JobParams p = ServerJob(z.main, z.slave);
    p.Mode = mode;
    EXPECT_EQ(RunJob(p), JobResult::kNoSuchMode);
  }
  EXPECT_TRUE(Log().Lines().empty());
  EXPECT_FALSE(Log().Visible());
  EXPECT_EQ(GetLe32(ReadBytes(z.main.id()), 104), 2);
}

// ---- The side-data merge jobs ----

// Each mode's start and end lines, and its bar settings on success; on false only the start
// line. Folders that exist make every operation succeed (the guild and clan merges also need
// the slave's list and per-item folder); missing ones make the guild, clan and task merges fail.
TEST_F(JobTest, SideDataModesLogTheirStartAndEndLines) {
  struct Row {
    uint32_t mode;
    const char* start;
    const char* end;
    bool folders;  // false: two files
    bool failsWithoutFolders;
  };
  const Row rows[] = {
      {1, "处理行会数据...", "行会数据合并完毕!", true, true},
      {2, "处理任务数据...", "任务数据合并完毕!", true, true},
      {3, "处理变量数据...", "变量数据合并完毕!", true, false},
      {5, "处理好友数据...", "好友数据合并完毕!", true, false},
      {6, "处理会员数据...", "会员数据合并完毕!", false, false},
      {9, "处理宗族数据...", "宗族数据合并完毕!", true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.mode);
    const fs::path base = Path("mode" + std::to_string(row.mode));
    JobParams p;
    p.Mode = row.mode;
    p.Param[0] = (base / "main").string();
    p.Param[1] = (base / "slave").string();
    if (row.folders) {
      fs::create_directories(base / "main");
      fs::create_directories(base / "slave" / "Guilds");
      fs::create_directories(base / "slave" / "Clans");
      WriteBytes(base / "slave" / "Guildlist.txt", "");
      WriteBytes(base / "slave" / "Clanlist.txt", "");
    } else {
      fs::create_directories(base);
      WriteBytes(base / "main", "Ann\r\n");
      WriteBytes(base / "slave", "Bob\r\n");
    }
    Log().Reset();
    Log().SetTotalParts(7);  // TotalParts set by an earlier job
    EXPECT_EQ(RunJob(p), JobResult::kSucceeded);
    EXPECT_EQ(Texts(Log().Lines()), (Lines{G(row.start), G(row.end)}));
    // Mode 3 sets Percent 100, then TotalParts 100, which empties the bar again.
    EXPECT_EQ(Log().Percent(), row.mode == 3 ? 0 : 100);
    EXPECT_EQ(Log().TotalParts(), row.mode == 3 ? 100u : 7u);

    if (row.failsWithoutFolders) {
      Log().Reset();
      p.Param[1] = (base / "missing").string();
      EXPECT_EQ(RunJob(p), JobResult::kFailed);
      EXPECT_EQ(Texts(Log().Lines()), (Lines{G(row.start)}));
      EXPECT_EQ(Log().Percent(), 0);
    }
  }
}

// ---- The queue ----

TEST_F(JobTest, QueuedWorkRunsOneAfterAnotherInOrder) {
  JobQueue& queue = JobQueue::Instance();
  std::mutex m;
  std::vector<int> order;
  std::atomic<int> running{0};
  std::atomic<int> mostAtOnce{0};
  const std::thread::id submitter = std::this_thread::get_id();
  std::atomic<bool> onSubmitter{false};
  for (int i = 0; i < 5; ++i)
    queue.SubmitWork([&, i] {
      const int now = ++running;
      for (int seen = mostAtOnce; now > seen && !mostAtOnce.compare_exchange_weak(seen, now);) {
      }
      if (std::this_thread::get_id() == submitter) onSubmitter = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      {
        std::lock_guard lock(m);
        order.push_back(i);
      }
      --running;
    });
  queue.WaitIdle();
  EXPECT_TRUE(queue.Idle());
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(mostAtOnce, 1);
  EXPECT_FALSE(onSubmitter);
}

TEST_F(JobTest, QueuedJobsReportTheirResultAndAFailingWorkDoesNotStopTheQueue) {
  JobQueue& queue = JobQueue::Instance();
  std::mutex m;
  std::vector<JobResult> results;
  bool ranAfterThrow = false;
  JobParams unknown;
  unknown.Mode = 99;
  queue.Submit(unknown, [&](JobResult r) {
    std::lock_guard lock(m);
    results.push_back(r);
  });
  queue.Submit(unknown);  // without a callback
  queue.SubmitWork([] { throw std::runtime_error("not a job"); });
  queue.SubmitWork([&] {
    std::lock_guard lock(m);
    ranAfterThrow = true;
  });
  queue.WaitIdle();
  EXPECT_EQ(results, (std::vector<JobResult>{JobResult::kNoSuchMode}));
  EXPECT_TRUE(ranAfterThrow);
  EXPECT_TRUE(Log().Lines().empty());
}

TEST_F(JobTest, TwoServerMergesQueuedTogetherRunInTurn) {
  // The second job merges another slave into the same main zone: it must see the first one's
  // result, so its ROOK clashes with the ROOK the first job brought in.
  const TwoZones z = MakeTwoZones(dir_.path());
  const Zone slave2 = MakeZone({dir_ / "slave2"}, {"DAN"}, {{"ROOK", "DAN"}});
  std::mutex m;
  std::vector<JobResult> results;
  const auto done = [&](JobResult r) {
    std::lock_guard lock(m);
    results.push_back(r);
  };
  JobQueue::Instance().Submit(ServerJob(z.main, z.slave), done);
  JobQueue::Instance().Submit(ServerJob(z.main, slave2), done);
  JobQueue::Instance().WaitIdle();

  EXPECT_EQ(results, (std::vector<JobResult>{JobResult::kSucceeded, JobResult::kSucceeded}));
  EXPECT_EQ(ReadBytes(dir_ / "人物更名列表.txt"), "ROOK=ROOKa\r\n");
  EXPECT_EQ(ReadBytes(z.main.kem()).size(), kHeaderSize + 5 * kKemRecordSize);
  // "Log.txt" holds what the second job logged after the first one saved.
  Lines texts = SavedTexts();
  EXPECT_FALSE(test::TakeRestorePointLines(texts).empty());
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.front(), G("升级数据库文件..."));
  EXPECT_EQ(texts.back(), G("数据库文件合并完毕!"));
  EXPECT_EQ(std::count(texts.begin(), texts.end(), G("升级数据库文件...")), 1);
}

}  // namespace
}  // namespace zkq

namespace zkq {
namespace {

// ---- The cleanup jobs' parameters ----

TEST(JobParamsTest, TextsBecomeValuesAsTheCleanupJobsReadThem) {
  struct IntegerCase {
    const char* text;
    int32_t value;
  };
  const IntegerCase integers[] = {{"35", 35}, {"+7", 7},  {"-3", -3}, {"0", 0},          {"", 0},
                                  {"abc", 0}, {"12x", 0}, {" 5", 0},  {"99999999999", 0}};
  for (const IntegerCase& c : integers) EXPECT_EQ(JobIntegerParam(c.text), c.value) << c.text;

  struct DateCase {
    const char* text;
    CivilDateTime date;  // 1899-12-30 (the date-time 0) for an unreadable text
  };
  const DateCase dates[] = {
      {"2009-03-09", {2009, 3, 9}}, {"2024-2-29", {2024, 2, 29}},
      {"2023-02-29", {}},           {"2009-13-01", {}},
      {"2009/03/09", {}},           {"", {}},
      {"2009-03-09x", {}},          {"yesterday", {}},
      {"2009-03-00", {}},
  };
  for (const DateCase& c : dates) EXPECT_EQ(JobDateParam(c.text), EncodeDateTime(c.date)) << c.text;
  EXPECT_EQ(JobDateParam("nonsense"), 0.0);
}

}  // namespace
}  // namespace zkq
