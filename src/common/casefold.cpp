#include "common/casefold.h"

#include <algorithm>

namespace zkq {

std::string FoldGbkUpper(std::string_view name) {
  std::string out(name);
  for (size_t i = 0; i < out.size(); ++i) {
    const auto c = static_cast<unsigned char>(out[i]);
    if (c >= 0x81 && c <= 0xFE) {
      ++i;  // the trailing byte of a double-byte character is not a letter
    } else if (c >= 'a' && c <= 'z') {
      out[i] = static_cast<char>(c - 0x20);
    }
  }
  return out;
}

bool EqualsFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && FoldGbkUpper(a) == FoldGbkUpper(b);
}

int CompareBytes(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

int CompareForListFile(std::string_view a, std::string_view b) {
  const int folded = CompareBytes(FoldGbkUpper(a), FoldGbkUpper(b));
  return folded != 0 ? folded : CompareBytes(a, b);
}

void SortForListFile(std::vector<std::string>& lines) {
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(lines.size());
  for (auto& line : lines) keyed.emplace_back(FoldGbkUpper(line), std::move(line));
  std::sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) {
    const int c = CompareBytes(x.first, y.first);
    return c != 0 ? c < 0 : CompareBytes(x.second, y.second) < 0;
  });
  for (size_t i = 0; i < lines.size(); ++i) lines[i] = std::move(keyed[i].second);
}

}  // namespace zkq
