// Hashed rename lists and the character rename list file read into one.
#include "common/renamelist.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace zkq {
namespace {

using test::FileTest;
using test::WriteBytes;

TEST(TRenameList, LooksUpWithoutRegardToAsciiCase) {
  TRenameList list;
  list.Add("Hero", "Hero1");
  list.Add(
      "\xC8\xCB\xCE\xEF"
      "ab",
      "\xC8\xCB\xCE\xEF"
      "ab2");
  EXPECT_EQ(list.Value("Hero"), "Hero1");
  EXPECT_EQ(list.Value("hERO"), "Hero1");
  EXPECT_TRUE(list.HasKey("HERO"));
  EXPECT_EQ(list.Value("\xC8\xCB\xCE\xEF"
                       "AB"),
            "\xC8\xCB\xCE\xEF"
            "ab2");
  EXPECT_EQ(list.Value("Her"), "");
  EXPECT_FALSE(list.HasKey("Heroes"));
  EXPECT_EQ(list.Lines(), (std::vector<std::string>{"Hero=Hero1",
                                                    "\xC8\xCB\xCE\xEF"
                                                    "ab="
                                                    "\xC8\xCB\xCE\xEF"
                                                    "ab2"}));
}

TEST(TRenameList, GbkTrailingBytesAreNotFolded) {
  TRenameList list;
  list.Add("\xB0\x61", "first");  // 0x61 here is the second byte of a GBK character
  EXPECT_EQ(list.Value("\xB0\x61"), "first");
  EXPECT_EQ(list.Value("\xB0\x41"), "");
  EXPECT_FALSE(list.HasKey("\xB0\x41"));
  list.Add("\xB0\x41", "second");
  EXPECT_EQ(list.Value("\xB0\x41"), "second");
  EXPECT_EQ(list.Value("\xB0\x61"), "first");
}

TEST(TRenameList, FirstEntryWinsForARepeatedKey) {
  TRenameList list;
  list.Add("abc", "one");
  list.Add("ABC", "two");
  list.AddLine("Abc=three");
  EXPECT_EQ(list.Value("aBc"), "one");
  EXPECT_EQ(list.Count(), 3u);  // every line is kept
}

TEST(TRenameList, LinesWithoutEqualsAndValuesWithEquals) {
  TRenameList list;
  list.AddLine("no equals here");
  list.AddLine("key=a=b");
  list.AddLine("empty=");
  EXPECT_EQ(list.Count(), 3u);
  EXPECT_FALSE(list.HasKey("no equals here"));
  EXPECT_EQ(list.Value("no equals here"), "");
  EXPECT_EQ(list.Value("KEY"), "a=b");  // split at the first "="
  EXPECT_FALSE(list.HasKey("key=a"));
  EXPECT_TRUE(list.HasKey("empty"));
  EXPECT_EQ(list.Value("empty"), "");
  EXPECT_EQ(list.Lines()[0], "no equals here");

  list.Clear();
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_FALSE(list.HasKey("key"));
  EXPECT_EQ(list.Value("key"), "");
}

class CharRenameLookupTest : public FileTest {};

TEST_F(CharRenameLookupTest, MissingFileGivesAnEmptyLookup) {
  const TRenameList list = CharRenameLookup(Path("absent.txt"));
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_EQ(list.Value("x"), "");
}

TEST_F(CharRenameLookupTest, EveryKindOfLineEnd) {
  struct Case {
    const char* name;
    std::string bytes;
  };
  const Case cases[] = {
      {"CR LF",
       "Aa=Aa1\r\n\xC8\xCB=\xC8\xCB"
       "a\r\nBb=Bb2\r\n"},
      {"LF",
       "Aa=Aa1\n\xC8\xCB=\xC8\xCB"
       "a\nBb=Bb2\n"},
      {"CR",
       "Aa=Aa1\r\xC8\xCB=\xC8\xCB"
       "a\rBb=Bb2\r"},
      {"no final line end",
       "Aa=Aa1\r\n\xC8\xCB=\xC8\xCB"
       "a\nBb=Bb2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(Path("list.txt"), c.bytes);
    const TRenameList list = CharRenameLookup(Path("list.txt"));
    EXPECT_EQ(list.Lines(), (std::vector<std::string>{"Aa=Aa1",
                                                      "\xC8\xCB=\xC8\xCB"
                                                      "a",
                                                      "Bb=Bb2"}));
    EXPECT_EQ(list.Value("aa"), "Aa1");
    EXPECT_EQ(list.Value("\xC8\xCB"),
              "\xC8\xCB"
              "a");
    EXPECT_EQ(list.Value("BB"), "Bb2");  // also the last line
    EXPECT_EQ(list.Value("Bb2"), "");
  }
}

TEST_F(CharRenameLookupTest, EmptyFile) {
  WriteBytes(Path("list.txt"), "");
  EXPECT_EQ(CharRenameLookup(Path("list.txt")).Count(), 0u);
}

}  // namespace
}  // namespace zkq
