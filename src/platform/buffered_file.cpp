#include "platform/buffered_file.h"

#include <algorithm>
#include <cstring>

namespace zkq::platform {

BufferedFile::BufferedFile(std::unique_ptr<RandomRWFile> inner, size_t pageSize, size_t maxPages)
    : inner_(std::move(inner)), pageSize_(pageSize), maxPages_(std::max<size_t>(2, maxPages)) {
  const int64_t size = inner_->Size();
  if (size < 0) {
    error_ = inner_->LastError();
  } else {
    size_ = size;
  }
}

BufferedFile::~BufferedFile() {
  Close();
}

bool BufferedFile::Fail(std::error_code ec) {
  error_ = ec ? ec : std::make_error_code(std::errc::io_error);
  return false;
}

BufferedFile::Page* BufferedFile::PageFor(int64_t p, bool whole) {
  auto it = pages_.find(p);
  if (it == pages_.end()) {
    Page page;
    page.data.assign(pageSize_, 0);
    const int64_t start = p * static_cast<int64_t>(pageSize_);
    if (!whole && start < size_) {
      const int64_t got = inner_->Read(start, page.data.data(), pageSize_);
      if (got < 0) {
        Fail(inner_->LastError());
        return nullptr;
      }
    }
    it = pages_.emplace(p, std::move(page)).first;
  }
  it->second.lastUse = ++clock_;
  return &it->second;
}

int64_t BufferedFile::Read(int64_t offset, void* buf, size_t n) {
  if (offset < 0 || !inner_) {
    Fail(std::make_error_code(std::errc::invalid_argument));
    return -1;
  }
  if (offset >= size_) return 0;
  const int64_t end = std::min<int64_t>(size_, offset + static_cast<int64_t>(n));
  auto* out = static_cast<uint8_t*>(buf);
  const auto P = static_cast<int64_t>(pageSize_);
  int64_t pos = offset;
  while (pos < end) {
    const int64_t p = pos / P;
    const auto it = pages_.find(p);
    if (it != pages_.end()) {
      const int64_t stop = std::min(end, (p + 1) * P);
      std::memcpy(out + (pos - offset), it->second.data.data() + (pos - p * P),
                  static_cast<size_t>(stop - pos));
      pos = stop;
      continue;
    }
    // A run of pages that are not cached: read it in one piece from the file below.
    int64_t stop = std::min(end, (p + 1) * P);
    const auto next = pages_.upper_bound(p);
    const int64_t limit = next == pages_.end() ? end : std::min(end, next->first * P);
    stop = std::max(stop, limit);
    const auto want = static_cast<size_t>(stop - pos);
    const int64_t got = inner_->Read(pos, out + (pos - offset), want);
    if (got < 0) {
      Fail(inner_->LastError());
      return -1;
    }
    // Bytes the file below does not hold yet lie in a gap that later writes left: zeros.
    if (static_cast<size_t>(got) < want)
      std::memset(out + (pos - offset) + got, 0, want - static_cast<size_t>(got));
    pos = stop;
  }
  return end - offset;
}

bool BufferedFile::Write(int64_t offset, const void* buf, size_t n) {
  if (offset < 0 || !inner_) return Fail(std::make_error_code(std::errc::invalid_argument));
  if (n == 0) return true;
  const auto* in = static_cast<const uint8_t*>(buf);
  const auto P = static_cast<int64_t>(pageSize_);
  const int64_t end = offset + static_cast<int64_t>(n);
  if (n >= 4 * pageSize_) {
    if (!Evict(offset, static_cast<int64_t>(n))) return false;
    if (!inner_->Write(offset, buf, n)) return Fail(inner_->LastError());
    size_ = std::max(size_, end);
    return true;
  }
  int64_t pos = offset;
  while (pos < end) {
    const int64_t p = pos / P;
    const int64_t start = p * P;
    const int64_t stop = std::min(end, start + P);
    Page* page = PageFor(p, pos == start && stop == start + P);
    if (page == nullptr) return false;
    std::memcpy(page->data.data() + (pos - start), in + (pos - offset),
                static_cast<size_t>(stop - pos));
    page->dirty = true;
    pos = stop;
  }
  size_ = std::max(size_, end);
  return Trim();
}

bool BufferedFile::Flush() {
  if (!inner_) return true;
  const auto P = static_cast<int64_t>(pageSize_);
  std::vector<uint8_t> run;
  int64_t runStart = -1, runNext = -1;
  auto writeRun = [&]() {
    if (run.empty()) return true;
    const int64_t offset = runStart * P;
    const auto bytes =
        static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(run.size()), size_ - offset));
    const bool ok = inner_->Write(offset, run.data(), bytes);
    run.clear();
    return ok;
  };
  for (auto& [p, page] : pages_) {
    if (!page.dirty) continue;
    if (p != runNext || run.size() >= (size_t{16} << 20)) {
      if (!writeRun()) return Fail(inner_->LastError());
      runStart = p;
    }
    run.insert(run.end(), page.data.begin(), page.data.end());
    runNext = p + 1;
  }
  if (!writeRun()) return Fail(inner_->LastError());
  for (auto& [p, page] : pages_) page.dirty = false;
  return true;
}

bool BufferedFile::Evict(int64_t offset, int64_t n) {
  const auto P = static_cast<int64_t>(pageSize_);
  const int64_t first = offset / P;
  const int64_t last = (offset + n - 1) / P;
  auto begin = pages_.lower_bound(first);
  auto end = pages_.upper_bound(last);
  bool dirty = false;
  for (auto it = begin; it != end; ++it) dirty = dirty || it->second.dirty;
  if (dirty) {
    if (!Flush()) return false;
    begin = pages_.lower_bound(first);
    end = pages_.upper_bound(last);
  }
  pages_.erase(begin, end);
  return true;
}

bool BufferedFile::Trim() {
  if (pages_.size() <= maxPages_) return true;
  if (!Flush()) return false;
  std::vector<std::pair<uint64_t, int64_t>> byUse;
  byUse.reserve(pages_.size());
  for (const auto& [p, page] : pages_) byUse.emplace_back(page.lastUse, p);
  std::sort(byUse.begin(), byUse.end());
  const size_t drop = pages_.size() - maxPages_ / 2;
  for (size_t i = 0; i < drop; ++i) pages_.erase(byUse[i].second);
  return true;
}

bool BufferedFile::Sync() {
  if (!inner_) return Fail(std::make_error_code(std::errc::bad_file_descriptor));
  if (!Flush()) return false;
  if (!inner_->Sync()) return Fail(inner_->LastError());
  return true;
}

bool BufferedFile::Close() {
  if (!inner_) return true;
  bool ok = Flush();
  if (!inner_->Close()) ok = Fail(inner_->LastError());
  inner_.reset();
  pages_.clear();
  return ok;
}

bool BufferedFile::CopyTo(int64_t offset, RandomRWFile& dst, int64_t dstOffset, size_t n) {
  if (!inner_) return Fail(std::make_error_code(std::errc::bad_file_descriptor));
  // The file below must hold the range's bytes before it copies them.
  const auto P = static_cast<int64_t>(pageSize_);
  const int64_t first = offset / P;
  const int64_t last = (offset + static_cast<int64_t>(n) - 1) / P;
  // Dirty pages past the range count too: until they are written the file below may end
  // before the range does, where this file holds zeros.
  (void)last;
  for (auto it = pages_.lower_bound(first); it != pages_.end(); ++it) {
    if (it->second.dirty) {
      if (!Flush()) return false;
      break;
    }
  }
  if (!inner_->CopyTo(offset, dst, dstOffset, n)) return Fail(inner_->LastError());
  return true;
}

RandomRWFile* BufferedFile::CopyTarget(int64_t offset, size_t n) {
  if (!inner_ || n == 0) return this;
  if (!Evict(offset, static_cast<int64_t>(n))) return this;
  size_ = std::max(size_, offset + static_cast<int64_t>(n));
  return inner_->CopyTarget(offset, n);
}

}  // namespace zkq::platform
