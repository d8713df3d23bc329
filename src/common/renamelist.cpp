#include "common/renamelist.h"

#include "common/casefold.h"
#include "common/textfile.h"
#include "platform/env.h"

namespace zkq {

void TRenameList::Add(std::string_view oldName, std::string_view newName) {
  std::string line;
  line.reserve(oldName.size() + 1 + newName.size());
  line.append(oldName).append("=").append(newName);
  AddLine(std::move(line));
}

void TRenameList::AddLine(std::string line) {
  const size_t eq = line.find('=');
  if (eq != std::string::npos)
    first_.try_emplace(FoldGbkUpper(std::string_view(line).substr(0, eq)), lines_.size());
  lines_.push_back(std::move(line));
}

std::string TRenameList::Value(std::string_view key) const {
  const auto it = first_.find(FoldGbkUpper(key));
  if (it == first_.end()) return {};
  const std::string& line = lines_[it->second];
  return line.substr(line.find('=') + 1);
}

bool TRenameList::HasKey(std::string_view key) const {
  return first_.count(FoldGbkUpper(key)) != 0;
}

void TRenameList::Clear() {
  lines_.clear();
  first_.clear();
}

TRenameList CharRenameLookup(const std::filesystem::path& listFile) {
  TRenameList list;
  // Only a missing file means "no renames"; anything else that stands there must be readable.
  if (!platform::CurrentEnv()->Exists(listFile)) return list;
  for (auto& line : ReadTextLines(listFile)) list.AddLine(std::move(line));
  return list;
}

}  // namespace zkq
