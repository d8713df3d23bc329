// The account merge: every account of a slave "Id.db" appended to the main one, a clashing
// name replaced by the first free name of the first 9 bytes plus a letter, every rename kept in
// AccountNameMap and written, sorted, to the account rename list file. Files are built and
// checked byte by byte at their documented offsets.
#include "merge/account_merge.h"

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
using test::CrLf;
using test::GetLe32;
using test::Join;
using test::kAccountFileSignature;
using test::PutDouble;
using test::PutLe32;
using test::PutShort;
using test::ReadBytes;
using test::SameBytes;
using test::TextRecorder;
using test::WriteBytes;
namespace fs = std::filesystem;
using Bytes = std::string;
using Lines = std::vector<std::string>;

constexpr size_t kHeaderSize = 124;
constexpr size_t kRecordSize = 349;
constexpr size_t kNameAt = 32;
constexpr size_t kNameCapacity = 10;

// "合并帐号", GBK.
const Bytes kMergeText = "\xBA\xCF\xB2\xA2\xD5\xCA\xBA\xC5";

size_t SlotAt(int slot) {
  return kHeaderSize + kRecordSize * static_cast<size_t>(slot);
}

// A header whose reserved bytes carry a pattern, so that a header not kept as read shows.
Bytes Header(int32_t slotCount) {
  Bytes h(kHeaderSize, '\0');
  for (size_t i = 35; i < 92; ++i) h[i] = static_cast<char>(0x40 + i % 23);
  PutShort(h, 0, 34, kAccountFileSignature);
  PutLe32(h, 92, 3);
  PutDouble(h, 96, 40000.5);
  PutLe32(h, 104, slotCount);
  PutLe32(h, 112, -1);
  PutDouble(h, 116, 40000.75);
  return h;
}

// An account record whose uninterpreted bytes carry a pattern that depends on `seed`; the name
// field is zero behind the name.
Bytes Account(std::string_view name, int seed, bool deleted = false) {
  Bytes r(kRecordSize, '\0');
  for (size_t i = 0; i < kRecordSize; ++i)
    r[i] = static_cast<char>((i * 13 + static_cast<size_t>(seed) * 29 + 5) & 0xFF);
  r[0] = deleted ? 1 : 0;
  PutDouble(r, 4, 39000.5);
  PutDouble(r, 12, 39001.5);
  PutLe32(r, 24, 0x01020304);
  std::fill(r.begin() + kNameAt, r.begin() + kNameAt + 1 + kNameCapacity, '\0');
  PutShort(r, kNameAt, kNameCapacity, name);
  return r;
}

// The slave record as the main file stores it: live, CreateTime and UpdateTime stamped with
// `t`, under `name`; every other byte as read.
Bytes Stored(Bytes r, std::string_view name, double t) {
  r[0] = 0;
  PutDouble(r, 4, t);
  PutDouble(r, 12, t);
  std::fill(r.begin() + kNameAt, r.begin() + kNameAt + 1 + kNameCapacity, '\0');
  PutShort(r, kNameAt, kNameCapacity, name);
  return r;
}

// The names of the whole slots of a file, "-" for a deleted slot.
Lines SlotNames(const Bytes& file) {
  Lines out;
  for (size_t at = kHeaderSize; at + kRecordSize <= file.size(); at += kRecordSize) {
    if (file[at] != 0) {
      out.push_back("-");
      continue;
    }
    const size_t len = std::min<size_t>(static_cast<uint8_t>(file[at + kNameAt]), kNameCapacity);
    out.push_back(file.substr(at + kNameAt + 1, len));
  }
  return out;
}

class AccountMergeTest : public test::FileTest {
 protected:
  AccountMergeTest() {
    Log().Reset();
    Log().AddObserver(&recorder_);
  }
  ~AccountMergeTest() override { Log().RemoveObserver(&recorder_); }

  // Clock reading number n from the start of the test (1 = the first).
  double Reading(int n) const { return start_ + n * env_.step; }

  TextRecorder recorder_;
  const double start_ = env_.clock;
};

// ---- the files after a merge ----

TEST_F(AccountMergeTest, AppendsAtFreeChainHeadThenAtEndAndStampsTimes) {
  // Main: deleted slots 1 and 3, which the scan chains 3 -> 1 -> -1.
  const std::vector<Bytes> mainRecords = {Account("abc", 1), Account("", 2, true),
                                          Account("Zed", 3), Account("old", 4, true)};
  const std::vector<Bytes> slaveRecords = {Account("abc", 11), Account("gone", 12, true),
                                           Account("", 13), Account("new1", 14),
                                           Account("abc", 15)};
  WriteBytes(Path("Id.db"), Join(Header(4), mainRecords));
  WriteBytes(Path("slave.db"), Join(Header(5), slaveRecords));
  Process().accountNameMap.Add("stale", "entry");

  ASSERT_TRUE(MergeAccounts(Path("Id.db"), Path("slave.db")));

  // Clock readings: one per progress line, then two per Add (the record's time, the header's
  // LastWriteTime). Slot 0: 1 2 3; slots 1 and 2: 4, 5; slot 3: 6 7 8; slot 4: 9 10 11.
  Bytes expected = Join(Header(5), {mainRecords[0], Stored(slaveRecords[3], "new1", Reading(7)),
                                    mainRecords[2], Stored(slaveRecords[0], "abca", Reading(2)),
                                    Stored(slaveRecords[4], "abcb", Reading(10))});
  PutLe32(expected, 92, 4);
  PutDouble(expected, 96, Reading(10));
  PutLe32(expected, 112, -1);
  PutDouble(expected, 116, Reading(11));
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Id.db")), expected));

  EXPECT_EQ(Process().accountNameMap.Lines(), (Lines{"abc=abca", "abc=abcb"}));
  EXPECT_EQ(Process().accountNameMap.Value("ABC"), "abca");
  EXPECT_EQ(ReadBytes(Path(AccountListName())), "abc=abca\r\nabc=abcb\r\n");

  // Every slot reports its old name, also the deleted and the nameless one.
  EXPECT_EQ(recorder_.texts, (Lines{kMergeText + "abc", kMergeText + "gone", kMergeText,
                                    kMergeText + "new1", kMergeText + "abc"}));
  EXPECT_EQ(Log().Percent(), 100);
}

TEST_F(AccountMergeTest, FreeHeadInHeaderFollowsTheChainWhileSlotsRemain) {
  // Three deleted main slots; two adds leave one of them at the head.
  WriteBytes(Path("Id.db"), Join(Header(3), {Account("x", 1, true), Account("y", 2, true),
                                             Account("z", 3, true)}));
  WriteBytes(Path("slave.db"), Join(Header(2), {Account("amy", 4), Account("bob", 5)}));

  ASSERT_TRUE(MergeAccounts(Path("Id.db"), Path("slave.db")));

  const Bytes after = ReadBytes(Path("Id.db"));
  EXPECT_EQ(SlotNames(after), (Lines{"-", "bob", "amy"}));
  EXPECT_EQ(GetLe32(after, 112), 0);  // the head left: slot 0
  EXPECT_EQ(GetLe32(after, SlotAt(0) + 24), -1);
  EXPECT_EQ(GetLe32(after, 104), 3);
}

// ---- the names given to clashing accounts ----

struct NameCase {
  const char* label;
  Lines mainNames;
  Lines slaveNames;
  Lines appended;  // names in the slots added to the main file, in slot order
  Lines renames;   // AccountNameMap, in the order recorded
  Bytes listFile;  // expected list file; empty: no file
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const NameCase& c, std::ostream* os) {
  *os << c.label;
}

Lines AllLettersOf(const std::string& base) {
  Lines out{base};
  for (char c = 'a'; c <= 'z'; ++c) out.push_back(base + c);
  return out;
}

std::vector<NameCase> NameCases() {
  return {
      {"NameTakenGetsLetterA", {"abc"}, {"abc"}, {"abca"}, {"abc=abca"}, "abc=abca\r\n"},
      {"TenByteNameLosesItsTenthByte",
       {"abcdefghij"},
       {"abcdefghij"},
       {"abcdefghia"},
       {"abcdefghij=abcdefghia"},
       "abcdefghij=abcdefghia\r\n"},
      {"TakenCandidatesAreSkipped",
       {"abc", "abca", "abcb"},
       {"abc"},
       {"abcc"},
       {"abc=abcc"},
       "abc=abcc\r\n"},
      {"OtherCaseClashes", {"abc"}, {"ABC"}, {"ABCa"}, {"ABC=ABCa"}, "ABC=ABCa\r\n"},
      {"CandidateInOtherCaseIsTaken",
       {"abc", "ABCA"},
       {"abc"},
       {"abcb"},
       {"abc=abcb"},
       "abc=abcb\r\n"},
      {"SecondSlaveSlotOfOneNameIsRenamed",
       {"main"},
       {"dup", "dup"},
       {"dup", "dupa"},
       {"dup=dupa"},
       "dup=dupa\r\n"},
      {"AllTwentySixTakenIsLeftOut", AllLettersOf("abc"), {"abc", "other"}, {"other"}, {}, ""},
      {"NoClashWritesNoList", {"amy"}, {"bob"}, {"bob"}, {}, ""},
  };
}

class AccountNameCases : public AccountMergeTest, public ::testing::WithParamInterface<NameCase> {};

TEST_P(AccountNameCases, StoresTheFreeNameAndRecordsTheRename) {
  const NameCase& c = GetParam();
  std::vector<Bytes> mainRecords, slaveRecords;
  int seed = 0;
  for (const std::string& n : c.mainNames) mainRecords.push_back(Account(n, ++seed));
  for (const std::string& n : c.slaveNames) slaveRecords.push_back(Account(n, ++seed));
  const auto mainCount = static_cast<int32_t>(mainRecords.size());
  WriteBytes(Path("Id.db"), Join(Header(mainCount), mainRecords));
  WriteBytes(Path("slave.db"),
             Join(Header(static_cast<int32_t>(slaveRecords.size())), slaveRecords));

  ASSERT_TRUE(MergeAccounts(Path("Id.db"), Path("slave.db")));

  Lines expectedNames = c.mainNames;
  expectedNames.insert(expectedNames.end(), c.appended.begin(), c.appended.end());
  const Bytes after = ReadBytes(Path("Id.db"));
  EXPECT_EQ(SlotNames(after), expectedNames);
  EXPECT_EQ(GetLe32(after, 104), static_cast<int32_t>(expectedNames.size()));
  EXPECT_EQ(Process().accountNameMap.Lines(), c.renames);
  if (c.listFile.empty()) {
    EXPECT_FALSE(fs::exists(Path(AccountListName())));
  } else {
    EXPECT_EQ(ReadBytes(Path(AccountListName())), c.listFile);
  }
}

INSTANTIATE_TEST_SUITE_P(Clashes, AccountNameCases, ::testing::ValuesIn(NameCases()),
                         [](const ::testing::TestParamInfo<NameCase>& info) {
                           return std::string(info.param.label);
                         });

// ---- slots that are no accounts, and slots the file does not hold ----

TEST_F(AccountMergeTest, DeletedAndNamelessSlaveSlotsAreNotMerged) {
  WriteBytes(Path("Id.db"), Join(Header(1), {Account("amy", 1)}));
  // "amy" in a deleted slot would clash and be renamed if it were merged.
  WriteBytes(Path("slave.db"), Join(Header(4), {Account("amy", 2, true), Account("", 3),
                                                Account("gone", 4, true), Account("bob", 5)}));

  ASSERT_TRUE(MergeAccounts(Path("Id.db"), Path("slave.db")));

  EXPECT_EQ(SlotNames(ReadBytes(Path("Id.db"))), (Lines{"amy", "bob"}));
  EXPECT_EQ(Process().accountNameMap.Count(), 0u);
  EXPECT_FALSE(fs::exists(Path(AccountListName())));
  EXPECT_EQ(recorder_.texts,
            (Lines{kMergeText + "amy", kMergeText, kMergeText + "gone", kMergeText + "bob"}));
}

TEST_F(AccountMergeTest, SlotCountBeyondTheFileEndsTheWalk) {
  struct Case {
    const char* label;
    int32_t slotCount;
    size_t tailBytes;  // bytes of a third record present in the file
  };
  const Case cases[] = {{"cut record", 3, 100}, {"no bytes at all", 1000, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = Path(c.label);
    fs::create_directories(folder);
    WriteBytes(folder / "Id.db", Header(0));
    Bytes slave = Join(Header(c.slotCount), {Account("amy", 1), Account("bob", 2)});
    slave += Account("cut", 3).substr(0, c.tailBytes);
    WriteBytes(folder / "slave.db", slave);

    ASSERT_TRUE(MergeAccounts(folder / "Id.db", folder / "slave.db"));

    const Bytes after = ReadBytes(folder / "Id.db");
    EXPECT_EQ(after.size(), SlotAt(2));
    EXPECT_EQ(SlotNames(after), (Lines{"amy", "bob"}));
    EXPECT_EQ(GetLe32(after, 104), 2);
  }
}

TEST_F(AccountMergeTest, EmptySlaveFileSucceedsWithoutList) {
  const Bytes main = Join(Header(1), {Account("amy", 1)});
  WriteBytes(Path("Id.db"), main);
  WriteBytes(Path("slave.db"), Header(0));

  EXPECT_TRUE(MergeAccounts(Path("Id.db"), Path("slave.db")));

  EXPECT_TRUE(SameBytes(ReadBytes(Path("Id.db")), main));
  EXPECT_FALSE(fs::exists(Path(AccountListName())));
  EXPECT_TRUE(recorder_.texts.empty());
}

// ---- the rename list file ----

TEST_F(AccountMergeTest, ListFileIsSortedByFoldedBytesGbkTrailingBytesUnfolded) {
  // Recorded order: C, b, \x81a, \x81[. Sorted with letters folded: b before C; the trailing
  // byte 'a' (0x61) of a GBK character stays unfolded and so sorts after '[' (0x5B), where a
  // folded 'A' (0x41) would sort before it.
  const Lines names = {"C", "b", "\x81\x61", "\x81["};
  std::vector<Bytes> mainRecords, slaveRecords;
  for (size_t i = 0; i < names.size(); ++i) {
    mainRecords.push_back(Account(names[i], static_cast<int>(i)));
    slaveRecords.push_back(Account(names[i], static_cast<int>(i) + 10));
  }
  WriteBytes(Path("Id.db"), Join(Header(4), mainRecords));
  WriteBytes(Path("slave.db"), Join(Header(4), slaveRecords));

  ASSERT_TRUE(MergeAccounts(Path("Id.db"), Path("slave.db")));

  EXPECT_EQ(Process().accountNameMap.Lines(),
            (Lines{"C=Ca", "b=ba", "\x81\x61=\x81\x61\x61", "\x81[=\x81[a"}));
  EXPECT_EQ(ReadBytes(Path(AccountListName())),
            CrLf({"b=ba", "C=Ca", "\x81[=\x81[a", "\x81\x61=\x81\x61\x61"}));
}

TEST_F(AccountMergeTest, SingleListReplacesOlderFileOnlyWhenSomethingWasRenamed) {
  const Bytes older = "old=list\r\nwith=more lines than the new one\r\n";
  WriteBytes(Path(AccountListName()), older);
  WriteBytes(Path("Id.db"), Join(Header(1), {Account("amy", 1)}));
  WriteBytes(Path("s1.db"), Join(Header(1), {Account("bob", 2)}));

  ASSERT_TRUE(MergeAccounts(Path("Id.db"), Path("s1.db")));
  EXPECT_EQ(ReadBytes(Path(AccountListName())), older);

  WriteBytes(Path("s2.db"), Join(Header(1), {Account("amy", 3)}));
  ASSERT_TRUE(MergeAccounts(Path("Id.db"), Path("s2.db")));
  EXPECT_EQ(ReadBytes(Path(AccountListName())), "amy=amya\r\n");
}

TEST_F(AccountMergeTest, ZoneVariantWritesItsNumberedListAndLeavesTheMapAlone) {
  Process().accountNameMap.Add("keep", "me");
  WriteBytes(Path(AccountListName(2)), "older=zone list\r\n");
  WriteBytes(Path("Id.db"), Join(Header(1), {Account("abc", 1)}));
  WriteBytes(Path("slave.db"), Join(Header(2), {Account("abc", 2), Account("new", 3)}));

  ASSERT_TRUE(MergeAccountsOfZone(Path("Id.db"), Path("slave.db"), 2));

  EXPECT_EQ(SlotNames(ReadBytes(Path("Id.db"))), (Lines{"abc", "abca", "new"}));
  EXPECT_EQ(ReadBytes(Path(AccountListName(2))), "abc=abca\r\n");
  EXPECT_FALSE(fs::exists(Path(AccountListName())));
  EXPECT_EQ(Process().accountNameMap.Lines(), (Lines{"keep=me"}));
}

TEST_F(AccountMergeTest, ZoneVariantDeletesItsOldListWhenNothingWasRenamed) {
  WriteBytes(Path(AccountListName(2)), "older=zone list\r\n");
  WriteBytes(Path(AccountListName(3)), "other=zone\r\n");
  WriteBytes(Path("Id.db"), Join(Header(1), {Account("abc", 1)}));
  WriteBytes(Path("slave.db"), Join(Header(1), {Account("new", 2)}));

  ASSERT_TRUE(MergeAccountsOfZone(Path("Id.db"), Path("slave.db"), 2));

  EXPECT_FALSE(fs::exists(Path(AccountListName(2))));
  EXPECT_EQ(ReadBytes(Path(AccountListName(3))), "other=zone\r\n");
}

// ---- files that cannot be opened ----

TEST_F(AccountMergeTest, FileThatCannotBeOpenedGivesFalseAndWritesNothing) {
  struct Case {
    const char* label;
    bool mainFails;
    bool asFolder;  // a folder in place of the file; otherwise the file's folder is missing
  };
  const Case cases[] = {{"main is a folder", true, true},
                        {"slave is a folder", false, true},
                        {"main folder missing", true, false},
                        {"slave folder missing", false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = Path(c.label);
    fs::create_directories(folder);
    const fs::path good = folder / (c.mainFails ? "slave.db" : "Id.db");
    const fs::path bad = c.asFolder ? folder / (c.mainFails ? "Id.db" : "slave.db")
                                    : folder / "missing" / (c.mainFails ? "Id.db" : "slave.db");
    if (c.asFolder) fs::create_directories(bad);
    const Bytes goodBytes = Join(Header(1), {Account("abc", 1)});
    WriteBytes(good, goodBytes);
    Process().accountNameMap.Add("earlier", "entry");

    const bool result = c.mainFails ? MergeAccounts(bad, good) : MergeAccounts(good, bad);

    EXPECT_FALSE(result);
    EXPECT_TRUE(SameBytes(ReadBytes(good), goodBytes));
    EXPECT_FALSE(fs::exists(Path(AccountListName())));
    EXPECT_EQ(Process().accountNameMap.Count(), 0u);
    if (!c.asFolder) {
      EXPECT_FALSE(fs::exists(bad));
    }
  }
}

}  // namespace
}  // namespace zkq
