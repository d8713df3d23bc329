// The guild and clan merges: one routine, parameterised by the items of each kind. A slave
// zone's guilds (clans) join the main zone's list; a name already taken gets a free one (the name
// followed by a letter A..Z); member files follow the character renames; the slave's per-item
// files are copied into the main zone's folder.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <utility>

namespace zkq {

// Guilds: "Guildlist.txt", folder "Guilds", rename list "行会更名列表.txt" (zone N:
// "行会更名列表N.txt"). False, with nothing read or written, when a folder, the slave list or
// the slave "Guilds" folder is missing.
bool MergeGuilds(const std::filesystem::path& mainDir, const std::filesystem::path& slaveDir);
bool MergeGuildsOfZone(const std::filesystem::path& mainDir, const std::filesystem::path& slaveDir,
                       int zone);

// Clans: "Clanlist.txt", folder "Clans", rename list "宗族更名列表.txt".
bool MergeClans(const std::filesystem::path& mainDir, const std::filesystem::path& slaveDir);
bool MergeClansOfZone(const std::filesystem::path& mainDir, const std::filesystem::path& slaveDir,
                      int zone);

// Splits off the first token of `text` at any of the single-byte `dividers`: leading dividers
// are skipped, the token runs to the next divider, the rest is what follows that one divider.
// A text that is empty or 33149 bytes or longer gives two empty texts.
std::pair<std::string, std::string> SplitToken(std::string_view text, std::string_view dividers);

}  // namespace zkq
