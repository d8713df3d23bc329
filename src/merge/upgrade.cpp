#include "merge/upgrade.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "common/bytes.h"
#include "common/datetime.h"
#include "common/errors.h"
#include "common/gbk.h"
#include "common/progress_log.h"
#include "dbfiles/chardata.h"
#include "dbfiles/layout.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/staging.h"

namespace zkq {
namespace {

namespace fs = std::filesystem;
namespace hdr = layout::dbheader;
using platform::CurrentEnv;
using platform::OpenMode;

constexpr int64_t kHeaderSize = static_cast<int64_t>(hdr::kSize);
constexpr size_t kSize0330 = 16888;
constexpr size_t kSize0820 = CharDataRecord::kLayout0820Size;  // 23774
constexpr size_t kSizeCurrent = CharDataRecord::kSize;         // 24800
constexpr uint8_t kConvertedFrom0330Value = 39;
// Records are read and written in chunks of about this many bytes.
constexpr size_t kChunkBytes = size_t{1} << 20;

// ---- Backups ----

fs::path FolderOf(const fs::path& path) {
  return path.parent_path();
}

fs::path IndexPathOf(const fs::path& dataPath) {
  fs::path index = dataPath;
  index += ".idx";
  return index;
}

// "yyyyMMdd" of the current local date.
std::string DateText() {
  const CivilDateTime t = DecodeDateTime(CurrentEnv()->Now());
  char buf[32];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", t.year, t.month, t.day);
  return buf;
}

// The name of a dated backup: the stem, "-n" for a later backup of the same day, the suffix.
fs::path DatedName(const fs::path& dir, const std::string& date, int n, const char* suffix) {
  std::string name = "Kem#" + date;
  if (n > 1) name += "-" + std::to_string(n);
  return dir / (name + suffix);
}

// True when nothing stands at the name. An earlier backup there is never replaced; a link or
// folder there is never written through, and ends the job.
bool FreeName(const fs::path& p) {
  platform::FileInfo info;
  if (CurrentEnv()->Lstat(p, info) || info.type == platform::FileInfo::Type::kNone) return true;
  if (info.type != platform::FileInfo::Type::kFile)
    throw FileError(p, "something other than an earlier backup stands at a backup's name");
  return false;
}

// Copies `source` to `backup` through a flushed temporary file beside it, so that a failed copy
// leaves no partial backup. Throws FileError when the copy fails, since going on would report
// a backup that does not exist.
void WriteBackup(const fs::path& source, const fs::path& backup) {
  const fs::path temp = platform::SiblingTempPath(backup);
  std::error_code ec = platform::CopyFileFlushed(source, temp);
  if (!ec) ec = platform::ReplaceWithTemp(temp, backup);
  if (ec) {
    CurrentEnv()->RemoveFile(temp);
    throw FileError(backup, ec.message());
  }
}

// Backs up the data file and, when it exists, its index file, each once per job: the first
// backup keeps the file as it was before the job changed it. The date is read for each name.
// A backup of the same name made earlier is never replaced: the two get the first number at
// which both names are free. In a job the backups are made when the job switches its files in:
// the original itself for a file the job replaces, a copy for one it leaves as it is.
void BackupStep(const fs::path& path, JobBackups& backups) {
  platform::Env* env = CurrentEnv();
  const fs::path dir = FolderOf(path);
  const fs::path index = IndexPathOf(path);
  const std::string dataDate = env->IsRegularFile(path) ? DateText() : std::string();
  const std::string indexDate = env->IsRegularFile(index) ? DateText() : std::string();
  const bool data = !dataDate.empty() && backups.written.count(path) == 0;
  const bool indexToo = !indexDate.empty() && backups.written.count(index) == 0;
  if (!data && !indexToo) return;
  if (auto* staging = platform::CurrentStaging()) {
    std::vector<platform::StagingEnv::BackupWish> wishes;
    if (data) wishes.push_back({path, "Kem#" + dataDate, ".db.bak"});
    if (indexToo) wishes.push_back({index, "Kem#" + indexDate, ".db.idx.bak"});
    staging->WishBackups(wishes);
  } else {
    int n = 1;
    while (!((!data || FreeName(DatedName(dir, dataDate, n, ".db.bak"))) &&
             (!indexToo || FreeName(DatedName(dir, indexDate, n, ".db.idx.bak")))))
      ++n;
    if (data) WriteBackup(path, DatedName(dir, dataDate, n, ".db.bak"));
    if (indexToo) WriteBackup(index, DatedName(dir, indexDate, n, ".db.idx.bak"));
  }
  if (data) backups.written.insert(path);
  if (indexToo) backups.written.insert(index);
}

void LogPathLine(const fs::path& path, const char* utf8Text) {
  Log().LogLine(platform::PathToGbk(path) + Gbk(utf8Text));
}

// ---- Record conversion ----

uint16_t ItemIndexAt(const uint8_t* rec, size_t slotOffset) {
  return GetU16(rec + slotOffset + useritem::kItemIndex);
}

int32_t InstanceIdAt(const uint8_t* rec, size_t slotOffset) {
  return GetI32(rec + slotOffset + useritem::kInstanceId);
}

size_t SlotOffset(const ItemArray& a, int i) {
  return CharDataRecord::ItemOffset(a, i);
}

// The ItemIndex of the first of the first `count` slots that has an ItemIndex but no
// InstanceId: such a slot carries the XOR mask of the array. 0 when there is none.
uint16_t FindMask(const uint8_t* rec, const ItemArray& a, int count) {
  for (int i = 0; i < count; ++i) {
    const size_t at = SlotOffset(a, i);
    if (ItemIndexAt(rec, at) != 0 && InstanceIdAt(rec, at) == 0) return ItemIndexAt(rec, at);
  }
  return 0;
}

void XorItemIndexes(uint8_t* rec, const ItemArray& a, int count, uint16_t mask) {
  for (int i = 0; i < count; ++i) {
    const size_t at = SlotOffset(a, i);
    const uint16_t v = ItemIndexAt(rec, at);
    if (v != 0) PutU16(rec + at + useritem::kItemIndex, static_cast<uint16_t>(v ^ mask));
  }
}

// The short strings among offsets 0..581, which this range shares with the current layout.
struct ShortStringField {
  size_t offset;
  size_t capacity;
};
constexpr ShortStringField kShortStringsBelow582[] = {
    {12, 15}, {28, 14}, {43, 16}, {116, 19}, {136, 17}, {168, 20}, {189, 42}, {255, 10}, {501, 80},
};
constexpr size_t kSharedPrefix = 582;

// Where the parts of a 0330 record behind offset 581 go in the 0820 record.
struct MovedPart {
  size_t from;
  size_t to;
  size_t size;
};
constexpr MovedPart kMovedParts[] = {
    {582, 582, 765},       // Items9 (decoded)
    {1347, 1347, 5610},    // Items66 (decoded)
    {6957, 6957, 320},     // block
    {7277, 7277, 3315},    // first 39 slots of Items120; slots 39..119 stay zero
    {10592, 17477, 1700},  // Items20
    {12292, 19177, 4},     // dword
    {12296, 19181, 15},    // HeroName
    {12311, 19196, 15},    // OwnerName
    {12326, 19211, 1},     // byte
    {12327, 19212, 1},     // byte
    {12328, 19213, 2},     // word
    {12330, 19215, 4},     // dword
    {12334, 19219, 4},     // dword
    {12338, 19223, 4},     // dword
    {12342, 19227, 951},   // byte array with the two extra name fields
    {13293, 20178, 20},    // block
    {13313, 20198, 425},   // Items5
    {13738, 20623, 2550},  // Items30
    {16288, 23173, 600},   // byte array
};

constexpr bool PartsTileOldRecord() {
  size_t next = kSharedPrefix;
  for (const MovedPart& p : kMovedParts) {
    if (p.from != next || p.to + p.size > kSize0820) return false;
    next += p.size;
  }
  return next == kSize0330;
}
static_assert(PartsTileOldRecord(), "the moved parts cover the 0330 record behind the prefix");

// Converts one 16888-byte record of layout 0330 into a zeroed 23774-byte record of layout 0820.
// `src` is decoded in place.
void Convert0330To0820(uint8_t* src, uint8_t* out) {
  using R = CharDataRecord;
  std::memset(out, 0, kSize0820);

  // Items66 and, only when Items66 carries a mask, Items9 hold their ItemIndex values XORed
  // with a mask; the mask slot itself decodes to 0.
  const int used66 = std::min<int>(src[R::kItems66Count], R::kItems66.count);
  uint16_t mask = FindMask(src, R::kItems66, used66);
  if (mask != 0) {
    XorItemIndexes(src, R::kItems66, used66, mask);
    const uint16_t mask9 = FindMask(src, R::kItems9, R::kItems9.count);
    if (mask9 != 0) mask = mask9;
    XorItemIndexes(src, R::kItems9, R::kItems9.count, mask);
  }

  // The shared prefix, with the bytes behind each short string's text zeroed.
  std::memcpy(out, src, kSharedPrefix);
  for (const ShortStringField& f : kShortStringsBelow582) {
    const size_t len = ShortStringLength(src + f.offset, f.capacity);
    out[f.offset] = static_cast<uint8_t>(len);
    std::memset(out + f.offset + 1 + len, 0, f.capacity - len);
  }

  for (const MovedPart& p : kMovedParts) std::memcpy(out + p.to, src + p.from, p.size);
  out[R::kConvertedFrom0330Marker] = kConvertedFrom0330Value;
}

// Writes the converted records of `data` to `out` behind the header. False on a read or write
// error or when the file ends early.
bool ConvertRecords(platform::RandomRWFile& data, platform::RandomRWFile& out, int kind,
                    int64_t count) {
  const size_t oldSize = kind == kLayout0330 ? kSize0330 : kSize0820;
  const size_t newSize = kind == kLayout0330 ? kSize0820 : kSizeCurrent;
  const size_t perChunk = std::max<size_t>(1, kChunkBytes / oldSize);
  std::vector<uint8_t> in(perChunk * oldSize);
  std::vector<uint8_t> converted(perChunk * newSize);

  int64_t inOffset = kHeaderSize;
  int64_t outOffset = kHeaderSize;
  for (int64_t done = 0; done < count;) {
    const auto n = static_cast<size_t>(std::min<int64_t>(count - done, int64_t(perChunk)));
    const size_t inBytes = n * oldSize;
    if (data.Read(inOffset, in.data(), inBytes) != static_cast<int64_t>(inBytes)) return false;
    for (size_t i = 0; i < n; ++i) {
      uint8_t* src = in.data() + i * oldSize;
      uint8_t* dst = converted.data() + i * newSize;
      if (kind == kLayout0330) {
        Convert0330To0820(src, dst);
      } else {
        std::memcpy(dst, src, kSize0820);
        std::memset(dst + kSize0820, 0, kSizeCurrent - kSize0820);
      }
    }
    const size_t outBytes = n * newSize;
    if (!out.Write(outOffset, converted.data(), outBytes)) return false;
    inOffset += static_cast<int64_t>(inBytes);
    outOffset += static_cast<int64_t>(outBytes);
    done += static_cast<int64_t>(n);
  }
  return true;
}

}  // namespace

int BackupAndProbeLayout(const fs::path& path, JobBackups& backups) {
  if (!CurrentEnv()->IsRegularFile(path)) return kLayoutCurrent;
  BackupStep(path, backups);
  LogPathLine(path, " 源数据备份成功!");

  std::error_code ec;
  auto file = CurrentEnv()->Open(path, OpenMode::kReadShared, ec);
  if (!file) return kLayoutCurrent;
  uint8_t header[hdr::kSize];
  if (file->Read(0, header, sizeof header) != kHeaderSize) return kLayoutCurrent;
  const int64_t size = file->Size();
  if (size < 0 || size == kHeaderSize) return kLayoutCurrent;

  // The whole 64-bit size is compared: comparing only its low 32 bits would take a file of more
  // than 4 GB for one whose size differs by a multiple of 4 GB.
  const int64_t n = GetI32(header + hdr::kSlotCount);
  if (size == n * int64_t{kSize0330} + kHeaderSize) return kLayout0330;
  if (size == n * int64_t{kSize0820} + kHeaderSize) return kLayout0820;
  return kLayoutCurrent;
}

bool UpgradeCharacterData(const fs::path& path, int kind, JobBackups& backups) {
  platform::Env* env = CurrentEnv();
  if (!env->IsRegularFile(path)) return false;
  BackupStep(path, backups);
  LogPathLine(path, " 原数据备份成功!准备升级数据格式!");
  if (kind != kLayout0330 && kind != kLayout0820) return false;

  std::error_code ec;
  auto data = env->Open(path, OpenMode::kReadShared, ec);
  if (!data) return false;
  uint8_t header[hdr::kSize];
  if (data->Read(0, header, sizeof header) != kHeaderSize) return false;
  // The records must fill the file exactly, so that the header's count never drives more
  // reads or writes than the file holds.
  const int64_t count = GetI32(header + hdr::kSlotCount);
  const int64_t oldSize = kind == kLayout0330 ? int64_t{kSize0330} : int64_t{kSize0820};
  if (count < 0 || data->Size() != kHeaderSize + count * oldSize) return false;

  fs::path temp = path;
  temp += ".zkq-upgrade";
  auto out = platform::CreateTempFile(temp, ec);
  if (!out) return false;
  bool ok = out->Write(0, header, sizeof header);
  if (ok) {
    Log().LogLine(Gbk(kind == kLayout0330 ? "老ZKQ3 0330数据结构正在升级..."
                                          : "新ZKQ3 0820数据结构正在升级..."));
    ok = ConvertRecords(*data, *out, kind, count);
  }
  ok = ok && out->Sync();
  ok = out->Close() && ok;
  out.reset();
  data->Close();
  data.reset();
  if (!ok) {
    env->RemoveFile(temp);
    return false;
  }
  env->SleepMs(100);
  return !platform::ReplaceWithTemp(temp, path);
}

bool UpgradeToCurrentLayout(const fs::path& path, JobBackups& backups, std::string_view failedLine,
                            std::string_view doneLine) {
  int code = BackupAndProbeLayout(path, backups);
  while (code != kLayoutCurrent) {
    if (!UpgradeCharacterData(path, code, backups)) {
      Log().LogLine(Gbk(failedLine));
      return false;
    }
    Log().LogLine(Gbk(doneLine));
    code = BackupAndProbeLayout(path, backups);
  }
  return true;
}

}  // namespace zkq
