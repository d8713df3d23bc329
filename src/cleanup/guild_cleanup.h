// The guild cleanup: guilds whose member file lists fewer members than a threshold lose their
// files and their line in the guild list; their names go to "行会清理列表.txt".
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace zkq {

// Guilds without a member file are kept, and so are blank list entries (they name no file) and
// names that cannot be file names. False, with nothing read or written, when the folder, its
// "Guildlist.txt" or its "Guilds" folder is missing.
bool CleanGuilds(const std::filesystem::path& guildDir, int32_t minMembers);

// The members a guild member file lists: "+" lines from the first line that, trimmed, is
// "行会成员" on.
int32_t CountGuildMembers(const std::vector<std::string>& lines);

}  // namespace zkq
