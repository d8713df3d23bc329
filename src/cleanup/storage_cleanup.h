// The storage cleanup: personal files (no "." in the name) of characters that the character
// index file no longer holds are deleted from the "Storage" folder.
#pragma once

#include <filesystem>

namespace zkq {

// False, with nothing deleted, when the folder or the index file is missing or the index file
// cannot be opened or is shorter than a database header (no character index file: read as one,
// it would hold no characters and every personal file would go).
bool CleanStorage(const std::filesystem::path& storageDir, const std::filesystem::path& indexFile);

}  // namespace zkq
