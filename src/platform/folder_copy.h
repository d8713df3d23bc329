// Copying whole folder trees (backups before a server merge, guild and clan folders).
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>
#include <vector>

namespace zkq::platform {

// Decides for one file of the copy whether it is copied to `dest`.
using CopyFilter =
    std::function<bool(const std::filesystem::path& source, const std::filesystem::path& dest)>;

// Copies each source (a folder with everything below it, or a file) into `target` under its own
// name: copying X/Guilds into M gives M/Guilds. Missing folders are created, existing files are
// replaced. A filter, when given, is asked for every file. True when everything was copied;
// false when a source is missing or any copy failed.
bool CopyFolderTree(const std::vector<std::filesystem::path>& sources,
                    const std::filesystem::path& target, const CopyFilter& filter = nullptr);

// The sources named by a source text in which a comma separates two paths. A text that names
// an existing file or folder as a whole is one source, commas and all, so that such a path is
// never broken apart.
std::vector<std::filesystem::path> SplitSources(const std::filesystem::path& text);

}  // namespace zkq::platform
