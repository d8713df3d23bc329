// The guild cleanup: member counting in a member file, and the run over a guild directory that
// removes the guilds below the threshold (files, list line) and records them in the program
// folder. Small guild directories are built in the scratch folder; names and file contents are
// GBK bytes.
#include "cleanup/guild_cleanup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/progress_log.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/text_files.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::CrLf;
using test::ProgressRecorder;
using test::ReadBytes;
using test::U8;
using test::WriteBytes;
using Lines = std::vector<std::string>;

// GBK texts, byte by byte.
const std::string kHeader = "\xD0\xD0\xBB\xE1\xB3\xC9\xD4\xB1";      // "行会成员"
const std::string kProgress = "\xC7\xE5\xC0\xED\xD0\xD0\xBB\xE1: ";  // "清理行会: "
const std::string kZhanShen = "\xD5\xBD\xC9\xF1";                    // "战神"
const std::string kZhangSan = "\xD5\xC5\xC8\xFD";                    // "张三"
const std::string kZhao = "\xD5\xD4";                                // "赵"
// "跳过无法用作文件名的名称: "
const std::string kSkipped =
    "\xCC\xF8\xB9\xFD\xCE\xDE\xB7\xA8\xD3\xC3\xD7\xF7\xCE\xC4\xBC\xFE\xC3\xFB\xB5\xC4\xC3\xFB\xB3"
    "\xC6: ";

// A member file: some lines, then the header line and `members` member lines.
Lines MemberFile(int members, const Lines& before = {"[Notice]", "welcome"}) {
  Lines lines = before;
  lines.push_back(kHeader);
  for (int i = 0; i < members; ++i) lines.push_back("+Member" + std::to_string(i));
  return lines;
}

TEST(CountGuildMembersTest, CountsPlusLinesFromTheFirstHeaderLineOn) {
  const struct {
    const char* label;
    Lines lines;
    int32_t expected;
  } cases[] = {
      {"empty file", {}, 0},
      {"no header line", {"+Bob", "+Carol", " +Dan"}, 0},
      {"plus lines before the header do not count", {"+Bob", "+Carol", kHeader, "+Dan"}, 1},
      {"members after the header", {"x", kHeader, "+Bob", "+Carol"}, 2},
      {"blank and all-blank lines neither count nor stop the count",
       {kHeader, "+Bob", "", " \t ", "\r", "+Carol"},
       2},
      {"blanks and control bytes around a member line", {kHeader, " \t+Bob \x01", "\t+"}, 2},
      {"other lines inside the count are not members",
       {kHeader, "Bob", "x+Bob", "#+Bob", "-Bob", "+Carol"},
       1},
      {"header between blanks opens the count", {" \t" + kHeader + " \x1F", "+Bob"}, 1},
      {"header behind another character does not", {"#" + kHeader, "+Bob", "+Carol"}, 0},
      {"header with text behind it does not", {kHeader + "x", "+Bob"}, 0},
      {"a second header neither closes nor restarts the count",
       {kHeader, "+Bob", "+Carol", kHeader, "+Dan"},
       3},
      {"only the first header opens: earlier plus lines stay out",
       {"+Bob", kHeader, "+Carol", "+Bob", kHeader},
       2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(CountGuildMembers(c.lines), c.expected);
  }
}

// Fails the deletion of chosen files.
class RemoveFaultEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;
  std::error_code RemoveFile(const fs::path& path) override {
    if (fail && fail(path)) return std::make_error_code(std::errc::permission_denied);
    return EnvWrapper::RemoveFile(path);
  }
  std::function<bool(const fs::path&)> fail;
};

class GuildCleanupTest : public test::FileTest {
 protected:
  GuildCleanupTest() {
    Log().Reset();
    fs::create_directories(Folder());
  }

  fs::path Dir() const { return Path("zone"); }
  fs::path Folder() const { return Dir() / "Guilds"; }
  fs::path List() const { return Dir() / "Guildlist.txt"; }
  fs::path RemovalList() const { return Path(U8("行会清理列表.txt")); }

  static void Put(const fs::path& file, const Lines& lines) { WriteBytes(file, CrLf(lines)); }
  // A guild's two files under the host name `stem`.
  void Guild(const std::string& stem, const Lines& members) const {
    Put(Folder() / U8(stem + ".ini"), {"[Guild]", "GuildName=" + stem});
    Put(Folder() / U8(stem + ".txt"), members);
  }
  std::set<std::string> FolderNames() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(Folder())) {
      const std::string raw = e.path().filename().string();
      names.insert(platform::HostFileNameToGbk(e.path().filename()).value_or(raw));
    }
    return names;
  }
  // The names that the skip lines of the log refuse, in log order.
  static Lines Refused() {
    Lines refused;
    for (const auto& line : Log().Lines()) {
      const size_t at = line.find(kSkipped);
      if (at != std::string::npos) refused.push_back(line.substr(at + kSkipped.size()));
    }
    return refused;
  }
};

TEST_F(GuildCleanupTest, RemovesGuildsBelowTheThresholdStrictly) {
  Put(List(), {"Small", "", "Exact", "  ", "NoMembers", "Orphan", "Dir", "Big"});
  Guild("Small", MemberFile(49));
  Guild("Exact", MemberFile(50));
  Guild("Big", MemberFile(120));
  Guild("NoMembers", {"+Bob", "+Carol"});  // no header line: 0 members
  // Without a member file a guild is never removed, even when its settings file stands.
  Put(Folder() / "Orphan.ini", {"[Guild]", "GuildName=Orphan"});
  // A folder is no member file.
  fs::create_directories(Folder() / "Dir.txt");
  Put(Folder() / "Dir.ini", {"[Guild]"});
  // A file of the blank entry's name is not a guild's.
  Put(Folder() / ".txt", {});

  ASSERT_TRUE(CleanGuilds(Dir(), 50));

  EXPECT_EQ(ReadBytes(List()), CrLf({"", "Exact", "  ", "Orphan", "Dir", "Big"}));
  EXPECT_EQ(ReadBytes(RemovalList()), CrLf({"NoMembers", "Small"}));
  EXPECT_EQ(FolderNames(),
            (std::set<std::string>{".txt", "Big.ini", "Big.txt", "Dir.ini", "Dir.txt", "Exact.ini",
                                   "Exact.txt", "Orphan.ini"}));
  EXPECT_EQ(ReadBytes(Folder() / "Exact.txt"), CrLf(MemberFile(50)));
}

TEST_F(GuildCleanupTest, WalksFromTheLastEntryAgainstTheShrinkingList) {
  Put(List(), {"Alpha", "Keeper", "Beta", "Gamma"});
  Guild("Alpha", MemberFile(0));
  Guild("Beta", MemberFile(4));
  Guild("Gamma", {});
  // Lines of another guild that name a removed one stay as they are.
  const Lines keeper = {"Alpha", kHeader, "+A", "+B", "+C", "+D", "+E", "Beta"};
  Guild("Keeper", keeper);
  ProgressRecorder progress;

  ASSERT_TRUE(CleanGuilds(Dir(), 5));

  EXPECT_EQ(ReadBytes(RemovalList()), CrLf({"Gamma", "Beta", "Alpha"}));
  EXPECT_EQ(ReadBytes(List()), CrLf({"Keeper"}));
  EXPECT_EQ(ReadBytes(Folder() / "Keeper.txt"), CrLf(keeper));
  EXPECT_EQ(FolderNames(), (std::set<std::string>{"Keeper.ini", "Keeper.txt"}));
  // Position counts the entries examined; the total is what the list holds at that moment:
  // 1 of 4, 2 of 3, 3 of 2, 4 of 2.
  EXPECT_EQ(progress.lines, (std::vector<std::pair<std::string, int>>{{kProgress + "Gamma", 25},
                                                                      {kProgress + "Beta", 67},
                                                                      {kProgress + "Keeper", 150},
                                                                      {kProgress + "Alpha", 200}}));
}

TEST_F(GuildCleanupTest, AllRemovedLeavesAnEmptyList) {
  Put(List(), {"Alpha", "Beta"});
  Guild("Alpha", {});
  Guild("Beta", {});

  ASSERT_TRUE(CleanGuilds(Dir(), 1));

  EXPECT_EQ(ReadBytes(List()), "");
  EXPECT_EQ(ReadBytes(RemovalList()), CrLf({"Beta", "Alpha"}));
  EXPECT_TRUE(FolderNames().empty());
}

TEST_F(GuildCleanupTest, ZeroThresholdRemovesNothingAndStillRewritesTheList) {
  // LF line ends and no line end at the end: the rewritten list has CR LF behind every line.
  WriteBytes(List(), "Alpha\nBeta\r\n\nGamma");
  Guild("Alpha", {});
  Guild("Beta", MemberFile(3));
  Put(RemovalList(), {"Earlier"});

  ASSERT_TRUE(CleanGuilds(Dir(), 0));

  EXPECT_EQ(ReadBytes(List()), CrLf({"Alpha", "Beta", "", "Gamma"}));
  // Nothing removed: an earlier removal list stays as it was.
  EXPECT_EQ(ReadBytes(RemovalList()), CrLf({"Earlier"}));
  EXPECT_EQ(FolderNames(),
            (std::set<std::string>{"Alpha.ini", "Alpha.txt", "Beta.ini", "Beta.txt"}));
}

TEST_F(GuildCleanupTest, NothingRemovedWritesNoRemovalList) {
  Put(List(), {"Alpha"});
  Guild("Alpha", MemberFile(2));

  ASSERT_TRUE(CleanGuilds(Dir(), 2));

  EXPECT_FALSE(fs::exists(RemovalList()));
  EXPECT_EQ(ReadBytes(List()), CrLf({"Alpha"}));
}

TEST_F(GuildCleanupTest, GbkNamesOnDisk) {
  Put(List(), {kZhanShen, kZhangSan, kZhao});
  Guild(*platform::GbkToUtf8(kZhanShen), MemberFile(1));  // stored under its host name
  Guild(*platform::GbkToUtf8(kZhao), MemberFile(9));
#ifndef _WIN32
  // Raw GBK bytes, as a folder copied from a Windows server holds them.
  Put(Folder() / (kZhangSan + ".ini"), {"[Guild]"});
  Put(Folder() / (kZhangSan + ".txt"), MemberFile(2));
#endif

  ASSERT_TRUE(CleanGuilds(Dir(), 5));

#ifndef _WIN32
  EXPECT_EQ(ReadBytes(RemovalList()), CrLf({kZhangSan, kZhanShen}));
  EXPECT_EQ(ReadBytes(List()), CrLf({kZhao}));
#else
  EXPECT_EQ(ReadBytes(RemovalList()), CrLf({kZhanShen}));
  EXPECT_EQ(ReadBytes(List()), CrLf({kZhangSan, kZhao}));
#endif
  EXPECT_EQ(FolderNames(), (std::set<std::string>{kZhao + ".ini", kZhao + ".txt"}));
}

#ifndef _WIN32
TEST_F(GuildCleanupTest, FileOfAnotherLetterCaseIsNotTheGuilds) {
  // On a case-sensitive system "alpha.txt" is not Alpha's member file: Alpha has none and is
  // kept, and the other guild's files are never deleted for it.
  Put(List(), {"Alpha"});
  Guild("alpha", {});

  ASSERT_TRUE(CleanGuilds(Dir(), 1));

  EXPECT_EQ(ReadBytes(List()), CrLf({"Alpha"}));
  EXPECT_EQ(FolderNames(), (std::set<std::string>{"alpha.ini", "alpha.txt"}));
}
#endif

TEST_F(GuildCleanupTest, NameThatCannotBeAFileNameIsKept) {
  // "../Outside" would reach the guild directory itself; a lone GBK lead byte has no host form.
  const std::string lone = "\x81";
  Put(List(), {"../Outside", "a/b", lone, "Ok"});
  Put(Dir() / "Outside.txt", {});
  Put(Dir() / "Outside.ini", {});
#ifndef _WIN32
  Put(Folder() / (lone + ".txt"), {});  // raw bytes
#endif
  Guild("Ok", {});

  ASSERT_TRUE(CleanGuilds(Dir(), 1));

  EXPECT_EQ(ReadBytes(List()), CrLf({"../Outside", "a/b", lone}));
  EXPECT_EQ(ReadBytes(RemovalList()), CrLf({"Ok"}));
  EXPECT_TRUE(fs::exists(Dir() / "Outside.txt"));
  EXPECT_TRUE(fs::exists(Dir() / "Outside.ini"));
#ifndef _WIN32
  EXPECT_TRUE(fs::exists(Folder() / (lone + ".txt")));
#endif
  // One log line for each refused name, naming it.
  EXPECT_EQ(Refused(), (Lines{lone + ".txt", "a/b.txt", "../Outside.txt"}));
}

TEST_F(GuildCleanupTest, FilesThatCannotBeDeletedAreLeftAndTheGuildStillLeaves) {
  Put(List(), {"Alpha", "Beta"});
  Guild("Alpha", {});
  Guild("Beta", {});
  RemoveFaultEnv faults(&env_);
  faults.fail = [](const fs::path& p) { return p.filename() == "Alpha.ini"; };
  platform::ScopedEnv scoped(&faults);

  ASSERT_TRUE(CleanGuilds(Dir(), 1));

  EXPECT_EQ(ReadBytes(List()), "");
  EXPECT_EQ(ReadBytes(RemovalList()), CrLf({"Beta", "Alpha"}));
  EXPECT_EQ(FolderNames(), (std::set<std::string>{"Alpha.ini"}));
}

TEST_F(GuildCleanupTest, FailedPreconditionChangesNothing) {
  const struct {
    const char* label;
    std::function<void()> breakIt;
  } cases[] = {
      {"guild directory missing", [this] { fs::remove_all(Dir()); }},
      {"guild directory is a file",
       [this] {
         fs::remove_all(Dir());
         Put(Dir(), {"x"});
       }},
      {"guild list missing", [this] { fs::remove(List()); }},
      {"guild list is a folder",
       [this] {
         fs::remove(List());
         fs::create_directories(List());
       }},
      {"Guilds folder missing", [this] { fs::remove_all(Folder()); }},
      {"Guilds is a file",
       [this] {
         fs::remove_all(Folder());
         Put(Folder(), {"x"});
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Dir());
    fs::create_directories(Folder());
    WriteBytes(List(), "Alpha\nBeta");
    Guild("Alpha", {});
    c.breakIt();
    const bool listWasFile = fs::is_regular_file(List());
    const bool memberFileStood = fs::exists(Folder() / "Alpha.txt");

    EXPECT_FALSE(CleanGuilds(Dir(), 10));

    EXPECT_FALSE(fs::exists(RemovalList()));
    if (listWasFile) {
      EXPECT_EQ(ReadBytes(List()), "Alpha\nBeta");
    }
    EXPECT_EQ(fs::exists(Folder() / "Alpha.txt"), memberFileStood);
  }
}

}  // namespace
}  // namespace zkq
