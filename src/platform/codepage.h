// Code page 936 (GBK) conversions. Names and file contents stay GBK bytes everywhere; they are
// converted only where they become host file names and where they are shown to a person.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zkq::platform {

// Exact conversions; nullopt when a byte sequence is invalid or has no counterpart.
std::optional<std::string> GbkToUtf8(std::string_view gbk);
std::optional<std::string> Utf8ToGbk(std::string_view utf8);

bool IsValidUtf8(std::string_view bytes);

// For display: GBK converted to UTF-8, every invalid byte shown as U+FFFD.
std::string GbkToDisplay(std::string_view gbk);

// A GBK name as one host file name (UTF-8 on POSIX). Nullopt when it cannot be converted or
// would leave its folder: empty, ".", "..", or holding "/" or "\" after conversion.
std::optional<std::filesystem::path> GbkToHostFileName(std::string_view gbkName);

// A host file name (one path component) back to GBK. On POSIX a name that is not valid UTF-8 is
// taken as raw GBK bytes, as folders copied from a Windows server hold such names. Nullopt when
// a valid UTF-8 name has no GBK form.
std::optional<std::string> HostFileNameToGbk(const std::filesystem::path& name);

// A path from UTF-8 text (the source code's file-name literals, command-line text on POSIX).
std::filesystem::path PathFromUtf8(std::string_view utf8);

// A path as GBK text for log lines and messages. On POSIX a path that is not valid UTF-8 is
// taken as raw GBK bytes; characters without a GBK form become "?".
std::string PathToGbk(const std::filesystem::path& path);

}  // namespace zkq::platform
