// The character data file "Kem.db": 24800-byte records keyed by character name, free slots in
// a list, deletion that rewrites the header, and an index file "<path>.idx" with a free-slot
// section whose signature is checked.
#pragma once

#include <atomic>
#include <string_view>
#include <vector>

#include "common/rebuild_progress.h"
#include "dbfiles/chardata.h"
#include "dbfiles/dbfile.h"

namespace zkq {

class TFileDB : public TDBFile {
 public:
  // Loads the index file or scans the record headers; creates the file when it is missing.
  explicit TFileDB(std::filesystem::path path);
  // Saves the index file while the class-wide IndexLoaded flag is set (not when the data file
  // could not be opened while the name list was built).
  ~TFileDB() override;

  int NameCount() const { return nameList_.Count(); }
  bool ReadSlot(int32_t slot, CharDataRecord& record) {
    return ReadSlotRaw(slot, record.bytes.data());
  }
  // True only when the whole record of the slot arrived.
  bool ReadSlotWhole(int32_t slot, CharDataRecord& record) {
    return ReadSlotWholeRaw(slot, record.bytes.data());
  }
  // Reads the record of the NameList item at `position`; its slot, or -1 when the read failed or
  // the position lies outside the list.
  int ReadAt(int position, CharDataRecord& record);
  // Rewrites the record of the item at `position`. Sets the caller's Deleted to 0 and its
  // UpdateTime to the write's time. False for a position outside the list.
  bool WriteAt(int position, CharDataRecord& record);
  // As ReadAt, but -1 also when the record did not arrive whole.
  int ReadAtWhole(int position, CharDataRecord& record);
  // Stores the record under its KeyName, setting the caller's Deleted and UpdateTime once the
  // write is under way. False for a present key, a slot holding a live named record or a
  // failed write.
  bool Add(CharDataRecord& record);
  bool DeleteByName(std::string_view name);
  // Rewrites the file without deleted records, reporting to `progress` when given. True when
  // the file was replaced.
  bool Compact(RebuildProgressSink* progress);

  // For a caller that writes the whole file anew (the character data merge): chooses the slot
  // an Add of this key would take, and lists the key there, without writing anything. False,
  // with nothing listed, for a present key or a free slot that holds a live named record (the
  // slot is then lost from FreeSlots, as for Add).
  bool PlanAdd(std::string_view key, int32_t& slot);
  // After the caller replaced the file: the header it wrote and the last change it made, so
  // that the index file saved at destruction describes the new file.
  void AdoptRewrite(const Header& header, int32_t lastChangedSlot, TDateTime lastChangeTime);

  // A copy of the free slots, front first.
  std::vector<int32_t> FreeSlots() const { return {freeSlots_.begin(), freeSlots_.end()}; }
  int32_t LastChangedSlot() const { return lastChangedSlot_; }
  TDateTime LastChangeTime() const { return lastChangeTime_; }
  const std::filesystem::path& IndexPath() const { return indexPath_; }

  static bool IndexLoaded() { return indexLoaded_.load(); }

 private:
  bool LoadIndexFile();
  void ScanRecords();
  void SaveIndexFile();
  bool WriteRecord(int32_t slot, CharDataRecord& record, bool isNew);
  // True when the file holds the whole record at `offset` and it is live and named.
  bool HoldsLiveRecord(int64_t offset);
  bool MarkDeleted(int32_t slot);
  // The header's LastChangedSlot and LastChangeTime := (slot, t), LastWriteTime := now.
  void StampHeader(int32_t slot, TDateTime t);

  static std::atomic<bool> indexLoaded_;

  std::filesystem::path indexPath_;
  std::deque<int32_t> freeSlots_;  // used from the front, appended at the back
  int32_t lastChangedSlot_ = -1;
  bool saveIndex_ = true;  // false when the build could not open the data file
  TDateTime lastChangeTime_ = 0;
};

}  // namespace zkq
