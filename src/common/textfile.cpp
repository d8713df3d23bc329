#include "common/textfile.h"

#include "common/errors.h"
#include "platform/env.h"

namespace zkq {

std::vector<std::string> SplitLines(std::string_view bytes) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c != '\r' && c != '\n') continue;
    lines.emplace_back(bytes.substr(start, i - start));
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') ++i;
    start = i + 1;
  }
  if (start < bytes.size()) lines.emplace_back(bytes.substr(start));
  return lines;
}

std::string JoinLinesCrLf(const std::vector<std::string>& lines) {
  size_t total = 0;
  for (const auto& l : lines) total += l.size() + 2;
  std::string out;
  out.reserve(total);
  for (const auto& l : lines) {
    out += l;
    out += "\r\n";
  }
  return out;
}

std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= 0x20) ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= 0x20) --e;
  return s.substr(b, e - b);
}

std::vector<std::string> ReadTextLines(const std::filesystem::path& path) {
  std::string bytes;
  if (auto ec = platform::ReadWholeFile(path, bytes)) throw FileError(path, ec.message());
  return SplitLines(bytes);
}

void WriteTextLines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
  if (auto ec = platform::WriteFileReplacing(path, JoinLinesCrLf(lines)))
    throw FileError(path, ec.message());
}

}  // namespace zkq
