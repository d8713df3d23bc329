// The frame every job and batch runs in, so that it either completes or changes nothing.
//
// At its start it locks the folders the job works in against other programs' jobs, completes
// a switch that an earlier run left unfinished there (and removes what runs cut off before their
// switch left behind), keeps a copy of the process-wide state and puts the job's staging
// environment in place on this thread: from then on nothing the job writes reaches a file until
// Commit() switches every changed file in. A frame destroyed without a commit removes the staged
// files and gives the process-wide state back, so that a failed job leaves everything as it was.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/process_state.h"
#include "platform/env.h"
#include "platform/staging.h"

namespace zkq {

class JobFrame {
 public:
  struct Options {
    std::string jobName;                         // named in the restore point
    std::filesystem::path zoneDir;               // the journal and the restore point list go here
    bool keepRestorePoint = false;               // jobs that change database files keep one
    std::vector<std::filesystem::path> folders;  // every folder the job may change files in
  };

  // Throws FileError when a folder is in use by another program's job or an unfinished switch
  // cannot be completed.
  explicit JobFrame(Options options);
  ~JobFrame();
  JobFrame(const JobFrame&) = delete;
  JobFrame& operator=(const JobFrame&) = delete;

  // Writes out and flushes every changed file beside its target and names the restore point.
  // Throws FileError (the first error any file operation of the job met).
  void Prepare();
  // Makes the backup copies of files the job does not change now, so that the disk writes them
  // while the job goes on (the slave's Kem.db during the merges).
  void CopyBackupsNow(const std::vector<std::filesystem::path>& files) {
    staging_->CopyBackupsNow(files);
  }
  // Logs the lines that name the restore point, when the job keeps one (after Prepare or
  // Commit).
  void LogRestorePoint() const;
  // Switches the job's files in. Throws FileError, with every file as it was, on failure.
  void Commit();

 private:
  Options options_;
  std::vector<std::unique_ptr<platform::DirLock>> locks_;
  ProcessState saved_;
  std::unique_ptr<platform::StagingEnv> staging_;
  std::optional<platform::ScopedThreadEnv> scoped_;
};

// Completes the switches that an earlier run left unfinished in these folders (and in the
// program folder and the current folder) and removes what runs cut off before their switch left
// there. Returns the log lines (GBK) that say what it did. The command line and the window call
// it before their checks of a job's files, which an unfinished switch could otherwise fail.
// Throws FileError as JobFrame.
std::vector<std::string> RecoverFolders(const std::vector<std::filesystem::path>& folders);

// The folder that holds a file named by a job's parameter ("." for a bare name).
std::filesystem::path FolderOfFile(const std::filesystem::path& file);

}  // namespace zkq
