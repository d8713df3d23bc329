// The character index merge: every character of a slave zone's "Hum.db" appended to the main
// zone's, the account renames applied, a clashing character renamed with DuplicateNameSuffix or a
// letter, every rename recorded.
#pragma once

#include <filesystem>

namespace zkq {

// Single merge: account renames from AccountNameMap; character renames to CharNameMap and
// "人物更名列表.txt". False when either file cannot be opened; nothing is written then.
bool MergeCharacterIndex(const std::filesystem::path& mainPath,
                         const std::filesystem::path& slavePath);

// Slave zone `zone` of a batch: account renames from "ID更名列表<zone>.txt", character renames
// to "人物更名列表<zone>.txt".
bool MergeCharacterIndexOfZone(const std::filesystem::path& mainPath,
                               const std::filesystem::path& slavePath, int zone);

}  // namespace zkq
