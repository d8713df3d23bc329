#include "platform/folder_copy.h"

#include <system_error>

namespace zkq::platform {

namespace fs = std::filesystem;

bool CopyFolderTree(const std::vector<fs::path>& sources, const fs::path& target) {
  std::error_code ec;
  bool ok = true;
  for (const fs::path& source : sources) {
    fs::path name = source.filename();
    if (name.empty()) name = source.parent_path().filename();  // "X/Guilds/" names Guilds
    const fs::file_status status = fs::status(source, ec);
    if (ec || !fs::exists(status) || name.empty()) {
      ok = false;
      continue;
    }
    fs::create_directories(target, ec);
    if (ec) return false;
    const fs::path dest = target / name;
    if (fs::is_directory(status)) {
      fs::create_directories(dest, ec);
      if (!ec)
        fs::copy(source, dest, fs::copy_options::recursive | fs::copy_options::overwrite_existing,
                 ec);
    } else {
      fs::copy_file(source, dest, fs::copy_options::overwrite_existing, ec);
    }
    if (ec) ok = false;
  }
  return ok;
}

}  // namespace zkq::platform
