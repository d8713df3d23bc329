#include "dbfiles/filedb.h"

#include <memory>

#include "platform/app_hooks.h"

namespace zkq {

namespace fs = std::filesystem;
using platform::CurrentEnv;
using platform::OpenMode;
namespace hdr = layout::dbheader;
namespace rh = layout::recordheader;
namespace idx = layout::dbindex;

std::atomic<bool> TFileDB::indexLoaded_{false};

TFileDB::TFileDB(fs::path path)
    : TDBFile(std::move(path), CharDataRecord::kSize, hdr::kDescriptionCapacity,
              layout::kCharFileSignature, &platform::CharacterFilesLock()) {
  indexLoaded_ = false;
  indexPath_ = path_;
  indexPath_ += ".idx";
  if (LoadIndexFile()) {
    indexLoaded_ = true;
  } else {
    ScanRecords();
  }
}

TFileDB::~TFileDB() {
  if (indexLoaded_ && saveIndex_) SaveIndexFile();
}

void TFileDB::ScanRecords() {
  nameList_.Clear();
  freeSlots_.clear();
  const bool opened = OpenFile();
  // A data file that cannot be opened leaves its index file as it is.
  saveIndex_ = opened;
  if (opened && ReadHeader()) {
    // Only the 28-byte header of each record counts, but one large read of a run of records
    // costs less than a call for each; a record whose header arrived is listed.
    const int32_t slots = SlotCount();
    SlotBlockReader reader(file(), CharDataRecord::kSize, 42);
    for (int32_t slot = 0; slot < slots; ++slot) {
      int64_t have = 0;
      const uint8_t* rec = reader.Slot(slot, have);
      if (rec == nullptr) {
        // Not the end of the file: the names behind the error are unknown, so the part listed
        // must not be saved as the whole.
        FailIo();
        saveIndex_ = false;
        break;
      }
      if (have < static_cast<int64_t>(rh::kSize)) break;
      if (rec[rh::kDeleted] != 0 ||
          ShortStringLength(rec + rh::kKeyName, rh::kKeyNameCapacity) == 0)
        freeSlots_.push_back(slot);
      else
        nameList_.Append(GetShortString(rec + rh::kKeyName, rh::kKeyNameCapacity), slot);
      platform::ProcessPendingEvents();
      if (platform::ShuttingDown()) {
        CloseFile();
        return;
      }
    }
  }
  CloseFile();
  nameList_.SortRange(0, nameList_.Count() - 1);
  lastChangedSlot_ = GetI32(HeaderCopy().data() + hdr::kLastChangedSlot);
  lastChangeTime_ = GetF64(HeaderCopy().data() + hdr::kLastChangeTime);
  indexLoaded_ = true;
}

bool TFileDB::LoadIndexFile() {
  platform::Env* env = CurrentEnv();
  if (!env->Exists(indexPath_)) return false;
  std::error_code ec;
  auto index = env->Open(indexPath_, OpenMode::kReadWriteShared, ec);
  if (!index) return false;

  uint8_t ih[idx::kHeaderSize] = {};
  bool valid = index->Read(0, ih, sizeof ih) == static_cast<int64_t>(sizeof ih);
  valid = IndexAgreesWithDataFile(valid,
                                  {GetI32(ih + idx::kSlotCount), GetI32(ih + idx::kLastChangedSlot),
                                   GetF64(ih + idx::kLastChangeTime)},
                                  CharDataRecord::kUpdateTime, [&] {
                                    return GetShortString(ih + idx::kDescription,
                                                          idx::kDescriptionCapacity) ==
                                           layout::kCharIndexSignature;
                                  });

  if (valid) {
    lastChangedSlot_ = GetI32(ih + idx::kLastChangedSlot);
    lastChangeTime_ = GetF64(ih + idx::kLastChangeTime);
    const int32_t names = GetI32(ih + idx::kNameCount);
    valid = ReadIndexEntries(index.get(), idx::kHeaderSize, names, idx::kEntrySize, idx::kEntryKey,
                             idx::kEntryKeyCapacity, idx::kEntrySlot, SlotCount(), nameList_);
    const int32_t frees = GetI32(ih + idx::kFreeCount);
    if (frees < 0) valid = false;
    if (valid) {
      int64_t offset = static_cast<int64_t>(idx::kHeaderSize) +
                       static_cast<int64_t>(names > 0 ? names : 0) * idx::kEntrySize;
      int64_t remaining = frees;
      std::vector<uint8_t> buf;
      while (valid && remaining > 0) {
        const int64_t n = std::min<int64_t>(remaining, 16384);
        buf.resize(static_cast<size_t>(n) * 4);
        const int64_t got = index->Read(offset, buf.data(), buf.size());
        const int64_t whole = got < 0 ? 0 : got / 4;
        for (int64_t i = 0; i < whole && valid; ++i) {
          const int32_t slot = GetI32(buf.data() + 4 * i);
          if (slot < 0 || slot >= SlotCount()) valid = false;  // no record there
          freeSlots_.push_back(slot);
        }
        if (whole < n) valid = false;
        offset += n * 4;
        remaining -= n;
      }
    }
  }
  index->Close();
  if (valid) {
    nameList_.SortRange(0, nameList_.Count() - 1);
  } else {
    nameList_.Clear();
    freeSlots_.clear();
  }
  return valid;
}

void TFileDB::SaveIndexFile() {
  const size_t names = static_cast<size_t>(nameList_.Count());
  std::vector<uint8_t> out(idx::kHeaderSize + names * idx::kEntrySize + freeSlots_.size() * 4);
  uint8_t* h = out.data();
  PutShortString(h + idx::kDescription, idx::kDescriptionCapacity, layout::kCharIndexSignature);
  PutI32(h + idx::kNameCount, nameList_.Count());
  PutI32(h + idx::kSlotCount, SlotCount());
  PutI32(h + idx::kFreeCount, static_cast<int32_t>(freeSlots_.size()));
  PutI32(h + idx::kLastChangedSlot, lastChangedSlot_);
  PutF64(h + idx::kLastChangeTime, lastChangeTime_);
  uint8_t* p = out.data() + idx::kHeaderSize;
  for (int i = 0; i < nameList_.Count(); ++i, p += idx::kEntrySize) {
    PutShortString(p + idx::kEntryKey, idx::kEntryKeyCapacity, nameList_.Text(i));
    PutI32(p + idx::kEntrySlot, nameList_.Value(i));
  }
  for (const int32_t slot : freeSlots_) {
    PutI32(p, slot);
    p += 4;
  }
  platform::Env* env = CurrentEnv();
  std::error_code ec;
  auto index = env->Exists(indexPath_) ? env->Open(indexPath_, OpenMode::kReadWriteShared, ec)
                                       : env->Open(indexPath_, OpenMode::kCreateTruncate, ec);
  if (!index) return;
  // Not truncated: bytes of an older, longer index past the new end stay, and no reader
  // reaches them.
  index->Write(0, out.data(), out.size());
  index->Close();
}

int TFileDB::ReadAt(int position, CharDataRecord& record) {
  if (position < 0 || position >= nameList_.Count()) return -1;
  const int32_t slot = nameList_.Value(position);
  return ReadSlotRaw(slot, record.bytes.data()) ? slot : -1;
}

int TFileDB::ReadAtWhole(int position, CharDataRecord& record) {
  if (position < 0 || position >= nameList_.Count()) return -1;
  const int32_t slot = nameList_.Value(position);
  return ReadSlotWholeRaw(slot, record.bytes.data()) ? slot : -1;
}

bool TFileDB::HoldsLiveRecord(int64_t offset) {
  // The file holds the whole record, and its header says live and named. Only the header is
  // read: a merge asks this for every record it adds, most of them past the end of the file.
  const int64_t size = file()->Size();
  if (size < 0 || offset > size - static_cast<int64_t>(CharDataRecord::kSize)) return false;
  uint8_t head[rh::kSize];
  if (file()->Read(offset, head, sizeof head) != static_cast<int64_t>(sizeof head)) return false;
  return head[rh::kDeleted] == 0 &&
         ShortStringLength(head + rh::kKeyName, rh::kKeyNameCapacity) != 0;
}

bool TFileDB::WriteRecord(int32_t slot, CharDataRecord& record, bool isNew) {
  const int64_t offset = SlotOffset(slot);
  if (file() == nullptr || offset < 0)
    return Fail("the file is not open or the slot lies outside it: " + std::to_string(slot));
  platform::Env* env = CurrentEnv();
  const TDateTime t = env->Now();
  lastChangedSlot_ = slot;
  lastChangeTime_ = t;
  if (isNew && HoldsLiveRecord(offset))
    return Fail("free slot " + std::to_string(slot) + " holds a live record");
  record.bytes[CharDataRecord::kDeleted] = 0;
  PutF64(record.bytes.data() + CharDataRecord::kUpdateTime, t);
  StampHeader(slot, t);
  return WriteHeaderAndRecord(offset, record.bytes.data()) || FailIo();
}

void TFileDB::StampHeader(int32_t slot, TDateTime t) {
  uint8_t* h = header().data();
  PutI32(h + hdr::kLastChangedSlot, slot);
  PutF64(h + hdr::kLastChangeTime, t);
  PutF64(h + hdr::kLastWriteTime, CurrentEnv()->Now());
}

bool TFileDB::WriteAt(int position, CharDataRecord& record) {
  if (position < 0 || position >= NameCount()) return Fail("no such position");
  return WriteRecord(nameList_.Value(position), record, false);
}

bool TFileDB::Add(CharDataRecord& record) {
  const std::string key = record.KeyName();
  if (FindName(key) >= 0) return Fail("the character name is taken: " + key);
  const Header saved = HeaderCopy();
  const int32_t slot = TakeFreeOrEndSlot(freeSlots_);
  if (!WriteRecord(slot, record, true)) {
    header() = saved;
    return false;
  }
  nameList_.InsertSorted(key, slot);
  return true;
}

bool TFileDB::PlanAdd(std::string_view key, int32_t& slot) {
  if (FindName(key) >= 0) return Fail("the character name is taken: " + std::string(key));
  slot = TakeFreeOrEndSlot(freeSlots_);
  const int64_t offset = SlotOffset(slot);
  if (file() == nullptr || offset < 0)
    return Fail("the file is not open or the slot lies outside it: " + std::to_string(slot));
  if (HoldsLiveRecord(offset))
    return Fail("free slot " + std::to_string(slot) + " holds a live record");
  nameList_.InsertSorted(key, slot);
  return true;
}

void TFileDB::AdoptRewrite(const Header& newHeader, int32_t lastChangedSlot,
                           TDateTime lastChangeTime) {
  header() = newHeader;
  lastChangedSlot_ = lastChangedSlot;
  lastChangeTime_ = lastChangeTime;
}

bool TFileDB::MarkDeleted(int32_t slot) {
  const int64_t offset = SlotOffset(slot);
  if (file() == nullptr || offset < 0) return Fail("the file is not open");
  platform::Env* env = CurrentEnv();
  const TDateTime t = env->Now();
  lastChangedSlot_ = slot;
  lastChangeTime_ = t;
  if (!WriteDeletedMark(offset, t)) return FailIo();
  freeSlots_.push_back(slot);
  StampHeader(slot, t);
  // The mark on the record is the deletion: once it is written the slot is free, whether or not
  // the header could be updated, so the name must leave the list with it. A failed header
  // write is still recorded.
  if (!file()->Write(0, HeaderCopy().data(), hdr::kSize)) FailIo();
  return true;
}

bool TFileDB::DeleteByName(std::string_view name) {
  const int position = FindName(name);
  if (position == -1) return Fail("no such character: " + std::string(name));
  if (!MarkDeleted(nameList_.Value(position))) return false;
  nameList_.Delete(position);
  return true;
}

bool TFileDB::Compact(RebuildProgressSink* progress) {
  CompactHooks hooks;
  hooks.keepByHeader = [](const uint8_t* head) { return head[CharDataRecord::kDeleted] == 0; };
  if (progress != nullptr)
    hooks.beforeRead = [progress](int32_t copied, int32_t oldSlotCount) {
      progress->PostRebuildProgress(copied + 1, oldSlotCount);
    };
  hooks.pauseBeforeRenameMs = 50;
  return CompactWith("Kem#$00.DB", hooks);
}

}  // namespace zkq
