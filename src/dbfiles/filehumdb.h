// The character index file "Hum.db": 73-byte records naming a character and its account. It
// has no index file (every construction scans) and keeps, besides the NameList of character
// names, an AccountList from each account to its characters.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "dbfiles/dbfile.h"

namespace zkq {

// CharIndexRecord, 73 bytes; slot s at 124 + 73 * s. Starts with the 28-byte RecordHeader.
struct CharIndexRecord {
  static constexpr size_t kSize = 73;
  static constexpr size_t kDeleted = 0;     // byte
  static constexpr size_t kHeaderWord = 2;  // word, copied into the character's CharEntry
  static constexpr size_t kUpdateTime = 4;  // date-time
  static constexpr size_t kKeyName = 12;    // short string, capacity 15: the key
  static constexpr size_t kKeyNameCapacity = 15;
  static constexpr size_t kCharName = 28;  // short string, capacity 14
  static constexpr size_t kCharNameCapacity = 14;
  static constexpr size_t kAccountName = 43;  // short string, capacity 10
  static constexpr size_t kAccountNameCapacity = 10;
  static constexpr size_t kCharDeleted = 54;  // byte: non-zero when the player deleted it

  std::array<uint8_t, kSize> bytes{};

  bool Deleted() const { return bytes[kDeleted] != 0; }
  uint16_t HeaderWord() const { return GetU16(bytes.data() + kHeaderWord); }
  TDateTime UpdateTime() const { return GetF64(bytes.data() + kUpdateTime); }
  std::string KeyName() const { return GetShortString(bytes.data() + kKeyName, kKeyNameCapacity); }
  std::string CharName() const {
    return GetShortString(bytes.data() + kCharName, kCharNameCapacity);
  }
  std::string AccountName() const {
    return GetShortString(bytes.data() + kAccountName, kAccountNameCapacity);
  }
  bool CharDeleted() const { return bytes[kCharDeleted] != 0; }
  void SetKeyName(std::string_view s) {
    PutShortString(bytes.data() + kKeyName, kKeyNameCapacity, s);
  }
  void SetCharName(std::string_view s) {
    PutShortString(bytes.data() + kCharName, kCharNameCapacity, s);
  }
  void SetAccountName(std::string_view s) {
    PutShortString(bytes.data() + kAccountName, kAccountNameCapacity, s);
  }
};

class TFileHumDB : public TDBFile {
 public:
  // Scans the file; creates it when it is missing. Nothing is written at destruction.
  explicit TFileHumDB(std::filesystem::path path);

  bool ReadSlot(int32_t slot, CharIndexRecord& record) {
    return ReadSlotRaw(slot, record.bytes.data());
  }
  bool ReadSlotChecked(int32_t slot, CharIndexRecord& record) {
    return ReadSlotCheckedRaw(slot, record.bytes.data());
  }
  // True only when the whole record of the slot arrived (a slot past the end of the file, or
  // cut by it, does not).
  bool ReadSlotWhole(int32_t slot, CharIndexRecord& record) {
    return ReadSlotWholeRaw(slot, record.bytes.data());
  }
  // Reads the record of the NameList item at `position`; its slot, or -1 when the read failed or
  // the position lies outside the list.
  int ReadAt(int position, CharIndexRecord& record);

  // Stores a copy of the record under its KeyName. False for a present key, a slot holding a
  // live named record, or a failed write.
  bool Add(const CharIndexRecord& record);
  bool DeleteByName(std::string_view name);
  // True when the account (byte-identical) has at least one character.
  bool AccountHasCharacters(std::string_view account) const;
  // A character name derived from `name` that FindName does not know, or the empty text.
  std::string MakeFreeCharName(std::string_view name, std::string_view suffix) const;
  // Rewrites the file without its deleted records. True when the file was replaced.
  bool Compact();

  const TQuickIDList& AccountList() const { return accountList_; }
  // A copy of the free slots, front first.
  std::vector<int32_t> FreeSlots() const { return {freeSlots_.begin(), freeSlots_.end()}; }

 private:
  void ScanRecords();
  bool MarkDeleted(int32_t slot);

  TQuickIDList accountList_;
  std::deque<int32_t> freeSlots_;  // used from the front, appended at the back
};

}  // namespace zkq
