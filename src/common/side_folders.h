// Folder helpers shared by the side-data merges and the cleanups: the files of a folder to walk,
// and the main zone's file that stands for a GBK name.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/folder_list.h"

namespace zkq {

// The files directly in `dir` (folders left out) in list-file order. An entry whose name has no
// GBK form is left out with a log line naming it. Throws FileError when the folder cannot be
// listed.
std::vector<platform::FolderEntry> ListFilesLogged(const std::filesystem::path& dir);

// The entries of a main-zone folder by their GBK names. A merge writes into the entry that
// already stands for a name instead of beside it: one stored under raw GBK bytes (a folder copied
// from a Windows server) or under another letter case (the same file on Windows).
class MainFolder {
 public:
  // Lists `dir` when it is a folder; a missing folder has no entries.
  explicit MainFolder(std::filesystem::path dir);

  struct Target {
    std::filesystem::path path;
    bool exists = false;  // an entry (file or folder) of that name stands in the folder
  };
  // The path for the name: the existing entry whose GBK name equals it (exactly, else with ASCII
  // letters folded), otherwise the path NameInFolder makes. Nullopt, with NameInFolder's log
  // line, when the name cannot be used as a file name.
  std::optional<Target> Find(std::string_view gbkName) const;
  // Records a file the merge created.
  void Add(std::string_view gbkName, const std::filesystem::path& path);

 private:
  std::filesystem::path dir_;
  std::unordered_map<std::string, std::filesystem::path> exact_;
  std::unordered_map<std::string, std::filesystem::path> folded_;
};

}  // namespace zkq
