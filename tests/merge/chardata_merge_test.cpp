// The character data merge: the slave "Kem.db" records appended to the main one with every
// name field renamed through the account and character renames, then every item of the main
// file renumbered from 1 in name order, and, for a single merge, the closing log line and the
// saved log. Records are built byte by byte at their documented offsets.
#include "merge/chardata_merge.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
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
using test::TextRecorder;
using test::WriteBytes;
namespace fs = std::filesystem;
using Bytes = std::string;
using Lines = std::vector<std::string>;

constexpr size_t kHeaderSize = 124;
constexpr size_t kRecordSize = 24800;
constexpr size_t kItemSize = 85;

// A short-string field: offset and capacity.
struct Field {
  size_t at;
  size_t capacity;
};
constexpr Field kKey{12, 15};
constexpr Field kName{28, 14};
constexpr Field kLinked1{116, 19};
constexpr Field kLinked2{168, 20};
constexpr Field kAccount{255, 10};
constexpr Field kHero{19181, 14};
constexpr Field kOwner{19196, 14};
constexpr Field kNameFields[] = {kKey, kName, kLinked1, kLinked2, kAccount, kHero, kOwner};
constexpr size_t kExtraFlag = 254;
constexpr size_t kExtra1 = 20117;  // 14 bytes, no length byte
constexpr size_t kExtra2 = 20137;
constexpr size_t kItems66Count = 500;

// An item array: offset and number of slots.
struct Array {
  size_t at;
  int slots;
};
constexpr Array kItems9{582, 9};
constexpr Array kItems66{1347, 66};
constexpr Array kItems120{7277, 120};
constexpr Array kItems20{17477, 20};
constexpr Array kItems5{20198, 5};
constexpr Array kItems30{20623, 30};
constexpr Array kArrays[] = {kItems9, kItems66, kItems120, kItems20, kItems5, kItems30};

// Texts, GBK.
const Bytes kMergeText = "\xBA\xCF\xB2\xA2\xBD\xC7\xC9\xAB";     // "合并角色"
const Bytes kMergeTail = "\xB5\xC4\xCA\xFD\xBE\xDD";             // "的数据"
const Bytes kRenumberText = "\xD6\xD8\xC5\xC5\xBD\xC7\xC9\xAB";  // "重排角色"
const Bytes kRenumberTail = "\xB5\xC4\xCE\xEF\xC6\xB7ID";        // "的物品ID"
// "数据库文件合并完毕!"
const Bytes kDoneText = "\xCA\xFD\xBE\xDD\xBF\xE2\xCE\xC4\xBC\xFE\xBA\xCF\xB2\xA2\xCD\xEA\xB1\xCF!";

Bytes Merging(const Bytes& name) {
  return kMergeText + name + kMergeTail;
}
Bytes Renumbering(const Bytes& name) {
  return kRenumberText + name + kRenumberTail;
}

Bytes Header(int32_t slotCount) {
  Bytes h(kHeaderSize, '\0');
  for (size_t i = 36; i < 92; ++i) h[i] = static_cast<char>(0x40 + i % 17);
  PutShort(h, 0, 35, kCharFileSignature);
  PutLe32(h, 92, -1);
  PutDouble(h, 96, 40000.5);
  PutLe32(h, 104, slotCount);
  PutLe32(h, 112, 0x0A0B0C0D);  // not interpreted in this file
  PutDouble(h, 116, 40000.75);
  return h;
}

// Writes a short string into a field that is zero behind the text.
void Put(Bytes& r, Field f, std::string_view text) {
  std::fill(r.begin() + static_cast<std::ptrdiff_t>(f.at),
            r.begin() + static_cast<std::ptrdiff_t>(f.at + 1 + f.capacity), '\0');
  PutShort(r, f.at, f.capacity, text);
}

// Writes the raw 14 bytes of an extra name field.
void PutExtra(Bytes& r, size_t at, std::string_view fourteen) {
  ASSERT_EQ(fourteen.size(), 14u);
  r.replace(at, 14, fourteen);
}

size_t ItemAt(Array a, int slot) {
  return a.at + kItemSize * static_cast<size_t>(slot);
}

// An item whose other bytes carry a pattern.
void PutItem(Bytes& r, Array a, int slot, int32_t id, uint16_t index, int32_t ref) {
  const size_t at = ItemAt(a, slot);
  for (size_t k = 0; k < kItemSize; ++k)
    r[at + k] = static_cast<char>((k * 3 + static_cast<size_t>(slot) + 1) & 0xFF);
  PutLe32(r, at, id);
  PutLe16(r, at + 4, index);
  PutLe32(r, at + 45, ref);
}

void Renumbered(Bytes& r, Array a, int slot, int32_t id, int32_t ref) {
  PutLe32(r, ItemAt(a, slot), id);
  PutLe32(r, ItemAt(a, slot) + 45, ref);
}

// A live record of the character `name` whose uninterpreted bytes carry a pattern that depends
// on `seed`: empty name fields except KeyName, CharName and AccountName, ExtraLinkFlag 0,
// Items66Count 0 and every item slot empty.
Bytes Kem(std::string_view name, std::string_view account, int seed) {
  Bytes r(kRecordSize, '\0');
  for (size_t i = 0; i < kRecordSize; ++i)
    r[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed) * 53 + 1) & 0xFF);
  r[0] = 0;
  PutDouble(r, 4, 39000.5);
  for (const Field& f : kNameFields) Put(r, f, "");
  r[kExtraFlag] = 0;
  r[kItems66Count] = 0;
  for (const Array& a : kArrays)
    std::fill(r.begin() + static_cast<std::ptrdiff_t>(a.at),
              r.begin() + static_cast<std::ptrdiff_t>(ItemAt(a, a.slots)), '\0');
  Put(r, kKey, name);
  Put(r, kName, name);
  Put(r, kAccount, account);
  return r;
}

Bytes Stamped(Bytes r, double t) {
  PutDouble(r, 4, t);
  return r;
}

// The expected main header after the merge: the last write into `slot` at `t`, LastWriteTime
// `written`, and the given SlotCount; everything else as read.
Bytes MainHeader(int32_t slotCount, int32_t slot, double t, double written) {
  Bytes h = Header(slotCount);
  PutLe32(h, 92, slot);
  PutDouble(h, 96, t);
  PutDouble(h, 116, written);
  return h;
}

class CharDataMergeTest : public test::FileTest {
 protected:
  CharDataMergeTest() {
    Log().Reset();
    Log().AddObserver(&recorder_);
  }
  ~CharDataMergeTest() override { Log().RemoveObserver(&recorder_); }

  // Clock reading number n from the start of the test (1 = the first).
  double Reading(int n) const { return start_ + n * env_.step; }

  TextRecorder recorder_;
  const double start_ = env_.clock;
};

// ---- the append pass ----

TEST_F(CharDataMergeTest, AppendedRecordsFollowEveryRenameAndMainRecordsKeepTheirNames) {
  const Bytes long21 = "LinkedNameOfTwentyOne";  // 21 bytes
  const Bytes long15 = "HeroNameFifteen";        // 15 bytes
  const Bytes extra15 = "ExtraNameLonger";       // 15 bytes

  // The main zone's own record carries names that are keys of the renames: they stay.
  Bytes amy = Kem("Amy", "acc", 1);
  Put(amy, kOwner, "own");
  Put(amy, kHero, "hero");
  Put(amy, kLinked1, "link");
  Put(amy, kLinked2, "link");
  amy[kExtraFlag] = 1;
  PutExtra(amy, kExtra1, Bytes("ex1") + Bytes(11, '\0'));
  PutItem(amy, kItems9, 0, 500, 1, 500);

  // Slave records, in name order Bob, Cat, old.
  Bytes old = Kem("old", "ACC", 11);
  Put(old, kOwner, "own");
  Put(old, kHero, "hero");
  Put(old, kLinked1, "link");
  Put(old, kLinked2, "LINK");
  old[kExtraFlag] = 7;
  PutExtra(old, kExtra1, Bytes("ex1\0", 4) + "tail bytes");  // the name ends at the zero
  PutExtra(old, kExtra2, "abcdefghijklmn");                  // all 14 bytes are the name
  PutItem(old, kItems30, 29, static_cast<int32_t>(0x80000000u), 0,
          static_cast<int32_t>(0x80000000u));

  Bytes bob = Kem("Bob", "x", 12);  // not renamed; ExtraLinkFlag 0 keeps its extra fields
  PutExtra(bob, kExtra1, Bytes("ex1") + Bytes(11, '\0'));
  PutItem(bob, kItems120, 3, 600, 0, 7);

  Bytes cat = Kem("Cat", "", 13);  // empty names are never looked up
  cat[kExtraFlag] = 1;
  PutExtra(cat, kExtra1, Bytes(14, '\0'));
  PutExtra(cat, kExtra2, Bytes("ex1") + Bytes(11, '\0'));

  WriteBytes(Path("Kem.db"), Join(Header(1), {amy}));
  WriteBytes(Path("slave.db"), Join(Header(3), {old, bob, cat}));

  TRenameList& chars = Process().charNameMap;
  chars.Add("old", "newname");
  chars.Add("own", "ownNew");
  chars.Add("hero", long15);
  chars.Add("link", long21);
  chars.Add("ex1", "E");
  chars.Add("abcdefghijklmn", extra15);
  chars.AddLine("=ghost");
  Process().accountNameMap.Add("acc", "acca");
  Process().accountNameMap.AddLine("=ghost");

  ASSERT_TRUE(MergeCharacterData(Path("Kem.db"), Path("slave.db")));

  // Clock readings: one per log line; the rewrite reads the time of every record before its
  // renumbering lines and the header's LastWriteTime after them. Append pass Bob 1, Cat 2,
  // old 3; the records' time 4; renumbering Amy 5, Bob 6, Cat 7, newname 8; LastWriteTime 9.
  Bytes newname = old;
  Put(newname, kKey, "newname");
  Put(newname, kName, "newname");
  Put(newname, kAccount, "acca");
  Put(newname, kOwner, "ownNew");
  Put(newname, kHero, long15.substr(0, 14));
  Put(newname, kLinked1, long21.substr(0, 19));
  Put(newname, kLinked2, long21.substr(0, 20));
  PutExtra(newname, kExtra1, Bytes("E") + Bytes(13, '\0'));
  PutExtra(newname, kExtra2, extra15.substr(0, 14));
  Bytes cat2 = cat;
  PutExtra(cat2, kExtra2, Bytes("E") + Bytes(13, '\0'));
  Renumbered(amy, kItems9, 0, 1, 1);
  Renumbered(bob, kItems120, 3, 2, 7);
  Renumbered(newname, kItems30, 29, 3, 3);

  const Bytes expected = Join(MainHeader(4, 3, Reading(4), Reading(9)),
                              {Stamped(amy, Reading(4)), Stamped(bob, Reading(4)),
                               Stamped(cat2, Reading(4)), Stamped(newname, Reading(4))});
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Kem.db")), expected));
  EXPECT_EQ(Process().itemCounter, 3u);
  EXPECT_EQ(recorder_.texts,
            (Lines{Merging("Bob"), Merging("Cat"), Merging("old"), Renumbering("Amy"),
                   Renumbering("Bob"), Renumbering("Cat"), Renumbering("newname"), kDoneText}));
}

TEST_F(CharDataMergeTest, SlaveCharacterWhoseNameIsTakenInMainIsLeftOut) {
  const Bytes main = Join(Header(1), {Kem("BOB", "a", 1)});
  WriteBytes(Path("Kem.db"), main);
  // "bob" kept its name (no free name was found for it); "zed" was renamed to a name that the
  // main zone's character data holds.
  WriteBytes(Path("slave.db"), Join(Header(2), {Kem("bob", "b", 2), Kem("zed", "c", 3)}));
  Process().charNameMap.Add("zed", "Bob");

  ASSERT_TRUE(MergeCharacterData(Path("Kem.db"), Path("slave.db")));

  // Readings: append pass 1, 2; the records' time 3; renumbering BOB 4; LastWriteTime 5.
  const Bytes expected =
      Join(MainHeader(1, 0, Reading(3), Reading(5)), {Stamped(Kem("BOB", "a", 1), Reading(3))});
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Kem.db")), expected));
  EXPECT_EQ(recorder_.texts,
            (Lines{Merging("bob"), Merging("zed"), Renumbering("BOB"), kDoneText}));
}

// ---- the renumbering pass and the end of a single merge ----

TEST_F(CharDataMergeTest, RenumbersInNameOrderAndSavesTheLog) {
  // Slot order Bob, Amy; name order Amy, Bob.
  Bytes bob = Kem("Bob", "b", 1);
  PutItem(bob, kItems120, 0, 70, 0, 70);
  PutItem(bob, kItems30, 4, 71, 0, 71);
  Bytes amy = Kem("Amy", "a", 2);
  PutItem(amy, kItems9, 2, 0, 9, 0);
  PutItem(amy, kItems20, 0, 90, 0, 91);
  PutItem(amy, kItems5, 1, 0, 3, 5);
  WriteBytes(Path("Kem.db"), Join(Header(2), {bob, amy}));
  WriteBytes(Path("slave.db"), Header(0));
  Process().itemCounter = 1000;

  ASSERT_TRUE(MergeCharacterData(Path("Kem.db"), Path("slave.db")));

  // Readings: the records' time 1, renumbering Amy 2, Bob 3, LastWriteTime 4, the closing
  // line 5.
  Renumbered(amy, kItems9, 2, 1, 1);
  Renumbered(amy, kItems20, 0, 2, 91);
  Renumbered(amy, kItems5, 1, 3, 5);
  Renumbered(bob, kItems120, 0, 4, 4);
  Renumbered(bob, kItems30, 4, 5, 5);
  const Bytes expected = Join(MainHeader(2, 0, Reading(1), Reading(4)),
                              {Stamped(bob, Reading(1)), Stamped(amy, Reading(1))});
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Kem.db")), expected));
  EXPECT_EQ(Process().itemCounter, 5u);

  // The log was saved to Log.txt in the current folder and emptied.
  const Lines texts = {Renumbering("Amy"), Renumbering("Bob"), kDoneText};
  EXPECT_EQ(recorder_.texts, texts);
  EXPECT_TRUE(Log().Lines().empty());
  const Bytes logFile = ReadBytes(Path("Log.txt"));
  size_t at = 0;
  for (const Bytes& text : texts) {
    const size_t end = logFile.find("\r\n", at);
    ASSERT_NE(end, Bytes::npos) << "missing line " << text;
    const Bytes line = logFile.substr(at, end - at);
    const Bytes tail = " " + text;
    EXPECT_TRUE(line.size() > tail.size() && line.substr(line.size() - tail.size()) == tail)
        << line;
    at = end + 2;
  }
  EXPECT_EQ(at, logFile.size());
  // Percent 100 and then TotalParts 100, which starts the bar again.
  EXPECT_EQ(Log().TotalParts(), 100u);
  EXPECT_EQ(Log().Percent(), 0);
}

TEST_F(CharDataMergeTest, RecordNotHeldWholeIsNeitherAppendedNorRewritten) {
  // Slave: "bob" is cut after 1000 bytes; its record header is whole, so it is listed.
  Bytes slave = Join(Header(2), {Kem("amy", "a", 1)});
  slave += Kem("bob", "b", 2).substr(0, 1000);
  const Bytes cat = Kem("cat", "c", 3);
  WriteBytes(Path("Kem.db"), Join(Header(1), {cat}));
  WriteBytes(Path("slave.db"), slave);

  ASSERT_TRUE(MergeCharacterData(Path("Kem.db"), Path("slave.db")));

  // Readings: append amy 1, bob 2; the records' time 3; renumbering amy 4, cat 5;
  // LastWriteTime 6; the closing line 7.
  const Bytes expected = Join(MainHeader(2, 0, Reading(3), Reading(6)),
                              {Stamped(cat, Reading(3)), Stamped(Kem("amy", "a", 1), Reading(3))});
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Kem.db")), expected));

  // Main: "ann" (first in name order) is cut inside its items; it keeps its bytes and its item
  // takes no number.
  Bytes ann = Kem("ann", "a", 4);
  PutItem(ann, kItems9, 0, 40, 1, 40);
  Bytes dan = Kem("dan", "d", 5);
  PutItem(dan, kItems9, 0, 50, 1, 50);
  Bytes main2 = Join(Header(2), {dan});
  main2 += ann.substr(0, 5000);
  fs::create_directories(Path("cut"));
  WriteBytes(Path("cut/Kem.db"), main2);
  WriteBytes(Path("cut/slave.db"), Header(0));

  ASSERT_TRUE(MergeCharacterData(Path("cut/Kem.db"), Path("cut/slave.db")));

  // Readings go on: the records' time 8; ann 9, dan 10; LastWriteTime 11.
  Renumbered(dan, kItems9, 0, 1, 1);
  Bytes expected2 = Join(MainHeader(2, 0, Reading(8), Reading(11)), {Stamped(dan, Reading(8))});
  expected2 += ann.substr(0, 5000);
  EXPECT_TRUE(SameBytes(ReadBytes(Path("cut/Kem.db")), expected2));
  EXPECT_EQ(Process().itemCounter, 1u);
}

// ---- which slots are numbered, and in which order ----

struct RenumberCase {
  const char* label;
  std::function<void(Bytes&)> build;     // items of the record
  std::function<void(Bytes&)> expected;  // the record's items afterwards
  uint32_t counter;                      // numbers given out
};

// Names the case in failure messages instead of dumping its bytes.
void PrintTo(const RenumberCase& c, std::ostream* os) {
  *os << c.label;
}

std::vector<RenumberCase> AllRenumberCases() {
  return {
      {"ArraysInTheirOrderSlotsAscending",
       [](Bytes& r) {
         r[kItems66Count] = 1;
         PutItem(r, kItems30, 0, 30, 0, 0);
         PutItem(r, kItems120, 119, 1200, 0, 0);
         PutItem(r, kItems5, 4, 0, 5, 0);
         PutItem(r, kItems20, 19, 200, 0, 0);
         PutItem(r, kItems120, 5, 1205, 0, 0);
         PutItem(r, kItems9, 8, 0, 9, 1);
         PutItem(r, kItems66, 0, 66, 0, 0);
       },
       [](Bytes& r) {
         Renumbered(r, kItems66, 0, 1, 0);
         Renumbered(r, kItems9, 8, 2, 1);
         Renumbered(r, kItems120, 5, 3, 0);
         Renumbered(r, kItems120, 119, 4, 0);
         Renumbered(r, kItems20, 19, 5, 0);
         Renumbered(r, kItems5, 4, 6, 6);  // InstanceRef 0 equalled InstanceId 0
         Renumbered(r, kItems30, 0, 7, 0);
       },
       7},
      {"Items66CountZeroNumbersNoneOfItems66",
       [](Bytes& r) {
         r[kItems66Count] = 0;
         PutItem(r, kItems66, 0, 66, 1, 66);
       },
       [](Bytes&) {}, 0},
      {"Items66CountSeventyVisitsTheSixtySixSlotsOnly",
       [](Bytes& r) {
         r[kItems66Count] = 70;
         for (int s = 0; s < 66; ++s) PutItem(r, kItems66, s, 1000 + s, 0, 0);
         // Behind the array: bytes that would read as a slot in use.
         PutLe32(r, ItemAt(kItems66, 66), 12345);
       },
       [](Bytes& r) {
         for (int s = 0; s < 66; ++s) Renumbered(r, kItems66, s, s + 1, 0);
       },
       66},
      {"Items66CountLimitsTheSlots",
       [](Bytes& r) {
         r[kItems66Count] = 2;
         PutItem(r, kItems66, 0, 10, 0, 0);
         PutItem(r, kItems66, 1, 11, 0, 0);
         PutItem(r, kItems66, 2, 12, 0, 0);
       },
       [](Bytes& r) {
         Renumbered(r, kItems66, 0, 1, 0);
         Renumbered(r, kItems66, 1, 2, 0);
       },
       2},
      {"Items9AndItems5TestItemIndex",
       [](Bytes& r) {
         PutItem(r, kItems9, 0, 0, 5, 7);    // numbered: ItemIndex 5
         PutItem(r, kItems9, 1, 77, 0, 77);  // not: ItemIndex 0
         PutItem(r, kItems5, 0, 88, 0, 88);  // not
         PutItem(r, kItems5, 1, 0, 3, 0);    // numbered; InstanceRef equals InstanceId 0
       },
       [](Bytes& r) {
         Renumbered(r, kItems9, 0, 1, 7);
         Renumbered(r, kItems5, 1, 2, 2);
       },
       2},
      {"OtherArraysTestInstanceId",
       [](Bytes& r) {
         r[kItems66Count] = 1;
         PutItem(r, kItems66, 0, 0, 5, 0);                                   // not: InstanceId 0
         PutItem(r, kItems120, 0, 0, 5, 0);                                  // not
         PutItem(r, kItems120, 1, static_cast<int32_t>(0x80000000u), 0, 5);  // top bit set
         PutItem(r, kItems20, 0, -1, 0, -1);
         PutItem(r, kItems30, 0, 0, 6, 0);  // not
         PutItem(r, kItems30, 1, 3, 0, 4);  // InstanceRef differs: kept
       },
       [](Bytes& r) {
         Renumbered(r, kItems120, 1, 1, 5);
         Renumbered(r, kItems20, 0, 2, 2);
         Renumbered(r, kItems30, 1, 3, 4);
       },
       3},
  };
}

class RenumberCases : public ::testing::TestWithParam<RenumberCase> {};

TEST_P(RenumberCases, NumbersTheSlotsInUse) {
  const RenumberCase& c = GetParam();
  Bytes before = Kem("amy", "a", 1);
  c.build(before);
  Bytes expected = before;
  c.expected(expected);

  auto record = std::make_unique<CharDataRecord>();
  std::memcpy(record->bytes.data(), before.data(), kRecordSize);
  uint32_t counter = 0;
  RenumberItems(*record, counter);

  EXPECT_TRUE(SameBytes(Bytes(record->bytes.begin(), record->bytes.end()), expected));
  EXPECT_EQ(counter, c.counter);
}

INSTANTIATE_TEST_SUITE_P(Slots, RenumberCases, ::testing::ValuesIn(AllRenumberCases()),
                         [](const ::testing::TestParamInfo<RenumberCase>& info) {
                           return std::string(info.param.label);
                         });

// ---- the zone variant ----

TEST_F(CharDataMergeTest, ZoneVariantReadsItsListFilesAndSavesNoLog) {
  WriteBytes(Path(AccountListName(2)), "acc=zacc\r\n");
  WriteBytes(Path(CharListName(2)), "old=zold\r\nown=zown\r\nno equals sign\r\n");
  Process().accountNameMap.Add("acc", "single");
  Process().charNameMap.Add("old", "single");
  Process().charNameMap.Add("own", "single");
  Bytes old = Kem("old", "acc", 1);
  Put(old, kOwner, "own");
  PutItem(old, kItems20, 0, 9, 0, 9);
  WriteBytes(Path("Kem.db"), Header(0));
  WriteBytes(Path("slave.db"), Join(Header(1), {old}));

  ASSERT_TRUE(MergeCharacterDataOfZone(Path("Kem.db"), Path("slave.db"), 2));

  // Readings: append 1, the record's time 2, renumbering 3, LastWriteTime 4.
  Bytes zold = old;
  Put(zold, kKey, "zold");
  Put(zold, kName, "zold");
  Put(zold, kAccount, "zacc");
  Put(zold, kOwner, "zown");
  Renumbered(zold, kItems20, 0, 1, 1);
  const Bytes expected =
      Join(MainHeader(1, 0, Reading(2), Reading(4)), {Stamped(zold, Reading(2))});
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Kem.db")), expected));
  EXPECT_EQ(Process().itemCounter, 1u);

  EXPECT_EQ(recorder_.texts, (Lines{Merging("old"), Renumbering("zold")}));
  EXPECT_EQ(Log().Lines().size(), 2u);
  EXPECT_FALSE(fs::exists(Path("Log.txt")));
  EXPECT_EQ(Log().TotalParts(), 0u);
}

TEST_F(CharDataMergeTest, ZoneVariantWithoutListFilesKeepsTheNames) {
  Process().accountNameMap.Add("acc", "single");
  Process().charNameMap.Add("old", "single");
  const Bytes old = Kem("old", "acc", 1);
  WriteBytes(Path("Kem.db"), Header(0));
  WriteBytes(Path("slave.db"), Join(Header(1), {old}));

  ASSERT_TRUE(MergeCharacterDataOfZone(Path("Kem.db"), Path("slave.db"), 3));

  const Bytes expected = Join(MainHeader(1, 0, Reading(2), Reading(4)), {Stamped(old, Reading(2))});
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Kem.db")), expected));
}

// ---- files that cannot be opened ----

TEST_F(CharDataMergeTest, FileThatCannotBeOpenedGivesFalseAndWritesNothing) {
  struct Case {
    const char* label;
    bool mainFails;
  };
  const Case cases[] = {{"main is a folder", true}, {"slave is a folder", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = Path(c.label);
    fs::create_directories(folder);
    const fs::path good = folder / (c.mainFails ? "slave.db" : "Kem.db");
    const fs::path bad = folder / (c.mainFails ? "Kem.db" : "slave.db");
    fs::create_directories(bad);
    Bytes amy = Kem("amy", "a", 1);
    PutItem(amy, kItems9, 0, 40, 1, 40);
    const Bytes goodBytes = Join(Header(1), {amy});
    WriteBytes(good, goodBytes);
    Process().itemCounter = 42;

    const bool result = c.mainFails ? MergeCharacterData(bad, good) : MergeCharacterData(good, bad);

    EXPECT_FALSE(result);
    EXPECT_TRUE(SameBytes(ReadBytes(good), goodBytes));
    EXPECT_EQ(Process().itemCounter, 42u);
    EXPECT_FALSE(fs::exists(Path("Log.txt")));
    EXPECT_TRUE(recorder_.texts.empty());
  }
}

}  // namespace
}  // namespace zkq
