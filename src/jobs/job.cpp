#include "jobs/job.h"

#include <charconv>
#include <cstdio>
#include <exception>

#include "cleanup/account_cleanup.h"
#include "cleanup/guild_cleanup.h"
#include "cleanup/storage_cleanup.h"
#include "common/datetime.h"
#include "common/errors.h"
#include "common/gbk.h"
#include "common/progress_log.h"
#include "jobs/job_frame.h"
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

// Mode 4: both character data files upgraded, then accounts, character index, character data.
// The job's files are switched in once all of it is done; the closing line, the lines naming
// the restore point and the saved log come with them.
JobResult ServerMerge(const JobParams& p, JobFrame& frame) {
  Log().LogLine(Gbk("升级数据库文件..."));
  JobBackups backups;
  if (!UpgradeToCurrentLayout(ParamPath(p, 5), backups, "人物数据一升级失败!",
                              "人物数据一升级完毕!"))
    return JobResult::kFailed;
  if (!UpgradeToCurrentLayout(ParamPath(p, 6), backups, "人物数据二升级失败!",
                              "人物数据二升级完毕!"))
    return JobResult::kFailed;
  // The merges change neither of the slave's files: their backup copies are written while the
  // merges run.
  fs::path slaveIndex = ParamPath(p, 6);
  slaveIndex += ".idx";
  frame.CopyBackupsNow({ParamPath(p, 6), slaveIndex});
  if (!MergeAccounts(ParamPath(p, 1), ParamPath(p, 2))) return JobResult::kFailed;
  if (!MergeCharacterIndex(ParamPath(p, 3), ParamPath(p, 4))) return JobResult::kFailed;
  // Accounts and characters merged without their data would leave the zone half merged.
  if (!MergeCharacterDataStaged(ParamPath(p, 5), ParamPath(p, 6))) return JobResult::kFailed;
  frame.Prepare();
  Log().LogLine(Gbk("数据库文件合并完毕!"));
  frame.LogRestorePoint();
  Log().SaveLog();
  frame.Commit();
  Log().SetPercent(100);
  Log().SetTotalParts(100);
  return JobResult::kSucceeded;
}

// The folders a job changes files in, the one its journal and restore point go to, and whether
// it keeps a restore point (the jobs that change database files do).
JobFrame::Options FrameFor(const JobParams& p) {
  JobFrame::Options o;
  auto file = [&](int n) { return FolderOfFile(ParamPath(p, n)); };
  auto folder = [&](int n) { return ParamPath(p, n); };
  switch (p.Mode) {
    case 4:
      o = {"server", file(5), true, {file(1), file(2), file(3), file(4), file(5), file(6)}};
      break;
    case 7:
      o = {"clean", file(3), true, {file(1), file(2), file(3)}};
      break;
    case 1:
    case 9: {
      const char* items = p.Mode == 1 ? "Guilds" : "Clans";
      o = {p.Mode == 1 ? "guilds" : "clans",
           folder(1),
           false,
           {folder(1), folder(2), folder(1) / items, folder(2) / items}};
      break;
    }
    case 2:
    case 3:
    case 5:
      o = {p.Mode == 2   ? "tasks"
           : p.Mode == 3 ? "vars"
                         : "friends",
           folder(1),
           false,
           {folder(1), folder(2)}};
      break;
    case 6:
      o = {"members", file(1), false, {file(1), file(2)}};
      break;
    case 8:
      o = {"clean-guilds", folder(1), false, {folder(1), folder(1) / "Guilds"}};
      break;
    case 10:
      o = {"clean-storage", folder(1), false, {folder(1), file(2)}};
      break;
    default:
      break;
  }
  return o;
}

}  // namespace

int32_t JobIntegerParam(const std::string& text) {
  int32_t value = 0;
  const char* begin = text.data();
  const char* end = text.data() + text.size();
  if (begin != end && *begin == '+') ++begin;
  const auto [stop, ec] = std::from_chars(begin, end, value);
  return ec == std::errc() && stop == end && begin != end ? value : 0;
}

TDateTime JobDateParam(const std::string& text) {
  int y = 0, m = 0, d = 0;
  char dash1 = 0, dash2 = 0;
  int used = 0;
  if (std::sscanf(text.c_str(), "%4d%c%2d%c%2d%n", &y, &dash1, &m, &dash2, &d, &used) != 5 ||
      used != static_cast<int>(text.size()) || dash1 != '-' || dash2 != '-' || y < 1 || m < 1 ||
      m > 12 || d < 1)
    return 0;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  if (d > kDays[m - 1] + (m == 2 && leap ? 1 : 0)) return 0;
  CivilDateTime t;
  t.year = y;
  t.month = m;
  t.day = d;
  return EncodeDateTime(t);
}

namespace {

// A row of the mode table: start line, operation, end line on true, failure line on false (or
// none), and whether TotalParts is set to 100 after Percent.
struct ModeRow {
  uint32_t mode;
  const char* startLine;
  bool (*operation)(const JobParams&);
  const char* endLine;
  const char* failedLine;
  bool setsTotalParts;
};

template <bool (*Merge)(const fs::path&, const fs::path&)>
bool TwoPaths(const JobParams& p) {
  return Merge(ParamPath(p, 1), ParamPath(p, 2));
}

bool CleanAccounts(const JobParams& p) {
  return CleanAccountsAndCharacters(ParamPath(p, 1), ParamPath(p, 2), ParamPath(p, 3),
                                    JobIntegerParam(p.Param[5]) == 1, JobIntegerParam(p.Param[4]),
                                    JobDateParam(p.Param[3]));
}

bool CleanGuildsJob(const JobParams& p) {
  return CleanGuilds(ParamPath(p, 1), JobIntegerParam(p.Param[1]));
}

const ModeRow kModeRows[] = {
    {1, "处理行会数据...", TwoPaths<MergeGuilds>, "行会数据合并完毕!", nullptr, false},
    {2, "处理任务数据...", TwoPaths<MergePetStalls>, "任务数据合并完毕!", nullptr, false},
    {3, "处理变量数据...", TwoPaths<MergeVariables>, "变量数据合并完毕!", nullptr, true},
    {5, "处理好友数据...", TwoPaths<MergeFriends>, "好友数据合并完毕!", nullptr, false},
    {6, "处理会员数据...", TwoPaths<MergeMembers>, "会员数据合并完毕!", nullptr, false},
    {7, "开始清理数据...", CleanAccounts, "ID及人物数据清理完毕!", "ID及人物数据清理失败!", false},
    {8, "清理行会数据...", CleanGuildsJob, "行会数据清理完毕!", "行会数据清理失败!", false},
    {9, "处理宗族数据...", TwoPaths<MergeClans>, "宗族数据合并完毕!", nullptr, false},
    {10, "清理 Storage 文件夹里的个人文件...", TwoPaths<CleanStorage>, "个人文件清理完毕!", nullptr,
     false},
};

// Start line and operation; on true the job's files switched in, Percent 100 (and TotalParts
// 100 where the row says so), the end line and the lines naming the restore point; on false the
// failure line where the row has one, and nothing changed.
JobResult RunRow(const ModeRow& row, const JobParams& p, JobFrame& frame) {
  Log().LogLine(Gbk(row.startLine));
  if (!row.operation(p)) {
    if (row.failedLine != nullptr) Log().LogLine(Gbk(row.failedLine));
    return JobResult::kFailed;
  }
  frame.Commit();
  Log().SetPercent(100);
  if (row.setsTotalParts) Log().SetTotalParts(100);
  Log().LogLine(Gbk(row.endLine));
  frame.LogRestorePoint();
  return JobResult::kSucceeded;
}

const ModeRow* RowOf(uint32_t mode) {
  for (const ModeRow& row : kModeRows)
    if (row.mode == mode) return &row;
  return nullptr;
}

}  // namespace

JobResult RunJob(const JobParams& params) {
  const ModeRow* row = RowOf(params.Mode);
  if (params.Mode != 4 && row == nullptr) return JobResult::kNoSuchMode;
  try {
    // A job that does not reach its switch leaves every file as it was: the frame removes what
    // it staged before the error is logged.
    JobFrame frame(FrameFor(params));
    if (params.Mode == 4) return ServerMerge(params, frame);
    return RunRow(*row, params, frame);
  } catch (const std::exception& e) {
    LogJobAbort(e);
  }
  return JobResult::kAborted;
}

void LogJobAbort(const std::exception& error) {
  static const std::string prefix = Gbk("作业中止: ");
  if (const auto* fileError = dynamic_cast<const FileError*>(&error))
    Log().LogLine(prefix + fileError->reason() + ": " + platform::PathToGbk(fileError->path()));
  else
    Log().LogLine(prefix + error.what());
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
