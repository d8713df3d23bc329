// The task and pet-stall merge: slave files copied into the main task folder under the
// characters' new names (never over a main file), then every stalled item of the main folder
// numbered on from ItemCounter. Items are built byte by byte and written as hexadecimal text.
#include "sidedata/petstall_merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "common/errors.h"
#include "common/process_state.h"
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

constexpr size_t kItemSize = 85;
constexpr size_t kInstanceRefAt = 45;

// "张三", "李四" and "战神" in GBK.
const Bytes kZhangSan = "\xD5\xC5\xC8\xFD";
const Bytes kLiSi = "\xC0\xEE\xCB\xC4";
const Bytes kZhanShen = "\xD5\xBD\xC9\xF1";

void PutLe32(Bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>(v >> (8 * i));
}

// An item whose bytes carry a pattern of `seed`, with InstanceId `id` and InstanceRef `ref`.
Bytes Item(uint32_t id, int seed, uint32_t ref) {
  Bytes item(kItemSize, '\0');
  for (size_t i = 0; i < kItemSize; ++i) item[i] = static_cast<char>(i * 7 + seed * 31 + 0xA0);
  PutLe32(item, 0, id);
  PutLe32(item, kInstanceRefAt, ref);
  return item;
}

Bytes Hex(std::string_view bytes, bool upper = true) {
  const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
  Bytes text;
  for (unsigned char b : bytes) {
    text += digits[b >> 4];
    text += digits[b & 15];
  }
  return text;
}

class PetStallTest : public test::FileTest {
 protected:
  PetStallTest() {
    fs::create_directories(main_);
    fs::create_directories(slave_);
  }
  void Renames(std::string_view lines, int zone = 0) {
    WriteBytes(CharRenameListPath(zone), lines);
  }
  static bool Logged(std::string_view text) {
    for (const auto& line : Log().Lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }
  fs::path main_ = Path("main");
  fs::path slave_ = Path("slave");
};

TEST_F(PetStallTest, StalledItemsAreNumberedOnFromItemCounter) {
  const Bytes a1 = Item(7, 1, 7), a2 = Item(8, 2, 99), a3 = Item(9, 3, 0);
  const Bytes b1 = Item(0, 4, 5), b2 = Item(0x7FFFFFFF, 5, 0x7FFFFFFF);
  // The main zone's own file; the second value is stored in lower case.
  WriteBytes(main_ / "A", CrLf({"[PetSell]", "ItemCount=3", "Item1=" + Hex(a1),
                                "Item2=" + Hex(a2, false), "Item3=" + Hex(a3)}));
  // A slave file, numbered after it is copied. Its first item has no instance number.
  const Bytes bLines =
      CrLf({"[PetSell]", "ItemCount=2", "Item1=" + Hex(b1, false), "Item2=" + Hex(b2)});
  WriteBytes(slave_ / "B", bLines);
  Process().itemCounter = 250;

  ASSERT_TRUE(MergePetStalls(main_, slave_));

  // Only InstanceId changes; InstanceRef stays, even where it repeated the old number.
  auto numbered = [](Bytes item, uint32_t id) {
    PutLe32(item, 0, id);
    return Hex(item);
  };
  EXPECT_EQ(ReadBytes(main_ / "A"),
            CrLf({"[PetSell]", "ItemCount=3", "Item1=" + numbered(a1, 251),
                  "Item2=" + numbered(a2, 252), "Item3=" + numbered(a3, 253), ""}));
  EXPECT_EQ(ReadBytes(main_ / "B"), CrLf({"[PetSell]", "ItemCount=2", "Item1=" + Hex(b1, false),
                                          "Item2=" + numbered(b2, 254), ""}));
  EXPECT_EQ(numbered(a2, 252).size(), 170u);
  EXPECT_EQ(Process().itemCounter, 254u);
  EXPECT_EQ(ReadBytes(slave_ / "B"), bLines);
}

TEST_F(PetStallTest, RewrittenFileTakesTheStoredForm) {
  const Bytes item = Item(5, 9, 5);
  // Trimmed lines, comments and lines before the first section dropped, names in any case,
  // an absent item key skipped, a key beyond the count left alone.
  WriteBytes(main_ / "A",
             "; stall of A\r\nstray=1\n  [ petsell ] \r\n; items\r\n ItemCount = 3 \n"
             "\tITEM1 = " +
                 Hex(item) + "  \r\njunk line  \r\n\r\nItem4=" + Hex(item) +
                 "\r\n[Other]\r\n a = b \r\n[Third]");
  Process().itemCounter = 40;

  RenumberPetStallFile(main_ / "A");

  Bytes renumbered = item;
  PutLe32(renumbered, 0, 41);
  EXPECT_EQ(ReadBytes(main_ / "A"),
            CrLf({"[petsell]", "ItemCount=3", "ITEM1=" + Hex(renumbered), "junk line",
                  "Item4=" + Hex(item), "", "[Other]", "a=b", "", "[Third]", ""}));
  EXPECT_EQ(Process().itemCounter, 41u);
}

TEST_F(PetStallTest, ValuesThatHoldNoWholeItemKeepTheirText) {
  const Bytes item = Item(3, 6, 0);
  struct Case {
    const char* what;
    Bytes value;
  };
  const std::vector<Case> untouched = {
      {"empty", ""},
      {"not hexadecimal", Hex(item).replace(100, 1, "G")},
      {"odd number of digits", Hex(item) + "A"},
      {"84 bytes", Hex(item.substr(0, 84))},
      {"blank inside", Hex(item).replace(10, 1, " ")},
  };
  for (const auto& c : untouched) {
    SCOPED_TRACE(c.what);
    const Bytes text = CrLf({"[PetSell]", "ItemCount=1", "Item1=" + c.value});
    WriteBytes(main_ / "A", text);
    Process().itemCounter = 10;
    RenumberPetStallFile(main_ / "A");
    EXPECT_EQ(ReadBytes(main_ / "A"), text);
    EXPECT_EQ(Process().itemCounter, 10u);
  }

  // A value longer than one item is read as its first 85 bytes.
  WriteBytes(main_ / "A", CrLf({"[PetSell]", "ItemCount=1", "Item1=" + Hex(item) + "FF00"}));
  RenumberPetStallFile(main_ / "A");
  Bytes renumbered = item;
  PutLe32(renumbered, 0, 11);
  EXPECT_EQ(ReadBytes(main_ / "A"),
            CrLf({"[PetSell]", "ItemCount=1", "Item1=" + Hex(renumbered), ""}));
}

TEST_F(PetStallTest, FilesWithoutANumberedItemAreNotRewritten) {
  const std::vector<Bytes> texts = {
      "; no stall\nTask=1\n",
      "[PetSell]\nItemCount=1\nItem1=" + Hex(Item(0, 1, 0)) + "\n; kept\n",
      "[PetSell]\nItemCount=0\nItem1=" + Hex(Item(4, 1, 0)) + "\n",
      "[PetSell]\nItemCount=x\nItem1=" + Hex(Item(4, 1, 0)) + "\n",
      "[PetSell]\nItemCount=1\nItem1=nothex\n",
      "",
  };
  for (size_t i = 0; i < texts.size(); ++i) WriteBytes(main_ / std::to_string(i), texts[i]);
  Process().itemCounter = 70;

  ASSERT_TRUE(MergePetStalls(main_, slave_));

  for (size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(ReadBytes(main_ / std::to_string(i)), texts[i]) << i;
  EXPECT_EQ(Process().itemCounter, 70u);
}

TEST_F(PetStallTest, ItemCounterZeroCopiesButNumbersNothing) {
  const Bytes text = "[PetSell]\nItemCount=1\nItem1=" + Hex(Item(4, 1, 4)) + "\n";
  WriteBytes(main_ / "A", text);
  WriteBytes(slave_ / "B", text);

  ASSERT_TRUE(MergePetStalls(main_, slave_));

  EXPECT_EQ(ReadBytes(main_ / "A"), text);
  EXPECT_EQ(ReadBytes(main_ / "B"), text);
  EXPECT_EQ(Process().itemCounter, 0u);
}

TEST_F(PetStallTest, CopyPassRenamesAndNeverReplaces) {
  Renames("Bob=Bob1\r\nCarol=Ann\r\nDave=Zed\r\n" + kZhangSan + "=" + kLiSi + "\r\n");
  WriteBytes(main_ / "Ann", "main Ann");
  WriteBytes(main_ / "ZED", "main ZED");
  WriteBytes(main_ / kZhanShen, "main raw GBK");  // stored under raw GBK bytes
  WriteBytes(slave_ / "Bob", "slave Bob");
  WriteBytes(slave_ / "Bob.txt", "slave Bob.txt");  // looked up with its extension
  WriteBytes(slave_ / "Carol", "slave Carol");
  WriteBytes(slave_ / "Dave", "slave Dave");  // Zed: the same file as ZED on Windows
  WriteBytes(slave_ / "Erin", "slave Erin");
  WriteBytes(slave_ / kZhangSan, "slave ZhangSan");
  WriteBytes(slave_ / platform::PathFromUtf8("战神"), "slave ZhanShen");
  fs::create_directories(slave_ / "Sub");
  WriteBytes(slave_ / "Sub" / "Inner", "inner");

  ASSERT_TRUE(MergePetStalls(main_, slave_));

  std::vector<Bytes> names;
  for (const auto& e : fs::directory_iterator(main_)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<Bytes>{"Ann", "Bob.txt", "Bob1", "Erin", "ZED", kZhanShen,
                                       "\xE6\x9D\x8E\xE5\x9B\x9B"}));  // 李四 in UTF-8
  EXPECT_EQ(ReadBytes(main_ / "Bob1"), "slave Bob");
  EXPECT_EQ(ReadBytes(main_ / "Bob.txt"), "slave Bob.txt");
  EXPECT_EQ(ReadBytes(main_ / "Ann"), "main Ann");
  EXPECT_EQ(ReadBytes(main_ / "ZED"), "main ZED");
  EXPECT_EQ(ReadBytes(main_ / kZhanShen), "main raw GBK");
  EXPECT_EQ(ReadBytes(main_ / platform::PathFromUtf8("李四")), "slave ZhangSan");
  EXPECT_EQ(ReadBytes(slave_ / "Bob"), "slave Bob");
}

TEST_F(PetStallTest, ZoneReadsItsNumberedRenameList) {
  Renames("Bob=Wrong\r\n");
  Renames("Bob=Bob2\r\n", 2);
  WriteBytes(slave_ / "Bob", "x");
  ASSERT_TRUE(MergePetStallsOfZone(main_, slave_, 2));
  EXPECT_TRUE(fs::exists(main_ / "Bob2"));
  EXPECT_FALSE(fs::exists(main_ / "Wrong"));
}

TEST_F(PetStallTest, MissingFolderGivesFalseAndChangesNothing) {
  WriteBytes(slave_ / "Bob", "x");
  const Bytes text = "[PetSell]\nItemCount=1\nItem1=" + Hex(Item(4, 1, 4)) + "\n";
  WriteBytes(main_ / "A", text);
  Process().itemCounter = 5;

  EXPECT_FALSE(MergePetStalls(main_, Path("none")));
  EXPECT_FALSE(MergePetStalls(Path("none"), slave_));
  EXPECT_FALSE(MergePetStalls(main_ / "A", slave_));  // a file is no folder

  EXPECT_EQ(ReadBytes(main_ / "A"), text);
  EXPECT_FALSE(fs::exists(main_ / "Bob"));
  EXPECT_FALSE(fs::exists(Path("none")));
  EXPECT_EQ(Process().itemCounter, 5u);
}

TEST_F(PetStallTest, NamesThatWouldLeaveTheFolderAreNeverPaths) {
  Renames("Bob=../Bob\r\nCarol=a/b\r\nDave=a\\b\r\nErin=..\r\nFinn=\xFF\xFE\r\n");
  for (const char* name : {"Bob", "Carol", "Dave", "Erin", "Finn"}) WriteBytes(slave_ / name, "x");
  WriteBytes(slave_ / "\x81\x20", "invalid GBK name on disk");

  ASSERT_TRUE(MergePetStalls(main_, slave_));

  EXPECT_TRUE(fs::is_empty(main_));
  EXPECT_FALSE(fs::exists(Path("Bob")));
  EXPECT_FALSE(fs::exists(Path("a")));
  EXPECT_TRUE(Logged("../Bob"));
  EXPECT_TRUE(Logged("a\\b"));
  EXPECT_TRUE(Logged("\xFF\xFE"));
  EXPECT_TRUE(Logged("\x81\x20"));
}

TEST_F(PetStallTest, FailedCopyLeavesNoFileUnderTheTargetName) {
  WriteBytes(slave_ / "Bob", "slave Bob");
  env_.writeFault = [](const fs::path&, int64_t, size_t) { return false; };

  EXPECT_THROW(MergePetStalls(main_, slave_), FileError);

  env_.writeFault = nullptr;
  EXPECT_TRUE(fs::is_empty(main_));
  // The next run copies it.
  ASSERT_TRUE(MergePetStalls(main_, slave_));
  EXPECT_EQ(ReadBytes(main_ / "Bob"), "slave Bob");
}

TEST_F(PetStallTest, FailedRewriteKeepsFileAndCounter) {
  const Bytes text = "[PetSell]\nItemCount=1\nItem1=" + Hex(Item(4, 1, 4)) + "\n";
  WriteBytes(main_ / "A", text);
  Process().itemCounter = 5;
  env_.writeFault = [](const fs::path&, int64_t, size_t) { return false; };

  EXPECT_THROW(RenumberPetStallFile(main_ / "A"), FileError);

  EXPECT_EQ(ReadBytes(main_ / "A"), text);
  EXPECT_EQ(Process().itemCounter, 5u);
}

}  // namespace
}  // namespace zkq
