// Text files in tests: CR LF text from lines, host paths from UTF-8 names, and the names of the
// rename list files.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zkq::test {

// The lines, each followed by CR LF.
std::string CrLf(const std::vector<std::string>& lines);

// The host path of a UTF-8 name.
std::filesystem::path U8(std::string_view utf8);

// "ID更名列表.txt", or "ID更名列表<zone>.txt" for a zone of a batch (zone != 0).
std::filesystem::path AccountListName(int zone = 0);
// "人物更名列表.txt", or "人物更名列表<zone>.txt" for a zone of a batch (zone != 0).
std::filesystem::path CharListName(int zone = 0);

}  // namespace zkq::test
