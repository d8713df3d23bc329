#include "dbfiles/chardata.h"

#include <algorithm>
#include <cstring>

namespace zkq {

static_assert(CharDataRecord::kItems30.offset + 30 * useritem::kSize == 23173,
              "Items30 ends where the 600-byte array starts");
static_assert(CharDataRecord::kItems66.offset + 66 * useritem::kSize == 6957,
              "Items66 ends where the 320-byte block starts");

std::string CharDataRecord::ExtraName(size_t offset) const {
  const uint8_t* p = bytes.data() + offset;
  const auto* end = std::find(p, p + kExtraNameSize, uint8_t{0});
  return std::string(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p));
}

void CharDataRecord::SetExtraName(size_t offset, std::string_view name) {
  uint8_t* p = bytes.data() + offset;
  std::memset(p, 0, kExtraNameSize);
  std::memcpy(p, name.data(), std::min(name.size(), kExtraNameSize));
}

}  // namespace zkq
