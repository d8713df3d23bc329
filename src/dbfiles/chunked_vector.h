// A sequence with positions, like std::vector, in which inserting or erasing in the middle
// moves at most a chunk of elements instead of everything behind the position. The name lists
// of a zone hold hundreds of thousands of names and a merge inserts tens of thousands into them
// one by one; with one flat array every insertion would shift half the list.
#pragma once

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

namespace zkq {

template <class T>
class ChunkedVector {
 public:
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  T& operator[](size_t i) {
    const size_t c = ChunkOf(i);
    return chunks_[c][i - starts_[c]];
  }
  const T& operator[](size_t i) const {
    const size_t c = ChunkOf(i);
    return chunks_[c][i - starts_[c]];
  }

  void push_back(T value) {
    if (chunks_.empty() || chunks_.back().size() >= kChunk) {
      starts_.push_back(size_);
      chunks_.emplace_back();
      chunks_.back().reserve(kChunk);
    }
    chunks_.back().push_back(std::move(value));
    ++size_;
  }

  void insert(size_t pos, T value) {
    if (pos == size_) {
      push_back(std::move(value));
      return;
    }
    const size_t c = ChunkOf(pos);
    std::vector<T>& chunk = chunks_[c];
    chunk.insert(chunk.begin() + static_cast<std::ptrdiff_t>(pos - starts_[c]), std::move(value));
    ++size_;
    for (size_t k = c + 1; k < starts_.size(); ++k) ++starts_[k];
    if (chunk.size() > 2 * kChunk) Split(c);
  }

  void erase(size_t pos) {
    const size_t c = ChunkOf(pos);
    std::vector<T>& chunk = chunks_[c];
    chunk.erase(chunk.begin() + static_cast<std::ptrdiff_t>(pos - starts_[c]));
    --size_;
    for (size_t k = c + 1; k < starts_.size(); ++k) --starts_[k];
    if (chunk.empty()) {
      chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(c));
      starts_.erase(starts_.begin() + static_cast<std::ptrdiff_t>(c));
    }
  }

  void clear() {
    chunks_.clear();
    starts_.clear();
    size_ = 0;
  }

  // Moves every element out into one flat vector (the sequence is left empty), and back.
  std::vector<T> TakeAll() {
    std::vector<T> flat;
    flat.reserve(size_);
    for (auto& chunk : chunks_)
      for (auto& v : chunk) flat.push_back(std::move(v));
    clear();
    return flat;
  }
  void Assign(std::vector<T>&& flat) {
    clear();
    for (auto& v : flat) push_back(std::move(v));
  }

 private:
  static constexpr size_t kChunk = 64;

  size_t ChunkOf(size_t i) const {
    // The last chunk whose first position is <= i.
    return static_cast<size_t>(std::upper_bound(starts_.begin(), starts_.end(), i) -
                               starts_.begin()) -
           1;
  }

  void Split(size_t c) {
    std::vector<T>& chunk = chunks_[c];
    const size_t half = chunk.size() / 2;
    std::vector<T> tail(std::make_move_iterator(chunk.begin() + static_cast<std::ptrdiff_t>(half)),
                        std::make_move_iterator(chunk.end()));
    chunk.resize(half);
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(c + 1), std::move(tail));
    starts_.insert(starts_.begin() + static_cast<std::ptrdiff_t>(c + 1), starts_[c] + half);
  }

  std::vector<std::vector<T>> chunks_;
  std::vector<size_t> starts_;  // position of each chunk's first element
  size_t size_ = 0;
};

}  // namespace zkq
