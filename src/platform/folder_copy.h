// Copying whole folder trees (backups before a server merge, guild and clan folders).
#pragma once

#include <filesystem>
#include <vector>

namespace zkq::platform {

// Copies each source (a folder with everything below it, or a file) into `target` under its own
// name: copying X/Guilds into M gives M/Guilds. Missing folders are created, existing files are
// replaced. True when everything was copied; false when a source is missing or any copy failed.
bool CopyFolderTree(const std::vector<std::filesystem::path>& sources,
                    const std::filesystem::path& target);

}  // namespace zkq::platform
