#include "sidedata/petstall_merge.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/bytes.h"
#include "common/casefold.h"
#include "common/errors.h"
#include "common/process_state.h"
#include "common/rename_lists.h"
#include "common/side_folders.h"
#include "common/textfile.h"
#include "dbfiles/chardata.h"
#include "platform/env.h"
#include "platform/ini.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

// A pet-stall file in the form it is read and written in: trimmed lines, grouped by section.
// Comment lines, empty lines and lines before the first section are not kept.
struct StallSection {
  std::string name;
  std::vector<std::string> lines;  // "key=value" with both sides trimmed, or a trimmed line
};

std::vector<StallSection> ParseStallFile(const std::vector<std::string>& rawLines) {
  std::vector<StallSection> sections;
  for (const auto& raw : rawLines) {
    const std::string_view line = TrimView(raw);
    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      sections.push_back({Trim(line.substr(1, line.size() - 2)), {}});
      continue;
    }
    if (sections.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
      sections.back().lines.emplace_back(line);
    } else {
      sections.back().lines.push_back(Trim(line.substr(0, eq)) + "=" + Trim(line.substr(eq + 1)));
    }
  }
  return sections;
}

std::vector<std::string> FormatStallFile(const std::vector<StallSection>& sections) {
  std::vector<std::string> lines;
  for (const auto& section : sections) {
    lines.push_back("[" + section.name + "]");
    lines.insert(lines.end(), section.lines.begin(), section.lines.end());
    lines.emplace_back();
  }
  return lines;
}

std::string_view KeyOfLine(std::string_view line) {
  const size_t eq = line.find('=');
  return eq == std::string_view::npos ? std::string_view() : line.substr(0, eq);
}

// An integer value as the INI key access reads one; 0 when it is not a valid integer.
int32_t IntegerValue(std::string_view text) {
  return platform::ParseIniInteger(text).value_or(0);
}

// k when `key` is "Item" followed by k in decimal (as k is written, no leading zero) and
// 1 <= k <= count; nullopt otherwise.
std::optional<int32_t> ItemNumberOf(std::string_view key, int32_t count) {
  constexpr std::string_view kPrefix = "ITEM";
  if (key.size() <= kPrefix.size() || FoldGbkUpper(key.substr(0, kPrefix.size())) != kPrefix)
    return std::nullopt;
  const std::string_view digits = key.substr(kPrefix.size());
  if (digits.front() == '0') return std::nullopt;
  int32_t k = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), k);
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  if (k < 1 || k > count) return std::nullopt;
  return k;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The first 85 bytes of a stored item. Nullopt for a value that is not hexadecimal text of
// whole bytes or holds fewer than 85 of them: such a value is no item this merge can number.
std::optional<std::array<uint8_t, useritem::kSize>> DecodeItem(std::string_view value) {
  if (value.size() % 2 != 0 || value.size() < 2 * useritem::kSize) return std::nullopt;
  if (!std::all_of(value.begin(), value.end(), [](char c) { return HexDigit(c) >= 0; }))
    return std::nullopt;
  std::array<uint8_t, useritem::kSize> item;
  for (size_t i = 0; i < item.size(); ++i)
    item[i] = static_cast<uint8_t>(HexDigit(value[2 * i]) << 4 | HexDigit(value[2 * i + 1]));
  return item;
}

std::string EncodeItem(const std::array<uint8_t, useritem::kSize>& item) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(2 * item.size());
  for (uint8_t b : item) {
    text += kDigits[b >> 4];
    text += kDigits[b & 0x0F];
  }
  return text;
}

bool Merge(const fs::path& mainDir, const fs::path& slaveDir, int zone) {
  platform::Env* env = platform::CurrentEnv();
  if (!env->IsDirectory(mainDir) || !env->IsDirectory(slaveDir)) return false;
  const TRenameList renames = LoadRenameList(CharRenameListPath(zone));

  // Copy pass: a file the main zone already has is never replaced.
  MainFolder main(mainDir);
  for (const auto& entry : ListFilesLogged(slaveDir)) {
    const std::string target = RenameOf(renames, entry.gbkName).value_or(entry.gbkName);
    const auto found = main.Find(target);
    if (!found || found->exists) continue;
    // Copied beside the target first, so that a failed copy never leaves a partial file under
    // a name the next run would take for the main zone's own.
    const fs::path temp = platform::SiblingTempPath(found->path);
    std::error_code ec = platform::CopyFileFlushed(entry.path, temp);
    if (ec) throw FileError(entry.path, ec.message());
    if (env->Exists(found->path)) {  // appeared meanwhile: still never replaced
      env->RemoveFile(temp);
      continue;
    }
    ec = platform::ReplaceWithTemp(temp, found->path);
    if (ec) throw FileError(found->path, ec.message());
    main.Add(target, found->path);
  }

  if (Process().itemCounter != 0) {
    for (const auto& entry : ListFilesLogged(mainDir)) RenumberPetStallFile(entry.path);
  }
  return true;
}

}  // namespace

bool MergePetStalls(const fs::path& mainDir, const fs::path& slaveDir) {
  return Merge(mainDir, slaveDir, 0);
}

bool MergePetStallsOfZone(const fs::path& mainDir, const fs::path& slaveDir, int zone) {
  return Merge(mainDir, slaveDir, zone);
}

void RenumberPetStallFile(const fs::path& path) {
  uint32_t counter = Process().itemCounter;
  if (counter == 0) return;
  std::vector<StallSection> sections = ParseStallFile(ReadTextLines(path));

  auto petSell = std::find_if(sections.begin(), sections.end(), [](const StallSection& s) {
    return EqualsFolded(s.name, "PetSell");
  });
  if (petSell == sections.end()) return;
  std::vector<std::string>& lines = petSell->lines;

  int32_t count = 0;
  for (const auto& line : lines) {
    if (line.find('=') != std::string::npos && EqualsFolded(KeyOfLine(line), "ItemCount")) {
      count = IntegerValue(std::string_view(line).substr(line.find('=') + 1));
      break;
    }
  }
  if (count <= 0) return;

  // The lines of the keys Item1..Item<count>, each key's first line, in the order of k. Walking
  // the lines (rather than k up to a count read from the file) keeps a huge count cheap.
  std::vector<std::pair<int32_t, size_t>> items;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (auto k = ItemNumberOf(KeyOfLine(lines[i]), count)) items.emplace_back(*k, i);
  }
  std::stable_sort(items.begin(), items.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  items.erase(std::unique(items.begin(), items.end(),
                          [](const auto& a, const auto& b) { return a.first == b.first; }),
              items.end());

  bool changed = false;
  for (const auto& [k, at] : items) {
    std::string& line = lines[at];
    const size_t eq = line.find('=');
    auto item = DecodeItem(std::string_view(line).substr(eq + 1));
    // A value that is empty, not hexadecimal or too short stays as it is and takes no number.
    if (!item || GetI32(item->data() + useritem::kInstanceId) == 0) continue;
    ++counter;
    PutI32(item->data() + useritem::kInstanceId, static_cast<int32_t>(counter));
    line = line.substr(0, eq + 1) + EncodeItem(*item);
    changed = true;
  }
  // A file without a renumbered item is left as it is, comment lines and all.
  if (!changed) return;
  WriteTextLines(path, FormatStallFile(sections));
  Process().itemCounter = counter;
}

}  // namespace zkq
