// The in-memory name lists of the database files.
//
// TQuickList is every database file's NameList: names with the slots of their records, kept in
// order by its own binary search and insertion. TQuickIDList is the character index file's
// AccountList: account names in exact byte order, each with the characters of that account in
// the order they were added.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dbfiles/chunked_vector.h"

namespace zkq {

// The NameList order: bytes compared unsigned after mapping every byte 0x61..0x7A to its capital
// (also the second byte of a double-byte character); a prefix sorts first. Returns <0, 0, >0.
int CompareNames(std::string_view a, std::string_view b);

class TQuickList {
 public:
  // Position of a name that compares equal, or -1.
  int Search(std::string_view name) const;
  // Inserts at the sorted position; false, and no change, when the name is present.
  bool InsertSorted(std::string_view name, int32_t slot);
  // The quicksort of the items lo..hi. Not stable: the order of names that compare equal is
  // whatever the exchanges leave, and other programs reading the same files rely on it.
  void SortRange(int lo, int hi);

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Text(int i) const { return items_[static_cast<size_t>(i)].text; }
  int32_t Value(int i) const { return items_[static_cast<size_t>(i)].value; }
  void Append(std::string_view text, int32_t value) {
    items_.push_back({std::string(text), value});
  }
  void Insert(int pos, std::string_view text, int32_t value);
  void Delete(int pos);
  void Exchange(int i, int j);
  void Clear() { items_.clear(); }

  // Kept for the file classes that set it; no operation of the list depends on it.
  bool boCaseSensitive = false;

 private:
  struct Item {
    std::string text;
    int32_t value;
  };
  ChunkedVector<Item> items_;
};

// One character of an account.
struct CharEntry {
  static constexpr size_t kAccountCapacity = 20;
  static constexpr size_t kCharNameCapacity = 30;
  std::string account;   // cut to 20 bytes
  std::string charName;  // cut to 30 bytes
  int32_t slot = 0;      // slot in the character index file
  int32_t tag = 0;       // the record's HeaderWord
};

class TQuickIDList {
 public:
  using Entries = std::vector<CharEntry>;

  // Adds a character, creating the account's item when the account is new.
  void AddCharacter(std::string_view account, std::string_view charName, int32_t slot, int32_t tag);
  // Position of the byte-identical account name or -1; when found, *entries points to the
  // account's characters (left as it was otherwise).
  int FindAccount(std::string_view account, const Entries** entries) const;
  // Removes the first character of that name from the account at `position`, and the account
  // when it has no character left. A position past the end does nothing.
  void RemoveCharacter(int position, std::string_view charName);

  // The same list as AddCharacter called for every tuple in order, on an empty list, built in
  // n log n. `every100` is called before the 1st, 101st, 201st ... tuple is placed.
  struct Tuple {
    std::string account;
    std::string charName;
    int32_t slot;
    int32_t tag;
  };
  void BuildFrom(const std::vector<Tuple>& tuples, const std::function<void()>& every100);

  int Count() const { return static_cast<int>(items_.size()); }
  const std::string& Text(int i) const { return items_[static_cast<size_t>(i)].account; }
  const Entries& EntriesAt(int i) const { return items_[static_cast<size_t>(i)].entries; }
  void Clear() { items_.clear(); }

 private:
  struct Item {
    std::string account;
    Entries entries;
  };
  ChunkedVector<Item> items_;
};

}  // namespace zkq
