// Dated backups of a character data file, the layout probe by file size, and the upgrade of its
// records from layout 0330 (16888 bytes) to 0820 (23774 bytes) and from 0820 to the current
// layout (24800 bytes). Files are built byte by byte at the documented offsets; the expected
// converted records come from the documented offset table, not from the product's constants.
#include "merge/upgrade.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "common/errors.h"
#include "common/progress_log.h"
#include "support/bytes.h"
#include "support/test_support.h"

namespace zkq {
namespace {

using test::kCharFileSignature;
using test::PutDouble;
using test::PutLe16;
using test::PutLe32;
using test::PutShort;
using test::ReadBytes;
using test::SameBytes;
using test::WriteBytes;
namespace fs = std::filesystem;

constexpr size_t kHeaderSize = 124;
constexpr size_t kSize0330 = 16888;
constexpr size_t kSize0820 = 23774;
constexpr size_t kSizeCurrent = 24800;
constexpr size_t kItemSize = 85;
constexpr size_t kItems9At = 582;
constexpr size_t kItems66At = 1347;
constexpr size_t kItems66CountAt = 500;

// Log texts, GBK.
// " 源数据备份成功!"
const std::string kProbeBackupText = " \xD4\xB4\xCA\xFD\xBE\xDD\xB1\xB8\xB7\xDD\xB3\xC9\xB9\xA6!";
// " 原数据备份成功!准备升级数据格式!"
const std::string kUpgradeBackupText =
    " \xD4\xAD\xCA\xFD\xBE\xDD\xB1\xB8\xB7\xDD\xB3\xC9\xB9\xA6!"
    "\xD7\xBC\xB1\xB8\xC9\xFD\xBC\xB6\xCA\xFD\xBE\xDD\xB8\xF1\xCA\xBD!";
// "老ZKQ3 0330数据结构正在升级..."
const std::string kUpgrade0330Text =
    "\xC0\xCF"
    "ZKQ3 0330\xCA\xFD\xBE\xDD\xBD\xE1\xB9\xB9\xD5\xFD\xD4\xDA\xC9\xFD\xBC\xB6...";
// "新ZKQ3 0820数据结构正在升级..."
const std::string kUpgrade0820Text =
    "\xD0\xC2"
    "ZKQ3 0820\xCA\xFD\xBE\xDD\xBD\xE1\xB9\xB9\xD5\xFD\xD4\xDA\xC9\xFD\xBC\xB6...";

// A file header with recognisable bytes everywhere, so that a header that is not carried over
// unchanged shows.
std::string Header(int32_t slotCount) {
  std::string h(kHeaderSize, '\0');
  for (size_t i = 0; i < kHeaderSize; ++i) h[i] = static_cast<char>(0x30 + i % 41);
  PutShort(h, 0, 35, kCharFileSignature);
  PutLe32(h, 92, 7);
  PutDouble(h, 96, 40000.5);
  PutLe32(h, 104, slotCount);
  PutDouble(h, 116, 40001.25);
  return h;
}

// The short strings among offsets 0..581, shared by every layout.
struct ShortField {
  size_t offset;
  size_t capacity;
};
constexpr ShortField kShortFields[] = {
    {12, 15}, {28, 14}, {43, 16}, {116, 19}, {136, 17}, {168, 20}, {189, 42}, {255, 10}, {501, 80},
};

// A layout 0330 record in which neighbouring bytes differ and `seed` tells records apart. Its
// Items66Count is 0, so no item array is decoded. The short strings hold texts of various
// lengths, one of them with a length byte above its capacity, and non-zero bytes behind them.
std::string Record0330(int seed) {
  std::string r(kSize0330, '\0');
  for (size_t i = 0; i < r.size(); ++i)
    r[i] = static_cast<char>((i * 37 + static_cast<size_t>(seed) * 101 + 11) & 0xFF);
  r[kItems66CountAt] = 0;
  const uint8_t lengths[] = {3, 14, 0, 200, 5, 1, 42, 10, 79};
  for (size_t f = 0; f < std::size(kShortFields); ++f) r[kShortFields[f].offset] = char(lengths[f]);
  return r;
}

// The layout 0820 record that a layout 0330 record becomes, by the offset table, for a record
// whose item arrays need no decoding.
std::string Mapped0820(const std::string& old) {
  std::string r(kSize0820, '\0');
  r.replace(0, 582, old, 0, 582);
  for (const ShortField& f : kShortFields) {
    const size_t len = std::min<size_t>(static_cast<uint8_t>(old[f.offset]), f.capacity);
    r[f.offset] = static_cast<char>(len);
    for (size_t i = f.offset + 1 + len; i <= f.offset + f.capacity; ++i) r[i] = '\0';
  }
  struct Part {
    size_t from, to, size;
  };
  const Part parts[] = {
      {582, 582, 765},      {1347, 1347, 5610},   {6957, 6957, 320},   {7277, 7277, 3315},
      {10592, 17477, 1700}, {12292, 19177, 4},    {12296, 19181, 15},  {12311, 19196, 15},
      {12326, 19211, 1},    {12327, 19212, 1},    {12328, 19213, 2},   {12330, 19215, 4},
      {12334, 19219, 4},    {12338, 19223, 4},    {12342, 19227, 951}, {13293, 20178, 20},
      {13313, 20198, 425},  {13738, 20623, 2550}, {16288, 23173, 600},
  };
  for (const Part& p : parts) r.replace(p.to, p.size, old, p.from, p.size);
  r[23773] = 39;
  return r;
}

std::string Current(const std::string& record0820) {
  return record0820 + std::string(kSizeCurrent - kSize0820, '\0');
}

// A file of `records` behind a header whose SlotCount is their number.
std::string FileOf(const std::vector<std::string>& records) {
  std::string f = Header(static_cast<int32_t>(records.size()));
  for (const std::string& r : records) f += r;
  return f;
}

std::string Repeat(const std::string& bytes, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) out += bytes;
  return out;
}

std::string IndexBytes() {
  return "index file bytes that nobody may change";
}

// The names in a folder.
std::set<std::string> FolderNames(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
  return names;
}

// The texts of the log lines, without their time stamps: each must end in the expected text.
void ExpectLogEnds(const std::vector<std::string>& texts) {
  const std::vector<std::string> lines = Log().Lines();
  ASSERT_EQ(lines.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string tail = " " + texts[i];
    ASSERT_GE(lines[i].size(), tail.size());
    EXPECT_EQ(lines[i].substr(lines[i].size() - tail.size()), tail);
  }
}

// A file operation that the tests make fail or misreport.
class HookEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;

  std::unique_ptr<platform::RandomRWFile> Open(const fs::path& path, platform::OpenMode mode,
                                               std::error_code& ec) override;

  // Returns true to fail an open.
  std::function<bool(const fs::path&, platform::OpenMode)> openFault;
  // Returns true to fail a read.
  std::function<bool(const fs::path&, int64_t offset)> readFault;
  // The size a file reports, when set.
  std::function<std::optional<int64_t>(const fs::path&)> sizeOverride;
};

class HookFile : public platform::RandomRWFile {
 public:
  HookFile(std::unique_ptr<platform::RandomRWFile> inner, fs::path path, HookEnv* env)
      : inner_(std::move(inner)), path_(std::move(path)), env_(env) {}
  int64_t Read(int64_t offset, void* buf, size_t n) override {
    if (env_->readFault && env_->readFault(path_, offset)) {
      error_ = std::make_error_code(std::errc::io_error);
      return -1;
    }
    return inner_->Read(offset, buf, n);
  }
  bool Write(int64_t offset, const void* buf, size_t n) override {
    return inner_->Write(offset, buf, n);
  }
  int64_t Size() override {
    if (env_->sizeOverride) {
      if (auto size = env_->sizeOverride(path_)) return *size;
    }
    return inner_->Size();
  }
  bool Sync() override { return inner_->Sync(); }
  bool Close() override { return inner_->Close(); }
  std::error_code LastError() const override { return error_ ? error_ : inner_->LastError(); }

 private:
  std::unique_ptr<platform::RandomRWFile> inner_;
  fs::path path_;
  HookEnv* env_;
  std::error_code error_;
};

std::unique_ptr<platform::RandomRWFile> HookEnv::Open(const fs::path& path, platform::OpenMode mode,
                                                      std::error_code& ec) {
  if (openFault && openFault(path, mode)) {
    ec = std::make_error_code(std::errc::permission_denied);
    return nullptr;
  }
  auto inner = EnvWrapper::Open(path, mode, ec);
  if (!inner) return nullptr;
  return std::make_unique<HookFile>(std::move(inner), path, this);
}

bool IsBackupName(const fs::path& p) {
  return p.filename().string().rfind("Kem#", 0) == 0;
}

class UpgradeTest : public test::FileTest {
 protected:
  UpgradeTest() {
    Log().Reset();
    fs::create_directory(zone_);
  }

  // Writes the data file and, when asked, its index file; backups of an earlier case go.
  void WriteZone(const std::string& data, bool withIndex = true) {
    for (const auto& e : fs::directory_iterator(zone_))
      if (IsBackupName(e.path())) fs::remove(e.path());
    WriteBytes(kem_, data);
    if (withIndex) WriteBytes(index_, IndexBytes());
  }

  // The data file is byte-identical to `data`, the index file untouched, and nothing but the
  // two files and their backups lies in the folder.
  void ExpectUnchanged(const std::string& data) {
    EXPECT_TRUE(SameBytes(ReadBytes(kem_), data));
    EXPECT_EQ(ReadBytes(index_), IndexBytes());
    EXPECT_EQ(FolderNames(zone_),
              (std::set<std::string>{"Kem.db", "Kem.db.idx", "Kem#20251209.db.bak",
                                     "Kem#20251209.db.idx.bak"}));
  }

  const fs::path zone_ = Path("zone");
  const fs::path kem_ = zone_ / "Kem.db";
  const fs::path index_ = zone_ / "Kem.db.idx";
  // The fake clock's date is 2025-12-09.
  const fs::path dataBackup_ = zone_ / "Kem#20251209.db.bak";
  const fs::path indexBackup_ = zone_ / "Kem#20251209.db.idx.bak";
  JobBackups backups_;
};

// ---- The probe and the two upgrades ----

TEST_F(UpgradeTest, Layout0330PassesThroughLayout0820ToTheCurrentLayout) {
  const std::vector<std::string> old = {Record0330(1), Record0330(2), Record0330(3)};
  const std::string original = FileOf(old);
  ASSERT_EQ(original.size(), kHeaderSize + 3 * kSize0330);
  WriteZone(original);

  EXPECT_EQ(BackupAndProbeLayout(kem_, backups_), kLayout0330);
  ASSERT_TRUE(UpgradeCharacterData(kem_, kLayout0330, backups_));
  std::string expected = Header(3);
  for (const std::string& r : old) expected += Mapped0820(r);
  ASSERT_EQ(expected.size(), kHeaderSize + 3 * kSize0820);
  EXPECT_TRUE(SameBytes(ReadBytes(kem_), expected));

  EXPECT_EQ(BackupAndProbeLayout(kem_, backups_), kLayout0820);
  ASSERT_TRUE(UpgradeCharacterData(kem_, kLayout0820, backups_));
  expected = Header(3);
  for (const std::string& r : old) expected += Current(Mapped0820(r));
  ASSERT_EQ(expected.size(), kHeaderSize + 3 * kSizeCurrent);
  EXPECT_TRUE(SameBytes(ReadBytes(kem_), expected));

  EXPECT_EQ(BackupAndProbeLayout(kem_, backups_), kLayoutCurrent);
  EXPECT_TRUE(SameBytes(ReadBytes(kem_), expected));
  // The index file is neither read into the conversion nor rewritten.
  EXPECT_EQ(ReadBytes(index_), IndexBytes());
  // Only the data file, its index and the two backups remain.
  EXPECT_EQ(FolderNames(zone_),
            (std::set<std::string>{"Kem.db", "Kem.db.idx", "Kem#20251209.db.bak",
                                   "Kem#20251209.db.idx.bak"}));
}

TEST_F(UpgradeTest, ManyRecordsKeepTheirOrder) {
  // Enough records that a file is read and written in several pieces.
  std::vector<std::string> old;
  for (int i = 0; i < 150; ++i) old.push_back(Record0330(i));
  WriteZone(FileOf(old), false);

  ASSERT_TRUE(UpgradeCharacterData(kem_, kLayout0330, backups_));
  ASSERT_TRUE(UpgradeCharacterData(kem_, kLayout0820, backups_));
  std::string expected = Header(150);
  for (const std::string& r : old) expected += Current(Mapped0820(r));
  EXPECT_TRUE(SameBytes(ReadBytes(kem_), expected));
}

TEST_F(UpgradeTest, ProbeTellsTheLayoutFromTheExactSize) {
  struct Case {
    const char* name;
    std::string bytes;
    int expected;
  };
  const std::string r0330(kSize0330, '\x01');
  const std::string r0820(kSize0820, '\x02');
  const std::string rCurrent(kSizeCurrent, '\x03');
  const Case cases[] = {
      {"layout 0330", Header(2) + Repeat(r0330, 2), kLayout0330},
      {"layout 0820", Header(2) + Repeat(r0820, 2), kLayout0820},
      {"current layout", Header(2) + Repeat(rCurrent, 2), kLayoutCurrent},
      {"0330 with a stray byte", Header(2) + Repeat(r0330, 2) + "x", kLayoutCurrent},
      {"0820 with a stray byte", Header(2) + Repeat(r0820, 2) + "x", kLayoutCurrent},
      {"0330 records, SlotCount one too many", Header(3) + Repeat(r0330, 2), kLayoutCurrent},
      {"header only", Header(0), kLayoutCurrent},
      {"header only, SlotCount 1", Header(1), kLayoutCurrent},
      {"short header", Header(2).substr(0, 100), kLayoutCurrent},
      {"empty file", "", kLayoutCurrent},
      {"negative SlotCount", Header(-2) + Repeat(r0330, 2), kLayoutCurrent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteZone(c.bytes);
    JobBackups backups;
    EXPECT_EQ(BackupAndProbeLayout(kem_, backups), c.expected);
    EXPECT_TRUE(SameBytes(ReadBytes(kem_), c.bytes));
  }
}

TEST_F(UpgradeTest, SizesThatMatchOnlyInTheirLow32BitsFitNoLayout) {
  // A data file that reports 4 GB more than one record of each older layout needs.
  HookEnv hooks(&env_);
  platform::ScopedEnv scoped(&hooks);
  int64_t reported = 0;
  hooks.sizeOverride = [&](const fs::path& p) -> std::optional<int64_t> {
    if (p == kem_) return reported;
    return std::nullopt;
  };
  const std::string file = Header(1) + std::string(kSize0330, '\x05');
  WriteZone(file);
  for (const size_t recordSize : {kSize0330, kSize0820}) {
    SCOPED_TRACE(recordSize);
    reported = static_cast<int64_t>(kHeaderSize + recordSize) + (int64_t{1} << 32);
    EXPECT_EQ(BackupAndProbeLayout(kem_, backups_), kLayoutCurrent);
    EXPECT_FALSE(UpgradeCharacterData(kem_, recordSize == kSize0330 ? 1 : 2, backups_));
    ExpectUnchanged(file);
  }
}

TEST_F(UpgradeTest, UpgradeRefusesAFileThatTheKindDoesNotFit) {
  struct Case {
    const char* name;
    std::string bytes;
    int kind;
  };
  const std::string r0330(kSize0330, '\x01');
  const std::string r0820(kSize0820, '\x02');
  const Case cases[] = {
      {"0820 file as 0330", Header(2) + Repeat(r0820, 2), kLayout0330},
      {"0330 file as 0820", Header(2) + Repeat(r0330, 2), kLayout0820},
      {"stray byte behind 0330 records", Header(2) + Repeat(r0330, 2) + "x", kLayout0330},
      {"stray byte behind 0820 records", Header(2) + Repeat(r0820, 2) + "x", kLayout0820},
      // The count in the header must not drive reads and writes the file cannot back.
      {"SlotCount far above the records", Header(0x7FFFFFFF) + r0330, kLayout0330},
      {"negative SlotCount", Header(-1) + r0820, kLayout0820},
      {"short header", Header(1).substr(0, 90), kLayout0330},
      {"kind 0", Header(1) + r0330, 0},
      {"kind 3", Header(1) + r0330, 3},
      {"kind -1", Header(1) + r0820, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    WriteZone(c.bytes);
    JobBackups backups;
    EXPECT_FALSE(UpgradeCharacterData(kem_, c.kind, backups));
    ExpectUnchanged(c.bytes);
  }
}

// ---- The conversion of a layout 0330 record ----

struct Slot {
  int index;  // slot number in its array
  uint16_t itemIndex;
  int32_t instanceId;
};

struct DecodeCase {
  const char* name;
  uint8_t items66Count;
  std::vector<Slot> items66;
  std::vector<Slot> items9;
  // The ItemIndex each listed slot holds after the conversion, in the order listed.
  std::vector<uint16_t> expected66;
  std::vector<uint16_t> expected9;
};

std::vector<DecodeCase> DecodeCases() {
  return {
      {"mask 100 in the first slot", 3, {{0, 100, 0}, {1, 101, 7}, {2, 96, 8}}, {}, {0, 1, 4}, {}},
      {"Items66Count 0 decodes neither array",
       0,
       {{0, 100, 0}, {1, 101, 7}},
       {{0, 50, 0}, {1, 51, 3}},
       {100, 101},
       {50, 51}},
      {"Items9 takes the mask of Items66",
       1,
       {{0, 100, 0}},
       {{0, 101, 3}, {8, 102, 4}},
       {0},
       {1, 2}},
      {"Items9 with a mask slot of its own",
       2,
       {{0, 100, 0}, {1, 101, 7}},
       {{0, 5, 9}, {1, 50, 0}, {2, 51, 3}, {3, 48, 0}},
       {0, 1},
       {55, 0, 1, 2}},
      {"a mask slot beyond Items66Count is not a mask",
       1,
       {{0, 101, 7}, {1, 100, 0}},
       {{0, 60, 0}, {1, 61, 1}},
       {101, 100},
       {60, 61}},
      {"slots beyond Items66Count keep their ItemIndex",
       2,
       {{0, 100, 0}, {1, 101, 7}, {2, 102, 8}},
       {},
       {0, 1, 102},
       {}},
      {"empty slots and items without ItemIndex are no mask",
       4,
       {{0, 0, 0}, {1, 0, 5}, {2, 100, 0}, {3, 101, 6}},
       {},
       {0, 0, 0, 1},
       {}},
      {"only the first mask slot counts",
       3,
       {{0, 100, 0}, {1, 7, 0}, {2, 101, 1}},
       {},
       {0, 7 ^ 100, 1},
       {}},
      {"Items66Count above 66 stops at the last slot",
       200,
       {{0, 0x0100, 0}, {65, 0x0101, 5}},
       {},
       {0, 1},
       {}},
  };
}

void PutSlot(std::string& r, size_t arrayAt, const Slot& s) {
  const size_t at = arrayAt + kItemSize * static_cast<size_t>(s.index);
  PutLe32(r, at, s.instanceId);
  PutLe16(r, at + 4, s.itemIndex);
}

TEST_F(UpgradeTest, ItemIndexesOfItems66AndItems9AreDecoded) {
  for (const DecodeCase& c : DecodeCases()) {
    SCOPED_TRACE(c.name);
    std::string old = Record0330(7);
    // Every slot of both arrays starts empty (InstanceId 0, ItemIndex 0); the other bytes of
    // the slots keep their pattern, which must come through unchanged.
    for (int i = 0; i < 66; ++i) PutSlot(old, kItems66At, {i, 0, 0});
    for (int i = 0; i < 9; ++i) PutSlot(old, kItems9At, {i, 0, 0});
    // The bytes behind Items66 look like a mask slot that must not be read as one.
    PutLe32(old, 6957, 0);
    PutLe16(old, 6961, 0x0505);
    old[kItems66CountAt] = static_cast<char>(c.items66Count);
    for (const Slot& s : c.items66) PutSlot(old, kItems66At, s);
    for (const Slot& s : c.items9) PutSlot(old, kItems9At, s);

    std::string decoded = old;
    for (size_t i = 0; i < c.items66.size(); ++i) {
      Slot s = c.items66[i];
      s.itemIndex = c.expected66[i];
      PutSlot(decoded, kItems66At, s);
    }
    for (size_t i = 0; i < c.items9.size(); ++i) {
      Slot s = c.items9[i];
      s.itemIndex = c.expected9[i];
      PutSlot(decoded, kItems9At, s);
    }

    const std::string original = FileOf({old});
    WriteZone(original);
    JobBackups backups;
    ASSERT_TRUE(UpgradeCharacterData(kem_, kLayout0330, backups));
    EXPECT_TRUE(SameBytes(ReadBytes(kem_), Header(1) + Mapped0820(decoded)));
  }
}

TEST_F(UpgradeTest, ConvertedRecordFollowsTheOffsetTable) {
  // Spot checks of the table against the expected record built above, so that a slip in the
  // test's own table cannot hide one in the conversion.
  std::string old(kSize0330, '\0');
  PutShort(old, 28, 14, "Hero");
  old[29 + 4] = 'X';  // behind the text: not carried over
  PutShort(old, 255, 10, "account");
  old[255] = static_cast<char>(11);  // one above the capacity: read as 10 bytes
  old[255 + 1 + 7] = 'A';
  old[255 + 1 + 8] = 'B';
  old[255 + 1 + 9] = 'C';
  PutShort(old, 12296, 14, "HeroName");
  PutShort(old, 12311, 14, "Owner");
  PutLe32(old, 7277 + 38 * kItemSize, 4242);  // Items120 slot 38
  PutLe32(old, 10592, 777);                   // Items20 slot 0
  PutLe32(old, 13313 + 4 * kItemSize, 555);   // Items5 slot 4
  PutLe32(old, 13738 + 29 * kItemSize, 333);  // Items30 slot 29
  old[12342 + 890] = 'N';                     // extra name field 1
  old[16887] = 'Z';                           // last byte of the 600-byte array

  WriteZone(FileOf({old}));
  ASSERT_TRUE(UpgradeCharacterData(kem_, kLayout0330, backups_));
  const std::string out = ReadBytes(kem_).substr(kHeaderSize);
  ASSERT_EQ(out.size(), kSize0820);
  EXPECT_TRUE(SameBytes(out, Mapped0820(old)));

  EXPECT_EQ(out.substr(28, 15), std::string("\x04Hero") + std::string(10, '\0'));
  EXPECT_EQ(out.substr(255, 11),
            "\x0A"
            "accountABC");
  EXPECT_EQ(out.substr(19181, 9), "\x08HeroName");
  EXPECT_EQ(out.substr(19196, 6), "\x05Owner");
  EXPECT_EQ(test::GetLe32(out, 7277 + 38 * kItemSize), 4242);
  EXPECT_EQ(test::GetLe32(out, 17477), 777);
  EXPECT_EQ(test::GetLe32(out, 20198 + 4 * kItemSize), 555);
  EXPECT_EQ(test::GetLe32(out, 20623 + 29 * kItemSize), 333);
  EXPECT_EQ(out[20117], 'N');
  EXPECT_EQ(out[23772], 'Z');
  EXPECT_EQ(out[23773], 39);
  // Items120 slots 39 to 119 have no counterpart in layout 0330.
  EXPECT_EQ(out.substr(7277 + 39 * kItemSize, 81 * kItemSize), std::string(81 * kItemSize, '\0'));
}

// ---- Backups ----

TEST_F(UpgradeTest, BackupsLieBesideTheDataFileUnderFixedNames) {
  const fs::path other = zone_ / "Other.db";
  const std::string data = Header(0) + "payload";
  WriteBytes(other, data);
  WriteBytes(zone_ / "Other.db.idx", "other index");

  EXPECT_EQ(BackupAndProbeLayout(other, backups_), kLayoutCurrent);
  EXPECT_EQ(ReadBytes(dataBackup_), data);
  EXPECT_EQ(ReadBytes(indexBackup_), "other index");
  EXPECT_EQ(FolderNames(zone_),
            (std::set<std::string>{"Other.db", "Other.db.idx", "Kem#20251209.db.bak",
                                   "Kem#20251209.db.idx.bak"}));
  // Nothing lands in the current folder.
  EXPECT_EQ(FolderNames(dir_.path()), (std::set<std::string>{"zone"}));
}

TEST_F(UpgradeTest, IndexBackupOnlyWhenTheIndexFileExists) {
  const std::string data = Header(1) + std::string(kSize0330, '\x01');
  WriteZone(data, false);
  EXPECT_EQ(BackupAndProbeLayout(kem_, backups_), kLayout0330);
  EXPECT_EQ(ReadBytes(dataBackup_), data);
  EXPECT_FALSE(fs::exists(indexBackup_));

  // A folder in place of the index file is no index file.
  fs::create_directory(index_);
  JobBackups again;
  EXPECT_EQ(BackupAndProbeLayout(kem_, again), kLayout0330);
  EXPECT_FALSE(fs::exists(indexBackup_));
}

TEST_F(UpgradeTest, EachBackupNameTakesTheDateWhenItIsMade) {
  // The clock passes midnight between the two backups: 2024-12-31, then 2025-01-01.
  env_.clock = 45658.0 - 1.5 * env_.step;
  WriteZone(Header(0) + "x");
  BackupAndProbeLayout(kem_, backups_);
  EXPECT_TRUE(fs::exists(zone_ / "Kem#20241231.db.bak"));
  EXPECT_TRUE(fs::exists(zone_ / "Kem#20250101.db.idx.bak"));
}

TEST_F(UpgradeTest, FirstBackupOfAJobKeepsTheFileAsItWas) {
  const std::string original = FileOf({Record0330(1), Record0330(2)});
  WriteZone(original);
  WriteBytes(dataBackup_, "backup of an earlier day");
  const fs::path second = zone_ / "Kem#20251209-2.db.bak";
  const fs::path secondIndex = zone_ / "Kem#20251209-2.db.idx.bak";

  // One job: probe, upgrade, probe, upgrade, probe.
  int kind = BackupAndProbeLayout(kem_, backups_);
  int steps = 0;
  while (kind != kLayoutCurrent && steps++ < 3) {
    ASSERT_TRUE(UpgradeCharacterData(kem_, kind, backups_));
    kind = BackupAndProbeLayout(kem_, backups_);
  }
  EXPECT_EQ(steps, 2);
  const std::string upgraded = ReadBytes(kem_);
  EXPECT_EQ(upgraded.size(), kHeaderSize + 2 * kSizeCurrent);
  // An older backup of the same name is never replaced: the job's first backup takes the next
  // number, for the data file and its index file alike, and is kept through the later steps.
  EXPECT_EQ(ReadBytes(dataBackup_), "backup of an earlier day");
  EXPECT_TRUE(SameBytes(ReadBytes(second), original));
  EXPECT_EQ(ReadBytes(secondIndex), IndexBytes());

  // The next job backs up the file as it then is, under the number after.
  JobBackups nextJob;
  EXPECT_EQ(BackupAndProbeLayout(kem_, nextJob), kLayoutCurrent);
  EXPECT_TRUE(SameBytes(ReadBytes(second), original));
  EXPECT_TRUE(SameBytes(ReadBytes(zone_ / "Kem#20251209-3.db.bak"), upgraded));
  EXPECT_EQ(ReadBytes(zone_ / "Kem#20251209-3.db.idx.bak"), IndexBytes());
}

TEST_F(UpgradeTest, FailedBackupLeavesTheOlderBackupAndIsReported) {
  const std::string data = Header(1) + std::string(kSize0330, '\x01');
  WriteZone(data);
  WriteBytes(dataBackup_, "older backup");
  const fs::path second = zone_ / "Kem#20251209-2.db.bak";
  env_.renameFault = [&](const fs::path&, const fs::path& to) -> std::error_code {
    if (to == second) return std::make_error_code(std::errc::io_error);
    return {};
  };

  EXPECT_THROW(BackupAndProbeLayout(kem_, backups_), FileError);
  EXPECT_THROW(UpgradeCharacterData(kem_, kLayout0330, backups_), FileError);
  EXPECT_EQ(ReadBytes(dataBackup_), "older backup");
  EXPECT_TRUE(SameBytes(ReadBytes(kem_), data));
  EXPECT_EQ(FolderNames(zone_),
            (std::set<std::string>{"Kem.db", "Kem.db.idx", "Kem#20251209.db.bak"}));
  // A backup that was not made is not reported as made.
  EXPECT_TRUE(Log().Lines().empty());
}

TEST_F(UpgradeTest, ALinkAtABackupNameIsNeverWrittenThrough) {
  WriteZone(Header(1) + std::string(kSize0330, '\x01'));
  WriteBytes(Path("victim"), "victim");
  fs::create_symlink(Path("victim"), dataBackup_);
  EXPECT_THROW(BackupAndProbeLayout(kem_, backups_), FileError);
  EXPECT_EQ(ReadBytes(Path("victim")), "victim");
  EXPECT_TRUE(fs::is_symlink(dataBackup_));
}

TEST_F(UpgradeTest, MissingDataFileIsNeitherBackedUpNorLogged) {
  WriteBytes(index_, IndexBytes());
  EXPECT_EQ(BackupAndProbeLayout(kem_, backups_), kLayoutCurrent);
  EXPECT_FALSE(UpgradeCharacterData(kem_, kLayout0330, backups_));
  // A folder of that name is no data file either.
  fs::create_directory(kem_);
  EXPECT_EQ(BackupAndProbeLayout(kem_, backups_), kLayoutCurrent);
  EXPECT_FALSE(UpgradeCharacterData(kem_, kLayout0820, backups_));

  EXPECT_EQ(FolderNames(zone_), (std::set<std::string>{"Kem.db", "Kem.db.idx"}));
  EXPECT_TRUE(Log().Lines().empty());
}

// ---- Failures while upgrading ----

TEST_F(UpgradeTest, FailedUpgradeLeavesTheDataFileAsItWas) {
  struct Case {
    const char* name;
    int kind;
    std::function<void(HookEnv&, test::FakeEnv&, const fs::path& kem)> inject;
  };
  // Backups are written as usual; only the upgrade's own output and reads fail.
  const Case cases[] = {
      {"output cannot be created", kLayout0330,
       [](HookEnv& h, test::FakeEnv&, const fs::path& kem) {
         h.openFault = [kem](const fs::path& p, platform::OpenMode mode) {
           return mode == platform::OpenMode::kCreateExclusive && !IsBackupName(p) && p != kem;
         };
       }},
      {"the header cannot be written", kLayout0820,
       [](HookEnv&, test::FakeEnv& env, const fs::path&) {
         env.writeFault = [](const fs::path& p, int64_t, size_t) { return IsBackupName(p); };
       }},
      {"a record cannot be written", kLayout0330,
       [](HookEnv&, test::FakeEnv& env, const fs::path&) {
         env.writeFault = [](const fs::path& p, int64_t offset, size_t) {
           return IsBackupName(p) || offset < int64_t{kHeaderSize};
         };
       }},
      {"a record cannot be read", kLayout0820,
       [](HookEnv& h, test::FakeEnv&, const fs::path& kem) {
         // Reads of the records behind the header fail; reads from offset 0 (the backup copy)
         // and at the end of the file still work.
         const int64_t end = static_cast<int64_t>(fs::file_size(kem));
         h.readFault = [kem, end](const fs::path& p, int64_t offset) {
           return p == kem && offset >= int64_t{kHeaderSize} && offset < end;
         };
       }},
      {"the new file cannot replace the old one", kLayout0330,
       [](HookEnv&, test::FakeEnv& env, const fs::path& kem) {
         env.renameFault = [kem](const fs::path&, const fs::path& to) -> std::error_code {
           if (to == kem) return std::make_error_code(std::errc::permission_denied);
           return {};
         };
       }},
  };
  const std::string file0330 = FileOf({Record0330(1), Record0330(2)});
  const std::string file0820 = Header(2) + Mapped0820(Record0330(3)) + Mapped0820(Record0330(4));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string original = c.kind == kLayout0330 ? file0330 : file0820;
    WriteZone(original);
    {
      HookEnv hooks(&env_);
      platform::ScopedEnv scoped(&hooks);
      c.inject(hooks, env_, kem_);
      JobBackups backups;
      EXPECT_FALSE(UpgradeCharacterData(kem_, c.kind, backups));
    }
    env_.writeFault = nullptr;
    env_.renameFault = nullptr;
    ExpectUnchanged(original);
    EXPECT_TRUE(SameBytes(ReadBytes(dataBackup_), original));
  }
}

// ---- Log lines ----

TEST_F(UpgradeTest, LogLinesNameThePathAndTheStep) {
  const fs::path zone = Path("\xE4\xB8\xBB\xE5\x8C\xBA");  // "主区", UTF-8 on this host
  fs::create_directory(zone);
  const fs::path kem = zone / "Kem.db";
  WriteBytes(kem, FileOf({Record0330(1)}));
  // The path as GBK text: the folder name "主区" in GBK.
  const std::string gbkPath = dir_.path().string() + "/\xD6\xF7\xC7\xF8/Kem.db";

  int kind = BackupAndProbeLayout(kem, backups_);
  while (kind != kLayoutCurrent) {
    ASSERT_TRUE(UpgradeCharacterData(kem, kind, backups_));
    kind = BackupAndProbeLayout(kem, backups_);
  }
  ExpectLogEnds({
      gbkPath + kProbeBackupText,
      gbkPath + kUpgradeBackupText,
      kUpgrade0330Text,
      gbkPath + kProbeBackupText,
      gbkPath + kUpgradeBackupText,
      kUpgrade0820Text,
      gbkPath + kProbeBackupText,
  });
}

}  // namespace
}  // namespace zkq
