#include "common/rename_lists.h"

#include <string>
#include <vector>

#include "common/casefold.h"
#include "common/errors.h"
#include "common/paths.h"
#include "common/textfile.h"
#include "platform/codepage.h"
#include "platform/env.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {
fs::path ListPath(std::string_view stem, int zone) {
  std::string name(stem);
  if (zone != 0) name += std::to_string(zone);
  name += ".txt";
  return ProgramDir() / platform::PathFromUtf8(name);
}
}  // namespace

fs::path AccountRenameListPath(int zone) {
  return ListPath("ID更名列表", zone);
}

fs::path CharRenameListPath(int zone) {
  return ListPath("人物更名列表", zone);
}

void SaveRenameList(const fs::path& file, const TRenameList& list) {
  std::vector<std::string> lines = list.Lines();
  SortForListFile(lines);
  WriteTextLines(file, lines);
}

TRenameList LoadRenameList(const fs::path& file) {
  return CharRenameLookup(file);
}

void RemoveRenameList(const fs::path& file) {
  platform::Env* env = platform::CurrentEnv();
  if (!env->Exists(file)) return;
  if (auto ec = env->RemoveFile(file)) throw FileError(file, ec.message());
}

std::optional<std::string> RenameOf(const TRenameList& renames, const std::string& name) {
  if (name.empty()) return std::nullopt;
  std::string renamed = renames.Value(name);
  if (renamed.empty()) return std::nullopt;
  return renamed;
}

}  // namespace zkq
