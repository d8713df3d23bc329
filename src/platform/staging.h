// A job's staging environment: the view of the files through which a job works, so that none
// of the zone's files changes until the job is complete.
//
// The job's thread reaches every file through this Env (ScopedThreadEnv). Reads see the job's
// own changes; nothing the job writes reaches a file of the zone:
//   - a file that is written for the first time keeps its bytes where they are, and the job's
//     writes are held beside them in memory (a few megabytes at most; beyond that the file is
//     written out to a staged file beside the original);
//   - a file that is created or rewritten from its start is written to a staged file beside its
//     target (named "<name>.zkqnew");
//   - deletions, renames and new folders exist only in the view.
// Commit() writes out and flushes every changed file beside its target, then switches them all
// in through a journal (switch_journal.h). The originals of the replaced and deleted files are
// kept under backup names in their folders: as a restore point (restore_point.h) for jobs that
// keep one, otherwise only until the switch is complete. Destroying the environment without a
// commit removes every staged file: the zone stays byte for byte as it was.
//
// Not thread-safe: one job's thread uses it.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/errors.h"
#include "platform/env.h"
#include "platform/restore_point.h"

namespace zkq::platform {

class StagingEnv final : public Env {
 public:
  struct Options {
    std::string jobName;            // for the restore point list
    std::filesystem::path zoneDir;  // where the journal and the restore point list go
    bool keepRestorePoint = false;
  };

  // Originals up to this size are read whole at their first read and then served from memory.
  static constexpr int64_t kReadWholeLimit = int64_t{16} << 20;

  StagingEnv(Env* base, Options options);
  ~StagingEnv() override;
  StagingEnv(const StagingEnv&) = delete;
  StagingEnv& operator=(const StagingEnv&) = delete;

  // ---- The view ----
  std::unique_ptr<RandomRWFile> Open(const std::filesystem::path& path, OpenMode mode,
                                     std::error_code& ec) override;
  bool Exists(const std::filesystem::path& path) override;
  bool IsRegularFile(const std::filesystem::path& path) override;
  bool IsDirectory(const std::filesystem::path& path) override;
  std::error_code Lstat(const std::filesystem::path& path, FileInfo& info) override;
  std::error_code RemoveFile(const std::filesystem::path& path) override;
  std::error_code Rename(const std::filesystem::path& from,
                         const std::filesystem::path& to) override;
  std::error_code Link(const std::filesystem::path& existing,
                       const std::filesystem::path& newPath) override;
  std::error_code SyncDir(const std::filesystem::path& dir) override;
  std::error_code ListDir(const std::filesystem::path& dir,
                          std::vector<DirEntry>& entries) override;
  std::error_code CreateDir(const std::filesystem::path& dir) override;
  std::error_code RemoveDir(const std::filesystem::path& dir) override;
  std::error_code CopyFile(const std::filesystem::path& from,
                           const std::filesystem::path& to) override;
  std::error_code CloneFile(const std::filesystem::path& from,
                            const std::filesystem::path& to) override;
  std::unique_ptr<DirLock> LockDir(const std::filesystem::path& dir, std::error_code& ec) override;
  TDateTime Now() override { return base_->Now(); }
  void SleepMs(int ms) override { base_->SleepMs(ms); }
  bool Staging() const override { return true; }

  // ---- The job's wishes for its switch ----

  // A backup of a file under a name of its own in the file's folder: `stem`, then "-n" for
  // n > 1 when the name is taken, then `suffix` (the dated backups of the layout upgrade,
  // "Kem#yyyyMMdd" + ".db.bak"). The files of one call get the same n. The first wish for a
  // file stands. When the job replaces the file, its original is kept under that name (no copy);
  // otherwise a copy (or a copy-on-write clone) of it is made there.
  struct BackupWish {
    std::filesystem::path file;
    std::string stem;
    std::string suffix;
  };
  void WishBackups(const std::vector<BackupWish>& wishes);
  // Makes the copies for the wished backups of these files, which the caller does not mean to
  // change, now rather than at the commit, so that the disk writes them while the job goes on.
  // For a file the job changes after all, the copy is dropped again and its original kept.
  void CopyBackupsNow(const std::vector<std::filesystem::path>& files);
  // Moves a file of the zone to `to` in the view without copying its bytes (a restore point's
  // backup going back to its place).
  std::error_code MoveFile(const std::filesystem::path& from, const std::filesystem::path& to);
  // The file's original is not part of the restore point (the log file; a restore point list a
  // restore used up).
  void WithoutBackup(const std::filesystem::path& path);
  // Runs after the switch is complete.
  void OnCommitted(std::function<void()> fn);

  // ---- Commit ----

  struct Prepared {
    std::filesystem::path list;         // the restore point list, or empty
    std::vector<RestoreEntry> entries;  // what the restore point holds
    bool changes = false;               // the switch has anything to do
  };
  // Writes out and flushes every changed file beside its target and chooses the backup names.
  // May be called again after more changes; names chosen earlier stay. Throws FileError: the
  // first error any file operation of the job met, or the reason this step failed.
  const Prepared& Prepare();
  // Prepares what changed since, then switches everything in. Throws FileError, after every
  // switched file was put back, when the switch fails. `warnings` receives problems met after
  // the switch was complete.
  void Commit(std::vector<std::string>& warnings);
  bool Committed() const { return committed_; }
  // What the last Prepare found.
  const Prepared& LastPrepared() const { return prepared_; }
  // The first error a file operation of the job met.
  const std::optional<FileError>& FirstError() const { return firstError_; }

  // The key of a path in the view: absolute, its folder with links resolved.
  std::filesystem::path Key(const std::filesystem::path& path) const;

  struct Content;
  struct Node;

  // Internal: an error of a file operation below the view.
  void RecordError(const std::filesystem::path& path, std::error_code ec);
  Env* base() const { return base_; }
  // Internal: a new staged file for the content of `target`.
  std::shared_ptr<Content> NewStagedContent(const std::filesystem::path& target,
                                            std::error_code& ec);

 private:
  Node& GetNode(const std::filesystem::path& key);
  Node* FindNode(const std::filesystem::path& key);
  FileInfo::Type ViewType(const std::filesystem::path& key);
  FileInfo::Type ViewTypeFollowing(const std::filesystem::path& key);
  std::error_code EnsureContent(Node& node);
  // The real folder that holds the staged files for `target`: its folder, or where that does
  // not exist yet, the nearest folder above it that does.
  std::filesystem::path Placement(const std::filesystem::path& target);
  std::filesystem::path StagedName(const std::filesystem::path& dir,
                                   const std::filesystem::path& name, std::error_code& ec);
  std::filesystem::path BackupName(const std::filesystem::path& key, bool noBackup);
  // A copy of `file` for its wished backup, made by another thread when `inBackground`.
  std::shared_ptr<Content> MakeBackupCopy(const std::filesystem::path& file, bool inBackground);
  // Waits for a copy made in the background; throws its error.
  void FinishCopy(Content& copy);
  std::filesystem::path FreeBackupName(const std::filesystem::path& dir, const std::string& stem,
                                       const std::string& suffix);
  static bool Touched(const Node& node);
  bool Unchanged(Node& node);
  void Materialize(Node& node);
  // "yyyyMMdd-HHmmss" of the restore point: names its list and its backups; read from the clock
  // when first needed.
  const std::string& Stamp();

  Env* base_;
  Options options_;
  std::map<std::filesystem::path, std::unique_ptr<Node>> nodes_;
  std::set<std::filesystem::path> createdDirs_;
  std::set<std::filesystem::path> removedDirs_;
  std::set<std::filesystem::path> usedNames_;    // staged names handed out by this view
  std::set<std::filesystem::path> checkedDirs_;  // placement folders checked for a journal
  struct Wish {
    std::string stem, suffix;
    size_t group;
  };
  std::map<std::filesystem::path, Wish> wishes_;
  size_t wishGroups_ = 0;
  std::map<std::filesystem::path, std::filesystem::path> backupNames_;  // chosen, by target
  std::set<std::filesystem::path> movedTaken_;  // moved files the switch renames as they are
  std::map<size_t, int> groupNumbers_;
  std::map<std::filesystem::path, std::shared_ptr<Content>> backupCopies_;
  std::shared_ptr<Content> listContent_;
  std::filesystem::path listPath_;
  std::vector<std::function<void()>> onCommitted_;
  std::mutex errorMutex_;
  std::optional<FileError> firstError_;
  std::string stamp_, time_;
  Prepared prepared_;
  bool committed_ = false;
};

// This thread's staging environment, or null when the thread is not running a job.
StagingEnv* CurrentStaging();

}  // namespace zkq::platform
