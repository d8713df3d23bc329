// The layout of a character data record and of the item instances it holds: every named field
// is read and written at its documented offset and width and nowhere else.
#include "dbfiles/chardata.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/bytes.h"

namespace zkq {
namespace {

constexpr size_t kRecordSize = 24800;

// A record in which every byte differs from its neighbours, so that a field read or written one
// byte off shows.
std::unique_ptr<CharDataRecord> Patterned() {
  auto r = std::make_unique<CharDataRecord>();
  for (size_t i = 0; i < kRecordSize; ++i) r->bytes[i] = static_cast<uint8_t>((i * 37 + 11) & 0xFF);
  return r;
}

// The first byte offset at which two records differ outside [from, to), or -1.
long DifferenceOutside(const CharDataRecord& a, const CharDataRecord& b, size_t from, size_t to) {
  for (size_t i = 0; i < kRecordSize; ++i)
    if ((i < from || i >= to) && a.bytes[i] != b.bytes[i]) return static_cast<long>(i);
  return -1;
}

std::string Text(size_t n, char first) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += static_cast<char>(first + i);
  return s;
}

struct ShortField {
  const char* name;
  size_t offset;    // as documented
  size_t capacity;  // as documented
  size_t codeOffset;
  size_t codeCapacity;
  std::function<std::string(const CharDataRecord&)> get;
};

std::vector<ShortField> ShortFields() {
  using R = CharDataRecord;
  auto generic = [](size_t offset, size_t capacity) {
    return [offset, capacity](const R& r) { return r.ShortString(offset, capacity); };
  };
  return {
      {"KeyName", 12, 15, R::kKeyName, R::kKeyNameCapacity, [](const R& r) { return r.KeyName(); }},
      {"CharName", 28, 14, R::kCharName, R::kCharNameCapacity,
       [](const R& r) { return r.CharName(); }},
      {"LinkedCharName1", 116, 19, R::kLinkedCharName1, R::kLinkedCharName1Capacity,
       generic(R::kLinkedCharName1, R::kLinkedCharName1Capacity)},
      {"LinkedCharName2", 168, 20, R::kLinkedCharName2, R::kLinkedCharName2Capacity,
       generic(R::kLinkedCharName2, R::kLinkedCharName2Capacity)},
      {"AccountName", 255, 10, R::kAccountName, R::kAccountNameCapacity,
       [](const R& r) { return r.AccountName(); }},
      {"HeroName", 19181, 14, R::kHeroName, R::kHeroNameCapacity,
       [](const R& r) { return r.HeroName(); }},
      {"OwnerName", 19196, 14, R::kOwnerName, R::kOwnerNameCapacity,
       [](const R& r) { return r.OwnerName(); }},
  };
}

TEST(CharDataRecordTest, ShortStringFieldsUseExactlyTheirBytes) {
  for (const ShortField& f : ShortFields()) {
    SCOPED_TRACE(f.name);
    EXPECT_EQ(f.codeOffset, f.offset);
    EXPECT_EQ(f.codeCapacity, f.capacity);
    const std::string full = Text(f.capacity, 'A');

    // Reading: the length byte at the offset, the text behind it.
    for (const size_t length : {size_t{0}, size_t{3}, f.capacity}) {
      auto r = Patterned();
      r->bytes[f.offset] = static_cast<uint8_t>(length);
      std::memcpy(&r->bytes[f.offset + 1], full.data(), f.capacity);
      EXPECT_EQ(f.get(*r), full.substr(0, length)) << "length " << length;
    }
    // A length byte above the capacity reads as the capacity.
    {
      auto r = Patterned();
      r->bytes[f.offset] = 0xFF;
      std::memcpy(&r->bytes[f.offset + 1], full.data(), f.capacity);
      EXPECT_EQ(f.get(*r), full);
    }
    // Writing a text one byte too long keeps the capacity and touches nothing else.
    {
      auto r = Patterned();
      const auto before = *Patterned();
      const std::string longer = Text(f.capacity + 1, 'a');
      r->SetShortString(f.codeOffset, f.codeCapacity, longer);
      EXPECT_EQ(r->bytes[f.offset], f.capacity);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r->bytes[f.offset + 1]), f.capacity),
                longer.substr(0, f.capacity));
      EXPECT_EQ(DifferenceOutside(*r, before, f.offset, f.offset + 1 + f.capacity), -1);
      EXPECT_EQ(f.get(*r), longer.substr(0, f.capacity));
    }
  }
}

TEST(CharDataRecordTest, AFifteenByteNameFitsKeyNameButNotCharName) {
  const std::string name =
      "\xD5\xC5\xC8\xFD\xB7\xE1"
      "abcdefghi";  // 15 bytes
  ASSERT_EQ(name.size(), 15u);
  auto r = std::make_unique<CharDataRecord>();
  r->SetShortString(CharDataRecord::kKeyName, CharDataRecord::kKeyNameCapacity, name);
  r->SetShortString(CharDataRecord::kCharName, CharDataRecord::kCharNameCapacity, name);
  EXPECT_EQ(r->KeyName(), name);
  EXPECT_EQ(r->CharName(), name.substr(0, 14));
  EXPECT_EQ(r->bytes[12], 15);
  EXPECT_EQ(r->bytes[28], 14);
}

TEST(CharDataRecordTest, NumericFieldsReadTheirDocumentedBytes) {
  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
    std::function<double(const CharDataRecord&)> get;
    double expected;
  };
  const double kWhen = 45000.125;
  std::string whenBytes(8, '\0');
  test::PutDouble(whenBytes, 0, kWhen);
  const std::vector<uint8_t> when(whenBytes.begin(), whenBytes.end());
  const auto deleted = [](const CharDataRecord& r) { return r.Deleted() ? 1.0 : 0.0; };
  const auto flag = [](const CharDataRecord& r) { return r.ExtraLinkFlag() ? 1.0 : 0.0; };
  const auto level = [](const CharDataRecord& r) { return static_cast<double>(r.Level()); };
  const Case cases[] = {
      {"Deleted 0", 0, {0}, deleted, 0},
      {"Deleted 1", 0, {1}, deleted, 1},
      {"Deleted 0x80", 0, {0x80}, deleted, 1},
      {"UpdateTime", 4, when, [](const CharDataRecord& r) { return r.UpdateTime(); }, kWhen},
      {"Level", 72, {0x34, 0x12}, level, 0x1234},
      {"Level unsigned", 72, {0xFF, 0xFF}, level, 65535},
      {"ExtraLinkFlag 0", 254, {0}, flag, 0},
      {"ExtraLinkFlag 5", 254, {5}, flag, 1},
      {"Items66Count past 66",
       500,
       {200},
       [](const CharDataRecord& r) { return static_cast<double>(r.Items66Count()); },
       200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // The same field bytes in two records whose other bytes all differ.
    auto a = Patterned();
    auto b = Patterned();
    for (auto& byte : b->bytes) byte = static_cast<uint8_t>(~byte);
    for (size_t i = 0; i < c.bytes.size(); ++i)
      a->bytes[c.offset + i] = b->bytes[c.offset + i] = c.bytes[i];
    EXPECT_EQ(c.get(*a), c.expected);
    EXPECT_EQ(c.get(*b), c.expected);
  }
}

TEST(CharDataRecordTest, FixedPositionsOfTheFormat) {
  EXPECT_EQ(CharDataRecord::kSize, 24800u);
  EXPECT_EQ(sizeof(CharDataRecord{}.bytes), 24800u);
  EXPECT_EQ(CharDataRecord::kExtraName1, 20117u);
  EXPECT_EQ(CharDataRecord::kExtraName2, 20137u);
  EXPECT_EQ(CharDataRecord::kExtraNameSize, 14u);
  EXPECT_EQ(CharDataRecord::kConvertedFrom0330Marker, 23773u);
  EXPECT_EQ(CharDataRecord::kLayout0820Size, 23774u);
  EXPECT_EQ(useritem::kSize, 85u);
  EXPECT_EQ(useritem::kInstanceId, 0u);
  EXPECT_EQ(useritem::kItemIndex, 4u);
  EXPECT_EQ(useritem::kInstanceRef, 45u);
}

TEST(CharDataRecordTest, ExtraNameFieldsHoldBytesUpToTheFirstZero) {
  for (const size_t offset : {size_t{20117}, size_t{20137}}) {
    SCOPED_TRACE(offset);
    // Reading.
    struct Read {
      std::string field;  // 14 bytes
      std::string expected;
    };
    const Read reads[] = {
        {std::string("Alice\0junkjunk", 14), "Alice"},
        {std::string("\0lice\0junkjunk", 14), ""},
        {"ABCDEFGHIJKLMN", "ABCDEFGHIJKLMN"},  // no zero: all 14, not the byte behind
        {"ABCDEFGHIJKL\xD5\xC5", "ABCDEFGHIJKL\xD5\xC5"},
    };
    for (const Read& rd : reads) {
      auto r = Patterned();
      std::memcpy(&r->bytes[offset], rd.field.data(), 14);
      r->bytes[offset + 14] = 'Z';
      EXPECT_EQ(r->ExtraName(offset), rd.expected);
    }
    // Writing: cut to 14 bytes, the rest of the field zero, the bytes around untouched.
    struct Write {
      std::string name;
      std::string field;  // 14 bytes
    };
    const Write writes[] = {
        {"Bob", std::string("Bob") + std::string(11, '\0')},
        {"", std::string(14, '\0')},
        {"ABCDEFGHIJKLMN", "ABCDEFGHIJKLMN"},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMN"},
        {"ABCDEFGHIJKLM\xD5\xC5", "ABCDEFGHIJKLM\xD5"},  // cut inside a GBK character
    };
    for (const Write& w : writes) {
      SCOPED_TRACE(w.name);
      auto r = Patterned();
      const auto before = *Patterned();
      r->SetExtraName(offset, w.name);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(&r->bytes[offset]), 14), w.field);
      EXPECT_EQ(DifferenceOutside(*r, before, offset, offset + 14), -1);
      EXPECT_EQ(r->ExtraName(offset), w.name.substr(0, 14));
    }
  }
}

TEST(CharDataRecordTest, ItemArraysLieAtTheirOffsetsWithoutOverlap) {
  using R = CharDataRecord;
  struct Case {
    const char* name;
    ItemArray array;
    size_t offset;
    int count;
    bool byItemIndex;
  };
  const Case cases[] = {
      {"Items9", R::kItems9, 582, 9, true},         {"Items66", R::kItems66, 1347, 66, false},
      {"Items120", R::kItems120, 7277, 120, false}, {"Items20", R::kItems20, 17477, 20, false},
      {"Items5", R::kItems5, 20198, 5, true},       {"Items30", R::kItems30, 20623, 30, false},
  };
  auto r = std::make_unique<CharDataRecord>();
  const uint8_t* base = r->bytes.data();
  // Byte ranges [from, to) that must not overlap: every named field and every item array.
  std::vector<std::pair<size_t, size_t>> ranges = {
      {0, 1},         {4, 12},        {12, 28},       {28, 43},       {72, 74},
      {116, 136},     {168, 189},     {254, 255},     {255, 266},     {500, 501},
      {19181, 19196}, {19196, 19211}, {20117, 20131}, {20137, 20151}, {23773, 23774},
  };
  int slots = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.array.offset, c.offset);
    EXPECT_EQ(c.array.count, c.count);
    EXPECT_EQ(c.array.testedByItemIndex, c.byItemIndex);
    EXPECT_EQ(R::ItemOffset(c.array, 0), c.offset);
    EXPECT_EQ(R::ItemOffset(c.array, c.count - 1),
              c.offset + 85 * static_cast<size_t>(c.count - 1));
    EXPECT_EQ(r->Item(c.array, 0) - base, static_cast<std::ptrdiff_t>(c.offset));
    EXPECT_EQ(r->Item(c.array, 1) - r->Item(c.array, 0), 85);
    EXPECT_EQ(r->Item(c.array, c.count - 1) - base,
              static_cast<std::ptrdiff_t>(c.offset + 85 * static_cast<size_t>(c.count - 1)));
    const size_t end = R::ItemOffset(c.array, c.count - 1) + 85;
    EXPECT_LE(end, kRecordSize);
    ranges.emplace_back(R::ItemOffset(c.array, 0), end);
    slots += c.array.count;
  }
  EXPECT_EQ(slots, 250);
  EXPECT_EQ(R::ItemOffset(R::kItems30, 29) + 85, 23173u);
  EXPECT_EQ(R::ItemOffset(R::kItems66, 65) + 85, 6957u);

  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 1; i < ranges.size(); ++i)
    EXPECT_LE(ranges[i - 1].second, ranges[i].first)
        << "[" << ranges[i - 1].first << ", " << ranges[i - 1].second << ") overlaps ["
        << ranges[i].first << ", " << ranges[i].second << ")";
}

}  // namespace
}  // namespace zkq
