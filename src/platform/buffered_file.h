// A file with a write-back cache in front of it. Small writes (a record here, a header there)
// are gathered in pages; the file below receives them as large writes in offset order, when
// pages leave the cache and at Sync and Close. Large writes and copies go straight through.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "platform/env.h"

namespace zkq::platform {

class BufferedFile final : public RandomRWFile {
 public:
  // `inner` holds the bytes; at most `maxPages` pages of `pageSize` bytes are kept in memory.
  explicit BufferedFile(std::unique_ptr<RandomRWFile> inner, size_t pageSize = size_t{1} << 16,
                        size_t maxPages = 64);
  ~BufferedFile() override;

  int64_t Read(int64_t offset, void* buf, size_t n) override;
  bool Write(int64_t offset, const void* buf, size_t n) override;
  int64_t Size() override { return size_; }
  bool Sync() override;
  bool Close() override;
  std::error_code LastError() const override { return error_; }
  bool CopyTo(int64_t offset, RandomRWFile& dst, int64_t dstOffset, size_t n) override;
  RandomRWFile* CopyTarget(int64_t offset, size_t n) override;
  void StartWriteback(int64_t offset, size_t n) override {
    if (inner_) inner_->StartWriteback(offset, n);
  }
  std::error_code SetOwnerAndMode(uint32_t mode, uint32_t uid, uint32_t gid) override {
    return inner_ ? inner_->SetOwnerAndMode(mode, uid, gid) : std::error_code();
  }

  // Writes every buffered page to the file below; false on an error.
  bool Flush();

 private:
  struct Page {
    std::vector<uint8_t> data;  // pageSize bytes
    bool dirty = false;
    uint64_t lastUse = 0;
  };

  bool Fail(std::error_code ec);
  // The cached page of index `p`, loaded from the file below unless `whole` says the caller
  // overwrites all of it; null on a read error.
  Page* PageFor(int64_t p, bool whole);
  // Flushes the dirty pages that overlap [offset, offset + n) and drops every cached page there.
  bool Evict(int64_t offset, int64_t n);
  bool Trim();

  std::unique_ptr<RandomRWFile> inner_;
  size_t pageSize_;
  size_t maxPages_;
  std::map<int64_t, Page> pages_;
  int64_t size_ = 0;
  uint64_t clock_ = 0;
  std::error_code error_;
};

}  // namespace zkq::platform
