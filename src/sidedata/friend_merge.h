// The friend merge: every friend file of the slave zone copied into the main zone's friend
// folder under the character's new name, its lines renamed. A friend file the main zone already
// has is merged with it, never replaced.
#pragma once

#include <filesystem>

namespace zkq {

bool MergeFriends(const std::filesystem::path& mainDir, const std::filesystem::path& slaveDir);
bool MergeFriendsOfZone(const std::filesystem::path& mainDir, const std::filesystem::path& slaveDir,
                        int zone);

}  // namespace zkq
