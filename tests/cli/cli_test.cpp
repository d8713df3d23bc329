// The command-line runner: usage errors, the checks the window makes before a server merge with
// its messages, server merges of small zones built byte by byte (alone, joined by "then", with
// --backup and --suffix), and what goes to standard output and standard error.
#include "support/cli_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/process_state.h"
#include "common/progress_log.h"
#include "support/bytes.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/zones.h"

namespace zkq {
namespace {

using test::GetLe32;
using test::kHeaderSize;
using test::kKem0330RecordSize;
using test::kKemRecordSize;
using test::PutLe32;
using test::ReadBytes;
using test::SameBytes;
using test::WriteBytes;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;
using Lines = std::vector<std::string>;

// ---- Zones built byte by byte ----

// The three database files of a zone, in the folders the game server keeps them in.
struct Zone {
  fs::path root;
  fs::path id() const { return root / "loginsrv" / "IDDB" / "Id.db"; }
  fs::path hum() const { return root / "Dbserver" / "FDB" / "Hum.db"; }
  fs::path kem() const { return root / "Dbserver" / "FDB" / "Kem.db"; }
};

Zone MakeZone(const fs::path& root, const std::vector<std::string>& accounts,
              const std::vector<test::Character>& characters,
              size_t kemRecordSize = kKemRecordSize) {
  const Zone zone{root};
  test::WriteZoneFiles(zone.id(), zone.hum(), zone.kem(), accounts, characters, kemRecordSize);
  return zone;
}

// main: accounts AMY, BEN; characters KING (AMY), QUEEN (BEN).
// slave: accounts BEN, CAT; characters QUEEN (BEN), ROOK (CAT).
Zone MainZone(const fs::path& root, size_t kemRecordSize = kKemRecordSize) {
  return MakeZone(root, {"AMY", "BEN"}, {{"KING", "AMY"}, {"QUEEN", "BEN"}}, kemRecordSize);
}
Zone SlaveZone(const fs::path& root) {
  return MakeZone(root, {"BEN", "CAT"}, {{"QUEEN", "BEN"}, {"ROOK", "CAT"}});
}

// The six paths of a server job, in command-line order.
Args ServerPaths(const Zone& main, const Zone& slave) {
  return {main.id().string(),   slave.id().string(), main.hum().string(),
          slave.hum().string(), main.kem().string(), slave.kem().string()};
}

Args ServerArgs(const Zone& main, const Zone& slave, const Args& extra = {}) {
  Args args = {"server"};
  for (const std::string& p : ServerPaths(main, slave)) args.push_back(p);
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

// The bytes of every file below a folder, by relative path.
using Files = std::map<std::string, std::string>;
Files Snapshot(const fs::path& dir) {
  Files files;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    if (e.is_regular_file()) files[fs::relative(e.path(), dir).string()] = ReadBytes(e.path());
  return files;
}

// The same file names with the same bytes; a difference is named, not dumped.
testing::AssertionResult SameFiles(const Files& actual, const Files& expected) {
  for (const auto& [name, bytes] : expected) {
    const auto it = actual.find(name);
    if (it == actual.end()) return testing::AssertionFailure() << "missing: " << name;
    if (auto same = SameBytes(it->second, bytes); !same) return same << " in " << name;
  }
  for (const auto& [name, bytes] : actual)
    if (expected.count(name) == 0) return testing::AssertionFailure() << "unexpected: " << name;
  return testing::AssertionSuccess();
}

// ---- Running the command line ----

using test::RunCli;
using Result = test::CliResult;

Lines SplitLf(const std::string& text) {
  Lines lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << "output does not end with a line end";
  return lines;
}

// The texts of the printed log lines: the stamp "yyyy-MM-dd HH:mm:ss " is removed.
Lines PrintedTexts(const std::string& out) {
  Lines texts;
  for (const std::string& line : SplitLf(out)) {
    const bool stamped = line.size() > 20 && line[4] == '-' && line[7] == '-' && line[10] == ' ' &&
                         line[13] == ':' && line[16] == ':' && line[19] == ' ';
    EXPECT_TRUE(stamped) << line;
    texts.push_back(stamped ? line.substr(20) : line);
  }
  return texts;
}

class CliTest : public test::FileTest {
 protected:
  CliTest() { Log().Reset(); }
  ~CliTest() override { Log().Reset(); }
};

// ---- Usage ----

TEST_F(CliTest, UsageErrorsGiveStatus2AndRunNothing) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  const Args paths = ServerPaths(main, slave);
  const Args five(paths.begin(), paths.end() - 1);
  struct Case {
    const char* name;
    Args args;
  };
  const Case cases[] = {
      {"no job", {}},
      {"only options", {"--verbose"}},
      {"unknown job", {"merge", "a", "b"}},
      {"unknown option", {"--fast", "server"}},
      {"server with 5 paths",
       [&] {
         Args a = {"server"};
         a.insert(a.end(), five.begin(), five.end());
         return a;
       }()},
      {"server with 7 paths", ServerArgs(main, slave, {"extra"})},
      {"unknown server option", ServerArgs(main, slave, {"--colour"})},
      {"--suffix of 3 characters", ServerArgs(main, slave, {"--suffix", "abc"})},
      {"--suffix of 3 GBK characters", ServerArgs(main, slave, {"--suffix", "★★★"})},
      {"--suffix without GBK form", ServerArgs(main, slave, {"--suffix", "\xF0\x9F\x98\x80"})},
      {"--suffix without a value", ServerArgs(main, slave, {"--suffix"})},
      {"--backup without a value", ServerArgs(main, slave, {"--backup"})},
      {"--program-dir without a value", {"--program-dir"}},
      {"batch with two files", {"batch", "a.ini", "b.ini"}},
      {"batch without a file", {"batch"}},
      {"clean without --min-level", {"clean", "a", "b", "c", "--before", "2024-01-01"}},
      {"clean-guilds without a number", {"clean-guilds", "a"}},
      {"guilds with 3 folders", {"guilds", "a", "b", "c"}},
      {"an option for members", {"members", "a", "b", "--suffix", "x"}},
      {"then without a job", ServerArgs(main, slave, {"then"})},
      // The words of every job are checked before the first one runs.
      {"a bad second job", ServerArgs(main, slave, {"then", "clean-storage", "a"})},
      {"a bad second suffix",
       [&] {
         Args a = ServerArgs(main, slave, {"then"});
         for (const std::string& w : ServerArgs(main, slave, {"--suffix", "abc"})) a.push_back(w);
         return a;
       }()},
  };
  const auto before = Snapshot(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Result r = RunCli(c.args);
    EXPECT_EQ(r.status, cli::kExitUsage);
    EXPECT_FALSE(r.err.empty());
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Log().Lines().empty());
  }
  EXPECT_TRUE(
      SameFiles(Snapshot(dir_.path()), before));  // nothing merged, no Log.txt, no rename list
}

TEST_F(CliTest, HelpPrintsTheUsageAndRunsNothing) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  const auto before = Snapshot(dir_.path());
  for (const Args& args : {Args{"--help"}, Args{"-h"}, ServerArgs(main, slave, {"--help"})}) {
    SCOPED_TRACE(args.back());
    const Result r = RunCli(args);
    EXPECT_EQ(r.status, cli::kExitOk);
    EXPECT_NE(r.out.find("Usage: zkqmerge-cli"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("server MAIN_ID SLAVE_ID MAIN_HUM SLAVE_HUM MAIN_KEM SLAVE_KEM"),
              std::string::npos);
    EXPECT_EQ(r.err, "");
  }
  EXPECT_TRUE(SameFiles(Snapshot(dir_.path()), before));
}

// ---- The window's checks ----

TEST_F(CliTest, TheWindowsChecksStopTheJobWithTheirMessages) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  fs::create_directories(dir_ / "other");
  WriteBytes(dir_ / "other" / "Id.db.bak", ReadBytes(main.id()));
  fs::create_directories(dir_ / "folders" / "Hum.db");
  const std::string missing = (dir_ / "missing").string();
  enum { kMainId, kSlaveId, kMainHum, kSlaveHum, kMainKem, kSlaveKem };
  struct Change {
    int index;
    std::string path;
  };
  struct Case {
    const char* name;
    std::vector<Change> changes;
    const char* message;
  };
  const Case cases[] = {
      {"empty main account path", {{kMainId, ""}}, "数据库文件不能为空"},
      {"blank slave data path", {{kSlaveKem, "  "}}, "数据库文件不能为空"},
      {"empty path before a bad name", {{kMainId, "x.db"}, {kSlaveHum, ""}}, "数据库文件不能为空"},
      {"main account file misnamed",
       {{kMainId, (dir_ / "other" / "Id.db.bak").string()}},
       "请确认主帐号文件名称为Id.db"},
      {"slave account file misnamed",
       {{kSlaveId, slave.hum().string()}},
       "请确认从帐号文件名称为Id.db"},
      {"main index file misnamed",
       {{kMainHum, main.kem().string()}},
       "请确认主角色文件名称为Hum.db"},
      {"slave index file misnamed",
       {{kSlaveHum, missing + "/Hum.db.idx"}},
       "请确认从角色文件名称为Hum.db"},
      {"main data file misnamed",
       {{kMainKem, main.hum().string()}},
       "请确认主数据文件名称为Kem.db"},
      {"slave data file misnamed", {{kSlaveKem, missing + "/Kem"}}, "请确认从数据文件名称为Kem.db"},
      {"names are checked in the window's order",
       {{kSlaveKem, "a/b"}, {kMainHum, "a/b"}, {kSlaveId, "a/b"}},
       "请确认从帐号文件名称为Id.db"},
      {"names are checked before existence",
       {{kMainId, missing + "/Id.db"}, {kMainKem, "Kem.db.bak"}},
       "请确认主数据文件名称为Kem.db"},
      {"ID.DB passes the name check", {{kMainId, missing + "/ID.DB"}}, "主数据库文件Id.db不存在"},
      {"the name is what follows a colon",
       {{kMainHum, missing + "/x:Hum.db"}},
       "主数据库文件Hum.db不存在"},
      {"main account file missing", {{kMainId, missing + "/Id.db"}}, "主数据库文件Id.db不存在"},
      {"slave account file missing", {{kSlaveId, missing + "/id.db"}}, "从数据库文件Id.db不存在"},
      {"main index file is a folder",
       {{kMainHum, (dir_ / "folders" / "Hum.db").string()}},
       "主数据库文件Hum.db不存在"},
      {"slave index file missing", {{kSlaveHum, missing + "/Hum.db"}}, "从数据库文件Hum.db不存在"},
      {"main data file missing", {{kMainKem, missing + "/Kem.db"}}, "主数据库文件Kem.db不存在"},
      {"slave data file missing", {{kSlaveKem, missing + "/Kem.db"}}, "从数据库文件Kem.db不存在"},
      {"existence is checked in the window's order",
       {{kSlaveKem, missing + "/Kem.db"}, {kMainHum, missing + "/Hum.db"}},
       "主数据库文件Hum.db不存在"},
  };
  const auto before = Snapshot(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Args args = ServerArgs(main, slave);
    for (const Change& ch : c.changes) args[static_cast<size_t>(ch.index) + 1] = ch.path;
    const Result r = RunCli(args);
    EXPECT_EQ(r.status, cli::kExitFailed);
    EXPECT_EQ(r.err, std::string(c.message) + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_TRUE(Log().Lines().empty());
  }
  EXPECT_TRUE(SameFiles(Snapshot(dir_.path()), before));
}

TEST_F(CliTest, ALogFileThatCannotBeReadStopsBeforeAnyJob) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  fs::create_directory(dir_ / "Log.txt");
  const auto before = Snapshot(dir_.path());
  const Result r = RunCli(ServerArgs(main, slave));
  EXPECT_EQ(r.status, cli::kExitFailed);
  EXPECT_NE(r.err.find("Log.txt"), std::string::npos) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(SameFiles(Snapshot(dir_.path()), before));
}

// ---- Server merges ----

TEST_F(CliTest, AServerMergePrintsItsLogLinesAndWritesTheListsToTheProgramFolder) {
  struct Case {
    bool verbose;
    Lines printed;
  };
  const Lines progress = {"合并帐号BEN",          "合并帐号CAT",           "合并角色QUEEN",
                          "合并角色ROOK",         "合并角色QUEEN的数据",   "合并角色ROOK的数据",
                          "重排角色KING的物品ID", "重排角色QUEEN的物品ID", "重排角色QUEENa的物品ID",
                          "重排角色ROOK的物品ID"};
  for (const bool verbose : {false, true}) {
    SCOPED_TRACE(verbose ? "--verbose" : "quiet");
    test::TempDir root;
    Log().Reset();
    ResetProcessState();
    fs::remove(dir_ / "Log.txt");
    const Zone main = MainZone(root / "main");
    const Zone slave = SlaveZone(root / "slave");
    const fs::path program = root / "program";
    fs::create_directories(program);

    Args args = {"--program-dir", program.string()};
    if (verbose) args.push_back("--verbose");
    for (const std::string& w : ServerArgs(main, slave)) args.push_back(w);
    const Result r = RunCli(args);

    EXPECT_EQ(r.status, cli::kExitOk) << r.err;
    EXPECT_EQ(r.err, "");
    Lines expected = {"升级数据库文件...", main.kem().string() + " 源数据备份成功!",
                      slave.kem().string() + " 源数据备份成功!"};
    if (verbose) expected.insert(expected.end(), progress.begin(), progress.end());
    expected.push_back("数据库文件合并完毕!");
    Lines printed = PrintedTexts(r.out);
    // The last lines name the restore point.
    const Lines restorePoint = test::TakeRestorePointLines(printed, true);
    ASSERT_FALSE(restorePoint.empty());
    EXPECT_EQ(restorePoint.front().rfind("还原点: " + main.kem().parent_path().string(), 0), 0u);
    EXPECT_EQ(printed, expected);

    // The lists in the program folder, "Log.txt" (GBK, every line) in the current folder.
    EXPECT_EQ(ReadBytes(program / "ID更名列表.txt"), "BEN=BENa\r\n");
    EXPECT_EQ(ReadBytes(program / "人物更名列表.txt"), "QUEEN=QUEENa\r\n");
    EXPECT_FALSE(fs::exists(dir_ / "ID更名列表.txt"));
    const std::string log = ReadBytes(dir_ / "Log.txt");
    EXPECT_NE(log.find("\xBA\xCF\xB2\xA2\xD5\xCA\xBA\xC5"
                       "BEN\r\n"),
              std::string::npos);  // 合并帐号
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'),
              static_cast<std::ptrdiff_t>(14 + restorePoint.size()));
    EXPECT_EQ(GetLe32(ReadBytes(main.hum()), 104), 4);
  }
}

TEST_F(CliTest, JobsJoinedByThenRunInTurnAndTheSecondSeesTheFirstsResults) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  const Zone slave2 = MakeZone(dir_ / "slave2", {"DAN"}, {{"ROOK", "DAN"}});
  Args args = ServerArgs(main, slave);
  args.push_back("then");
  for (const std::string& w : ServerArgs(main, slave2)) args.push_back(w);

  const Result r = RunCli(args);

  EXPECT_EQ(r.status, cli::kExitOk) << r.err;
  const Lines texts = PrintedTexts(r.out);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "升级数据库文件..."), 2);
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "数据库文件合并完毕!"), 2);
  // The second job's ROOK clashes with the ROOK the first job brought in.
  EXPECT_EQ(ReadBytes(main.kem()).size(), kHeaderSize + 5 * kKemRecordSize);
  EXPECT_EQ(ReadBytes(dir_ / "人物更名列表.txt"), "ROOK=ROOKa\r\n");
  EXPECT_EQ(Process().charNameMap.Value("ROOK"), "ROOKa");
  EXPECT_EQ(ReadBytes(dir_ / "ID更名列表.txt"), "BEN=BENa\r\n");
}

TEST_F(CliTest, AFailingFirstJobStopsTheSecond) {
  struct Case {
    const char* name;
    bool checkFails;  // else the first job's upgrade fails
    const char* message;
  };
  const Case cases[] = {
      {"first job's checks fail", true, "从数据库文件Kem.db不存在\n"},
      {"first job's operation fails", false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempDir root;
    Log().Reset();
    ResetProcessState();
    const Zone main = MainZone(root / "main", c.checkFails ? kKemRecordSize : kKem0330RecordSize);
    const Zone slave = SlaveZone(root / "slave");
    if (c.checkFails) fs::remove(slave.kem());
    const Zone main2 = MainZone(root / "main2");
    const Zone slave2 = SlaveZone(root / "slave2");
    const auto secondBefore = Snapshot(main2.root);
    // The upgraded file cannot be written.
    env_.writeFault = [&](const fs::path& file, int64_t, size_t) {
      return file.filename().string().rfind("Kem.db.zkq-upgrade", 0) != 0;
    };
    Args args = ServerArgs(main, slave);
    args.push_back("then");
    for (const std::string& w : ServerArgs(main2, slave2)) args.push_back(w);

    const Result r = RunCli(args);
    env_.writeFault = nullptr;

    EXPECT_EQ(r.status, cli::kExitFailed);
    EXPECT_EQ(r.err, c.message);
    const Lines texts = PrintedTexts(r.out);
    if (c.checkFails) {
      EXPECT_TRUE(texts.empty());
    } else {
      ASSERT_FALSE(texts.empty());
      EXPECT_EQ(texts.back(), "人物数据一升级失败!");
    }
    EXPECT_EQ(std::count(texts.begin(), texts.end(), "升级数据库文件..."), c.checkFails ? 0 : 1);
    EXPECT_TRUE(SameFiles(Snapshot(main2.root), secondBefore));
  }
}

TEST_F(CliTest, BackupCopiesTheMainZonesFoldersBeforeTheMerge) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  const std::string id = ReadBytes(main.id());
  const std::string hum = ReadBytes(main.hum());
  const std::string kem = ReadBytes(main.kem());
  const fs::path backup = dir_ / "backup";

  const Result r = RunCli(ServerArgs(main, slave, {"--backup", backup.string()}));

  EXPECT_EQ(r.status, cli::kExitOk) << r.err;
  EXPECT_TRUE(SameFiles(Snapshot(backup), (Files{{"Dbserver/FDB/Hum.db", hum},
                                                 {"Dbserver/FDB/Kem.db", kem},
                                                 {"loginsrv/IDDB/Id.db", id}})));
  EXPECT_NE(ReadBytes(main.id()), id);  // the merge ran after the copy
}

// The folder holding a main file given by a bare or "./" name is the current folder.
TEST_F(CliTest, BackupOfAMainFileNamedRelativeToTheCurrentFolder) {
  for (const char* given : {"Id.db", "./Id.db"}) {
    SCOPED_TRACE(given);
    test::TempDir root;
    Log().Reset();
    ResetProcessState();
    const Zone main = MainZone(root / "main");
    const Zone slave = SlaveZone(root / "slave");
    const std::string id = ReadBytes(main.id());
    fs::current_path(main.id().parent_path());
    Args args = ServerArgs(main, slave, {"--backup", (root / "backup").string()});
    args[1] = given;

    const Result r = RunCli(args);
    fs::current_path(dir_.path());

    EXPECT_EQ(r.status, cli::kExitOk) << r.err;
    EXPECT_TRUE(SameBytes(ReadBytes(root / "backup" / "loginsrv" / "IDDB" / "Id.db"), id));
    EXPECT_FALSE(fs::exists(root / "backup" / "loginsrv" / "Id.db"));
  }
}

TEST_F(CliTest, BackupIsMadeBeforeTheChecksAndItsFailuresStopTheJob) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  const std::string id = ReadBytes(main.id());
  struct Case {
    const char* name;
    std::string backup;
    const char* blocker;  // made a file inside the backup folder first
    bool slaveMissing;
    const char* message;
    std::set<std::string> copied;  // files then found in the backup folder
  };
  const Case cases[] = {
      {"empty backup folder", "  ", nullptr, false, "备份目录不能为空\n", {}},
      {"account folder cannot be copied", "b1", "loginsrv", false, "备份ID目录错误\n", {}},
      {"database folder cannot be copied",
       "b2",
       "Dbserver",
       false,
       "备份数据目录错误\n",
       {"loginsrv/IDDB/Id.db"}},
      {"a check fails after the copy",
       "b3",
       nullptr,
       true,
       "从数据库文件Kem.db不存在\n",
       {"Dbserver/FDB/Hum.db", "Dbserver/FDB/Kem.db", "loginsrv/IDDB/Id.db"}},
  };
  const std::string slaveKem = ReadBytes(slave.kem());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path backup =
        c.backup.find_first_not_of(' ') == std::string::npos ? fs::path(c.backup) : dir_ / c.backup;
    if (c.blocker) {
      fs::create_directories(backup);
      WriteBytes(backup / c.blocker, "a file where a folder must go");
    }
    if (c.slaveMissing) fs::remove(slave.kem());

    const Result r = RunCli(ServerArgs(main, slave, {"--backup", backup.string()}));
    if (c.slaveMissing) WriteBytes(slave.kem(), slaveKem);

    EXPECT_EQ(r.status, cli::kExitFailed);
    // The message, then, for a failed copy, the reason and the path.
    const std::string message = std::string(c.message).substr(0, std::strlen(c.message) - 1);
    EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
    EXPECT_EQ(r.err.back(), '\n');
    if (c.blocker != nullptr) {
      EXPECT_NE(r.err.find(c.blocker), std::string::npos) << r.err;
    }
    EXPECT_EQ(r.out, "");
    std::set<std::string> copied;
    if (fs::exists(backup))
      for (const auto& [name, bytes] : Snapshot(backup))
        if (!c.blocker || name != c.blocker) copied.insert(name);
    EXPECT_EQ(copied, c.copied);
    EXPECT_TRUE(SameBytes(ReadBytes(main.id()), id));
  }
}

TEST_F(CliTest, SuffixReachesTheCharacterIndexMergeAsGbk) {
  struct Case {
    std::string given;
    std::string gbk;
  };
  const Case cases[] = {
      {"★", "\xA1\xEF"}, {" ★ ", "\xA1\xEF"}, {"☆★", "\xA1\xEE\xA1\xEF"}, {"xy", "xy"}, {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    test::TempDir root;
    Log().Reset();
    ResetProcessState();
    const Zone main = MainZone(root / "main");
    const Zone slave = SlaveZone(root / "slave");

    const Result r = RunCli(ServerArgs(main, slave, {"--suffix", c.given}));

    EXPECT_EQ(r.status, cli::kExitOk) << r.err;
    EXPECT_EQ(Process().duplicateNameSuffix, c.gbk);
    const std::string newName = "QUEEN" + (c.gbk.empty() ? std::string("a") : c.gbk);
    EXPECT_EQ(ReadBytes(dir_ / "人物更名列表.txt"), "QUEEN=" + newName + "\r\n");
  }
}

}  // namespace
}  // namespace zkq

namespace zkq {
namespace {

// ---- The side-data jobs ----

TEST_F(CliTest, SideDataJobsMakeTheWindowsChecks) {
  fs::create_directories(dir_ / "a");
  fs::create_directories(dir_ / "b");
  WriteBytes(dir_ / "m.txt", "Ann\r\n");
  WriteBytes(dir_ / "s.txt", "Bob\r\n");
  const std::string a = (dir_ / "a").string(), b = (dir_ / "b").string();
  const std::string m = (dir_ / "m.txt").string(), sl = (dir_ / "s.txt").string();
  const std::string none = (dir_ / "none").string();
  struct Case {
    Args args;
    const char* message;
  };
  const Case cases[] = {
      {{"guilds", " ", b}, "请选择行会目录"},   {{"guilds", none, b}, "行会目录不存在"},
      {{"guilds", a, none}, "行会目录不存在"},  {{"tasks", a, ""}, "请选择任务目录"},
      {{"tasks", none, b}, "任务目录不存在"},   {{"vars", "", ""}, "请选择变量目录"},
      {{"vars", a, none}, "变量目录不存在"},    {{"friends", "", b}, "请选择好友目录"},
      {{"friends", none, b}, "好友目录不存在"}, {{"members", "", sl}, "请选择会员文件"},
      {{"members", m, none}, "会员文件不存在"}, {{"members", a, b}, "会员文件不存在"},
      {{"clans", a, " "}, "请选择宗族目录"},    {{"clans", m, sl}, "宗族目录不存在"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.args[1] + " " + c.args[2]);
    const Result r = RunCli(c.args);
    EXPECT_EQ(r.status, cli::kExitFailed);
    EXPECT_EQ(r.err, std::string(c.message) + "\n");
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_EQ(ReadBytes(dir_ / "m.txt"), "Ann\r\n");
}

TEST_F(CliTest, MembersJobMergesTheFilesAndReportsSuccess) {
  WriteBytes(dir_ / "m.txt", "Ann\r\n");
  WriteBytes(dir_ / "s.txt", "Bob\r\nann\r\n");
  const Result r =
      RunCli({"members", (dir_ / "m.txt").string() + " ", " " + (dir_ / "s.txt").string()});
  EXPECT_EQ(r.status, cli::kExitOk) << r.err;
  EXPECT_EQ(PrintedTexts(r.out), (Lines{"处理会员数据...", "会员数据合并完毕!"}));
  EXPECT_EQ(ReadBytes(dir_ / "m.txt"), "Ann\r\nBob\r\n");
}

// A task merge run after a server merge in the same process continues the item numbering
// where the character data merge left it, as two jobs started from one window would.
TEST_F(CliTest, TasksAfterAServerMergeContinueTheItemNumbers) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  // Each main character holds one item in Items30 (slot 0, offset 20623).
  std::string kem = ReadBytes(main.kem());
  for (size_t rec = 0; rec < 2; ++rec) PutLe32(kem, kHeaderSize + rec * kKemRecordSize + 20623, 77);
  WriteBytes(main.kem(), kem);

  fs::create_directories(dir_ / "tasks-main");
  fs::create_directories(dir_ / "tasks-slave");
  const auto hexOf = [](const std::string& bytes) {
    std::string hex;
    for (const unsigned char c : bytes) {
      hex += "0123456789ABCDEF"[c >> 4];
      hex += "0123456789ABCDEF"[c & 15];
    }
    return hex;
  };
  std::string item(85, '\0');
  PutLe32(item, 0, 5);
  WriteBytes(dir_ / "tasks-slave" / "ROOK",
             "[PetSell]\r\nItemCount=1\r\nItem1=" + hexOf(item) + "\r\n");

  Args args = ServerArgs(main, slave);
  for (const std::string& w :
       Args{"then", "tasks", (dir_ / "tasks-main").string(), (dir_ / "tasks-slave").string()})
    args.push_back(w);
  const Result r = RunCli(args);

  EXPECT_EQ(r.status, cli::kExitOk) << r.err;
  // The server merge numbered the two items 1 and 2; the stalled item takes 3.
  EXPECT_EQ(Process().itemCounter, 3u);
  PutLe32(item, 0, 3);
  EXPECT_EQ(ReadBytes(dir_ / "tasks-main" / "ROOK"),
            "[PetSell]\r\nItemCount=1\r\nItem1=" + hexOf(item) + "\r\n\r\n");
  const Lines texts = PrintedTexts(r.out);
  ASSERT_GE(texts.size(), 2u);
  EXPECT_EQ(texts[texts.size() - 2], "处理任务数据...");
  EXPECT_EQ(texts.back(), "任务数据合并完毕!");
}

}  // namespace
}  // namespace zkq

namespace zkq {
namespace {

// ---- The cleanup jobs ----

TEST_F(CliTest, CleanupJobsMakeTheWindowsChecks) {
  const Zone zone = MainZone(dir_ / "zone");
  const std::string id = zone.id().string(), hum = zone.hum().string(), kem = zone.kem().string();
  const std::string noFolder = (dir_ / "none" / "kem.db").string();
  const std::string noFile = (zone.kem().parent_path() / "kem.db").string();
  fs::create_directories(dir_ / "Storage");
  const std::string storage = (dir_ / "Storage").string();
  const Args level = {"--before", "2024-01-01", "--min-level", "35"};
  auto clean = [&](const std::string& a, const std::string& b, const std::string& c) {
    Args args = {"clean", a, b, c};
    args.insert(args.end(), level.begin(), level.end());
    return args;
  };
  struct Case {
    Args args;
    std::string message;
  };
  const Case cases[] = {
      {clean(id, " ", kem), "请选择数据库目录"},
      {clean(id, hum, noFolder), "数据库目录不存在"},
      {clean(id, hum, noFile), "文件" + noFile + "不存在"},
      {{"clean-guilds", "", "50"}, "请选择行会目录"},
      {{"clean-guilds", (dir_ / "none").string(), "50"}, "行会目录不存在"},
      {{"clean-storage", " ", hum}, "请选择Storage目录"},
      {{"clean-storage", (dir_ / "none").string(), hum}, "Storage目录不存在"},
      {{"clean-storage", storage, ""}, "请选择数据库目录"},
      {{"clean-storage", storage, noFolder}, "数据库目录不存在"},
      {{"clean-storage", storage, noFile}, "文件" + noFile + "不存在"},
  };
  const auto before = Snapshot(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    const Result r = RunCli(c.args);
    EXPECT_EQ(r.status, cli::kExitFailed);
    EXPECT_EQ(r.err, c.message + "\n");
  }
  EXPECT_TRUE(SameFiles(Snapshot(dir_.path()), before));
}

TEST_F(CliTest, CleanGuildsRemovesSmallGuildsAndReportsSuccess) {
  fs::create_directories(dir_ / "guilds" / "Guilds");
  WriteBytes(dir_ / "guilds" / "Guildlist.txt", "Big\r\nSmall\r\n");
  const std::string members = "\xD0\xD0\xBB\xE1\xB3\xC9\xD4\xB1";  // 行会成员 in GBK
  WriteBytes(dir_ / "guilds" / "Guilds" / "Big.txt", members + "\r\n+a\r\n+b\r\n");
  WriteBytes(dir_ / "guilds" / "Guilds" / "Small.txt", members + "\r\n+a\r\n");
  const Result r = RunCli({"clean-guilds", (dir_ / "guilds").string(), "2"});
  EXPECT_EQ(r.status, cli::kExitOk) << r.err;
  EXPECT_EQ(PrintedTexts(r.out), (Lines{"清理行会数据...", "行会数据清理完毕!"}));
  EXPECT_EQ(ReadBytes(dir_ / "guilds" / "Guildlist.txt"), "Big\r\n");
  EXPECT_FALSE(fs::exists(dir_ / "guilds" / "Guilds" / "Small.txt"));
}

TEST_F(CliTest, ABackupFolderInsideTheZoneIsRefusedBeforeAnythingIsCopied) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  const auto before = Snapshot(main.root);
  struct Case {
    const char* label;
    fs::path backup;
    const char* message;
  };
  const Case cases[] = {
      // The account folder is copied first: a target inside the database folder must stop the
      // job before that copy is made, too.
      {"inside the database folder", main.kem().parent_path() / "bk", "备份数据目录错误"},
      {"inside the account folder", main.id().parent_path() / "bk", "备份ID目录错误"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const Result r = RunCli(ServerArgs(main, slave, {"--backup", c.backup.string()}));
    EXPECT_EQ(r.status, cli::kExitFailed);
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(c.backup));
    EXPECT_TRUE(SameFiles(Snapshot(main.root), before));
  }
}

TEST_F(CliTest, RestoreListsTheRestorePointsAndPutsOneBack) {
  const Zone main = MainZone(dir_ / "main");
  const Zone slave = SlaveZone(dir_ / "slave");
  const auto mainBefore = Snapshot(main.root);
  const auto slaveBefore = Snapshot(slave.root);
  const fs::path program = dir_ / "program";
  fs::create_directories(program);
  Args args = {"--program-dir", program.string()};
  for (const std::string& w : ServerArgs(main, slave)) args.push_back(w);
  ASSERT_EQ(RunCli(args).status, cli::kExitOk);

  const fs::path folder = main.kem().parent_path();
  const Result list = RunCli({"restore", main.kem().string()});
  EXPECT_EQ(list.status, cli::kExitOk) << list.err;
  EXPECT_NE(list.out.find("  1  "), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("server"), std::string::npos) << list.out;
  EXPECT_NE(list.out.find("replaced " + main.id().string()), std::string::npos) << list.out;

  const Result wrong = RunCli({"restore", folder.string(), "7"});
  EXPECT_EQ(wrong.status, cli::kExitFailed);
  EXPECT_NE(wrong.err.find("no restore point 7"), std::string::npos) << wrong.err;

  const Result r = RunCli({"--program-dir", program.string(), "restore", folder.string(), "1"});
  EXPECT_EQ(r.status, cli::kExitOk) << r.err;
  Lines printed = PrintedTexts(r.out);
  EXPECT_FALSE(test::TakeRestorePointLines(printed, true).empty());
  ASSERT_FALSE(printed.empty());
  EXPECT_EQ(printed.back(), "还原完毕!");
  // Both zones hold their files as before, beside the restore's own restore point.
  auto dataOnly = [](Files files) {
    std::erase_if(files, [](const auto& e) {
      return platform::IsInternalName(fs::path(e.first).filename());
    });
    return files;
  };
  EXPECT_TRUE(SameFiles(dataOnly(Snapshot(main.root)), mainBefore));
  EXPECT_TRUE(SameFiles(dataOnly(Snapshot(slave.root)), slaveBefore));
}

}  // namespace
}  // namespace zkq
