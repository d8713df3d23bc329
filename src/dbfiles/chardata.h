// One record of the character data file (current layout, 24800 bytes) and the 85-byte item
// instance it holds in six arrays. Only the fields this system interprets are named; every
// other byte is carried through unchanged.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/bytes.h"

namespace zkq {

// UserItem, 85 bytes, packed; arrays of it have a stride of 85.
namespace useritem {
constexpr size_t kSize = 85;
constexpr size_t kInstanceId = 0;    // int32, 0 = no item
constexpr size_t kItemIndex = 4;     // word, 0 in an empty slot
constexpr size_t kInstanceRef = 45;  // int32, may repeat InstanceId
}  // namespace useritem

// An item array inside the record.
struct ItemArray {
  size_t offset;
  int count;
  bool testedByItemIndex;  // slots holding an item are found by ItemIndex, else by InstanceId
};

struct CharDataRecord {
  static constexpr size_t kSize = 24800;

  static constexpr size_t kDeleted = 0;     // byte
  static constexpr size_t kUpdateTime = 4;  // date-time
  static constexpr size_t kKeyName = 12;    // short string, capacity 15: the index key
  static constexpr size_t kKeyNameCapacity = 15;
  static constexpr size_t kCharName = 28;  // short string, capacity 14
  static constexpr size_t kCharNameCapacity = 14;
  static constexpr size_t kLevel = 72;             // word, first word of a 40-byte block
  static constexpr size_t kLinkedCharName1 = 116;  // short string, capacity 19
  static constexpr size_t kLinkedCharName1Capacity = 19;
  static constexpr size_t kLinkedCharName2 = 168;  // short string, capacity 20
  static constexpr size_t kLinkedCharName2Capacity = 20;
  static constexpr size_t kExtraLinkFlag = 254;  // byte: non-zero when the extra names are used
  static constexpr size_t kAccountName = 255;    // short string, capacity 10
  static constexpr size_t kAccountNameCapacity = 10;
  static constexpr size_t kItems66Count = 500;  // byte
  static constexpr size_t kHeroName = 19181;    // short string, capacity 14
  static constexpr size_t kHeroNameCapacity = 14;
  static constexpr size_t kOwnerName = 19196;  // short string, capacity 14
  static constexpr size_t kOwnerNameCapacity = 14;
  // Two extra name fields inside the 951-byte array at 19227: 14 bytes each, no length byte.
  static constexpr size_t kExtraName1 = 20117;
  static constexpr size_t kExtraName2 = 20137;
  static constexpr size_t kExtraNameSize = 14;
  static constexpr size_t kConvertedFrom0330Marker = 23773;  // byte set to 39 by that upgrade
  static constexpr size_t kLayout0820Size = 23774;  // the current layout appends 1026 bytes

  // The six item arrays, 250 slots in all.
  static constexpr ItemArray kItems9{582, 9, true};
  static constexpr ItemArray kItems66{1347, 66, false};  // only Items66Count slots in use
  static constexpr ItemArray kItems120{7277, 120, false};
  static constexpr ItemArray kItems20{17477, 20, false};
  static constexpr ItemArray kItems5{20198, 5, true};
  static constexpr ItemArray kItems30{20623, 30, false};

  std::array<uint8_t, kSize> bytes{};

  bool Deleted() const { return bytes[kDeleted] != 0; }
  TDateTime UpdateTime() const { return GetF64(bytes.data() + kUpdateTime); }
  uint16_t Level() const { return GetU16(bytes.data() + kLevel); }
  uint8_t Items66Count() const { return bytes[kItems66Count]; }
  bool ExtraLinkFlag() const { return bytes[kExtraLinkFlag] != 0; }

  std::string ShortString(size_t offset, size_t capacity) const {
    return GetShortString(bytes.data() + offset, capacity);
  }
  void SetShortString(size_t offset, size_t capacity, std::string_view text) {
    PutShortString(bytes.data() + offset, capacity, text);
  }
  std::string KeyName() const { return ShortString(kKeyName, kKeyNameCapacity); }
  std::string CharName() const { return ShortString(kCharName, kCharNameCapacity); }
  std::string AccountName() const { return ShortString(kAccountName, kAccountNameCapacity); }
  std::string HeroName() const { return ShortString(kHeroName, kHeroNameCapacity); }
  std::string OwnerName() const { return ShortString(kOwnerName, kOwnerNameCapacity); }

  // An extra name field: the bytes up to the first zero byte, or all 14.
  std::string ExtraName(size_t offset) const;
  // Stores a name cut to 14 bytes and fills the rest of the field with zero bytes.
  void SetExtraName(size_t offset, std::string_view name);

  // Byte offset of slot i of an item array.
  static constexpr size_t ItemOffset(const ItemArray& a, int i) {
    return a.offset + useritem::kSize * static_cast<size_t>(i);
  }
  uint8_t* Item(const ItemArray& a, int i) { return bytes.data() + ItemOffset(a, i); }
  const uint8_t* Item(const ItemArray& a, int i) const { return bytes.data() + ItemOffset(a, i); }
};

}  // namespace zkq
