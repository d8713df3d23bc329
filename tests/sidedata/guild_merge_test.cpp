// The guild and clan merges: slave items join the main zone's list, clashing names get the first
// free letter, member files follow the character renames (and, for guilds, the earlier guild
// renames), the slave's per-item folder is copied without touching the main zone's own items.
// Small zone folders are built in the scratch folder; names and file contents are GBK bytes.
#include "sidedata/guild_merge.h"

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

#include "common/errors.h"
#include "common/progress_log.h"
#include "platform/codepage.h"
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
const std::string kGuildProgress = "\xBA\xCF\xB2\xA2\xD0\xD0\xBB\xE1: ";  // "合并行会: "
const std::string kClanProgress = "\xBA\xCF\xB2\xA2\xD7\xDA\xD7\xE5: ";   // "合并宗族: "
const std::string kZhanShen = "\xD5\xBD\xC9\xF1";                         // "战神"
const std::string kZhangSan = "\xD5\xC5\xC8\xFD";                         // "张三"
const std::string kLiSi = "\xC0\xEE\xCB\xC4";                             // "李四"
// "跳过无法用作文件名的名称: "
const std::string kSkipped =
    "\xCC\xF8\xB9\xFD\xCE\xDE\xB7\xA8\xD3\xC3\xD7\xF7\xCE\xC4\xBC\xFE\xC3\xFB\xB5\xC4\xC3\xFB\xB3"
    "\xC6: ";

std::string Utf8Of(const fs::path& path) {
  const std::u8string u8 = path.generic_u8string();
  return std::string(u8.begin(), u8.end());
}

// Every name in a folder tree, relative to it.
std::set<std::string> TreeNames(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir))
    names.insert(Utf8Of(e.path().lexically_relative(dir)));
  return names;
}

// What tells the two kinds apart, as the files on disk show it.
struct Kind {
  const char* label;
  bool (*merge)(const fs::path&, const fs::path&);
  bool (*mergeOfZone)(const fs::path&, const fs::path&, int);
  const char* list;
  const char* folder;
  const char* section;
  const char* key;
  const char* renameList;  // UTF-8 stem in the program folder
};

const Kind kGuilds{"guilds", MergeGuilds, MergeGuildsOfZone, "Guildlist.txt",
                   "Guilds", "Guild",     "GuildName",       "行会更名列表"};
const Kind kClans{"clans", MergeClans, MergeClansOfZone, "Clanlist.txt",
                  "Clans", "Clan",     "ClanName",       "宗族更名列表"};

class ItemMergeTest : public test::FileTest {
 protected:
  explicit ItemMergeTest(const Kind& kind = kGuilds) : kind_(kind) {
    Log().Reset();
    fs::create_directories(Main());
    fs::create_directories(SlaveFolder());
  }

  fs::path Main() const { return Path("main"); }
  fs::path Slave() const { return Path("slave"); }
  fs::path MainFolder() const { return Main() / kind_.folder; }
  fs::path SlaveFolder() const { return Slave() / kind_.folder; }
  fs::path MainList() const { return Main() / kind_.list; }
  fs::path SlaveList() const { return Slave() / kind_.list; }
  fs::path RenameList(int zone = 0) const {
    std::string name = kind_.renameList;
    if (zone != 0) name += std::to_string(zone);
    return Path(U8(name + ".txt"));
  }
  fs::path CharRenames(int zone = 0) const {
    return Path(U8(zone == 0 ? std::string("人物更名列表.txt")
                             : "人物更名列表" + std::to_string(zone) + ".txt"));
  }

  static void Put(const fs::path& file, const Lines& lines) { WriteBytes(file, CrLf(lines)); }
  // The two files of an item; the settings file holds the name key in its section.
  void Item(const fs::path& folder, const std::string& fileStem, const std::string& gbkName,
            const Lines& members) const {
    Put(folder / U8(fileStem + ".ini"), {"[" + std::string(kind_.section) + "]",
                                         std::string(kind_.key) + "=" + gbkName, "Level=3"});
    Put(folder / U8(fileStem + ".txt"), members);
  }
  void Item(const fs::path& folder, const std::string& name, const Lines& members) const {
    Item(folder, name, name, members);
  }
  std::string Ini(const std::string& gbkName) const {
    return CrLf({"[" + std::string(kind_.section) + "]", std::string(kind_.key) + "=" + gbkName,
                 "Level=3"});
  }
  bool Merge() const { return kind_.merge(Main(), Slave()); }

  const Kind& kind_;
};

using GuildMergeTest = ItemMergeTest;
using BothKindsTest = ItemMergeTest;

class ClanMergeTest : public ItemMergeTest {
 protected:
  ClanMergeTest() : ItemMergeTest(kClans) {}
};

// --- SplitToken ---

TEST(SplitTokenTest, Cases) {
  struct Case {
    std::string text, dividers, token, rest;
  };
  const std::string longText = std::string(33147, 'a') + "|b";  // 33149 bytes
  const std::string longestText = std::string(33146, 'a') + "|b";
  const std::vector<Case> cases = {
      {"Alpha|AlphaA", "|", "Alpha", "AlphaA"},
      {"||Alpha|AlphaA", "|", "Alpha", "AlphaA"},  // leading dividers skipped
      {"Alpha||B", "|", "Alpha", "|B"},            // only one divider taken off the rest
      {"Alpha|", "|", "Alpha", ""},
      {"Alpha", "|", "Alpha", ""},
      {"|||", "|", "", ""},
      {"", "|", "", ""},
      {"a,b|c", ",|", "a", "b|c"},  // any byte of the set divides
      {longText, "|", "", ""},
      {longestText, "|", std::string(33146, 'a'), "b"},
      // A GBK character whose second byte is "|" is split there.
      {"\x81\x7C\xB0\xA1|x", "|", "\x81", "\xB0\xA1|x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text.size() > 40 ? std::to_string(c.text.size()) + " bytes" : c.text);
    const auto [token, rest] = SplitToken(c.text, c.dividers);
    EXPECT_EQ(token, c.token);
    EXPECT_EQ(rest, c.rest);
  }
}

// --- Guilds ---

TEST_F(GuildMergeTest, FailedPreconditionTouchesNothing) {
  struct Case {
    const char* label;
    std::function<void()> spoil;
  };
  const std::vector<Case> cases = {
      {"no main folder", [&] { fs::remove_all(Main()); }},
      {"no slave folder", [&] { fs::remove_all(Slave()); }},
      {"no slave list", [&] { fs::remove(SlaveList()); }},
      {"slave list is a folder",
       [&] {
         fs::remove(SlaveList());
         fs::create_directory(SlaveList());
       }},
      {"no Guilds folder", [&] { fs::remove_all(SlaveFolder()); }},
      {"Guilds is a file",
       [&] {
         fs::remove_all(SlaveFolder());
         WriteBytes(SlaveFolder(), "x");
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Main());
    fs::remove_all(Slave());
    fs::create_directories(Main());
    fs::create_directories(SlaveFolder());
    Put(SlaveList(), {"Alpha"});
    Item(SlaveFolder(), "Alpha", {"+Bob"});
    Put(CharRenames(), {"Bob=Bob1"});
    c.spoil();
    const bool mainExisted = fs::exists(Main());

    EXPECT_FALSE(Merge());
    EXPECT_FALSE(fs::exists(MainList()));
    EXPECT_FALSE(fs::exists(MainFolder()));
    EXPECT_EQ(fs::exists(Main()), mainExisted);
    EXPECT_FALSE(fs::exists(RenameList()));
    if (fs::is_regular_file(SlaveFolder() / "Alpha.txt")) {
      EXPECT_EQ(ReadBytes(SlaveFolder() / "Alpha.txt"), CrLf({"+Bob"}));
    }
    EXPECT_TRUE(Log().Lines().empty());
  }
}

TEST_F(GuildMergeTest, FreeNameKeepsItsFilesAndRewritesMembers) {
  // No main list, no main Guilds folder: both are created.
  Put(SlaveList(), {"Alpha"});
  Put(SlaveFolder() / "Alpha.ini", {"[Guild]", "GuildName=Alpha"});
  // Read with any line end, written with CR LF.
  WriteBytes(SlaveFolder() / "Alpha.txt", "Notice\n+ Bob \r+Carol\r\n\n+bob\n+\n+Bob=X");
  Put(CharRenames(), {"BOB=Bob1", "Carol=", "Bob=Other"});
  Put(RenameList(), {"old|file"});

  ASSERT_TRUE(Merge());

  // "+ Bob " is trimmed and looked up without regard to case; a rename to nothing is none.
  const std::string members = CrLf({"Notice", "+Bob1", "+Carol", "", "+Bob1", "+", "+Bob=X"});
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Alpha.txt"), members);
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Alpha.ini"), CrLf({"[Guild]", "GuildName=Alpha"}));
  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"Alpha"}));
  EXPECT_EQ(ReadBytes(MainList()), CrLf({"Alpha"}));
  EXPECT_EQ(ReadBytes(MainFolder() / "Alpha.txt"), members);
  EXPECT_EQ(ReadBytes(MainFolder() / "Alpha.ini"), CrLf({"[Guild]", "GuildName=Alpha"}));
  // No rename: an older rename list stays as it was.
  EXPECT_EQ(ReadBytes(RenameList()), CrLf({"old|file"}));
}

TEST_F(GuildMergeTest, ClashingNameGetsFirstFreeLetter) {
  Put(MainList(), {"Main1", "Alpha"});
  fs::create_directories(MainFolder());
  Item(MainFolder(), "Alpha", {"+MainMember"});
  Put(SlaveList(), {"Alpha"});
  Put(SlaveFolder() / "Alpha.ini",
      {"; kept", "[Other]", "GuildName=x", "[guild]", "Level=3", "guildname = Alpha", "Notice=1"});
  Put(SlaveFolder() / "Alpha.txt", {"+Bob"});
  Put(CharRenames(), {"Bob=Bob1"});

  ASSERT_TRUE(Merge());

  const std::string ini = CrLf(
      {"; kept", "[Other]", "GuildName=x", "[guild]", "Level=3", "GuildName=AlphaA", "Notice=1"});
  EXPECT_FALSE(fs::exists(SlaveFolder() / "Alpha.ini"));
  EXPECT_FALSE(fs::exists(SlaveFolder() / "Alpha.txt"));
  EXPECT_EQ(ReadBytes(SlaveFolder() / "AlphaA.ini"), ini);
  EXPECT_EQ(ReadBytes(SlaveFolder() / "AlphaA.txt"), CrLf({"+Bob1"}));
  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"AlphaA"}));
  EXPECT_EQ(ReadBytes(MainList()), CrLf({"Main1", "Alpha", "AlphaA"}));
  EXPECT_EQ(ReadBytes(RenameList()), CrLf({"Alpha|AlphaA"}));
  // The main zone's guild is untouched; the renamed one joins it.
  EXPECT_EQ(ReadBytes(MainFolder() / "Alpha.ini"), Ini("Alpha"));
  EXPECT_EQ(ReadBytes(MainFolder() / "Alpha.txt"), CrLf({"+MainMember"}));
  EXPECT_EQ(ReadBytes(MainFolder() / "AlphaA.ini"), ini);
  EXPECT_EQ(ReadBytes(MainFolder() / "AlphaA.txt"), CrLf({"+Bob1"}));
}

TEST_F(GuildMergeTest, SuffixLetterChoice) {
  struct Case {
    const char* label;
    Lines main, slave, slaveAfter, records;
  };
  const std::vector<Case> cases = {
      {"first letter", {"Alpha"}, {"Alpha"}, {"AlphaA"}, {"Alpha|AlphaA"}},
      {"taken in main", {"Alpha", "AlphaA"}, {"Alpha"}, {"AlphaB"}, {"Alpha|AlphaB"}},
      {"taken in slave", {"Alpha"}, {"AlphaA", "Alpha"}, {"AlphaA", "AlphaB"}, {"Alpha|AlphaB"}},
      {"clash ignores case", {"Alpha"}, {"alpha"}, {"alphaA"}, {"alpha|alphaA"}},
      {"candidate test ignores case", {"Alpha", "ALPHAA"}, {"Alpha"}, {"AlphaB"}, {"Alpha|AlphaB"}},
      {"taken by an earlier new name",
       {"Alpha"},
       {"Alpha", "Alpha"},
       {"AlphaB", "AlphaA"},
       {"Alpha|AlphaA", "Alpha|AlphaB"}},
      {"letters up to Z",
       {"Alpha",  "AlphaA", "AlphaB", "AlphaC", "AlphaD", "AlphaE", "AlphaF", "AlphaG", "AlphaH",
        "AlphaI", "AlphaJ", "AlphaK", "AlphaL", "AlphaM", "AlphaN", "AlphaO", "AlphaP", "AlphaQ",
        "AlphaR", "AlphaS", "AlphaT", "AlphaU", "AlphaV", "AlphaW", "AlphaX", "AlphaY"},
       {"Alpha"},
       {"AlphaZ"},
       {"Alpha|AlphaZ"}},
      // The trailing byte of a GBK character is no letter: these two names differ.
      {"GBK trailing byte not folded", {"\x81\x41"}, {"\x81\x61"}, {"\x81\x61"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Main());
    fs::remove_all(Slave());
    fs::remove(RenameList());
    fs::create_directories(Main());
    fs::create_directories(SlaveFolder());
    Put(MainList(), c.main);
    Put(SlaveList(), c.slave);

    ASSERT_TRUE(Merge());

    EXPECT_EQ(ReadBytes(SlaveList()), CrLf(c.slaveAfter));
    Lines merged = c.main;
    merged.insert(merged.end(), c.slaveAfter.begin(), c.slaveAfter.end());
    EXPECT_EQ(ReadBytes(MainList()), CrLf(merged));
    if (c.records.empty()) {
      EXPECT_FALSE(fs::exists(RenameList()));
    } else {
      EXPECT_EQ(ReadBytes(RenameList()), CrLf(c.records));
    }
  }
}

TEST_F(GuildMergeTest, AllSuffixesTakenLeavesGuildOut) {
  Lines main = {"Alpha"};
  for (char c = 'A'; c <= 'Z'; ++c) main.push_back(std::string("Alpha") + c);
  Put(MainList(), main);
  fs::create_directories(MainFolder());
  // The main zone's Alpha has a member file only.
  Put(MainFolder() / "Alpha.txt", {"+MainMember"});
  Put(SlaveList(), {"Gamma", "Beta", "Alpha"});
  Item(SlaveFolder(), "Alpha", {"+SlaveMember"});
  Item(SlaveFolder(), "Beta", {"+B"});
  ProgressRecorder progress;

  ASSERT_TRUE(Merge());

  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"Gamma", "Beta"}));
  Lines merged = main;
  merged.push_back("Gamma");
  merged.push_back("Beta");
  EXPECT_EQ(ReadBytes(MainList()), CrLf(merged));
  EXPECT_FALSE(fs::exists(RenameList()));
  // Its files are neither renamed nor copied over (or beside) the main zone's.
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Alpha.txt"), CrLf({"+SlaveMember"}));
  EXPECT_EQ(ReadBytes(MainFolder() / "Alpha.txt"), CrLf({"+MainMember"}));
  EXPECT_EQ(TreeNames(MainFolder()), (std::set<std::string>{"Alpha.txt", "Beta.ini", "Beta.txt"}));
  // Every entry is reported against the entries the list holds at that moment.
  const std::vector<std::pair<std::string, int>> expected = {{kGuildProgress + "Alpha", 33},
                                                             {kGuildProgress + "Beta", 100},
                                                             {kGuildProgress + "Gamma", 150}};
  EXPECT_EQ(progress.lines, expected);
}

TEST_F(GuildMergeTest, SlaveListLeftEmptyWritesNothing) {
  Lines main = {"Alpha"};
  for (char c = 'A'; c <= 'Z'; ++c) main.push_back(std::string("Alpha") + c);
  Put(MainList(), main);
  Put(SlaveList(), {"Alpha"});
  Item(SlaveFolder(), "Alpha", {"+Bob"});
  Put(CharRenames(), {"Bob=Bob1"});

  ASSERT_TRUE(Merge());

  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"Alpha"}));
  EXPECT_EQ(ReadBytes(MainList()), CrLf(main));
  EXPECT_FALSE(fs::exists(MainFolder()));
  EXPECT_FALSE(fs::exists(RenameList()));
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Alpha.txt"), CrLf({"+Bob"}));

  // An empty slave list: nothing to do, and nothing written either.
  WriteBytes(SlaveList(), "");
  ASSERT_TRUE(Merge());
  EXPECT_EQ(ReadBytes(SlaveList()), "");
  EXPECT_EQ(ReadBytes(MainList()), CrLf(main));
  EXPECT_FALSE(fs::exists(MainFolder()));
}

TEST_F(GuildMergeTest, BlankListLinesAreReportedAndCarried) {
  Put(MainList(), {"Main1"});
  WriteBytes(SlaveList(), "\r\nAlpha\r\n\r\n \n");
  Item(SlaveFolder(), "Alpha", {"+Bob"});
  ProgressRecorder progress;

  ASSERT_TRUE(Merge());

  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"", "Alpha", "", " "}));
  EXPECT_EQ(ReadBytes(MainList()), CrLf({"Main1", "", "Alpha", "", " "}));
  const std::vector<std::pair<std::string, int>> expected = {{kGuildProgress + " ", 25},
                                                             {kGuildProgress, 50},
                                                             {kGuildProgress + "Alpha", 75},
                                                             {kGuildProgress, 100}};
  EXPECT_EQ(progress.lines, expected);
}

TEST_F(GuildMergeTest, NonMemberLinesFollowEarlierRenamesOnly) {
  Put(MainList(), {"Beta", "Delta"});
  // Walked from the end: Delta is renamed first, then Gamma keeps its name, then Beta.
  Put(SlaveList(), {"Beta", "Gamma", "Delta"});
  const Lines lines = {"Delta", "delta", "Beta", "Delta ", "+Delta", "DeltaX", ""};
  Item(SlaveFolder(), "Beta", lines);
  Item(SlaveFolder(), "Gamma", lines);
  Item(SlaveFolder(), "Delta", lines);

  ASSERT_TRUE(Merge());

  // Delta's own rename is recorded after its files were handled.
  EXPECT_EQ(ReadBytes(SlaveFolder() / "DeltaA.txt"), CrLf(lines));
  const std::string renamed = CrLf({"DeltaA", "DeltaA", "Beta", "Delta ", "+Delta", "DeltaX", ""});
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Gamma.txt"), renamed);
  EXPECT_EQ(ReadBytes(SlaveFolder() / "BetaA.txt"), renamed);
  // The records in the order of the renames, not sorted.
  EXPECT_EQ(ReadBytes(RenameList()), CrLf({"Delta|DeltaA", "Beta|BetaA"}));
  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"BetaA", "Gamma", "DeltaA"}));
}

TEST_F(GuildMergeTest, GuildWithoutBothFilesKeepsThem) {
  Put(MainList(), {"Alpha"});
  Put(SlaveList(), {"Alpha", "Beta"});
  Put(SlaveFolder() / "Alpha.ini", {"[Guild]", "GuildName=Alpha"});
  Put(SlaveFolder() / "Beta.txt", {"+Bob"});
  Put(CharRenames(), {"Bob=Bob1"});

  ASSERT_TRUE(Merge());

  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"AlphaA", "Beta"}));
  EXPECT_EQ(ReadBytes(RenameList()), CrLf({"Alpha|AlphaA"}));
  EXPECT_EQ(TreeNames(SlaveFolder()), (std::set<std::string>{"Alpha.ini", "Beta.txt"}));
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Alpha.ini"), CrLf({"[Guild]", "GuildName=Alpha"}));
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Beta.txt"), CrLf({"+Bob"}));
  // Beta's lone file is copied unchanged; Alpha's is the main zone's name and stays behind.
  EXPECT_EQ(TreeNames(MainFolder()), (std::set<std::string>{"Beta.txt"}));
}

TEST_F(GuildMergeTest, LeftoverFileBlocksCandidate) {
  struct Case {
    const char* label;
    bool inMain;
    const char* file;
  };
  const std::vector<Case> cases = {
      {"settings file in the slave folder", false, "AlphaA.ini"},
      {"member file in the slave folder", false, "AlphaA.txt"},
      {"other letter case in the slave folder", false, "alphaa.INI"},
      {"settings file in the main folder", true, "AlphaA.ini"},
      {"member file in the main folder", true, "ALPHAA.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(Main());
    fs::remove_all(Slave());
    fs::create_directories(MainFolder());
    fs::create_directories(SlaveFolder());
    Put(MainList(), {"Alpha"});
    Put(SlaveList(), {"Alpha"});
    Item(SlaveFolder(), "Alpha", {"+Bob"});
    const fs::path leftover = (c.inMain ? MainFolder() : SlaveFolder()) / c.file;
    WriteBytes(leftover, "leftover");

    ASSERT_TRUE(Merge());

    EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"AlphaB"}));
    EXPECT_EQ(ReadBytes(SlaveFolder() / "AlphaB.ini"), Ini("AlphaB"));
    EXPECT_EQ(ReadBytes(SlaveFolder() / "AlphaB.txt"), CrLf({"+Bob"}));
    EXPECT_EQ(ReadBytes(leftover), "leftover");
    EXPECT_EQ(ReadBytes(MainFolder() / "AlphaB.ini"), Ini("AlphaB"));
  }
}

TEST_F(GuildMergeTest, CopyKeepsMainFilesOfListedGuilds) {
  Put(MainList(), {"Alpha", "Beta"});
  fs::create_directories(MainFolder());
  Item(MainFolder(), "Alpha", {"+MainAlpha"});
  Put(MainFolder() / "Beta.ini", {"main beta"});
  Put(MainFolder() / "Old.txt", {"main old"});
  Put(SlaveList(), {"Alpha"});
  // Alpha lacks its member file, so it is renamed in the list only and its settings file stays
  // under the main zone's name.
  Put(SlaveFolder() / "Alpha.ini", {"slave alpha"});
  Put(SlaveFolder() / "beta.INI", {"slave beta"});  // another letter case of a main guild
  Put(SlaveFolder() / "Old.txt", {"slave old"});    // a file of no listed guild: replaces
  fs::create_directories(SlaveFolder() / "sub");
  Put(SlaveFolder() / "sub" / "Alpha.ini", {"sub"});  // not an item file

  ASSERT_TRUE(Merge());

  EXPECT_EQ(ReadBytes(MainList()), CrLf({"Alpha", "Beta", "AlphaA"}));
  EXPECT_EQ(ReadBytes(MainFolder() / "Alpha.ini"), Ini("Alpha"));
  EXPECT_EQ(ReadBytes(MainFolder() / "Alpha.txt"), CrLf({"+MainAlpha"}));
  EXPECT_EQ(ReadBytes(MainFolder() / "Beta.ini"), CrLf({"main beta"}));
  EXPECT_EQ(ReadBytes(MainFolder() / "Old.txt"), CrLf({"slave old"}));
  EXPECT_EQ(ReadBytes(MainFolder() / "sub" / "Alpha.ini"), CrLf({"sub"}));
  EXPECT_EQ(TreeNames(MainFolder()), (std::set<std::string>{"Alpha.ini", "Alpha.txt", "Beta.ini",
                                                            "Old.txt", "sub", "sub/Alpha.ini"}));
}

TEST_F(GuildMergeTest, NameThatCannotBeFileNameIsNeverAPath) {
  // "../evil" would reach the slave's own directory, "a\b" another folder on Windows, and a lone
  // GBK lead byte has no host form.
  const std::string lone = "\x81";
  Put(MainList(), {"../evil"});
  Put(SlaveList(), {"../evil", "a\\b", lone, "Ok"});
  Item(Slave(), "evil", "../evil", {"+Bob"});
#ifndef _WIN32
  Item(SlaveFolder(), "a\\b", {"+Bob"});
  Item(SlaveFolder(), lone, {"+Bob"});  // raw bytes, as copied from a Windows server
#endif
  Item(SlaveFolder(), "Ok", {"+Bob"});
  Put(CharRenames(), {"Bob=Bob1"});

  ASSERT_TRUE(Merge());

  EXPECT_EQ(ReadBytes(Slave() / "evil.ini"), Ini("../evil"));
  EXPECT_EQ(ReadBytes(Slave() / "evil.txt"), CrLf({"+Bob"}));
  EXPECT_FALSE(fs::exists(Slave() / "evilA.ini"));
  EXPECT_FALSE(fs::exists(Slave() / "evilA.txt"));
  EXPECT_FALSE(fs::exists(Main() / "evil.ini"));
  EXPECT_FALSE(fs::exists(Main() / "evilA.ini"));
#ifndef _WIN32
  EXPECT_EQ(ReadBytes(SlaveFolder() / "a\\b.txt"), CrLf({"+Bob"}));
  EXPECT_EQ(ReadBytes(SlaveFolder() / (lone + ".txt")), CrLf({"+Bob"}));
#endif
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Ok.txt"), CrLf({"+Bob1"}));
  // The list entries move as those of guilds without files.
  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"../evilA", "a\\b", lone, "Ok"}));
  EXPECT_EQ(ReadBytes(MainList()), CrLf({"../evil", "../evilA", "a\\b", lone, "Ok"}));
  EXPECT_EQ(ReadBytes(RenameList()), CrLf({"../evil|../evilA"}));
  // One line per refused name, naming it.
  std::vector<std::string> refused;
  for (const auto& line : Log().Lines()) {
    const size_t at = line.find(kSkipped);
    if (at != std::string::npos) refused.push_back(line.substr(at + kSkipped.size()));
  }
  EXPECT_EQ(refused, (Lines{lone + ".ini", "a\\b.ini", "../evil.ini"}));
}

TEST_F(GuildMergeTest, GbkNamesOnDisk) {
  Put(MainList(), {kZhanShen});
  fs::create_directories(MainFolder());
  WriteBytes(MainFolder() / U8("战神.ini"), "main");
  Put(SlaveList(), {kZhanShen});
  Item(SlaveFolder(), "战神", kZhanShen, {"+" + kZhangSan, "+" + kLiSi});
  Put(CharRenames(), {kZhangSan + "=" + kLiSi});

  ASSERT_TRUE(Merge());

  const std::string renamed = kZhanShen + "A";
  EXPECT_EQ(TreeNames(SlaveFolder()), (std::set<std::string>{"战神A.ini", "战神A.txt"}));
  EXPECT_EQ(ReadBytes(SlaveFolder() / U8("战神A.ini")), Ini(renamed));
  EXPECT_EQ(ReadBytes(SlaveFolder() / U8("战神A.txt")), CrLf({"+" + kLiSi, "+" + kLiSi}));
  EXPECT_EQ(ReadBytes(RenameList()), CrLf({kZhanShen + "|" + renamed}));
  EXPECT_EQ(ReadBytes(MainList()), CrLf({kZhanShen, renamed}));
  EXPECT_EQ(ReadBytes(MainFolder() / U8("战神.ini")), "main");
  EXPECT_EQ(ReadBytes(MainFolder() / U8("战神A.ini")), Ini(renamed));
}

#ifndef _WIN32
TEST_F(GuildMergeTest, RawGbkFileNamesAreFound) {
  // A folder copied from a Windows server without conversion holds GBK bytes as names.
  Put(MainList(), {kZhanShen});
  Put(SlaveList(), {kZhanShen});
  Item(SlaveFolder(), kZhanShen, {"+" + kZhangSan});
  Put(CharRenames(), {kZhangSan + "=" + kLiSi});

  ASSERT_TRUE(Merge());

  EXPECT_FALSE(fs::exists(SlaveFolder() / (kZhanShen + ".ini")));
  EXPECT_FALSE(fs::exists(SlaveFolder() / (kZhanShen + ".txt")));
  EXPECT_EQ(ReadBytes(SlaveFolder() / U8("战神A.ini")), Ini(kZhanShen + "A"));
  EXPECT_EQ(ReadBytes(SlaveFolder() / U8("战神A.txt")), CrLf({"+" + kLiSi}));
}
#endif

TEST_F(GuildMergeTest, FailedRenameEndsMerge) {
  Put(MainList(), {"Alpha"});
  Put(SlaveList(), {"Beta", "Alpha"});
  Item(SlaveFolder(), "Alpha", {"+Bob"});
  Item(SlaveFolder(), "Beta", {"+Bob"});
  env_.renameFault = [](const fs::path& from, const fs::path&) {
    return from.filename() == "Alpha.txt" ? std::make_error_code(std::errc::permission_denied)
                                          : std::error_code();
  };

  EXPECT_THROW(Merge(), FileError);

  // Nothing claims the merge went through: the lists and the rename list are not written.
  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"Beta", "Alpha"}));
  EXPECT_EQ(ReadBytes(MainList()), CrLf({"Alpha"}));
  EXPECT_FALSE(fs::exists(RenameList()));
  EXPECT_FALSE(fs::exists(MainFolder()));
}

// --- Both kinds ---

TEST_F(BothKindsTest, ZoneVariantsUseNumberedLists) {
  struct Case {
    const Kind* kind;
    int zone;
  };
  for (const Case c : {Case{&kGuilds, 0}, Case{&kGuilds, 2}, Case{&kClans, 0}, Case{&kClans, 12}}) {
    const Kind& k = *c.kind;
    SCOPED_TRACE(std::string(k.label) + " zone " + std::to_string(c.zone));
    fs::remove_all(Main());
    fs::remove_all(Slave());
    for (const auto& e : fs::directory_iterator(dir_.path())) fs::remove_all(e.path());
    const fs::path slaveFolder = Slave() / k.folder;
    fs::create_directories(Main());
    fs::create_directories(slaveFolder);
    Put(Main() / k.list, {"Alpha"});
    Put(Slave() / k.list, {"Alpha"});
    const std::string member = &k == &kGuilds ? "+Bob" : "Bob";
    Put(slaveFolder / "Alpha.ini", {"[x]"});
    Put(slaveFolder / "Alpha.txt", {member});
    Put(CharRenames(0), {"Bob=Single"});
    Put(CharRenames(2), {"Bob=Zone2"});
    Put(CharRenames(12), {"Bob=Zone12"});

    ASSERT_TRUE(c.zone == 0 ? k.merge(Main(), Slave()) : k.mergeOfZone(Main(), Slave(), c.zone));

    const std::string expected = c.zone == 0 ? "Single" : "Zone" + std::to_string(c.zone);
    const std::string prefix = &k == &kGuilds ? "+" : "";
    EXPECT_EQ(ReadBytes(slaveFolder / "AlphaA.txt"), CrLf({prefix + expected}));
    EXPECT_EQ(ReadBytes(slaveFolder / "AlphaA.ini"),
              CrLf({"[x]", "[" + std::string(k.section) + "]", std::string(k.key) + "=AlphaA"}));
    std::string listName = k.renameList;
    if (c.zone != 0) listName += std::to_string(c.zone);
    EXPECT_EQ(ReadBytes(Path(U8(listName + ".txt"))), CrLf({"Alpha|AlphaA"}));
    // No other rename list is written.
    size_t lists = 0;
    for (const auto& e : fs::directory_iterator(dir_.path())) {
      const std::string name = Utf8Of(e.path().filename());
      lists += name.find("更名列表") != std::string::npos && name.find("人物") == std::string::npos;
    }
    EXPECT_EQ(lists, 1u);
  }
}

// --- Clans ---

TEST_F(ClanMergeTest, MemberLinesAreLookedUpWhole) {
  Put(MainList(), {"Beta"});
  // Beta is renamed before Alpha's member file is rewritten: clan renames never reach it.
  Put(SlaveList(), {"Alpha", "Beta"});
  Item(SlaveFolder(), "Beta", {});
  Item(SlaveFolder(), "Alpha", {"Bob", "bob", "Bob ", " Bob", "+Bob", "+Carol", "", "Beta", "Eve"});
  Put(CharRenames(), {"Bob=Bob1", "+Carol=Dave", "Eve="});

  ASSERT_TRUE(Merge());

  EXPECT_EQ(ReadBytes(SlaveFolder() / "Alpha.txt"),
            CrLf({"Bob1", "Bob1", "Bob ", " Bob", "+Bob", "Dave", "", "Beta", "Eve"}));
  EXPECT_EQ(ReadBytes(MainFolder() / "Alpha.txt"),
            CrLf({"Bob1", "Bob1", "Bob ", " Bob", "+Bob", "Dave", "", "Beta", "Eve"}));
}

TEST_F(ClanMergeTest, ClashingClanIsRenamed) {
  Put(MainList(), {"Beta"});
  fs::create_directories(MainFolder());
  Item(MainFolder(), "Beta", {"MainMember"});
  Put(SlaveList(), {"Beta", "Gamma"});
  Item(SlaveFolder(), "Beta", {"Bob"});
  Item(SlaveFolder(), "Gamma", {"Bob"});
  Put(CharRenames(), {"Bob=Bob1"});
  ProgressRecorder progress;

  ASSERT_TRUE(Merge());

  EXPECT_EQ(ReadBytes(SlaveFolder() / "BetaA.ini"), Ini("BetaA"));
  EXPECT_EQ(ReadBytes(SlaveFolder() / "BetaA.txt"), CrLf({"Bob1"}));
  EXPECT_EQ(ReadBytes(SlaveFolder() / "Gamma.txt"), CrLf({"Bob1"}));
  EXPECT_EQ(ReadBytes(SlaveList()), CrLf({"BetaA", "Gamma"}));
  EXPECT_EQ(ReadBytes(MainList()), CrLf({"Beta", "BetaA", "Gamma"}));
  EXPECT_EQ(ReadBytes(RenameList()), CrLf({"Beta|BetaA"}));
  EXPECT_FALSE(fs::exists(Path(U8("行会更名列表.txt"))));
  EXPECT_EQ(ReadBytes(MainFolder() / "Beta.txt"), CrLf({"MainMember"}));
  EXPECT_EQ(TreeNames(MainFolder()),
            (std::set<std::string>{"Beta.ini", "Beta.txt", "BetaA.ini", "BetaA.txt", "Gamma.ini",
                                   "Gamma.txt"}));
  const std::vector<std::pair<std::string, int>> expected = {{kClanProgress + "Gamma", 50},
                                                             {kClanProgress + "Beta", 100}};
  EXPECT_EQ(progress.lines, expected);
}

}  // namespace
}  // namespace zkq
