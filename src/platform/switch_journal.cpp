#include "platform/switch_journal.h"

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>

#include "common/errors.h"

namespace zkq::platform {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kJournalMagic = "zkqmerge journal 1";
constexpr std::string_view kPointerMagic = "zkqmerge pointer 1";

uint64_t Fnv1a64(std::string_view bytes) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (const char c : bytes) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

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

std::vector<std::string_view> Lines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

const char* KindWord(SwitchStep::Kind kind) {
  switch (kind) {
    case SwitchStep::Kind::kMkdir:
      return "mkdir";
    case SwitchStep::Kind::kReplace:
      return "replace";
    case SwitchStep::Kind::kCreate:
      return "create";
    case SwitchStep::Kind::kDelete:
      return "delete";
    case SwitchStep::Kind::kRmdir:
      return "rmdir";
  }
  return "?";
}

FileInfo::Type TypeAt(Env* env, const fs::path& p) {
  FileInfo info;
  env->Lstat(p, info);
  return info.type;
}

bool Present(Env* env, const fs::path& p) {
  return TypeAt(env, p) != FileInfo::Type::kNone;
}

// The errors with which a file system says it has no second names for files.
bool LinkUnsupported(const std::error_code& ec) {
  return ec == std::errc::cross_device_link || ec == std::errc::operation_not_permitted ||
         ec == std::errc::operation_not_supported || ec == std::errc::too_many_links ||
         ec == std::errc::function_not_supported;
}

fs::path FolderOf(const fs::path& p) {
  fs::path dir = p.parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

// The folders whose entries a switch changes.
std::set<fs::path> TouchedFolders(const Journal& j) {
  std::set<fs::path> dirs;
  for (const SwitchStep& s : j.steps) {
    dirs.insert(FolderOf(s.target));
    if (!s.staged.empty()) dirs.insert(FolderOf(s.staged));
    if (!s.backup.empty()) dirs.insert(FolderOf(s.backup));
    if (s.kind == SwitchStep::Kind::kMkdir || s.kind == SwitchStep::Kind::kRmdir)
      dirs.insert(s.target);
  }
  return dirs;
}

std::error_code WriteSealedFile(Env* env, const fs::path& path, const std::string& text) {
  std::error_code ec;
  auto file = env->Open(path, OpenMode::kCreateExclusive, ec);
  if (!file) return ec;
  const bool ok = file->Write(0, text.data(), text.size()) && file->Sync();
  ec = file->LastError();
  const bool closed = file->Close();
  if (!ok || !closed) {
    if (!ec) ec = file->LastError();
    if (!ec) ec = std::make_error_code(std::errc::io_error);
    file.reset();
    env->RemoveFile(path);
    return ec;
  }
  file.reset();
  // Until its folder is flushed the file is not surely on the disk: it does not count, and goes.
  if ((ec = env->SyncDir(FolderOf(path)))) env->RemoveFile(path);
  return ec;
}

std::string PointerText(const Journal& j) {
  return Sealed(std::string(kPointerMagic) + "\nid " + j.id + "\njournal " + EscapePath(j.path) +
                "\n");
}

struct Pointer {
  std::string id;
  fs::path journal;
};

std::optional<Pointer> DecodePointer(std::string_view bytes) {
  const auto text = Unsealed(bytes);
  if (!text) return std::nullopt;
  const auto lines = Lines(*text);
  if (lines.size() != 3 || lines[0] != kPointerMagic) return std::nullopt;
  const auto id = Words(lines[1]);
  const auto journal = Words(lines[2]);
  if (id.size() != 2 || id[0] != "id" || journal.size() != 2 || journal[0] != "journal")
    return std::nullopt;
  auto path = UnescapePath(journal[1]);
  if (!path) return std::nullopt;
  return Pointer{std::string(id[1]), *path};
}

// What one step of a running switch has done so far, for the undo.
struct Done {
  bool created = false;        // mkdir: the folder; rmdir: (removed) the folder
  bool linked = false;         // replace: the backup is a second name of the original
  bool movedOriginal = false;  // replace, delete: the original was renamed to the backup
  bool renamed = false;        // replace, create: the staged file took the target's name
};

// Undoes the done steps in reverse. Returns the first failure (path, reason) or nothing.
std::optional<FileError> Undo(Env* env, const Journal& j, const std::vector<Done>& done) {
  std::optional<FileError> first;
  auto check = [&](std::error_code ec, const fs::path& p) {
    if (ec && !first) first.emplace(p, ec.message());
  };
  for (size_t i = done.size(); i-- > 0;) {
    const SwitchStep& s = j.steps[i];
    const Done& d = done[i];
    switch (s.kind) {
      case SwitchStep::Kind::kMkdir:
        if (d.created) check(env->RemoveDir(s.target), s.target);
        break;
      case SwitchStep::Kind::kReplace:
        if (d.renamed) {
          // The new file goes back to its staged name, then the original (the backup's only
          // name now) back to its own. If the first fails, the second must not replace the
          // new file: the step stays done, and the switch is completed instead.
          const std::error_code back = env->Rename(s.target, s.staged);
          check(back, s.target);
          if (!back) check(env->Rename(s.backup, s.target), s.backup);
        } else if (d.linked) {
          check(env->RemoveFile(s.backup), s.backup);  // the target is still the original
        } else if (d.movedOriginal) {
          check(env->Rename(s.backup, s.target), s.backup);
        }
        break;
      case SwitchStep::Kind::kCreate:
        if (d.renamed) check(env->Rename(s.target, s.staged), s.target);
        break;
      case SwitchStep::Kind::kDelete:
        if (d.movedOriginal) check(env->Rename(s.backup, s.target), s.backup);
        break;
      case SwitchStep::Kind::kRmdir:
        if (d.created) check(env->CreateDir(s.target), s.target);
        break;
    }
  }
  return first;
}

// Removes the backups that are not kept, the pointers and the journal, and flushes their
// folders. Problems become warnings: the switch itself is complete.
void Finish(Env* env, const Journal& j, std::vector<std::string>& warnings) {
  auto warn = [&](std::error_code ec, const fs::path& p) {
    if (ec) warnings.push_back(ec.message() + ": " + p.string());
  };
  std::set<fs::path> dirs;
  for (const SwitchStep& s : j.steps) {
    if (s.keepBackup || s.backup.empty()) continue;
    if (s.kind != SwitchStep::Kind::kReplace && s.kind != SwitchStep::Kind::kDelete) continue;
    if (!Present(env, s.backup)) continue;
    warn(env->RemoveFile(s.backup), s.backup);
    dirs.insert(FolderOf(s.backup));
  }
  for (const fs::path& dir : dirs) warn(env->SyncDir(dir), dir);
  if (Present(env, j.path)) warn(env->RemoveFile(j.path), j.path);
  warn(env->SyncDir(FolderOf(j.path)), FolderOf(j.path));
  for (const fs::path& p : j.pointers) {
    if (!Present(env, p)) continue;
    warn(env->RemoveFile(p), p);
    warn(env->SyncDir(FolderOf(p)), FolderOf(p));
  }
  // A removed folder that held dropped backups or a pointer could not go before they did.
  for (const SwitchStep& s : j.steps) {
    if (s.kind != SwitchStep::Kind::kRmdir || !env->IsDirectory(s.target)) continue;
    if (!env->RemoveDir(s.target)) env->SyncDir(FolderOf(s.target));
  }
}

// Removes the journal and its pointers of a switch that was undone.
void Abandon(Env* env, const Journal& j) {
  for (const fs::path& p : j.pointers) env->RemoveFile(p);
  env->RemoveFile(j.path);
  env->SyncDir(FolderOf(j.path));
}

}  // namespace

std::string EscapePath(const fs::path& path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char ch : path.native()) {
    const auto c = static_cast<unsigned char>(ch);
    if (c <= 0x20 || c == '%' || c == 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += ch;
    }
  }
  return out;
}

std::optional<fs::path> UnescapePath(std::string_view word) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string out;
  for (size_t i = 0; i < word.size(); ++i) {
    if (word[i] != '%') {
      out += word[i];
      continue;
    }
    if (i + 2 >= word.size()) return std::nullopt;
    const int hi = hex(word[i + 1]), lo = hex(word[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  if (out.empty()) return std::nullopt;
  return fs::path(out);
}

std::string Sealed(std::string text) {
  char crc[32];
  std::snprintf(crc, sizeof crc, "crc %016llx\n", static_cast<unsigned long long>(Fnv1a64(text)));
  return text + crc;
}

std::optional<std::string> Unsealed(std::string_view bytes) {
  constexpr size_t kCrcLine = 4 + 16 + 1;  // "crc " + 16 hex digits + "\n"
  if (bytes.size() < kCrcLine || bytes.back() != '\n') return std::nullopt;
  const std::string_view text = bytes.substr(0, bytes.size() - kCrcLine);
  if (!text.empty() && text.back() != '\n') return std::nullopt;
  if (Sealed(std::string(text)) != bytes) return std::nullopt;
  return std::string(text);
}

std::string EncodeJournal(const Journal& j) {
  std::string text = std::string(kJournalMagic) + "\nid " + j.id + "\n";
  for (const SwitchStep& s : j.steps) {
    text += "step ";
    text += KindWord(s.kind);
    text += ' ' + EscapePath(s.target);
    switch (s.kind) {
      case SwitchStep::Kind::kReplace:
        text += ' ' + EscapePath(s.staged) + ' ' + EscapePath(s.backup);
        text += s.keepBackup ? " keep" : " drop";
        break;
      case SwitchStep::Kind::kCreate:
        text += ' ' + EscapePath(s.staged);
        break;
      case SwitchStep::Kind::kDelete:
        text += ' ' + EscapePath(s.backup);
        text += s.keepBackup ? " keep" : " drop";
        break;
      case SwitchStep::Kind::kMkdir:
      case SwitchStep::Kind::kRmdir:
        break;
    }
    text += '\n';
  }
  for (const fs::path& p : j.pointers) text += "pointer " + EscapePath(p) + "\n";
  return Sealed(std::move(text));
}

std::optional<Journal> DecodeJournal(std::string_view bytes) {
  const auto text = Unsealed(bytes);
  if (!text) return std::nullopt;
  const auto lines = Lines(*text);
  if (lines.size() < 2 || lines[0] != kJournalMagic) return std::nullopt;
  Journal j;
  const auto idWords = Words(lines[1]);
  if (idWords.size() != 2 || idWords[0] != "id") return std::nullopt;
  j.id = std::string(idWords[1]);
  for (size_t i = 2; i < lines.size(); ++i) {
    const auto w = Words(lines[i]);
    if (w.size() == 2 && w[0] == "pointer") {
      auto p = UnescapePath(w[1]);
      if (!p) return std::nullopt;
      j.pointers.push_back(*p);
      continue;
    }
    if (w.size() < 3 || w[0] != "step") return std::nullopt;
    SwitchStep s;
    auto target = UnescapePath(w[2]);
    if (!target) return std::nullopt;
    s.target = *target;
    auto keepWord = [&](std::string_view word) -> std::optional<bool> {
      if (word == "keep") return true;
      if (word == "drop") return false;
      return std::nullopt;
    };
    if (w[1] == "mkdir" && w.size() == 3) {
      s.kind = SwitchStep::Kind::kMkdir;
    } else if (w[1] == "rmdir" && w.size() == 3) {
      s.kind = SwitchStep::Kind::kRmdir;
    } else if (w[1] == "create" && w.size() == 4) {
      s.kind = SwitchStep::Kind::kCreate;
      auto staged = UnescapePath(w[3]);
      if (!staged) return std::nullopt;
      s.staged = *staged;
    } else if (w[1] == "replace" && w.size() == 6) {
      s.kind = SwitchStep::Kind::kReplace;
      auto staged = UnescapePath(w[3]);
      auto backup = UnescapePath(w[4]);
      auto keep = keepWord(w[5]);
      if (!staged || !backup || !keep) return std::nullopt;
      s.staged = *staged;
      s.backup = *backup;
      s.keepBackup = *keep;
    } else if (w[1] == "delete" && w.size() == 5) {
      s.kind = SwitchStep::Kind::kDelete;
      auto backup = UnescapePath(w[3]);
      auto keep = keepWord(w[4]);
      if (!backup || !keep) return std::nullopt;
      s.backup = *backup;
      s.keepBackup = *keep;
    } else {
      return std::nullopt;
    }
    j.steps.push_back(std::move(s));
  }
  return j;
}

void RunSwitch(Env* env, const Journal& j, std::vector<std::string>& warnings) {
  // The pointers first, then the complete journal: its arrival on disk is the commit point. A
  // pointer without its journal names a switch that never began, so recovering any one folder
  // alone never sweeps away the staged files of a switch that another folder's journal commits.
  const std::string pointerText = PointerText(j);
  auto dropPointers = [&](size_t count) {
    for (size_t k = 0; k < count; ++k) {
      env->RemoveFile(j.pointers[k]);
      env->SyncDir(FolderOf(j.pointers[k]));
    }
  };
  for (size_t i = 0; i < j.pointers.size(); ++i) {
    if (auto ec = WriteSealedFile(env, j.pointers[i], pointerText)) {
      dropPointers(i);
      throw FileError(j.pointers[i], ec.message());
    }
  }
  if (auto ec = WriteSealedFile(env, j.path, EncodeJournal(j))) {
    dropPointers(j.pointers.size());
    throw FileError(j.path, ec.message());
  }

  std::vector<Done> done;
  done.reserve(j.steps.size());
  auto fail = [&](const fs::path& where, std::error_code ec) {
    const std::optional<FileError> undoFailed = Undo(env, j, done);
    for (const fs::path& dir : TouchedFolders(j)) env->SyncDir(dir);
    if (undoFailed) {
      // The journal stays: the next start completes the switch, so that the files are never
      // left half switched.
      throw FileError(where, ec.message() + "; undoing the switch failed too (" +
                                 undoFailed->reason() + ": " + undoFailed->path().string() +
                                 "), the next start completes it");
    }
    Abandon(env, j);
    throw FileError(where, ec.message());
  };

  for (const SwitchStep& s : j.steps) {
    done.emplace_back();
    Done& d = done.back();
    std::error_code ec;
    fs::path where = s.target;
    switch (s.kind) {
      case SwitchStep::Kind::kMkdir:
        ec = env->CreateDir(s.target);
        if (!ec) {
          d.created = true;
        } else if (ec == std::errc::file_exists && env->IsDirectory(s.target)) {
          ec.clear();
        }
        break;
      case SwitchStep::Kind::kReplace:
        ec = env->Link(s.target, s.backup);
        if (!ec) {
          d.linked = true;
        } else if (LinkUnsupported(ec)) {
          ec = env->Rename(s.target, s.backup);
          if (!ec) d.movedOriginal = true;
        }
        if (ec) {
          where = s.backup;
          break;
        }
        ec = env->Rename(s.staged, s.target);
        if (!ec) d.renamed = true;
        break;
      case SwitchStep::Kind::kCreate:
        if (Present(env, s.target)) {
          ec = std::make_error_code(std::errc::file_exists);
          break;
        }
        ec = env->Rename(s.staged, s.target);
        if (!ec) d.renamed = true;
        break;
      case SwitchStep::Kind::kDelete:
        if (Present(env, s.backup)) {
          ec = std::make_error_code(std::errc::file_exists);
          where = s.backup;
          break;
        }
        ec = env->Rename(s.target, s.backup);
        if (!ec) d.movedOriginal = true;
        break;
      case SwitchStep::Kind::kRmdir:
        ec = env->RemoveDir(s.target);
        if (!ec) {
          d.created = true;
        } else {
          ec.clear();  // a folder that is not empty (or gone) stays as it is
        }
        break;
    }
    if (ec) fail(where, ec);
  }

  for (const fs::path& dir : TouchedFolders(j)) {
    if (!env->IsDirectory(dir)) continue;
    if (auto ec = env->SyncDir(dir)) fail(dir, ec);
  }
  Finish(env, j, warnings);
}

namespace {

// Makes every step of a committed switch that is not made yet.
void Redo(Env* env, const Journal& j) {
  auto check = [](std::error_code ec, const fs::path& p) {
    if (ec) throw FileError(p, ec.message());
  };
  for (const SwitchStep& s : j.steps) {
    switch (s.kind) {
      case SwitchStep::Kind::kMkdir:
        if (!env->IsDirectory(s.target)) {
          const std::error_code ec = env->CreateDir(s.target);
          if (ec != std::errc::file_exists) check(ec, s.target);
        }
        break;
      case SwitchStep::Kind::kReplace:
        if (!Present(env, s.staged)) break;  // done
        if (!Present(env, s.backup) && Present(env, s.target)) {
          std::error_code ec = env->Link(s.target, s.backup);
          if (ec && LinkUnsupported(ec)) ec = env->Rename(s.target, s.backup);
          check(ec, s.backup);
        }
        check(env->Rename(s.staged, s.target), s.target);
        break;
      case SwitchStep::Kind::kCreate:
        if (Present(env, s.staged)) check(env->Rename(s.staged, s.target), s.target);
        break;
      case SwitchStep::Kind::kDelete:
        if (Present(env, s.target) && !Present(env, s.backup))
          check(env->Rename(s.target, s.backup), s.target);
        break;
      case SwitchStep::Kind::kRmdir:
        env->RemoveDir(s.target);
        break;
    }
  }
  for (const fs::path& dir : TouchedFolders(j)) {
    if (env->IsDirectory(dir)) check(env->SyncDir(dir), dir);
  }
}

std::optional<std::string> ReadSmallFile(Env* env, const fs::path& path) {
  std::error_code ec;
  auto file = env->Open(path, OpenMode::kReadShared, ec);
  if (!file) return std::nullopt;
  const int64_t size = file->Size();
  if (size < 0 || size > (int64_t{64} << 20)) return std::nullopt;
  std::string bytes(static_cast<size_t>(size), '\0');
  if (file->Read(0, bytes.data(), bytes.size()) != size) return std::nullopt;
  return bytes;
}

void RecoverJournal(Env* env, const fs::path& path, RecoveryReport& report,
                    std::set<fs::path>& handled) {
  if (!handled.insert(path).second) return;
  FileInfo info;
  env->Lstat(path, info);
  if (info.type == FileInfo::Type::kNone) return;
  if (info.type != FileInfo::Type::kFile)
    throw FileError(path, "something other than a journal stands at the journal's name");
  const auto bytes = ReadSmallFile(env, path);
  if (!bytes) throw FileError(path, "the journal cannot be read");
  const auto journal = DecodeJournal(*bytes);
  if (!journal) {
    // Cut off while it was written: the switch never began. Its staged files are leftovers.
    if (auto ec = env->RemoveFile(path)) throw FileError(path, ec.message());
    env->SyncDir(FolderOf(path));
    return;
  }
  Journal j = *journal;
  j.path = path;
  Redo(env, j);
  std::vector<std::string> warnings;
  Finish(env, j, warnings);
  if (!warnings.empty()) throw FileError(path, warnings.front());
  report.completed.push_back(path);
}

}  // namespace

RecoveryReport RecoverFolders(Env* env, const std::vector<fs::path>& dirs) {
  RecoveryReport report;
  std::set<fs::path> handled;
  std::vector<fs::path> folders;
  for (const fs::path& dir : dirs) {
    if (dir.empty() || !env->IsDirectory(dir)) continue;
    if (std::find(folders.begin(), folders.end(), dir) == folders.end()) folders.push_back(dir);
  }
  for (const fs::path& dir : folders) {
    RecoverJournal(env, dir / kJournalName, report, handled);
    const fs::path pointer = dir / kPointerName;
    FileInfo info;
    env->Lstat(pointer, info);
    if (info.type == FileInfo::Type::kNone) continue;
    if (info.type != FileInfo::Type::kFile)
      throw FileError(pointer, "something other than a pointer stands at the pointer's name");
    const auto bytes = ReadSmallFile(env, pointer);
    const auto decoded = bytes ? DecodePointer(*bytes) : std::nullopt;
    if (decoded) {
      const auto journalBytes = ReadSmallFile(env, decoded->journal);
      const auto journal = journalBytes ? DecodeJournal(*journalBytes) : std::nullopt;
      if (journal && journal->id == decoded->id)
        RecoverJournal(env, decoded->journal, report, handled);
    }
    // Its switch is complete (or never began): the pointer names nothing left to do.
    if (Present(env, pointer)) {
      if (auto ec = env->RemoveFile(pointer)) throw FileError(pointer, ec.message());
      env->SyncDir(dir);
    }
  }
  for (const fs::path& dir : folders) {
    std::vector<DirEntry> entries;
    if (env->ListDir(dir, entries)) continue;
    for (const DirEntry& e : entries) {
      if (e.type != FileInfo::Type::kFile || !IsLeftoverName(e.name)) continue;
      const fs::path p = dir / e.name;
      if (auto ec = env->RemoveFile(p)) throw FileError(p, ec.message());
      report.removed.push_back(p);
    }
  }
  return report;
}

}  // namespace zkq::platform
