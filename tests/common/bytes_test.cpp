// Little-endian fields and short strings inside record buffers.
#include "common/bytes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace zkq {
namespace {

std::vector<uint8_t> Filled(size_t n, uint8_t fill) {
  return std::vector<uint8_t>(n, fill);
}

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

TEST(Bytes, Int32AtOddOffsets) {
  struct Case {
    int32_t value;
    std::vector<uint8_t> le;
  };
  const Case cases[] = {
      {0, Bytes({0, 0, 0, 0})},
      {1, Bytes({1, 0, 0, 0})},
      {-1, Bytes({0xFF, 0xFF, 0xFF, 0xFF})},
      {0x12345678, Bytes({0x78, 0x56, 0x34, 0x12})},
      {INT32_MIN, Bytes({0, 0, 0, 0x80})},
      {INT32_MAX, Bytes({0xFF, 0xFF, 0xFF, 0x7F})},
      {-124, Bytes({0x84, 0xFF, 0xFF, 0xFF})},
  };
  for (const auto& c : cases) {
    for (size_t offset : {1u, 3u, 7u}) {
      SCOPED_TRACE(std::to_string(c.value) + " at " + std::to_string(offset));
      auto buf = Filled(16, 0xEE);
      PutI32(buf.data() + offset, c.value);
      auto expected = Filled(16, 0xEE);
      std::copy(c.le.begin(), c.le.end(), expected.begin() + static_cast<long>(offset));
      EXPECT_EQ(buf, expected);
      EXPECT_EQ(GetI32(buf.data() + offset), c.value);
    }
  }
}

TEST(Bytes, WordAtOddOffsets) {
  for (uint16_t value :
       {uint16_t{0}, uint16_t{1}, uint16_t{0x1234}, uint16_t{0x8001}, uint16_t{0xFFFF}}) {
    auto buf = Filled(8, 0xEE);
    PutU16(buf.data() + 3, value);
    EXPECT_EQ(buf[2], 0xEE);
    EXPECT_EQ(buf[3], value & 0xFF);
    EXPECT_EQ(buf[4], value >> 8);
    EXPECT_EQ(buf[5], 0xEE);
    EXPECT_EQ(GetU16(buf.data() + 3), value);
  }
}

TEST(Bytes, DoubleAtOddOffsets) {
  struct Case {
    double value;
    std::vector<uint8_t> le;
  };
  const Case cases[] = {
      {0.0, Bytes({0, 0, 0, 0, 0, 0, 0, 0})},
      {1.0, Bytes({0, 0, 0, 0, 0, 0, 0xF0, 0x3F})},
      {45319.5, Bytes({0, 0, 0, 0, 0xF0, 0x20, 0xE6, 0x40})},
      {-1.25, Bytes({0, 0, 0, 0, 0, 0, 0xF4, 0xBF})},
  };
  for (const auto& c : cases) {
    for (size_t offset : {1u, 5u}) {
      SCOPED_TRACE(std::to_string(c.value) + " at " + std::to_string(offset));
      auto buf = Filled(16, 0xEE);
      PutF64(buf.data() + offset, c.value);
      auto expected = Filled(16, 0xEE);
      std::copy(c.le.begin(), c.le.end(), expected.begin() + static_cast<long>(offset));
      EXPECT_EQ(buf, expected);
      EXPECT_EQ(GetF64(buf.data() + offset), c.value);
    }
  }
}

TEST(ShortString, WriteCutsByBytesAndLeavesTheRest) {
  struct Case {
    const char* name;
    std::string text;
    size_t capacity;
    std::string stored;
  };
  const Case cases[] = {
      {"fits", "abc", 10, "abc"},
      {"exactly full", "abcde", 5, "abcde"},
      {"cut", "abcdefg", 5, "abcde"},
      {"empty", "", 5, ""},
      // Three bytes of two GBK characters: the second one is cut in half.
      {"cut inside a GBK character", "\xC8\xCB\xCE\xEF", 3, "\xC8\xCB\xCE"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto buf = Filled(c.capacity + 3, 0xEE);
    PutShortString(buf.data() + 1, c.capacity, c.text);
    EXPECT_EQ(buf[0], 0xEE);
    EXPECT_EQ(buf[1], c.stored.size());
    EXPECT_EQ(std::string(buf.begin() + 2, buf.begin() + 2 + static_cast<long>(c.stored.size())),
              c.stored);
    // Bytes behind the text, inside and after the field, are left alone.
    for (size_t k = 2 + c.stored.size(); k < buf.size(); ++k) EXPECT_EQ(buf[k], 0xEE) << k;
    EXPECT_EQ(GetShortString(buf.data() + 1, c.capacity), c.stored);
    EXPECT_EQ(ShortStringLength(buf.data() + 1, c.capacity), c.stored.size());
  }
}

TEST(ShortString, ShorterTextOverLongerLeavesOldBytesBehind) {
  auto buf = Filled(11, 0);
  PutShortString(buf.data(), 10, "abcdefgh");
  PutShortString(buf.data(), 10, "XY");
  EXPECT_EQ(buf, Bytes({2, 'X', 'Y', 'c', 'd', 'e', 'f', 'g', 'h', 0, 0}));
  EXPECT_EQ(GetShortString(buf.data(), 10), "XY");
}

TEST(ShortString, LengthByteAboveCapacityReadsCapacityBytes) {
  const auto buf = Bytes({0xFF, 'a', 'b', 'c', 'd', 'e'});
  EXPECT_EQ(GetShortString(buf.data(), 3), "abc");
  EXPECT_EQ(ShortStringLength(buf.data(), 3), 3u);
  const auto four = Bytes({4, 'a', 'b', 'c', 'd', 'e'});
  EXPECT_EQ(GetShortString(four.data(), 3), "abc");
  EXPECT_EQ(GetShortString(four.data(), 4), "abcd");
}

TEST(ShortString, ZeroBytesInsideTheTextAreKept) {
  const auto buf = Bytes({3, 'a', 0, 'b', 'z'});
  EXPECT_EQ(GetShortString(buf.data(), 4), std::string("a\0b", 3));
}

}  // namespace
}  // namespace zkq
