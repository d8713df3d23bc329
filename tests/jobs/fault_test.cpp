// Every job either finishes or leaves every file as it was. Each job below runs once without a
// fault (the files it leaves are the completed state), then once for every write, flush,
// rename, create and copy it makes (and for a spread of its reads), with that one operation
// failing. After a run that fails,
// every file of the zones, the program folder and the current folder must be byte for byte what
// it was (nothing added, nothing left over), and the job must have said why it ended; a run that
// succeeds all the same (a fault after its switch was complete) must have left the completed
// state.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "common/paths.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "jobs/batch.h"
#include "jobs/job.h"
#include "platform/codepage.h"
#include "support/bytes.h"
#include "support/fault_env.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/zones.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::CountingFaultEnv;
using test::G;
using test::Op;
using test::Snapshot;
using test::WriteBytes;
using test::Zone;

// A job on a work folder that holds its zones, its program folder "prog" and its current folder
// "cwd".
struct Scenario {
  const char* name;
  std::function<void(const fs::path& work)> build;
  // Runs the job; true when it reported success.
  std::function<bool(const fs::path& work)> run;
};

// CTest shows a case by its name rather than by its bytes.
void PrintTo(const Scenario& s, std::ostream* os) {
  *os << s.name;
}

JobParams ServerParams(const Zone& main, const Zone& slave) {
  JobParams p;
  p.Mode = 4;
  p.Param = {main.id().string(),   slave.id().string(), main.hum().string(),
             slave.hum().string(), main.kem().string(), slave.kem().string()};
  return p;
}

Zone MainZone(const fs::path& work, size_t layout = test::kKemRecordSize) {
  return test::MakeZone({work / "main"}, {"AMY", "BEN"}, {{"KING", "AMY"}, {"QUEEN", "BEN"}},
                        layout);
}
Zone SlaveZone(const fs::path& dir, size_t layout = test::kKemRecordSize) {
  return test::MakeZone({dir}, {"BEN", "CAT"}, {{"QUEEN", "BEN"}, {"ROOK", "CAT"}}, layout);
}

// Gives the character data record in `slot` a level and a recent update time, so that the
// cleanup keeps it.
void KeepCharacter(const fs::path& kem, int slot) {
  std::string bytes = test::ReadBytes(kem);
  const size_t at = test::kHeaderSize + static_cast<size_t>(slot) * test::kKemRecordSize;
  test::PutLe16(bytes, at + 72, 90);
  test::PutDouble(bytes, at + 4, 46000.0);
  WriteBytes(kem, bytes);
}

// A guild folder: the list and each guild's settings and member files.
void GuildFolder(const fs::path& dir, const std::vector<std::string>& guilds) {
  fs::create_directories(dir / "Guilds");
  std::string list;
  for (const std::string& g : guilds) {
    list += g + "\r\n";
    WriteBytes(dir / "Guilds" / (g + ".ini"), "[Guild]\r\nGuildName=" + g + "\r\n");
    WriteBytes(dir / "Guilds" / (g + ".txt"), G("行会成员") + "\r\n+QUEEN\r\n+KING\r\n");
  }
  WriteBytes(dir / "Guildlist.txt", list);
}

std::string Config(const std::vector<std::pair<std::string, fs::path>>& keys) {
  std::string text = "[多区合并]\r\n";
  for (const auto& [key, value] : keys) text += key + "=" + value.string() + "\r\n";
  return text;
}

const Scenario kScenarios[] = {
    {"server merge",
     [](const fs::path& w) {
       MainZone(w);
       SlaveZone(w / "slave");
     },
     [](const fs::path& w) {
       return RunJob(ServerParams({w / "main"}, {w / "slave"})) == JobResult::kSucceeded;
     }},
    {"server merge with layout upgrades",
     [](const fs::path& w) {
       MainZone(w, test::kKem0330RecordSize);
       SlaveZone(w / "slave", test::kKem0820RecordSize);
     },
     [](const fs::path& w) {
       return RunJob(ServerParams({w / "main"}, {w / "slave"})) == JobResult::kSucceeded;
     }},
    {"cleanup",
     [](const fs::path& w) {
       const Zone z = test::MakeZone({w / "main"}, {"AMY", "BEN", "CAT"},
                                     {{"KING", "AMY"}, {"QUEEN", "BEN"}, {"ROOK", "CAT"}});
       KeepCharacter(z.kem(), 1);
     },
     [](const fs::path& w) {
       JobParams p;
       p.Mode = 7;
       p.Param = {(w / "main" / "Id.db").string(),
                  (w / "main" / "Hum.db").string(),
                  (w / "main" / "Kem.db").string(),
                  "2020-01-01",
                  "35",
                  "1"};
       return RunJob(p) == JobResult::kSucceeded;
     }},
    {"guild merge",
     [](const fs::path& w) {
       GuildFolder(w / "main", {"Alpha", "Beta"});
       GuildFolder(w / "slave", {"Alpha", "Gamma"});
       WriteBytes(w / "prog" / platform::PathFromUtf8("人物更名列表.txt"), "QUEEN=QUEENa\r\n");
     },
     [](const fs::path& w) {
       JobParams p;
       p.Mode = 1;
       p.Param[0] = (w / "main").string();
       p.Param[1] = (w / "slave").string();
       return RunJob(p) == JobResult::kSucceeded;
     }},
    {"two-zone batch",
     [](const fs::path& w) {
       const Zone main = MainZone(w);
       const Zone s1 = SlaveZone(w / "s1");
       const Zone s2 = test::MakeZone({w / "s2"}, {"DAN"}, {{"ROOK", "DAN"}});
       GuildFolder(w / "mainGuilds", {"Alpha"});
       GuildFolder(w / "s1Guilds", {"Alpha", "Gamma"});
       const std::string config = Config({{"从区个数", "2"},
                                          {"主区id", main.id()},
                                          {"主区hum", main.hum()},
                                          {"主区kem", main.kem()},
                                          {"主行会目录", w / "mainGuilds"},
                                          {"从区id1", s1.id()},
                                          {"从区hum1", s1.hum()},
                                          {"从区kem1", s1.kem()},
                                          {"从区行会目录1", w / "s1Guilds"},
                                          {"从区id2", s2.id()},
                                          {"从区hum2", s2.hum()},
                                          {"从区kem2", s2.kem()}});
       WriteBytes(w / "batch.ini", config);
     },
     [](const fs::path& w) { return RunBatch(w / "batch.ini").Complete(); }},
};

// The job said why it ended: its last lines hold an abort line or an upgrade's failure line.
bool SaidWhy(const std::vector<std::string>& texts) {
  for (const std::string& t : texts) {
    if (t.rfind(G("作业中止: "), 0) == 0) return true;
    if (t.find(G("升级失败!")) != std::string::npos) return true;
  }
  return false;
}

class FaultTest : public test::FileTest, public ::testing::WithParamInterface<Scenario> {
 protected:
  FaultTest() : faults_(&env_), scoped_(&faults_) {}
  ~FaultTest() override { ClearProgramDirOverride(); }

  // The work folder back to the pristine zones, the process as freshly started.
  void Fresh() {
    test::CopyFolderContents(pristine_.path(), work_.path());
    fs::current_path(work_ / "cwd");
    SetProgramDirOverride(work_ / "prog");
    Log().Reset();
    ResetProcessState();
    env_.clock = 46000.0;
  }

  bool RunOnce() { return GetParam().run(work_.path()); }

  test::TempDir pristine_, work_;
  CountingFaultEnv faults_;
  platform::ScopedEnv scoped_;
};

TEST_P(FaultTest, EveryFailedRunLeavesEveryFileAsItWas) {
  const Scenario& s = GetParam();
  // Built in the work folder, whose paths the job's files (restore point lists, the batch's
  // configuration) name in every run, and kept aside as the pristine copy.
  fs::create_directories(work_ / "prog");
  fs::create_directories(work_ / "cwd");
  s.build(work_.path());
  test::CopyFolderContents(work_.path(), pristine_.path());
  Fresh();
  const Snapshot before = test::TakeSnapshot({work_.path()});

  faults_.ResetCounts();
  ASSERT_TRUE(RunOnce()) << "the job fails without a fault";
  const Snapshot done = test::TakeSnapshot({work_.path()});
  ASSERT_NE(done, before);

  int points = 0;
  std::string counts;
  for (const Op op : {Op::kWrite, Op::kFlush, Op::kRename, Op::kCreate, Op::kCopy, Op::kRead}) {
    Fresh();
    faults_.ResetCounts();
    ASSERT_TRUE(RunOnce());
    const int64_t total = faults_.Count(op);
    // Every one of the writes, flushes, renames, creates and copies; the reads, which are many
    // more, at most 60 of them spread evenly.
    const int64_t step = op == Op::kRead ? std::max<int64_t>(1, total / 60) : 1;
    counts += std::string(" ") + test::OpName(op) + " " + std::to_string(total);
    if (step > 1) counts += " (every " + std::to_string(step) + ")";
    for (int64_t n = 1; n <= total; n += step) {
      SCOPED_TRACE(std::string(test::OpName(op)) + " #" + std::to_string(n));
      Fresh();
      faults_.Arm(op, n);
      const bool ok = RunOnce();
      faults_.Disarm();
      ASSERT_TRUE(faults_.Fired());
      ++points;
      const Snapshot after = test::TakeSnapshot({work_.path()});
      if (ok) {
        // Only a fault once the switch was complete may pass: the files are then the finished
        // job's.
        EXPECT_EQ(test::SnapshotDifference(done, after), "");
      } else {
        EXPECT_EQ(test::SnapshotDifference(before, after), "");
        EXPECT_TRUE(SaidWhy(test::Texts(Log().Lines())));
      }
      if (HasFailure()) return;
    }
  }
  std::printf("[ fault points ] %s: %d (%s)\n", s.name, points, counts.c_str() + 1);
}

std::string ScenarioName(const ::testing::TestParamInfo<Scenario>& info) {
  std::string name;
  for (const char c : std::string(info.param.name)) name += std::isalnum(c) ? c : '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Jobs, FaultTest, ::testing::ValuesIn(kScenarios), ScenarioName);

}  // namespace
}  // namespace zkq
