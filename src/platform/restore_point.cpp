#include "platform/restore_point.h"

#include <algorithm>

#include "platform/switch_journal.h"

namespace zkq::platform {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kMagic = "zkqmerge restore point 1";

const char* KindWord(RestoreEntry::Kind kind) {
  switch (kind) {
    case RestoreEntry::Kind::kReplaced:
      return "replaced";
    case RestoreEntry::Kind::kCreated:
      return "created";
    case RestoreEntry::Kind::kDeleted:
      return "deleted";
    case RestoreEntry::Kind::kMkdir:
      return "mkdir";
    case RestoreEntry::Kind::kRmdir:
      return "rmdir";
  }
  return "?";
}

bool HasBackup(RestoreEntry::Kind kind) {
  return kind == RestoreEntry::Kind::kReplaced || kind == RestoreEntry::Kind::kDeleted;
}

// The words of a line, split at blanks.
std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// "zkqmerge-<stamp>[-n].restore": the stamp and n (1 without a number).
std::optional<std::pair<std::string, int>> ParseName(const std::string& name) {
  constexpr std::string_view kHead = "zkqmerge-", kTail = ".restore";
  if (name.size() < kHead.size() + kTail.size() + 15 || name.rfind(kHead, 0) != 0 ||
      name.substr(name.size() - kTail.size()) != kTail)
    return std::nullopt;
  const std::string middle = name.substr(kHead.size(), name.size() - kHead.size() - kTail.size());
  const std::string stamp = middle.substr(0, 15);
  int number = 1;
  if (middle.size() > 15) {
    if (middle[15] != '-') return std::nullopt;
    number = 0;
    for (size_t i = 16; i < middle.size(); ++i) {
      if (middle[i] < '0' || middle[i] > '9' || number > 100000) return std::nullopt;
      number = number * 10 + (middle[i] - '0');
    }
  }
  return std::pair{stamp, number};
}

}  // namespace

std::string RestorePointName(std::string_view stamp, int number) {
  std::string name = "zkqmerge-" + std::string(stamp);
  if (number > 1) name += "-" + std::to_string(number);
  return name + ".restore";
}

std::string EncodeRestorePoint(const RestorePoint& point) {
  std::string text = std::string(kMagic) + "\n";
  text += "time " + EscapePath(fs::path(point.time)) + "\n";
  text += "job " + EscapePath(fs::path(point.job)) + "\n";
  for (const RestoreEntry& e : point.entries) {
    text += KindWord(e.kind);
    text += ' ' + EscapePath(e.target);
    if (HasBackup(e.kind)) text += ' ' + EscapePath(e.backup);
    text += '\n';
  }
  return Sealed(std::move(text));
}

std::optional<RestorePoint> DecodeRestorePoint(std::string_view bytes) {
  const auto text = Unsealed(bytes);
  if (!text) return std::nullopt;
  RestorePoint point;
  size_t start = 0;
  int lineNo = 0;
  while (start < text->size()) {
    size_t end = text->find('\n', start);
    if (end == std::string::npos) end = text->size();
    const std::string_view line = std::string_view(*text).substr(start, end - start);
    start = end + 1;
    const auto w = Words(line);
    ++lineNo;
    if (lineNo == 1) {
      if (line != kMagic) return std::nullopt;
      continue;
    }
    if (w.size() == 2 && (w[0] == "time" || w[0] == "job")) {
      auto value = UnescapePath(w[1]);
      if (!value) return std::nullopt;
      (w[0] == "time" ? point.time : point.job) = value->string();
      continue;
    }
    RestoreEntry e;
    if (w.empty()) return std::nullopt;
    bool known = false;
    for (auto kind :
         {RestoreEntry::Kind::kReplaced, RestoreEntry::Kind::kCreated, RestoreEntry::Kind::kDeleted,
          RestoreEntry::Kind::kMkdir, RestoreEntry::Kind::kRmdir}) {
      if (w[0] == KindWord(kind)) {
        e.kind = kind;
        known = true;
      }
    }
    if (!known || w.size() != (HasBackup(e.kind) ? 3u : 2u)) return std::nullopt;
    auto target = UnescapePath(w[1]);
    if (!target) return std::nullopt;
    e.target = *target;
    if (HasBackup(e.kind)) {
      auto backup = UnescapePath(w[2]);
      if (!backup) return std::nullopt;
      e.backup = *backup;
    }
    point.entries.push_back(std::move(e));
  }
  if (lineNo == 0) return std::nullopt;
  return point;
}

std::vector<RestorePoint> ListRestorePoints(const fs::path& dir, std::vector<fs::path>* damaged) {
  Env* env = CurrentEnv();
  std::vector<DirEntry> entries;
  std::vector<std::pair<std::pair<std::string, int>, RestorePoint>> found;
  if (env->ListDir(dir, entries)) return {};
  for (const DirEntry& e : entries) {
    if (e.type != FileInfo::Type::kFile) continue;
    const auto name = ParseName(e.name.string());
    if (!name) continue;
    const fs::path path = dir / e.name;
    std::string bytes;
    std::optional<RestorePoint> point;
    if (!ReadWholeFile(path, bytes)) point = DecodeRestorePoint(bytes);
    if (!point) {
      if (damaged != nullptr) damaged->push_back(path);
      continue;
    }
    point->list = path;
    found.emplace_back(*name, std::move(*point));
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  std::vector<RestorePoint> points;
  for (auto& f : found) points.push_back(std::move(f.second));
  return points;
}

}  // namespace zkq::platform
