// The operating-system services the rest of the system uses, and nothing else.
//
// Everything above this layer reaches files, folders, the clock and pauses through
// `CurrentEnv()`, so a test can put an `EnvWrapper` in front of the real environment and fail one
// chosen operation (a rename, the third write, a copy) while the rest behaves as usual, and a job
// can put its staging environment in front of it so that nothing it writes reaches the zone until
// the job switches its files in (platform/staging.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "common/bytes.h"

namespace zkq::platform {

namespace fs = std::filesystem;

// What stands at a path, as the system reports it.
struct FileInfo {
  enum class Type { kNone, kFile, kDir, kLink, kOther };
  Type type = Type::kNone;
  int64_t size = 0;
  uint32_t mode = 0;  // permission bits (07777)
  uint32_t uid = 0, gid = 0;
  uint64_t dev = 0, ino = 0, nlink = 0;
};

// One entry of a folder listing ("." and ".." are never listed).
struct DirEntry {
  fs::path name;                                 // one path component
  FileInfo::Type type = FileInfo::Type::kOther;  // as the entry itself is (a link is kLink)
};

// An open file with positioned reads and writes. Not thread-safe; one owner at a time.
class RandomRWFile {
 public:
  virtual ~RandomRWFile() = default;
  // Reads up to n bytes at offset; returns the number read (fewer only at the end of the file)
  // or -1 on an error or a negative offset.
  virtual int64_t Read(int64_t offset, void* buf, size_t n) = 0;
  // Writes all n bytes at offset; false on an error (a full disk included).
  virtual bool Write(int64_t offset, const void* buf, size_t n) = 0;
  // Length in bytes, or -1 on an error.
  virtual int64_t Size() = 0;
  // Flushes the content to the disk; false on an error.
  virtual bool Sync() = 0;
  // Closes the handle (later calls do nothing); false when closing reported an error.
  virtual bool Close() = 0;
  // The reason of the last failed call.
  virtual std::error_code LastError() const = 0;
  // Copies n bytes at `offset` of this file to `dstOffset` of `dst`; false when fewer than n
  // bytes could be read or any write failed. This default reads and writes in pieces; a system
  // may copy inside the kernel (see CopyTarget).
  virtual bool CopyTo(int64_t offset, RandomRWFile& dst, int64_t dstOffset, size_t n);
  // The file a copy into [offset, offset + n) of this file may write to directly: this file
  // itself, or for a file that buffers writes, the file below it once the buffered bytes of
  // that range are out of the way. The range then counts as written.
  virtual RandomRWFile* CopyTarget(int64_t /*offset*/, size_t /*n*/) { return this; }
  // Asks the system to start writing [offset, offset + n) to the disk now, without waiting for
  // it, so that the disk works while the program goes on; a hint that may do nothing.
  virtual void StartWriteback(int64_t /*offset*/, size_t /*n*/) {}
  // Gives the file these permission bits and, where the system allows it, this owner and group.
  virtual std::error_code SetOwnerAndMode(uint32_t /*mode*/, uint32_t /*uid*/, uint32_t /*gid*/) {
    return {};
  }
};

enum class OpenMode {
  kReadWriteShared,  // an existing file, for reading and writing; other handles may do the same
  kReadShared,       // an existing file, for reading
  kCreateTruncate,   // created or emptied, for reading and writing, not shared
  kCreateExclusive,  // created new, for reading and writing; fails when anything stands at the
                     // path, a link included (never written through)
};

// Held while a job works in a folder, so that a second program's job cannot work there at the
// same time (and take the first one's files for leftovers). Released when destroyed.
class DirLock {
 public:
  virtual ~DirLock() = default;
};

class Env {
 public:
  virtual ~Env() = default;

  // Opens a file; null with `ec` set on failure.
  virtual std::unique_ptr<RandomRWFile> Open(const fs::path& path, OpenMode mode,
                                             std::error_code& ec) = 0;
  // True when anything exists at the path (a link counts, wherever it points).
  virtual bool Exists(const fs::path& path) = 0;
  // True for a regular file or a link to one.
  virtual bool IsRegularFile(const fs::path& path) = 0;
  // True for a folder or a link to one.
  virtual bool IsDirectory(const fs::path& path) = 0;
  // What stands at the path itself (a link is reported as a link); kNone with an error when
  // nothing does.
  virtual std::error_code Lstat(const fs::path& path, FileInfo& info) = 0;
  virtual std::error_code RemoveFile(const fs::path& path) = 0;
  // Renames `from` to `to`, replacing `to` when it exists. Fails with
  // std::errc::cross_device_link when the two lie on different volumes.
  virtual std::error_code Rename(const fs::path& from, const fs::path& to) = 0;
  // Gives the file at `existing` the second name `newPath` (a hard link; a link at `existing` is
  // not followed). Fails when `newPath` exists, and where the file system has no such links.
  virtual std::error_code Link(const fs::path& existing, const fs::path& newPath) = 0;
  // Makes renames inside the folder durable (a no-op where the system does not need it).
  virtual std::error_code SyncDir(const fs::path& dir) = 0;
  // The entries of a folder.
  virtual std::error_code ListDir(const fs::path& dir, std::vector<DirEntry>& entries) = 0;
  // Creates one folder; fails with file_exists when something stands there.
  virtual std::error_code CreateDir(const fs::path& dir) = 0;
  // Removes an empty folder.
  virtual std::error_code RemoveDir(const fs::path& dir) = 0;
  // Copies `from` to `to`, which is created new (exclusively, never through a link), and
  // flushes `to`. This default reads and writes through Open(); a system may copy inside the
  // kernel.
  virtual std::error_code CopyFile(const fs::path& from, const fs::path& to);
  // As CopyFile, but where the file system can share the bytes until either file changes (a
  // copy-on-write clone) it does so instead of copying them, and `to` is not flushed: the
  // caller flushes it when it needs it on the disk.
  virtual std::error_code CloneFile(const fs::path& from, const fs::path& to) {
    return CopyFile(from, to);
  }
  // Locks a folder against other programs' jobs; null with `ec` set (operation_would_block when
  // another holds it).
  virtual std::unique_ptr<DirLock> LockDir(const fs::path& dir, std::error_code& ec) = 0;
  // The current local date-time.
  virtual TDateTime Now() = 0;
  // The pause the file classes make before a rename.
  virtual void SleepMs(int ms) = 0;
  // True for a job's staging environment: files written here reach the disk only when the job
  // switches them in, so a file may be given new content while its old content is still read.
  virtual bool Staging() const { return false; }
};

// Forwards every call to another Env; tests override the calls they want to fail.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env* target) : target_(target) {}
  Env* target() const { return target_; }

  std::unique_ptr<RandomRWFile> Open(const fs::path& path, OpenMode mode,
                                     std::error_code& ec) override {
    return target_->Open(path, mode, ec);
  }
  bool Exists(const fs::path& path) override { return target_->Exists(path); }
  bool IsRegularFile(const fs::path& path) override { return target_->IsRegularFile(path); }
  bool IsDirectory(const fs::path& path) override { return target_->IsDirectory(path); }
  std::error_code Lstat(const fs::path& path, FileInfo& info) override {
    return target_->Lstat(path, info);
  }
  std::error_code RemoveFile(const fs::path& path) override { return target_->RemoveFile(path); }
  std::error_code Rename(const fs::path& from, const fs::path& to) override {
    return target_->Rename(from, to);
  }
  std::error_code Link(const fs::path& existing, const fs::path& newPath) override {
    return target_->Link(existing, newPath);
  }
  std::error_code SyncDir(const fs::path& dir) override { return target_->SyncDir(dir); }
  std::error_code ListDir(const fs::path& dir, std::vector<DirEntry>& entries) override {
    return target_->ListDir(dir, entries);
  }
  std::error_code CreateDir(const fs::path& dir) override { return target_->CreateDir(dir); }
  std::error_code RemoveDir(const fs::path& dir) override { return target_->RemoveDir(dir); }
  std::error_code CopyFile(const fs::path& from, const fs::path& to) override {
    return target_->CopyFile(from, to);
  }
  std::error_code CloneFile(const fs::path& from, const fs::path& to) override {
    return target_->CloneFile(from, to);
  }
  std::unique_ptr<DirLock> LockDir(const fs::path& dir, std::error_code& ec) override {
    return target_->LockDir(dir, ec);
  }
  TDateTime Now() override { return target_->Now(); }
  void SleepMs(int ms) override { target_->SleepMs(ms); }
  bool Staging() const override { return target_->Staging(); }

 private:
  Env* target_;
};

// The real environment of this operating system.
Env* DefaultEnv();
// The environment in use: this thread's own when one is set (a job's staging environment on
// the job's thread), else the process's (DefaultEnv() unless a test replaced it).
Env* CurrentEnv();
// Replaces the process's environment; null restores the default. Not for use while jobs run.
void SetCurrentEnv(Env* env);
// Sets this thread's own environment; null goes back to the process's.
void SetThreadEnv(Env* env);

// Puts an Env in place for the lifetime of the object (tests).
class ScopedEnv {
 public:
  explicit ScopedEnv(Env* env) : previous_(CurrentEnv()) { SetCurrentEnv(env); }
  ~ScopedEnv() { SetCurrentEnv(previous_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  Env* previous_;
};

// Puts an Env in place for this thread for the lifetime of the object.
class ScopedThreadEnv {
 public:
  explicit ScopedThreadEnv(Env* env);
  ~ScopedThreadEnv();
  ScopedThreadEnv(const ScopedThreadEnv&) = delete;
  ScopedThreadEnv& operator=(const ScopedThreadEnv&) = delete;

 private:
  Env* previous_;
};

// The path of the running program.
fs::path ExecutablePath();

// Helpers built on CurrentEnv().

// Reads a whole file.
std::error_code ReadWholeFile(const fs::path& path, std::string& out);

// Creates `path` exclusively for a temporary file of this system. A regular file left there by
// an earlier run that was cut off is removed first; anything else standing there (a link, a
// folder) is never removed or written through, and the create fails.
std::unique_ptr<RandomRWFile> CreateTempFile(const fs::path& path, std::error_code& ec);

// Copies `from` to `to` (created as by CreateTempFile) and flushes `to`. A failed copy removes
// `to`.
std::error_code CopyFileFlushed(const fs::path& from, const fs::path& to);

// Puts a complete, flushed temporary file in place of `target`: renames it over the target,
// or, when the two lie on different volumes, copies it to a second temporary file beside the
// target, flushes that and renames it over. On success the temporary file is gone. On failure
// the target is untouched and the temporary files are removed.
std::error_code ReplaceWithTemp(const fs::path& temp, const fs::path& target);

// Writes `bytes` to a temporary file beside `path`, flushes it and renames it over `path`.
// On failure `path` is untouched.
std::error_code WriteFileReplacing(const fs::path& path, std::string_view bytes);

// The name of the temporary file that WriteFileReplacing and ReplaceWithTemp use beside `target`.
fs::path SiblingTempPath(const fs::path& target);

// True for the names this system gives its own files beside a zone's (temporary and staged
// files, the backups of a restore point, journals and restore point lists). Folder listings of
// zone data leave them out, so that no merge or cleanup takes them for the zone's own files.
bool IsInternalName(const fs::path& fileName);
// The internal names of files that only a job that is running has a use for: staged and
// temporary files, and the originals a switch keeps until it is complete. What a run that was cut
// off before its switch leaves under such a name is a leftover.
bool IsLeftoverName(const fs::path& fileName);

}  // namespace zkq::platform
