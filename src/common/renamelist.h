// Hashed rename lists: entries "old=new", looked up by the old name without regard to the case
// of ASCII letters. A key recorded twice answers with its first entry.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace zkq {

class TRenameList {
 public:
  // Records "old=new".
  void Add(std::string_view oldName, std::string_view newName);
  // Records a line as it stands; its key is the text in front of the first "=". A line without
  // "=" is kept but gives no key.
  void AddLine(std::string line);

  // The value of the first entry whose key equals `key` (case of ASCII letters aside), or the
  // empty text.
  std::string Value(std::string_view key) const;
  bool HasKey(std::string_view key) const;

  const std::vector<std::string>& Lines() const { return lines_; }
  size_t Count() const { return lines_.size(); }
  void Clear();

 private:
  std::vector<std::string> lines_;
  std::unordered_map<std::string, size_t> first_;  // folded key -> line index
};

// The character rename list file read into a lookup; a missing file gives an empty lookup.
// Throws FileError when the file exists but cannot be read.
TRenameList CharRenameLookup(const std::filesystem::path& listFile);

}  // namespace zkq
