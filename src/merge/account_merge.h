// The account merge: every account of a slave zone's "Id.db" appended to the main zone's, a
// clashing name replaced by a free one, every rename recorded.
#pragma once

#include <filesystem>

namespace zkq {

// Single merge: renames go to AccountNameMap and "ID更名列表.txt". False when either file
// cannot be opened; nothing is written then.
bool MergeAccounts(const std::filesystem::path& mainPath, const std::filesystem::path& slavePath);

// Slave zone `zone` (1, 2, ...) of a batch: renames go to "ID更名列表<zone>.txt" only.
bool MergeAccountsOfZone(const std::filesystem::path& mainPath,
                         const std::filesystem::path& slavePath, int zone);

}  // namespace zkq
