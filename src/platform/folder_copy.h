// Copying whole folder trees (backups before a server merge, guild and clan folders), through
// the Env like every other file operation.
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
// name: copying X/Guilds into M gives M/Guilds. Missing folders are created. Each file is
// written beside its destination and renamed over it once complete and flushed, so that an
// existing file is replaced whole or not at all. A filter, when given, is asked for every file.
//
// Links are never followed: a link in a source is left out and reported in `skipped`; a link
// standing at a destination file is replaced, never written through; a link or file standing
// where the copy puts a folder ends it. A target inside a source is refused before anything is
// copied. Throws FileError, naming the path and the reason, at the first failure (a missing
// source included).
void CopyFolderTree(const std::vector<std::filesystem::path>& sources,
                    const std::filesystem::path& target, const CopyFilter& filter = nullptr,
                    std::vector<std::filesystem::path>* skipped = nullptr);

// The checks CopyFolderTree makes before it copies anything: every source exists, and no
// target of a folder lies inside that folder. Throws FileError naming the path otherwise.
void CheckFolderCopy(const std::vector<std::filesystem::path>& sources,
                     const std::filesystem::path& target);

// The sources named by a source text in which a comma separates two paths. A text that names
// an existing file or folder as a whole is one source, commas and all, so that such a path is
// never broken apart.
std::vector<std::filesystem::path> SplitSources(const std::filesystem::path& text);

}  // namespace zkq::platform
