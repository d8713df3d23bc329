#include "platform/staging.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <random>

#include "common/datetime.h"
#include "platform/buffered_file.h"
#include "platform/switch_journal.h"

namespace zkq::platform {

namespace fs = std::filesystem;
using Type = FileInfo::Type;

namespace {

// Bytes a file's changes may hold in memory before they are written out beside it.
constexpr size_t kDeltaLimit = size_t{16} << 20;
// Files up to this size that were rewritten are compared with their originals: an unchanged
// file is left out of the switch.
constexpr int64_t kCompareLimit = int64_t{16} << 20;
constexpr size_t kChunk = size_t{1} << 20;

fs::path FolderOf(const fs::path& p) {
  fs::path dir = p.parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

}  // namespace

// ---- Content: the bytes of one file in the view ----

struct StagingEnv::Content {
  enum class Kind {
    kOriginal,  // the bytes of the real file `source`
    kDelta,     // those bytes with the job's writes in `extents` over them
    kReal,      // a staged file of the job, `real`
  };

  Content(StagingEnv* e, Kind k) : env(e), kind(k) {}
  ~Content() {
    if (copying.valid()) copying.wait();
    file.reset();
    base.reset();
    if (owns && !real.empty()) env->base()->RemoveFile(real);
  }

  StagingEnv* env;
  Kind kind;
  fs::path where;   // the view's path of the file, for errors
  fs::path source;  // kOriginal, kDelta
  std::unique_ptr<RandomRWFile> base;
  int64_t baseSize = 0;
  bool baseCached = false;  // the whole original is in baseBytes
  std::string baseBytes;
  std::map<int64_t, std::string> extents;  // kDelta: offset -> bytes, apart and not touching
  size_t extentBytes = 0;
  int64_t size = 0;  // kDelta
  fs::path real;     // kReal
  std::unique_ptr<BufferedFile> file;
  bool precious = false;  // kOriginal: a file of the zone moved in the view, switched in as is
  bool owns = false;      // `real` is removed with the content
  bool prepared = false;  // written out and flushed for `preparedFor` since its last change
  fs::path preparedFor;
  // A backup copy that another thread is making: its result (the copy's handle is in `file`
  // once it is done).
  std::future<std::error_code> copying;

  bool Fail(std::error_code& out, std::error_code ec, const fs::path& at) {
    out = ec ? ec : std::make_error_code(std::errc::io_error);
    env->RecordError(at, out);
    return false;
  }

  std::error_code OpenBase() {
    if (base) return {};
    std::error_code ec;
    base = env->base()->Open(source, OpenMode::kReadShared, ec);
    if (!base) return ec;
    baseSize = base->Size();
    if (baseSize < 0) {
      ec = base->LastError();
      base.reset();
      return ec ? ec : std::make_error_code(std::errc::io_error);
    }
    return {};
  }

  // Reads from the original. A small one is read whole at its first read and then served from
  // memory: a job reads and rewrites the records of Id.db and Hum.db one by one, and a system
  // call for each costs more than the whole file.
  int64_t ReadBase(int64_t offset, void* buf, size_t n) {
    if (!baseCached && baseSize <= StagingEnv::kReadWholeLimit) {
      std::string bytes(static_cast<size_t>(baseSize), '\0');
      const int64_t got = bytes.empty() ? 0 : base->Read(0, bytes.data(), bytes.size());
      if (got < 0) return -1;
      bytes.resize(static_cast<size_t>(got));
      baseBytes = std::move(bytes);
      baseCached = true;
    }
    if (!baseCached) return base->Read(offset, buf, n);
    if (offset >= static_cast<int64_t>(baseBytes.size())) return 0;
    const size_t take = std::min(n, baseBytes.size() - static_cast<size_t>(offset));
    std::memcpy(buf, baseBytes.data() + offset, take);
    return static_cast<int64_t>(take);
  }

  int64_t Size(std::error_code& ec) {
    switch (kind) {
      case Kind::kOriginal:
        if (auto e = OpenBase()) {
          Fail(ec, e, source);
          return -1;
        }
        return baseSize;
      case Kind::kDelta:
        return size;
      case Kind::kReal: {
        const int64_t s = file->Size();
        if (s < 0) Fail(ec, file->LastError(), where);
        return s;
      }
    }
    return -1;
  }

  int64_t Read(int64_t offset, void* buf, size_t n, std::error_code& ec) {
    if (offset < 0) {
      ec = std::make_error_code(std::errc::invalid_argument);
      return -1;
    }
    if (kind == Kind::kReal) {
      const int64_t got = file->Read(offset, buf, n);
      if (got < 0) Fail(ec, file->LastError(), where);
      return got;
    }
    if (auto e = OpenBase()) {
      Fail(ec, e, source);
      return -1;
    }
    if (kind == Kind::kOriginal) {
      const int64_t got = ReadBase(offset, buf, n);
      if (got < 0) Fail(ec, base->LastError(), source);
      return got;
    }
    if (offset >= size) return 0;
    const int64_t end = std::min<int64_t>(size, offset + static_cast<int64_t>(n));
    auto* out = static_cast<uint8_t*>(buf);
    const int64_t baseEnd = std::min(end, baseSize);
    int64_t have = 0;
    if (offset < baseEnd) {
      have = ReadBase(offset, out, static_cast<size_t>(baseEnd - offset));
      if (have < 0) {
        Fail(ec, base->LastError(), source);
        return -1;
      }
    }
    if (offset + have < end) std::memset(out + have, 0, static_cast<size_t>(end - offset - have));
    auto it = extents.upper_bound(offset);
    if (it != extents.begin()) --it;
    for (; it != extents.end() && it->first < end; ++it) {
      const int64_t s = std::max(offset, it->first);
      const int64_t e = std::min(end, it->first + static_cast<int64_t>(it->second.size()));
      if (s < e)
        std::memcpy(out + (s - offset), it->second.data() + (s - it->first),
                    static_cast<size_t>(e - s));
    }
    return end - offset;
  }

  void PutExtent(int64_t offset, const uint8_t* data, size_t n) {
    const int64_t end = offset + static_cast<int64_t>(n);
    auto it = extents.upper_bound(offset);
    if (it != extents.begin()) {
      auto prev = std::prev(it);
      if (prev->first + static_cast<int64_t>(prev->second.size()) >= offset) it = prev;
    }
    if (it == extents.end() || it->first > end) {
      extents.emplace(offset, std::string(reinterpret_cast<const char*>(data), n));
      extentBytes += n;
    } else {
      // Grow the extent that overlaps or touches the write at its start, in place (appends
      // one record after another stay cheap), then take in the extents it now reaches.
      if (it->first > offset) {
        std::string merged(reinterpret_cast<const char*>(data), n);
        const int64_t itEnd = it->first + static_cast<int64_t>(it->second.size());
        if (itEnd > end) merged.append(it->second, static_cast<size_t>(end - it->first));
        extentBytes -= it->second.size();
        extents.erase(it);
        it = extents.emplace(offset, std::move(merged)).first;
        extentBytes += it->second.size();
      } else {
        std::string& bytes = it->second;
        const size_t old = bytes.size();
        const auto need = static_cast<size_t>(end - it->first);
        if (need > old) bytes.resize(need);
        std::memcpy(bytes.data() + (offset - it->first), data, n);
        extentBytes += bytes.size() - old;
      }
      const int64_t start = it->first;
      for (auto next = std::next(it); next != extents.end() && next->first <= end;) {
        std::string& bytes = it->second;
        const int64_t nextEnd = next->first + static_cast<int64_t>(next->second.size());
        const int64_t covered = start + static_cast<int64_t>(bytes.size());
        if (nextEnd > covered) {
          const auto keep = static_cast<size_t>(covered - next->first);
          bytes.append(next->second, keep, std::string::npos);
          extentBytes += next->second.size() - keep;
        }
        extentBytes -= next->second.size();
        next = extents.erase(next);
      }
    }
    size = std::max(size, end);
  }

  bool Write(int64_t offset, const void* buf, size_t n, std::error_code& ec) {
    if (offset < 0) {
      ec = std::make_error_code(std::errc::invalid_argument);
      return false;
    }
    if (kind == Kind::kReal) {
      if (!file->Write(offset, buf, n)) return Fail(ec, file->LastError(), where);
      prepared = false;
      return true;
    }
    if (kind == Kind::kOriginal) {
      if (auto e = OpenBase()) return Fail(ec, e, source);
      kind = Kind::kDelta;
      size = baseSize;
      precious = false;
    }
    prepared = false;
    PutExtent(offset, static_cast<const uint8_t*>(buf), n);
    if (extentBytes > kDeltaLimit) return WriteOut(where, ec);
    return true;
  }

  // Copies this content's bytes [offset, offset + n) to `dst` at `dstOffset`, inside the
  // kernel where the bytes are an unchanged part of a real file.
  bool CopyTo(int64_t offset, RandomRWFile& dst, int64_t dstOffset, size_t n, std::error_code& ec) {
    if (kind == Kind::kReal) {
      if (!file->CopyTo(offset, dst, dstOffset, n)) return Fail(ec, file->LastError(), where);
      return true;
    }
    if (auto e = OpenBase()) return Fail(ec, e, source);
    if (kind == Kind::kOriginal) {
      if (!base->CopyTo(offset, dst, dstOffset, n)) {
        const std::error_code why = base->LastError() ? base->LastError() : dst.LastError();
        return Fail(ec, why, source);
      }
      return true;
    }
    const int64_t end = offset + static_cast<int64_t>(n);
    if (end > size) return Fail(ec, std::make_error_code(std::errc::io_error), source);
    int64_t pos = offset;
    auto it = extents.upper_bound(pos);
    if (it != extents.begin()) --it;
    std::vector<uint8_t> zeros;
    while (pos < end) {
      while (it != extents.end() && it->first + static_cast<int64_t>(it->second.size()) <= pos)
        ++it;
      if (it != extents.end() && it->first <= pos) {
        const int64_t stop = std::min(end, it->first + static_cast<int64_t>(it->second.size()));
        if (!dst.Write(dstOffset + (pos - offset), it->second.data() + (pos - it->first),
                       static_cast<size_t>(stop - pos)))
          return Fail(ec, dst.LastError(), where);
        pos = stop;
        continue;
      }
      const int64_t gapEnd = std::min(end, it == extents.end() ? end : it->first);
      const int64_t fromBase = std::min(gapEnd, baseSize);
      if (pos < fromBase) {
        if (!base->CopyTo(pos, dst, dstOffset + (pos - offset),
                          static_cast<size_t>(fromBase - pos)))
          return Fail(ec, base->LastError() ? base->LastError() : dst.LastError(), source);
        pos = fromBase;
      }
      while (pos < gapEnd) {  // past the original's end: zeros
        const auto step = static_cast<size_t>(std::min<int64_t>(gapEnd - pos, kChunk));
        zeros.assign(step, 0);
        if (!dst.Write(dstOffset + (pos - offset), zeros.data(), step))
          return Fail(ec, dst.LastError(), where);
        pos += static_cast<int64_t>(step);
      }
    }
    return true;
  }

  bool Flush(std::error_code& ec) {
    if (kind == Kind::kReal && !file->Flush()) return Fail(ec, file->LastError(), where);
    return true;
  }

  RandomRWFile* CopyTarget(int64_t offset, size_t n) {
    if (kind != Kind::kReal) return nullptr;
    prepared = false;
    return file->CopyTarget(offset, n);
  }

  // Writes the content to a new staged file for `target` and from then on holds it there.
  bool WriteOut(const fs::path& target, std::error_code& ec);
};

namespace {

// A handle on a content of the view.
class ViewFile final : public RandomRWFile {
 public:
  ViewFile(std::shared_ptr<StagingEnv::Content> content, bool writable)
      : content_(std::move(content)), writable_(writable) {}

  int64_t Read(int64_t offset, void* buf, size_t n) override {
    return content_->Read(offset, buf, n, error_);
  }
  bool Write(int64_t offset, const void* buf, size_t n) override {
    if (!writable_) {
      error_ = std::make_error_code(std::errc::bad_file_descriptor);
      return false;
    }
    return content_->Write(offset, buf, n, error_);
  }
  int64_t Size() override { return content_->Size(error_); }
  // The job's files reach the disk when the job commits, and are flushed to it there; here
  // the bytes held back in memory go to the staged file, so that a write that fails shows now.
  bool Sync() override { return content_->Flush(error_); }
  bool Close() override { return true; }
  std::error_code LastError() const override { return error_; }
  bool CopyTo(int64_t offset, RandomRWFile& dst, int64_t dstOffset, size_t n) override {
    return content_->CopyTo(offset, dst, dstOffset, n, error_);
  }
  void StartWriteback(int64_t offset, size_t n) override {
    if (content_->kind == StagingEnv::Content::Kind::kReal)
      content_->file->StartWriteback(offset, n);
  }
  RandomRWFile* CopyTarget(int64_t offset, size_t n) override {
    if (!writable_) return this;
    RandomRWFile* target = content_->CopyTarget(offset, n);
    return target != nullptr ? target : this;
  }

 private:
  std::shared_ptr<StagingEnv::Content> content_;
  bool writable_;
  std::error_code error_;
};

}  // namespace

bool StagingEnv::Content::WriteOut(const fs::path& target, std::error_code& ec) {
  auto out = env->NewStagedContent(target, ec);
  if (!out) return false;
  std::error_code sizeError;
  const int64_t bytes = Size(sizeError);
  if (bytes < 0) return Fail(ec, sizeError, where);
  ViewFile dst(out, true);
  for (int64_t pos = 0; pos < bytes;) {
    const auto step = static_cast<size_t>(std::min<int64_t>(bytes - pos, kChunk * 16));
    if (!CopyTo(pos, dst, pos, step, ec)) return false;
    pos += static_cast<int64_t>(step);
  }
  // This content now lives in the staged file; the other one's object goes.
  kind = Kind::kReal;
  real = out->real;
  file = std::move(out->file);
  owns = true;
  out->owns = false;
  out->real.clear();
  base.reset();
  std::string().swap(baseBytes);
  baseCached = false;
  extents.clear();
  extentBytes = 0;
  precious = false;
  prepared = false;
  return true;
}

// ---- Node: one path of the view ----

struct StagingEnv::Node {
  fs::path key;
  bool existedBefore = false;        // a file stood there when the job first came to it
  FileInfo before;                   // what stood there
  std::shared_ptr<Content> content;  // null: no file there in the view
  bool changed = false;              // written, created, removed or renamed by the job
  bool movedAway = false;            // its file went elsewhere in the view as it is (MoveFile)
  bool noBackup = false;
};

StagingEnv::StagingEnv(Env* base, Options options) : base_(base), options_(std::move(options)) {
  options_.zoneDir = Key(options_.zoneDir / "x").parent_path();
}

StagingEnv::~StagingEnv() {
  // Contents first (they remove their staged files), then everything else.
  nodes_.clear();
  backupCopies_.clear();
  listContent_.reset();
}

void StagingEnv::RecordError(const fs::path& path, std::error_code ec) {
  // Also called from a thread that writes a staged file for the job (the merge's writer).
  std::lock_guard lock(errorMutex_);
  if (!firstError_) firstError_.emplace(path, ec.message());
}

fs::path StagingEnv::Key(const fs::path& path) const {
  std::error_code ec;
  fs::path abs = path.is_absolute() ? path : fs::absolute(path, ec);
  if (ec) abs = path;
  abs = abs.lexically_normal();
  if (!abs.has_filename() && abs.has_relative_path()) abs = abs.parent_path();
  const fs::path name = abs.filename();
  if (name.empty()) return abs;
  fs::path parent = fs::weakly_canonical(abs.parent_path(), ec);
  if (ec) parent = abs.parent_path();
  return parent / name;
}

StagingEnv::Node* StagingEnv::FindNode(const fs::path& key) {
  const auto it = nodes_.find(key);
  return it == nodes_.end() ? nullptr : it->second.get();
}

StagingEnv::Node& StagingEnv::GetNode(const fs::path& key) {
  auto& slot = nodes_[key];
  if (slot) return *slot;
  slot = std::make_unique<Node>();
  Node& node = *slot;
  node.key = key;
  FileInfo info;
  if (IsLeftoverName(key.filename()) || base_->Lstat(key, info)) return node;
  if (info.type == Type::kFile || (info.type == Type::kLink && base_->IsRegularFile(key))) {
    node.existedBefore = true;
    node.before = info;
    auto content = std::make_shared<Content>(this, Content::Kind::kOriginal);
    content->where = key;
    content->source = key;
    node.content = std::move(content);
  } else if (info.type == Type::kLink) {
    // A link that leads nowhere (or to a folder) counts as a file to replace or remove.
    node.existedBefore = true;
    node.before = info;
  }
  return node;
}

Type StagingEnv::ViewType(const fs::path& key) {
  if (const Node* node = FindNode(key)) {
    if (node->content) return Type::kFile;
    if (node->changed) return Type::kNone;
  }
  if (createdDirs_.count(key) != 0) return Type::kDir;
  if (removedDirs_.count(key) != 0) return Type::kNone;
  if (IsLeftoverName(key.filename())) return Type::kNone;
  for (fs::path up = key.parent_path(); !up.empty() && up != up.parent_path();
       up = up.parent_path()) {
    if (createdDirs_.count(up) != 0) return Type::kNone;  // inside a folder the job creates
    if (removedDirs_.count(up) != 0) return Type::kNone;
  }
  FileInfo info;
  if (base_->Lstat(key, info)) return Type::kNone;
  return info.type;
}

Type StagingEnv::ViewTypeFollowing(const fs::path& key) {
  const Type t = ViewType(key);
  if (t != Type::kLink) return t;
  if (const Node* node = FindNode(key); node != nullptr && node->content) return Type::kFile;
  if (base_->IsRegularFile(key)) return Type::kFile;
  if (base_->IsDirectory(key)) return Type::kDir;
  return Type::kNone;
}

std::error_code StagingEnv::EnsureContent(Node& node) {
  if (!node.content) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (node.content->kind == Content::Kind::kOriginal) return node.content->OpenBase();
  return {};
}

fs::path StagingEnv::Placement(const fs::path& target) {
  fs::path dir = FolderOf(target);
  while (!(createdDirs_.count(dir) == 0 && base_->IsDirectory(dir)) && dir != dir.parent_path())
    dir = dir.parent_path();
  return dir;
}

fs::path StagingEnv::StagedName(const fs::path& dir, const fs::path& name, std::error_code& ec) {
  if (checkedDirs_.insert(dir).second) {
    // A switch of an earlier run that is still pending here must be completed first (a job
    // does that at its start); staging beside it could mix the two.
    for (const char* own : {kJournalName, kPointerName}) {
      FileInfo info;
      if (!base_->Lstat(dir / own, info)) {
        ec = std::make_error_code(std::errc::device_or_resource_busy);
        RecordError(dir / own, ec);
        throw FileError(dir / own, "an unfinished switch of an earlier job is pending here");
      }
    }
  }
  for (int n = 1;; ++n) {
    fs::path candidate = dir / name;
    candidate += ".zkqnew";
    if (n > 1) candidate += std::to_string(n);
    if (usedNames_.count(candidate) != 0) continue;
    FileInfo info;
    const std::error_code statError = base_->Lstat(candidate, info);
    if (statError || info.type == Type::kNone) {
      usedNames_.insert(candidate);
      return candidate;
    }
    if (info.type != Type::kFile) {
      // Something planted at a staged file's name is never written through or removed.
      ec = std::make_error_code(std::errc::file_exists);
      RecordError(candidate, ec);
      return {};
    }
    // A regular file left by an earlier run: it is not ours to take; use the next name.
  }
}

std::shared_ptr<StagingEnv::Content> StagingEnv::NewStagedContent(const fs::path& target,
                                                                  std::error_code& ec) {
  const fs::path dir = Placement(target);
  const fs::path name = StagedName(dir, target.filename(), ec);
  if (name.empty()) return nullptr;
  auto file = base_->Open(name, OpenMode::kCreateExclusive, ec);
  if (!file) {
    RecordError(name, ec);
    return nullptr;
  }
  auto content = std::make_shared<Content>(this, Content::Kind::kReal);
  content->where = target;
  content->real = name;
  content->owns = true;
  content->file = std::make_unique<BufferedFile>(std::move(file));
  return content;
}

// ---- The view ----

std::unique_ptr<RandomRWFile> StagingEnv::Open(const fs::path& path, OpenMode mode,
                                               std::error_code& ec) {
  const fs::path key = Key(path);
  if (mode == OpenMode::kCreateTruncate || mode == OpenMode::kCreateExclusive) {
    const Type parent = ViewTypeFollowing(key.parent_path());
    if (parent != Type::kDir) {
      ec = std::make_error_code(parent == Type::kNone ? std::errc::no_such_file_or_directory
                                                      : std::errc::not_a_directory);
      return nullptr;
    }
    const Type here = ViewType(key);
    if (here == Type::kDir) {
      ec = std::make_error_code(std::errc::is_a_directory);
      return nullptr;
    }
    if (mode == OpenMode::kCreateExclusive && here != Type::kNone) {
      ec = std::make_error_code(std::errc::file_exists);
      return nullptr;
    }
    auto content = NewStagedContent(key, ec);
    if (!content) return nullptr;
    Node& node = GetNode(key);
    node.content = content;
    node.changed = true;
    ec.clear();
    return std::make_unique<ViewFile>(std::move(content), true);
  }
  const Type here = ViewTypeFollowing(key);
  if (here != Type::kFile) {
    ec = std::make_error_code(here == Type::kDir ? std::errc::is_a_directory
                                                 : std::errc::no_such_file_or_directory);
    return nullptr;
  }
  Node& node = GetNode(key);
  if ((ec = EnsureContent(node))) return nullptr;
  return std::make_unique<ViewFile>(node.content, mode == OpenMode::kReadWriteShared);
}

bool StagingEnv::Exists(const fs::path& path) {
  return ViewType(Key(path)) != Type::kNone;
}

bool StagingEnv::IsRegularFile(const fs::path& path) {
  return ViewTypeFollowing(Key(path)) == Type::kFile;
}

bool StagingEnv::IsDirectory(const fs::path& path) {
  return ViewTypeFollowing(Key(path)) == Type::kDir;
}

std::error_code StagingEnv::Lstat(const fs::path& path, FileInfo& info) {
  info = FileInfo{};
  const fs::path key = Key(path);
  const Type t = ViewType(key);
  if (t == Type::kNone) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (const Node* node = FindNode(key); node != nullptr && node->content) {
    info = node->before;
    info.type = Type::kFile;
    if (!node->existedBefore) info.mode = 0644;
    std::error_code ec;
    info.size = node->content->Size(ec);
    return ec;
  }
  if (t == Type::kDir && createdDirs_.count(key) != 0) {
    info.type = Type::kDir;
    info.mode = 0755;
    return {};
  }
  return base_->Lstat(key, info);
}

std::error_code StagingEnv::RemoveFile(const fs::path& path) {
  const fs::path key = Key(path);
  const Type t = ViewType(key);
  if (t == Type::kNone) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (t == Type::kDir) return std::make_error_code(std::errc::is_a_directory);
  Node& node = GetNode(key);
  node.content.reset();
  node.changed = true;
  return {};
}

std::error_code StagingEnv::Rename(const fs::path& from, const fs::path& to) {
  const fs::path kf = Key(from), kt = Key(to);
  const Type tf = ViewType(kf);
  if (tf == Type::kNone) return std::make_error_code(std::errc::no_such_file_or_directory);
  if (tf == Type::kDir) return std::make_error_code(std::errc::operation_not_supported);
  if (kf == kt) return {};
  if (ViewTypeFollowing(kt.parent_path()) != Type::kDir)
    return std::make_error_code(std::errc::no_such_file_or_directory);
  if (ViewType(kt) == Type::kDir) return std::make_error_code(std::errc::is_a_directory);
  Node& nf = GetNode(kf);
  if (auto ec = EnsureContent(nf)) return ec;
  std::shared_ptr<Content> content = nf.content;
  if (content->kind == Content::Kind::kReal && Placement(kt) != FolderOf(content->real)) {
    // The staged file must lie where its new name is, so that the switch can rename it there.
    std::error_code ec;
    const fs::path name = StagedName(Placement(kt), kt.filename(), ec);
    if (name.empty()) return ec;
    ec = base_->Rename(content->real, name);
    if (!ec) {
      content->real = name;
    } else if (ec == std::errc::cross_device_link) {
      if (!content->WriteOut(kt, ec)) return ec;
    } else {
      RecordError(content->real, ec);
      return ec;
    }
  }
  content->where = kt;
  Node& nt = GetNode(kt);
  nt.content = std::move(content);
  nt.changed = true;
  GetNode(kf).content.reset();
  GetNode(kf).changed = true;
  return {};
}

std::error_code StagingEnv::Link(const fs::path&, const fs::path&) {
  return std::make_error_code(std::errc::operation_not_supported);
}

std::error_code StagingEnv::SyncDir(const fs::path&) {
  return {};
}

std::error_code StagingEnv::ListDir(const fs::path& dir, std::vector<DirEntry>& entries) {
  entries.clear();
  const fs::path key = Key(dir / "x").parent_path();
  const Type t = ViewTypeFollowing(key);
  if (t != Type::kDir)
    return std::make_error_code(t == Type::kNone ? std::errc::no_such_file_or_directory
                                                 : std::errc::not_a_directory);
  std::set<fs::path> names;
  if (createdDirs_.count(key) == 0) {
    std::vector<DirEntry> real;
    if (auto ec = base_->ListDir(key, real)) return ec;
    for (DirEntry& e : real) {
      if (IsInternalName(e.name)) continue;
      const fs::path child = key / e.name;
      if (const Node* node = FindNode(child)) {
        if (!node->content) continue;
        e.type = Type::kFile;
      }
      if (removedDirs_.count(child) != 0) continue;
      names.insert(e.name);
      entries.push_back(std::move(e));
    }
  }
  for (const auto& [path, node] : nodes_) {
    if (!node->content || path.parent_path() != key || names.count(path.filename()) != 0 ||
        IsInternalName(path.filename()))
      continue;
    names.insert(path.filename());
    entries.push_back({path.filename(), Type::kFile});
  }
  for (const fs::path& d : createdDirs_) {
    if (d.parent_path() != key || names.count(d.filename()) != 0) continue;
    names.insert(d.filename());
    entries.push_back({d.filename(), Type::kDir});
  }
  return {};
}

std::error_code StagingEnv::CreateDir(const fs::path& dir) {
  const fs::path key = Key(dir);
  if (ViewTypeFollowing(key.parent_path()) != Type::kDir)
    return std::make_error_code(std::errc::no_such_file_or_directory);
  if (ViewType(key) != Type::kNone) return std::make_error_code(std::errc::file_exists);
  if (removedDirs_.erase(key) == 0) createdDirs_.insert(key);
  return {};
}

std::error_code StagingEnv::RemoveDir(const fs::path& dir) {
  const fs::path key = Key(dir);
  if (ViewTypeFollowing(key) != Type::kDir) return std::make_error_code(std::errc::not_a_directory);
  std::vector<DirEntry> entries;
  if (auto ec = ListDir(key, entries)) return ec;
  if (!entries.empty()) return std::make_error_code(std::errc::directory_not_empty);
  if (createdDirs_.erase(key) == 0) removedDirs_.insert(key);
  return {};
}

std::error_code StagingEnv::CopyFile(const fs::path& from, const fs::path& to) {
  const fs::path kf = Key(from), kt = Key(to);
  if (ViewTypeFollowing(kf) != Type::kFile)
    return std::make_error_code(std::errc::no_such_file_or_directory);
  if (ViewTypeFollowing(kt.parent_path()) != Type::kDir)
    return std::make_error_code(std::errc::no_such_file_or_directory);
  if (ViewType(kt) != Type::kNone) return std::make_error_code(std::errc::file_exists);
  Node& nf = GetNode(kf);
  if (auto ec = EnsureContent(nf)) return ec;
  std::error_code ec;
  auto out = NewStagedContent(kt, ec);
  if (!out) return ec;
  const int64_t size = nf.content->Size(ec);
  if (size < 0) return ec;
  ViewFile dst(out, true);
  if (size > 0 && !nf.content->CopyTo(0, dst, 0, static_cast<size_t>(size), ec)) return ec;
  Node& nt = GetNode(kt);
  nt.content = std::move(out);
  nt.changed = true;
  return {};
}

std::error_code StagingEnv::CloneFile(const fs::path& from, const fs::path& to) {
  return CopyFile(from, to);
}

std::unique_ptr<DirLock> StagingEnv::LockDir(const fs::path& dir, std::error_code& ec) {
  return base_->LockDir(dir, ec);
}

// ---- Wishes ----

void StagingEnv::WishBackups(const std::vector<BackupWish>& wishes) {
  const size_t group = wishGroups_++;
  for (const BackupWish& w : wishes)
    wishes_.try_emplace(Key(w.file), Wish{w.stem, w.suffix, group});
}

std::error_code StagingEnv::MoveFile(const fs::path& from, const fs::path& to) {
  const fs::path kf = Key(from), kt = Key(to);
  // Only a file of the zone that the job has not touched moves as it is.
  if (const Node* nf = FindNode(kf); nf != nullptr && (Touched(*nf) || !nf->content))
    return std::make_error_code(std::errc::no_such_file_or_directory);
  if (IsLeftoverName(kf.filename()))
    return std::make_error_code(std::errc::no_such_file_or_directory);
  FileInfo info;
  if (base_->Lstat(kf, info) || info.type != Type::kFile)
    return std::make_error_code(std::errc::no_such_file_or_directory);
  if (ViewTypeFollowing(kt.parent_path()) != Type::kDir)
    return std::make_error_code(std::errc::no_such_file_or_directory);
  if (ViewType(kt) == Type::kDir) return std::make_error_code(std::errc::is_a_directory);
  auto content = std::make_shared<Content>(this, Content::Kind::kOriginal);
  content->where = kt;
  content->source = kf;
  content->precious = true;
  if (auto ec = content->OpenBase()) return ec;
  Node& source = GetNode(kf);
  source.content.reset();
  source.changed = true;
  source.movedAway = true;
  Node& nt = GetNode(kt);
  nt.content = std::move(content);
  nt.changed = true;
  return {};
}

void StagingEnv::WithoutBackup(const fs::path& path) {
  GetNode(Key(path)).noBackup = true;
}

void StagingEnv::OnCommitted(std::function<void()> fn) {
  onCommitted_.push_back(std::move(fn));
}

// ---- Commit ----

bool StagingEnv::Touched(const Node& node) {
  // Writes through a handle change the content, not the node.
  return node.changed || (node.content && node.content->kind != Content::Kind::kOriginal);
}

bool StagingEnv::Unchanged(Node& node) {
  Content& c = *node.content;
  if (c.kind == Content::Kind::kOriginal) return !c.precious && c.source == node.key;
  if (c.kind == Content::Kind::kDelta) {
    if (c.source != node.key || c.size != c.baseSize) return false;
    std::string bytes;
    for (const auto& [offset, data] : c.extents) {
      bytes.resize(data.size());
      if (c.base->Read(offset, bytes.data(), bytes.size()) != static_cast<int64_t>(bytes.size()))
        return false;
      if (bytes != data) return false;
    }
    return true;
  }
  if (!node.existedBefore || node.before.type != Type::kFile) return false;
  const int64_t size = c.file->Size();
  if (size != node.before.size || size > kCompareLimit) return false;
  std::error_code ec;
  auto original = base_->Open(node.key, OpenMode::kReadShared, ec);
  if (!original) return false;
  std::vector<uint8_t> a(kChunk), b(kChunk);
  for (int64_t pos = 0; pos < size;) {
    const auto step = static_cast<size_t>(std::min<int64_t>(size - pos, kChunk));
    if (original->Read(pos, a.data(), step) != static_cast<int64_t>(step) ||
        c.file->Read(pos, b.data(), step) != static_cast<int64_t>(step) ||
        std::memcmp(a.data(), b.data(), step) != 0)
      return false;
    pos += static_cast<int64_t>(step);
  }
  return true;
}

void StagingEnv::Materialize(Node& node) {
  Content& c = *node.content;
  if (c.prepared && c.preparedFor == node.key) return;
  std::error_code ec;
  if (c.kind == Content::Kind::kOriginal && c.precious) {
    c.prepared = true;
    c.preparedFor = node.key;
    return;
  }
  if (c.kind != Content::Kind::kReal && !c.WriteOut(node.key, ec)) throw *firstError_;
  // What the file's users see of it: the original's permission bits and owner; a new file gets
  // its folder's owner and group, so that the game server can write it like its own.
  uint32_t mode = 0644, uid = 0, gid = 0;
  bool setMeta = false;
  if (node.existedBefore && node.before.type == Type::kFile) {
    mode = node.before.mode;
    uid = node.before.uid;
    gid = node.before.gid;
    setMeta = true;
  } else {
    FileInfo dir;
    if (!base_->Lstat(FolderOf(c.real), dir) && dir.type == Type::kDir) {
      mode = dir.mode & 0666;
      uid = dir.uid;
      gid = dir.gid;
      setMeta = true;
    }
  }
  if (setMeta) {
    if ((ec = c.file->SetOwnerAndMode(mode, uid, gid))) {
      RecordError(c.real, ec);
      throw *firstError_;
    }
  }
  if (!c.file->Sync()) {
    RecordError(c.real, c.file->LastError());
    throw *firstError_;
  }
  c.prepared = true;
  c.preparedFor = node.key;
}

fs::path StagingEnv::FreeBackupName(const fs::path& dir, const std::string& stem,
                                    const std::string& suffix) {
  for (int n = 1;; ++n) {
    std::string name = stem;
    if (n > 1) name += "-" + std::to_string(n);
    name += suffix;
    const fs::path p = dir / name;
    bool taken = usedNames_.count(p) != 0;
    FileInfo info;
    if (!taken && !base_->Lstat(p, info) && info.type != Type::kNone) {
      if (info.type != Type::kFile) {
        // A link or folder at a backup name is never written through or replaced.
        RecordError(p, std::make_error_code(std::errc::file_exists));
        throw FileError(p, "something other than an earlier backup stands at a backup's name");
      }
      taken = true;  // an earlier backup: never replaced
    }
    if (!taken) return p;
  }
}

// The name the original of `key` is kept under: the wished one, the restore point's, or a
// temporary one for a switch that keeps no restore point.
fs::path StagingEnv::BackupName(const fs::path& key, bool noBackup) {
  if (auto it = backupNames_.find(key); it != backupNames_.end()) return it->second;
  const fs::path dir = FolderOf(key);
  fs::path name;
  if (auto w = wishes_.find(key); w != wishes_.end()) {
    auto g = groupNumbers_.find(w->second.group);
    if (g == groupNumbers_.end()) {
      // One number for the whole group: the first at which every file of it is free.
      for (int n = 1;; ++n) {
        bool free = true;
        for (const auto& [file, wish] : wishes_) {
          if (wish.group != w->second.group) continue;
          std::string candidate = wish.stem;
          if (n > 1) candidate += "-" + std::to_string(n);
          candidate += wish.suffix;
          const fs::path p = FolderOf(file) / candidate;
          FileInfo info;
          if (usedNames_.count(p) != 0 || (!base_->Lstat(p, info) && info.type != Type::kNone)) {
            if (info.type != Type::kFile && info.type != Type::kNone) {
              RecordError(p, std::make_error_code(std::errc::file_exists));
              throw FileError(p,
                              "something other than an earlier backup stands at a backup's name");
            }
            free = false;
          }
        }
        if (free) {
          g = groupNumbers_.emplace(w->second.group, n).first;
          break;
        }
      }
    }
    std::string candidate = w->second.stem;
    if (g->second > 1) candidate += "-" + std::to_string(g->second);
    candidate += w->second.suffix;
    name = dir / candidate;
  } else if (options_.keepRestorePoint && !noBackup) {
    name = FreeBackupName(dir, key.filename().string() + "." + Stamp(), ".zkqbak");
  } else {
    name = FreeBackupName(dir, key.filename().string(), ".zkqold");
  }
  usedNames_.insert(name);
  backupNames_.emplace(key, name);
  return name;
}

std::shared_ptr<StagingEnv::Content> StagingEnv::MakeBackupCopy(const fs::path& file,
                                                                bool inBackground) {
  const fs::path name = BackupName(file, false);
  std::error_code ec;
  const fs::path staged = StagedName(FolderOf(name), name.filename(), ec);
  if (staged.empty()) throw *firstError_;
  auto copy = std::make_shared<Content>(this, Content::Kind::kReal);
  copy->where = name;
  copy->real = staged;
  copy->owns = true;
  // The copy (a clone where the file system has them) with the original's permission bits and
  // owner, as for a replaced file; the disk starts on it at once, and Prepare flushes it.
  Env* base = base_;
  Content* target = copy.get();
  copy->copying = std::async(inBackground ? std::launch::async : std::launch::deferred,
                             [base, file, staged, target]() -> std::error_code {
                               if (auto e = base->CloneFile(file, staged)) return e;
                               std::error_code e;
                               auto handle = base->Open(staged, OpenMode::kReadWriteShared, e);
                               if (!handle) return e;
                               FileInfo info;
                               if (!base->Lstat(file, info) && info.type == Type::kFile &&
                                   (e = handle->SetOwnerAndMode(info.mode, info.uid, info.gid)))
                                 return e;
                               handle->StartWriteback(
                                   0, static_cast<size_t>(std::max<int64_t>(0, handle->Size())));
                               target->file = std::make_unique<BufferedFile>(std::move(handle));
                               return {};
                             });
  if (!inBackground) FinishCopy(*copy);
  return copy;
}

void StagingEnv::FinishCopy(Content& copy) {
  if (!copy.copying.valid()) return;
  if (const std::error_code ec = copy.copying.get()) {
    RecordError(copy.real, ec);
    throw *firstError_;
  }
}

void StagingEnv::CopyBackupsNow(const std::vector<fs::path>& files) {
  if (firstError_) throw *firstError_;
  for (const fs::path& given : files) {
    const fs::path file = Key(given);
    if (wishes_.count(file) == 0 || backupCopies_.count(file) != 0) continue;
    if (const Node* node = FindNode(file); node != nullptr && Touched(*node)) continue;
    if (!base_->IsRegularFile(file)) continue;
    backupCopies_.emplace(file, MakeBackupCopy(file, true));
  }
}

const std::string& StagingEnv::Stamp() {
  if (stamp_.empty()) {
    const TDateTime now = base_->Now();
    const CivilDateTime t = DecodeDateTime(now);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d-%02d%02d%02d", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    stamp_ = buf;
    time_ = FormatShortDate(now) + " " + FormatLongTime(now);
  }
  return stamp_;
}

const StagingEnv::Prepared& StagingEnv::Prepare() {
  if (firstError_) throw *firstError_;
  Prepared result;
  const bool keep = options_.keepRestorePoint;

  // The files moved in the view that the switch renames to their new names as they are. A
  // moved file whose new name the job went on to change is deleted from its old name instead.
  movedTaken_.clear();
  for (const auto& [key, np] : nodes_) {
    const Content* c = np->content.get();
    if (c != nullptr && c->kind == Content::Kind::kOriginal && c->precious)
      movedTaken_.insert(c->source);
  }

  std::set<fs::path> syncDirs;
  std::set<fs::path> replaced;  // the files whose originals become backups
  for (auto& [key, np] : nodes_) {
    Node& node = *np;
    if (!Touched(node)) continue;
    if (!node.content) {
      if (!node.existedBefore || movedTaken_.count(key) != 0) continue;
      replaced.insert(key);
      const fs::path b = BackupName(node.key, node.noBackup);
      result.changes = true;
      if (keep && !node.noBackup) result.entries.push_back({RestoreEntry::Kind::kDeleted, key, b});
      continue;
    }
    if (node.existedBefore && Unchanged(node)) continue;
    Materialize(node);
    result.changes = true;
    const Content& c = *node.content;
    syncDirs.insert(FolderOf(c.kind == Content::Kind::kReal ? c.real : c.source));
    if (node.existedBefore) {
      replaced.insert(key);
      const fs::path b = BackupName(node.key, node.noBackup);
      if (keep && !node.noBackup) result.entries.push_back({RestoreEntry::Kind::kReplaced, key, b});
    } else if (keep && !node.noBackup) {
      result.entries.push_back({RestoreEntry::Kind::kCreated, key, {}});
    }
  }

  // The wished backups of files the job does not replace: a copy of what the file holds.
  for (const auto& [file, wish] : wishes_) {
    if (replaced.count(file) != 0) {
      backupCopies_.erase(file);  // made early, before the job came to change the file
      continue;
    }
    if (backupCopies_.count(file) == 0) {
      if (backupNames_.count(file) != 0) continue;
      const Node* node = FindNode(file);
      if (node != nullptr && Touched(*node) && !(node->existedBefore && node->content)) continue;
      if (node == nullptr && !base_->IsRegularFile(file)) continue;
      backupCopies_.emplace(file, MakeBackupCopy(file, false));
    }
    Content& copy = *backupCopies_.at(file);
    FinishCopy(copy);
    if (!copy.prepared) {
      if (!copy.file->Sync()) {
        RecordError(copy.real, copy.file->LastError());
        throw *firstError_;
      }
      copy.prepared = true;
      syncDirs.insert(FolderOf(copy.real));
    }
    result.changes = true;
    if (keep) result.entries.push_back({RestoreEntry::Kind::kCreated, copy.where, {}});
  }

  for (const fs::path& d : createdDirs_) {
    result.changes = true;
    if (keep) result.entries.push_back({RestoreEntry::Kind::kMkdir, d, {}});
  }
  for (const fs::path& d : removedDirs_) {
    result.changes = true;
    if (keep) result.entries.push_back({RestoreEntry::Kind::kRmdir, d, {}});
  }

  // The restore point's list, once there is anything to restore.
  if (keep && !result.entries.empty()) {
    if (listPath_.empty()) {
      for (int n = 1;; ++n) {
        const fs::path p = options_.zoneDir / RestorePointName(Stamp(), n);
        FileInfo info;
        if (usedNames_.count(p) == 0 && (base_->Lstat(p, info) || info.type == Type::kNone)) {
          listPath_ = p;
          usedNames_.insert(p);
          break;
        }
      }
    }
    RestorePoint point;
    Stamp();
    point.time = time_;
    point.job = options_.jobName;
    point.entries = result.entries;
    const std::string text = EncodeRestorePoint(point);
    bool same = false;
    if (listContent_) {
      std::string old(static_cast<size_t>(std::max<int64_t>(0, listContent_->file->Size())), '\0');
      same =
          old.size() == text.size() &&
          listContent_->file->Read(0, old.data(), old.size()) == static_cast<int64_t>(old.size()) &&
          old == text;
    }
    if (!same) {
      listContent_.reset();
      std::error_code ec;
      auto content = NewStagedContent(listPath_, ec);
      if (!content) throw *firstError_;
      if (!content->file->Write(0, text.data(), text.size()) || !content->file->Sync()) {
        RecordError(content->real, content->file->LastError());
        throw *firstError_;
      }
      listContent_ = std::move(content);
      syncDirs.insert(FolderOf(listContent_->real));
    }
    result.list = listPath_;
  }

  for (const fs::path& dir : syncDirs) {
    if (auto ec = base_->SyncDir(dir)) {
      RecordError(dir, ec);
      throw *firstError_;
    }
  }
  if (firstError_) throw *firstError_;
  prepared_ = std::move(result);
  return prepared_;
}

void StagingEnv::Commit(std::vector<std::string>& warnings) {
  Prepare();
  if (!prepared_.changes) {
    committed_ = true;
    for (auto& fn : onCommitted_) fn();
    return;
  }

  Journal j;
  {
    std::random_device rd;
    const uint64_t r = (static_cast<uint64_t>(rd()) << 32) ^ rd();
    char id[32];
    std::snprintf(id, sizeof id, "%016llx", static_cast<unsigned long long>(r));
    j.id = id;
  }
  j.path = options_.zoneDir / kJournalName;

  for (const fs::path& d : createdDirs_)
    j.steps.push_back({SwitchStep::Kind::kMkdir, d, {}, {}, true});
  for (auto& [key, np] : nodes_) {
    Node& node = *np;
    if (!Touched(node)) continue;
    // A wished backup stays whether or not the job keeps a restore point.
    const bool keepBackup =
        wishes_.count(key) != 0 || (options_.keepRestorePoint && !node.noBackup);
    if (!node.content) {
      if (!node.existedBefore || movedTaken_.count(key) != 0) continue;
      j.steps.push_back({SwitchStep::Kind::kDelete, key, {}, backupNames_.at(key), keepBackup});
      continue;
    }
    const Content& c = *node.content;
    if (!c.prepared || c.preparedFor != key) continue;  // unchanged
    const fs::path staged = c.kind == Content::Kind::kReal ? c.real : c.source;
    if (node.existedBefore) {
      j.steps.push_back(
          {SwitchStep::Kind::kReplace, key, staged, backupNames_.at(key), keepBackup});
    } else {
      j.steps.push_back({SwitchStep::Kind::kCreate, key, staged, {}, true});
    }
  }
  for (const auto& [file, copy] : backupCopies_)
    j.steps.push_back({SwitchStep::Kind::kCreate, copy->where, copy->real, {}, true});
  for (auto it = removedDirs_.rbegin(); it != removedDirs_.rend(); ++it)
    j.steps.push_back({SwitchStep::Kind::kRmdir, *it, {}, {}, true});
  if (listContent_)
    j.steps.push_back({SwitchStep::Kind::kCreate, listPath_, listContent_->real, {}, true});

  std::set<fs::path> dirs;
  for (const SwitchStep& s : j.steps) {
    for (const fs::path* p : {&s.target, &s.staged, &s.backup}) {
      if (p->empty()) continue;
      const fs::path dir = FolderOf(*p);
      if (createdDirs_.count(dir) == 0 && dir != options_.zoneDir) dirs.insert(dir);
    }
  }
  for (const fs::path& dir : dirs) j.pointers.push_back(dir / kPointerName);

  // The staged files the switch takes: from now on they are the zone's, not the job's.
  std::set<fs::path> switched;
  for (const SwitchStep& s : j.steps)
    if (!s.staged.empty()) switched.insert(s.staged);
  auto release = [&] {
    auto releaseOne = [&](Content* c) {
      if (c != nullptr && switched.count(c->real) != 0) c->owns = false;
    };
    for (auto& [key, np] : nodes_) releaseOne(np->content.get());
    for (auto& [file, copy] : backupCopies_) releaseOne(copy.get());
    releaseOne(listContent_.get());
  };
  try {
    RunSwitch(base_, j, warnings);
  } catch (...) {
    // When the journal stayed (the undo failed too), the next start completes the switch from
    // the staged files: they must stay where they are.
    FileInfo info;
    if (!base_->Lstat(j.path, info) && info.type == Type::kFile) release();
    throw;
  }
  committed_ = true;
  release();
  for (auto& fn : onCommitted_) fn();
}

StagingEnv* CurrentStaging() {
  return dynamic_cast<StagingEnv*>(CurrentEnv());
}

}  // namespace zkq::platform
