// GBK text files: bytes are never converted. Lines end at CR LF, CR or LF; a last line without
// a line end still counts. Files are written with CR LF behind every line, the last included.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zkq {

std::vector<std::string> SplitLines(std::string_view bytes);
std::string JoinLinesCrLf(const std::vector<std::string>& lines);

// Removes leading and trailing bytes up to 0x20.
std::string_view TrimView(std::string_view s);
inline std::string Trim(std::string_view s) {
  return std::string(TrimView(s));
}

// Throws FileError when the file cannot be read.
std::vector<std::string> ReadTextLines(const std::filesystem::path& path);
// Replaces the file safely (the old content stays until the new one is complete on disk).
// Throws FileError on failure.
void WriteTextLines(const std::filesystem::path& path, const std::vector<std::string>& lines);

}  // namespace zkq
