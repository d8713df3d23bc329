#include "platform/folder_copy.h"

#include <algorithm>
#include <system_error>

#include "common/errors.h"
#include "platform/env.h"

namespace zkq::platform {

namespace fs = std::filesystem;
using Type = FileInfo::Type;

namespace {

Type TypeAt(Env* env, const fs::path& p) {
  FileInfo info;
  env->Lstat(p, info);
  return info.type;
}

// The folder `dir` and every missing folder above it. A file or a link that leads nowhere
// standing at one of them ends the copy.
void MakeFolders(Env* env, const fs::path& dir) {
  if (dir.empty() || env->IsDirectory(dir)) return;
  if (TypeAt(env, dir) != Type::kNone)
    throw FileError(dir, "a file or link stands where the copy puts a folder");
  MakeFolders(env, dir.parent_path());
  if (auto ec = env->CreateDir(dir); ec && !(ec == std::errc::file_exists && env->IsDirectory(dir)))
    throw FileError(dir, ec.message());
}

void CopyOneFile(Env* env, const fs::path& from, const fs::path& to) {
  if (TypeAt(env, to) == Type::kDir)
    throw FileError(to, "a folder stands where the copy puts a file");
  const fs::path temp = SiblingTempPath(to);
  if (auto ec = CopyFileFlushed(from, temp))
    throw FileError(ec == std::errc::file_exists ? temp : to, ec.message());
  if (auto ec = ReplaceWithTemp(temp, to)) throw FileError(to, ec.message());
}

void CopyTree(Env* env, const fs::path& from, const fs::path& to, const CopyFilter& filter,
              std::vector<fs::path>* skipped) {
  switch (TypeAt(env, to)) {
    case Type::kNone:
      if (auto ec = env->CreateDir(to)) throw FileError(to, ec.message());
      break;
    case Type::kDir:
      break;
    default:
      throw FileError(to, "a file or link stands where the copy puts a folder");
  }
  std::vector<DirEntry> entries;
  if (auto ec = env->ListDir(from, entries)) throw FileError(from, ec.message());
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  for (const DirEntry& e : entries) {
    if (IsInternalName(e.name)) continue;  // this system's own files are no data
    const fs::path source = from / e.name;
    const fs::path dest = to / e.name;
    switch (e.type) {
      case Type::kDir:
        CopyTree(env, source, dest, filter, skipped);
        break;
      case Type::kFile:
        if (!filter || filter(source, dest)) CopyOneFile(env, source, dest);
        break;
      default:  // links are not followed; devices and the like are no data
        if (skipped != nullptr) skipped->push_back(source);
        break;
    }
  }
}

// True when `inner` is `outer` or lies below it.
bool Within(const fs::path& inner, const fs::path& outer) {
  auto i = inner.begin();
  for (auto o = outer.begin(); o != outer.end(); ++o, ++i) {
    if (o->empty()) continue;  // a trailing separator
    if (i == inner.end() || *i != *o) return false;
  }
  return true;
}

fs::path Resolved(const fs::path& p) {
  std::error_code ec;
  fs::path abs = fs::absolute(p, ec);
  if (ec) abs = p;
  fs::path r = fs::weakly_canonical(abs, ec);
  return ec ? abs.lexically_normal() : r;
}

}  // namespace

namespace {

struct Source {
  fs::path path, name;
  Type type;
};

std::vector<Source> Checked(Env* env, const std::vector<fs::path>& sources,
                            const fs::path& target) {
  std::vector<Source> checked;
  for (const fs::path& source : sources) {
    fs::path name = source.filename();
    if (name.empty()) name = source.parent_path().filename();  // "X/Guilds/" names Guilds
    const Type type = TypeAt(env, source);
    if (type == Type::kNone)
      throw FileError(source, std::make_error_code(std::errc::no_such_file_or_directory).message());
    if (name.empty() || name == "." || name == "..")
      throw FileError(source, "a source to copy must name a file or folder");
    if (type == Type::kDir && Within(Resolved(target / name), Resolved(source)))
      throw FileError(target, "the copy's target lies inside its source " + source.string());
    checked.push_back({source, name, type});
  }
  return checked;
}

}  // namespace

void CheckFolderCopy(const std::vector<fs::path>& sources, const fs::path& target) {
  Checked(CurrentEnv(), sources, target);
}

void CopyFolderTree(const std::vector<fs::path>& sources, const fs::path& target,
                    const CopyFilter& filter, std::vector<fs::path>* skipped) {
  Env* env = CurrentEnv();
  // Every source is checked before anything is copied.
  const std::vector<Source> checked = Checked(env, sources, target);
  MakeFolders(env, target);
  for (const Source& s : checked) {
    const fs::path dest = target / s.name;
    if (s.type == Type::kDir) {
      CopyTree(env, s.path, dest, filter, skipped);
    } else if (s.type == Type::kFile) {
      if (!filter || filter(s.path, dest)) CopyOneFile(env, s.path, dest);
    } else if (skipped != nullptr) {
      skipped->push_back(s.path);
    }
  }
}

std::vector<fs::path> SplitSources(const fs::path& text) {
  if (CurrentEnv()->Exists(text)) return {text};
  std::vector<fs::path> sources;
  const fs::path::string_type& s = text.native();
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i == s.size() || s[i] == ',') {
      if (i > start) sources.emplace_back(s.substr(start, i - start));
      start = i + 1;
    }
  }
  return sources;
}

}  // namespace zkq::platform
