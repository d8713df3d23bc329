// The account and character cleanup: characters below a level or not written since a date (and,
// on request, those the players deleted) leave a zone with their heroes, then every account
// left without a character; the three files are rebuilt without them.
#pragma once

#include <cstdint>
#include <filesystem>

#include "common/bytes.h"

namespace zkq {

// Removes the characters of `dataFile` whose Level is below `minLevel` or whose UpdateTime is
// before `cutoff` (strictly), with `clearDeleted` also those whose live index record carries the
// character-deleted flag, together with their heroes (a hero goes only with its owner); then the
// accounts of `accountFile` that no remaining character names (in any letter case). Writes the
// removed names, sorted, to "已删除帐号列表.txt", "已删除角色列表.txt" and "已删除元神角色列表.txt"
// in the program folder (a list that stays empty leaves its file alone), leaves the removed
// account and character names in Process().accountNameMap and charNameMap, and rebuilds the
// three files. False, with nothing changed, when a file is missing (it is not created) or cannot
// be opened. Throws FileError when a deletion, a list file or a rebuild cannot be written (in a
// job nothing has then changed: the job's files are switched in only when it is complete).
bool CleanAccountsAndCharacters(const std::filesystem::path& accountFile,
                                const std::filesystem::path& indexFile,
                                const std::filesystem::path& dataFile, bool clearDeleted,
                                int32_t minLevel, TDateTime cutoff);

}  // namespace zkq
