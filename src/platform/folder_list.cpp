#include "platform/folder_list.h"

#include <algorithm>

#include "common/casefold.h"
#include "common/errors.h"
#include "platform/codepage.h"
#include "platform/env.h"

namespace zkq::platform {

namespace fs = std::filesystem;

std::vector<FolderEntry> ListFolder(const fs::path& dir, std::vector<fs::path>* skipped) {
  Env* env = CurrentEnv();
  std::vector<DirEntry> found;
  if (auto ec = env->ListDir(dir, found)) throw FileError(dir, ec.message());
  std::vector<FolderEntry> entries;
  for (const DirEntry& e : found) {
    // This system's own files beside the zone's (staged files, backups, journals) are no data.
    if (IsInternalName(e.name)) continue;
    const fs::path path = dir / e.name;
    auto gbk = HostFileNameToGbk(e.name);
    if (!gbk) {
      if (skipped != nullptr) skipped->push_back(path);
      continue;
    }
    const bool folder = e.type == FileInfo::Type::kDir ||
                        (e.type == FileInfo::Type::kLink && env->IsDirectory(path));
    entries.push_back({path, std::move(*gbk), folder});
  }
  std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) {
    return CompareForListFile(a.gbkName, b.gbkName) < 0;
  });
  return entries;
}

}  // namespace zkq::platform
