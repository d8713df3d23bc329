// The character data file "Kem.db" and its index file "Kem.db.idx": scan of the record headers,
// Add / WriteAt / DeleteByName with their header and record stamps, the index file's bytes and
// the checks that decide whether it is trusted, and compaction with progress. Files and index
// files are built and checked byte by byte at the documented offsets.
#include "dbfiles/filedb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/app_hooks.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace zkq {
namespace {

using test::GetDouble;
using test::GetLe32;
using test::kAccountIndexSignature;
using test::kCharFileSignature;
using test::kCharIndexSignature;
using test::PutDouble;
using test::PutLe32;
using test::PutShort;
using test::ReadBytes;
using test::SameBytes;
using test::WriteBytes;
namespace fs = std::filesystem;

constexpr size_t kHeaderSize = 124;
constexpr size_t kRecordSize = 24800;
constexpr size_t kIndexHeaderSize = 128;
constexpr size_t kIndexEntrySize = 20;

struct FileHeaderFields {
  int32_t slotCount = 0;
  int32_t lastChangedSlot = -1;
  double lastChangeTime = 40000.5;
};

// A file header with recognisable values in every field the class must keep as read.
std::string FileHeader(const FileHeaderFields& f) {
  std::string h(kHeaderSize, '\0');
  PutShort(h, 0, 35, kCharFileSignature);
  for (size_t i = 36; i < 92; ++i) h[i] = static_cast<char>(0x40 + i % 13);
  PutLe32(h, 92, f.lastChangedSlot);
  PutDouble(h, 96, f.lastChangeTime);
  PutLe32(h, 104, f.slotCount);
  PutLe32(h, 108, 0x11223344);
  PutLe32(h, 112, 0x55667788);  // not interpreted by this file
  PutDouble(h, 116, 40001.25);  // LastWriteTime
  return h;
}

struct Kem {
  bool deleted = false;
  std::string key;
  double updateTime = 0;
  uint8_t fill = 0;  // varies the rest of the record
};

std::string KemRecord(const Kem& r) {
  std::string b(kRecordSize, '\0');
  for (size_t i = 0; i < kRecordSize; ++i)
    b[i] = static_cast<char>((i * 31 + r.fill * 7 + 3) & 0xFF);
  b[0] = r.deleted ? 1 : 0;
  PutDouble(b, 4, r.updateTime);
  PutShort(b, 12, 15, r.key);
  return b;
}

std::string Live(const std::string& key, uint8_t fill, double updateTime = 39000.0) {
  return KemRecord({false, key, updateTime, fill});
}
std::string Dead(uint8_t fill) {
  return KemRecord({true, "Gone", 39000.0, fill});
}

std::unique_ptr<CharDataRecord> ToRecord(const std::string& bytes) {
  auto r = std::make_unique<CharDataRecord>();
  std::memcpy(r->bytes.data(), bytes.data(), kRecordSize);
  return r;
}
std::string Bytes(const CharDataRecord& r) {
  return std::string(reinterpret_cast<const char*>(r.bytes.data()), r.bytes.size());
}

std::string Slot(const std::string& file, int slot) {
  return file.substr(kHeaderSize + kRecordSize * static_cast<size_t>(slot), kRecordSize);
}

struct IndexFields {
  std::string description = kCharIndexSignature;
  int32_t slotCount = 0;
  int32_t lastChangedSlot = -1;
  double lastChangeTime = 0;
  std::vector<std::pair<std::string, int32_t>> names;
  std::vector<int32_t> freeSlots;
};

std::string IndexHeader(const IndexFields& f) {
  std::string h(kIndexHeaderSize, '\0');
  PutShort(h, 0, 40, f.description);
  PutLe32(h, 100, static_cast<int32_t>(f.names.size()));
  PutLe32(h, 104, f.slotCount);
  PutLe32(h, 108, static_cast<int32_t>(f.freeSlots.size()));
  PutLe32(h, 112, f.lastChangedSlot);
  PutDouble(h, 120, f.lastChangeTime);
  return h;
}

std::string IndexFile(const IndexFields& f) {
  std::string out = IndexHeader(f);
  for (const auto& [name, slot] : f.names) {
    std::string e(kIndexEntrySize, '\0');
    PutShort(e, 0, 15, name);
    PutLe32(e, 16, slot);
    out += e;
  }
  for (const int32_t slot : f.freeSlots) {
    std::string e(4, '\0');
    PutLe32(e, 0, slot);
    out += e;
  }
  return out;
}

// Checks an index file the class wrote. The bytes behind a name inside an entry carry no
// meaning and are not compared.
void ExpectIndex(const std::string& actual, const IndexFields& f) {
  const size_t size = kIndexHeaderSize + kIndexEntrySize * f.names.size() + 4 * f.freeSlots.size();
  ASSERT_EQ(actual.size(), size);
  EXPECT_EQ(actual.substr(0, kIndexHeaderSize), IndexHeader(f));
  for (size_t i = 0; i < f.names.size(); ++i) {
    const std::string e = actual.substr(kIndexHeaderSize + kIndexEntrySize * i, kIndexEntrySize);
    const auto& [name, slot] = f.names[i];
    EXPECT_EQ(static_cast<uint8_t>(e[0]), name.size()) << "entry " << i;
    EXPECT_EQ(e.substr(1, name.size()), name) << "entry " << i;
    EXPECT_EQ(GetLe32(e, 16), slot) << "entry " << i;
  }
  for (size_t i = 0; i < f.freeSlots.size(); ++i)
    EXPECT_EQ(GetLe32(actual, kIndexHeaderSize + kIndexEntrySize * f.names.size() + 4 * i),
              f.freeSlots[i])
        << "free slot " << i;
}

std::vector<std::string> Names(const TFileDB& db) {
  std::vector<std::string> out;
  for (int i = 0; i < db.NameCount(); ++i) out.push_back(db.NameList().Text(i));
  return out;
}
std::vector<std::pair<std::string, int32_t>> NamesAndSlots(const TFileDB& db) {
  std::vector<std::pair<std::string, int32_t>> out;
  for (int i = 0; i < db.NameCount(); ++i)
    out.emplace_back(db.NameList().Text(i), db.NameList().Value(i));
  return out;
}
std::vector<int32_t> Slots(std::initializer_list<int32_t> s) {
  return s;
}

class Opened {
 public:
  explicit Opened(TFileDB& db) : db_(db) { EXPECT_TRUE(db_.OpenFile()); }
  ~Opened() { db_.CloseFile(); }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;

 private:
  TFileDB& db_;
};

class RecordingSink : public RebuildProgressSink {
 public:
  void PostRebuildProgress(int32_t copiedPlusOne, int32_t oldSlotCount) override {
    posts.emplace_back(copiedPlusOne, oldSlotCount);
  }
  std::vector<std::pair<int32_t, int32_t>> posts;
};

class KemDbTest : public test::FileTest {
 protected:
  std::string WriteKem(const FileHeaderFields& header, const std::vector<std::string>& records) {
    std::string bytes = FileHeader(header);
    for (const auto& r : records) bytes += r;
    WriteBytes(path_, bytes);
    return bytes;
  }
  TDateTime Reading(int n) const { return env_.clock + n * env_.step; }

  fs::path path_ = Path("Kem.db");
  fs::path index_ = Path("Kem.db.idx");
};

TEST_F(KemDbTest, ScanReadsRecordHeadersAndFreesDeletedAndUnnamedSlots) {
  // The last record is cut off after its 28-byte header: the scan needs no more of it.
  const std::string amy = Live("amy", 4);
  WriteKem({4, 2, 40000.75}, {Live("Zed", 1), Dead(2), KemRecord({false, "", 39000.0, 3})});
  WriteBytes(path_, ReadBytes(path_) + amy.substr(0, 28));

  const TFileDB db(path_);
  EXPECT_TRUE(TFileDB::IndexLoaded());
  EXPECT_EQ(db.SlotCount(), 4);
  using NameSlots = std::vector<std::pair<std::string, int32_t>>;
  EXPECT_EQ(NamesAndSlots(db), (NameSlots{{"amy", 3}, {"Zed", 0}}));
  EXPECT_EQ(db.FreeSlots(), Slots({1, 2}));
  EXPECT_EQ(db.LastChangedSlot(), 2);
  EXPECT_EQ(db.LastChangeTime(), 40000.75);
  EXPECT_FALSE(fs::exists(index_));  // written only at destruction
}

TEST_F(KemDbTest, AddWritesOverTheFirstFreeSlotEvenALiveUnnamedOne) {
  WriteKem({3}, {KemRecord({false, "", 39000.0, 1}), Dead(2), Live("amy", 3)});
  TFileDB db(path_);
  ASSERT_EQ(db.FreeSlots(), Slots({0, 1}));
  {
    Opened open(db);
    auto ben = ToRecord(Live("Ben", 5));
    ASSERT_TRUE(db.Add(*ben));
    EXPECT_EQ(Slot(ReadBytes(path_), 0), Bytes(*ben));
    EXPECT_EQ(db.FreeSlots(), Slots({1}));
  }
  EXPECT_EQ(db.NameList().Value(db.FindName("ben")), 0);
  EXPECT_EQ(db.SlotCount(), 3);
}

TEST_F(KemDbTest, AddAndWriteAtStampTheCallersRecordAndTheHeader) {
  const std::string amy = Live("Amy", 1);
  const std::string before = WriteKem({1, 0, 39000.0}, {amy});
  TFileDB db(path_);
  Opened open(db);

  // Add at the end: the caller's record gets Deleted 0 and the write's time.
  std::string ben = KemRecord({true, "Ben", 1.5, 2});
  ben[0] = 7;
  auto benRecord = ToRecord(ben);
  const TDateTime benTime = Reading(1);
  const TDateTime benWrite = Reading(2);
  ASSERT_TRUE(db.Add(*benRecord));
  EXPECT_EQ(benRecord->bytes[0], 0);
  EXPECT_EQ(benRecord->UpdateTime(), benTime);
  ben[0] = 0;
  PutDouble(ben, 4, benTime);
  EXPECT_EQ(Bytes(*benRecord), ben);  // nothing else of it changed

  std::string expected = before + ben;
  PutLe32(expected, 92, 1);
  PutDouble(expected, 96, benTime);
  PutLe32(expected, 104, 2);
  PutDouble(expected, 116, benWrite);
  EXPECT_TRUE(SameBytes(ReadBytes(path_), expected));
  EXPECT_EQ(db.SlotCount(), 2);
  EXPECT_EQ(db.LastChangedSlot(), 1);
  EXPECT_EQ(db.LastChangeTime(), benTime);

  // WriteAt rewrites the record of a listed name in place.
  std::string amy2 = KemRecord({true, "Amy", 2.5, 9});
  auto amyRecord = ToRecord(amy2);
  const TDateTime amyTime = Reading(1);
  const TDateTime amyWrite = Reading(2);
  ASSERT_TRUE(db.WriteAt(db.FindName("AMY"), *amyRecord));
  EXPECT_EQ(amyRecord->bytes[0], 0);
  EXPECT_EQ(amyRecord->UpdateTime(), amyTime);
  amy2[0] = 0;
  PutDouble(amy2, 4, amyTime);
  expected.replace(kHeaderSize, kRecordSize, amy2);
  PutLe32(expected, 92, 0);
  PutDouble(expected, 96, amyTime);
  PutDouble(expected, 116, amyWrite);
  EXPECT_TRUE(SameBytes(ReadBytes(path_), expected));
  EXPECT_EQ(db.SlotCount(), 2);
  EXPECT_EQ(db.LastChangedSlot(), 0);
  EXPECT_EQ(db.LastChangeTime(), amyTime);

  // Positions outside the list write nothing and leave the record alone.
  for (const int position : {-1, db.NameCount()}) {
    SCOPED_TRACE(position);
    const std::string stray = KemRecord({true, "Stray", 3.5, 4});
    auto strayRecord = ToRecord(stray);
    const int readings = env_.clockReadings;
    EXPECT_FALSE(db.WriteAt(position, *strayRecord));
    EXPECT_EQ(Bytes(*strayRecord), stray);
    EXPECT_EQ(env_.clockReadings, readings);
    EXPECT_TRUE(SameBytes(ReadBytes(path_), expected));
    EXPECT_EQ(db.LastChangedSlot(), 0);
  }
}

TEST_F(KemDbTest, RefusedAddLeavesTheCallersRecordAndTheFileUnchanged) {
  struct Case {
    const char* what;
    std::string key;
    bool slotTakenSinceScan;
  };
  const Case cases[] = {
      {"present name in other case", "AMY", false},
      {"free slot holding a live named record", "Cat", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string file = WriteKem({2}, {Live("Amy", 1), Dead(2)});
    TFileDB db(path_);
    ASSERT_EQ(db.FreeSlots(), Slots({1}));
    if (c.slotTakenSinceScan) {
      file.replace(kHeaderSize + kRecordSize, kRecordSize, Live("Ghost", 3));
      WriteBytes(path_, file);
    }
    Opened open(db);
    const auto header = db.HeaderCopy();
    std::string rec = KemRecord({true, c.key, 5.5, 4});
    rec[0] = 3;
    auto record = ToRecord(rec);
    EXPECT_FALSE(db.Add(*record));
    EXPECT_EQ(Bytes(*record), rec);
    EXPECT_EQ(db.HeaderCopy(), header);
    EXPECT_TRUE(SameBytes(ReadBytes(path_), file));
    EXPECT_EQ(db.NameCount(), 1);
    EXPECT_EQ(db.FreeSlots().empty(), c.slotTakenSinceScan);  // a taken slot is lost
  }
}

TEST_F(KemDbTest, DeleteByNameMarksTheRecordRewritesTheHeaderAndSurvivesReconstruction) {
  const std::string before = WriteKem({3}, {Live("amy", 1), Live("Bob", 2), Live("cy", 3)});
  TDateTime deletedAt = 0;
  {
    TFileDB db(path_);
    Opened open(db);
    const int readings = env_.clockReadings;
    EXPECT_FALSE(db.DeleteByName("nobody"));
    EXPECT_EQ(env_.clockReadings, readings);
    EXPECT_EQ(ReadBytes(path_), before);

    deletedAt = Reading(1);
    const TDateTime writtenAt = Reading(2);
    ASSERT_TRUE(db.DeleteByName("BOB"));
    const std::string file = ReadBytes(path_);
    ASSERT_EQ(file.size(), before.size());
    std::string header = before.substr(0, kHeaderSize);
    PutLe32(header, 92, 1);
    PutDouble(header, 96, deletedAt);
    PutDouble(header, 116, writtenAt);
    EXPECT_EQ(file.substr(0, kHeaderSize), header);
    const std::string bob = Slot(file, 1);
    EXPECT_EQ(bob[0], 1);
    EXPECT_EQ(GetDouble(bob, 4), deletedAt);
    EXPECT_TRUE(SameBytes(bob.substr(28), Slot(before, 1).substr(28)));
    EXPECT_EQ(Slot(file, 0), Slot(before, 0));
    EXPECT_EQ(Slot(file, 2), Slot(before, 2));

    EXPECT_EQ(db.FreeSlots(), Slots({1}));
    EXPECT_EQ(Names(db), (std::vector<std::string>{"amy", "cy"}));
    EXPECT_EQ(db.LastChangedSlot(), 1);
    EXPECT_EQ(db.LastChangeTime(), deletedAt);
  }
  ExpectIndex(ReadBytes(index_),
              {kCharIndexSignature, 3, 1, deletedAt, {{"amy", 0}, {"cy", 2}}, {1}});

  // Rename a record behind the index's back: a new object that trusts the index does not see it.
  std::string file = ReadBytes(path_);
  PutShort(file, kHeaderSize + 12, 15, "zz");
  WriteBytes(path_, file);

  TFileDB again(path_);
  EXPECT_TRUE(TFileDB::IndexLoaded());
  EXPECT_EQ(Names(again), (std::vector<std::string>{"amy", "cy"}));
  EXPECT_EQ(again.SlotCount(), 3);
  EXPECT_EQ(again.LastChangedSlot(), 1);
  EXPECT_EQ(again.LastChangeTime(), deletedAt);
  EXPECT_EQ(again.FreeSlots(), Slots({1}));
  auto bob = std::make_unique<CharDataRecord>();
  {
    Opened open(again);
    ASSERT_TRUE(again.ReadSlot(1, *bob));
  }
  EXPECT_EQ(bob->UpdateTime(), again.LastChangeTime());
  // The next Add reuses the deleted slot.
  {
    Opened open(again);
    auto dan = ToRecord(Live("Dan", 4));
    ASSERT_TRUE(again.Add(*dan));
  }
  EXPECT_EQ(again.NameList().Value(again.FindName("dan")), 1);
}

// A data file of four slots, the last deleted, whose header names slot 1 as the last change;
// and an index file that agrees with it but lists other names, so that a loaded index and a
// scan can be told apart.
TEST_F(KemDbTest, IndexFileIsTrustedOnlyWhenItAgreesWithTheDataFile) {
  constexpr double kChanged = 41000.25;
  struct Case {
    const char* what;
    std::function<void(IndexFields&, std::string& data)> change;
    bool trusted;
  };
  const Case cases[] = {
      {"agreeing index", [](IndexFields&, std::string&) {}, true},
      {"account index description",
       [](IndexFields& i, std::string&) { i.description = kAccountIndexSignature; }, false},
      {"description one byte off", [](IndexFields& i, std::string&) { i.description.back() = '1'; },
       false},
      {"empty description", [](IndexFields& i, std::string&) { i.description.clear(); }, false},
      {"other SlotCount", [](IndexFields& i, std::string&) { i.slotCount = 5; }, false},
      {"other LastChangedSlot", [](IndexFields& i, std::string&) { i.lastChangedSlot = 2; }, false},
      {"last-changed record rewritten since",
       [](IndexFields&, std::string& data) {
         PutDouble(data, kHeaderSize + kRecordSize + 4, kChanged + 1.0 / 1024);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string data = FileHeader({4, 1, kChanged}) + Live("x0", 1) + Live("x1", 2, kChanged) +
                       Live("x2", 3) + Dead(4);
    IndexFields index{
        kCharIndexSignature, 4, 1, kChanged, {{"Zed", 0}, {"amy", 1}, {"Bob", 2}}, {3}};
    c.change(index, data);
    WriteBytes(path_, data);
    WriteBytes(index_, IndexFile(index));
    using NameSlots = std::vector<std::pair<std::string, int32_t>>;
    {
      const TFileDB db(path_);
      EXPECT_TRUE(TFileDB::IndexLoaded());
      EXPECT_EQ(db.FreeSlots(), Slots({3}));
      EXPECT_EQ(db.LastChangedSlot(), 1);
      if (c.trusted) {
        // Loaded and put in NameList order.
        EXPECT_EQ(NamesAndSlots(db), (NameSlots{{"amy", 1}, {"Bob", 2}, {"Zed", 0}}));
        EXPECT_EQ(db.LastChangeTime(), kChanged);
      } else {
        EXPECT_EQ(NamesAndSlots(db), (NameSlots{{"x0", 0}, {"x1", 1}, {"x2", 2}}));
      }
    }
    // The destruction wrote the index of what the object held.
    const std::string written = ReadBytes(index_);
    ASSERT_GE(written.size(), kIndexHeaderSize + kIndexEntrySize);
    EXPECT_EQ(GetLe32(written, 100), 3);
    EXPECT_EQ(GetLe32(written, 104), 4);
    EXPECT_EQ(written.substr(kIndexHeaderSize + 1, 2), c.trusted ? "am" : "x0");
  }
}

TEST_F(KemDbTest, SavingTheIndexDoesNotTruncateALongerOldOne) {
  WriteKem({1}, {Live("amy", 1)});
  const std::string junk(2000, '\xAB');  // rejected: no valid description
  WriteBytes(index_, junk);
  { const TFileDB db(path_); }
  const std::string written = ReadBytes(index_);
  ASSERT_EQ(written.size(), junk.size());
  const size_t end = kIndexHeaderSize + kIndexEntrySize;
  ExpectIndex(written.substr(0, end), {kCharIndexSignature, 1, -1, 40000.5, {{"amy", 0}}, {}});
  EXPECT_EQ(written.substr(end), junk.substr(end));
}

TEST_F(KemDbTest, ScanCutShortByShutdownWritesNoIndex) {
  WriteKem({2}, {Live("amy", 1), Live("bob", 2)});
  platform::SetShuttingDown(true);
  {
    const TFileDB db(path_);
    EXPECT_FALSE(TFileDB::IndexLoaded());
  }
  platform::SetShuttingDown(false);
  EXPECT_FALSE(fs::exists(index_));
}

// A data file that cannot be opened says nothing about its index: the index is not taken, and
// it is not overwritten with an empty list when the object goes.
TEST_F(KemDbTest, IndexOfADataFileThatCannotBeOpenedIsNeitherTrustedNorRewritten) {
  fs::create_directory(path_);  // exists, but cannot be opened as a file
  const std::string index =
      IndexFile({kCharIndexSignature, 2, -1, 0, {{"amy", 0}, {"bob", 1}}, {}});
  WriteBytes(index_, index);
  {
    const TFileDB db(path_);
    EXPECT_EQ(db.NameCount(), 0);
  }
  EXPECT_EQ(ReadBytes(index_), index);

  fs::remove(index_);
  { const TFileDB db(path_); }
  EXPECT_FALSE(fs::exists(index_));
}

// The deletion mark is written but the header write that follows fails. Whatever the result,
// the slot must not stay listed under the old name while it is also offered for reuse: the next
// Add would put another character there and the old name would then lead to it.
TEST_F(KemDbTest, FailedHeaderWriteDuringDeletionNeverListsASlotThatIsAlsoFree) {
  WriteKem({2}, {Live("amy", 1), Live("bob", 2)});
  TFileDB db(path_);
  Opened open(db);
  env_.writeFault = [this](const fs::path& file, int64_t offset, size_t) {
    return !(file == path_ && offset == 0);
  };
  db.DeleteByName("bob");
  env_.writeFault = nullptr;
  auto dan = ToRecord(Live("dan", 3));
  ASSERT_TRUE(db.Add(*dan));

  std::vector<int32_t> used(db.FreeSlots());
  for (int i = 0; i < db.NameCount(); ++i) used.push_back(db.NameList().Value(i));
  std::sort(used.begin(), used.end());
  EXPECT_EQ(std::adjacent_find(used.begin(), used.end()), used.end())
      << "a slot is listed twice or listed and free";
}

TEST_F(KemDbTest, CompactReportsProgressAndDropsDeletedRecords) {
  const std::vector<std::string> records = {Live("amy", 1), Dead(2), Live("cy", 3)};
  const std::string before = WriteKem({3, 2, 40000.75}, records);
  {
    TFileDB db(path_);
    ASSERT_EQ(db.FreeSlots(), Slots({1}));
    RecordingSink sink;
    const TDateTime compacted = Reading(1);
    ASSERT_TRUE(db.Compact(&sink));

    using Posts = std::vector<std::pair<int32_t, int32_t>>;
    EXPECT_EQ(sink.posts, (Posts{{1, 3}, {2, 3}, {2, 3}, {3, 3}}));
    std::string expected = before.substr(0, kHeaderSize);
    PutLe32(expected, 104, 2);
    PutDouble(expected, 116, compacted);
    expected += records[0] + records[2];
    EXPECT_TRUE(SameBytes(ReadBytes(path_), expected));
    EXPECT_EQ(env_.sleptMs, 50);
    EXPECT_FALSE(fs::exists(Path("Kem#$00.DB")));
  }
  // The index saved at destruction still describes the old file and must not be used.
  ASSERT_TRUE(fs::exists(index_));
  const TFileDB again(path_);
  EXPECT_EQ(again.SlotCount(), 2);
  EXPECT_TRUE(again.FreeSlots().empty());
  EXPECT_EQ(again.NameList().Value(again.FindName("cy")), 1);
}

// With the system's own files the kept records are copied in runs inside the kernel; the
// result must be the same bytes as any other copy.
TEST_F(KemDbTest, CompactWithTheRealFilesCopiesRunsOfRecords) {
  const std::vector<std::string> records = {Live("amy", 1), Live("bo", 2), Dead(3),      Dead(4),
                                            Live("cy", 5),  Dead(6),       Live("di", 7)};
  const std::string before = WriteKem({7}, records);
  platform::ScopedEnv real(platform::DefaultEnv());
  {
    TFileDB db(path_);
    ASSERT_TRUE(db.Compact(nullptr));
  }
  const std::string after = ReadBytes(path_);
  ASSERT_EQ(after.size(), kHeaderSize + 4 * kRecordSize);
  EXPECT_EQ(GetLe32(after, 104), 4);
  EXPECT_TRUE(
      SameBytes(after.substr(kHeaderSize), records[0] + records[1] + records[4] + records[6]));
  EXPECT_FALSE(fs::exists(Path("Kem#$00.DB")));
}

TEST_F(KemDbTest, CompactWithoutProgressKeepsLiveUnnamedRecords) {
  const std::vector<std::string> records = {KemRecord({false, "", 39000.0, 1}), Live("amy", 2)};
  const std::string before = WriteKem({2}, records);
  TFileDB db(path_);
  const TDateTime compacted = Reading(1);
  ASSERT_TRUE(db.Compact(nullptr));
  std::string expected = before;
  PutDouble(expected, 116, compacted);
  EXPECT_TRUE(SameBytes(ReadBytes(path_), expected));
  EXPECT_EQ(env_.sleptMs, 50);
  EXPECT_FALSE(fs::exists(Path("Kem#$00.DB")));
}

}  // namespace
}  // namespace zkq
