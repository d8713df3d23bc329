// The rename list files in the program folder: one line "old=new" per rename, sorted, written
// only when a merge renamed something.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "common/renamelist.h"

namespace zkq {

// "ID更名列表.txt" (zone 0, a single merge) or "ID更名列表<zone>.txt" in the program folder.
std::filesystem::path AccountRenameListPath(int zone);
// "人物更名列表.txt" (zone 0) or "人物更名列表<zone>.txt" in the program folder.
std::filesystem::path CharRenameListPath(int zone);

// Writes the list's lines in list-file order (CR LF), replacing the file safely.
void SaveRenameList(const std::filesystem::path& file, const TRenameList& list);

// A zone's list file loaded into a lookup; a missing file gives an empty list.
TRenameList LoadRenameList(const std::filesystem::path& file);

// Deletes a zone's list file if it exists; throws FileError when it cannot be deleted.
void RemoveRenameList(const std::filesystem::path& file);

// The new name `renames` records for `name`, or nullopt when it records none (an empty name
// names nobody and is never renamed).
std::optional<std::string> RenameOf(const TRenameList& renames, const std::string& name);

}  // namespace zkq
