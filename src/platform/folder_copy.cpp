#include "platform/folder_copy.h"

#include <system_error>

namespace zkq::platform {

namespace fs = std::filesystem;

namespace {

// Copies the tree below `from` into `to`, file by file, asking the filter.
bool CopyTree(const fs::path& from, const fs::path& to, const CopyFilter& filter) {
  std::error_code ec;
  fs::create_directories(to, ec);
  if (ec) return false;
  bool ok = true;
  for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path dest = to / it->path().filename();
    if (it->is_directory(ec)) {
      ok = CopyTree(it->path(), dest, filter) && ok;
    } else if (!filter || filter(it->path(), dest)) {
      fs::copy_file(it->path(), dest, fs::copy_options::overwrite_existing, ec);
      if (ec) {
        ok = false;
        ec.clear();
      }
    }
  }
  return ok && !ec;
}

}  // namespace

bool CopyFolderTree(const std::vector<fs::path>& sources, const fs::path& target,
                    const CopyFilter& filter) {
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
      ok = CopyTree(source, dest, filter) && ok;
    } else if (!filter || filter(source, dest)) {
      fs::copy_file(source, dest, fs::copy_options::overwrite_existing, ec);
      if (ec) ok = false;
    }
  }
  return ok;
}

std::vector<fs::path> SplitSources(const fs::path& text) {
  std::error_code ec;
  if (fs::exists(text, ec)) return {text};
  std::vector<fs::path> sources;
  const fs::path::string_type& s = text.native();
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == ',') {
      if (i > start) sources.emplace_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return sources;
}

}  // namespace zkq::platform
