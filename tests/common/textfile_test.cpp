// GBK text files: line splitting, joining, trimming and safe replacement on disk.
#include "common/textfile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <system_error>
#include <vector>

#include "common/errors.h"
#include "support/test_support.h"

namespace zkq {
namespace {

using test::FileTest;
using test::ReadBytes;
using test::WriteBytes;
using Lines = std::vector<std::string>;
namespace fs = std::filesystem;

TEST(SplitLines, Table) {
  struct Case {
    const char* name;
    std::string bytes;
    Lines lines;
  };
  const Case cases[] = {
      {"empty input", "", {}},
      {"one line without end", "abc", {"abc"}},
      {"CR LF", "a\r\nb\r\n", {"a", "b"}},
      {"CR", "a\rb\r", {"a", "b"}},
      {"LF", "a\nb\n", {"a", "b"}},
      {"mixed", "a\r\nb\rc\nd", {"a", "b", "c", "d"}},
      {"last line without end", "a\r\nb", {"a", "b"}},
      {"only a line end", "\r\n", {""}},
      {"empty lines kept", "\r\n\r\na\n\nb\r\r", {"", "", "a", "", "b", ""}},
      {"LF CR is two line ends", "a\n\rb", {"a", "", "b"}},
      {"CR CR LF", "a\r\r\nb", {"a", "", "b"}},
      {"GBK and zero bytes kept",
       std::string("\xC8\xCB\0x\xB0\x61\r\n", 8),
       {std::string("\xC8\xCB\0x\xB0\x61", 6)}},
      {"spaces kept", " a \r\n\t\r\n", {" a ", "\t"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(SplitLines(c.bytes), c.lines);
  }
}

TEST(JoinLinesCrLf, EveryLineEndsInCrLf) {
  EXPECT_EQ(JoinLinesCrLf({}), "");
  EXPECT_EQ(JoinLinesCrLf({""}), "\r\n");
  EXPECT_EQ(JoinLinesCrLf({"a"}), "a\r\n");
  EXPECT_EQ(JoinLinesCrLf({"a", "", "\xC8\xCB"}), "a\r\n\r\n\xC8\xCB\r\n");
}

TEST(Trim, Table) {
  struct Case {
    std::string in, out;
  };
  const Case cases[] = {
      {"", ""},
      {"   ", ""},
      {"abc", "abc"},
      {" \t a b \r\n", "a b"},
      {std::string("\0\x01x\x1F\x20", 5), "x"},    // every byte up to 0x20
      {"\x21x\x7F", "\x21x\x7F"},                  // 0x21 and 0x7F are not blanks
      {"\xA1\xA1x\xA1\xA1", "\xA1\xA1x\xA1\xA1"},  // a full-width GBK space is not trimmed
      {"\x80 x", "\x80 x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    EXPECT_EQ(Trim(c.in), c.out);
    EXPECT_EQ(TrimView(c.in), c.out);
  }
}

class TextFileTest : public FileTest {
 protected:
  // Everything in the scratch folder, to check that no temporary file is left.
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_.path()))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(TextFileTest, WriteCreatesAndReadsBack) {
  const Lines lines = {
      "\xC8\xCB\xCE\xEF=\xC8\xCB\xCE\xEF"
      "a",
      "", "last"};
  WriteTextLines(Path("new.txt"), lines);
  EXPECT_EQ(ReadBytes(Path("new.txt")),
            "\xC8\xCB\xCE\xEF=\xC8\xCB\xCE\xEF"
            "a\r\n\r\nlast\r\n");
  EXPECT_EQ(ReadTextLines(Path("new.txt")), lines);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"new.txt"}));
}

TEST_F(TextFileTest, WriteReplacesAnExistingFile) {
  WriteBytes(Path("list.txt"), "old line one\r\nold line two\r\nold three\r\n");
  WriteTextLines(Path("list.txt"), {"x"});
  EXPECT_EQ(ReadBytes(Path("list.txt")), "x\r\n");
  WriteTextLines(Path("list.txt"), {});
  EXPECT_EQ(ReadBytes(Path("list.txt")), "");
  EXPECT_EQ(Listing(), (std::vector<std::string>{"list.txt"}));
}

TEST_F(TextFileTest, FailedRenameThrowsAndKeepsTheOldFile) {
  const std::string old = "keep=me\r\nand=this\r\n";
  WriteBytes(Path("list.txt"), old);
  env_.renameFault = [](const fs::path&, const fs::path&) {
    return std::make_error_code(std::errc::permission_denied);
  };
  try {
    WriteTextLines(Path("list.txt"), {"new=content"});
    FAIL() << "no FileError";
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), Path("list.txt"));
    EXPECT_NE(std::string(e.what()).find(Path("list.txt").string()), std::string::npos);
    EXPECT_FALSE(e.reason().empty());
  }
  EXPECT_EQ(ReadBytes(Path("list.txt")), old);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"list.txt"}));
}

TEST_F(TextFileTest, FailedWriteThrowsAndKeepsTheOldFile) {
  const std::string old = "keep=me\r\n";
  WriteBytes(Path("list.txt"), old);
  env_.writeFault = [](const fs::path&, int64_t, size_t) { return false; };
  try {
    WriteTextLines(Path("list.txt"), {"new=content"});
    FAIL() << "no FileError";
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), Path("list.txt"));
    EXPECT_EQ(e.reason(), std::make_error_code(std::errc::no_space_on_device).message());
  }
  EXPECT_EQ(ReadBytes(Path("list.txt")), old);
  EXPECT_EQ(Listing(), (std::vector<std::string>{"list.txt"}));
}

TEST_F(TextFileTest, ReadOfAMissingFileThrows) {
  try {
    ReadTextLines(Path("absent.txt"));
    FAIL() << "no FileError";
  } catch (const FileError& e) {
    EXPECT_EQ(e.path(), Path("absent.txt"));
    EXPECT_EQ(e.reason(), std::make_error_code(std::errc::no_such_file_or_directory).message());
  }
}

TEST_F(TextFileTest, ReadOfAFolderThrows) {
  fs::create_directory(Path("folder.txt"));
  EXPECT_THROW(ReadTextLines(Path("folder.txt")), FileError);
}

TEST_F(TextFileTest, ReadsLargeFilesWhole) {
  std::string bytes;
  Lines expected;
  for (int k = 0; k < 20000; ++k) {
    expected.push_back("line " + std::to_string(k) + " \xC8\xCB\xCE\xEF");
    bytes += expected.back() + (k % 3 == 0 ? "\r\n" : k % 3 == 1 ? "\n" : "\r");
  }
  WriteBytes(Path("big.txt"), bytes);
  EXPECT_EQ(ReadTextLines(Path("big.txt")), expected);
}

}  // namespace
}  // namespace zkq
