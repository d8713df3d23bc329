#include "support/bytes.h"

#include <algorithm>
#include <cstring>

namespace zkq::test {
namespace {

// Writes the `n` low-order bytes of `v`, least significant first.
void PutLe(std::string& b, size_t at, uint64_t v, size_t n) {
  ASSERT_LE(at + n, b.size()) << "a " << n << "-byte field at " << at << " is past the end";
  for (size_t i = 0; i < n; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

uint64_t GetLe(std::string_view b, size_t at, size_t n) {
  if (at + n > b.size()) {
    ADD_FAILURE() << "a " << n << "-byte field at " << at << " is past the end of " << b.size()
                  << " bytes";
    return 0;
  }
  uint64_t v = 0;
  for (size_t i = n; i-- > 0;) v = v << 8 | static_cast<uint8_t>(b[at + i]);
  return v;
}

}  // namespace

void PutLe16(std::string& b, size_t at, uint16_t v) {
  PutLe(b, at, v, 2);
}

void PutLe32(std::string& b, size_t at, int32_t v) {
  PutLe(b, at, static_cast<uint32_t>(v), 4);
}

void PutDouble(std::string& b, size_t at, double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  PutLe(b, at, bits, 8);
}

int32_t GetLe32(std::string_view b, size_t at) {
  return static_cast<int32_t>(static_cast<uint32_t>(GetLe(b, at, 4)));
}

double GetDouble(std::string_view b, size_t at) {
  const uint64_t bits = GetLe(b, at, 8);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

void PutShort(std::string& b, size_t at, size_t capacity, std::string_view text) {
  ASSERT_LE(text.size(), capacity) << "\"" << text << "\" does not fit its field";
  ASSERT_LE(at + 1 + capacity, b.size()) << "a short string field at " << at << " is past the end";
  b[at] = static_cast<char>(text.size());
  b.replace(at + 1, text.size(), text);
}

std::string ShortAt(std::string_view b, size_t at, size_t capacity) {
  if (at + 1 + capacity > b.size()) {
    ADD_FAILURE() << "a short string field at " << at << " is past the end of " << b.size()
                  << " bytes";
    return std::string();
  }
  const size_t n = std::min<size_t>(static_cast<uint8_t>(b[at]), capacity);
  return std::string(b.substr(at + 1, n));
}

std::string Join(const std::string& header, const std::vector<std::string>& records) {
  std::string out = header;
  for (const std::string& r : records) out += r;
  return out;
}

::testing::AssertionResult SameBytes(std::string_view actual, std::string_view expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  auto at = [](std::string_view b, size_t k) {
    return k < b.size() ? std::to_string(static_cast<uint8_t>(b[k])) : std::string("end");
  };
  return ::testing::AssertionFailure()
         << "sizes " << actual.size() << " and " << expected.size() << ", first difference at " << i
         << ": " << at(actual, i) << " instead of " << at(expected, i);
}

}  // namespace zkq::test
