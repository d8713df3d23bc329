#include "sidedata/member_merge.h"

#include <string>
#include <unordered_set>
#include <vector>

#include "common/casefold.h"
#include "common/rename_lists.h"
#include "common/textfile.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

bool Merge(const fs::path& mainFile, const fs::path& slaveFile, int zone) {
  const TRenameList renames = LoadRenameList(CharRenameListPath(zone));
  const std::vector<std::string> slaveLines = ReadTextLines(slaveFile);
  std::vector<std::string> lines = ReadTextLines(mainFile);

  std::unordered_set<std::string> held;
  for (const auto& line : lines) held.insert(FoldGbkUpper(line));
  for (const auto& line : slaveLines) {
    std::string name = RenameOf(renames, line).value_or(line);
    if (held.insert(FoldGbkUpper(name)).second) lines.push_back(std::move(name));
  }
  WriteTextLines(mainFile, lines);
  return true;
}

}  // namespace

bool MergeMembers(const fs::path& mainFile, const fs::path& slaveFile) {
  return Merge(mainFile, slaveFile, 0);
}

bool MergeMembersOfZone(const fs::path& mainFile, const fs::path& slaveFile, int zone) {
  return Merge(mainFile, slaveFile, zone);
}

}  // namespace zkq
