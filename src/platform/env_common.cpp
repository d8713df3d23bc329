// Env helpers that are the same on every system: they use only the Env interface.
#include <algorithm>
#include <atomic>
#include <vector>

#include "platform/env.h"

namespace zkq::platform {
namespace {
std::atomic<Env*> g_current{nullptr};
thread_local Env* t_current = nullptr;
}  // namespace

Env* CurrentEnv() {
  if (t_current != nullptr) return t_current;
  Env* env = g_current.load(std::memory_order_acquire);
  return env != nullptr ? env : DefaultEnv();
}

void SetCurrentEnv(Env* env) {
  g_current.store(env, std::memory_order_release);
}

void SetThreadEnv(Env* env) {
  t_current = env;
}

ScopedThreadEnv::ScopedThreadEnv(Env* env) : previous_(t_current) {
  t_current = env;
}

ScopedThreadEnv::~ScopedThreadEnv() {
  t_current = previous_;
}

fs::path SiblingTempPath(const fs::path& target) {
  fs::path temp = target;
  temp += ".zkq-tmp";
  return temp;
}

namespace {

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

// `s` ends with `tail` followed by nothing or by decimal digits.
bool EndsWithNumbered(std::string_view s, std::string_view tail) {
  size_t end = s.size();
  while (end > 0 && s[end - 1] >= '0' && s[end - 1] <= '9') --end;
  return EndsWith(s.substr(0, end), tail);
}

}  // namespace

bool IsInternalName(const fs::path& fileName) {
  const std::string& s = fileName.native();
  return EndsWithNumbered(s, ".zkqnew") || EndsWithNumbered(s, ".zkqold") ||
         EndsWith(s, ".zkqbak") || EndsWith(s, ".zkq-tmp") || EndsWith(s, ".zkq-upgrade") ||
         EndsWith(s, ".zkq-merge") || s == "zkqmerge.journal" || s == "zkqmerge.pointer" ||
         (s.rfind("zkqmerge-", 0) == 0 && EndsWith(s, ".restore"));
}

bool IsLeftoverName(const fs::path& fileName) {
  const std::string& s = fileName.native();
  return EndsWithNumbered(s, ".zkqnew") || EndsWithNumbered(s, ".zkqold") ||
         EndsWith(s, ".zkq-tmp") || EndsWith(s, ".zkq-upgrade") || EndsWith(s, ".zkq-merge");
}

bool RandomRWFile::CopyTo(int64_t offset, RandomRWFile& dst, int64_t dstOffset, size_t n) {
  std::vector<char> buf(std::min<size_t>(n, size_t{1} << 20));
  while (n > 0) {
    const size_t want = std::min(n, buf.size());
    if (Read(offset, buf.data(), want) != static_cast<int64_t>(want)) return false;
    if (!dst.Write(dstOffset, buf.data(), want)) return false;
    offset += static_cast<int64_t>(want);
    dstOffset += static_cast<int64_t>(want);
    n -= want;
  }
  return true;
}

std::error_code ReadWholeFile(const fs::path& path, std::string& out) {
  std::error_code ec;
  auto file = CurrentEnv()->Open(path, OpenMode::kReadShared, ec);
  if (!file) return ec;
  out.clear();
  std::vector<char> buf(1 << 16);
  int64_t offset = 0;
  for (;;) {
    const int64_t got = file->Read(offset, buf.data(), buf.size());
    if (got < 0) return file->LastError();
    if (got == 0) break;
    out.append(buf.data(), static_cast<size_t>(got));
    offset += got;
  }
  file->Close();
  return {};
}

std::unique_ptr<RandomRWFile> CreateTempFile(const fs::path& path, std::error_code& ec) {
  Env* env = CurrentEnv();
  auto file = env->Open(path, OpenMode::kCreateExclusive, ec);
  if (file || ec != std::errc::file_exists) return file;
  // A leftover of a run that was cut off: a regular file of this system's own temporary name.
  FileInfo info;
  if (env->Lstat(path, info) || info.type != FileInfo::Type::kFile) return nullptr;
  if ((ec = env->RemoveFile(path))) return nullptr;
  return env->Open(path, OpenMode::kCreateExclusive, ec);
}

std::error_code CopyFileFlushed(const fs::path& from, const fs::path& to) {
  Env* env = CurrentEnv();
  FileInfo info;
  if (!env->Lstat(to, info) && info.type == FileInfo::Type::kFile) {
    if (auto ec = env->RemoveFile(to)) return ec;
  }
  std::error_code ec = env->CopyFile(from, to);
  // Never remove what the copy did not create (a link planted at the name stays as it was).
  if (ec && ec != std::errc::file_exists) env->RemoveFile(to);
  return ec;
}

std::error_code Env::CopyFile(const fs::path& from, const fs::path& to) {
  Env* env = this;
  std::error_code ec;
  auto src = env->Open(from, OpenMode::kReadShared, ec);
  if (!src) return ec;
  auto dst = env->Open(to, OpenMode::kCreateExclusive, ec);
  if (!dst) return ec;
  std::vector<char> buf(1 << 20);
  int64_t offset = 0;
  auto fail = [&](std::error_code why) {
    dst->Close();
    env->RemoveFile(to);
    return why ? why : std::make_error_code(std::errc::io_error);
  };
  for (;;) {
    const int64_t got = src->Read(offset, buf.data(), buf.size());
    if (got < 0) return fail(src->LastError());
    if (got == 0) break;
    if (!dst->Write(offset, buf.data(), static_cast<size_t>(got))) return fail(dst->LastError());
    offset += got;
  }
  if (!dst->Sync()) return fail(dst->LastError());
  if (!dst->Close()) return fail(dst->LastError());
  return {};
}

namespace {
fs::path FolderOf(const fs::path& p) {
  fs::path dir = p.parent_path();
  return dir.empty() ? fs::path(".") : dir;
}
}  // namespace

std::error_code ReplaceWithTemp(const fs::path& temp, const fs::path& target) {
  Env* env = CurrentEnv();
  std::error_code ec = env->Rename(temp, target);
  if (!ec) return env->SyncDir(FolderOf(target));
  if (ec != std::errc::cross_device_link) {
    env->RemoveFile(temp);
    return ec;
  }
  const fs::path second = SiblingTempPath(target);
  ec = CopyFileFlushed(temp, second);
  if (!ec) ec = env->Rename(second, target);
  if (ec) {
    env->RemoveFile(second);
    env->RemoveFile(temp);
    return ec;
  }
  env->RemoveFile(temp);
  return env->SyncDir(FolderOf(target));
}

std::error_code WriteFileReplacing(const fs::path& path, std::string_view bytes) {
  Env* env = CurrentEnv();
  const fs::path temp = SiblingTempPath(path);
  std::error_code ec;
  auto file = CreateTempFile(temp, ec);
  if (!file) return ec;
  if (!file->Write(0, bytes.data(), bytes.size()) || !file->Sync() || !file->Close()) {
    ec = file->LastError();
    file->Close();
    env->RemoveFile(temp);
    return ec ? ec : std::make_error_code(std::errc::io_error);
  }
  file.reset();
  ec = env->Rename(temp, path);
  if (ec) {
    env->RemoveFile(temp);
    return ec;
  }
  return env->SyncDir(FolderOf(path));
}

}  // namespace zkq::platform
