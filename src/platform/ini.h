// Single keys of INI files (GBK text), read and written in place: the guild and clan settings
// files, the batch configuration file and the settings file. Section and key names compare
// without regard to the case of ASCII letters.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zkq::platform {

// An INI text already read, for many lookups (the batch configuration file). GBK text, or
// UTF-8 text when `utf8` is set (names then compare with every ASCII letter folded).
class IniText {
 public:
  explicit IniText(std::vector<std::string> lines, bool utf8 = false)
      : lines_(std::move(lines)), utf8_(utf8) {}
  // As the functions below, on these lines.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;

 private:
  std::vector<std::string> lines_;
  bool utf8_;
};

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
