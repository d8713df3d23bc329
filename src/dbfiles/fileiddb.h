// The account file "Id.db": 349-byte records keyed by account name, free slots chained through
// the deleted records, an index file "<path>.idx" and a lock of its own.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <string>
#include <string_view>

#include "dbfiles/dbfile.h"

namespace zkq {

// AccountRecord, 349 bytes; slot s at 124 + 349 * s.
struct AccountRecord {
  static constexpr size_t kSize = 349;
  static constexpr size_t kDeleted = 0;       // byte: 0 live, non-zero in the free chain
  static constexpr size_t kCreateTime = 4;    // date-time of the Add that stored it
  static constexpr size_t kUpdateTime = 12;   // date-time of the last write
  static constexpr size_t kFreeLink = 24;     // int32, deleted records: next free slot or -1
  static constexpr size_t kAccountName = 32;  // short string, capacity 10: the key
  static constexpr size_t kAccountNameCapacity = 10;
  static constexpr size_t kChainPartSize = 28;  // the part the free chain reads and rewrites

  std::array<uint8_t, kSize> bytes{};

  bool Deleted() const { return bytes[kDeleted] != 0; }
  TDateTime CreateTime() const { return GetF64(bytes.data() + kCreateTime); }
  TDateTime UpdateTime() const { return GetF64(bytes.data() + kUpdateTime); }
  int32_t FreeLink() const { return GetI32(bytes.data() + kFreeLink); }
  std::string AccountName() const {
    return GetShortString(bytes.data() + kAccountName, kAccountNameCapacity);
  }
  void SetAccountName(std::string_view name) {
    PutShortString(bytes.data() + kAccountName, kAccountNameCapacity, name);
  }
};

class TFileIDDB : public TDBFile {
 public:
  // Loads the index file or scans the records; creates the file when it is missing.
  explicit TFileIDDB(std::filesystem::path path);
  // Saves the index file while the class-wide IndexLoaded flag is set (not when the data file
  // could not be opened while the name list was built).
  ~TFileIDDB() override;

  bool ReadSlot(int32_t slot, AccountRecord& record) {
    return ReadSlotRaw(slot, record.bytes.data());
  }
  bool ReadSlotChecked(int32_t slot, AccountRecord& record) {
    return ReadSlotCheckedRaw(slot, record.bytes.data());
  }
  // True only when the whole record of the slot arrived (a slot past the end of the file, or
  // cut by it, does not).
  bool ReadSlotWhole(int32_t slot, AccountRecord& record) {
    return ReadSlotWholeRaw(slot, record.bytes.data());
  }

  // Stores a copy of the record under its account name, in the head of the free chain or at the
  // end. False for a present name, a slot holding a live record, or a failed write.
  bool Add(const AccountRecord& record);

  // A name derived from `name` that FindName does not know, or the empty text.
  std::string MakeFreeAccountName(std::string_view name) const;

  // Rewrites the file without the records whose account name `purged` accepts. The deleted
  // records that stay are chained afresh. True when the file was replaced.
  bool Compact(const std::function<bool(std::string_view accountName)>& purged);

  int32_t FreeHead() const { return freeHead_; }
  int32_t LastChangedSlot() const { return lastChangedSlot_; }
  TDateTime LastChangeTime() const { return lastChangeTime_; }
  const std::filesystem::path& IndexPath() const { return indexPath_; }

  // The flag shared by all account file objects: cleared when one starts building its name
  // list, set when a build finishes.
  static bool IndexLoaded() { return indexLoaded_.load(); }

 protected:
  void OnCreateHeader() override;

 private:
  bool LoadIndexFile();
  void ScanRecords();
  void SaveIndexFile();

  static std::atomic<bool> indexLoaded_;

  platform::ReentrantLock ownLock_;
  std::filesystem::path indexPath_;
  int32_t freeHead_ = -1;
  int32_t lastChangedSlot_ = -1;
  bool saveIndex_ = true;  // false when the build could not open the data file
  TDateTime lastChangeTime_ = 0;
};

}  // namespace zkq
