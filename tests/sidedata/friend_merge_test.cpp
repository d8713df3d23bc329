// The friend merge: every friend file of the slave folder written into the main folder under the
// character's new name with its lines renamed; a friend file the main zone already has keeps its
// lines and gains the slave's new ones.
#include "sidedata/friend_merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
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

class FriendMergeTest : public test::FileTest {
 protected:
  FriendMergeTest() {
    fs::create_directories(main_);
    fs::create_directories(slave_);
  }
  void Renames(std::string_view lines, int zone = 0) {
    WriteBytes(CharRenameListPath(zone), lines);
  }
  std::vector<Bytes> MainNames() const {
    std::vector<Bytes> names;
    for (const auto& e : fs::directory_iterator(main_))
      names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  static bool Logged(std::string_view text) {
    for (const auto& line : Log().Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  fs::path main_ = Path("main");
  fs::path slave_ = Path("slave");
};

TEST_F(FriendMergeTest, FilesAndLinesFollowTheRenames) {
  Renames("Bob=Bob1\r\nCarol=Carol1\r\n");
  WriteBytes(slave_ / "Bob", "Carol\r\nDave\r\n");
  // Lines are looked up whole and in any case; a trailing blank is part of the name.
  WriteBytes(slave_ / "Erin", "carol\n\nCarol \nBob");
  // The file name is looked up with its extension.
  WriteBytes(slave_ / "Bob.txt", "Carol\r\n");
  fs::create_directories(slave_ / "Sub");
  WriteBytes(slave_ / "Sub" / "Inner", "x");

  ASSERT_TRUE(MergeFriends(main_, slave_));

  EXPECT_EQ(MainNames(), (std::vector<Bytes>{"Bob.txt", "Bob1", "Erin"}));
  EXPECT_EQ(ReadBytes(main_ / "Bob1"), CrLf({"Carol1", "Dave"}));
  EXPECT_EQ(ReadBytes(main_ / "Erin"), CrLf({"Carol1", "", "Carol ", "Bob1"}));
  EXPECT_EQ(ReadBytes(main_ / "Bob.txt"), CrLf({"Carol1"}));
  EXPECT_EQ(ReadBytes(slave_ / "Bob"), "Carol\r\nDave\r\n");
  EXPECT_FALSE(fs::exists(slave_ / "Bob1"));
}

TEST_F(FriendMergeTest, ExistingMainFileGainsOnlyNewFriends) {
  Renames("Bob=Bob1\r\nCarol=Carol1\r\n");
  // The main zone's character Bob1 keeps its friends; carol1 is Carol1 in another case.
  WriteBytes(main_ / "Bob1", "Ann\ncarol1\n");
  WriteBytes(slave_ / "Bob", "Carol\r\nDave\r\nANN\r\nDave\r\nEve\r\n");
  // Nothing new: the main file is not rewritten (its LF line ends stay).
  WriteBytes(main_ / "Full", "Ann\nDave\n");
  WriteBytes(slave_ / "Full", "dave\r\nann\r\n");
  // The main file differs in letter case only: the same file on Windows.
  WriteBytes(main_ / "ZED", "Ann\r\n");
  WriteBytes(slave_ / "Zed", "Eve\r\n");

  ASSERT_TRUE(MergeFriends(main_, slave_));

  EXPECT_EQ(ReadBytes(main_ / "Bob1"), CrLf({"Ann", "carol1", "Dave", "Eve"}));
  EXPECT_EQ(ReadBytes(main_ / "Full"), "Ann\nDave\n");
  EXPECT_EQ(ReadBytes(main_ / "ZED"), CrLf({"Ann", "Eve"}));
  EXPECT_EQ(MainNames(), (std::vector<Bytes>{"Bob1", "Full", "ZED"}));

  // A second run adds nothing.
  ASSERT_TRUE(MergeFriends(main_, slave_));
  EXPECT_EQ(ReadBytes(main_ / "Bob1"), CrLf({"Ann", "carol1", "Dave", "Eve"}));
}

TEST_F(FriendMergeTest, TwoSlaveFilesForOneCharacterAreJoined) {
  // Bob becomes Bob1, and the slave also holds a file Bob1: neither replaces the other.
  Renames("Bob=Bob1\r\n");
  WriteBytes(slave_ / "Bob", "Ann\r\n");
  WriteBytes(slave_ / "Bob1", "Carol\r\nAnn\r\n");
  ASSERT_TRUE(MergeFriends(main_, slave_));
  EXPECT_EQ(ReadBytes(main_ / "Bob1"), CrLf({"Ann", "Carol"}));
}

TEST_F(FriendMergeTest, NoRenameListOrNoSlaveFolder) {
  WriteBytes(slave_ / "Bob", "Carol");
  ASSERT_TRUE(MergeFriends(main_, slave_));
  EXPECT_EQ(ReadBytes(main_ / "Bob"), CrLf({"Carol"}));

  EXPECT_TRUE(MergeFriends(Path("other"), Path("none")));
  EXPECT_FALSE(fs::exists(Path("other")));
}

TEST_F(FriendMergeTest, GbkNamesOnDisk) {
  // "张三" renamed to "李四"; "战神" stored under raw GBK bytes in the main folder and under
  // UTF-8 in the slave folder is one character.
  const Bytes zhangSan = "\xD5\xC5\xC8\xFD", liSi = "\xC0\xEE\xCB\xC4",
              zhanShen = "\xD5\xBD\xC9\xF1";
  Renames(zhangSan + "=" + liSi + "\r\n");
  WriteBytes(slave_ / zhangSan, zhangSan + "\r\n" + zhanShen + "\r\n");
  WriteBytes(main_ / zhanShen, liSi + "\r\n");
  WriteBytes(slave_ / platform::PathFromUtf8("战神"), zhangSan + "\r\n");

  ASSERT_TRUE(MergeFriends(main_, slave_));

  EXPECT_EQ(ReadBytes(main_ / platform::PathFromUtf8("李四")), CrLf({liSi, zhanShen}));
  EXPECT_EQ(ReadBytes(main_ / zhanShen), CrLf({liSi}));  // 李四 is already a friend
  EXPECT_EQ(MainNames(), (std::vector<Bytes>{zhanShen, "\xE6\x9D\x8E\xE5\x9B\x9B"}));
}

TEST_F(FriendMergeTest, NamesThatWouldLeaveTheFolderAreNeverPaths) {
  Renames("Bob=../Bob\r\nCarol=a/b\r\nDave=a\\b\r\nErin=..\r\nFinn=\xFF\xFE\r\nGus=.\r\n");
  for (const char* name : {"Bob", "Carol", "Dave", "Erin", "Finn", "Gus"})
    WriteBytes(slave_ / name, "Bob\r\n");
  WriteBytes(slave_ / "\x81\x20", "Bob\r\n");  // invalid GBK as a name on disk

  ASSERT_TRUE(MergeFriends(main_, slave_));

  EXPECT_TRUE(fs::is_empty(main_));
  EXPECT_FALSE(fs::exists(Path("Bob")));
  EXPECT_FALSE(fs::exists(Path("a")));
  for (const char* name : {"../Bob", "a/b", "a\\b", "\xFF\xFE", "\x81\x20"})
    EXPECT_TRUE(Logged(name)) << name;
}

TEST_F(FriendMergeTest, ZoneReadsItsNumberedRenameList) {
  Renames("Bob=Wrong\r\n");
  Renames("Bob=Bob2\r\n", 2);
  WriteBytes(slave_ / "Bob", "Bob\r\n");
  ASSERT_TRUE(MergeFriendsOfZone(main_, slave_, 2));
  EXPECT_EQ(ReadBytes(main_ / "Bob2"), CrLf({"Bob2"}));
  EXPECT_EQ(MainNames(), std::vector<Bytes>{"Bob2"});
}

}  // namespace
}  // namespace zkq
