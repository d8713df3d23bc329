// The batch multi-zone merge on small zones built byte by byte: slave zones merged in zone order
// with numbered rename lists, the exact log texts, the checks that end a batch or skip a zone,
// the side-data merges each zone runs, the configuration file in either encoding, and the
// `batch` job of the command line with its exit status.
#include "jobs/batch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/process_state.h"
#include "common/progress_log.h"
#include "jobs/job.h"
#include "platform/codepage.h"
#include "support/bytes.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/zones.h"

#ifdef ZKQ_HAVE_CLI
#include "support/cli_run.h"
#endif

namespace zkq {
namespace {

using test::G;
using test::GetLe32;
using test::kAccountRecordSize;
using test::kCharIndexRecordSize;
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

// main: accounts AMY, BEN; characters KING (AMY), QUEEN (BEN).
// slave 1: BEN, CAT; QUEEN (BEN), ROOK (CAT)      -> BEN=BENa, QUEEN=QUEENa
// slave 2: CAT, DAN; ROOK (CAT), PAWN (DAN)       -> clashes only with what zone 1 brought in:
//                                                    CAT=CATa, ROOK=ROOKa
// slave 3: EVE; BISHOP (EVE)                       -> no clash
Zone MainZone(const fs::path& dir, size_t kemRecordSize = kKemRecordSize) {
  return MakeZone({dir}, {"AMY", "BEN"}, {{"KING", "AMY"}, {"QUEEN", "BEN"}}, kemRecordSize);
}
Zone Slave1(const fs::path& dir, size_t kemRecordSize = kKemRecordSize) {
  return MakeZone({dir}, {"BEN", "CAT"}, {{"QUEEN", "BEN"}, {"ROOK", "CAT"}}, kemRecordSize);
}
Zone Slave2(Zone zone) {
  return MakeZone(std::move(zone), {"CAT", "DAN"}, {{"ROOK", "CAT"}, {"PAWN", "DAN"}});
}
Zone Slave3(const fs::path& dir) {
  return MakeZone({dir}, {"EVE"}, {{"BISHOP", "EVE"}});
}

// A short string of a stored record.
std::string ShortAt(const std::string& file, size_t recordSize, int slot, size_t at) {
  const size_t start = kHeaderSize + recordSize * static_cast<size_t>(slot) + at;
  if (start >= file.size()) return "<beyond the file>";
  return file.substr(start + 1, static_cast<unsigned char>(file[start]));
}

// ---- The configuration file ----

struct Key {
  std::string name, value;  // UTF-8
};
using Keys = std::vector<Key>;

Keys MainKeys(const Zone& main) {
  return {{"主区id", main.id().string()},
          {"主区hum", main.hum().string()},
          {"主区kem", main.kem().string()}};
}
Keys SlaveKeys(int n, const Zone& slave) {
  const std::string s = std::to_string(n);
  return {{"从区id" + s, slave.id().string()},
          {"从区hum" + s, slave.hum().string()},
          {"从区kem" + s, slave.kem().string()}};
}
Keys Join(std::initializer_list<Keys> parts) {
  Keys all;
  for (const Keys& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

enum class Encoding { kGbk, kUtf8, kUtf8Bom };

// Writes "[多区合并]" and the keys, CR LF, in the encoding.
fs::path WriteConfig(const fs::path& file, const Keys& keys, Encoding encoding = Encoding::kGbk) {
  std::string text = "[多区合并]\r\n";
  for (const Key& k : keys) text += k.name + "=" + k.value + "\r\n";
  fs::create_directories(file.parent_path());
  if (encoding == Encoding::kGbk) {
    const auto gbk = platform::Utf8ToGbk(text);
    EXPECT_TRUE(gbk.has_value());
    text = gbk.value_or(text);
  } else if (encoding == Encoding::kUtf8Bom) {
    text = "\xEF\xBB\xBF" + text;
  }
  WriteBytes(file, text);
  return file;
}

// ---- Log texts ----

Lines& operator+=(Lines& to, const Lines& more) {
  to.insert(to.end(), more.begin(), more.end());
  return to;
}

std::string ProbeLine(const Zone& zone) {
  return platform::PathToGbk(zone.kem()) + G(" 源数据备份成功!");
}

std::string ZoneLine(int n) {
  return G("处理个人数据[从区" + std::to_string(n) + "]...");
}

std::string Summary(int processed) {
  return G("多区合并完成,共处理从区文件" + std::to_string(processed) + "个");
}

// The progress lines of merging slave 1 into the main zone, then slave 2 into the result.
Lines Zone1MergeLines() {
  return {G("合并帐号BEN"),          G("合并帐号CAT"),           G("合并角色QUEEN"),
          G("合并角色ROOK"),         G("合并角色QUEEN的数据"),   G("合并角色ROOK的数据"),
          G("重排角色KING的物品ID"), G("重排角色QUEEN的物品ID"), G("重排角色QUEENa的物品ID"),
          G("重排角色ROOK的物品ID")};
}
Lines Zone2MergeLines() {
  return {G("合并帐号CAT"),           G("合并帐号DAN"),
          G("合并角色ROOK"),          G("合并角色PAWN"),
          G("合并角色PAWN的数据"),    G("合并角色ROOK的数据"),
          G("重排角色KING的物品ID"),  G("重排角色PAWN的物品ID"),
          G("重排角色QUEEN的物品ID"), G("重排角色QUEENa的物品ID"),
          G("重排角色ROOK的物品ID"),  G("重排角色ROOKa的物品ID")};
}

// The lines that announce a side-data merge, in the order they were logged.
Lines SideLines(const Lines& texts) {
  const std::string prefix = G("处理");
  Lines side;
  for (const std::string& t : texts)
    if (t.rfind(prefix, 0) == 0 && t.rfind(G("处理个人数据"), 0) != 0) side.push_back(t);
  return side;
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

// The bytes of every file below a folder, by relative path.
using Files = std::map<std::string, std::string>;
// The texts of "Log.txt" without the lines that name the batch's restore point.
Lines SavedJobTexts() {
  Lines texts = test::SavedTexts();
  test::TakeRestorePointLines(texts);
  return texts;
}

Files Snapshot(const fs::path& dir) {
  Files files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = ReadBytes(e.path());
  return files;
}

// A database file that another program holds open (a game server still running): every attempt
// to open it fails, while it still exists as a regular file.
class LockedFilesEnv : public platform::EnvWrapper {
 public:
  LockedFilesEnv(platform::Env* target, std::vector<fs::path> locked)
      : EnvWrapper(target), locked_(std::move(locked)) {}
  std::unique_ptr<platform::RandomRWFile> Open(const fs::path& path, platform::OpenMode mode,
                                               std::error_code& ec) override {
    for (const fs::path& l : locked_) {
      std::error_code ignored;
      if (fs::equivalent(path, l, ignored)) {
        ec = std::make_error_code(std::errc::device_or_resource_busy);
        return nullptr;
      }
    }
    return EnvWrapper::Open(path, mode, ec);
  }

 private:
  std::vector<fs::path> locked_;
};

class BatchTest : public test::FileTest {
 protected:
  BatchTest() { Log().Reset(); }
  ~BatchTest() override { Log().Reset(); }
  // Every test starts as a fresh program would; a table case calls it again.
  void Fresh() {
    Log().Reset();
    ResetProcessState();
    for (const auto& e : fs::directory_iterator(dir_.path()))
      if (e.is_regular_file()) fs::remove(e.path());  // rename lists, Log.txt, the configuration
  }
};

// ---- Zones merged in order ----

TEST_F(BatchTest, SlaveZonesAreMergedInZoneOrderWithNumberedRenameLists) {
  const Zone main = MainZone(Path("main"));
  const Zone s1 = Slave1(Path("s1"));
  const Zone s2 = Slave2({Path("s2")});
  const fs::path config =
      WriteConfig(Path("batch.ini"),
                  Join({{{"从区个数", "2"}}, MainKeys(main), SlaveKeys(1, s1), SlaveKeys(2, s2)}));

  const BatchOutcome outcome = RunBatch(config);

  EXPECT_EQ(outcome.slaveCount, 2);
  EXPECT_EQ(outcome.processed, 2);
  EXPECT_TRUE(outcome.summaryLogged);
  EXPECT_FALSE(outcome.aborted);
  EXPECT_TRUE(outcome.Complete());

  Lines expected = {G("升级数据库文件..."), ProbeLine(main), ZoneLine(1), ProbeLine(s1)};
  expected += Zone1MergeLines();
  expected += {ZoneLine(2), ProbeLine(s2)};
  expected += Zone2MergeLines();
  expected.push_back(Summary(2));
  EXPECT_EQ(SavedJobTexts(), expected);
  EXPECT_TRUE(Log().Lines().empty());

  // Each zone's renames in its own numbered lists; zone 2 clashed with what zone 1 brought in.
  EXPECT_EQ(ReadBytes(Path("ID更名列表1.txt")), "BEN=BENa\r\n");
  EXPECT_EQ(ReadBytes(Path("人物更名列表1.txt")), "QUEEN=QUEENa\r\n");
  EXPECT_EQ(ReadBytes(Path("ID更名列表2.txt")), "CAT=CATa\r\n");
  EXPECT_EQ(ReadBytes(Path("人物更名列表2.txt")), "ROOK=ROOKa\r\n");
  EXPECT_FALSE(fs::exists(Path("ID更名列表.txt")));
  EXPECT_FALSE(fs::exists(Path("人物更名列表.txt")));
  // The single job's maps are not the batch's.
  EXPECT_EQ(Process().accountNameMap.Count(), 0);
  EXPECT_EQ(Process().charNameMap.Count(), 0);

  // Every record in the main files; zone 2's renamed character carries its renamed account.
  const std::string id = ReadBytes(main.id());
  const std::string hum = ReadBytes(main.hum());
  const std::string kem = ReadBytes(main.kem());
  EXPECT_EQ(GetLe32(id, 104), 6);
  EXPECT_EQ(ShortAt(id, kAccountRecordSize, 4, 32), "CATa");
  EXPECT_EQ(GetLe32(hum, 104), 6);
  EXPECT_EQ(ShortAt(hum, kCharIndexRecordSize, 4, 28), "ROOKa");
  EXPECT_EQ(ShortAt(hum, kCharIndexRecordSize, 4, 43), "CATa");
  EXPECT_EQ(kem.size(), kHeaderSize + 6 * kKemRecordSize);
  EXPECT_EQ(ShortAt(kem, kKemRecordSize, 5, 28), "ROOKa");
  EXPECT_EQ(ShortAt(kem, kKemRecordSize, 5, 255), "CATa");
  EXPECT_EQ(ShortAt(kem, kKemRecordSize, 2, 28), "QUEENa");
  EXPECT_EQ(ShortAt(kem, kKemRecordSize, 2, 255), "BENa");
}

TEST_F(BatchTest, ARerunReplacesAZonesOldRenameList) {
  // A list left by an earlier batch must not survive a run that renames nothing in that zone.
  WriteBytes(Path("ID更名列表1.txt"), "OLD=OLDa\r\n");
  WriteBytes(Path("人物更名列表1.txt"), "OLD=OLDa\r\n");
  const Zone main = MainZone(Path("main"));
  const Zone s3 = Slave3(Path("s3"));
  const fs::path config =
      WriteConfig(Path("batch.ini"), Join({{{"从区个数", "1"}}, MainKeys(main), SlaveKeys(1, s3)}));

  EXPECT_TRUE(RunBatch(config).Complete());
  EXPECT_FALSE(fs::exists(Path("ID更名列表1.txt")));
  EXPECT_FALSE(fs::exists(Path("人物更名列表1.txt")));
}

TEST_F(BatchTest, TheDuplicateNameSuffixOfAnEarlierServerMergeIsUsedAndKept) {
  const std::string star = G("★");
  struct Case {
    const char* name;
    std::string suffix;
    std::string renamed;
  };
  const Case cases[] = {
      {"suffix set earlier", star, G("QUEEN★")},
      {"no suffix", "", "QUEENa"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    test::TempDir root;
    const Zone main = MainZone(root / "main");
    const Zone s1 = Slave1(root / "s1");
    const fs::path config = WriteConfig(
        Path("batch.ini"), Join({{{"从区个数", "1"}}, MainKeys(main), SlaveKeys(1, s1)}));
    Process().duplicateNameSuffix = c.suffix;

    EXPECT_TRUE(RunBatch(config).Complete());

    EXPECT_EQ(ReadBytes(Path("人物更名列表1.txt")), "QUEEN=" + c.renamed + "\r\n");
    EXPECT_EQ(ShortAt(ReadBytes(main.hum()), kCharIndexRecordSize, 2, 28), c.renamed);
    EXPECT_EQ(Process().duplicateNameSuffix, c.suffix);
  }
}

// ---- Checks that end the batch ----

TEST_F(BatchTest, AMissingMainFileEndsTheBatchAtOnce) {
  struct Case {
    const char* name;
    Keys keys;  // besides those of a good slave zone 1
    const char* message;
  };
  const Zone main = MainZone(Path("main"));
  const Zone s1 = Slave1(Path("s1"));
  fs::create_directory(Path("folder"));
  const auto mainKeysWith = [&](size_t k, std::string value) {
    Keys keys = MainKeys(main);
    keys[k].value = std::move(value);
    return keys;
  };
  const Case cases[] = {
      {"no main keys", {}, "主区文件Id.db不存在"},
      {"account file missing", mainKeysWith(0, Path("none/Id.db").string()), "主区文件Id.db不存在"},
      {"account file a folder", mainKeysWith(0, Path("folder").string()), "主区文件Id.db不存在"},
      {"index file missing", mainKeysWith(1, Path("none/Hum.db").string()), "主区文件Hum.db不存在"},
      {"index value empty", mainKeysWith(1, ""), "主区文件Hum.db不存在"},
      {"data file missing", mainKeysWith(2, Path("none/Kem.db").string()), "主区文件Kem.db不存在"},
  };
  const Files before = Snapshot(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Log().Reset();
    const fs::path config =
        WriteConfig(Path("cfg/batch.ini"), Join({{{"从区个数", "1"}}, c.keys, SlaveKeys(1, s1)}));

    const BatchOutcome outcome = RunBatch(config);

    EXPECT_FALSE(outcome.summaryLogged);
    EXPECT_FALSE(outcome.Complete());
    EXPECT_EQ(outcome.processed, 0);
    EXPECT_EQ(Texts(Log().Lines()), (Lines{G(c.message)}));
    fs::remove_all(Path("cfg"));
    EXPECT_EQ(Snapshot(dir_.path()), before);  // nothing backed up, merged or saved
  }
}

TEST_F(BatchTest, ASectionWithoutKeysOrAnEmptyFileLogsTheMissingMainAccountFile) {
  for (const std::string& content :
       {std::string("[多区合并]\r\n"), std::string(), std::string("[other]\r\n从区个数=1\r\n")}) {
    SCOPED_TRACE(content);
    Log().Reset();
    WriteBytes(Path("batch.ini"), G(content));
    const BatchOutcome outcome = RunBatch(Path("batch.ini"));
    EXPECT_FALSE(outcome.Complete());
    EXPECT_EQ(Texts(Log().Lines()), (Lines{G("主区文件Id.db不存在")}));
    EXPECT_FALSE(fs::exists(Path("Log.txt")));
  }
}

// Zone 2 of 3 fails a check: zone 1 stays merged, zone 3 is not touched, no summary is written
// and the log is not saved.
TEST_F(BatchTest, AFailedCheckOnZone2Of3EndsTheBatchWithoutSummary) {
  struct Case {
    const char* name;
    Zone (*zone2)(const fs::path& dir);  // the zone 2 the configuration names
    const char* message;                 // the line that ends the batch
  };
  const Case cases[] = {
      {"account file named Id1.db",
       [](const fs::path& d) {
         return Slave2({d, "Id1.db"});
       },
       "请确认从区帐号文件名称为Id.db"},
      {"index file named Hum.txt",
       [](const fs::path& d) {
         return Slave2({d, "Id.db", "Hum.txt"});
       },
       "请确认从区角色文件名称为Hum.db"},
      {"data file named Kem.db.bak",
       [](const fs::path& d) {
         return Slave2({d, "Id.db", "Hum.db", "Kem.db.bak"});
       },
       "请确认从区数据文件名称为Kem.db"},
      {"names checked before existence: a missing Id1.db",
       [](const fs::path& d) {
         Zone z = Slave2({d, "Id1.db"});
         fs::remove(z.id());
         return z;
       },
       "请确认从区帐号文件名称为Id.db"},
      {"account file missing",
       [](const fs::path& d) {
         Zone z = Slave2({d});
         fs::remove(z.id());
         return z;
       },
       "从区数据库文件Id.db不存在"},
      {"index file a folder",
       [](const fs::path& d) {
         Zone z = Slave2({d});
         fs::remove(z.hum());
         fs::create_directory(z.hum());
         return z;
       },
       "从区数据库文件Hum.db不存在"},
      {"data file missing",
       [](const fs::path& d) {
         Zone z = Slave2({d});
         fs::remove(z.kem());
         return z;
       },
       "从区数据库文件Kem.db不存在"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    test::TempDir root;
    const Zone main = MainZone(root / "main");
    const Zone s1 = Slave1(root / "s1");
    const Zone s2 = c.zone2(root / "s2");
    const Zone s3 = Slave3(root / "s3");
    const Files mainBefore = Snapshot(main.dir), s1Before = Snapshot(s1.dir);
    const Files s3Before = Snapshot(s3.dir);
    const fs::path config = WriteConfig(Path("batch.ini"), Join({{{"从区个数", "3"}},
                                                                 MainKeys(main),
                                                                 SlaveKeys(1, s1),
                                                                 SlaveKeys(2, s2),
                                                                 SlaveKeys(3, s3)}));

    const BatchOutcome outcome = RunBatch(config);

    EXPECT_FALSE(outcome.summaryLogged);
    EXPECT_FALSE(outcome.aborted);
    EXPECT_EQ(outcome.processed, 0);
    EXPECT_FALSE(outcome.Complete());
    Lines expected = {G("升级数据库文件..."), ProbeLine(main), ZoneLine(1), ProbeLine(s1)};
    expected += Zone1MergeLines();
    expected += {ZoneLine(2), G(c.message)};
    EXPECT_EQ(Texts(Log().Lines()), expected);
    EXPECT_FALSE(fs::exists(Path("Log.txt")));
    // A batch that ends early changes nothing: zone 1's merge is not kept either, so that a
    // rerun once the configuration is mended merges every zone once.
    EXPECT_EQ(Snapshot(main.dir), mainBefore);
    EXPECT_EQ(Snapshot(s1.dir), s1Before);
    EXPECT_FALSE(fs::exists(Path("人物更名列表1.txt")));
    EXPECT_FALSE(fs::exists(Path("ID更名列表2.txt")));
    EXPECT_EQ(Snapshot(s3.dir), s3Before);
  }
}

TEST_F(BatchTest, FileNamesAreCheckedWithoutRegardToLetterCase) {
  const Zone main = MainZone(Path("main"));
  const Zone s1 = Slave1(Path("s1"));
  const Zone s2 = Slave2({Path("s2"), "ID.DB", "hum.DB", "KEM.db"});
  const fs::path config =
      WriteConfig(Path("batch.ini"),
                  Join({{{"从区个数", "2"}}, MainKeys(main), SlaveKeys(1, s1), SlaveKeys(2, s2)}));

  EXPECT_TRUE(RunBatch(config).Complete());
  EXPECT_EQ(SavedJobTexts().back(), Summary(2));
  EXPECT_EQ(ReadBytes(Path("人物更名列表2.txt")), "ROOK=ROOKa\r\n");
}

// ---- Layout upgrades ----

TEST_F(BatchTest, OldLayoutsAreUpgradedTheMainOnesBeforeAnyZone) {
  const Zone main = MainZone(Path("main"), kKem0330RecordSize);
  const Zone s1 = Slave1(Path("s1"), kKem0820RecordSize);
  const std::string mainBefore = ReadBytes(main.kem());
  const std::string s1Before = ReadBytes(s1.kem());
  const fs::path config =
      WriteConfig(Path("batch.ini"), Join({{{"从区个数", "1"}}, MainKeys(main), SlaveKeys(1, s1)}));

  EXPECT_TRUE(RunBatch(config).Complete());

  const auto upgrade = [](const Zone& z, int kind) {
    return Lines{
        platform::PathToGbk(z.kem()) + G(" 原数据备份成功!准备升级数据格式!"),
        G(kind == 1 ? "老ZKQ3 0330数据结构正在升级..." : "新ZKQ3 0820数据结构正在升级...")};
  };
  Lines expected = {G("升级数据库文件..."), ProbeLine(main)};
  expected += upgrade(main, 1);
  expected += {G("主区数据升级完毕!"), ProbeLine(main)};
  expected += upgrade(main, 2);
  expected += {G("主区数据升级完毕!"), ProbeLine(main), ZoneLine(1), ProbeLine(s1)};
  expected += upgrade(s1, 2);
  expected += {G("从区数据升级完毕!"), ProbeLine(s1)};
  expected += Zone1MergeLines();
  expected.push_back(Summary(1));
  EXPECT_EQ(SavedJobTexts(), expected);
  EXPECT_EQ(ReadBytes(main.kem()).size(), kHeaderSize + 4 * kKemRecordSize);
  // However often a file was backed up during the batch, its backup holds it as it was before.
  EXPECT_TRUE(SameBytes(DataBackupIn(main.dir), mainBefore));
  EXPECT_TRUE(SameBytes(DataBackupIn(s1.dir), s1Before));
}

TEST_F(BatchTest, AFailedUpgradeEndsTheBatch) {
  struct Case {
    const char* name;
    bool mainFails;
    const char* message;
  };
  for (const Case& c :
       {Case{"main", true, "主区数据升级失败!"}, Case{"zone 1 of 2", false, "从区数据升级失败!"}}) {
    SCOPED_TRACE(c.name);
    Fresh();
    test::TempDir root;
    const Zone main = MainZone(root / "main", c.mainFails ? kKem0330RecordSize : kKemRecordSize);
    const Zone s1 = Slave1(root / "s1", c.mainFails ? kKemRecordSize : kKem0820RecordSize);
    const Zone s2 = Slave2({root / "s2"});
    const fs::path failing = c.mainFails ? main.kem() : s1.kem();
    const std::string failingBefore = ReadBytes(failing);
    const std::string idBefore = ReadBytes(main.id());
    // The upgraded file cannot be written.
    env_.writeFault = [&](const fs::path& file, int64_t, size_t) {
      return file.parent_path() != failing.parent_path() ||
             file.filename().string().rfind("Kem.db.zkq-upgrade", 0) != 0;
    };
    const fs::path config = WriteConfig(
        Path("batch.ini"),
        Join({{{"从区个数", "2"}}, MainKeys(main), SlaveKeys(1, s1), SlaveKeys(2, s2)}));

    const BatchOutcome outcome = RunBatch(config);
    env_.writeFault = nullptr;

    EXPECT_FALSE(outcome.summaryLogged);
    EXPECT_EQ(outcome.processed, 0);
    const Lines texts = Texts(Log().Lines());
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.back(), G(c.message));
    EXPECT_EQ(std::count(texts.begin(), texts.end(), ZoneLine(2)), 0);
    EXPECT_TRUE(SameBytes(ReadBytes(failing), failingBefore));
    EXPECT_TRUE(SameBytes(ReadBytes(main.id()), idBefore));
    EXPECT_FALSE(fs::exists(Path("Log.txt")));
  }
}

// ---- A zone skipped ----

// The account or character index merge of zone 1 cannot open the slave's file (another program
// holds it): zone 1 is skipped without side data and not counted, zone 2 is still merged.
TEST_F(BatchTest, AZoneWhoseMergeCannotOpenItsFilesIsSkippedAndNotCounted) {
  struct Case {
    const char* name;
    bool lockIndex;  // else the account file
    Lines zone1;     // the lines of zone 1 after its probe line
  };
  const Case cases[] = {
      {"account file", false, {}},
      {"character index file", true, {G("合并帐号BEN"), G("合并帐号CAT")}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    test::TempDir root;
    const Zone main = MainZone(root / "main");
    const Zone s1 = Slave1(root / "s1");
    const Zone s2 = Slave2({root / "s2"});
    for (const char* f : {"main", "s1", "s2"}) fs::create_directories(root / "friends" / f);
    WriteBytes(root / "friends" / "s1" / "QUEEN", "ROOK\r\n");
    const Keys friends = {{"主好友目录", (root / "friends" / "main").string()},
                          {"从区好友目录1", (root / "friends" / "s1").string()},
                          {"从区好友目录2", (root / "friends" / "s2").string()}};
    const fs::path config = WriteConfig(
        Path("batch.ini"),
        Join({{{"从区个数", "2"}}, MainKeys(main), SlaveKeys(1, s1), SlaveKeys(2, s2), friends}));
    const fs::path locked = c.lockIndex ? s1.hum() : s1.id();
    LockedFilesEnv lockedEnv(&env_, {locked});
    platform::ScopedEnv scoped(&lockedEnv);

    const BatchOutcome outcome = RunBatch(config);

    EXPECT_EQ(outcome.slaveCount, 2);
    EXPECT_EQ(outcome.processed, 1);
    EXPECT_TRUE(outcome.summaryLogged);
    EXPECT_FALSE(outcome.Complete());
    Lines expected = {G("升级数据库文件..."), ProbeLine(main), ZoneLine(1), ProbeLine(s1)};
    expected += c.zone1;
    expected += {ZoneLine(2), ProbeLine(s2)};
    const Lines saved = SavedJobTexts();
    ASSERT_GT(saved.size(), expected.size());
    EXPECT_EQ(Lines(saved.begin(), saved.begin() + static_cast<ptrdiff_t>(expected.size())),
              expected);
    EXPECT_EQ(SideLines(saved), (Lines{G("处理好友数据...")}));  // zone 2's only
    EXPECT_EQ(saved.back(), Summary(1));
    // Nothing of zone 1 beyond its accounts; zone 2 complete.
    EXPECT_FALSE(fs::exists(root / "friends" / "main" / "QUEEN"));
    EXPECT_FALSE(fs::exists(Path("人物更名列表1.txt")));
    EXPECT_EQ(GetLe32(ReadBytes(main.id()), 104), c.lockIndex ? 6 : 4);
    EXPECT_EQ(GetLe32(ReadBytes(main.hum()), 104), 4);
    EXPECT_EQ(ReadBytes(main.kem()).size(), kHeaderSize + 4 * kKemRecordSize);
    // A file that could not be opened has no index file written for it.
    EXPECT_FALSE(fs::exists(locked.string() + ".idx"));
  }
}

// ---- Side data ----

// The six side-data merges of one zone, each only when both of its sides exist, in their order.
TEST_F(BatchTest, SideDataMergesRunOnlyWhenBothSidesExist) {
  struct Side {
    const char* mainKey;
    const char* slaveKey;
    const char* line;
    bool file;  // the member files
  };
  const Side sides[] = {
      {"主行会目录", "从区行会目录1", "处理行会数据...", false},
      {"主任务目录", "从区任务目录1", "处理任务数据...", false},
      {"主变量目录", "从区变量目录1", "处理变量数据...", false},
      {"主好友目录", "从区好友目录1", "处理好友数据...", false},
      {"主宗族目录", "从区宗族目录1", "处理宗族数据...", false},
      {"主会员文件", "从区会员文件1", "处理会员数据...", true},
  };
  enum class Break {
    kNone,
    kMainKeyMissing,
    kSlaveKeyMissing,
    kSlaveValueEmpty,
    kMainMissing,
    kSlaveMissing,
    kWrongKind
  };
  struct Case {
    const char* name;
    Break how;
  };
  const Case cases[] = {
      {"both sides present", Break::kNone},
      {"main key absent", Break::kMainKeyMissing},
      {"slave key absent", Break::kSlaveKeyMissing},
      {"slave value empty", Break::kSlaveValueEmpty},
      {"main folder or file missing", Break::kMainMissing},
      {"slave folder or file missing", Break::kSlaveMissing},
      {"a file for a folder, a folder for a file", Break::kWrongKind},
  };
  for (const Case& c : cases) {
    for (size_t broken = 0; broken < std::size(sides); ++broken) {
      SCOPED_TRACE(std::string(c.name) + ", " + sides[broken].line);
      if (c.how == Break::kNone && broken > 0) break;
      Fresh();
      test::TempDir root;
      const Zone main = MainZone(root / "main");
      const Zone s1 = Slave1(root / "s1");
      Keys keys = Join({{{"从区个数", "1"}}, MainKeys(main), SlaveKeys(1, s1)});
      Lines expected;
      for (size_t k = 0; k < std::size(sides); ++k) {
        const Side& s = sides[k];
        const fs::path mainSide = root / "side" / ("main" + std::to_string(k));
        const fs::path slaveSide = root / "side" / ("slave" + std::to_string(k));
        fs::create_directories(root / "side");
        for (const fs::path& p : {mainSide, slaveSide}) {
          if (s.file)
            WriteBytes(p, "KING\r\n");
          else
            fs::create_directory(p);
        }
        std::string mainValue = mainSide.string(), slaveValue = slaveSide.string();
        bool runs = true;
        if (k == broken) {
          runs = c.how == Break::kNone;
          switch (c.how) {
            case Break::kNone:
              break;
            case Break::kMainKeyMissing:
              mainValue.clear();
              break;
            case Break::kSlaveKeyMissing:
            case Break::kSlaveValueEmpty:
              slaveValue.clear();
              break;
            case Break::kMainMissing:
              fs::remove_all(mainSide);
              break;
            case Break::kSlaveMissing:
              fs::remove_all(slaveSide);
              break;
            case Break::kWrongKind:
              fs::remove_all(slaveSide);
              if (s.file)
                fs::create_directory(slaveSide);
              else
                WriteBytes(slaveSide, "KING\r\n");
              break;
          }
        }
        if (!(k == broken && c.how == Break::kMainKeyMissing))
          keys.push_back({s.mainKey, mainValue});
        if (!(k == broken && c.how == Break::kSlaveKeyMissing))
          keys.push_back({s.slaveKey, slaveValue});
        if (runs) expected.push_back(G(s.line));
      }
      const fs::path config = WriteConfig(Path("batch.ini"), keys);

      const BatchOutcome outcome = RunBatch(config);

      EXPECT_TRUE(outcome.Complete());
      const Lines saved = SavedJobTexts();
      EXPECT_EQ(SideLines(saved), expected);
      // The side lines come after the zone's merges and before the summary.
      ASSERT_GE(saved.size(), expected.size() + 1);
      EXPECT_EQ(Lines(saved.end() - static_cast<ptrdiff_t>(expected.size()) - 1, saved.end() - 1),
                expected);
    }
  }
}

// Each zone's side data follows that zone's own character rename list.
TEST_F(BatchTest, SideDataOfEachZoneFollowsItsOwnRenameList) {
  const Zone main = MainZone(Path("main"));
  const Zone s1 = Slave1(Path("s1"));
  const Zone s2 = Slave2({Path("s2")});
  for (const char* f : {"main", "s1", "s2"}) fs::create_directories(Path("friends") / f);
  // Zone 1 renames QUEEN, zone 2 renames ROOK.
  WriteBytes(Path("friends/s1/QUEEN"), "ROOK\r\nKING\r\n");
  WriteBytes(Path("friends/s2/ROOK"), "QUEEN\r\nPAWN\r\n");
  WriteBytes(Path("members.txt"), "KING\r\n");
  WriteBytes(Path("members1.txt"), "QUEEN\r\nROOK\r\n");
  WriteBytes(Path("members2.txt"), "ROOK\r\nking\r\n");
  const Keys side = {{"主好友目录", Path("friends/main").string()},
                     {"从区好友目录1", Path("friends/s1").string()},
                     {"从区好友目录2", Path("friends/s2").string()},
                     {"主会员文件", Path("members.txt").string()},
                     {"从区会员文件1", Path("members1.txt").string()},
                     {"从区会员文件2", Path("members2.txt").string()}};
  const fs::path config = WriteConfig(
      Path("batch.ini"),
      Join({{{"从区个数", "2"}}, MainKeys(main), SlaveKeys(1, s1), SlaveKeys(2, s2), side}));

  EXPECT_TRUE(RunBatch(config).Complete());

  EXPECT_EQ(ReadBytes(Path("friends/main/QUEENa")), "ROOK\r\nKING\r\n");
  EXPECT_EQ(ReadBytes(Path("friends/main/ROOKa")), "QUEEN\r\nPAWN\r\n");
  EXPECT_FALSE(fs::exists(Path("friends/main/QUEEN")));
  EXPECT_FALSE(fs::exists(Path("friends/main/ROOK")));
  EXPECT_EQ(ReadBytes(Path("members.txt")), "KING\r\nQUEENa\r\nROOK\r\nROOKa\r\n");
  const Lines side1 = {G("处理好友数据..."), G("处理会员数据...")};
  Lines both = side1;
  both += side1;
  EXPECT_EQ(SideLines(SavedJobTexts()), both);
}

// ---- The configuration file ----

TEST_F(BatchTest, TheConfigurationIsReadInEitherEncodingWithKeysInAnyLetterCase) {
  struct Case {
    const char* name;
    Encoding encoding;
    bool otherCase;  // "主区KEM", "从区ID1", "从区Hum1" ...
  };
  const Case cases[] = {
      {"GBK", Encoding::kGbk, false},
      {"GBK, other letter case", Encoding::kGbk, true},
      {"UTF-8", Encoding::kUtf8, false},
      {"UTF-8 with byte-order mark", Encoding::kUtf8Bom, false},
      {"UTF-8 with byte-order mark, other letter case", Encoding::kUtf8Bom, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    test::TempDir root;
    // Folders with Chinese names: the values are read in the file's encoding too.
    const Zone main = MainZone(root / "主区");
    const Zone s1 = Slave1(root / "从区一");
    fs::create_directories(root / "好友" / "主");
    fs::create_directories(root / "好友" / "从");
    WriteBytes(root / "好友" / "从" / "ROOK", "QUEEN\r\n");
    Keys keys = Join({{{"从区个数", "1"}},
                      MainKeys(main),
                      SlaveKeys(1, s1),
                      {{"主好友目录", (root / "好友" / "主").string()},
                       {"从区好友目录1", (root / "好友" / "从").string()}}});
    if (c.otherCase)
      for (Key& k : keys)
        for (char& ch : k.name)
          if (ch == 'i' || ch == 'd' || ch == 'k' || ch == 'e' || ch == 'm')
            ch = static_cast<char>(ch - 'a' + 'A');
    const fs::path config = WriteConfig(Path("batch.ini"), keys, c.encoding);

    const BatchOutcome outcome = RunBatch(config);

    EXPECT_TRUE(outcome.Complete());
    EXPECT_EQ(outcome.processed, 1);
    const Lines saved = SavedJobTexts();
    ASSERT_FALSE(saved.empty());
    EXPECT_EQ(saved.back(), Summary(1));
    EXPECT_EQ(saved[1], ProbeLine(main));
    EXPECT_EQ(SideLines(saved), (Lines{G("处理好友数据...")}));
    EXPECT_EQ(ReadBytes(root / "好友" / "主" / "ROOK"), "QUEENa\r\n");
    EXPECT_EQ(GetLe32(ReadBytes(main.hum()), 104), 4);
  }
}

TEST_F(BatchTest, ACountOfZeroOrNoneLogsTheSummaryWithZero) {
  for (const char* count : {"0", "", "-2", "two", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(count ? count : "absent");
    Fresh();
    test::TempDir root;
    const Zone main = MainZone(root / "main");
    const Zone s1 = Slave1(root / "s1");  // named but beyond the count
    Keys keys = Join({MainKeys(main), SlaveKeys(1, s1)});
    if (count) keys.push_back({"从区个数", count});
    const std::string mainBefore = ReadBytes(main.hum());

    const BatchOutcome outcome = RunBatch(WriteConfig(Path("batch.ini"), keys));

    EXPECT_TRUE(outcome.summaryLogged);
    EXPECT_EQ(outcome.processed, 0);
    EXPECT_TRUE(outcome.Complete());
    EXPECT_EQ(SavedJobTexts(), (Lines{G("升级数据库文件..."), ProbeLine(main), Summary(0)}));
    EXPECT_EQ(ReadBytes(main.hum()), mainBefore);
  }
}

// ---- Errors ----

TEST_F(BatchTest, AnErrorIsLoggedAsOneLineAndEndsTheBatch) {
  struct Case {
    const char* name;
    fs::path folder;  // made a folder before the batch
    bool removeConfig;
  };
  const Case cases[] = {
      {"configuration file missing", {}, true},
      {"zone 1's account rename list is a folder", dir_ / "ID更名列表1.txt", false},
      {"Log.txt is a folder", dir_ / "Log.txt", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    test::TempDir root;
    const Zone main = MainZone(root / "main");
    const Zone s1 = Slave1(root / "s1");
    const fs::path config = WriteConfig(
        Path("batch.ini"), Join({{{"从区个数", "1"}}, MainKeys(main), SlaveKeys(1, s1)}));
    if (c.removeConfig) fs::remove(config);
    if (!c.folder.empty()) fs::create_directory(c.folder);

    const BatchOutcome outcome = RunBatch(config);
    if (!c.folder.empty()) fs::remove(c.folder);

    EXPECT_TRUE(outcome.aborted);
    EXPECT_FALSE(outcome.summaryLogged);
    EXPECT_FALSE(outcome.Complete());
    const Lines texts = Texts(Log().Lines());
    ASSERT_FALSE(texts.empty());
    const std::string& abort = texts.back();
    const std::string prefix = G("作业中止: ");
    EXPECT_EQ(abort.substr(0, prefix.size()), prefix) << abort;
    const std::string file = platform::PathToGbk((c.removeConfig ? config : c.folder).filename());
    EXPECT_NE(abort.find(file), std::string::npos) << abort;
  }
}

// ---- The worker ----

TEST_F(BatchTest, TheWorkerRunsOnTheJobQueueAndReportsTheOutcome) {
  const Zone main = MainZone(Path("main"));
  const Zone s1 = Slave1(Path("s1"));
  const fs::path config =
      WriteConfig(Path("batch.ini"), Join({{{"从区个数", "1"}}, MainKeys(main), SlaveKeys(1, s1)}));
  std::mutex m;
  std::vector<int> order;
  std::optional<BatchOutcome> outcome;
  JobQueue::Instance().SubmitWork([&] {
    std::lock_guard lock(m);
    order.push_back(1);
  });
  TBatImportThread::Create(config, [&](const BatchOutcome& o) {
    std::lock_guard lock(m);
    order.push_back(2);
    outcome = o;
  });
  TBatImportThread::Create(config);  // without a callback: zone 1 merged again
  JobQueue::Instance().WaitIdle();

  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  ASSERT_TRUE(outcome.has_value());
  EXPECT_TRUE(outcome->Complete());
  EXPECT_EQ(GetLe32(ReadBytes(main.hum()), 104), 6);
}

// ---- The command line's batch job ----

#ifdef ZKQ_HAVE_CLI

using test::CliResult;
using test::RunCli;

// The printed log lines (UTF-8) without their stamps "yyyy-MM-dd HH:mm:ss ".
Lines PrintedTexts(const std::string& out) {
  Lines texts;
  size_t start = 0;
  for (size_t end; (end = out.find('\n', start)) != std::string::npos; start = end + 1) {
    const std::string line = out.substr(start, end - start);
    texts.push_back(line.size() > 20 ? line.substr(20) : line);
  }
  return texts;
}

TEST_F(BatchTest, CliBatchOfAMissingFileReportsItAndRunsNothing) {
  const Zone main = MainZone(Path("main"));
  const Files before = Snapshot(dir_.path());
  // The window takes the file name as typed, untrimmed.
  for (const std::string& name : {Path("none.ini").string(), Path("main").string(),
                                  " " + WriteConfig(Path("batch.ini"), MainKeys(main)).string()}) {
    SCOPED_TRACE(name);
    Log().Reset();
    const CliResult r = RunCli({"batch", name, "then", "members", "a.txt", "b.txt"});
    EXPECT_EQ(r.status, cli::kExitFailed);
    EXPECT_EQ(r.err, "文件 " + name + "不存在\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Log().Lines().empty());
    fs::remove(Path("batch.ini"));
    EXPECT_EQ(Snapshot(dir_.path()), before);
  }
}

TEST_F(BatchTest, CliBatchExitsWith0OnlyWhenEveryZoneWasMerged) {
  struct Case {
    const char* name;
    int zones;          // in the configuration file
    bool lockZone1;     // zone 1's account file cannot be opened
    bool badZone2Name;  // zone 2's account file is named Id1.db
    int status;
    const char* last;  // the last printed text
  };
  const Case cases[] = {
      {"every zone merged", 2, false, false, cli::kExitOk, "多区合并完成,共处理从区文件2个"},
      {"no zone", 0, false, false, cli::kExitOk, "多区合并完成,共处理从区文件0个"},
      {"zone 1 skipped", 2, true, false, cli::kExitFailed, "多区合并完成,共处理从区文件1个"},
      {"ended at zone 2", 2, false, true, cli::kExitFailed, "请确认从区帐号文件名称为Id.db"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fresh();
    test::TempDir root;
    const Zone main = MainZone(root / "main");
    const Zone s1 = Slave1(root / "s1");
    const Zone s2 = c.badZone2Name ? Slave2({root / "s2", "Id1.db"}) : Slave2({root / "s2"});
    WriteBytes(root / "a.txt", "KING\r\n");
    WriteBytes(root / "b.txt", "BOB\r\n");
    Keys keys = Join({{{"从区个数", std::to_string(c.zones)}}, MainKeys(main)});
    if (c.zones > 0) keys = Join({keys, SlaveKeys(1, s1), SlaveKeys(2, s2)});
    const fs::path config = WriteConfig(root / "batch.ini", keys);
    LockedFilesEnv lockedEnv(
        &env_, c.lockZone1 ? std::vector<fs::path>{s1.id()} : std::vector<fs::path>{});
    platform::ScopedEnv scoped(&lockedEnv);

    // A later job runs only after a complete batch.
    const CliResult r = RunCli({"batch", config.string(), "then", "members",
                                (root / "a.txt").string(), (root / "b.txt").string()});

    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err, "");
    Lines texts = PrintedTexts(r.out);
    test::TakeRestorePointLines(texts, true);
    const bool later = c.status == cli::kExitOk;
    if (later) {
      ASSERT_GE(texts.size(), 2u);
      EXPECT_EQ(texts.back(), "会员数据合并完毕!");
      texts.resize(texts.size() - 2);
    }
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), "升级数据库文件...");
    EXPECT_EQ(texts.back(), c.last);
    EXPECT_EQ(ReadBytes(root / "a.txt"), later ? "KING\r\nBOB\r\n" : "KING\r\n");
  }
}

TEST_F(BatchTest, CliSuffixOfAServerMergeCarriesIntoALaterBatch) {
  const Zone main = MainZone(Path("main"));
  const Zone slave = MakeZone({Path("slave")}, {"DAN"}, {{"PAWN", "DAN"}});
  const Zone s1 = Slave1(Path("s1"));
  const fs::path config =
      WriteConfig(Path("batch.ini"), Join({{{"从区个数", "1"}}, MainKeys(main), SlaveKeys(1, s1)}));

  const CliResult r =
      RunCli({"server", main.id().string(), slave.id().string(), main.hum().string(),
              slave.hum().string(), main.kem().string(), slave.kem().string(), "--suffix", "★",
              "then", "batch", config.string()});

  EXPECT_EQ(r.status, cli::kExitOk) << r.err;
  EXPECT_FALSE(fs::exists(Path("人物更名列表.txt")));  // the server merge renamed nobody
  EXPECT_EQ(ReadBytes(Path("人物更名列表1.txt")), "QUEEN=" + G("QUEEN★") + "\r\n");
  EXPECT_EQ(Process().duplicateNameSuffix, G("★"));
  Lines texts = PrintedTexts(r.out);
  test::TakeRestorePointLines(texts, true);  // the server merge's
  test::TakeRestorePointLines(texts, true);  // the batch's
  ASSERT_FALSE(texts.empty());
  EXPECT_EQ(texts.back(), "多区合并完成,共处理从区文件1个");
}

#endif  // ZKQ_HAVE_CLI

}  // namespace
}  // namespace zkq
