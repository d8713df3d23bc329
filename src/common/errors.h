// The one exception type of the system: a text file or folder operation that failed.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace zkq {

class FileError : public std::runtime_error {
 public:
  FileError(std::filesystem::path path, std::string reason)
      : std::runtime_error(reason + ": " + path.string()),
        path_(std::move(path)),
        reason_(std::move(reason)) {}

  const std::filesystem::path& path() const { return path_; }
  // The operating system's reason, as text.
  const std::string& reason() const { return reason_; }

 private:
  std::filesystem::path path_;
  std::string reason_;
};

}  // namespace zkq
