// GBK names (characters, guilds, clans) used as file names in a folder.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>

namespace zkq {

// The host path of the file named `gbkName` in `dir`. A name that cannot be converted or would
// leave the folder (empty, ".", "..", holding "/" or "\") is never used as a path: the result
// is nullopt and a log line names it ("跳过无法用作文件名的名称: <name>").
std::optional<std::filesystem::path> NameInFolder(const std::filesystem::path& dir,
                                                  std::string_view gbkName);

}  // namespace zkq
