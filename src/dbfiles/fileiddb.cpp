#include "dbfiles/fileiddb.h"

#include <vector>

#include "platform/app_hooks.h"

namespace zkq {

namespace fs = std::filesystem;
using platform::CurrentEnv;
using platform::OpenMode;
namespace hdr = layout::dbheader;
namespace idx = layout::idindex;

std::atomic<bool> TFileIDDB::indexLoaded_{false};

// The member lock is constructed after the base, so the base gets its address only.
TFileIDDB::TFileIDDB(fs::path path)
    : TDBFile(std::move(path), AccountRecord::kSize, hdr::kAccountDescriptionCapacity,
              layout::kAccountFileSignature, &ownLock_) {
  indexPath_ = path_;
  indexPath_ += ".idx";
  nameList_.boCaseSensitive = false;
  indexLoaded_ = false;
  if (LoadIndexFile()) {
    indexLoaded_ = true;
  } else {
    ScanRecords();
  }
}

TFileIDDB::~TFileIDDB() {
  CloseAllOpens();  // the lock is this object's own and goes with it
  if (indexLoaded_ && saveIndex_) SaveIndexFile();
}

void TFileIDDB::OnCreateHeader() {
  PutI32(header().data() + hdr::kFreeHead, -1);
}

void TFileIDDB::ScanRecords() {
  nameList_.Clear();
  freeHead_ = -1;
  const bool opened = OpenFile();
  // A data file that cannot be opened leaves its index file as it is.
  saveIndex_ = opened;
  if (opened && ReadHeader()) {
    const int32_t slots = SlotCount();
    SequentialRecordReader reader(file(), static_cast<int64_t>(hdr::kSize), AccountRecord::kSize,
                                  2048);
    for (int32_t slot = 0; slot < slots; ++slot) {
      const uint8_t* rec = reader.Next();
      if (rec == nullptr) {
        if (reader.Failed()) {
          // Not the end of the file: the names behind the error are unknown, so the part
          // listed must not be saved as the whole.
          FailIo();
          saveIndex_ = false;
        }
        break;
      }
      if (rec[AccountRecord::kDeleted] == 0) {
        if (ShortStringLength(rec + AccountRecord::kAccountName,
                              AccountRecord::kAccountNameCapacity) != 0)
          nameList_.Append(GetShortString(rec + AccountRecord::kAccountName,
                                          AccountRecord::kAccountNameCapacity),
                           slot);
      } else {
        // Link the slot into the free chain: its FreeLink names the previous head.
        uint8_t part[AccountRecord::kChainPartSize];
        std::copy(rec, rec + sizeof part, part);
        PutI32(part + AccountRecord::kFreeLink, freeHead_);
        if (!file()->Write(SlotOffset(slot), part, sizeof part)) FailIo();
        freeHead_ = slot;
      }
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

bool TFileIDDB::LoadIndexFile() {
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
                                  AccountRecord::kUpdateTime, nullptr);

  if (valid) {
    lastChangedSlot_ = GetI32(ih + idx::kLastChangedSlot);
    lastChangeTime_ = GetF64(ih + idx::kLastChangeTime);
    valid = ReadIndexEntries(index.get(), idx::kHeaderSize, GetI32(ih + idx::kNameCount),
                             idx::kEntrySize, idx::kEntryKey, idx::kEntryKeyCapacity,
                             idx::kEntrySlot, SlotCount(), nameList_);
  }
  index->Close();
  // The stored order is kept as it is.
  if (!valid) nameList_.Clear();
  return valid;
}

void TFileIDDB::SaveIndexFile() {
  std::vector<uint8_t> out(idx::kHeaderSize +
                           static_cast<size_t>(nameList_.Count()) * idx::kEntrySize);
  uint8_t* h = out.data();
  PutShortString(h + idx::kDescription, idx::kDescriptionCapacity, layout::kAccountIndexSignature);
  PutI32(h + idx::kNameCount, nameList_.Count());
  PutI32(h + idx::kSlotCount, SlotCount());
  PutI32(h + idx::kLastChangedSlot, lastChangedSlot_);
  PutF64(h + idx::kLastChangeTime, lastChangeTime_);
  for (int i = 0; i < nameList_.Count(); ++i) {
    uint8_t* e = out.data() + idx::kHeaderSize + static_cast<size_t>(i) * idx::kEntrySize;
    PutShortString(e + idx::kEntryKey, idx::kEntryKeyCapacity, nameList_.Text(i));
    PutI32(e + idx::kEntrySlot, nameList_.Value(i));
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

bool TFileIDDB::Add(const AccountRecord& record) {
  const std::string name = record.AccountName();
  if (FindName(name) >= 0) return Fail("the account name is taken: " + name);
  const Header saved = HeaderCopy();
  int32_t slot;
  if (freeHead_ != -1) {
    slot = freeHead_;
  } else {
    slot = TakeSlotAtEnd();
  }

  bool written = false;
  const int64_t offset = SlotOffset(slot);
  if (file() == nullptr || offset < 0) {
    Fail("the file is not open or the slot lies outside it: " + std::to_string(slot));
  } else {
    platform::Env* env = CurrentEnv();
    lastChangedSlot_ = slot;
    const TDateTime t = env->Now();
    lastChangeTime_ = t;
    bool blocked = false;
    uint8_t part[AccountRecord::kChainPartSize];
    if (file()->Read(offset, part, sizeof part) == static_cast<int64_t>(sizeof part)) {
      if (part[AccountRecord::kDeleted] != 0) {
        freeHead_ = GetI32(part + AccountRecord::kFreeLink);
      } else {
        freeHead_ = -1;
        blocked = true;
        Fail("slot " + std::to_string(slot) + " of the free chain holds a live record");
      }
    }
    if (!blocked) {
      AccountRecord copy = record;
      PutF64(copy.bytes.data() + AccountRecord::kCreateTime, t);
      copy.bytes[AccountRecord::kDeleted] = 0;
      PutF64(copy.bytes.data() + AccountRecord::kUpdateTime, t);
      uint8_t* h = header().data();
      PutI32(h + hdr::kLastChangedSlot, slot);
      PutF64(h + hdr::kLastChangeTime, t);
      PutI32(h + hdr::kFreeHead, freeHead_);
      PutF64(h + hdr::kLastWriteTime, env->Now());
      written = WriteHeaderAndRecord(offset, copy.bytes.data());
      if (!written) FailIo();
    }
  }
  if (!written) {
    header() = saved;
    return false;
  }
  nameList_.InsertSorted(name, slot);
  return true;
}

std::string TFileIDDB::MakeFreeAccountName(std::string_view name) const {
  std::string base(name);
  if (base.size() >= 10) base.resize(9);
  for (char c = 'a'; c <= 'z'; ++c) {
    std::string candidate = base + c;
    if (FindName(candidate) == -1) return candidate;
  }
  return {};
}

bool TFileIDDB::Compact(const std::function<bool(std::string_view)>& purged) {
  int32_t lastDeleted = -1;
  CompactHooks hooks;
  hooks.keep = [&](uint8_t* rec, int32_t newSlot) {
    if (purged(
            GetShortString(rec + AccountRecord::kAccountName, AccountRecord::kAccountNameCapacity)))
      return false;
    if (rec[AccountRecord::kDeleted] != 0) {
      // Chain the deleted records as a fresh scan would: each to the next lower one.
      PutI32(rec + AccountRecord::kFreeLink, lastDeleted);
      lastDeleted = newSlot;
    }
    return true;
  };
  hooks.finishHeader = [&](uint8_t* h) { PutI32(h + hdr::kFreeHead, lastDeleted); };
  return CompactWith("ID#$00.DB", hooks);
}

}  // namespace zkq
