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

}  // namespace

JobResult RunJob(const JobParams& params) {
  try {
    switch (params.Mode) {
      case 4:
        return ServerMerge(params);
      default:
        return JobResult::kNoSuchMode;
    }
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
