// The account file "Id.db": creation, the scan and its free chain, Add, free names, the index
// file and the compaction. Files are built and checked byte by byte at their documented offsets.
#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "dbfiles/fileiddb.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace zkq {
namespace {

using test::GetLe32;
using test::Join;
using test::kAccountFileSignature;
using test::kAccountIndexSignature;
using test::PutDouble;
using test::PutLe32;
using test::PutShort;
using test::ReadBytes;
using test::SameBytes;
using test::WriteBytes;
namespace fs = std::filesystem;
using Bytes = std::string;
using Listing = std::vector<std::pair<std::string, int32_t>>;

constexpr size_t kHeaderSize = 124;
constexpr size_t kRecordSize = 349;
constexpr size_t kIndexHeaderSize = 120;
constexpr size_t kIndexEntrySize = 16;

size_t SlotAt(int slot) {
  return kHeaderSize + kRecordSize * static_cast<size_t>(slot);
}

// A header as the system creates it: signature, the given SlotCount and FreeHead.
Bytes Header(int32_t slotCount, int32_t freeHead = -1) {
  Bytes h(kHeaderSize, '\0');
  PutShort(h, 0, 34, kAccountFileSignature);
  PutLe32(h, 104, slotCount);
  PutLe32(h, 112, freeHead);
  return h;
}

// A record whose uninterpreted bytes carry a pattern, so that copying them can be checked.
Bytes Account(std::string_view name, bool deleted = false) {
  Bytes r(kRecordSize, '\0');
  for (size_t i = 0; i < kRecordSize; ++i)
    r[i] = static_cast<char>((i * 7 + name.size() * 31 + 1) & 0xFF);
  r[0] = deleted ? 1 : 0;
  PutDouble(r, 4, 40000.25);
  PutDouble(r, 12, 40001.5);
  PutLe32(r, 24, deleted ? 0x5A5A5A5A : 0x11223344);
  PutShort(r, 32, 10, name);
  return r;
}

Bytes Deleted(std::string_view name = "") {
  return Account(name, true);
}

AccountRecord ToRecord(const Bytes& b) {
  AccountRecord r;
  std::memcpy(r.bytes.data(), b.data(), kRecordSize);
  return r;
}

AccountRecord Rec(std::string_view name) {
  return ToRecord(Account(name));
}

Bytes HeaderOf(const TDBFile& f) {
  return Bytes(f.HeaderCopy().begin(), f.HeaderCopy().end());
}

Listing Listed(const TDBFile& f) {
  Listing out;
  for (int i = 0; i < f.NameList().Count(); ++i)
    out.emplace_back(f.NameList().Text(i), f.NameList().Value(i));
  return out;
}

int32_t SlotOf(const TDBFile& f, std::string_view name) {
  const int pos = f.FindName(name);
  return pos < 0 ? -1 : f.NameList().Value(pos);
}

Bytes IndexFile(const Listing& entries, int32_t slotCount, int32_t lastChangedSlot,
                double lastChangeTime) {
  Bytes out(kIndexHeaderSize + kIndexEntrySize * entries.size(), '\0');
  PutShort(out, 0, 43, kAccountIndexSignature);
  PutLe32(out, 100, static_cast<int32_t>(entries.size()));
  PutLe32(out, 104, slotCount);
  PutLe32(out, 108, lastChangedSlot);
  PutDouble(out, 112, lastChangeTime);
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t at = kIndexHeaderSize + kIndexEntrySize * i;
    PutShort(out, at, 11, entries[i].first);
    PutLe32(out, at + 12, entries[i].second);
  }
  return out;
}

class AccountFileTest : public test::FileTest {
 protected:
  // Clock reading number n from now (1 = the next one).
  double Reading(int n) const { return env_.clock + n * env_.step; }

  fs::path Folder(const std::string& name) {
    fs::create_directories(Path(name));
    return Path(name);
  }

  // Builds Id.db in `folder` with deleted slots 2 and 5, adds "dave" (slot 5) and destroys the
  // object, which leaves a matching index file. Returns the time stamped by that Add.
  double MakeFileWithIndex(const fs::path& folder) {
    WriteBytes(folder / "Id.db", Join(Header(6), {Account("amy"), Account("bob"), Deleted(),
                                                  Account("cat"), Account("dan"), Deleted()}));
    TFileIDDB db(folder / "Id.db");
    const double t1 = Reading(1);
    EXPECT_TRUE(db.OpenFile());
    EXPECT_TRUE(db.Add(Rec("dave")));
    db.CloseFile();
    return t1;
  }
};

// ---- creation and scan ----

TEST_F(AccountFileTest, MissingFileIsCreatedWithSignatureHeader) {
  const fs::path path = Path("Id.db");
  TFileIDDB db(path);

  Bytes expected(kHeaderSize, '\0');
  expected[0] = 26;
  expected.replace(1, kAccountFileSignature.size(), kAccountFileSignature);
  PutLe32(expected, 112, -1);
  EXPECT_TRUE(SameBytes(ReadBytes(path), expected));
  EXPECT_EQ(db.SlotCount(), 0);
  EXPECT_EQ(db.NameList().Count(), 0);
  EXPECT_EQ(db.FreeHead(), -1);

  ASSERT_TRUE(db.OpenFile());
  EXPECT_TRUE(db.Add(Rec("first")));
  db.CloseFile();
  EXPECT_EQ(SlotOf(db, "first"), 0);
  EXPECT_EQ(ReadBytes(path).size(), kHeaderSize + kRecordSize);
}

TEST_F(AccountFileTest, ScanChainsDeletedSlotsAndAddUsesThemHighestFirst) {
  const fs::path path = Path("Id.db");
  // The header's FreeHead is stale on purpose: the scan does not write it, only Add does.
  const std::vector<Bytes> records = {Account("amy"), Account("bob"), Deleted("old"),
                                      Account("cat"), Account("dan"), Deleted(),
                                      Account("eve")};
  const Bytes original = Join(Header(7, 3), records);
  WriteBytes(path, original);

  TFileIDDB db(path);
  Bytes expected = original;
  PutLe32(expected, SlotAt(5) + 24, 2);
  PutLe32(expected, SlotAt(2) + 24, -1);
  EXPECT_TRUE(SameBytes(ReadBytes(path), expected));
  EXPECT_EQ(Listed(db), (Listing{{"amy", 0}, {"bob", 1}, {"cat", 3}, {"dan", 4}, {"eve", 6}}));
  EXPECT_EQ(db.FreeHead(), 5);

  struct Step {
    const char* name;
    int32_t slot;
    int32_t headerFreeHead;
    int32_t slotCount;
  };
  const Step steps[] = {{"new1", 5, 2, 7}, {"new2", 2, -1, 7}, {"new3", 7, -1, 8}};
  ASSERT_TRUE(db.OpenFile());
  for (const Step& s : steps) {
    SCOPED_TRACE(s.name);
    ASSERT_TRUE(db.Add(Rec(s.name)));
    EXPECT_EQ(SlotOf(db, s.name), s.slot);
    const Bytes now = ReadBytes(path);
    EXPECT_EQ(GetLe32(now, 112), s.headerFreeHead);
    EXPECT_EQ(GetLe32(now, 104), s.slotCount);
    EXPECT_EQ(now.substr(SlotAt(s.slot) + 32, 11), Account(s.name).substr(32, 11));
    EXPECT_EQ(db.SlotCount(), s.slotCount);
  }
  db.CloseFile();
}

TEST_F(AccountFileTest, LiveRecordWithEmptyNameIsNeitherListedNorReused) {
  const fs::path path = Path("Id.db");
  const Bytes original = Join(Header(3), {Account(""), Deleted("x"), Account("bob")});
  WriteBytes(path, original);

  TFileIDDB db(path);
  EXPECT_EQ(Listed(db), (Listing{{"bob", 2}}));
  EXPECT_EQ(db.FindName(""), -1);
  EXPECT_EQ(db.FreeHead(), 1);

  ASSERT_TRUE(db.OpenFile());
  EXPECT_TRUE(db.Add(Rec("amy")));
  EXPECT_TRUE(db.Add(Rec("cid")));
  db.CloseFile();
  EXPECT_EQ(SlotOf(db, "amy"), 1);
  EXPECT_EQ(SlotOf(db, "cid"), 3);
  EXPECT_TRUE(SameBytes(ReadBytes(path).substr(SlotAt(0), kRecordSize), Account("")));
}

// ---- Add ----

TEST_F(AccountFileTest, AddStampsRecordAndHeader) {
  const fs::path path = Path("Id.db");
  Bytes header = Header(1);
  for (size_t i = 35; i < 92; ++i) header[i] = static_cast<char>(0xA0 + i % 16);
  PutLe32(header, 92, 0);
  PutDouble(header, 96, 123.5);
  PutLe32(header, 108, 0x01020304);
  PutDouble(header, 116, 100.25);
  const Bytes first = Account("alice");
  WriteBytes(path, header + first);

  TFileIDDB db(path);
  ASSERT_TRUE(db.OpenFile());
  Bytes input = Account("bob");
  input[0] = 7;  // a stale Deleted flag is cleared
  const AccountRecord rec = ToRecord(input);
  const AccountRecord untouched = rec;
  const double t1 = Reading(1);
  const double t2 = Reading(2);
  ASSERT_TRUE(db.Add(rec));
  db.CloseFile();

  EXPECT_EQ(rec.bytes, untouched.bytes);
  Bytes expectedRecord = input;
  expectedRecord[0] = 0;
  PutDouble(expectedRecord, 4, t1);
  PutDouble(expectedRecord, 12, t1);
  Bytes expectedHeader = header;
  PutLe32(expectedHeader, 92, 1);
  PutDouble(expectedHeader, 96, t1);
  PutLe32(expectedHeader, 104, 2);
  PutLe32(expectedHeader, 112, -1);
  PutDouble(expectedHeader, 116, t2);
  EXPECT_TRUE(SameBytes(ReadBytes(path), expectedHeader + first + expectedRecord));
  EXPECT_EQ(HeaderOf(db), expectedHeader);
  EXPECT_EQ(db.LastChangedSlot(), 1);
  EXPECT_EQ(db.LastChangeTime(), t1);
  EXPECT_EQ(Listed(db), (Listing{{"alice", 0}, {"bob", 1}}));
}

TEST_F(AccountFileTest, AddOfNamePresentInOtherCaseFailsAndWritesNothing) {
  const fs::path path = Path("Id.db");
  WriteBytes(path, Join(Header(3), {Account("Alice"), Deleted(), Account("bob")}));
  TFileIDDB db(path);
  ASSERT_TRUE(db.OpenFile());
  const Bytes before = ReadBytes(path);
  const Bytes headerBefore = HeaderOf(db);

  EXPECT_FALSE(db.Add(Rec("aLICE")));
  EXPECT_FALSE(db.Add(Rec("BOB")));
  db.CloseFile();
  EXPECT_TRUE(SameBytes(ReadBytes(path), before));
  EXPECT_EQ(HeaderOf(db), headerBefore);
  EXPECT_EQ(db.FreeHead(), 1);
  EXPECT_EQ(Listed(db), (Listing{{"Alice", 0}, {"bob", 2}}));
}

TEST_F(AccountFileTest, AddIntoChainHeadHoldingLiveRecordFailsThenAppends) {
  const fs::path path = Path("Id.db");
  WriteBytes(path, Join(Header(2), {Account("amy"), Deleted()}));
  TFileIDDB stale(path);
  ASSERT_EQ(stale.FreeHead(), 1);
  {
    // A second object fills the free slot behind the first one's back.
    TFileIDDB other(path);
    ASSERT_TRUE(other.OpenFile());
    ASSERT_TRUE(other.Add(Rec("bea")));
    other.CloseFile();
  }
  const Bytes before = ReadBytes(path);

  ASSERT_TRUE(stale.OpenFile());
  EXPECT_FALSE(stale.Add(Rec("cid")));
  EXPECT_TRUE(SameBytes(ReadBytes(path), before));
  EXPECT_EQ(HeaderOf(stale), before.substr(0, kHeaderSize));
  EXPECT_EQ(stale.FreeHead(), -1);
  EXPECT_EQ(stale.FindName("cid"), -1);

  EXPECT_TRUE(stale.Add(Rec("cid")));
  stale.CloseFile();
  EXPECT_EQ(SlotOf(stale, "cid"), 2);
  const Bytes after = ReadBytes(path);
  EXPECT_EQ(GetLe32(after, 104), 3);
  EXPECT_EQ(after.substr(0, SlotAt(2)).substr(kHeaderSize), before.substr(kHeaderSize));
}

// ---- MakeFreeAccountName ----

TEST_F(AccountFileTest, MakeFreeAccountName) {
  struct Case {
    const char* label;
    std::vector<std::string> present;
    std::string name;
    std::string expected;
  };
  std::vector<std::string> allTaken;
  for (char c = 'a'; c <= 'z'; ++c) allTaken.push_back(std::string("x") + c);
  const Case cases[] = {
      {"12-byte name cut to 9 bytes",
       {"abcdefghia", "abcdefghib", "abcdefghic"},
       "abcdefghijkl",
       "abcdefghid"},
      {"short name", {"bob"}, "bob", "boba"},
      {"candidate present in other case", {"BOBA"}, "bob", "bobb"},
      {"9-byte name kept whole", {}, "abcdefghi", "abcdefghia"},
      {"10-byte name cut", {"abcdefghij"}, "abcdefghij", "abcdefghia"},
      {"cut inside a double-byte character",
       {},
       "abcdefgh\xD5\xC5",
       "abcdefgh\xD5"
       "a"},
      {"empty name", {}, "", "a"},
      {"all 26 taken", allTaken, "x", ""},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Bytes> records;
    for (const std::string& p : c.present) records.push_back(Account(p));
    const fs::path path = Folder("case" + std::to_string(n++)) / "Id.db";
    WriteBytes(path, Join(Header(static_cast<int32_t>(records.size())), records));
    TFileIDDB db(path);
    ASSERT_EQ(db.NameList().Count(), static_cast<int>(c.present.size()));
    EXPECT_EQ(db.MakeFreeAccountName(c.name), c.expected);
  }
}

// ---- index file ----

TEST_F(AccountFileTest, DestructionWritesIndexInNameListOrder) {
  const fs::path path = Path("Id.db");
  WriteBytes(path,
             Join(Header(4), {Account("bob"), Account("Alice"), Deleted(), Account("carol")}));
  const double t1 = Reading(1);
  {
    TFileIDDB db(path);
    ASSERT_TRUE(db.OpenFile());
    ASSERT_TRUE(db.Add(Rec("dave")));
    db.CloseFile();
    EXPECT_FALSE(fs::exists(Path("Id.db.idx")));
  }
  Bytes expected(kIndexHeaderSize + 4 * kIndexEntrySize, '\0');
  expected[0] = 30;
  expected.replace(1, kAccountIndexSignature.size(), kAccountIndexSignature);
  PutLe32(expected, 100, 4);
  PutLe32(expected, 104, 4);
  PutLe32(expected, 108, 2);
  PutDouble(expected, 112, t1);
  const Listing entries = {{"Alice", 1}, {"bob", 0}, {"carol", 3}, {"dave", 2}};
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t at = kIndexHeaderSize + kIndexEntrySize * i;
    expected[at] = static_cast<char>(entries[i].first.size());
    expected.replace(at + 1, entries[i].first.size(), entries[i].first);
    PutLe32(expected, at + 12, entries[i].second);
  }
  EXPECT_TRUE(SameBytes(ReadBytes(Path("Id.db.idx")), expected));
}

const Listing kIndexedNames = {{"amy", 0}, {"bob", 1}, {"cat", 3}, {"dan", 4}, {"dave", 5}};

TEST_F(AccountFileTest, NextConstructionUsesIndexWithoutScanning) {
  const fs::path folder = Folder("zone");
  const double t1 = MakeFileWithIndex(folder);
  const Bytes before = ReadBytes(folder / "Id.db");

  TFileIDDB db(folder / "Id.db");
  EXPECT_TRUE(TFileIDDB::IndexLoaded());
  EXPECT_EQ(Listed(db), kIndexedNames);
  EXPECT_EQ(db.FreeHead(), -1);  // a scan would have found slot 2
  EXPECT_EQ(db.LastChangedSlot(), 5);
  EXPECT_EQ(db.LastChangeTime(), t1);
  EXPECT_TRUE(SameBytes(ReadBytes(folder / "Id.db"), before));

  ASSERT_TRUE(db.OpenFile());
  ASSERT_TRUE(db.Add(Rec("erin")));
  db.CloseFile();
  EXPECT_EQ(SlotOf(db, "erin"), 6);
}

TEST_F(AccountFileTest, IndexThatDisagreesWithDataFileIsIgnored) {
  struct Case {
    const char* label;
    void (*spoil)(Bytes& data, Bytes& index, double t1);
    bool scanned;
  };
  const Case cases[] = {
      {"consistent", [](Bytes&, Bytes&, double) {}, false},
      {"index SlotCount", [](Bytes&, Bytes& index, double) { PutLe32(index, 104, 7); }, true},
      {"index LastChangedSlot", [](Bytes&, Bytes& index, double) { PutLe32(index, 108, 4); }, true},
      {"data LastChangedSlot", [](Bytes& data, Bytes&, double) { PutLe32(data, 92, 3); }, true},
      {"update time of last-changed record",
       [](Bytes& data, Bytes&, double t1) { PutDouble(data, SlotAt(5) + 12, t1 + 1.0); }, true},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path folder = Folder("case" + std::to_string(n++));
    const double t1 = MakeFileWithIndex(folder);
    Bytes data = ReadBytes(folder / "Id.db");
    Bytes index = ReadBytes(folder / "Id.db.idx");
    ASSERT_EQ(index.size(), kIndexHeaderSize + 5 * kIndexEntrySize);
    c.spoil(data, index, t1);
    WriteBytes(folder / "Id.db", data);
    WriteBytes(folder / "Id.db.idx", index);

    TFileIDDB db(folder / "Id.db");
    EXPECT_EQ(Listed(db), kIndexedNames);
    EXPECT_EQ(db.FreeHead(), c.scanned ? 2 : -1);
  }
}

TEST_F(AccountFileTest, IndexEntriesKeepTheirStoredOrder) {
  const fs::path path = Path("Id.db");
  Bytes header = Header(2);
  PutLe32(header, 92, -1);
  WriteBytes(path, Join(header, {Account("amy"), Account("zed")}));
  WriteBytes(Path("Id.db.idx"), IndexFile({{"zed", 1}, {"amy", 0}}, 2, -1, 0.0));

  TFileIDDB db(path);
  EXPECT_EQ(Listed(db), (Listing{{"zed", 1}, {"amy", 0}}));
}

TEST_F(AccountFileTest, ShorterIndexLeavesTheOlderTailInPlace) {
  const fs::path path = Path("Id.db");
  Bytes header = Header(3);
  PutLe32(header, 92, -1);
  WriteBytes(path, Join(header, {Account("amy"), Account("bob"), Deleted()}));
  // An older index, longer than the new one and inconsistent with the data file.
  const Bytes old(kIndexHeaderSize + 6 * kIndexEntrySize, '\xEE');
  WriteBytes(Path("Id.db.idx"), old);
  { TFileIDDB db(path); }

  const Bytes written = ReadBytes(Path("Id.db.idx"));
  const Bytes fresh = IndexFile({{"amy", 0}, {"bob", 1}}, 3, -1, 0.0);
  ASSERT_EQ(written.size(), old.size());
  EXPECT_EQ(written.substr(0, fresh.size()), fresh);
  EXPECT_EQ(written.substr(fresh.size()), old.substr(fresh.size()));

  TFileIDDB again(path);
  EXPECT_EQ(Listed(again), (Listing{{"amy", 0}, {"bob", 1}}));
  EXPECT_EQ(again.FreeHead(), -1);  // loaded from the index, the tail not read as entries
}

// ---- Compact ----

struct Stored {
  std::string name;
  bool deleted;
};

Bytes CompactionHeader(int32_t declaredSlots) {
  Bytes h = Header(declaredSlots, 0x77);
  for (size_t i = 35; i < 92; ++i) h[i] = static_cast<char>(i);
  PutLe32(h, 92, 1);
  PutDouble(h, 96, 45000.5);
  PutLe32(h, 108, 0x0BADF00D);
  PutDouble(h, 116, 45001.0);
  return h;
}

TEST_F(AccountFileTest, CompactDropsPurgedRecordsAndRelinksTheFreeChain) {
  struct Case {
    const char* label;
    std::vector<Stored> records;
    size_t trailingBytes;
    std::set<std::string> purge;
    std::vector<int> keptOldSlots;
    std::vector<int32_t> links;  // FreeLink per new slot (deleted records only)
    int32_t freeHead;
  };
  const Case cases[] = {
      {"list names no account",
       {{"amy", false}, {"x", true}, {"bob", false}, {"", true}},
       100,
       {"nobody"},
       {0, 1, 2, 3},
       {0, -1, 0, 1},
       3},
      {"purged live and deleted records dropped",
       {{"amy", false}, {"old", true}, {"bob", false}, {"", true}, {"cat", false}, {"bob", true}},
       0,
       {"bob"},
       {0, 1, 3, 4},
       {0, -1, 1, 0},
       2},
      {"no deleted record stays",
       {{"amy", false}, {"gone", true}, {"bob", false}},
       0,
       {"gone"},
       {0, 2},
       {0, 0},
       -1},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path path = Folder("case" + std::to_string(n++)) / "Id.db";
    std::vector<Bytes> records;
    for (const Stored& s : c.records) records.push_back(Account(s.name, s.deleted));
    // SlotCount claims two slots only: every whole record is read all the same.
    const Bytes header = CompactionHeader(2);
    WriteBytes(path, Join(header, records) + Bytes(c.trailingBytes, 'T'));
    TFileIDDB db(path);
    const Listing listedBefore = Listed(db);
    const Bytes onDisk = ReadBytes(path);  // after the scan relinked the first two slots
    WriteBytes(Path("ID#$00.DB"), "leftover");

    const double t1 = Reading(1);
    EXPECT_TRUE(db.Compact([&](std::string_view name) { return c.purge.count(Bytes(name)) > 0; }));

    Bytes expected = header;
    PutLe32(expected, 104, static_cast<int32_t>(c.keptOldSlots.size()));
    PutDouble(expected, 116, t1);
    PutLe32(expected, 112, c.freeHead);
    for (size_t i = 0; i < c.keptOldSlots.size(); ++i) {
      Bytes r = onDisk.substr(SlotAt(c.keptOldSlots[i]), kRecordSize);
      if (r[0] != 0) PutLe32(r, 24, c.links[i]);
      expected += r;
    }
    EXPECT_TRUE(SameBytes(ReadBytes(path), expected));
    EXPECT_FALSE(fs::exists(Path("ID#$00.DB")));
    EXPECT_EQ(db.SlotCount(), 2);
    EXPECT_EQ(Listed(db), listedBefore);
  }
}

TEST_F(AccountFileTest, IndexSavedAfterCompactionIsRejected) {
  const fs::path path = Path("Id.db");
  WriteBytes(path, Join(Header(5),
                        {Account("amy"), Deleted(), Account("bob"), Deleted(), Account("cat")}));
  {
    TFileIDDB db(path);
    ASSERT_TRUE(db.Compact([](std::string_view name) { return name == "bob"; }));
  }
  ASSERT_TRUE(fs::exists(Path("Id.db.idx")));
  TFileIDDB again(path);
  EXPECT_EQ(Listed(again), (Listing{{"amy", 0}, {"cat", 3}}));
  EXPECT_EQ(again.FreeHead(), 2);
  EXPECT_EQ(again.SlotCount(), 4);
}

TEST_F(AccountFileTest, CompactRefusesDataFileNamedLikeItsTemporaryFile) {
  const fs::path path = Path("ID#$00.DB");
  WriteBytes(path, Join(Header(2), {Account("amy"), Deleted()}));
  TFileIDDB db(path);
  const Bytes before = ReadBytes(path);
  EXPECT_FALSE(db.Compact([](std::string_view) { return false; }));
  EXPECT_TRUE(SameBytes(ReadBytes(path), before));
}

}  // namespace
}  // namespace zkq
