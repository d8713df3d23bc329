// The custom variable merge: every "*.txt" file of the slave zone's variable folder appended to
// the main zone's file of the same name, its section lines renamed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zkq {

bool MergeVariables(const std::filesystem::path& mainDir, const std::filesystem::path& slaveDir);
bool MergeVariablesOfZone(const std::filesystem::path& mainDir,
                          const std::filesystem::path& slaveDir, int zone);

// The text between the first `open` and the first `close` behind it; nullopt for a line shorter
// than 2 bytes, without `open`, or without `close` behind it.
std::optional<std::string> ExtractBracketed(std::string_view line, std::string_view open,
                                            std::string_view close);

}  // namespace zkq
