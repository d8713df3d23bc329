// Undoing a job: the restore points a job that changed database files left beside the zone's
// files, and the job that puts one back.
#pragma once

#include <filesystem>
#include <functional>
#include <vector>

#include "jobs/job.h"
#include "platform/restore_point.h"

namespace zkq {

// The restore points whose lists lie in `dir`, newest first; damaged lists are reported in
// `damaged` and left out.
std::vector<platform::RestorePoint> FindRestorePoints(
    const std::filesystem::path& dir, std::vector<std::filesystem::path>* damaged = nullptr);

// Puts the restore point of the list file `list` back, the same way a job switches its files
// in: every file the job replaced or removed gets its original back, every file it created goes,
// all at once or not at all. The files the restore replaces become a restore point of their own,
// so that a restore can be undone too; the list restored is used up. Logs "恢复还原点: <list>",
// then "还原完毕!" and the lines naming the new restore point. A backup that is missing or an
// error ends it with "作业中止: ..." and nothing changed.
JobResult RunRestore(const std::filesystem::path& list);

// The restore's worker: queued on the one job queue like every job.
class TRestoreThread {
 public:
  static void Create(std::filesystem::path list, std::function<void(JobResult)> done = nullptr);
};

}  // namespace zkq
