// Little-endian field access and short strings inside fixed-layout records.
//
// Every binary record of the game files is handled as a byte buffer; fields are read and
// written at named offsets through these helpers, never by casting a struct onto the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zkq {

// Days since 1899-12-30 00:00 local time; the fraction is the time of day.
using TDateTime = double;

inline int32_t GetI32(const uint8_t* p) {
  uint32_t v = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  return static_cast<int32_t>(v);
}

inline void PutI32(uint8_t* p, int32_t value) {
  const auto v = static_cast<uint32_t>(value);
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t GetU16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

inline void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

inline double GetF64(const uint8_t* p) {
  uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | p[i];
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline void PutF64(uint8_t* p, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(bits >> (8 * i));
}

// A short string of capacity N occupies N + 1 bytes: a length byte, then N character bytes of
// which the first `length` are the text. A length byte above the capacity reads as the first
// `capacity` bytes.
inline std::string GetShortString(const uint8_t* p, size_t capacity) {
  size_t len = p[0];
  if (len > capacity) len = capacity;
  return std::string(reinterpret_cast<const char*>(p + 1), len);
}

// Stores text cut to `capacity` bytes (by byte count, also inside a double-byte character).
// The bytes behind the text are left as they are.
inline void PutShortString(uint8_t* p, size_t capacity, std::string_view text) {
  const size_t len = text.size() < capacity ? text.size() : capacity;
  p[0] = static_cast<uint8_t>(len);
  if (len != 0) std::memcpy(p + 1, text.data(), len);
}

// Length of the text a short string holds, clamped to its capacity.
inline size_t ShortStringLength(const uint8_t* p, size_t capacity) {
  return p[0] > capacity ? capacity : p[0];
}

}  // namespace zkq
