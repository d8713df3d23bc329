// The task and pet-stall merge: the slave zone's per-character files copied into the main
// zone's task folder under the characters' new names, then every stalled item of the main
// folder renumbered, continuing ItemCounter.
#pragma once

#include <filesystem>

namespace zkq {

// False, with nothing read or written, when either folder is missing.
bool MergePetStalls(const std::filesystem::path& mainDir, const std::filesystem::path& slaveDir);
bool MergePetStallsOfZone(const std::filesystem::path& mainDir,
                          const std::filesystem::path& slaveDir, int zone);

// Gives every stalled item of one file (section "PetSell", keys Item1..ItemN) whose InstanceId is
// not 0 the next number of ItemCounter, and writes the file back when something changed.
void RenumberPetStallFile(const std::filesystem::path& path);

}  // namespace zkq
