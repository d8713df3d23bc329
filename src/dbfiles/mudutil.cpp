#include "dbfiles/mudutil.h"

#include <algorithm>
#include <numeric>
#include <utility>

#include "common/casefold.h"

namespace zkq {
namespace {

inline unsigned FoldByte(unsigned char c) {
  return (c >= 0x61 && c <= 0x7A) ? c - 0x20u : c;
}

// The lookup of both lists. `cmp(i)` compares the wanted name with item i. The last pair is
// decided by item hi, then by item lo, so among equal neighbours the lower position wins.
template <class Cmp>
int SearchSorted(int count, Cmp cmp) {
  if (count == 0) return -1;
  if (count == 1) return cmp(0) == 0 ? 0 : -1;
  int lo = 0, hi = count - 1;
  int mid = lo + (hi - lo) / 2;
  for (;;) {
    if (hi - lo == 1) {
      int result = -1;
      if (cmp(hi) == 0) result = hi;
      if (cmp(lo) == 0) result = lo;
      return result;
    }
    const int c = cmp(mid);
    if (c > 0) {
      lo = mid;
    } else if (c < 0) {
      hi = mid;
    } else {
      return mid;
    }
    mid = lo + (hi - lo) / 2;
  }
}

// Where a name goes in a sorted list: the position of an equal item (found), or the position
// to insert it at.
struct Spot {
  int pos;
  bool found;
};

template <class Cmp>
Spot LocateSorted(int count, Cmp cmp) {
  if (count == 0) return {0, false};
  if (count == 1) {
    const int c = cmp(0);
    return c == 0 ? Spot{0, true} : Spot{c > 0 ? 1 : 0, false};
  }
  int lo = 0, hi = count - 1;
  int mid = lo + (hi - lo) / 2;
  for (;;) {
    if (hi - lo == 1) {
      const int ch = cmp(hi);
      if (ch > 0) return {hi + 1, false};
      if (ch == 0) return {hi, true};
      const int cl = cmp(lo);
      if (cl == 0) return {lo, true};
      return {cl > 0 ? lo + 1 : lo, false};
    }
    const int c = cmp(mid);
    if (c > 0) {
      lo = mid;
    } else if (c < 0) {
      hi = mid;
    } else {
      return {mid, true};
    }
    mid = lo + (hi - lo) / 2;
  }
}

CharEntry MakeEntry(std::string_view account, std::string_view charName, int32_t slot,
                    int32_t tag) {
  CharEntry e;
  e.account = std::string(account.substr(0, CharEntry::kAccountCapacity));
  e.charName = std::string(charName.substr(0, CharEntry::kCharNameCapacity));
  e.slot = slot;
  e.tag = tag;
  return e;
}

}  // namespace

int CompareNames(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const unsigned x = FoldByte(static_cast<unsigned char>(a[i]));
    const unsigned y = FoldByte(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

// ---- TQuickList ----

void TQuickList::Insert(int pos, std::string_view text, int32_t value) {
  items_.insert(static_cast<size_t>(pos), Item{std::string(text), value});
}

void TQuickList::Delete(int pos) {
  items_.erase(static_cast<size_t>(pos));
}

void TQuickList::Exchange(int i, int j) {
  std::swap(items_[static_cast<size_t>(i)], items_[static_cast<size_t>(j)]);
}

int TQuickList::Search(std::string_view name) const {
  return SearchSorted(Count(), [&](int i) { return CompareNames(name, Text(i)); });
}

bool TQuickList::InsertSorted(std::string_view name, int32_t slot) {
  const Spot spot = LocateSorted(Count(), [&](int i) { return CompareNames(name, Text(i)); });
  if (spot.found) return false;
  Insert(spot.pos, name, slot);
  return true;
}

void TQuickList::SortRange(int lo, int hi) {
  if (items_.empty()) return;
  // Sorted in one flat array, then put back.
  std::vector<Item> flat = items_.TakeAll();
  auto text = [&](int i) -> const std::string& { return flat[static_cast<size_t>(i)].text; };
  // The recursive quicksort with its recursion on the left part kept on an explicit stack, so
  // that a hostile file cannot exhaust the call stack. The sequence of comparisons and
  // exchanges is exactly that of the recursive form: a pushed range is finished before the
  // range below it on the stack is continued.
  std::vector<std::pair<int, int>> pending;
  pending.emplace_back(lo, hi);
  while (!pending.empty()) {
    auto [l, h] = pending.back();
    pending.pop_back();
    int i = l, j = h;
    const std::string pivot = text((l + h) / 2);
    do {
      while (CompareNames(text(i), pivot) < 0) ++i;
      while (CompareNames(text(j), pivot) > 0) --j;
      if (i <= j) {
        std::swap(flat[static_cast<size_t>(i)], flat[static_cast<size_t>(j)]);
        ++i;
        --j;
      }
    } while (i <= j);
    if (i < h) pending.emplace_back(i, h);  // continued after the left part
    if (l < j) pending.emplace_back(l, j);  // sorted first
  }
  items_.Assign(std::move(flat));
}

// ---- TQuickIDList ----

void TQuickIDList::AddCharacter(std::string_view account, std::string_view charName, int32_t slot,
                                int32_t tag) {
  const Spot spot = LocateSorted(Count(), [&](int i) { return CompareBytes(account, Text(i)); });
  CharEntry entry = MakeEntry(account, charName, slot, tag);
  if (spot.found) {
    items_[static_cast<size_t>(spot.pos)].entries.push_back(std::move(entry));
  } else {
    items_.insert(static_cast<size_t>(spot.pos),
                  Item{std::string(account), Entries{std::move(entry)}});
  }
}

int TQuickIDList::FindAccount(std::string_view account, const Entries** entries) const {
  const int found = SearchSorted(Count(), [&](int i) { return CompareBytes(account, Text(i)); });
  if (found >= 0 && entries != nullptr) *entries = &EntriesAt(found);
  return found;
}

void TQuickIDList::RemoveCharacter(int position, std::string_view charName) {
  if (position < 0 || position > Count() - 1) return;
  Entries& entries = items_[static_cast<size_t>(position)].entries;
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (it->charName == charName) {
      entries.erase(it);
      break;
    }
  }
  if (entries.empty()) items_.erase(static_cast<size_t>(position));
}

void TQuickIDList::BuildFrom(const std::vector<Tuple>& tuples,
                             const std::function<void()>& every100) {
  // Inserting one by one keeps distinct accounts in exact byte order and appends each account's
  // characters in the order they come; a stable sort by account gives the same list.
  items_.clear();
  std::vector<size_t> order(tuples.size());
  std::iota(order.begin(), order.end(), size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return CompareBytes(tuples[a].account, tuples[b].account) < 0;
  });
  std::vector<Item> flat;
  for (size_t i = 0; i < order.size(); ++i) {
    if (i % 100 == 0) every100();
    const Tuple& t = tuples[order[i]];
    if (flat.empty() || flat.back().account != t.account) flat.push_back(Item{t.account, {}});
    flat.back().entries.push_back(MakeEntry(t.account, t.charName, t.slot, t.tag));
  }
  items_.Assign(std::move(flat));
}

}  // namespace zkq
