// The POSIX environment: files through open/pread/pwrite/fsync, local time through localtime_r.
#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <thread>

#include "common/datetime.h"
#include "platform/env.h"

namespace zkq::platform {
namespace {

std::error_code LastErrno() {
  return {errno, std::generic_category()};
}

FileInfo InfoOf(const struct stat& st) {
  FileInfo info;
  info.type = S_ISREG(st.st_mode)   ? FileInfo::Type::kFile
              : S_ISDIR(st.st_mode) ? FileInfo::Type::kDir
              : S_ISLNK(st.st_mode) ? FileInfo::Type::kLink
                                    : FileInfo::Type::kOther;
  info.size = static_cast<int64_t>(st.st_size);
  info.mode = static_cast<uint32_t>(st.st_mode & 07777);
  info.uid = st.st_uid;
  info.gid = st.st_gid;
  info.dev = static_cast<uint64_t>(st.st_dev);
  info.ino = static_cast<uint64_t>(st.st_ino);
  info.nlink = static_cast<uint64_t>(st.st_nlink);
  return info;
}

// Copies `size` bytes from the start of `in` to `out` inside the kernel (copy_file_range).
// `fallback` is set, with nothing copied, where the kernel or the file system cannot.
std::error_code CopyInKernel(int in, int out, off_t size, bool& fallback) {
  fallback = false;
  off_t done = 0;
  while (done < size) {
    const ssize_t n =
        ::copy_file_range(in, nullptr, out, nullptr, static_cast<size_t>(size - done), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && done == 0 &&
        (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP)) {
      fallback = true;
      return {};
    }
    if (n < 0) return LastErrno();
    if (n == 0) break;  // the source became shorter; copy what there is
    done += n;
  }
  return {};
}

class PosixDirLock final : public DirLock {
 public:
  explicit PosixDirLock(int fd) : fd_(fd) {}
  ~PosixDirLock() override { ::close(fd_); }  // closing releases the lock

 private:
  int fd_;
};

class PosixFile final : public RandomRWFile {
 public:
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override { Close(); }

  int64_t Read(int64_t offset, void* buf, size_t n) override {
    if (offset < 0 || fd_ < 0) {
      error_ = std::make_error_code(std::errc::invalid_argument);
      return -1;
    }
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < n) {
      const ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) continue;
        error_ = LastErrno();
        return -1;
      }
      if (r == 0) break;
      done += static_cast<size_t>(r);
    }
    return static_cast<int64_t>(done);
  }

  bool Write(int64_t offset, const void* buf, size_t n) override {
    if (offset < 0 || fd_ < 0) {
      error_ = std::make_error_code(std::errc::invalid_argument);
      return false;
    }
    const auto* p = static_cast<const char*>(buf);
    size_t done = 0;
    while (done < n) {
      const ssize_t w = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
      if (w < 0) {
        if (errno == EINTR) continue;
        error_ = LastErrno();
        return false;
      }
      if (w == 0) {
        error_ = std::make_error_code(std::errc::no_space_on_device);
        return false;
      }
      done += static_cast<size_t>(w);
    }
    return true;
  }

  int64_t Size() override {
    struct stat st;
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) {
      error_ = LastErrno();
      return -1;
    }
    return static_cast<int64_t>(st.st_size);
  }

  // A background flush that failed fails this one: the kernel reports a failed write-back only
  // once, and may then count the lost pages as clean.
  bool Sync() override {
    if (!FinishBackgroundFlush()) return false;
    if (fd_ < 0 || ::fsync(fd_) != 0) {
      error_ = LastErrno();
      return false;
    }
    return true;
  }

  bool Close() override {
    if (fd_ < 0) return true;
    const bool flushed = FinishBackgroundFlush();
    flusher_.reset();
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0) {
      error_ = LastErrno();
      return false;
    }
    return flushed;
  }

  std::error_code LastError() const override { return error_; }

  // fdatasync on a thread of the file's own, so that the disk (and any cache below it) takes the
  // bytes while the writer goes on; requests made during a flush are served by one more. Only
  // asking the kernel to start writing (sync_file_range) stalls the writer once the disk's
  // queue is full, and leaves the flush of the disk's own cache for the end.
  void StartWriteback(int64_t /*offset*/, size_t /*n*/) override {
    if (fd_ < 0) return;
    if (!flusher_) flusher_ = std::make_unique<BackgroundFlush>(fd_);
    flusher_->Request();
  }

  std::error_code SetOwnerAndMode(uint32_t mode, uint32_t uid, uint32_t gid) override {
    if (fd_ < 0) return std::make_error_code(std::errc::bad_file_descriptor);
    // The owner first: changing it may clear set-id bits that the mode then puts back. Only a
    // privileged runner may give a file away; for others the owner stays theirs.
    if (::fchown(fd_, uid, gid) != 0 && errno != EPERM) return LastErrno();
    if (::fchmod(fd_, static_cast<mode_t>(mode & 07777)) != 0) return LastErrno();
    return {};
  }

  // Between two files of this system the copy stays inside the kernel.
  bool CopyTo(int64_t offset, RandomRWFile& dst, int64_t dstOffset, size_t n) override {
    auto* out = dynamic_cast<PosixFile*>(dst.CopyTarget(dstOffset, n));
    if (out == nullptr || fd_ < 0 || out->fd_ < 0 || offset < 0 || dstOffset < 0)
      return RandomRWFile::CopyTo(offset, dst, dstOffset, n);
    off_t in = static_cast<off_t>(offset), to = static_cast<off_t>(dstOffset);
    size_t left = n;
    while (left > 0) {
      const ssize_t done = ::copy_file_range(fd_, &in, out->fd_, &to, left, 0);
      if (done < 0 && errno == EINTR) continue;
      if (done < 0 && left == n &&
          (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP))
        return RandomRWFile::CopyTo(offset, dst, dstOffset, n);
      if (done < 0) {
        error_ = LastErrno();
        out->error_ = error_;
        return false;
      }
      if (done == 0) {  // the source ended early
        error_ = std::make_error_code(std::errc::io_error);
        return false;
      }
      left -= static_cast<size_t>(done);
    }
    return true;
  }

 private:
  // The thread of StartWriteback: one fdatasync at a time, the first failure kept.
  class BackgroundFlush {
   public:
    explicit BackgroundFlush(int fd) : fd_(fd), thread_([this] { Run(); }) {}
    ~BackgroundFlush() {
      {
        std::lock_guard lock(mutex_);
        stopping_ = true;
      }
      wake_.notify_all();
      thread_.join();
    }
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;

    void Request() {
      {
        std::lock_guard lock(mutex_);
        wanted_ = true;
      }
      wake_.notify_all();
    }
    // Waits until no flush is wanted or running; the first failure, if any.
    std::error_code Wait() {
      std::unique_lock lock(mutex_);
      done_.wait(lock, [this] { return !wanted_ && !busy_; });
      return error_;
    }

   private:
    void Run() {
      std::unique_lock lock(mutex_);
      for (;;) {
        wake_.wait(lock, [this] { return wanted_ || stopping_; });
        if (!wanted_) return;
        wanted_ = false;
        busy_ = true;
        lock.unlock();
        int rc;
        do {
          rc = ::fdatasync(fd_);
        } while (rc != 0 && errno == EINTR);
        const std::error_code ec = rc != 0 ? LastErrno() : std::error_code();
        lock.lock();
        if (ec && !error_) error_ = ec;
        busy_ = false;
        done_.notify_all();
      }
    }

    int fd_;
    std::mutex mutex_;
    std::condition_variable wake_, done_;
    bool wanted_ = false, busy_ = false, stopping_ = false;
    std::error_code error_;
    std::thread thread_;  // last: it starts once everything above is ready
  };

  bool FinishBackgroundFlush() {
    if (!flusher_) return true;
    if (const std::error_code ec = flusher_->Wait()) {
      error_ = ec;
      return false;
    }
    return true;
  }

  int fd_;
  std::unique_ptr<BackgroundFlush> flusher_;
  std::error_code error_;
};

class PosixEnv final : public Env {
 public:
  std::unique_ptr<RandomRWFile> Open(const fs::path& path, OpenMode mode,
                                     std::error_code& ec) override {
    int flags = O_CLOEXEC;
    switch (mode) {
      case OpenMode::kReadWriteShared:
        flags |= O_RDWR;
        break;
      case OpenMode::kReadShared:
        flags |= O_RDONLY;
        break;
      case OpenMode::kCreateTruncate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
      case OpenMode::kCreateExclusive:
        flags |= O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW;
        break;
    }
    int fd;
    do {
      fd = ::open(path.c_str(), flags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      ec = LastErrno();
      return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
      ::close(fd);
      ec = std::make_error_code(std::errc::is_a_directory);
      return nullptr;
    }
    ec.clear();
    return std::make_unique<PosixFile>(fd);
  }

  bool Exists(const fs::path& path) override {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
  }

  bool IsRegularFile(const fs::path& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  bool IsDirectory(const fs::path& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  std::error_code Lstat(const fs::path& path, FileInfo& info) override {
    info = FileInfo{};
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return LastErrno();
    info = InfoOf(st);
    return {};
  }

  std::error_code Link(const fs::path& existing, const fs::path& newPath) override {
    if (::linkat(AT_FDCWD, existing.c_str(), AT_FDCWD, newPath.c_str(), 0) != 0) return LastErrno();
    return {};
  }

  std::error_code ListDir(const fs::path& dir, std::vector<DirEntry>& entries) override {
    entries.clear();
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return LastErrno();
    std::error_code ec;
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(d);
      if (e == nullptr) {
        if (errno != 0) ec = LastErrno();
        break;
      }
      const std::string_view name = e->d_name;
      if (name == "." || name == "..") continue;
      DirEntry entry;
      entry.name = fs::path(std::string(name));
      unsigned char type = e->d_type;
      if (type == DT_UNKNOWN) {
        struct stat st;
        if (::fstatat(::dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0)
          entry.type = InfoOf(st).type;
      } else {
        entry.type = type == DT_REG   ? FileInfo::Type::kFile
                     : type == DT_DIR ? FileInfo::Type::kDir
                     : type == DT_LNK ? FileInfo::Type::kLink
                                      : FileInfo::Type::kOther;
      }
      entries.push_back(std::move(entry));
    }
    ::closedir(d);
    return ec;
  }

  std::error_code CreateDir(const fs::path& dir) override {
    if (::mkdir(dir.c_str(), 0777) != 0) return LastErrno();
    return {};
  }

  std::error_code RemoveDir(const fs::path& dir) override {
    if (::rmdir(dir.c_str()) != 0) return LastErrno();
    return {};
  }

  std::unique_ptr<DirLock> LockDir(const fs::path& dir, std::error_code& ec) override {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      ec = LastErrno();
      return nullptr;
    }
    int rc;
    do {
      rc = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
      ec = errno == EWOULDBLOCK ? std::make_error_code(std::errc::operation_would_block)
                                : LastErrno();
      ::close(fd);
      return nullptr;
    }
    ec.clear();
    return std::make_unique<PosixDirLock>(fd);
  }

  // A copy-on-write clone where the file system has them (FICLONE), else a copy inside the
  // kernel; not flushed.
  std::error_code CloneFile(const fs::path& from, const fs::path& to) override {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return LastErrno();
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
      const std::error_code ec = LastErrno();
      ::close(in);
      return ec;
    }
    std::error_code ec;
    bool fallback = false;
    struct stat st;
    if (::ioctl(out, FICLONE, in) != 0) {
      if (::fstat(in, &st) != 0) {
        ec = LastErrno();
      } else {
        ec = CopyInKernel(in, out, st.st_size, fallback);
      }
    }
    if (::close(out) != 0 && !ec) ec = LastErrno();
    ::close(in);
    if (ec || fallback) ::unlink(to.c_str());
    if (fallback) return CopyFile(from, to);
    return ec;
  }

  std::error_code RemoveFile(const fs::path& path) override {
    if (::unlink(path.c_str()) != 0) return LastErrno();
    return {};
  }

  std::error_code Rename(const fs::path& from, const fs::path& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) return LastErrno();
    return {};
  }

  std::error_code SyncDir(const fs::path& dir) override {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return LastErrno();
    std::error_code ec;
    if (::fsync(fd) != 0) ec = LastErrno();
    ::close(fd);
    return ec;
  }

  // Copies inside the kernel (copy_file_range), falling back to the portable copy where the
  // file system or the kernel cannot.
  std::error_code CopyFile(const fs::path& from, const fs::path& to) override {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) return LastErrno();
    struct stat st;
    if (::fstat(in, &st) != 0 || S_ISDIR(st.st_mode)) {
      const std::error_code ec =
          S_ISDIR(st.st_mode) ? std::make_error_code(std::errc::is_a_directory) : LastErrno();
      ::close(in);
      return ec;
    }
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (out < 0) {
      const std::error_code ec = LastErrno();
      ::close(in);
      return ec;
    }
    std::error_code ec;
    bool fallback = false;
    ec = CopyInKernel(in, out, st.st_size, fallback);
    if (!ec && !fallback && ::fsync(out) != 0) ec = LastErrno();
    if (::close(out) != 0 && !ec && !fallback) ec = LastErrno();
    ::close(in);
    if (fallback) {
      ::unlink(to.c_str());
      return Env::CopyFile(from, to);
    }
    if (ec) ::unlink(to.c_str());
    return ec;
  }

  TDateTime Now() override {
    struct timeval tv;
    ::gettimeofday(&tv, nullptr);
    const time_t secs = tv.tv_sec;
    struct tm local;
    ::localtime_r(&secs, &local);
    CivilDateTime t;
    t.year = local.tm_year + 1900;
    t.month = local.tm_mon + 1;
    t.day = local.tm_mday;
    t.hour = local.tm_hour;
    t.minute = local.tm_min;
    t.second = local.tm_sec > 59 ? 59 : local.tm_sec;
    t.millisecond = static_cast<int>(tv.tv_usec / 1000);
    return EncodeDateTime(t);
  }

  void SleepMs(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
};

}  // namespace

Env* DefaultEnv() {
  static PosixEnv env;
  return &env;
}

fs::path ExecutablePath() {
  std::error_code ec;
  fs::path p = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return fs::current_path(ec) / "zkqmerge";
  return p;
}

}  // namespace zkq::platform
