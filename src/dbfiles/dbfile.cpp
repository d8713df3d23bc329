#include "dbfiles/dbfile.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <vector>

#include "common/errors.h"

namespace zkq {

namespace fs = std::filesystem;
using platform::CurrentEnv;
using platform::OpenMode;
namespace hdr = layout::dbheader;

TDBFile::TDBFile(fs::path path, size_t recordSize, size_t descriptionCapacity,
                 std::string_view signature, platform::ReentrantLock* lock)
    : path_(std::move(path)),
      recordSize_(recordSize),
      descriptionCapacity_(descriptionCapacity),
      signature_(signature),
      lock_(lock) {}

TDBFile::~TDBFile() {
  CloseAllOpens();
}

bool TDBFile::OpenFile() {
  lock_->Lock();
  ++openCount_;
  file_.reset();
  platform::Env* env = CurrentEnv();
  std::error_code ec;
  if (env->Exists(path_)) {
    file_ = env->Open(path_, OpenMode::kReadWriteShared, ec);
    // A shorter read leaves the rest of the header copy as it was.
    if (file_) file_->Read(0, header_.data(), header_.size());
  } else {
    file_ = env->Open(path_, OpenMode::kCreateTruncate, ec);
    if (file_) {
      PutShortString(header_.data() + hdr::kDescription, descriptionCapacity_, signature_);
      PutI32(header_.data() + hdr::kSlotCount, 0);
      PutI32(header_.data() + hdr::kReserved108, 0);
      OnCreateHeader();
      if (!file_->Write(0, header_.data(), header_.size())) FailIo();
    }
  }
  if (!file_) return Fail(ec.message());
  return true;
}

void TDBFile::RequireWholeList() const {
  if (!lastError_.empty()) throw FileError(path_, lastError_);
}

bool TDBFile::FailIo() {
  const std::error_code ec = file_ ? file_->LastError() : std::error_code();
  return Fail(ec ? ec.message() : std::string("input/output error"));
}

void TDBFile::CloseFile() {
  if (openCount_ == 0) return;  // not matched by an OpenFile: nothing to release
  if (file_) {
    file_->Close();
    file_.reset();
  }
  --openCount_;
  lock_->Unlock();
}

int32_t TDBFile::TakeSlotAtEnd() {
  const int32_t slot = SlotCount();
  PutI32(header_.data() + hdr::kSlotCount, static_cast<int32_t>(static_cast<uint32_t>(slot) + 1u));
  return slot;
}

int32_t TDBFile::TakeFreeOrEndSlot(std::deque<int32_t>& freeSlots) {
  if (freeSlots.empty()) return TakeSlotAtEnd();
  const int32_t slot = freeSlots.front();
  freeSlots.pop_front();
  return slot;
}

bool TDBFile::IndexAgreesWithDataFile(bool valid, const IndexClaims& claims,
                                      size_t updateTimeOffset,
                                      const std::function<bool()>& headerCheck) {
  if (!OpenFile()) {
    valid = false;
  } else {
    if (ReadHeader()) {
      if (claims.slotCount != SlotCount()) valid = false;
      if (headerCheck && !headerCheck()) valid = false;
    }
    const int32_t changed = GetI32(header_.data() + hdr::kLastChangedSlot);
    if (claims.lastChangedSlot != changed) valid = false;
    if (valid && changed >= 0) {
      std::vector<uint8_t> record(recordSize_);
      if (file_->Read(SlotOffset(changed), record.data(), record.size()) ==
              static_cast<int64_t>(record.size()) &&
          GetF64(record.data() + updateTimeOffset) != claims.lastChangeTime)
        valid = false;
    }
  }
  CloseFile();
  return valid;
}

bool TDBFile::ReadHeader() {
  return file_ &&
         file_->Read(0, header_.data(), header_.size()) == static_cast<int64_t>(header_.size());
}

bool TDBFile::ReadSlotRaw(int32_t slot, uint8_t* buffer) {
  const int64_t offset = SlotOffset(slot);
  if (!file_ || offset < 0) return false;
  // The number of bytes that arrive is not checked: a slot past the end reads as what the
  // buffer held before.
  file_->Read(offset, buffer, recordSize_);
  return true;
}

bool TDBFile::ReadSlotWholeRaw(int32_t slot, uint8_t* buffer) {
  const int64_t offset = SlotOffset(slot);
  return file_ && slot >= 0 &&
         file_->Read(offset, buffer, recordSize_) == static_cast<int64_t>(recordSize_);
}

bool TDBFile::WriteHeaderAndRecord(int64_t slotOffset, const uint8_t* record) {
  return file_->Write(0, header_.data(), header_.size()) &&
         file_->Write(slotOffset, record, recordSize_);
}

bool TDBFile::WriteDeletedMark(int64_t slotOffset, TDateTime when) {
  uint8_t mark[layout::recordheader::kSize] = {};
  file_->Read(slotOffset, mark, sizeof mark);
  mark[layout::recordheader::kDeleted] = 1;
  PutF64(mark + layout::recordheader::kUpdateTime, when);
  return file_->Write(slotOffset, mark, sizeof mark);
}

bool TDBFile::CompactWith(const fs::path& tempName, const CompactHooks& hooks) {
  platform::Env* env = CurrentEnv();
  // In a job the new content is the data file's own, staged beside it while the old content is
  // still read through the open handle, and it reaches the disk when the job switches its files
  // in. Elsewhere it goes to the temporary file, which replaces the data file once complete.
  const bool staging = env->Staging();
  std::error_code ec;
  std::unique_ptr<platform::RandomRWFile> temp;
  if (!staging) {
    // The fixed temporary name must never be the data file itself: deleting the "leftover
    // temporary file" would then delete the data.
    if (fs::equivalent(tempName, path_, ec)) return Fail("the temporary file is the data file");
    temp = platform::CreateTempFile(tempName, ec);
    if (!temp) return Fail(ec.message() + ": " + tempName.string());
  }

  bool complete = false;
  if (!OpenFile()) {
    // lastError_ says why
  } else if (!ReadHeader()) {
    Fail("the file is shorter than its header");
  } else if (staging && !(temp = env->Open(path_, OpenMode::kCreateTruncate, ec))) {
    Fail(ec.message());
  } else {
    Header newHeader = header_;
    const int32_t oldSlotCount = GetI32(newHeader.data() + hdr::kSlotCount);
    bool ok = temp->Write(0, newHeader.data(), newHeader.size());

    // Every whole record after the header, read and written in blocks of a few megabytes; the
    // kept bytes are flushed in the background as they grow, so that the disk works while the
    // copy goes on.
    // (No larger than the file: fresh memory costs a fault for each of its pages.)
    constexpr int64_t kWritebackBytes = int64_t{32} << 20;
    const int64_t fileSize = file_->Size();
    const size_t kBlockBytes = static_cast<size_t>(
        std::clamp<int64_t>(fileSize - static_cast<int64_t>(hdr::kSize), 1, int64_t{4} << 20));
    std::vector<uint8_t> out;
    const size_t flushAt = std::max<size_t>(recordSize_, kBlockBytes);
    out.reserve(flushAt + recordSize_);
    int64_t outOffset = static_cast<int64_t>(hdr::kSize);
    int64_t writtenBack = 0;
    auto flush = [&] {
      if (ok && !out.empty()) ok = temp->Write(outOffset, out.data(), out.size());
      outOffset += static_cast<int64_t>(out.size());
      out.clear();
      if (ok && outOffset - writtenBack >= kWritebackBytes) {
        temp->StartWriteback(writtenBack, static_cast<size_t>(outOffset - writtenBack));
        writtenBack = outOffset;
      }
    };

    int32_t count = 0;
    SequentialRecordReader reader(file_.get(), static_cast<int64_t>(hdr::kSize), recordSize_,
                                  std::max<size_t>(1, kBlockBytes / recordSize_));
    std::vector<uint8_t> record(hooks.keepByHeader ? 0 : recordSize_);
    while (ok) {
      if (hooks.beforeRead) hooks.beforeRead(count, oldSlotCount);
      const uint8_t* next = reader.Next();
      if (next == nullptr) break;
      if (hooks.keepByHeader) {
        if (!hooks.keepByHeader(next)) continue;
        out.insert(out.end(), next, next + recordSize_);
      } else {
        std::copy(next, next + recordSize_, record.begin());
        if (!hooks.keep(record.data(), count)) continue;
        out.insert(out.end(), record.begin(), record.end());
      }
      ++count;
      if (out.size() >= flushAt) flush();
    }
    flush();
    // A read error is not the end of the file: the copy would be short.
    const bool readFailed = reader.Failed();

    PutI32(newHeader.data() + hdr::kSlotCount, count);
    PutF64(newHeader.data() + hdr::kLastWriteTime, env->Now());
    if (hooks.finishHeader) hooks.finishHeader(newHeader.data());
    ok = ok && temp->Write(0, newHeader.data(), newHeader.size()) && temp->Sync();
    complete = ok && !readFailed;
    if (!complete) {
      const std::error_code why = readFailed ? file_->LastError() : temp->LastError();
      Fail(why ? why.message() : std::string("input/output error"));
    }
  }
  CloseFile();
  if (!temp) return false;
  const bool closed = temp->Close();
  if (complete && !closed) Fail(temp->LastError().message());
  temp.reset();
  if (staging) return complete && closed;
  if (!complete || !closed) {
    env->RemoveFile(tempName);
    return false;
  }
  if (hooks.pauseBeforeRenameMs > 0) env->SleepMs(hooks.pauseBeforeRenameMs);
  if (auto replaced = platform::ReplaceWithTemp(tempName, path_)) return Fail(replaced.message());
  return true;
}

// ---- SequentialRecordReader ----

SequentialRecordReader::SequentialRecordReader(platform::RandomRWFile* file, int64_t start,
                                               size_t recordSize, size_t recordsPerRead)
    : file_(file), offset_(start), recordSize_(recordSize), buf_(recordSize * recordsPerRead) {}

const uint8_t* SequentialRecordReader::Next() {
  if (pos_ + recordSize_ <= have_) {
    const uint8_t* rec = buf_.data() + pos_;
    pos_ += recordSize_;
    return rec;
  }
  if (ended_) return nullptr;
  const int64_t got = file_->Read(offset_, buf_.data(), buf_.size());
  if (got < 0) {
    failed_ = true;
    ended_ = true;
    return nullptr;
  }
  offset_ += got;
  have_ = static_cast<size_t>(got) / recordSize_ * recordSize_;
  pos_ = 0;
  if (static_cast<size_t>(got) < buf_.size()) ended_ = true;
  if (have_ == 0) return nullptr;
  pos_ = recordSize_;
  return buf_.data();
}

SequentialRecordReader TDBFile::WalkSlots(size_t recordsPerRead) const {
  return SequentialRecordReader(file(), static_cast<int64_t>(hdr::kSize), recordSize_,
                                recordsPerRead);
}

bool NextWholeRecord(SequentialRecordReader& reader, const TDBFile& file, uint8_t* out) {
  const uint8_t* bytes = reader.Next();
  if (bytes == nullptr) {
    if (reader.Failed()) throw FileError(file.Path(), file.Handle()->LastError().message());
    return false;
  }
  std::memcpy(out, bytes, file.RecordSize());
  return true;
}

std::vector<std::pair<int32_t, int>> ListedBySlot(const TQuickList& names) {
  std::vector<std::pair<int32_t, int>> bySlot;
  bySlot.reserve(static_cast<size_t>(std::max(0, names.Count())));
  for (int i = 0; i < names.Count(); ++i) bySlot.emplace_back(names.Value(i), i);
  std::sort(bySlot.begin(), bySlot.end());
  return bySlot;
}

// ---- SlotBlockReader ----

SlotBlockReader::SlotBlockReader(platform::RandomRWFile* file, size_t recordSize,
                                 size_t recordsPerRead)
    : file_(file),
      recordSize_(static_cast<int64_t>(recordSize)),
      perRead_(static_cast<int64_t>(recordsPerRead)),
      buf_(recordSize * recordsPerRead) {}

const uint8_t* SlotBlockReader::Slot(int64_t slot, int64_t& have) {
  have = 0;
  if (first_ < 0 || slot < first_ || slot >= first_ + perRead_) {
    first_ = slot;
    got_ = file_->Read(static_cast<int64_t>(hdr::kSize) + slot * recordSize_, buf_.data(),
                       buf_.size());
    if (got_ < 0) {
      first_ = -1;
      return nullptr;
    }
  }
  const int64_t at = (slot - first_) * recordSize_;
  have = std::clamp<int64_t>(got_ - at, 0, recordSize_);
  return buf_.data() + at;
}

bool ReadIndexEntries(platform::RandomRWFile* file, int64_t offset, int64_t count, size_t entrySize,
                      size_t keyOffset, size_t keyCapacity, size_t slotOffset, int32_t slotCount,
                      TQuickList& list) {
  if (count < 0) return false;
  constexpr int64_t kEntriesPerRead = 4096;
  std::vector<uint8_t> buf;
  while (count > 0) {
    const int64_t n = std::min(count, kEntriesPerRead);
    buf.resize(static_cast<size_t>(n) * entrySize);
    const int64_t got = file->Read(offset, buf.data(), buf.size());
    if (got < 0) return false;
    const int64_t whole = got / static_cast<int64_t>(entrySize);
    for (int64_t i = 0; i < whole; ++i) {
      const uint8_t* e = buf.data() + static_cast<size_t>(i) * entrySize;
      const int32_t slot = GetI32(e + slotOffset);
      if (slot < 0 || slot >= slotCount) return false;  // no record there: the index is wrong
      list.Append(GetShortString(e + keyOffset, keyCapacity), slot);
    }
    if (whole < n) return false;
    offset += got;
    count -= n;
  }
  return true;
}

}  // namespace zkq
