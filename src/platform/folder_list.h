// Listing a folder with the names as GBK text.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace zkq::platform {

struct FolderEntry {
  std::filesystem::path path;  // the entry's host path
  std::string gbkName;         // its name as GBK bytes (see HostFileNameToGbk)
  bool isFolder = false;
};

// The entries directly in `dir` ("." and ".." left out), sorted by their GBK names in list-file
// order (ASCII letters folded, then raw bytes), so that every run and every system visits them
// in the same order. A name that has no GBK form is left out and reported in `skipped` (host
// names, for a log line). Throws FileError when the folder cannot be listed.
std::vector<FolderEntry> ListFolder(const std::filesystem::path& dir,
                                    std::vector<std::filesystem::path>* skipped = nullptr);

}  // namespace zkq::platform
