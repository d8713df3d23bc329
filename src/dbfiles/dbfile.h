// The framework shared by the three database files: a 124-byte header followed by fixed-size
// record slots, opened and closed in pairs under a re-entrant lock, with an in-memory sorted
// name list mapping every live record's key to its slot.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "dbfiles/layout.h"
#include "dbfiles/mudutil.h"
#include "platform/env.h"
#include "platform/lock.h"

namespace zkq {

class SequentialRecordReader;

class TDBFile {
 public:
  using Header = std::array<uint8_t, layout::dbheader::kSize>;

  TDBFile(const TDBFile&) = delete;
  TDBFile& operator=(const TDBFile&) = delete;
  virtual ~TDBFile();

  // Takes the file lock, opens (or creates) the file and reads the header. Must be matched by
  // exactly one CloseFile(), also when it returned false: the lock is taken either way.
  bool OpenFile();
  // Closes the handle and releases the lock taken by OpenFile.
  void CloseFile();

  int32_t SlotCount() const { return GetI32(header_.data() + layout::dbheader::kSlotCount); }
  // Position of the name in NameList (ASCII letters without regard to case), or -1.
  int FindName(std::string_view name) const { return nameList_.Search(name); }
  const TQuickList& NameList() const { return nameList_; }
  const Header& HeaderCopy() const { return header_; }
  const std::filesystem::path& Path() const { return path_; }
  size_t RecordSize() const { return recordSize_; }
  // Why the last operation that returned false or -1 failed: the system's reason, or what in
  // the file stood in the way. Empty when none failed.
  const std::string& LastError() const { return lastError_; }
  // The handle of the current OpenFile (null when none), for reading the records in large
  // blocks.
  platform::RandomRWFile* Handle() const { return file(); }
  // A walk over the open file's slots from the first, `recordsPerRead` records per read call;
  // see NextWholeRecord.
  SequentialRecordReader WalkSlots(size_t recordsPerRead) const;
  // Throws FileError when listing the records at construction failed part way (a read error is
  // not the end of the file): a name list missing the names behind it must not be acted on.
  void RequireWholeList() const;

 protected:
  TDBFile(std::filesystem::path path, size_t recordSize, size_t descriptionCapacity,
          std::string_view signature, platform::ReentrantLock* lock);

  // Reads the raw record of a slot into `buffer` (RecordSize() bytes). False only when the file
  // cannot be positioned there; a short read leaves the rest of the buffer as it was.
  bool ReadSlotRaw(int32_t slot, uint8_t* buffer);
  // Reads the raw record of a slot; true only when the whole record arrived.
  bool ReadSlotWholeRaw(int32_t slot, uint8_t* buffer);
  bool ReadSlotCheckedRaw(int32_t slot, uint8_t* buffer) {
    return slot >= 0 && ReadSlotRaw(slot, buffer);
  }

  // Byte offset of a slot; negative when the slot cannot be positioned.
  int64_t SlotOffset(int64_t slot) const {
    return static_cast<int64_t>(layout::dbheader::kSize) + slot * static_cast<int64_t>(recordSize_);
  }

  // Releases every OpenFile still outstanding. Subclasses that own their lock call it first in
  // their destructor, while the lock still exists.
  void CloseAllOpens() {
    while (openCount_ > 0) CloseFile();
  }

  // Takes the slot at the end of the file for an Add: returns SlotCount and counts it up by
  // one (wrapping as a 32-bit value would, instead of overflowing).
  int32_t TakeSlotAtEnd();

  // Takes the slot for an Add from the front of `freeSlots`, or else at the end of the file.
  int32_t TakeFreeOrEndSlot(std::deque<int32_t>& freeSlots);

  // What an index file's header says about the data file, checked against the file itself:
  // its SlotCount (when the data file's header arrives whole), its LastChangedSlot, and the
  // update time (at `updateTimeOffset` in the record) of that slot's record when it arrives
  // whole. `headerCheck` adds a check that needs the whole header. Returns `valid` and-ed
  // with every check; an index is never valid when the data file cannot be opened.
  struct IndexClaims {
    int32_t slotCount;
    int32_t lastChangedSlot;
    TDateTime lastChangeTime;
  };
  bool IndexAgreesWithDataFile(bool valid, const IndexClaims& claims, size_t updateTimeOffset,
                               const std::function<bool()>& headerCheck);

  // Called when OpenFile creates the file, after the signature, SlotCount and the reserved field
  // are set in the header copy and before it is written.
  virtual void OnCreateHeader() {}

  // Reads the 124-byte header from offset 0 into the header copy; true when all of it arrived.
  bool ReadHeader();
  // Writes the header copy at offset 0 and `record` at the slot's offset.
  bool WriteHeaderAndRecord(int64_t slotOffset, const uint8_t* record);

  // Writes a 28-byte record header with Deleted = 1 and the given update time over the start of
  // the record; the other bytes of those 28 are kept as they are.
  bool WriteDeletedMark(int64_t slotOffset, TDateTime when);

  // The compaction common to all three files. Reads every whole record after the header into
  // a temporary file of the given name (relative to the current folder), keeping those for which
  // `keep` returns true (`keep` may change the record before it is written, and learns its new
  // slot); `beforeRead` runs before every record read, the last read included. `finishHeader`
  // may adjust the new header after SlotCount and LastWriteTime are set. The data file is
  // replaced only after the new content is complete and flushed; on any failure it stays as it
  // was. Returns true when the file was replaced.
  struct CompactHooks {
    std::function<bool(uint8_t* record, int32_t newSlot)> keep;
    // Instead of `keep`, for large records: decides from the record's first 28 bytes alone and
    // never changes the record, so a kept record goes from the read buffer to the new file
    // without a copy of its own.
    std::function<bool(const uint8_t* recordHeader)> keepByHeader;
    std::function<void(int32_t copiedSoFar, int32_t oldSlotCount)> beforeRead;
    std::function<void(uint8_t* header)> finishHeader;
    int pauseBeforeRenameMs = 0;
  };
  bool CompactWith(const std::filesystem::path& tempName, const CompactHooks& hooks);

  platform::RandomRWFile* file() const { return file_.get(); }
  Header& header() { return header_; }
  // Records why an operation failed; returns false for the caller to pass on.
  bool Fail(std::string reason) {
    lastError_ = std::move(reason);
    return false;
  }
  // The reason of the open file's last failed call.
  bool FailIo();

  std::filesystem::path path_;
  TQuickList nameList_;

 private:
  size_t recordSize_;
  size_t descriptionCapacity_;
  std::string_view signature_;
  platform::ReentrantLock* lock_;
  int openCount_ = 0;
  std::unique_ptr<platform::RandomRWFile> file_;
  Header header_{};
  std::string lastError_;
};

// Holds a database file open for its own lifetime: OpenFile at construction, the matching
// CloseFile on every path out.
class OpenedFile {
 public:
  explicit OpenedFile(TDBFile& file) : file_(file), ok_(file.OpenFile()) {}
  ~OpenedFile() { file_.CloseFile(); }
  OpenedFile(const OpenedFile&) = delete;
  OpenedFile& operator=(const OpenedFile&) = delete;
  // Whether OpenFile succeeded.
  bool ok() const { return ok_; }

 private:
  TDBFile& file_;
  bool ok_;
};

// Reads fixed-size records one after another through a large buffer.
class SequentialRecordReader {
 public:
  SequentialRecordReader(platform::RandomRWFile* file, int64_t start, size_t recordSize,
                         size_t recordsPerRead);
  // The next whole record, or null at the first short read.
  const uint8_t* Next();
  // True when reading stopped at an error rather than at the end of the file.
  bool Failed() const { return failed_; }

 private:
  platform::RandomRWFile* file_;
  int64_t offset_;
  size_t recordSize_;
  std::vector<uint8_t> buf_;
  size_t have_ = 0, pos_ = 0;
  bool ended_ = false;
  bool failed_ = false;
};

// The next record of a walk over `file`'s slots, copied to `out` (RecordSize() bytes). False
// where the file ends inside it (its header overstates the file). A read error throws FileError
// with the file's path: it is no end, and the records behind it would be passed over.
bool NextWholeRecord(SequentialRecordReader& reader, const TDBFile& file, uint8_t* out);

// The positions of a name list with their slots, in slot order: the order in which a reader
// takes the listed records through SlotBlockReader.
std::vector<std::pair<int32_t, int>> ListedBySlot(const TQuickList& names);

// Reads the records of chosen slots, asked for in ascending order, through a large buffer, so
// that a run of nearby slots costs one read call.
class SlotBlockReader {
 public:
  SlotBlockReader(platform::RandomRWFile* file, size_t recordSize, size_t recordsPerRead);
  // The bytes of `slot` and in `have` how many of them the file holds (fewer where it ends
  // inside the record, 0 past its end). Null after a read error.
  const uint8_t* Slot(int64_t slot, int64_t& have);

 private:
  platform::RandomRWFile* file_;
  int64_t recordSize_;
  int64_t perRead_;
  std::vector<uint8_t> buf_;
  int64_t first_ = -1;
  int64_t got_ = 0;
};

// Reads `count` index entries of `entrySize` bytes from `offset`, appending (key, slot) to
// `list`. Returns false when the file ends before all of them arrived, when the count is
// negative, or when an entry names a slot outside 0..slotCount-1. The count is never trusted
// for an allocation.
bool ReadIndexEntries(platform::RandomRWFile* file, int64_t offset, int64_t count, size_t entrySize,
                      size_t keyOffset, size_t keyCapacity, size_t slotOffset, int32_t slotCount,
                      TQuickList& list);

}  // namespace zkq
