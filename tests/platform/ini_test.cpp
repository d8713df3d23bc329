#include "platform/ini.h"

#include <gtest/gtest.h>

#include "common/errors.h"
#include "support/test_support.h"

namespace zkq {
namespace {

using test::ReadBytes;
using test::WriteBytes;

class IniTest : public test::FileTest {
 protected:
  std::filesystem::path file_ = Path("a.ini");
};

TEST_F(IniTest, ReadStringFindsKeysWithoutRegardToCase) {
  WriteBytes(file_,
             "; comment\r\n[Other]\r\nName=wrong\r\n[ guild ]\r\n  guildname =  Alpha  \r\n"
             "Empty=\r\n[Guild]\r\nGuildName=second section\r\n");
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"Guild", "GuildName", "Alpha"},  // first matching section, trimmed key and value
      {"GUILD", "GUILDNAME", "Alpha"},
      {"Guild", "Empty", ""},       // present but empty: not the default
      {"Guild", "Missing", "def"},  // missing key
      {"Nowhere", "Name", "def"},   // missing section
      {"Other", "Name", "wrong"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(platform::ReadString(file_, c.section, c.key, "def"), c.expected)
        << c.section << "/" << c.key;
  EXPECT_EQ(platform::ReadString(Path("missing.ini"), "Guild", "GuildName", "def"), "def");
}

TEST_F(IniTest, ReadStringCutsLongValues) {
  WriteBytes(file_, "[S]\r\nK=" + std::string(3000, 'v') + "\r\n");
  EXPECT_EQ(platform::ReadString(file_, "S", "K", "").size(), 2047u);
}

TEST_F(IniTest, ReadIntegerReadsDecimalAndHexadecimal) {
  struct Case {
    const char* text;
    int32_t expected;
  };
  const Case cases[] = {
      {"42", 42},   {"-7", -7},          {"0x1A", 26},       {"0X1a", 26},
      {"$ff", 255}, {"12abc", -1},       {"", -1},           {"0x", -1},
      {"abc", -1},  {"99999999999", -1}, {"0xFFFFFFFF", -1}, {"2147483647", 2147483647},
  };
  for (const Case& c : cases) {
    WriteBytes(file_, std::string("[S]\r\nK=") + c.text + "\r\n");
    EXPECT_EQ(platform::ReadInteger(file_, "S", "K", -1), c.expected) << c.text;
  }
}

TEST_F(IniTest, WriteStringChangesOneLineAndKeepsTheRest) {
  WriteBytes(file_, "; kept\n[Guild]\nGuildName=Alpha\nLevel=3\n\n[Other]\nGuildName=x\n");
  platform::WriteString(file_, "guild", "guildname", "AlphaA");
  EXPECT_EQ(ReadBytes(file_),
            "; kept\r\n[Guild]\r\nguildname=AlphaA\r\nLevel=3\r\n\r\n[Other]\r\nGuildName=x\r\n");

  platform::WriteString(file_, "Guild", "New", "1");  // behind the section's last key
  platform::WriteString(file_, "Added", "K", "v");    // a new section at the end
  EXPECT_EQ(ReadBytes(file_),
            "; kept\r\n[Guild]\r\nguildname=AlphaA\r\nLevel=3\r\nNew=1\r\n\r\n[Other]\r\n"
            "GuildName=x\r\n[Added]\r\nK=v\r\n");
}

TEST_F(IniTest, WriteStringCreatesAMissingFile) {
  platform::WriteString(file_, "Clan", "ClanName", "\xD5\xBD\xC9\xF1");
  EXPECT_EQ(ReadBytes(file_), "[Clan]\r\nClanName=\xD5\xBD\xC9\xF1\r\n");
  EXPECT_EQ(platform::ReadString(file_, "Clan", "ClanName", ""), "\xD5\xBD\xC9\xF1");
}

TEST_F(IniTest, AFailedWriteRaisesAnErrorNamingTheFile) {
  WriteBytes(file_, "[S]\r\nK=old\r\n");
  env_.renameFault = [](const auto&, const auto&) {
    return std::make_error_code(std::errc::permission_denied);
  };
  try {
    platform::WriteString(file_, "S", "K", "new");
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_NE(e.reason().find("Unable to write to a.ini"), std::string::npos) << e.reason();
  }
  EXPECT_EQ(ReadBytes(file_), "[S]\r\nK=old\r\n");
}

}  // namespace
}  // namespace zkq
