// Code page 936 conversions at the two borders: host file names and display.
#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

namespace zkq::platform {
namespace {

const std::string kRenameListGbk =
    "\xC8\xCB\xCE\xEF\xB8\xFC\xC3\xFB\xC1\xD0\xB1\xED\x2E\x74\x78\x74";
const std::string kRenameListUtf8 = "人物更名列表.txt";
const std::string kReplacement = "\xEF\xBF\xBD";  // U+FFFD

std::filesystem::path U8Path(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

TEST(Codepage, KnownConversions) {
  struct Case {
    std::string gbk, utf8;
  };
  const Case cases[] = {
      {"", ""},
      {"abc 123=_", "abc 123=_"},
      {kRenameListGbk, kRenameListUtf8},
      {"\xB0\xA1", "啊"},
      {"\xD6\xD0\xCE\xC4", "中文"},
      {"\x80", "€"},
      {"\x81\x5C", "乗"},            // a second byte of 0x5C is part of the character
      {"\xA1\xA1", "\xE3\x80\x80"},  // full-width space
      {"a\xC8\xCB"
       "b",
       "a人b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.gbk));
    EXPECT_EQ(GbkToUtf8(c.gbk), std::optional<std::string>(c.utf8));
    EXPECT_EQ(Utf8ToGbk(c.utf8), std::optional<std::string>(c.gbk));
  }
}

#ifndef _WIN32
// Every code of the table converts and comes back unchanged, and the table is code page 936
// itself (21 920 codes: 129 single bytes and 21 791 double-byte codes), not one of its relatives.
TEST(Codepage, EveryCodeRoundTrips) {
  int valid = 0;
  for (int b = 0x00; b <= 0xFF; ++b) {
    const std::string gbk(1, static_cast<char>(b));
    const auto utf8 = GbkToUtf8(gbk);
    EXPECT_EQ(utf8.has_value(), b <= 0x80) << b;
    if (!utf8) continue;
    ++valid;
    ASSERT_EQ(Utf8ToGbk(*utf8), std::optional<std::string>(gbk)) << b;
  }
  for (int lead = 0x81; lead <= 0xFE; ++lead) {
    for (int trail = 0x40; trail <= 0xFE; ++trail) {
      const std::string gbk = {static_cast<char>(lead), static_cast<char>(trail)};
      const auto utf8 = GbkToUtf8(gbk);
      if (!utf8) continue;
      ++valid;
      ASSERT_EQ(Utf8ToGbk(*utf8), std::optional<std::string>(gbk)) << lead << " " << trail;
    }
  }
  EXPECT_EQ(valid, 21920);
}
#endif

TEST(Codepage, InvalidOrTruncatedGbk) {
  const std::string cases[] = {
      "\xFF",     "\xC8",     "ab\xC8", "\x81\x20",     "\x81\x7F",
      "\x81\xFF", "\x81\x39", "a\xFFz", "\xC8\xCB\xFF",
  };
  for (const auto& gbk : cases) {
    SCOPED_TRACE(testing::PrintToString(gbk));
    EXPECT_EQ(GbkToUtf8(gbk), std::nullopt);
  }
}

TEST(Codepage, Utf8WithoutGbkForm) {
  EXPECT_EQ(Utf8ToGbk("\xF0\x9F\x98\x80"), std::nullopt);  // an emoji
  EXPECT_EQ(Utf8ToGbk("\xC0\x80"), std::nullopt);          // not UTF-8
  EXPECT_EQ(Utf8ToGbk("ab\xE4\xB8"), std::nullopt);        // truncated
}

TEST(Codepage, DisplayReplacesBadBytesAndKeepsTheRest) {
  struct Case {
    std::string gbk, shown;
  };
  const Case cases[] = {
      {"", ""},
      {kRenameListGbk, kRenameListUtf8},
      {"a\xFF"
       "b",
       "a" + kReplacement + "b"},
      {"ab\xC8", "ab" + kReplacement},
      {"\x81\x20x", kReplacement + " x"},  // the byte after a bad lead byte is kept
      {"\xC8\xCB\xFF\xC8\xCB", "人" + kReplacement + "人"},
      {"\xFF\xFF", kReplacement + kReplacement},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.gbk));
    EXPECT_EQ(GbkToDisplay(c.gbk), c.shown);
  }
}

TEST(Codepage, HostFileNameRejectsNamesThatLeaveTheFolder) {
  const std::string rejected[] = {
      "", ".", "..", "a/b", "a\\b", "/", "\\", "../x", "\xFF", "ab\xC8", std::string("a\0b", 3),
  };
  for (const auto& name : rejected) {
    SCOPED_TRACE(testing::PrintToString(name));
    EXPECT_EQ(GbkToHostFileName(name), std::nullopt);
  }
}

TEST(Codepage, HostFileNameOfGoodNames) {
  struct Case {
    std::string gbk, host;
  };
  const Case cases[] = {
      {kRenameListGbk, kRenameListUtf8},
      {"...", "..."},
      {".hidden", ".hidden"},
      {"\x81\x5C", "乗"},  // the 0x5C byte is no backslash once converted
      {"Kem#$00.DB", "Kem#$00.DB"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.gbk));
    const auto host = GbkToHostFileName(c.gbk);
    ASSERT_TRUE(host.has_value());
    const std::u8string u8 = host->u8string();
    EXPECT_EQ(std::string(u8.begin(), u8.end()), c.host);
    EXPECT_EQ(host->filename(), *host);  // exactly one path component
    EXPECT_EQ(HostFileNameToGbk(*host), std::optional<std::string>(c.gbk));
  }
}

TEST(Codepage, HostFileNameToGbk) {
  EXPECT_EQ(HostFileNameToGbk(U8Path(kRenameListUtf8)), std::optional<std::string>(kRenameListGbk));
  EXPECT_EQ(HostFileNameToGbk("Hum.db"), std::optional<std::string>("Hum.db"));
  EXPECT_EQ(HostFileNameToGbk(U8Path("\xF0\x9F\x98\x80.txt")), std::nullopt);
#ifndef _WIN32
  // A name copied from a Windows server without conversion: raw GBK bytes.
  EXPECT_EQ(HostFileNameToGbk(std::filesystem::path(kRenameListGbk)),
            std::optional<std::string>(kRenameListGbk));
  EXPECT_EQ(HostFileNameToGbk(std::filesystem::path("\xC8\xCB\xFF")),
            std::optional<std::string>("\xC8\xCB\xFF"));
#endif
}

TEST(IsValidUtf8, Table) {
  struct Case {
    const char* name;
    std::string bytes;
    bool valid;
  };
  const Case cases[] = {
      {"empty", "", true},
      {"ASCII", "abc\x7F", true},
      {"two bytes", "\xC2\x80", true},
      {"three bytes", "\xE4\xBA\xBA", true},
      {"highest below surrogates", "\xED\x9F\xBF", true},
      {"private use", "\xEE\x80\x80", true},
      {"four bytes, lowest", "\xF0\x90\x80\x80", true},
      {"four bytes, highest", "\xF4\x8F\xBF\xBF", true},
      {"overlong two-byte NUL", "\xC0\x80", false},
      {"overlong two-byte", "\xC1\xBF", false},
      {"overlong three-byte", "\xE0\x9F\xBF", false},
      {"overlong four-byte", "\xF0\x8F\xBF\xBF", false},
      {"surrogate low end", "\xED\xA0\x80", false},
      {"surrogate high end", "\xED\xBF\xBF", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"lead F5", "\xF5\x80\x80\x80", false},
      {"five-byte lead", "\xF8\x88\x80\x80\x80", false},
      {"lone continuation", "\x80", false},
      {"FF", "\xFF", false},
      {"truncated two-byte", "a\xC2", false},
      {"truncated three-byte", "\xE4\xBA", false},
      {"truncated four-byte", "\xF0\x90\x80", false},
      {"bad continuation", "\xC2\x41", false},
      {"bad third byte", "\xE4\xBA\x41", false},
      {"GBK text", kRenameListGbk, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid);
  }
}

}  // namespace
}  // namespace zkq::platform
