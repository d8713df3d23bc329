#include "jobs/job.h"

#include <exception>

#include "common/errors.h"
#include "common/gbk.h"
#include "common/progress_log.h"
#include "merge/account_merge.h"
#include "merge/chardata_merge.h"
#include "merge/charindex_merge.h"
#include "merge/upgrade.h"
#include "platform/codepage.h"
#include "sidedata/friend_merge.h"
#include "sidedata/guild_merge.h"
#include "sidedata/member_merge.h"
#include "sidedata/petstall_merge.h"
#include "sidedata/variable_merge.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

fs::path ParamPath(const JobParams& p, int n) {
  return platform::PathFromUtf8(p.Param[n - 1]);
}

// Brings one character data file to the current layout: probe, then upgrade while the probe
// reports an older layout. False (after the failure line) when an upgrade failed.
bool UpgradeLoop(const fs::path& kem, JobBackups& backups, const char* failedLine,
                 const char* doneLine) {
  int code = BackupAndProbeLayout(kem, backups);
  while (code != kLayoutCurrent) {
    if (!UpgradeCharacterData(kem, code, backups)) {
      Log().LogLine(Gbk(failedLine));
      return false;
    }
    Log().LogLine(Gbk(doneLine));
    code = BackupAndProbeLayout(kem, backups);
  }
  return true;
}

// Mode 4: both character data files upgraded, then accounts, character index, character data.
JobResult ServerMerge(const JobParams& p) {
  Log().LogLine(Gbk("升级数据库文件..."));
  JobBackups backups;
  if (!UpgradeLoop(ParamPath(p, 5), backups, "人物数据一升级失败!", "人物数据一升级完毕!"))
    return JobResult::kFailed;
  if (!UpgradeLoop(ParamPath(p, 6), backups, "人物数据二升级失败!", "人物数据二升级完毕!"))
    return JobResult::kFailed;
  if (!MergeAccounts(ParamPath(p, 1), ParamPath(p, 2))) return JobResult::kFailed;
  if (!MergeCharacterIndex(ParamPath(p, 3), ParamPath(p, 4))) return JobResult::kFailed;
  // Its result is not used: it logs its own completion.
  MergeCharacterData(ParamPath(p, 5), ParamPath(p, 6));
  return JobResult::kSucceeded;
}

// A row of the mode table for the side-data merges: start line, operation, end line.
struct SideDataRow {
  uint32_t mode;
  const char* startLine;
  bool (*operation)(const fs::path&, const fs::path&);
  const char* endLine;
  bool setsTotalParts;  // Percent 100, then TotalParts 100, before the end line
};

const SideDataRow kSideDataRows[] = {
    {1, "处理行会数据...", MergeGuilds, "行会数据合并完毕!", false},
    {2, "处理任务数据...", MergePetStalls, "任务数据合并完毕!", false},
    {3, "处理变量数据...", MergeVariables, "变量数据合并完毕!", true},
    {5, "处理好友数据...", MergeFriends, "好友数据合并完毕!", false},
    {6, "处理会员数据...", MergeMembers, "会员数据合并完毕!", false},
    {9, "处理宗族数据...", MergeClans, "宗族数据合并完毕!", false},
};

// Start line, operation on Param1 and Param2; on true Percent 100 and the end line. On false
// these modes log nothing more.
JobResult SideDataMerge(const SideDataRow& row, const JobParams& p) {
  Log().LogLine(Gbk(row.startLine));
  if (!row.operation(ParamPath(p, 1), ParamPath(p, 2))) return JobResult::kFailed;
  Log().SetPercent(100);
  if (row.setsTotalParts) Log().SetTotalParts(100);
  Log().LogLine(Gbk(row.endLine));
  return JobResult::kSucceeded;
}

}  // namespace

JobResult RunJob(const JobParams& params) {
  try {
    if (params.Mode == 4) return ServerMerge(params);
    for (const SideDataRow& row : kSideDataRows)
      if (row.mode == params.Mode) return SideDataMerge(row, params);
    return JobResult::kNoSuchMode;
  } catch (const FileError& e) {
    // An error never ends a job silently.
    Log().LogLine(Gbk("作业中止: ") + e.reason() + ": " + platform::PathToGbk(e.path()));
  } catch (const std::exception& e) {
    Log().LogLine(Gbk("作业中止: ") + e.what());
  }
  return JobResult::kAborted;
}

// ---- JobQueue ----

JobQueue& JobQueue::Instance() {
  static JobQueue queue;
  return queue;
}

JobQueue::~JobQueue() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    pending_.clear();  // the end of the program cuts off what has not started
  }
  wake_.notify_all();
  if (worker_.joinable()) worker_.join();
}

void JobQueue::Submit(JobParams params, Done done) {
  SubmitWork([params = std::move(params), done = std::move(done)] {
    const JobResult result = RunJob(params);
    if (done) done(result);
  });
}

void JobQueue::SubmitWork(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(work));
    if (!worker_.joinable()) worker_ = std::thread([this] { Worker(); });
  }
  wake_.notify_one();
}

void JobQueue::Worker() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
    if (stopping_) return;
    std::function<void()> work = std::move(pending_.front());
    pending_.pop_front();
    running_ = true;
    lock.unlock();
    try {
      work();
    } catch (...) {
      // RunJob logs its errors; work of other kinds must not take the queue down.
    }
    lock.lock();
    running_ = false;
    if (pending_.empty()) idle_.notify_all();
  }
}

void JobQueue::WaitIdle() {
  std::unique_lock lock(mutex_);
  idle_.wait(lock, [this] { return pending_.empty() && !running_; });
}

bool JobQueue::Idle() {
  std::lock_guard lock(mutex_);
  return pending_.empty() && !running_;
}

}  // namespace zkq
