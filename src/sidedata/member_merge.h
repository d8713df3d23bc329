// The member merge: the slave zone's member names, renamed, added to the main zone's member file
// unless it holds them already (letter case aside).
#pragma once

#include <filesystem>

namespace zkq {

// Throws FileError when a member file cannot be read or written.
bool MergeMembers(const std::filesystem::path& mainFile, const std::filesystem::path& slaveFile);
bool MergeMembersOfZone(const std::filesystem::path& mainFile,
                        const std::filesystem::path& slaveFile, int zone);

}  // namespace zkq
