// The custom variable merge: every "*.txt" file of the slave folder appended to the main file of
// the same name, its section lines renamed through the character rename list.
#include "sidedata/variable_merge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/progress_log.h"
#include "common/rename_lists.h"
#include "platform/codepage.h"
#include "support/test_support.h"
#include "support/text_files.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::CrLf;
using test::ReadBytes;
using test::WriteBytes;
using Bytes = std::string;

class VariableMergeTest : public test::FileTest {
 protected:
  VariableMergeTest() {
    fs::create_directories(main_);
    fs::create_directories(slave_);
  }
  void Renames(std::string_view lines, int zone = 0) {
    WriteBytes(CharRenameListPath(zone), lines);
  }
  fs::path main_ = Path("main");
  fs::path slave_ = Path("slave");
};

TEST_F(VariableMergeTest, SlaveFileIsAppendedWithItsSectionsRenamed) {
  Renames("Bob=Bob1\r\n");
  WriteBytes(slave_ / "vars.txt", "[Bob]\r\nGold=5\r\n");
  WriteBytes(slave_ / "new.txt", "[Bob]\nGold=7");
  WriteBytes(main_ / "vars.txt", "[Ann]\nGold=1\n");

  ASSERT_TRUE(MergeVariables(main_, slave_));

  // A section both files hold is not merged: the main zone's copy stays first.
  EXPECT_EQ(ReadBytes(main_ / "vars.txt"), CrLf({"[Ann]", "Gold=1", "[Bob1]", "Gold=5"}));
  EXPECT_EQ(ReadBytes(main_ / "new.txt"), CrLf({"[Bob1]", "Gold=7"}));
  EXPECT_EQ(ReadBytes(slave_ / "vars.txt"), "[Bob]\r\nGold=5\r\n");
}

TEST_F(VariableMergeTest, OnlyWholeSectionLinesAreRenamed) {
  // " Bob " is a key of its own, blanks included. "\x83\x5D" is one GBK character whose second
  // byte is "]".
  Renames("Bob=Bob1\r\n Bob =Spaced\r\n\x83\x5D=Gbk\r\nEmpty=\r\n");
  const std::vector<std::pair<Bytes, Bytes>> cases = {
      {"[Bob]", "[Bob1]"},
      {"[bob]", "[Bob1]"},
      {" \t[Bob]  ", "[Bob1]"},
      {"[ Bob ]", "[Spaced]"},
      {"[  Bob ]", "[  Bob ]"},
      {"x=[Bob]y", "x=[Bob]y"},
      {"x=[Bob]", "x=[Bob]"},
      {"[Bob]y", "[Bob]y"},
      {"[Bob", "[Bob"},
      {"[]", "[]"},
      {"[Carol]", "[Carol]"},
      {"[Empty]", "[Empty]"},
      {"[\x83\x5D]", "[Gbk]"},
      {"Bob", "Bob"},
      {"", ""},
      {"  ", "  "},
  };
  std::vector<Bytes> in, expected;
  for (const auto& [line, result] : cases) {
    in.push_back(line);
    expected.push_back(result);
  }
  WriteBytes(slave_ / "v.txt", CrLf(in));

  ASSERT_TRUE(MergeVariables(main_, slave_));

  EXPECT_EQ(ReadBytes(main_ / "v.txt"), CrLf(expected));
}

TEST_F(VariableMergeTest, RunningTwiceAppendsTwice) {
  WriteBytes(slave_ / "v.txt", "[Bob]\r\nGold=5\r\n");
  ASSERT_TRUE(MergeVariables(main_, slave_));
  ASSERT_TRUE(MergeVariables(main_, slave_));
  // No rename list: lines are appended as they are.
  EXPECT_EQ(ReadBytes(main_ / "v.txt"), CrLf({"[Bob]", "Gold=5", "[Bob]", "Gold=5"}));
}

TEST_F(VariableMergeTest, OnlyTxtFilesDirectlyInTheFolderTakePart) {
  WriteBytes(slave_ / "notes.dat", "[Bob]");
  WriteBytes(slave_ / "UPPER.TXT", "u");
  WriteBytes(slave_ / "txt", "t");
  WriteBytes(slave_ / "a.txt.bak", "b");
  fs::create_directories(slave_ / "dir.txt");
  WriteBytes(slave_ / "dir.txt" / "inner.txt", "i");

  ASSERT_TRUE(MergeVariables(main_, slave_));

  std::vector<Bytes> names;
  for (const auto& e : fs::directory_iterator(main_)) names.push_back(e.path().filename().string());
  EXPECT_EQ(names, std::vector<Bytes>{"UPPER.TXT"});
  EXPECT_EQ(ReadBytes(main_ / "UPPER.TXT"), "u\r\n");
}

TEST_F(VariableMergeTest, MissingSlaveFolderWritesNothing) {
  Renames("Bob=Bob1\r\n");
  EXPECT_TRUE(MergeVariables(main_, Path("none")));
  EXPECT_TRUE(fs::is_empty(main_));
}

TEST_F(VariableMergeTest, GbkFileNamesMeetTheirMainFile) {
  // "张三.txt" stored under raw GBK bytes in the main folder, under UTF-8 in the slave folder;
  // "李四.txt" and "Case.txt" are new or differ in letter case only.
  const Bytes rawZhangSan = "\xD5\xC5\xC8\xFD.txt";
  WriteBytes(main_ / rawZhangSan, "[Ann]\r\n");
  WriteBytes(main_ / "CASE.TXT", "[Main]\r\n");
  WriteBytes(slave_ / platform::PathFromUtf8("张三.txt"), "[Zhang]\r\n");
  WriteBytes(slave_ / "\xC0\xEE\xCB\xC4.txt", "[Li]\r\n");
  WriteBytes(slave_ / "Case.txt", "[Slave]\r\n");
  WriteBytes(slave_ / "\x81\x20.txt", "[Invalid]\r\n");  // no GBK text, no file name

  ASSERT_TRUE(MergeVariables(main_, slave_));

  EXPECT_EQ(ReadBytes(main_ / rawZhangSan), CrLf({"[Ann]", "[Zhang]"}));
  EXPECT_FALSE(fs::exists(main_ / platform::PathFromUtf8("张三.txt")));
  EXPECT_EQ(ReadBytes(main_ / platform::PathFromUtf8("李四.txt")), CrLf({"[Li]"}));
  EXPECT_EQ(ReadBytes(main_ / "CASE.TXT"), CrLf({"[Main]", "[Slave]"}));
  EXPECT_FALSE(fs::exists(main_ / "Case.txt"));
  EXPECT_FALSE(fs::exists(main_ / "\x81\x20.txt"));
  bool logged = false;
  for (const auto& line : Log().Lines()) logged |= line.find("\x81\x20.txt") != Bytes::npos;
  EXPECT_TRUE(logged);
}

TEST_F(VariableMergeTest, ZoneReadsItsNumberedRenameList) {
  Renames("Bob=Wrong\r\n");
  Renames("Bob=Bob3\r\n", 3);
  WriteBytes(slave_ / "v.txt", "[Bob]\r\n");
  ASSERT_TRUE(MergeVariablesOfZone(main_, slave_, 3));
  EXPECT_EQ(ReadBytes(main_ / "v.txt"), CrLf({"[Bob3]"}));
}

TEST(ExtractBracketedTest, TextBetweenTheFirstOpenAndTheCloseBehindIt) {
  struct Case {
    Bytes line, open, close;
    std::optional<Bytes> result;
  };
  const std::vector<Case> cases = {
      {"[Bob]", "[", "]", "Bob"},       {"x=[Bob]y", "[", "]", "Bob"},
      {"[ Bob ]", "[", "]", " Bob "},   {"[]", "[", "]", ""},
      {"a]b[c]d]", "[", "]", "c"},      {"[a[b]", "[", "]", "a[b"},
      {"[Bob", "[", "]", std::nullopt}, {"Bob]", "[", "]", std::nullopt},
      {"[", "[", "]", std::nullopt},    {"", "[", "]", std::nullopt},
      {"<<x>>y>>", "<<", ">>", "x"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ExtractBracketed(c.line, c.open, c.close), c.result) << c.line;
}

}  // namespace
}  // namespace zkq
