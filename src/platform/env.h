// The operating-system services the rest of the system uses, and nothing else.
//
// Everything above this layer reaches files, the clock and pauses through `CurrentEnv()`, so a
// test can put an `EnvWrapper` in front of the real environment and fail one chosen operation
// (a rename, the third write, a copy) while the rest behaves as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "common/bytes.h"

namespace zkq::platform {

namespace fs = std::filesystem;

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
  // may copy inside the kernel.
  virtual bool CopyTo(int64_t offset, RandomRWFile& dst, int64_t dstOffset, size_t n);
};

enum class OpenMode {
  kReadWriteShared,  // an existing file, for reading and writing; other handles may do the same
  kReadShared,       // an existing file, for reading
  kCreateTruncate,   // created or emptied, for reading and writing, not shared
};

class Env {
 public:
  virtual ~Env() = default;

  // Opens a file; null with `ec` set on failure.
  virtual std::unique_ptr<RandomRWFile> Open(const fs::path& path, OpenMode mode,
                                             std::error_code& ec) = 0;
  // True when anything exists at the path.
  virtual bool Exists(const fs::path& path) = 0;
  // True for a regular file or a link to one.
  virtual bool IsRegularFile(const fs::path& path) = 0;
  virtual bool IsDirectory(const fs::path& path) = 0;
  virtual std::error_code RemoveFile(const fs::path& path) = 0;
  // Renames `from` to `to`, replacing `to` when it exists. Fails with
  // std::errc::cross_device_link when the two lie on different volumes.
  virtual std::error_code Rename(const fs::path& from, const fs::path& to) = 0;
  // Makes a rename inside the folder durable (a no-op where the system does not need it).
  virtual std::error_code SyncDir(const fs::path& dir) = 0;
  // Copies `from` to `to` (created or emptied) and flushes `to`. This default reads and writes
  // through Open(); a system may override it with a copy inside the kernel.
  virtual std::error_code CopyFile(const fs::path& from, const fs::path& to);
  // The current local date-time.
  virtual TDateTime Now() = 0;
  // The pause the file classes make before a rename.
  virtual void SleepMs(int ms) = 0;
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
  std::error_code RemoveFile(const fs::path& path) override { return target_->RemoveFile(path); }
  std::error_code Rename(const fs::path& from, const fs::path& to) override {
    return target_->Rename(from, to);
  }
  std::error_code SyncDir(const fs::path& dir) override { return target_->SyncDir(dir); }
  std::error_code CopyFile(const fs::path& from, const fs::path& to) override {
    return target_->CopyFile(from, to);
  }
  TDateTime Now() override { return target_->Now(); }
  void SleepMs(int ms) override { target_->SleepMs(ms); }

 private:
  Env* target_;
};

// The real environment of this operating system.
Env* DefaultEnv();
// The environment in use (DefaultEnv() unless a test replaced it).
Env* CurrentEnv();
// Replaces the environment in use; null restores the default. Not for use while jobs run.
void SetCurrentEnv(Env* env);

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

// The path of the running program.
fs::path ExecutablePath();

// Helpers built on CurrentEnv().

// Reads a whole file.
std::error_code ReadWholeFile(const fs::path& path, std::string& out);

// Copies `from` to `to` (created or emptied) and flushes `to`. A failed copy removes `to`.
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

}  // namespace zkq::platform
