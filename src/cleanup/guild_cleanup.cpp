#include "cleanup/guild_cleanup.h"

#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>

#include "common/gbk.h"
#include "common/host_names.h"
#include "common/paths.h"
#include "common/progress_log.h"
#include "common/textfile.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/folder_list.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

// The files of the "Guilds" folder by their exact GBK names. A file stored under raw GBK bytes
// (a folder copied from a Windows server) is found like one stored under its host name. Names
// are matched byte for byte: a file whose name differs from the guild's in letter case belongs
// to no guild here, as in the guild merge, so the cleanup never deletes it.
class GuildFolder {
 public:
  explicit GuildFolder(fs::path dir) : dir_(std::move(dir)) {
    // A name without a GBK form cannot be a guild name followed by ".txt" or ".ini".
    for (auto& entry : platform::ListFolder(dir_))
      files_.try_emplace(std::move(entry.gbkName), std::move(entry.path));
  }

  // The path of the file of this name: the listed entry, otherwise the path NameInFolder makes.
  // Nullopt, with NameInFolder's log line, for a name that cannot be a file name.
  std::optional<fs::path> Find(const std::string& gbkName) const {
    auto made = NameInFolder(dir_, gbkName);
    if (!made) return std::nullopt;
    if (const auto it = files_.find(gbkName); it != files_.end()) return it->second;
    return made;
  }

 private:
  fs::path dir_;
  std::unordered_map<std::string, fs::path> files_;
};

// Deletes a guild's file when it stands as a regular file; a failure leaves it in place.
void DeleteIfFile(const std::optional<fs::path>& path) {
  platform::Env* env = platform::CurrentEnv();
  if (path && env->IsRegularFile(*path)) (void)env->RemoveFile(*path);
}

}  // namespace

int32_t CountGuildMembers(const std::vector<std::string>& lines) {
  static const std::string header = Gbk("行会成员");
  bool open = false;
  int32_t members = 0;
  for (const auto& line : lines) {
    const std::string_view trimmed = TrimView(line);
    // The count opens at the first header line and never closes again.
    if (!open) open = trimmed == header;
    if (open && !trimmed.empty() && trimmed.front() == '+') ++members;
  }
  return members;
}

bool CleanGuilds(const fs::path& guildDir, int32_t minMembers) {
  platform::Env* env = platform::CurrentEnv();
  const fs::path listFile = guildDir / "Guildlist.txt";
  const fs::path folder = guildDir / "Guilds";
  if (!env->IsDirectory(guildDir) || !env->IsRegularFile(listFile) || !env->IsDirectory(folder))
    return false;

  std::vector<std::string> guilds = ReadTextLines(listFile);
  const GuildFolder files(folder);
  const std::string progressText = Gbk("清理行会: ");
  std::vector<std::string> removed;
  int32_t position = 0;
  for (size_t i = guilds.size(); i-- > 0;) {
    const std::string entry = guilds[i];
    ++position;
    Log().LogProgress(progressText + entry, position, static_cast<int32_t>(guilds.size()));
    // A blank entry names no guild file; its line stays in the list.
    if (TrimView(entry).empty()) continue;

    // A guild whose name cannot be a file name is kept (NameInFolder logs it).
    const std::optional<fs::path> members = files.Find(entry + ".txt");
    if (!members || !env->IsRegularFile(*members)) continue;
    if (CountGuildMembers(ReadTextLines(*members)) >= minMembers) continue;

    DeleteIfFile(members);
    DeleteIfFile(files.Find(entry + ".ini"));
    removed.push_back(entry);
    guilds.erase(guilds.begin() + static_cast<std::ptrdiff_t>(i));
  }

  if (!removed.empty())
    WriteTextLines(ProgramDir() / platform::PathFromUtf8("行会清理列表.txt"), removed);
  WriteTextLines(listFile, guilds);
  return true;
}

}  // namespace zkq
