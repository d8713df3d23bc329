// The character index merge: every character of a slave "Hum.db" appended to the main one with
// its account renamed as the account merge decided, a clashing character renamed with the
// duplicate-name suffix or a letter, every rename kept in CharNameMap and written, sorted, to
// the character rename list file. Files are built and checked byte by byte at their documented
// offsets.
#include "merge/charindex_merge.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "common/process_state.h"
#include "common/progress_log.h"
#include "support/bytes.h"
#include "support/log_texts.h"
#include "support/test_support.h"
#include "support/text_files.h"

namespace zkq {
namespace {

using test::AccountListName;
using test::CharListName;
using test::GetLe32;
using test::Join;
using test::kCharFileSignature;
using test::PutDouble;
using test::PutLe16;
using test::PutLe32;
using test::PutShort;
using test::ReadBytes;
using test::SameBytes;
using test::ShortAt;
using test::TextRecorder;
using test::WriteBytes;
namespace fs = std::filesystem;
using Bytes = std::string;
using Lines = std::vector<std::string>;

constexpr size_t kHeaderSize = 124;
constexpr size_t kRecordSize = 73;
constexpr size_t kKeyAt = 12;      // short string, capacity 15
constexpr size_t kNameAt = 28;     // short string, capacity 14
constexpr size_t kAccountAt = 43;  // short string, capacity 10

// "合并角色", GBK.
const Bytes kMergeText = "\xBA\xCF\xB2\xA2\xBD\xC7\xC9\xAB";
// "★", GBK: one two-byte character.
const Bytes kStar = "\xA1\xEF";

size_t SlotAt(int slot) {
  return kHeaderSize + kRecordSize * static_cast<size_t>(slot);
}

// A header whose reserved bytes and change fields carry values the file keeps as read.
Bytes Header(int32_t slotCount) {
  Bytes h(kHeaderSize, '\0');
  for (size_t i = 36; i < 92; ++i) h[i] = static_cast<char>(0x40 + i % 19);
  PutShort(h, 0, 35, kCharFileSignature);
  PutLe32(h, 92, 5);
  PutDouble(h, 96, 40000.5);
  PutLe32(h, 104, slotCount);
  PutLe32(h, 112, 0x0A0B0C0D);
  PutDouble(h, 116, 40000.75);
  return h;
}

void SetNames(Bytes& r, std::string_view key, std::string_view name, std::string_view account) {
  std::fill(r.begin() + kKeyAt, r.begin() + kAccountAt + 11, '\0');
  PutShort(r, kKeyAt, 15, key);
  PutShort(r, kNameAt, 14, name);
  PutShort(r, kAccountAt, 10, account);
}

// A character index record whose uninterpreted bytes carry a pattern that depends on `seed`;
// the name fields are zero behind their text. KeyName is the character name unless given.
Bytes Char(std::string_view name, std::string_view account, int seed, bool deleted = false) {
  Bytes r(kRecordSize, '\0');
  for (size_t i = 0; i < kRecordSize; ++i)
    r[i] = static_cast<char>((i * 11 + static_cast<size_t>(seed) * 37 + 3) & 0xFF);
  r[0] = deleted ? 1 : 0;
  PutLe16(r, 2, static_cast<uint16_t>(0x100 + seed));
  PutDouble(r, 4, 39000.5);
  SetNames(r, name, name, account);
  return r;
}

Bytes WithKey(Bytes r, std::string_view key) {
  std::fill(r.begin() + kKeyAt, r.begin() + kNameAt, '\0');
  PutShort(r, kKeyAt, 15, key);
  return r;
}

// The slave record as the main file stores it: live, UpdateTime `t`, the given names.
Bytes Stored(Bytes r, std::string_view key, std::string_view name, std::string_view account,
             double t) {
  r[0] = 0;
  PutDouble(r, 4, t);
  SetNames(r, key, name, account);
  return r;
}

// KeyName of every whole slot of a file.
Lines Keys(const Bytes& file) {
  Lines out;
  for (size_t at = kHeaderSize; at + kRecordSize <= file.size(); at += kRecordSize)
    out.push_back(ShortAt(file, at + kKeyAt, 15));
  return out;
}

class CharIndexMergeTest : public test::FileTest {
 protected:
  CharIndexMergeTest() {
    Log().Reset();
    Log().AddObserver(&recorder_);
  }
  ~CharIndexMergeTest() override { Log().RemoveObserver(&recorder_); }

  // Clock reading number n from the start of the test (1 = the first).
  double Reading(int n) const { return start_ + n * env_.step; }

  // Main and slave files of characters with the given names, all of account "acc".
  void WriteFiles(const Lines& mainNames, const Lines& slaveNames) {
    std::vector<Bytes> mainRecords, slaveRecords;
    int seed = 0;
    for (const std::string& n : mainNames) mainRecords.push_back(Char(n, "acc", ++seed));
    for (const std::string& n : slaveNames) slaveRecords.push_back(Char(n, "acc", ++seed));
    WriteBytes(Path("Hum.db"), Join(Header(static_cast<int32_t>(mainRecords.size())), mainRecords));
    WriteBytes(Path("slave.db"),
               Join(Header(static_cast<int32_t>(slaveRecords.size())), slaveRecords));
  }

  TextRecorder recorder_;
  const double start_ = env_.clock;
};

// ---- the main file after a merge ----

TEST_F(CharIndexMergeTest, AppendsIntoFreeSlotThenAtEndWithAccountRenamesApplied) {
  const std::vector<Bytes> mainRecords = {Char("amy", "a1", 1), Char("old", "a2", 2, true),
                                          Char("Bob", "a3", 3)};
  const std::vector<Bytes> slaveRecords = {Char("bob", "acc", 11),
                                           Char("gone", "acc", 12, true),
                                           Char("", "acc", 13),
                                           WithKey(Char("kay", "acc", 14), ""),
                                           WithKey(Char("", "acc", 15), "lee"),
                                           Char("cat", "ACC", 16),
                                           Char("dan", "", 17)};
  const Bytes mainHeader = Header(3);
  WriteBytes(Path("Hum.db"), Join(mainHeader, mainRecords));
  WriteBytes(Path("slave.db"), Join(Header(7), slaveRecords));
  Process().duplicateNameSuffix = kStar;
  Process().accountNameMap.Add("acc", "acca");
  Process().accountNameMap.AddLine("=ghost");  // an empty account name is never looked up
  Process().charNameMap.Add("stale", "entry");

  ASSERT_TRUE(MergeCharacterIndex(Path("Hum.db"), Path("slave.db")));

  // Clock readings: one per progress line, two per Add (the record's UpdateTime, the header's
  // LastWriteTime). Slot 0: 1 2 3; slots 1 to 4: 4 to 7; slot 5: 8 9 10; slot 6: 11 12 13.
  Bytes expected =
      Join(Header(5), {mainRecords[0],
                       Stored(slaveRecords[0], "bob" + kStar, "bob" + kStar, "acca", Reading(2)),
                       mainRecords[2], Stored(slaveRecords[5], "cat", "cat", "acca", Reading(9)),
                       Stored(slaveRecords[6], "dan", "dan", "", Reading(12))});
  PutDouble(expected, 116, Reading(13));
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Hum.db")), expected));

  EXPECT_EQ(Process().charNameMap.Lines(), (Lines{"bob=bob" + kStar}));
  EXPECT_EQ(ReadBytes(Path(CharListName())), "bob=bob" + kStar + "\r\n");
  EXPECT_EQ(recorder_.texts,
            (Lines{kMergeText + "bob", kMergeText + "gone", kMergeText, kMergeText + "kay",
                   kMergeText, kMergeText + "cat", kMergeText + "dan"}));
}

// ---- the names given to clashing characters ----

struct NameCase {
  const char* label;
  Lines mainNames;
  Bytes suffix;
  Bytes slaveName;
  Bytes key;   // KeyName of the added record; empty: the record is left out
  Bytes name;  // its CharName
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const NameCase& c, std::ostream* os) {
  *os << c.label;
}

Lines AllCandidatesOf(const std::string& base, const std::string& suffix) {
  Lines out{base, base + suffix};
  for (char c = 'a'; c <= 'z'; ++c) out.push_back(base + c);
  return out;
}

std::vector<NameCase> NameCases() {
  const Bytes fourteenLow = "abcdefghijklmn";
  const Bytes fourteenHigh = "abcdefghijkl\xB0\xA1";  // ends in a two-byte character
  return {
      {"SuffixFollowsSixByteName", {"abcdef"}, kStar, "abcdef", "abcdef" + kStar, "abcdef" + kStar},
      {"SuffixTakenGivesLetterWithoutSuffix",
       {"abcdef", "abcdef" + kStar},
       kStar,
       "abcdef",
       "abcdefa",
       "abcdefa"},
      {"SuffixAndLetterATakenInOtherCase",
       {"abcdef", "abcdef" + kStar, "ABCDEFA"},
       kStar,
       "abcdef",
       "abcdefb",
       "abcdefb"},
      {"EmptySuffixStartsAtLetterA", {"Bob"}, "", "Bob", "Boba", "Boba"},
      {"OtherCaseClashes", {"BOB"}, "", "bob", "boba", "boba"},
      {"FourteenBytesLastBelow80KeepsThirteen",
       {fourteenLow},
       "",
       fourteenLow,
       "abcdefghijklma",
       "abcdefghijklma"},
      {"FourteenBytesLast80OrAboveKeepsTwelve",
       {fourteenHigh},
       "",
       fourteenHigh,
       "abcdefghijkla",
       "abcdefghijkla"},
      {"FourteenBytesLast80OrAboveWithSuffix",
       {fourteenHigh},
       kStar,
       fourteenHigh,
       "abcdefghijkl" + kStar,
       "abcdefghijkl" + kStar},
      {"ThirteenBytesAndSuffixMakeFifteen",
       {"abcdefghijklm"},
       kStar,
       "abcdefghijklm",
       "abcdefghijklm" + kStar,
       "abcdefghijklm\xA1"},
      {"AllCandidatesTakenIsLeftOut", AllCandidatesOf("x", kStar), kStar, "x", "", ""},
  };
}

class CharNameCases : public CharIndexMergeTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(CharNameCases, StoresTheFreeNameAndRecordsTheRename) {
  const NameCase& c = GetParam();
  WriteFiles(c.mainNames, {c.slaveName});
  Process().duplicateNameSuffix = c.suffix;

  ASSERT_TRUE(MergeCharacterIndex(Path("Hum.db"), Path("slave.db")));

  const Bytes after = ReadBytes(Path("Hum.db"));
  const int mainCount = static_cast<int>(c.mainNames.size());
  if (c.key.empty()) {
    EXPECT_EQ(after.size(), SlotAt(mainCount));
    EXPECT_EQ(Process().charNameMap.Count(), 0u);
    EXPECT_FALSE(fs::exists(Path(CharListName())));
    return;
  }
  ASSERT_EQ(after.size(), SlotAt(mainCount + 1));
  EXPECT_EQ(ShortAt(after, SlotAt(mainCount) + kKeyAt, 15), c.key);
  EXPECT_EQ(ShortAt(after, SlotAt(mainCount) + kNameAt, 14), c.name);
  // The rename entry holds the whole new name, also where CharName could not.
  const Bytes line = c.slaveName + "=" + c.key;
  EXPECT_EQ(Process().charNameMap.Lines(), (Lines{line}));
  EXPECT_EQ(ReadBytes(Path(CharListName())), line + "\r\n");
}

INSTANTIATE_TEST_SUITE_P(Clashes, CharNameCases, ::testing::ValuesIn(NameCases()),
                         [](const ::testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.label);
                         });

TEST_F(CharIndexMergeTest, RenamedCharacterTakesItsNameForLaterSlaveCharacters) {
  WriteFiles({"bob"}, {"bob", "BOB", "boba"});

  ASSERT_TRUE(MergeCharacterIndex(Path("Hum.db"), Path("slave.db")));

  EXPECT_EQ(Keys(ReadBytes(Path("Hum.db"))), (Lines{"bob", "boba", "BOBb", "bobaa"}));
  EXPECT_EQ(Process().charNameMap.Lines(), (Lines{"bob=boba", "BOB=BOBb", "boba=bobaa"}));
  EXPECT_EQ(ReadBytes(Path(CharListName())), "bob=boba\r\nBOB=BOBb\r\nboba=bobaa\r\n");
}

// ---- slots the file does not hold ----

TEST_F(CharIndexMergeTest, SlotCountBeyondTheFileEndsTheWalk) {
  WriteBytes(Path("Hum.db"), Header(0));
  Bytes slave = Join(Header(3), {Char("amy", "a", 1), Char("bob", "b", 2)});
  slave += Char("cut", "c", 3).substr(0, 50);
  WriteBytes(Path("slave.db"), slave);

  ASSERT_TRUE(MergeCharacterIndex(Path("Hum.db"), Path("slave.db")));

  const Bytes after = ReadBytes(Path("Hum.db"));
  EXPECT_EQ(after.size(), SlotAt(2));
  EXPECT_EQ(Keys(after), (Lines{"amy", "bob"}));
  EXPECT_EQ(GetLe32(after, 104), 2);
}

// ---- the rename list files ----

TEST_F(CharIndexMergeTest, SingleListIsLeftAloneWhenNothingWasRenamed) {
  const Bytes older = "old=list\r\n";
  WriteBytes(Path(CharListName()), older);
  Process().charNameMap.Add("earlier", "entry");
  WriteFiles({"amy"}, {"bob"});

  ASSERT_TRUE(MergeCharacterIndex(Path("Hum.db"), Path("slave.db")));

  EXPECT_EQ(Keys(ReadBytes(Path("Hum.db"))), (Lines{"amy", "bob"}));
  EXPECT_EQ(ReadBytes(Path(CharListName())), older);
  EXPECT_EQ(Process().charNameMap.Count(), 0u);
}

TEST_F(CharIndexMergeTest, ZoneVariantTakesAccountRenamesFromItsFileAndWritesItsList) {
  WriteBytes(Path(AccountListName(2)), "acc=zoneacc\r\n");
  WriteBytes(Path(CharListName(2)), "older=zone list\r\n");
  Process().accountNameMap.Add("acc", "single");
  Process().charNameMap.Add("keep", "me");
  WriteFiles({"bob", "amy"}, {"bob", "Amy", "cat"});

  ASSERT_TRUE(MergeCharacterIndexOfZone(Path("Hum.db"), Path("slave.db"), 2));

  const Bytes after = ReadBytes(Path("Hum.db"));
  EXPECT_EQ(Keys(after), (Lines{"bob", "amy", "boba", "Amya", "cat"}));
  for (int slot = 2; slot < 5; ++slot)
    EXPECT_EQ(ShortAt(after, SlotAt(slot) + kAccountAt, 10), "zoneacc") << "slot " << slot;
  // Sorted with letters folded: "Amy=..." before "bob=...".
  EXPECT_EQ(ReadBytes(Path(CharListName(2))), "Amy=Amya\r\nbob=boba\r\n");
  EXPECT_FALSE(fs::exists(Path(CharListName())));
  EXPECT_EQ(Process().charNameMap.Lines(), (Lines{"keep=me"}));
}

TEST_F(CharIndexMergeTest, ZoneVariantWithoutAccountListKeepsAccountsAndDeletesItsOldList) {
  WriteBytes(Path(CharListName(3)), "older=zone list\r\n");
  Process().accountNameMap.Add("acc", "single");
  WriteFiles({"amy"}, {"bob"});

  ASSERT_TRUE(MergeCharacterIndexOfZone(Path("Hum.db"), Path("slave.db"), 3));

  const Bytes after = ReadBytes(Path("Hum.db"));
  EXPECT_EQ(Keys(after), (Lines{"amy", "bob"}));
  EXPECT_EQ(ShortAt(after, SlotAt(1) + kAccountAt, 10), "acc");
  EXPECT_FALSE(fs::exists(Path(CharListName(3))));
}

// ---- files that cannot be opened ----

TEST_F(CharIndexMergeTest, FileThatCannotBeOpenedGivesFalseAndWritesNothing) {
  struct Case {
    const char* label;
    bool mainFails;
  };
  const Case cases[] = {{"main is a folder", true}, {"slave is a folder", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = Path(c.label);
    fs::create_directories(folder);
    const fs::path good = folder / (c.mainFails ? "slave.db" : "Hum.db");
    const fs::path bad = folder / (c.mainFails ? "Hum.db" : "slave.db");
    fs::create_directories(bad);
    const Bytes goodBytes = Join(Header(1), {Char("bob", "acc", 1)});
    WriteBytes(good, goodBytes);
    Process().charNameMap.Add("earlier", "entry");

    const bool result =
        c.mainFails ? MergeCharacterIndex(bad, good) : MergeCharacterIndex(good, bad);

    EXPECT_FALSE(result);
    EXPECT_TRUE(SameBytes(ReadBytes(good), goodBytes));
    EXPECT_FALSE(fs::exists(Path(CharListName())));
    EXPECT_EQ(Process().charNameMap.Count(), 0u);
  }
}

}  // namespace
}  // namespace zkq
