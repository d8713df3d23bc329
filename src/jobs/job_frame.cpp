#include "jobs/job_frame.h"

#include <algorithm>

#include "common/errors.h"
#include "common/gbk.h"
#include "common/paths.h"
#include "common/progress_log.h"
#include "platform/codepage.h"
#include "platform/switch_journal.h"

namespace zkq {

namespace fs = std::filesystem;

namespace {

// Restore point lines name at most this many files; the rest are counted.
constexpr size_t kListedEntries = 20;

fs::path Canonical(const fs::path& p) {
  std::error_code ec;
  fs::path r = fs::weakly_canonical(fs::absolute(p, ec), ec);
  return ec ? p : r;
}

}  // namespace

fs::path FolderOfFile(const fs::path& file) {
  fs::path dir = file.parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

namespace {

// The existing folders among these, the program folder and the current folder, each once.
std::vector<fs::path> WorkFolders(const std::vector<fs::path>& given) {
  platform::Env* env = platform::CurrentEnv();
  std::vector<fs::path> folders;
  auto add = [&](const fs::path& dir) {
    if (dir.empty() || !env->IsDirectory(dir)) return;
    const fs::path c = Canonical(dir);
    if (std::find(folders.begin(), folders.end(), c) == folders.end()) folders.push_back(c);
  };
  for (const fs::path& dir : given) add(dir);
  add(ProgramDir());
  add(".");  // "Log.txt"
  return folders;
}

std::vector<std::unique_ptr<platform::DirLock>> LockFolders(const std::vector<fs::path>& folders) {
  std::vector<std::unique_ptr<platform::DirLock>> locks;
  for (const fs::path& dir : folders) {
    std::error_code ec;
    auto lock = platform::CurrentEnv()->LockDir(dir, ec);
    if (lock) {
      locks.push_back(std::move(lock));
    } else if (ec == std::errc::operation_would_block) {
      throw FileError(dir, "another zkqmerge job is working in this folder");
    }
    // A folder that cannot be locked (not readable, or a system without such locks) is worked
    // in all the same; the job then meets its problems where it reads or writes.
  }
  return locks;
}

std::vector<std::string> RecoverLocked(const std::vector<fs::path>& folders) {
  const platform::RecoveryReport report = platform::RecoverFolders(platform::CurrentEnv(), folders);
  static const std::string completed = Gbk("已完成上次中断的文件切换: ");
  static const std::string removed = Gbk("已删除中断作业留下的临时文件: ");
  std::vector<std::string> lines;
  for (const fs::path& p : report.completed) lines.push_back(completed + platform::PathToGbk(p));
  for (const fs::path& p : report.removed) lines.push_back(removed + platform::PathToGbk(p));
  return lines;
}

}  // namespace

std::vector<std::string> RecoverFolders(const std::vector<fs::path>& folders) {
  const std::vector<fs::path> work = WorkFolders(folders);
  const auto locks = LockFolders(work);
  return RecoverLocked(work);
}

JobFrame::JobFrame(Options options) : options_(std::move(options)) {
  platform::Env* env = platform::CurrentEnv();
  std::vector<fs::path> given = options_.folders;
  given.push_back(options_.zoneDir);
  const std::vector<fs::path> folders = WorkFolders(given);
  locks_ = LockFolders(folders);
  for (const std::string& line : RecoverLocked(folders)) Log().LogLine(line);

  saved_ = Process();
  fs::path zone = options_.zoneDir;
  if (zone.empty() || !env->IsDirectory(zone)) zone = ".";
  staging_ = std::make_unique<platform::StagingEnv>(
      env, platform::StagingEnv::Options{options_.jobName, zone, options_.keepRestorePoint});
  scoped_.emplace(staging_.get());
}

JobFrame::~JobFrame() {
  const bool committed = staging_ && staging_->Committed();
  scoped_.reset();
  staging_.reset();  // removes whatever was staged and not switched in
  if (!committed) Process() = std::move(saved_);
}

void JobFrame::Prepare() {
  staging_->Prepare();
}

void JobFrame::LogRestorePoint() const {
  const platform::StagingEnv::Prepared& p = staging_->LastPrepared();
  if (p.list.empty()) return;
  using Kind = platform::RestoreEntry::Kind;
  Log().LogLine(Gbk("还原点: ") + platform::PathToGbk(p.list));
  size_t shown = 0;
  for (const platform::RestoreEntry& e : p.entries) {
    if (shown == kListedEntries) {
      Log().LogLine(Gbk("  另有") + std::to_string(p.entries.size() - shown) + Gbk("项"));
      break;
    }
    ++shown;
    const std::string target = platform::PathToGbk(e.target);
    switch (e.kind) {
      case Kind::kReplaced:
        Log().LogLine("  " + target + Gbk(" 的原文件: ") + platform::PathToGbk(e.backup));
        break;
      case Kind::kDeleted:
        Log().LogLine("  " + target + Gbk(" (已删除) 的原文件: ") + platform::PathToGbk(e.backup));
        break;
      case Kind::kCreated:
        Log().LogLine(Gbk("  新建 ") + target);
        break;
      case Kind::kMkdir:
        Log().LogLine(Gbk("  新建目录 ") + target);
        break;
      case Kind::kRmdir:
        Log().LogLine(Gbk("  删除目录 ") + target);
        break;
    }
  }
}

void JobFrame::Commit() {
  std::vector<std::string> warnings;
  staging_->Commit(warnings);  // prepares first what changed since
  scoped_.reset();
  for (const std::string& w : warnings)
    Log().LogLine(Gbk("警告: ") + platform::PathToGbk(fs::path(w)));
}

}  // namespace zkq
