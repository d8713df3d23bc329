// Single keys of INI files (GBK text), read and written in place: the guild and clan settings
// files, the batch configuration file and the settings file. Section and key names compare
// without regard to the case of ASCII letters.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace zkq::platform {

// The value of the key in the section; `def` when the file, the section or the key is missing.
// A key that exists with an empty value gives the empty text. Values longer than 2047 bytes are
// cut there.
std::string ReadString(const std::filesystem::path& file, std::string_view section,
                       std::string_view key, std::string_view def);

// An INI value as an integer: hexadecimal after "0x"/"0X" (text of 3 or more characters) or
// "$", decimal otherwise; nullopt when the text is empty or not a valid 32-bit integer.
std::optional<int32_t> ParseIniInteger(std::string_view text);

// ReadString as an integer: hexadecimal after "0x"/"0X" (text of 3 or more characters) or "$",
// decimal otherwise; `def` when the text is empty or not a valid integer.
int32_t ReadInteger(const std::filesystem::path& file, std::string_view section,
                    std::string_view key, int32_t def);

// Sets the key in the section, creating the file, the section or the key when missing; an
// existing key's value is replaced in place and every other line is kept as it was. The file is
// replaced safely. Throws FileError ("Unable to write to <file>") when it cannot be written.
void WriteString(const std::filesystem::path& file, std::string_view section, std::string_view key,
                 std::string_view value);

}  // namespace zkq::platform
