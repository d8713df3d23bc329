// Database files larger than every buffer their readers use. A reader that works through a
// fixed-size buffer passes every small test even when it stops after its first buffer, so the
// files here reach well past each one: the account scan reads 2048 records at a time, the
// character index scan 8192, the compactions about 1 MiB, the character data merge 42 records
// per block, the index files 4096 entries and the character data index 16384 free slots.
//
// The files are built byte by byte at the documented offsets. Every record's uninterpreted bytes
// carry a pattern of their own, so that a record copied from the wrong place, or cut short, is
// caught by a byte-for-byte comparison.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "dbfiles/filedb.h"
#include "dbfiles/filehumdb.h"
#include "dbfiles/fileiddb.h"
#include "merge/account_merge.h"
#include "merge/chardata_merge.h"
#include "merge/charindex_merge.h"
#include "platform/env.h"
#include "support/bytes.h"
#include "support/test_support.h"
#include "support/text_files.h"
#include "support/zones.h"

namespace zkq {
namespace {

using test::GetLe32;
using test::PutLe16;
using test::PutLe32;
using test::PutShort;
using test::SameBytes;
using test::ShortAt;
using test::WriteBytes;
namespace fs = std::filesystem;
using Bytes = std::string;
using Listing = std::vector<std::pair<std::string, int32_t>>;

constexpr size_t kHeaderSize = test::kHeaderSize;
constexpr size_t kIdSize = test::kAccountRecordSize;
constexpr size_t kHumSize = test::kCharIndexRecordSize;
constexpr size_t kKemSize = test::kKemRecordSize;
constexpr size_t kMiB = size_t{1} << 20;

// Offsets inside the records.
constexpr size_t kIdName = 32;  // short string, capacity 10
constexpr size_t kIdFreeLink = 24;
constexpr size_t kCharKey = 12;      // short string, capacity 15 (both character files)
constexpr size_t kCharName = 28;     // short string, capacity 14 (both character files)
constexpr size_t kHumAccount = 43;   // short string, capacity 10
constexpr size_t kKemAccount = 255;  // short string, capacity 10
constexpr size_t kKemItems66Count = 500;

// Deleted markers: the first byte of a record, which deletes it whenever it is not zero.
constexpr uint8_t kDeletedMarkers[] = {1, 2, 0x7F, 0x80, 0xFF};

size_t SlotAt(size_t recordSize, size_t slot) {
  return kHeaderSize + recordSize * slot;
}

// `prefix` followed by n in at least `digits` digits.
std::string Numbered(std::string_view prefix, int n, size_t digits) {
  std::string number = std::to_string(n);
  if (number.size() < digits) number.insert(0, digits - number.size(), '0');
  return std::string(prefix) + number;
}

// `size` bytes of a pattern of its own for each seed.
Bytes Patterned(size_t size, uint32_t seed) {
  const uint32_t h = seed * 2654435761u;
  const uint32_t start = h >> 24;
  const uint32_t step = ((h >> 16) & 0xFF) | 1;
  Bytes r(size, '\0');
  char* p = r.data();
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<char>((start + i * step) & 0xFF);
  return r;
}

// The name lists' order: bytes compared unsigned with a-z read as A-Z, a prefix first.
bool NameBefore(const std::string& a, const std::string& b) {
  auto fold = [](char c) {
    const auto u = static_cast<uint8_t>(c);
    return u >= 'a' && u <= 'z' ? static_cast<uint8_t>(u - 0x20) : u;
  };
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [&](char x, char y) { return fold(x) < fold(y); });
}

// What a test puts into one slot. A deleted record keeps its (stale) name.
struct Slot {
  std::string name;
  uint8_t marker = 0;  // the first byte: 0 for a live record
  std::string account = {};
  bool live() const { return marker == 0; }
  bool named() const { return live() && !name.empty(); }
};

// The markers given to the deleted slots in turn.
uint8_t NextMarker(int& deletedSoFar) {
  return kDeletedMarkers[static_cast<size_t>(deletedSoFar++) % std::size(kDeletedMarkers)];
}

// ---- records ----

// No last change: an index file saved for the file is then checked by its counts alone.
Bytes IdHeader(size_t slots) {
  Bytes h = test::Header(test::kAccountFileSignature, 34, slots);
  PutLe32(h, 92, -1);
  return h;
}

Bytes CharHeader(size_t slots) {
  Bytes h = test::Header(test::kCharFileSignature, 35, slots);
  PutLe32(h, 92, -1);
  return h;
}

Bytes IdRecord(const Slot& s, uint32_t seed) {
  Bytes r = Patterned(kIdSize, seed);
  r[0] = static_cast<char>(s.marker);
  PutShort(r, kIdName, 10, s.name);
  return r;
}

Bytes HumRecord(const Slot& s, uint32_t seed) {
  Bytes r = Patterned(kHumSize, seed);
  r[0] = static_cast<char>(s.marker);
  PutShort(r, kCharKey, 15, s.name);
  PutShort(r, kCharName, 14, s.name);
  PutShort(r, kHumAccount, 10, s.account);
  return r;
}

// Character data: an item array's offset and slot count.
struct Array {
  size_t at;
  int slots;
};
constexpr size_t kItemSize = 85;
constexpr Array kItems9{582, 9};
constexpr Array kItems66{1347, 66};
constexpr Array kItems120{7277, 120};
constexpr Array kItems20{17477, 20};
constexpr Array kItems5{20198, 5};
constexpr Array kItems30{20623, 30};
constexpr Array kArrays[] = {kItems9, kItems66, kItems120, kItems20, kItems5, kItems30};

// The short-string fields of a character data record that a merge may rename: key, name, the
// two linked names, the account, the hero and the owner.
constexpr std::pair<size_t, size_t> kKemNameFields[] = {
    {kCharKey, 15},    {kCharName, 14}, {116, 19},  {168, 20},
    {kKemAccount, 10}, {19181, 14},     {19196, 14}};

// The items a record of this seed holds, in the order the renumbering visits them: Items66 (the
// first Items66Count slots), Items9, Items120, Items20, Items5, Items30. Item k sits at the
// returned offset.
std::vector<size_t> ItemOffsets(uint32_t seed) {
  std::vector<size_t> at;
  auto add = [&](const Array& a, int slot) { at.push_back(a.at + kItemSize * size_t(slot)); };
  for (int i = 0; i < static_cast<int>(seed % 3); ++i) add(kItems66, i);
  for (int i = 0; i < static_cast<int>(seed % 4); ++i) add(kItems9, i);
  for (int i = 0; i < static_cast<int>(seed % 5); ++i) add(kItems120, 7 + 30 * i);
  if (seed % 2 == 1) add(kItems5, 4);
  if (seed % 7 == 0) add(kItems30, 29);
  return at;
}

// A character data record: the name fields a merge renames are empty apart from key, name and
// account, ExtraLinkFlag is 0, and the items of ItemOffsets(seed) are in use, each with an
// InstanceRef that repeats its InstanceId.
Bytes KemRecord(const Slot& s, uint32_t seed) {
  Bytes r = Patterned(kKemSize, seed);
  r[0] = static_cast<char>(s.marker);
  for (const auto& [at, capacity] : kKemNameFields)
    std::fill_n(r.begin() + static_cast<std::ptrdiff_t>(at), capacity + 1, '\0');
  r[254] = 0;  // ExtraLinkFlag
  for (const Array& a : kArrays)
    std::fill_n(r.begin() + static_cast<std::ptrdiff_t>(a.at), kItemSize * size_t(a.slots), '\0');
  r[kKemItems66Count] = static_cast<char>(seed % 3);
  uint32_t k = 0;
  for (const size_t at : ItemOffsets(seed)) {
    r.replace(at, kItemSize, Patterned(kItemSize, seed * 977 + k));
    const auto id = static_cast<int32_t>(1000000 + seed * 16 + k);
    PutLe32(r, at, id);                                // InstanceId
    PutLe16(r, at + 4, static_cast<uint16_t>(1 + k));  // ItemIndex
    PutLe32(r, at + 45, id);                           // InstanceRef
    ++k;
  }
  PutShort(r, kCharKey, 15, s.name);
  PutShort(r, kCharName, 14, s.name);
  PutShort(r, kKemAccount, 10, s.account);
  return r;
}

// ---- the three files alike ----

struct FileKind {
  const char* label;
  size_t recordSize;
  Bytes (*header)(size_t slots);
  Bytes (*record)(const Slot& s, uint32_t seed);
  std::unique_ptr<TDBFile> (*open)(const fs::path& path);
  // The compaction: of the account file, one that purges no account.
  bool (*compact)(TDBFile& file);
  const char* tempName;  // the compaction's temporary file, in the current folder
};

const FileKind kIdDb{
    "Id.db",
    kIdSize,
    IdHeader,
    IdRecord,
    [](const fs::path& p) -> std::unique_ptr<TDBFile> { return std::make_unique<TFileIDDB>(p); },
    [](TDBFile& f) {
      return static_cast<TFileIDDB&>(f).Compact([](std::string_view) { return false; });
    },
    "ID#$00.DB"};
const FileKind kHumDb{
    "Hum.db",
    kHumSize,
    CharHeader,
    HumRecord,
    [](const fs::path& p) -> std::unique_ptr<TDBFile> { return std::make_unique<TFileHumDB>(p); },
    [](TDBFile& f) { return static_cast<TFileHumDB&>(f).Compact(); },
    "Hum#$00.DB"};
const FileKind kKemDb{
    "Kem.db",
    kKemSize,
    CharHeader,
    KemRecord,
    [](const fs::path& p) -> std::unique_ptr<TDBFile> { return std::make_unique<TFileDB>(p); },
    [](TDBFile& f) { return static_cast<TFileDB&>(f).Compact(nullptr); },
    "Kem#$00.DB"};

// The records of `slots`, seeded from `seedBase` on.
std::vector<Bytes> Records(const FileKind& kind, const std::vector<Slot>& slots,
                           uint32_t seedBase) {
  std::vector<Bytes> records;
  records.reserve(slots.size());
  for (size_t i = 0; i < slots.size(); ++i)
    records.push_back(kind.record(slots[i], seedBase + static_cast<uint32_t>(i)));
  return records;
}

// The whole file: a header counting the slots, the records, and `tail` bytes of a cut record.
Bytes FileBytes(const FileKind& kind, const std::vector<Bytes>& records, size_t tail = 0) {
  Bytes out = kind.header(records.size());
  out.reserve(out.size() + kind.recordSize * records.size() + tail);
  for (const Bytes& r : records) out += r;
  return out.append(tail, 'T');
}

// A whole file, read in one piece.
Bytes ReadBytes(const fs::path& path) {
  Bytes out(fs::file_size(path), '\0');
  std::ifstream in(path, std::ios::binary);
  in.read(out.data(), static_cast<std::streamsize>(out.size()));
  EXPECT_EQ(in.gcount(), static_cast<std::streamsize>(out.size())) << path;
  return out;
}

// ---- the slots of the test files ----

// An account file: "a0000" ..., every tenth slot deleted, every 500th live without a name.
std::vector<Slot> AccountSlots(int count) {
  std::vector<Slot> slots;
  int deleted = 0;
  for (int i = 0; i < count; ++i) {
    Slot s{Numbered("a", i, 4)};
    if (i % 10 == 7)
      s.marker = NextMarker(deleted);
    else if (i % 500 == 250)
      s.name.clear();
    slots.push_back(s);
  }
  return slots;
}

// A character index: "h00000" ..., three characters to an account, every ninth slot deleted.
std::vector<Slot> CharIndexSlots(int count) {
  std::vector<Slot> slots;
  int deleted = 0;
  for (int i = 0; i < count; ++i) {
    Slot s{Numbered("h", i, 5), 0, Numbered("b", i / 3, 4)};
    if (i % 9 == 4) s.marker = NextMarker(deleted);
    slots.push_back(s);
  }
  return slots;
}

// Character data: "k000" ..., deleted slots in short runs up to slot 120, then a run of 60 live
// records (more than 1 MiB), the first slot deleted and the last one live; slots 77, 177 ... live
// without a name.
std::vector<Slot> CharDataSlots(int count) {
  std::vector<Slot> slots;
  int deleted = 0;
  for (int i = 0; i < count; ++i) {
    Slot s{Numbered("k", i, 3), 0, Numbered("b", i, 3)};
    const bool gone =
        i == 0 || (i < 120 && (i % 23 == 5 || i % 23 == 6)) || i == 180 || i == count - 2;
    if (gone)
      s.marker = NextMarker(deleted);
    else if (i % 100 == 77)
      s.name.clear();
    slots.push_back(s);
  }
  return slots;
}

// ---- what the file objects hold ----

Listing Listed(const TDBFile& f) {
  Listing out;
  for (int i = 0; i < f.NameList().Count(); ++i)
    out.emplace_back(f.NameList().Text(i), f.NameList().Value(i));
  return out;
}

// The named live records of `slots` with their slots, in name order.
Listing NamedSlots(const std::vector<Slot>& slots) {
  Listing out;
  for (size_t i = 0; i < slots.size(); ++i)
    if (slots[i].named()) out.emplace_back(slots[i].name, static_cast<int32_t>(i));
  std::sort(out.begin(), out.end(),
            [](const auto& a, const auto& b) { return NameBefore(a.first, b.first); });
  return out;
}

std::vector<int32_t> SlotsWhere(const std::vector<Slot>& slots,
                                const std::function<bool(const Slot&)>& pred) {
  std::vector<int32_t> out;
  for (size_t i = 0; i < slots.size(); ++i)
    if (pred(slots[i])) out.push_back(static_cast<int32_t>(i));
  return out;
}

// Two long sequences compared by their sizes and their first difference, not dumped whole.
template <class T, class Print>
::testing::AssertionResult SameSequence(const std::vector<T>& actual,
                                        const std::vector<T>& expected, Print print) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  auto failure = ::testing::AssertionFailure();
  failure << actual.size() << " items, expected " << expected.size() << "; first difference at "
          << i << ":";
  failure << " found " << (i < actual.size() ? print(actual[i]) : std::string("nothing"));
  failure << ", expected " << (i < expected.size() ? print(expected[i]) : std::string("nothing"));
  return failure;
}

::testing::AssertionResult SameListing(const Listing& actual, const Listing& expected) {
  return SameSequence(actual, expected, [](const std::pair<std::string, int32_t>& e) {
    return "\"" + e.first + "\" in slot " + std::to_string(e.second);
  });
}

::testing::AssertionResult SameSlots(const std::vector<int32_t>& actual,
                                     const std::vector<int32_t>& expected) {
  return SameSequence(actual, expected, [](int32_t s) { return "slot " + std::to_string(s); });
}

// Many record comparisons, reported as the number that differ and the first of them.
class RecordCheck {
 public:
  void Compare(const std::string& what, std::string_view actual, std::string_view expected) {
    ++compared_;
    if (actual == expected) return;
    if (failed_++ == 0) first_ = what + ": " + std::string(SameBytes(actual, expected).message());
  }
  ::testing::AssertionResult Result() const {
    if (failed_ == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << failed_ << " of " << compared_ << " records differ; the first, " << first_;
  }

 private:
  int compared_ = 0, failed_ = 0;
  std::string first_;
};

class LargeFilesTest : public test::FileTest {
 protected:
  LargeFilesTest() { Log().Reset(); }

  fs::path Folder(const std::string& name) {
    fs::create_directories(Path(name));
    return Path(name);
  }
};

// Fails every read of one file that reaches a chosen byte, as a bad sector would. Everything
// else goes to the environment below, its write faults included.
class ReadFaultEnv : public platform::EnvWrapper {
 public:
  explicit ReadFaultEnv(platform::Env* below) : EnvWrapper(below) {}

  // From the `skip`+1-th read of `file` that reaches byte `at` on.
  void FailReadsAt(const fs::path& file, int64_t at, int skip = 0) {
    file_ = file;
    at_ = at;
    skip_ = skip;
    failures = 0;
  }
  void Clear() {
    file_.clear();
    failures = 0;
  }

  std::unique_ptr<platform::RandomRWFile> Open(const fs::path& path, platform::OpenMode mode,
                                               std::error_code& ec) override {
    auto inner = EnvWrapper::Open(path, mode, ec);
    if (!inner) return nullptr;
    return std::make_unique<File>(std::move(inner), path, this);
  }

  int failures = 0;

 private:
  class File : public platform::RandomRWFile {
   public:
    File(std::unique_ptr<platform::RandomRWFile> inner, fs::path path, ReadFaultEnv* env)
        : inner_(std::move(inner)), path_(std::move(path)), env_(env) {}
    int64_t Read(int64_t offset, void* buf, size_t n) override {
      if (!env_->file_.empty() && path_ == env_->file_ && offset <= env_->at_ &&
          env_->at_ < offset + static_cast<int64_t>(n) && env_->skip_-- <= 0) {
        ++env_->failures;
        error_ = std::make_error_code(std::errc::io_error);
        return -1;
      }
      return inner_->Read(offset, buf, n);
    }
    bool Write(int64_t offset, const void* buf, size_t n) override {
      return inner_->Write(offset, buf, n);
    }
    int64_t Size() override { return inner_->Size(); }
    bool Sync() override { return inner_->Sync(); }
    bool Close() override { return inner_->Close(); }
    std::error_code LastError() const override { return error_ ? error_ : inner_->LastError(); }

   private:
    std::unique_ptr<platform::RandomRWFile> inner_;
    fs::path path_;
    ReadFaultEnv* env_;
    std::error_code error_;
  };

  fs::path file_;
  int64_t at_ = -1;
  int skip_ = 0;
};

// ---- scans ----

TEST_F(LargeFilesTest, AccountScanListsEveryAccountAndChainsEveryDeletedSlot) {
  const std::vector<Slot> slots = AccountSlots(4800);
  const Bytes original = FileBytes(kIdDb, Records(kIdDb, slots, 0));
  ASSERT_GT(slots.size(), 2u * 2048);  // more than two reads of the scan
  ASSERT_GT(original.size(), kMiB);
  const Listing expected = NamedSlots(slots);
  ASSERT_GT(expected.size(), 4096u);  // more entries than the index file gives in one read
  const fs::path path = Path("Id.db");
  WriteBytes(path, original);

  {
    TFileIDDB db(path);
    EXPECT_TRUE(SameListing(Listed(db), expected));
    // Each deleted slot links to the deleted slot before it; the chain starts at the last one.
    Bytes chained = original;
    int32_t previous = -1;
    for (const int32_t slot : SlotsWhere(slots, [](const Slot& s) { return !s.live(); })) {
      PutLe32(chained, SlotAt(kIdSize, size_t(slot)) + kIdFreeLink, previous);
      previous = slot;
    }
    EXPECT_EQ(db.FreeHead(), previous);
    EXPECT_TRUE(SameBytes(ReadBytes(path), chained));
  }

  // The index file saved at destruction, read by the next object instead of the records.
  EXPECT_EQ(ReadBytes(Path("Id.db.idx")).size(), 120 + 16 * expected.size());
  TFileIDDB again(path);
  EXPECT_EQ(again.FreeHead(), -1);  // a scan would have found the chain
  EXPECT_TRUE(SameListing(Listed(again), expected));
}

TEST_F(LargeFilesTest, CharIndexScanListsEveryCharacterAndFreesEveryDeletedSlot) {
  const std::vector<Slot> slots = CharIndexSlots(15000);
  const Bytes original = FileBytes(kHumDb, Records(kHumDb, slots, 0));
  ASSERT_GT(original.size(), kMiB);
  const fs::path path = Path("Hum.db");
  WriteBytes(path, original);

  TFileHumDB db(path);
  EXPECT_TRUE(SameListing(Listed(db), NamedSlots(slots)));
  EXPECT_TRUE(
      SameSlots(db.FreeSlots(), SlotsWhere(slots, [](const Slot& s) { return !s.live(); })));
  // Every account lists its live characters in slot order.
  std::vector<std::pair<std::string, std::vector<int32_t>>> accounts;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i].live()) continue;
    if (accounts.empty() || accounts.back().first != slots[i].account)
      accounts.push_back({slots[i].account, {}});
    accounts.back().second.push_back(static_cast<int32_t>(i));
  }
  EXPECT_EQ(db.AccountList().Count(), static_cast<int>(accounts.size()));
  for (const auto& [account, expectedSlots] : accounts) {
    const TQuickIDList::Entries* entries = nullptr;
    std::vector<int32_t> listed;
    if (db.AccountList().FindAccount(account, &entries) >= 0 && entries != nullptr)
      for (const CharEntry& e : *entries) listed.push_back(e.slot);
    const auto same = SameSlots(listed, expectedSlots);
    if (!same) {
      ADD_FAILURE() << "account " << account << ": " << same.message();
      break;
    }
  }
  EXPECT_TRUE(SameBytes(ReadBytes(path), original));  // the scan writes nothing
}

TEST_F(LargeFilesTest, CharDataScanListsEveryCharacterAndFreesEveryDeletedOrNamelessSlot) {
  const std::vector<Slot> slots = CharDataSlots(200);
  const Bytes original = FileBytes(kKemDb, Records(kKemDb, slots, 0));
  const fs::path path = Path("Kem.db");
  WriteBytes(path, original);

  TFileDB db(path);
  EXPECT_TRUE(SameListing(Listed(db), NamedSlots(slots)));
  EXPECT_TRUE(
      SameSlots(db.FreeSlots(), SlotsWhere(slots, [](const Slot& s) { return !s.named(); })));
  EXPECT_TRUE(SameBytes(ReadBytes(path), original));
}

TEST_F(LargeFilesTest, CharDataIndexOfMoreNamesAndFreeSlotsThanOneReadIsSavedAndLoadedWhole) {
  // 21000 slots, every fifth one named: 4200 names (more than 4096) and 16800 free slots (more
  // than 16384). The slots between the named records are holes in the file: zeros, no name.
  constexpr size_t kSlots = 21000;
  std::vector<Slot> slots(kSlots);
  for (size_t i = 2; i < kSlots; i += 5) slots[i].name = Numbered("n", int(i), 5);
  const fs::path path = Path("Kem.db");
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const Bytes header = CharHeader(kSlots);
    out.write(header.data(), std::streamsize(header.size()));
    for (size_t i = 0; i < kSlots; ++i) {
      if (slots[i].name.empty()) continue;
      Bytes head(64, '\0');
      PutShort(head, kCharKey, 15, slots[i].name);
      PutShort(head, kCharName, 14, slots[i].name);
      out.seekp(std::streamoff(SlotAt(kKemSize, i)));
      out.write(head.data(), std::streamsize(head.size()));
    }
  }
  fs::resize_file(path, SlotAt(kKemSize, kSlots));
  const Listing expectedNames = NamedSlots(slots);
  const std::vector<int32_t> expectedFree =
      SlotsWhere(slots, [](const Slot& s) { return s.name.empty(); });

  {
    TFileDB db(path);
    EXPECT_TRUE(SameListing(Listed(db), expectedNames));
    EXPECT_TRUE(SameSlots(db.FreeSlots(), expectedFree));
  }
  const Bytes index = ReadBytes(Path("Kem.db.idx"));
  EXPECT_EQ(index.size(), 128 + 20 * expectedNames.size() + 4 * expectedFree.size());

  // A name written into a free slot behind the index's back: a scan would list it, the index
  // does not.
  {
    std::fstream patch(path, std::ios::binary | std::ios::in | std::ios::out);
    patch.seekp(std::streamoff(SlotAt(kKemSize, 1) + kCharKey));
    patch.write("\x08intruder", 9);
  }
  TFileDB again(path);
  EXPECT_EQ(again.FindName("intruder"), -1);
  EXPECT_TRUE(SameListing(Listed(again), expectedNames));
  EXPECT_TRUE(SameSlots(again.FreeSlots(), expectedFree));
}

// A read error is not the end of the file: the names behind it are missing from the list, so the
// object must say that it failed, and the part it listed must not be saved as an index file that
// later objects take for the whole list.
TEST_F(LargeFilesTest, ReadErrorInTheMiddleOfAScanIsReportedAndNoPartialListOutlivesIt) {
  struct Case {
    const FileKind& kind;
    std::vector<Slot> slots;
    size_t faultSlot;  // a read reaching this slot's record header fails
  };
  const Case cases[] = {
      {kIdDb, AccountSlots(3400), 3000},     // in the second read of 2048 records
      {kHumDb, CharIndexSlots(9000), 8500},  // in the second read of 8192 records
      {kKemDb, CharDataSlots(200), 150},
  };
  ReadFaultEnv reads(&env_);
  platform::ScopedEnv useReads(&reads);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind.label);
    const fs::path path = Folder(c.kind.label) / c.kind.label;
    WriteBytes(path, FileBytes(c.kind, Records(c.kind, c.slots, 0)));
    const auto named = static_cast<int>(NamedSlots(c.slots).size());

    reads.FailReadsAt(path, static_cast<int64_t>(SlotAt(c.kind.recordSize, c.faultSlot) + 5));
    {
      auto db = c.kind.open(path);
      ASSERT_GT(reads.failures, 0);
      EXPECT_FALSE(db->LastError().empty())
          << "the scan ended at a read error without a word; it listed " << db->NameList().Count()
          << " of " << named << " names";
    }
    reads.Clear();
    auto db = c.kind.open(path);
    EXPECT_EQ(db->NameList().Count(), named)
        << "the next object, with nothing failing, took the names listed before the read error "
           "for all of them";
  }
}

// ---- merges ----

TEST_F(LargeFilesTest, ReadErrorInTheSlaveFileEndsTheMergeInsteadOfEndingTheSlaveEarly) {
  struct Case {
    const FileKind& kind;
    std::vector<Slot> slaves;
    size_t faultSlot;  // the merge's read reaching this slot's record fails (the scan's does not)
    bool (*merge)(const fs::path& mainPath, const fs::path& slavePath);
  };
  const Case cases[] = {
      {kIdDb, AccountSlots(5000), 4500, MergeAccounts},          // the second read of the walk
      {kHumDb, CharIndexSlots(9000), 8500, MergeCharacterIndex},  // likewise
      {kKemDb, CharDataSlots(120), 100, MergeCharacterData},     // the third of 42 records
  };
  ReadFaultEnv reads(&env_);
  platform::ScopedEnv useReads(&reads);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind.label);
    const fs::path mainPath = Folder(std::string("main-") + c.kind.label) / c.kind.label;
    const fs::path slavePath = Folder(std::string("slave-") + c.kind.label) / c.kind.label;
    WriteBytes(mainPath, c.kind.header(0));
    WriteBytes(slavePath, FileBytes(c.kind, Records(c.kind, c.slaves, 0)));
    reads.FailReadsAt(slavePath, static_cast<int64_t>(SlotAt(c.kind.recordSize, c.faultSlot) + 5),
                      1);
    try {
      const bool merged = c.merge(mainPath, slavePath);
      ADD_FAILURE() << "the merge returned " << merged << " after " << reads.failures
                    << " failed reads of the slave file";
    } catch (const FileError& e) {
      EXPECT_EQ(e.path(), slavePath);
      EXPECT_GT(reads.failures, 0);
    }
    reads.Clear();
  }
}

// Where the records a merge adds go: into the given free slots in turn, then after the last slot.
size_t TargetSlot(const std::vector<int32_t>& freeSlots, size_t slotCount, size_t nth) {
  return nth < freeSlots.size() ? size_t(freeSlots[nth]) : slotCount + nth - freeSlots.size();
}

TEST_F(LargeFilesTest, AccountMergeOfLargeFilesAddsEverySlaveAccountOnceAndKeepsEveryMainOne) {
  const std::vector<Slot> mainSlots = AccountSlots(3400);
  std::vector<Slot> slaveSlots;
  int deleted = 0;
  for (int i = 0; i < 2600; ++i) {
    Slot s{Numbered("s", i, 4)};
    if (i % 8 == 5)
      s = Slot{Numbered("x", i, 4), NextMarker(deleted)};
    else if (i % 6 == 0 && mainSlots[size_t(i)].named())
      s.name = Numbered("A", i, 4);  // the main file's "a<i>" in capitals: the same account
    slaveSlots.push_back(s);
  }
  const std::vector<Bytes> mainRecords = Records(kIdDb, mainSlots, 0);
  const std::vector<Bytes> slaveRecords = Records(kIdDb, slaveSlots, 100000);
  const fs::path mainPath = Folder("main") / "Id.db";
  const fs::path slavePath = Folder("slave") / "Id.db";
  WriteBytes(mainPath, FileBytes(kIdDb, mainRecords));
  WriteBytes(slavePath, FileBytes(kIdDb, slaveRecords));

  ASSERT_TRUE(MergeAccounts(mainPath, slavePath));

  const Bytes merged = ReadBytes(mainPath);
  RecordCheck check;
  for (size_t i = 0; i < mainSlots.size(); ++i)
    if (mainSlots[i].live())
      check.Compare("main slot " + std::to_string(i), merged.substr(SlotAt(kIdSize, i), kIdSize),
                    mainRecords[i]);
  // The slave's accounts in slot order, into the main file's deleted slots from the highest
  // down (the free chain), then at the end.
  std::vector<int32_t> freeSlots = SlotsWhere(mainSlots, [](const Slot& s) { return !s.live(); });
  std::reverse(freeSlots.begin(), freeSlots.end());
  size_t added = 0;
  int clashes = 0;
  for (size_t i = 0; i < slaveSlots.size(); ++i) {
    if (!slaveSlots[i].named()) continue;
    const size_t at = SlotAt(kIdSize, TargetSlot(freeSlots, mainSlots.size(), added++));
    Bytes expected = slaveRecords[i];
    if (slaveSlots[i].name[0] == 'A') {
      ++clashes;
      PutShort(expected, kIdName, 10, slaveSlots[i].name + "a");
    }
    expected[0] = 0;
    if (at + kIdSize <= merged.size()) expected.replace(4, 16, merged, at + 4, 16);  // times
    check.Compare("slave slot " + std::to_string(i), merged.substr(at, kIdSize), expected);
  }
  EXPECT_TRUE(check.Result());

  const size_t slotCount = mainSlots.size() + added - freeSlots.size();
  EXPECT_EQ(GetLe32(merged, 104), static_cast<int32_t>(slotCount));
  EXPECT_EQ(merged.size(), SlotAt(kIdSize, slotCount));
  EXPECT_EQ(GetLe32(merged, 112), -1);  // every deleted slot was used

  const TRenameList& renames = Process().accountNameMap;
  EXPECT_EQ(renames.Count(), static_cast<size_t>(clashes));
  for (size_t i = 0; i < slaveSlots.size(); i += 6) {
    if (slaveSlots[i].name[0] != 'A') continue;
    EXPECT_EQ(renames.Value(slaveSlots[i].name), slaveSlots[i].name + "a");
  }
  EXPECT_TRUE(fs::exists(Path(test::AccountListName())));
}

TEST_F(LargeFilesTest, CharIndexMergeOfLargeFilesAddsEverySlaveCharacterOnceAndKeepsEveryMainOne) {
  const std::vector<Slot> mainSlots = CharIndexSlots(10000);
  std::vector<Slot> slaveSlots;
  int deleted = 0;
  for (int i = 0; i < 4000; ++i) {
    Slot s{Numbered("g", i, 5), 0, Numbered("c", i / 3, 4)};
    if (i % 7 == 3) {
      s.name = Numbered("y", i, 5);
      s.marker = NextMarker(deleted);
    } else if (i % 5 == 0 && mainSlots[size_t(i)].live()) {
      s.name = Numbered("H", i, 5);  // the main file's "h<i>" in capitals: the same character
    }
    slaveSlots.push_back(s);
  }
  // The account merge before this one renamed every fourth slave account.
  for (int a = 0; a < 1400; a += 4)
    Process().accountNameMap.Add(Numbered("c", a, 4), Numbered("c", a, 4) + "a");

  const std::vector<Bytes> mainRecords = Records(kHumDb, mainSlots, 0);
  const std::vector<Bytes> slaveRecords = Records(kHumDb, slaveSlots, 100000);
  const fs::path mainPath = Folder("main") / "Hum.db";
  const fs::path slavePath = Folder("slave") / "Hum.db";
  WriteBytes(mainPath, FileBytes(kHumDb, mainRecords));
  WriteBytes(slavePath, FileBytes(kHumDb, slaveRecords));

  ASSERT_TRUE(MergeCharacterIndex(mainPath, slavePath));

  const Bytes merged = ReadBytes(mainPath);
  RecordCheck check;
  for (size_t i = 0; i < mainSlots.size(); ++i)
    if (mainSlots[i].live())
      check.Compare("main slot " + std::to_string(i), merged.substr(SlotAt(kHumSize, i), kHumSize),
                    mainRecords[i]);
  // The slave's characters in slot order, into the main file's free slots from the lowest up,
  // then at the end.
  const std::vector<int32_t> freeSlots =
      SlotsWhere(mainSlots, [](const Slot& s) { return !s.live(); });
  size_t added = 0;
  int clashes = 0;
  for (size_t i = 0; i < slaveSlots.size(); ++i) {
    const Slot& s = slaveSlots[i];
    if (!s.named()) continue;
    const size_t at = SlotAt(kHumSize, TargetSlot(freeSlots, mainSlots.size(), added++));
    Bytes expected = slaveRecords[i];
    if (s.name[0] == 'H') {
      ++clashes;
      PutShort(expected, kCharKey, 15, s.name + "a");
      PutShort(expected, kCharName, 14, s.name + "a");
    }
    if (std::stoi(s.account.substr(1)) % 4 == 0)
      PutShort(expected, kHumAccount, 10, s.account + "a");
    expected[0] = 0;
    if (at + kHumSize <= merged.size()) expected.replace(4, 8, merged, at + 4, 8);  // UpdateTime
    check.Compare("slave slot " + std::to_string(i), merged.substr(at, kHumSize), expected);
  }
  EXPECT_TRUE(check.Result());

  const size_t slotCount = mainSlots.size() + added - freeSlots.size();
  EXPECT_EQ(GetLe32(merged, 104), static_cast<int32_t>(slotCount));
  EXPECT_EQ(merged.size(), SlotAt(kHumSize, slotCount));
  EXPECT_EQ(Process().charNameMap.Count(), static_cast<size_t>(clashes));
  for (size_t i = 0; i < slaveSlots.size(); i += 5) {
    if (slaveSlots[i].name[0] != 'H') continue;
    EXPECT_EQ(Process().charNameMap.Value(slaveSlots[i].name), slaveSlots[i].name + "a");
  }
}

TEST_F(LargeFilesTest, CharDataMergeOfLargeFilesAddsEverySlaveRecordOnceAndNumbersEveryItem) {
  std::vector<Slot> mainSlots;
  int deleted = 0;
  for (int i = 0; i < 200; ++i) {
    Slot s{Numbered("m", i, 3), 0, Numbered("b", i, 3)};
    if (i % 10 == 7)
      s.marker = NextMarker(deleted);
    else if (i % 50 == 25)
      s.name.clear();  // no character: its slot is free
    mainSlots.push_back(s);
  }
  std::vector<Slot> slaveSlots;
  for (int i = 0; i < 120; ++i) {
    Slot s{Numbered("s", i, 3), 0, Numbered("c", i, 3)};
    if (i % 9 == 5)
      s = Slot{Numbered("z", i, 3), NextMarker(deleted), s.account};
    else if (i % 4 == 0 && mainSlots[size_t(i)].named())
      s.name = Numbered("M", i, 3);  // the main file's "m<i>" in capitals: the same character
    slaveSlots.push_back(s);
  }
  // What the account and character index merges before this one renamed.
  std::set<std::string> renamedAccounts;
  for (const Slot& s : slaveSlots) {
    if (s.named() && s.name[0] == 'M') Process().charNameMap.Add(s.name, s.name + "a");
    if (std::stoi(s.account.substr(1)) % 3 == 0) {
      Process().accountNameMap.Add(s.account, s.account + "x");
      renamedAccounts.insert(s.account);
    }
  }

  const uint32_t kSlaveSeeds = 5000;
  const std::vector<Bytes> mainRecords = Records(kKemDb, mainSlots, 0);
  const std::vector<Bytes> slaveRecords = Records(kKemDb, slaveSlots, kSlaveSeeds);
  const fs::path mainPath = Folder("main") / "Kem.db";
  const fs::path slavePath = Folder("slave") / "Kem.db";
  WriteBytes(mainPath, FileBytes(kKemDb, mainRecords));
  WriteBytes(slavePath, FileBytes(kKemDb, slaveRecords));

  ASSERT_TRUE(MergeCharacterData(mainPath, slavePath));

  // Each merged record: where it comes from, its name and the seed its items come from.
  struct Merged {
    Bytes expected;  // before its items are renumbered
    std::string name;
    uint32_t seed;
    size_t slot;
  };
  std::vector<Merged> records;
  for (size_t i = 0; i < mainSlots.size(); ++i)
    if (mainSlots[i].named())
      records.push_back({mainRecords[i], mainSlots[i].name, static_cast<uint32_t>(i), i});
  // The slave's records in name order, into the main file's free slots (deleted or nameless)
  // from the lowest up, then at the end.
  const std::vector<int32_t> freeSlots =
      SlotsWhere(mainSlots, [](const Slot& s) { return !s.named(); });
  const Listing slaveNames = NamedSlots(slaveSlots);
  for (size_t n = 0; n < slaveNames.size(); ++n) {
    const auto i = static_cast<size_t>(slaveNames[n].second);
    const Slot& s = slaveSlots[i];
    Merged m{slaveRecords[i], s.name, kSlaveSeeds + static_cast<uint32_t>(i),
             TargetSlot(freeSlots, mainSlots.size(), n)};
    if (s.name[0] == 'M') {
      m.name = s.name + "a";
      PutShort(m.expected, kCharKey, 15, m.name);
      PutShort(m.expected, kCharName, 14, m.name);
    }
    if (renamedAccounts.count(s.account) > 0)
      PutShort(m.expected, kKemAccount, 10, s.account + "x");
    records.push_back(std::move(m));
  }

  const Bytes merged = ReadBytes(mainPath);
  const size_t slotCount = mainSlots.size() + slaveNames.size() - freeSlots.size();
  EXPECT_EQ(GetLe32(merged, 104), static_cast<int32_t>(slotCount));
  ASSERT_EQ(merged.size(), SlotAt(kKemSize, slotCount));

  // Item numbers run from 1 over the records in name order, each record's in the order its
  // items are visited; the InstanceRef that repeated the old number follows it.
  std::sort(records.begin(), records.end(),
            [](const Merged& a, const Merged& b) { return NameBefore(a.name, b.name); });
  int32_t number = 0;
  std::string firstGap;
  RecordCheck check;
  for (Merged& m : records) {
    const size_t at = SlotAt(kKemSize, m.slot);
    for (const size_t item : ItemOffsets(m.seed)) {
      ++number;
      if (firstGap.empty() && GetLe32(merged, at + item) != number)
        firstGap = m.name + " holds item " + std::to_string(GetLe32(merged, at + item)) +
                   " where " + std::to_string(number) + " belongs";
      PutLe32(m.expected, item, number);
      PutLe32(m.expected, item + 45, number);
    }
    m.expected[0] = 0;
    m.expected.replace(4, 8, merged, at + 4, 8);  // UpdateTime
    check.Compare(m.name + " in slot " + std::to_string(m.slot), merged.substr(at, kKemSize),
                  m.expected);
  }
  EXPECT_EQ(firstGap, "");
  EXPECT_EQ(Process().itemCounter, static_cast<uint32_t>(number));
  EXPECT_TRUE(check.Result());
}

// ---- compactions ----

TEST_F(LargeFilesTest, AccountCompactionKeepsEveryRecordNotPurgedAndChainsTheDeletedOnes) {
  const std::vector<Slot> slots = AccountSlots(3400);
  const fs::path path = Path("Id.db");
  WriteBytes(path, FileBytes(kIdDb, Records(kIdDb, slots, 0)));
  TFileIDDB db(path);
  const Bytes scanned = ReadBytes(path);  // with the free chain the scan linked

  // Every thirteenth account goes, live or deleted.
  auto purged = [](std::string_view name) {
    return name.size() == 5 && std::stoi(std::string(name.substr(1))) % 13 == 0;
  };
  ASSERT_TRUE(db.Compact(purged)) << db.LastError();

  const Bytes compacted = ReadBytes(path);
  Bytes expected = scanned.substr(0, kHeaderSize);
  int32_t kept = 0, lastDeleted = -1;
  for (size_t i = 0; i < slots.size(); ++i) {
    if (purged(slots[i].name)) continue;
    Bytes r = scanned.substr(SlotAt(kIdSize, i), kIdSize);
    if (!slots[i].live()) {
      PutLe32(r, kIdFreeLink, lastDeleted);
      lastDeleted = kept;
    }
    expected += r;
    ++kept;
  }
  PutLe32(expected, 104, kept);
  PutLe32(expected, 112, lastDeleted);
  if (compacted.size() >= kHeaderSize) expected.replace(116, 8, compacted, 116, 8);
  EXPECT_TRUE(SameBytes(compacted, expected));
  EXPECT_FALSE(fs::exists(Path(kIdDb.tempName)));
}

TEST_F(LargeFilesTest, CharacterCompactionDropsEveryMarkedRecordAndKeepsEveryLiveOne) {
  struct Case {
    const FileKind& kind;
    std::vector<Slot> slots;
    size_t tail;  // bytes of a cut record at the end, never copied
  };
  std::vector<Slot> index = CharIndexSlots(17000);
  for (size_t i = 500; i < index.size(); i += 1000)
    if (index[i].live()) index[i].name.clear();  // live, without a name
  const Case cases[] = {{kHumDb, index, 30}, {kKemDb, CharDataSlots(200), 1000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind.label);
    const fs::path path = Path(c.kind.label);
    const std::vector<Bytes> records = Records(c.kind, c.slots, 0);
    WriteBytes(path, FileBytes(c.kind, records, c.tail));
    auto db = c.kind.open(path);
    ASSERT_TRUE(c.kind.compact(*db)) << db->LastError();

    const Bytes compacted = ReadBytes(path);
    Bytes expected = c.kind.header(0);
    int32_t kept = 0;
    for (size_t i = 0; i < c.slots.size(); ++i) {
      if (!c.slots[i].live()) continue;
      expected += records[i];
      ++kept;
    }
    PutLe32(expected, 104, kept);
    if (compacted.size() >= kHeaderSize) expected.replace(116, 8, compacted, 116, 8);
    EXPECT_TRUE(SameBytes(compacted, expected));
    EXPECT_FALSE(fs::exists(Path(c.kind.tempName)));

    // Per marker: the records deleted with it are all gone.
    std::multiset<std::string> names;
    for (size_t at = kHeaderSize; at + c.kind.recordSize <= compacted.size();
         at += c.kind.recordSize)
      names.insert(ShortAt(compacted, at + kCharKey, 15));
    for (const uint8_t marker : kDeletedMarkers) {
      SCOPED_TRACE("marker " + std::to_string(marker));
      int marked = 0, stayed = 0;
      for (const Slot& s : c.slots) {
        if (s.marker != marker) continue;
        ++marked;
        stayed += static_cast<int>(names.count(s.name));
      }
      EXPECT_GT(marked, 0);
      EXPECT_EQ(stayed, 0);
    }
    const auto nameless = std::count_if(c.slots.begin(), c.slots.end(),
                                        [](const Slot& s) { return s.live() && s.name.empty(); });
    EXPECT_GT(nameless, 0);
    EXPECT_EQ(static_cast<std::ptrdiff_t>(names.count("")), nameless);
  }
}

TEST_F(LargeFilesTest, CompactionReadsEveryWholeRecordUpToTheRealEndOfTheFile) {
  // The compaction reads as many whole records as fit in 1 MiB at a time. A file that ends where
  // a read ends makes the next read find nothing; one that ends inside a read makes it short.
  // Neither is an error, and a cut record at the end is left out.
  struct Case {
    const char* label;
    size_t more;  // whole records after the first read
    size_t tail;  // bytes of a cut record after them
  };
  const Case cases[] = {
      {"ending where a read ends", 0, 0},
      {"a cut record after a whole read", 0, 100},
      {"one record into the second read", 1, 0},
  };
  const size_t perRead = kMiB / kIdSize;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Slot> slots;
    for (size_t i = 0; i < perRead + c.more; ++i) slots.push_back(Slot{Numbered("r", int(i), 4)});
    const std::vector<Bytes> records = Records(kIdDb, slots, 0);
    const fs::path path = Folder("case" + std::to_string(n++)) / "Id.db";
    WriteBytes(path, FileBytes(kIdDb, records, c.tail));
    TFileIDDB db(path);
    EXPECT_TRUE(db.Compact([](std::string_view) { return false; })) << db.LastError();

    const Bytes compacted = ReadBytes(path);
    Bytes expected = FileBytes(kIdDb, records);
    if (compacted.size() >= kHeaderSize) expected.replace(116, 8, compacted, 116, 8);
    EXPECT_TRUE(SameBytes(compacted, expected));
  }
}

TEST_F(LargeFilesTest, FaultInTheMiddleOfALargeCompactionLeavesTheFileAsItWas) {
  struct Fault {
    const char* label;
    bool write;     // a write of the new content fails, else a read of the file
    size_t slot;    // the write reaching this slot of the new content, or the read reaching
    size_t within;  // this byte of the slot in the file
  };
  struct Case {
    const FileKind& kind;
    std::vector<Slot> slots;
    std::vector<Fault> faults;
  };
  // Every fault lies past the first 1 MiB read or write. The character data fails at a record
  // header (read on its own) and inside a record (read while a run of records is copied).
  const Case cases[] = {
      {kIdDb, AccountSlots(3400), {{"write", true, 3200, 0}, {"read", false, 3200, 5}}},
      {kHumDb, CharIndexSlots(17000), {{"write", true, 15000, 0}, {"read", false, 16000, 5}}},
      {kKemDb,
       CharDataSlots(200),
       {{"write", true, 150, 0},
        {"read of a record header", false, 150, 5},
        {"read inside a record", false, 150, 5000}}},
  };
  ReadFaultEnv reads(&env_);
  platform::ScopedEnv useReads(&reads);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind.label);
    const fs::path path = Path(c.kind.label);
    WriteBytes(path, FileBytes(c.kind, Records(c.kind, c.slots, 0)));
    auto db = c.kind.open(path);
    const Bytes before = ReadBytes(path);  // after the scan
    for (const Fault& f : c.faults) {
      SCOPED_TRACE(f.label);
      const auto at = static_cast<int64_t>(SlotAt(c.kind.recordSize, f.slot) + f.within);
      int failedWrites = 0;
      if (f.write) {
        env_.writeFault = [&](const fs::path& file, int64_t offset, size_t n) {
          if (file.filename() != c.kind.tempName || offset + static_cast<int64_t>(n) <= at)
            return true;
          ++failedWrites;
          return false;
        };
      } else {
        reads.FailReadsAt(path, at);
      }
      EXPECT_FALSE(c.kind.compact(*db));
      EXPECT_GT(failedWrites + reads.failures, 0);
      env_.writeFault = nullptr;
      reads.Clear();
      EXPECT_FALSE(db->LastError().empty());
      EXPECT_TRUE(SameBytes(ReadBytes(path), before));
      EXPECT_FALSE(fs::exists(Path(c.kind.tempName)));
    }
    // With nothing failing, the same compaction goes through.
    EXPECT_TRUE(c.kind.compact(*db)) << db->LastError();
  }
}

}  // namespace
}  // namespace zkq
