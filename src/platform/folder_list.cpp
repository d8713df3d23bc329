#include "platform/folder_list.h"

#include <algorithm>
#include <system_error>

#include "common/casefold.h"
#include "common/errors.h"
#include "platform/codepage.h"

namespace zkq::platform {

namespace fs = std::filesystem;

std::vector<FolderEntry> ListFolder(const fs::path& dir, std::vector<fs::path>* skipped) {
  std::vector<FolderEntry> entries;
  std::error_code ec;
  fs::directory_iterator it(dir, ec);
  if (ec) throw FileError(dir, ec.message());
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) throw FileError(dir, ec.message());
    const fs::path name = it->path().filename();
    auto gbk = HostFileNameToGbk(name);
    if (!gbk) {
      if (skipped != nullptr) skipped->push_back(it->path());
      continue;
    }
    std::error_code kindError;
    entries.push_back({it->path(), std::move(*gbk), it->is_directory(kindError)});
  }
  if (ec) throw FileError(dir, ec.message());
  std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) {
    return CompareForListFile(a.gbkName, b.gbkName) < 0;
  });
  return entries;
}

}  // namespace zkq::platform
