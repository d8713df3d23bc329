// The character index file "Hum.db": creation, scan into NameList / AccountList / FreeSlots,
// Add, DeleteByName, free-name derivation and compaction, checked against bytes built here at
// the documented offsets.
#include "dbfiles/filehumdb.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "support/bytes.h"
#include "support/test_support.h"

namespace zkq {
namespace {

using test::GetDouble;
using test::GetLe32;
using test::kCharFileSignature;
using test::PutDouble;
using test::PutLe16;
using test::PutLe32;
using test::PutShort;
using test::ReadBytes;
using test::WriteBytes;
namespace fs = std::filesystem;

constexpr size_t kHeaderSize = 124;
constexpr size_t kRecordSize = 73;

// "★" in GBK: a two-byte suffix.
const std::string kStar = "\xA1\xEF";

// A file header as another program may have left it: every field the file class must keep
// "as read" holds a recognisable value.
std::string FileHeader(int32_t slotCount) {
  std::string h(kHeaderSize, '\0');
  PutShort(h, 0, 35, kCharFileSignature);
  for (size_t i = 36; i < 92; ++i) h[i] = static_cast<char>(0x40 + i % 13);
  PutLe32(h, 92, 6);            // LastChangedSlot
  PutDouble(h, 96, 40000.5);    // LastChangeTime
  PutLe32(h, 104, slotCount);   // SlotCount
  PutLe32(h, 108, 0x11223344);  // reserved
  PutLe32(h, 112, 0x55667788);  // FreeHead, not interpreted here
  PutDouble(h, 116, 40001.25);  // LastWriteTime
  return h;
}

struct Hum {
  bool deleted = false;
  std::string key;
  std::string charName;
  std::string account;
  uint16_t word = 0;
  uint8_t fill = 0;  // varies the uninterpreted bytes from record to record
};

std::string HumRecord(const Hum& r) {
  std::string b(kRecordSize, '\0');
  for (size_t i = 0; i < kRecordSize; ++i)
    b[i] = static_cast<char>((r.fill * 17 + i * 5 + 1) & 0xFF);
  b[0] = r.deleted ? 1 : 0;
  PutLe16(b, 2, r.word);
  PutDouble(b, 4, 39000.0 + r.fill);
  PutShort(b, 12, 15, r.key);
  PutShort(b, 28, 14, r.charName);
  PutShort(b, 43, 10, r.account);
  return b;
}

// A live record whose key and character name are the same.
std::string Live(const std::string& name, const std::string& account, uint8_t fill,
                 uint16_t word = 0) {
  return HumRecord({false, name, name, account, word, fill});
}

std::string Dead(uint8_t fill) {
  return HumRecord({true, "Gone", "Gone", "old", 0, fill});
}

CharIndexRecord ToRecord(const std::string& bytes) {
  CharIndexRecord r;
  std::memcpy(r.bytes.data(), bytes.data(), kRecordSize);
  return r;
}

std::string Slot(const std::string& file, int slot) {
  return file.substr(kHeaderSize + kRecordSize * static_cast<size_t>(slot), kRecordSize);
}

// Holds the file open for a block.
class Opened {
 public:
  explicit Opened(TFileHumDB& db) : db_(db) { EXPECT_TRUE(db_.OpenFile()); }
  ~Opened() { db_.CloseFile(); }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;

 private:
  TFileHumDB& db_;
};

std::vector<int32_t> Slots(std::initializer_list<int32_t> s) {
  return s;
}

class HumDbTest : public test::FileTest {
 protected:
  // Writes "Hum.db" from a header and whole records.
  std::string WriteHum(int32_t slotCount, const std::vector<std::string>& records) {
    std::string bytes = FileHeader(slotCount);
    for (const auto& r : records) bytes += r;
    WriteBytes(path_, bytes);
    return bytes;
  }
  TDateTime Reading(int n) const { return env_.clock + n * env_.step; }

  fs::path path_ = Path("Hum.db");
};

TEST_F(HumDbTest, CreatesAMissingFileWithItsSignatureAndNoSlots) {
  TFileHumDB db(path_);

  std::string header(kHeaderSize, '\0');
  PutShort(header, 0, 35, kCharFileSignature);
  EXPECT_EQ(ReadBytes(path_), header);
  EXPECT_EQ(db.SlotCount(), 0);
  EXPECT_EQ(db.NameList().Count(), 0);
  EXPECT_EQ(db.AccountList().Count(), 0);
  EXPECT_TRUE(db.FreeSlots().empty());

  // The new file is usable: the first record lands in slot 0.
  const std::string rec = Live("Amy", "acc", 1);
  const TDateTime stamp = Reading(1);
  const TDateTime written = Reading(2);
  {
    Opened open(db);
    ASSERT_TRUE(db.Add(ToRecord(rec)));
  }
  std::string expectedRecord = rec;
  PutDouble(expectedRecord, 4, stamp);
  PutLe32(header, 104, 1);
  PutDouble(header, 116, written);
  EXPECT_EQ(ReadBytes(path_), header + expectedRecord);
}

TEST_F(HumDbTest, ScanListsLiveRecordsFreesDeletedOnesAndGroupsCharactersByAccount) {
  // Key and character name differ on purpose: NameList is keyed by KeyName, the account's
  // entries carry CharName.
  WriteHum(7, {
                  HumRecord({false, "Alice", "AliceC", "acc1", 0xBEEF, 1}),
                  Dead(2),
                  HumRecord({false, "", "", "acc2", 7, 3}),  // live, empty key
                  HumRecord({false, "bob", "bobC", "acc1", 2, 4}),
                  Dead(5),
                  HumRecord({false, "Carol", "CarolC", "Acc1", 3, 6}),
                  Dead(7),
              });
  TFileHumDB db(path_);

  EXPECT_EQ(db.SlotCount(), 7);
  const TQuickList& names = db.NameList();
  ASSERT_EQ(names.Count(), 4);
  const char* const order[] = {"", "Alice", "bob", "Carol"};
  const int32_t slots[] = {2, 0, 3, 5};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(names.Text(i), order[i]) << i;
    EXPECT_EQ(names.Value(i), slots[i]) << i;
  }
  EXPECT_EQ(db.FindName(""), 0);
  EXPECT_EQ(db.FindName("ALICE"), 1);
  EXPECT_EQ(db.FreeSlots(), Slots({1, 4, 6}));

  // Accounts in exact byte order; "Acc1" and "acc1" are different accounts.
  const TQuickIDList& accounts = db.AccountList();
  ASSERT_EQ(accounts.Count(), 3);
  EXPECT_EQ(accounts.Text(0), "Acc1");
  EXPECT_EQ(accounts.Text(1), "acc1");
  EXPECT_EQ(accounts.Text(2), "acc2");
  const auto& acc1 = accounts.EntriesAt(1);
  ASSERT_EQ(acc1.size(), 2u);
  EXPECT_EQ(acc1[0].charName, "AliceC");
  EXPECT_EQ(acc1[0].account, "acc1");
  EXPECT_EQ(acc1[0].slot, 0);
  EXPECT_EQ(acc1[0].tag, 0xBEEF);  // the word is unsigned
  EXPECT_EQ(acc1[1].charName, "bobC");
  EXPECT_EQ(acc1[1].slot, 3);
  EXPECT_EQ(acc1[1].tag, 2);
  ASSERT_EQ(accounts.EntriesAt(2).size(), 1u);
  EXPECT_EQ(accounts.EntriesAt(2)[0].charName, "");
  EXPECT_EQ(accounts.EntriesAt(2)[0].slot, 2);

  EXPECT_TRUE(db.AccountHasCharacters("acc1"));
  EXPECT_TRUE(db.AccountHasCharacters("Acc1"));
  EXPECT_FALSE(db.AccountHasCharacters("ACC1"));
  EXPECT_FALSE(db.AccountHasCharacters("ACC2"));
  EXPECT_FALSE(db.AccountHasCharacters("old"));  // only deleted records name it

  // The live record with the empty key keeps its slot: adds use the deleted slots, then the end.
  {
    Opened open(db);
    ASSERT_TRUE(db.Add(ToRecord(Live("N1", "x", 11))));
    ASSERT_TRUE(db.Add(ToRecord(Live("N2", "x", 12))));
    ASSERT_TRUE(db.Add(ToRecord(Live("N3", "x", 13))));
    ASSERT_TRUE(db.Add(ToRecord(Live("N4", "x", 14))));
  }
  EXPECT_EQ(db.NameList().Value(db.FindName("N1")), 1);
  EXPECT_EQ(db.NameList().Value(db.FindName("N2")), 4);
  EXPECT_EQ(db.NameList().Value(db.FindName("N3")), 6);
  EXPECT_EQ(db.NameList().Value(db.FindName("N4")), 7);
  EXPECT_EQ(db.SlotCount(), 8);
  EXPECT_EQ(Slot(ReadBytes(path_), 2), HumRecord({false, "", "", "acc2", 7, 3}));
}

TEST_F(HumDbTest, AddWritesTheRecordAndTheHeaderExactly) {
  const std::string before = WriteHum(3, {Live("Amy", "pal", 1), Dead(2), Live("Ben", "pal", 3)});
  TFileHumDB db(path_);

  // The caller's copy carries a deleted flag and an old time; both are replaced in the file.
  std::string cat = HumRecord({true, "Cat", "Cat", "pal", 0x1234, 4});
  cat[0] = 9;
  std::string dan = Live("Dan", "solo", 5, 0x8001);
  std::string expected = before;
  {
    Opened open(db);
    // A free slot is reused: SlotCount stays.
    const TDateTime catTime = Reading(1);
    const TDateTime catWrite = Reading(2);
    ASSERT_TRUE(db.Add(ToRecord(cat)));
    std::string catWritten = cat;
    catWritten[0] = 0;
    PutDouble(catWritten, 4, catTime);
    expected.replace(kHeaderSize + kRecordSize, kRecordSize, catWritten);
    PutDouble(expected, 116, catWrite);
    EXPECT_EQ(ReadBytes(path_), expected);
    EXPECT_EQ(db.SlotCount(), 3);

    // No free slot left: the record goes to the end and SlotCount grows.
    const TDateTime danTime = Reading(1);
    const TDateTime danWrite = Reading(2);
    ASSERT_TRUE(db.Add(ToRecord(dan)));
    PutDouble(dan, 4, danTime);
    expected += dan;
    PutLe32(expected, 104, 4);
    PutDouble(expected, 116, danWrite);
    EXPECT_EQ(ReadBytes(path_), expected);
    EXPECT_EQ(db.SlotCount(), 4);
  }
  // LastChangedSlot and LastChangeTime stay as read.
  EXPECT_EQ(GetLe32(expected, 92), 6);
  EXPECT_EQ(GetDouble(expected, 96), 40000.5);

  EXPECT_EQ(db.NameList().Value(db.FindName("cat")), 1);
  EXPECT_EQ(db.NameList().Value(db.FindName("DAN")), 3);
  EXPECT_TRUE(db.FreeSlots().empty());
  const TQuickIDList::Entries* pal = nullptr;
  ASSERT_GE(db.AccountList().FindAccount("pal", &pal), 0);
  ASSERT_EQ(pal->size(), 3u);
  EXPECT_EQ((*pal)[2].charName, "Cat");
  EXPECT_EQ((*pal)[2].slot, 1);
  EXPECT_EQ((*pal)[2].tag, 0x1234);
  const TQuickIDList::Entries* solo = nullptr;
  ASSERT_GE(db.AccountList().FindAccount("solo", &solo), 0);
  ASSERT_EQ(solo->size(), 1u);
  EXPECT_EQ((*solo)[0].slot, 3);
  EXPECT_EQ((*solo)[0].tag, 0x8001);
}

TEST_F(HumDbTest, AddOfAPresentKeyInOtherCaseFailsAndChangesNothing) {
  const std::string before = WriteHum(2, {Live("Amy", "pal", 1), Dead(2)});
  TFileHumDB db(path_);
  {
    Opened open(db);
    const auto header = db.HeaderCopy();
    EXPECT_FALSE(db.Add(ToRecord(Live("aMY", "other", 3))));
    EXPECT_EQ(db.HeaderCopy(), header);
  }
  EXPECT_EQ(ReadBytes(path_), before);
  EXPECT_EQ(db.FreeSlots(), Slots({1}));
  EXPECT_EQ(db.NameList().Count(), 1);
  EXPECT_FALSE(db.AccountHasCharacters("other"));
}

// The slot at the front of FreeSlots was deleted at scan time, but another program has written
// a live record there since. A named record must not be overwritten; an unnamed one may be.
TEST_F(HumDbTest, AddIntoAFreeSlotThatHoldsALiveRecordSinceTheScan) {
  struct Case {
    const char* what;
    std::string present;
    bool added;
  };
  const Case cases[] = {
      {"live named record", Live("Ghost", "ghost", 9), false},
      {"live record with an empty key", HumRecord({false, "", "", "ghost", 0, 9}), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string file = WriteHum(2, {Live("Amy", "pal", 1), Dead(2)});
    TFileHumDB db(path_);
    ASSERT_EQ(db.FreeSlots(), Slots({1}));
    file.replace(kHeaderSize + kRecordSize, kRecordSize, c.present);
    WriteBytes(path_, file);

    Opened open(db);
    const auto header = db.HeaderCopy();
    const bool added = db.Add(ToRecord(Live("Cat", "pal", 3)));
    EXPECT_EQ(added, c.added);
    EXPECT_TRUE(db.FreeSlots().empty());  // the slot is used up either way
    if (c.added) {
      EXPECT_EQ(db.NameList().Value(db.FindName("Cat")), 1);
      continue;
    }
    EXPECT_EQ(db.HeaderCopy(), header);
    EXPECT_EQ(ReadBytes(path_), file);
    EXPECT_EQ(db.FindName("Cat"), -1);
    // With the slot lost, the next Add appends.
    ASSERT_TRUE(db.Add(ToRecord(Live("Cat", "pal", 3))));
    EXPECT_EQ(db.NameList().Value(db.FindName("Cat")), 2);
    EXPECT_EQ(db.SlotCount(), 3);
  }
}

TEST_F(HumDbTest, DeleteByNameMarksTheRecordAndUpdatesTheAccounts) {
  const std::string before =
      WriteHum(3, {Live("Amy", "pal", 1), Live("Ben", "pal", 2), Live("Cy", "solo", 3)});
  TFileHumDB db(path_);
  Opened open(db);

  EXPECT_FALSE(db.DeleteByName("Nobody"));
  EXPECT_EQ(ReadBytes(path_), before);

  const TDateTime amyTime = Reading(1);
  ASSERT_TRUE(db.DeleteByName("AMY"));
  std::string file = ReadBytes(path_);
  ASSERT_EQ(file.size(), before.size());
  // The file header is not rewritten by a deletion.
  EXPECT_EQ(file.substr(0, kHeaderSize), before.substr(0, kHeaderSize));
  const std::string amy = Slot(file, 0);
  EXPECT_EQ(amy[0], 1);
  EXPECT_EQ(GetDouble(amy, 4), amyTime);
  EXPECT_EQ(amy.substr(28), Slot(before, 0).substr(28));
  EXPECT_EQ(Slot(file, 1), Slot(before, 1));
  EXPECT_EQ(Slot(file, 2), Slot(before, 2));

  EXPECT_EQ(db.FindName("Amy"), -1);
  EXPECT_EQ(db.FreeSlots(), Slots({0}));
  const TQuickIDList::Entries* pal = nullptr;
  ASSERT_GE(db.AccountList().FindAccount("pal", &pal), 0);
  ASSERT_EQ(pal->size(), 1u);
  EXPECT_EQ((*pal)[0].charName, "Ben");
  EXPECT_TRUE(db.AccountHasCharacters("pal"));

  // The account's last character goes, and the account with it.
  const TDateTime benTime = Reading(1);
  ASSERT_TRUE(db.DeleteByName("ben"));
  file = ReadBytes(path_);
  EXPECT_EQ(file.substr(0, kHeaderSize), before.substr(0, kHeaderSize));
  EXPECT_EQ(Slot(file, 1)[0], 1);
  EXPECT_EQ(GetDouble(Slot(file, 1), 4), benTime);
  EXPECT_EQ(Slot(file, 1).substr(28), Slot(before, 1).substr(28));
  EXPECT_EQ(db.AccountList().FindAccount("pal", nullptr), -1);
  EXPECT_FALSE(db.AccountHasCharacters("pal"));
  EXPECT_EQ(db.FreeSlots(), Slots({0, 1}));
  EXPECT_EQ(db.SlotCount(), 3);

  // Character names ignore case, account names do not.
  EXPECT_GE(db.FindName("cY"), 0);
  EXPECT_TRUE(db.AccountHasCharacters("solo"));
  EXPECT_FALSE(db.AccountHasCharacters("SOLO"));
}

TEST_F(HumDbTest, MakeFreeCharNameTriesTheSuffixThenTheLetters) {
  struct Case {
    const char* what;
    std::vector<std::string> present;
    std::string name;
    std::string suffix;
    std::string expected;
  };
  std::vector<std::string> allTaken = {"Bob" + kStar};
  for (char c = 'a'; c <= 'z'; ++c) allTaken.push_back(std::string("Bob") + c);
  const std::string gbk14 = "ABCDEFGHIJKL\xB0\xA1";  // 14th byte 0xA1
  const Case cases[] = {
      {"suffix free", {}, "Bob", kStar, "Bob" + kStar},
      {"suffix taken", {"Bob" + kStar}, "Bob", kStar, "Boba"},
      {"suffix and a taken", {"Bob" + kStar, "Boba"}, "Bob", kStar, "Bobb"},
      {"suffix taken in other case", {"BOB" + kStar}, "bob", kStar, "boba"},
      {"empty suffix", {"Bob"}, "Bob", "", "Boba"},
      {"letter taken in other case", {"BOBA"}, "Bob", "", "Bobb"},
      {"13 bytes kept whole", {}, "ABCDEFGHIJKLM", "", "ABCDEFGHIJKLMa"},
      {"14 bytes, ASCII 14th byte", {}, "ABCDEFGHIJKLMN", kStar, "ABCDEFGHIJKLM" + kStar},
      {"14 bytes, ASCII 14th byte, letter",
       {"ABCDEFGHIJKLM" + kStar},
       "ABCDEFGHIJKLMN",
       kStar,
       "ABCDEFGHIJKLMa"},
      {"14 bytes, 14th byte 0x80 or above", {}, gbk14, kStar, "ABCDEFGHIJKL" + kStar},
      {"14 bytes, 14th byte 0x80 or above, letter", {}, gbk14, "", "ABCDEFGHIJKLa"},
      {"14th byte exactly 0x80", {}, "ABCDEFGHIJKLM\x80", "", "ABCDEFGHIJKLa"},
      {"longer name, ASCII 14th byte", {}, "ABCDEFGHIJKLMNOP", "", "ABCDEFGHIJKLMa"},
      {"all 26 taken", allTaken, "Bob", kStar, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::string> records;
    uint8_t fill = 0;
    // A 15-byte key keeps all its bytes; the character name holds 14 of them.
    for (const auto& name : c.present)
      records.push_back(HumRecord({false, name, name.substr(0, 14), "acc", 0, ++fill}));
    WriteHum(static_cast<int32_t>(records.size()), records);
    const TFileHumDB db(path_);
    ASSERT_EQ(db.NameList().Count(), static_cast<int>(c.present.size()));
    EXPECT_EQ(db.MakeFreeCharName(c.name, c.suffix), c.expected);
  }
}

TEST_F(HumDbTest, CompactDropsDeletedRecordsAndKeepsTheOthersByteForByte) {
  const std::vector<std::string> records = {Live("Amy", "pal", 1), Dead(2),
                                            HumRecord({false, "", "", "pal", 0, 3}), Dead(4),
                                            Live("Ben", "pal", 5)};
  const std::string before = WriteHum(5, records);
  TFileHumDB db(path_);

  const TDateTime compacted = Reading(1);
  ASSERT_TRUE(db.Compact());

  std::string expected = before.substr(0, kHeaderSize);
  PutLe32(expected, 104, 3);
  PutDouble(expected, 116, compacted);
  expected += records[0] + records[2] + records[4];
  const std::string after = ReadBytes(path_);
  EXPECT_EQ(after.size(), kHeaderSize + 3 * kRecordSize);
  EXPECT_EQ(after, expected);
  EXPECT_FALSE(fs::exists(Path("Hum#$00.DB")));

  // The object still describes the file it scanned; a new object sees the compacted one.
  EXPECT_EQ(db.SlotCount(), 5);
  EXPECT_EQ(db.FreeSlots(), Slots({1, 3}));
  const TFileHumDB again(path_);
  EXPECT_EQ(again.SlotCount(), 3);
  EXPECT_TRUE(again.FreeSlots().empty());
  EXPECT_EQ(again.NameList().Value(again.FindName("Ben")), 2);
}

TEST_F(HumDbTest, CompactCopiesWholeRecordsPastSlotCountAndDropsAPartialTail) {
  // SlotCount says 1, but two more whole records and a partial one follow.
  const std::vector<std::string> records = {Live("Amy", "pal", 1), Dead(2), Live("Ben", "pal", 3)};
  const std::string before = WriteHum(1, records) + std::string(40, 'x');
  WriteBytes(path_, before);
  TFileHumDB db(path_);
  ASSERT_EQ(db.NameList().Count(), 1);

  ASSERT_TRUE(db.Compact());
  const std::string after = ReadBytes(path_);
  ASSERT_EQ(after.size(), kHeaderSize + 2 * kRecordSize);
  EXPECT_EQ(GetLe32(after, 104), 2);
  EXPECT_EQ(after.substr(kHeaderSize), records[0] + records[2]);
}

}  // namespace
}  // namespace zkq
