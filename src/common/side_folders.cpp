#include "common/side_folders.h"

#include "common/casefold.h"
#include "common/gbk.h"
#include "common/host_names.h"
#include "common/progress_log.h"
#include "platform/codepage.h"
#include "platform/env.h"

namespace zkq {

namespace fs = std::filesystem;

std::vector<platform::FolderEntry> ListFilesLogged(const fs::path& dir) {
  std::vector<fs::path> skipped;
  std::vector<platform::FolderEntry> entries = platform::ListFolder(dir, &skipped);
  static const std::string text = Gbk("跳过无法转换为GBK的文件名: ");
  for (const auto& path : skipped) Log().LogLine(text + platform::PathToGbk(path));
  std::erase_if(entries, [](const platform::FolderEntry& e) { return e.isFolder; });
  return entries;
}

MainFolder::MainFolder(fs::path dir) : dir_(std::move(dir)) {
  if (!platform::CurrentEnv()->IsDirectory(dir_)) return;
  // The first entry in list order stands for a name.
  for (auto& entry : platform::ListFolder(dir_)) {
    folded_.try_emplace(FoldGbkUpper(entry.gbkName), entry.path);
    exact_.try_emplace(std::move(entry.gbkName), std::move(entry.path));
  }
}

std::optional<MainFolder::Target> MainFolder::Find(std::string_view gbkName) const {
  // Checked first even when an entry matches, so that a name that could not be a file name of
  // its own never leads to one.
  auto made = NameInFolder(dir_, gbkName);
  if (!made) return std::nullopt;
  if (auto it = exact_.find(std::string(gbkName)); it != exact_.end())
    return Target{it->second, true};
  if (auto it = folded_.find(FoldGbkUpper(gbkName)); it != folded_.end())
    return Target{it->second, true};
  return Target{std::move(*made), false};
}

void MainFolder::Add(std::string_view gbkName, const fs::path& path) {
  folded_.try_emplace(FoldGbkUpper(gbkName), path);
  exact_.try_emplace(std::string(gbkName), path);
}

}  // namespace zkq
