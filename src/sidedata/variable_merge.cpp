#include "sidedata/variable_merge.h"

#include <string>
#include <vector>

#include "common/rename_lists.h"
#include "common/side_folders.h"
#include "common/textfile.h"
#include "platform/env.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

// "*.txt", the extension's letters in any case.
bool IsTxtName(std::string_view name) {
  if (name.size() < 4 || name[name.size() - 4] != '.') return false;
  for (size_t i = 0; i < 3; ++i) {
    const char c = name[name.size() - 3 + i];
    if (c != "txt"[i] && c != "TXT"[i]) return false;
  }
  return true;
}

// A section line, "[name]" once trimmed, becomes "[new name]" when the name was renamed. The
// name is everything between the outer brackets, not trimmed, so that a GBK character whose
// second byte is "[" or "]" stays part of it. Lines with text around the brackets (values such
// as x=[Bob]) are never section lines and stay as they are.
void RenameSectionLine(std::string& line, const TRenameList& renames) {
  const std::string_view t = TrimView(line);
  if (t.size() < 2 || t.front() != '[' || t.back() != ']') return;
  if (auto renamed = RenameOf(renames, std::string(t.substr(1, t.size() - 2))))
    line = "[" + *renamed + "]";
}

bool Merge(const fs::path& mainDir, const fs::path& slaveDir, int zone) {
  const TRenameList renames = LoadRenameList(CharRenameListPath(zone));
  if (!platform::CurrentEnv()->IsDirectory(slaveDir)) return true;

  MainFolder main(mainDir);
  for (const auto& entry : ListFilesLogged(slaveDir)) {
    if (!IsTxtName(entry.gbkName)) continue;
    const auto target = main.Find(entry.gbkName);
    if (!target) continue;
    std::vector<std::string> lines =
        target->exists ? ReadTextLines(target->path) : std::vector<std::string>();
    for (auto& line : ReadTextLines(entry.path)) {
      RenameSectionLine(line, renames);
      lines.push_back(std::move(line));
    }
    WriteTextLines(target->path, lines);
    if (!target->exists) main.Add(entry.gbkName, target->path);
  }
  return true;
}

}  // namespace

bool MergeVariables(const fs::path& mainDir, const fs::path& slaveDir) {
  return Merge(mainDir, slaveDir, 0);
}

bool MergeVariablesOfZone(const fs::path& mainDir, const fs::path& slaveDir, int zone) {
  return Merge(mainDir, slaveDir, zone);
}

std::optional<std::string> ExtractBracketed(std::string_view line, std::string_view open,
                                            std::string_view close) {
  if (line.size() < 2) return std::nullopt;
  const size_t start = line.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const std::string_view behind = line.substr(start + open.size());
  const size_t end = behind.find(close);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(behind.substr(0, end));
}

}  // namespace zkq
