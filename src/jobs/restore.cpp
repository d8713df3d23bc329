#include "jobs/restore.h"

#include <algorithm>
#include <string>

#include "common/errors.h"
#include "common/gbk.h"
#include "common/progress_log.h"
#include "jobs/job_frame.h"
#include "platform/codepage.h"
#include "platform/env.h"
#include "platform/staging.h"

namespace zkq {

namespace fs = std::filesystem;
using Kind = platform::RestoreEntry::Kind;

std::vector<platform::RestorePoint> FindRestorePoints(const fs::path& dir,
                                                      std::vector<fs::path>* damaged) {
  return platform::ListRestorePoints(dir, damaged);
}

namespace {

void Check(std::error_code ec, const fs::path& path) {
  if (ec) throw FileError(path, ec.message());
}

void Restore(const fs::path& list) {
  std::string bytes;
  Check(platform::ReadWholeFile(list, bytes), list);
  const auto point = platform::DecodeRestorePoint(bytes);
  if (!point) throw FileError(list, "the restore point list is damaged");

  std::vector<fs::path> folders{FolderOfFile(list)};
  for (const platform::RestoreEntry& e : point->entries) {
    folders.push_back(FolderOfFile(e.target));
    if (e.kind == Kind::kMkdir || e.kind == Kind::kRmdir) folders.push_back(e.target);
  }
  JobFrame frame({"restore", FolderOfFile(list), true, folders});
  Log().LogLine(Gbk("恢复还原点: ") + platform::PathToGbk(list));

  platform::StagingEnv* view = platform::CurrentStaging();
  // Folders the job removed come back first, folders it created go last, deepest first.
  for (const platform::RestoreEntry& e : point->entries) {
    if (e.kind == Kind::kRmdir && !view->IsDirectory(e.target))
      Check(view->CreateDir(e.target), e.target);
  }
  for (const platform::RestoreEntry& e : point->entries) {
    switch (e.kind) {
      case Kind::kReplaced:
      case Kind::kDeleted:
        // The original goes back as it is: no copy of it is made.
        if (!view->IsRegularFile(e.backup))
          throw FileError(e.backup,
                          "the restore point's backup of " + e.target.string() + " is missing");
        Check(view->MoveFile(e.backup, e.target), e.backup);
        break;
      case Kind::kCreated:
        if (view->Exists(e.target)) Check(view->RemoveFile(e.target), e.target);
        break;
      case Kind::kMkdir:
      case Kind::kRmdir:
        break;
    }
  }
  std::vector<fs::path> created;
  for (const platform::RestoreEntry& e : point->entries)
    if (e.kind == Kind::kMkdir) created.push_back(e.target);
  std::sort(created.begin(), created.end(), [](const fs::path& a, const fs::path& b) {
    return std::distance(a.begin(), a.end()) > std::distance(b.begin(), b.end());
  });
  for (const fs::path& dir : created) {
    // A folder that holds files the job did not put there stays.
    if (view->IsDirectory(dir)) view->RemoveDir(dir);
  }
  // The list is used up: its backups are back in their places.
  view->WithoutBackup(list);
  Check(view->RemoveFile(list), list);

  frame.Commit();
  Log().LogLine(Gbk("还原完毕!"));
  frame.LogRestorePoint();
}

}  // namespace

JobResult RunRestore(const fs::path& list) {
  try {
    Restore(list);
    return JobResult::kSucceeded;
  } catch (const std::exception& e) {
    LogJobAbort(e);
  }
  return JobResult::kAborted;
}

void TRestoreThread::Create(fs::path list, std::function<void(JobResult)> done) {
  JobQueue::Instance().SubmitWork([list = std::move(list), done = std::move(done)] {
    const JobResult result = RunRestore(list);
    if (done) done(result);
  });
}

}  // namespace zkq
