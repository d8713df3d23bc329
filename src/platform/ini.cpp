// INI key access on GBK text: a section starts at a line "[name]", a key line is "key=value".
// Lines are compared after trimming; comment lines (";") and lines of other forms are kept as
// they are and never match.
#include "platform/ini.h"

#include <charconv>
#include <climits>
#include <optional>
#include <vector>

#include "common/casefold.h"
#include "common/errors.h"
#include "common/textfile.h"
#include "platform/env.h"

namespace zkq::platform {

namespace fs = std::filesystem;

namespace {

constexpr size_t kMaxValue = 2047;

// The section named by a line, or nullopt when the line is no section line.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = TrimView(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return TrimView(line.substr(1, line.size() - 2));
}

// The key of a key line, or nullopt.
std::optional<std::string_view> KeyOf(std::string_view line) {
  const std::string_view t = TrimView(line);
  if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
  const size_t eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return TrimView(t.substr(0, eq));
}

std::string ValueOf(std::string_view line) {
  const std::string_view t = TrimView(line);
  std::string_view value = TrimView(t.substr(t.find('=') + 1));
  if (value.size() > kMaxValue) value = value.substr(0, kMaxValue);
  return std::string(value);
}

// Where the section and the key stand among the lines.
struct Place {
  std::optional<size_t> section;  // the section line
  size_t sectionEnd = 0;          // one past the section's last line
  std::optional<size_t> key;      // the key line
};

using NamesEqual = bool (*)(std::string_view, std::string_view);

// UTF-8 text: every ASCII letter folds (no byte of a multi-byte UTF-8 character is one).
bool EqualsAsciiFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto up = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 0x20) : c; };
    if (up(a[i]) != up(b[i])) return false;
  }
  return true;
}

Place FindSection(const std::vector<std::string>& lines, std::string_view section,
                  NamesEqual equal = EqualsFolded) {
  Place place;
  for (size_t i = 0; i < lines.size(); ++i) {
    auto s = SectionOf(lines[i]);
    if (!s) continue;
    if (place.section) {
      place.sectionEnd = i;
      return place;
    }
    if (equal(*s, section)) place.section = i;
  }
  if (place.section) place.sectionEnd = lines.size();
  return place;
}

void FindKey(const std::vector<std::string>& lines, Place& place, std::string_view key,
             NamesEqual equal = EqualsFolded) {
  if (!place.section) return;
  for (size_t i = *place.section + 1; i < place.sectionEnd; ++i) {
    auto k = KeyOf(lines[i]);
    if (k && equal(*k, key)) {
      place.key = i;
      return;
    }
  }
}

std::optional<std::vector<std::string>> ReadLinesIfAny(const fs::path& file) {
  if (!CurrentEnv()->IsRegularFile(file)) return std::nullopt;
  try {
    return ReadTextLines(file);
  } catch (const FileError&) {
    return std::nullopt;
  }
}

std::optional<int32_t> ParseInt(std::string_view text, int base) {
  bool negative = false;
  if (base == 10 && !text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (negative) value = -value;
  if (base == 16) {
    // Hexadecimal text names the 32 bits: 0xFFFFFFFF is -1.
    if (value < 0 || value > 0xFFFFFFFFLL) return std::nullopt;
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  }
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

}  // namespace

std::string IniText::ReadString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  const NamesEqual equal = utf8_ ? EqualsAsciiFolded : EqualsFolded;
  Place place = FindSection(lines_, section, equal);
  FindKey(lines_, place, key, equal);
  if (!place.key) return std::string(def);
  return ValueOf(lines_[*place.key]);
}

int32_t IniText::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  return ParseIniInteger(ReadString(section, key, "")).value_or(def);
}

std::string ReadString(const fs::path& file, std::string_view section, std::string_view key,
                       std::string_view def) {
  auto lines = ReadLinesIfAny(file);
  if (!lines) return std::string(def);
  return IniText(std::move(*lines)).ReadString(section, key, def);
}

std::optional<int32_t> ParseIniInteger(std::string_view text) {
  if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    return ParseInt(text.substr(2), 16);
  if (!text.empty() && text[0] == '$') return ParseInt(text.substr(1), 16);
  return ParseInt(text, 10);
}

int32_t ReadInteger(const fs::path& file, std::string_view section, std::string_view key,
                    int32_t def) {
  return ParseIniInteger(ReadString(file, section, key, "")).value_or(def);
}

void WriteString(const fs::path& file, std::string_view section, std::string_view key,
                 std::string_view value) {
  std::vector<std::string> lines;
  if (CurrentEnv()->Exists(file)) lines = ReadTextLines(file);
  Place place = FindSection(lines, section);
  FindKey(lines, place, key);
  std::string keyLine = std::string(key) + "=" + std::string(value);
  if (place.key) {
    lines[*place.key] = std::move(keyLine);
  } else if (place.section) {
    // Behind the section's last non-blank line.
    size_t at = place.sectionEnd;
    while (at > *place.section + 1 && TrimView(lines[at - 1]).empty()) --at;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), std::move(keyLine));
  } else {
    lines.push_back("[" + std::string(section) + "]");
    lines.push_back(std::move(keyLine));
  }
  try {
    WriteTextLines(file, lines);
  } catch (const FileError& e) {
    throw FileError(file,
                    "Unable to write to " + file.filename().string() + " (" + e.reason() + ")");
  }
}

}  // namespace zkq::platform
