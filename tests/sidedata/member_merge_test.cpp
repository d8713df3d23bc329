// The member merge: the slave zone's member names, renamed, added to the main member file unless
// it holds them already in any letter case.
#include "sidedata/member_merge.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/rename_lists.h"
#include "support/test_support.h"
#include "support/text_files.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
using test::CrLf;
using test::ReadBytes;
using test::WriteBytes;
using Bytes = std::string;
using Lines = std::vector<Bytes>;

using MemberMergeTest = test::FileTest;

TEST_F(MemberMergeTest, NewNamesAreAddedOnce) {
  struct Case {
    const char* what;
    Bytes renames;
    Lines main, slave, result;
  };
  const std::vector<Case> cases = {
      {"renamed",
       "Bob=Bob1\r\n",
       {"Ann", "Bob"},
       {"Bob", "Carol"},
       {"Ann", "Bob", "Bob1", "Carol"}},
      {"case within the slave", "", {}, {"Carol", "carol"}, {"Carol"}},
      {"case against the main", "", {"Ann"}, {"ANN"}, {"Ann"}},
      {"renamed to a held name", "bob=ANN\r\n", {"Ann"}, {"BOB"}, {"Ann"}},
      {"blank line once", "", {"Ann"}, {"", "Bob", ""}, {"Ann", "", "Bob"}},
      {"blank line held", "", {"", "Ann"}, {""}, {"", "Ann"}},
      {"main duplicates kept", "", {"Ann", "ann"}, {"Bob"}, {"Ann", "ann", "Bob"}},
      // The second byte of a GBK character is not a letter: 0x83 0x61 and 0x83 0x41 differ.
      {"GBK trailing byte", "", {"\x83\x41"}, {"\x83\x61"}, {"\x83\x41", "\x83\x61"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteBytes(CharRenameListPath(0), c.renames);
    WriteBytes(Path("main.txt"), CrLf(c.main));
    WriteBytes(Path("slave.txt"), CrLf(c.slave));
    ASSERT_TRUE(MergeMembers(Path("main.txt"), Path("slave.txt")));
    EXPECT_EQ(ReadBytes(Path("main.txt")), CrLf(c.result));
    EXPECT_EQ(ReadBytes(Path("slave.txt")), CrLf(c.slave));
  }
}

TEST_F(MemberMergeTest, SecondRunAddsNothing) {
  WriteBytes(CharRenameListPath(0), "Bob=Bob1\r\n");
  WriteBytes(Path("main.txt"), "Ann\nBob");
  WriteBytes(Path("slave.txt"), "Bob\r\nCarol\r\n");
  ASSERT_TRUE(MergeMembers(Path("main.txt"), Path("slave.txt")));
  ASSERT_TRUE(MergeMembers(Path("main.txt"), Path("slave.txt")));
  EXPECT_EQ(ReadBytes(Path("main.txt")), CrLf({"Ann", "Bob", "Bob1", "Carol"}));
}

TEST_F(MemberMergeTest, MissingFileRaisesAndChangesNothing) {
  WriteBytes(Path("main.txt"), "Ann\n");
  WriteBytes(Path("slave.txt"), "Bob\n");
  EXPECT_THROW(MergeMembers(Path("main.txt"), Path("none.txt")), FileError);
  EXPECT_THROW(MergeMembers(Path("none.txt"), Path("slave.txt")), FileError);
  EXPECT_EQ(ReadBytes(Path("main.txt")), "Ann\n");
  EXPECT_FALSE(fs::exists(Path("none.txt")));
}

TEST_F(MemberMergeTest, ZoneReadsItsNumberedRenameList) {
  WriteBytes(CharRenameListPath(0), "Bob=Wrong\r\n");
  WriteBytes(CharRenameListPath(4), "Bob=Bob4\r\n");
  WriteBytes(Path("main.txt"), "");
  WriteBytes(Path("slave.txt"), "Bob\r\n");
  ASSERT_TRUE(MergeMembersOfZone(Path("main.txt"), Path("slave.txt"), 4));
  EXPECT_EQ(ReadBytes(Path("main.txt")), CrLf({"Bob4"}));
}

}  // namespace
}  // namespace zkq
