#include "sidedata/friend_merge.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "common/casefold.h"
#include "common/rename_lists.h"
#include "common/side_folders.h"
#include "common/textfile.h"
#include "platform/env.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

bool Merge(const fs::path& mainDir, const fs::path& slaveDir, int zone) {
  const TRenameList renames = LoadRenameList(CharRenameListPath(zone));
  if (!platform::CurrentEnv()->IsDirectory(slaveDir)) return true;

  MainFolder main(mainDir);
  for (const auto& entry : ListFilesLogged(slaveDir)) {
    std::vector<std::string> slaveLines = ReadTextLines(entry.path);
    for (auto& line : slaveLines) {
      if (auto renamed = RenameOf(renames, line)) line = std::move(*renamed);
    }
    // The file name is looked up whole, extension included.
    const std::string targetName = RenameOf(renames, entry.gbkName).value_or(entry.gbkName);
    const auto target = main.Find(targetName);
    if (!target) continue;
    if (!target->exists) {
      WriteTextLines(target->path, slaveLines);
      main.Add(targetName, target->path);
      continue;
    }
    // The main zone's character keeps its friends: the slave's lines join them, each friend
    // once (letter case aside), instead of replacing the file.
    std::vector<std::string> lines = ReadTextLines(target->path);
    std::unordered_set<std::string> held;
    for (const auto& line : lines) held.insert(FoldGbkUpper(line));
    const size_t before = lines.size();
    for (auto& line : slaveLines) {
      if (held.insert(FoldGbkUpper(line)).second) lines.push_back(std::move(line));
    }
    if (lines.size() != before) WriteTextLines(target->path, lines);
  }
  return true;
}

}  // namespace

bool MergeFriends(const fs::path& mainDir, const fs::path& slaveDir) {
  return Merge(mainDir, slaveDir, 0);
}

bool MergeFriendsOfZone(const fs::path& mainDir, const fs::path& slaveDir, int zone) {
  return Merge(mainDir, slaveDir, zone);
}

}  // namespace zkq
