#include "cli.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string_view>
#include <tuple>

#include "common/casefold.h"
#include "common/errors.h"
#include "common/gbk.h"
#include "common/paths.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "common/textfile.h"
#include "jobs/batch.h"
#include "jobs/job.h"
#include "jobs/job_frame.h"
#include "jobs/restore.h"
#include "platform/codepage.h"
#include "platform/console.h"
#include "platform/env.h"
#include "platform/folder_copy.h"

namespace zkq::cli {

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage =
    "Usage: zkqmerge-cli [--program-dir DIR] [--verbose] JOB [then JOB ...]\n"
    "\n"
    "Jobs:\n"
    "  server MAIN_ID SLAVE_ID MAIN_HUM SLAVE_HUM MAIN_KEM SLAVE_KEM [--suffix TEXT] [--backup "
    "DIR]\n"
    "  guilds MAIN_DIR SLAVE_DIR\n"
    "  tasks MAIN_DIR SLAVE_DIR\n"
    "  vars MAIN_DIR SLAVE_DIR\n"
    "  friends MAIN_DIR SLAVE_DIR\n"
    "  members MAIN_FILE SLAVE_FILE\n"
    "  clean ID_DB HUM_DB KEM_DB --before YYYY-MM-DD --min-level N [--clear-deleted]\n"
    "  clean-guilds GUILD_DIR MIN_MEMBERS\n"
    "  clans MAIN_DIR SLAVE_DIR\n"
    "  clean-storage STORAGE_DIR HUM_DB\n"
    "  batch CONFIG_INI\n"
    "  restore ZONE [POINT]\n"
    "\n"
    "Jobs joined by 'then' run one after another; the rename lists, the item counter and the\n"
    "duplicate-name suffix carry from one to the next.\n"
    "\n"
    "Every job either completes or leaves every file as it was. Jobs that change database\n"
    "files (server, clean, batch, restore) leave a restore point beside the main zone's\n"
    "Kem.db: 'restore ZONE' lists those found in ZONE (the folder, or a file in it), newest\n"
    "first; 'restore ZONE N' (or the list file's name) puts number N back, and keeps what it\n"
    "replaces as a restore point of its own.\n"
    "\n"
    "Options:\n"
    "  --program-dir DIR  folder of the rename lists, cleanup lists and settings\n"
    "                     (default: the folder of this program)\n"
    "  --verbose          print every progress line\n"
    "  --help             show this text\n"
    "  --suffix TEXT      (server) up to 2 characters tried first for a clashing character name\n"
    "  --backup DIR       (server) copy the main zone's account and database folders into DIR\n"
    "\n"
    "Log lines are printed as they are logged; \"Log.txt\" is saved in the current folder.\n"
    "Exit status: 0 every job succeeded, 1 a job was refused or failed, 2 usage error.\n";

struct UsageError {
  std::string message;
};

// The side-data merges started with a main and a slave path, and the window's messages for
// them: a path left empty, a path that does not exist.
struct TwoPathKind {
  const char* name;
  uint32_t mode;
  bool folders;  // folders, or files
  const char* emptyMessage;
  const char* missingMessage;
};

const TwoPathKind kTwoPathKinds[] = {
    {"guilds", 1, true, "请选择行会目录", "行会目录不存在"},
    {"tasks", 2, true, "请选择任务目录", "任务目录不存在"},
    {"vars", 3, true, "请选择变量目录", "变量目录不存在"},
    {"friends", 5, true, "请选择好友目录", "好友目录不存在"},
    {"members", 6, false, "请选择会员文件", "会员文件不存在"},
    {"clans", 9, true, "请选择宗族目录", "宗族目录不存在"},
};

enum class Cleanup { kNone, kAccounts, kGuilds, kStorage };

struct CliJob {
  const TwoPathKind* twoPath = nullptr;  // a side-data merge
  Cleanup cleanup = Cleanup::kNone;      // a cleanup; neither: a server merge
  std::vector<std::string> paths;  // server: MAIN_ID SLAVE_ID MAIN_HUM SLAVE_HUM MAIN_KEM SLAVE_KEM
  std::optional<std::string> suffix;
  std::optional<std::string> backup;
  std::string before, minLevel;  // clean: the texts of --before and --min-level
  bool clearDeleted = false;     // clean: --clear-deleted
  std::string number;            // clean-guilds: MIN_MEMBERS as given
  bool batch = false;            // a batch merge of the configuration file in paths[0]
  bool restore = false;          // restore ZONE [POINT]
};

struct Options {
  std::optional<std::string> programDir;
  bool verbose = false;
  bool help = false;
  std::vector<CliJob> jobs;
};

// clean ID_DB HUM_DB KEM_DB --before YYYY-MM-DD --min-level N [--clear-deleted]
CliJob ParseClean(const std::vector<std::string>& words) {
  CliJob job;
  job.cleanup = Cleanup::kAccounts;
  std::optional<std::string> before, minLevel;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--before" || w == "--min-level") {
      if (i + 1 >= words.size()) throw UsageError{w + " needs a value"};
      (w == "--before" ? before : minLevel) = words[++i];
    } else if (w == "--clear-deleted") {
      job.clearDeleted = true;
    } else if (w.size() > 2 && w.compare(0, 2, "--") == 0) {
      throw UsageError{"unknown option for clean: " + w};
    } else {
      job.paths.push_back(w);
    }
  }
  if (job.paths.size() != 3) throw UsageError{"clean takes 3 paths: ID_DB HUM_DB KEM_DB"};
  if (!before || !minLevel) throw UsageError{"clean needs --before YYYY-MM-DD and --min-level N"};
  job.before = *before;
  job.minLevel = *minLevel;
  return job;
}

// clean-guilds GUILD_DIR MIN_MEMBERS, clean-storage STORAGE_DIR HUM_DB
CliJob ParsePair(Cleanup kind, const std::string& name, const std::vector<std::string>& words) {
  for (const auto& w : words)
    if (w.size() > 2 && w.compare(0, 2, "--") == 0)
      throw UsageError{"unknown option for " + name + ": " + w};
  if (words.size() != 2)
    throw UsageError{name + (kind == Cleanup::kGuilds ? " takes GUILD_DIR MIN_MEMBERS"
                                                      : " takes STORAGE_DIR HUM_DB")};
  CliJob job;
  job.cleanup = kind;
  job.paths = {words[0]};
  if (kind == Cleanup::kGuilds) {
    job.number = words[1];
  } else {
    job.paths.push_back(words[1]);
  }
  return job;
}

CliJob ParseTwoPaths(const TwoPathKind& kind, const std::vector<std::string>& words) {
  for (const auto& w : words)
    if (w.size() > 2 && w.compare(0, 2, "--") == 0)
      throw UsageError{std::string("unknown option for ") + kind.name + ": " + w};
  if (words.size() != 2)
    throw UsageError{std::string(kind.name) + (kind.folders
                                                   ? " takes 2 folders: MAIN_DIR SLAVE_DIR"
                                                   : " takes 2 files: MAIN_FILE SLAVE_FILE")};
  CliJob job;
  job.twoPath = &kind;
  job.paths = words;
  return job;
}

// One job's words, up to the next "then".
CliJob ParseServer(const std::vector<std::string>& words) {
  CliJob job;
  for (size_t i = 0; i < words.size(); ++i) {
    const std::string& w = words[i];
    if (w == "--suffix" || w == "--backup") {
      if (i + 1 >= words.size()) throw UsageError{w + " needs a value"};
      (w == "--suffix" ? job.suffix : job.backup) = words[++i];
    } else if (w.size() > 2 && w.compare(0, 2, "--") == 0) {
      throw UsageError{"unknown option for server: " + w};
    } else {
      job.paths.push_back(w);
    }
  }
  if (job.paths.size() != 6)
    throw UsageError{
        "server takes 6 paths: MAIN_ID SLAVE_ID MAIN_HUM SLAVE_HUM MAIN_KEM SLAVE_KEM"};
  return job;
}

Options Parse(const std::vector<std::string>& args) {
  Options opt;
  size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      opt.help = true;
      return opt;
    } else if (a == "--verbose") {
      opt.verbose = true;
    } else if (a == "--program-dir") {
      if (i + 1 >= args.size()) throw UsageError{"--program-dir needs a folder"};
      opt.programDir = args[++i];
    } else if (a.compare(0, 1, "-") == 0) {
      throw UsageError{"unknown option: " + a};
    } else {
      break;
    }
  }
  if (i >= args.size()) throw UsageError{"no job given"};
  while (i < args.size()) {
    const std::string name = args[i++];
    std::vector<std::string> words;
    while (i < args.size() && args[i] != "then") words.push_back(args[i++]);
    if (i < args.size()) {
      ++i;  // "then"
      if (i >= args.size()) throw UsageError{"'then' must be followed by a job"};
    }
    for (const auto& w : words)
      if (w == "--help" || w == "-h") {
        opt.help = true;
        return opt;
      }
    const TwoPathKind* twoPath = nullptr;
    for (const TwoPathKind& kind : kTwoPathKinds)
      if (name == kind.name) twoPath = &kind;
    if (name == "server") {
      opt.jobs.push_back(ParseServer(words));
    } else if (twoPath != nullptr) {
      opt.jobs.push_back(ParseTwoPaths(*twoPath, words));
    } else if (name == "clean") {
      opt.jobs.push_back(ParseClean(words));
    } else if (name == "clean-guilds") {
      opt.jobs.push_back(ParsePair(Cleanup::kGuilds, name, words));
    } else if (name == "clean-storage") {
      opt.jobs.push_back(ParsePair(Cleanup::kStorage, name, words));
    } else if (name == "batch") {
      if (words.size() != 1 || words[0].compare(0, 2, "--") == 0)
        throw UsageError{"batch takes one file: CONFIG_INI"};
      CliJob job;
      job.batch = true;
      job.paths = words;
      opt.jobs.push_back(job);
    } else if (name == "restore") {
      if (words.empty() || words.size() > 2 || words[0].compare(0, 2, "--") == 0)
        throw UsageError{"restore takes ZONE (a folder, or a file in it) and optionally POINT"};
      CliJob job;
      job.restore = true;
      job.paths = words;
      opt.jobs.push_back(job);
    } else {
      throw UsageError{"unknown job: " + name};
    }
  }
  return opt;
}

// Prints log lines as they are logged, and progress as a status line on a terminal or as lines
// with --verbose.
class ConsoleObserver : public ProgressLog::Observer {
 public:
  ConsoleObserver(std::FILE* out, bool verbose)
      : out_(out), verbose_(verbose), terminal_(platform::IsTerminal(out)) {}

  void OnLine(const std::string& entry, const std::string& text, bool fromLogLine) override {
    if (fromLogLine || verbose_) {
      ClearStatus();
      std::fputs(platform::GbkToDisplay(entry).c_str(), out_);
      std::fputc('\n', out_);
      std::fflush(out_);
    } else if (terminal_) {
      const auto now = std::chrono::steady_clock::now();
      if (now - lastStatus_ < std::chrono::milliseconds(100)) return;
      lastStatus_ = now;
      std::string shown = platform::GbkToDisplay(text);
      if (shown.size() > 70) shown.resize(70);
      std::fprintf(out_, "\r%s\x1b[K", shown.c_str());
      std::fflush(out_);
      statusShown_ = true;
    }
  }

  void ClearStatus() {
    if (!statusShown_) return;
    std::fputs("\r\x1b[K", out_);
    statusShown_ = false;
  }

 private:
  std::FILE* out_;
  bool verbose_;
  bool terminal_;
  bool statusShown_ = false;
  std::chrono::steady_clock::time_point lastStatus_{};
};

// The file-name part of a path: the text after the last "/", "\" or ":".
std::string FileNamePart(const std::string& path) {
  const size_t cut = path.find_last_of("/\\:");
  return cut == std::string::npos ? path : path.substr(cut + 1);
}

void Message(std::FILE* err, const char* text) {
  std::fputs(text, err);
  std::fputc('\n', err);
}

// The checks the window makes before a server merge, with its messages. True when the job may
// start; the backup copy is made on the way.
bool CheckServer(const CliJob& job, std::vector<std::string>& paths, std::FILE* err) {
  platform::Env* env = platform::CurrentEnv();
  for (const auto& p : job.paths) paths.push_back(Trim(p));
  if (job.backup) {
    const std::string backup = Trim(*job.backup);
    if (backup.empty()) {
      Message(err, "备份目录不能为空");
      return false;
    }
    const fs::path target = platform::PathFromUtf8(backup);
    // The folder holding a file, also for a name relative to the current folder ("Id.db").
    auto folderOf = [](const std::string& file) {
      std::error_code ec;
      return fs::absolute(platform::PathFromUtf8(file), ec).lexically_normal().parent_path();
    };
    // Each file is copied whole or not at all, links are not followed, and a backup folder
    // inside the zone is refused before anything is copied.
    const std::tuple<fs::path, const char*, const char*> copies[] = {
        {folderOf(paths[0]), "loginsrv", "备份ID目录错误"},
        {folderOf(paths[4]), "Dbserver", "备份数据目录错误"}};
    auto report = [&](const char* message, const FileError& e) {
      std::fprintf(err, "%s: %s: %s\n", message, e.reason().c_str(), e.path().string().c_str());
      return false;
    };
    for (const auto& [source, sub, message] : copies) {
      try {
        platform::CheckFolderCopy({source}, target / sub);
      } catch (const FileError& e) {
        return report(message, e);
      }
    }
    for (const auto& [source, sub, message] : copies) {
      std::vector<fs::path> skipped;
      try {
        platform::CopyFolderTree({source}, target / sub, nullptr, &skipped);
      } catch (const FileError& e) {
        return report(message, e);
      }
      for (const fs::path& p : skipped)
        std::fprintf(err, "备份时跳过链接: %s\n", p.string().c_str());
    }
  }
  for (const auto& p : paths)
    if (p.empty()) {
      Message(err, "数据库文件不能为空");
      return false;
    }
  // Window order: main Id, slave Id, main Hum, slave Hum, main Kem, slave Kem.
  struct Check {
    int index;
    const char* name;
    const char* badName;
    const char* missing;
  };
  static const Check kChecks[] = {
      {0, "id.db", "请确认主帐号文件名称为Id.db", "主数据库文件Id.db不存在"},
      {1, "id.db", "请确认从帐号文件名称为Id.db", "从数据库文件Id.db不存在"},
      {2, "Hum.db", "请确认主角色文件名称为Hum.db", "主数据库文件Hum.db不存在"},
      {3, "Hum.db", "请确认从角色文件名称为Hum.db", "从数据库文件Hum.db不存在"},
      {4, "Kem.db", "请确认主数据文件名称为Kem.db", "主数据库文件Kem.db不存在"},
      {5, "Kem.db", "请确认从数据文件名称为Kem.db", "从数据库文件Kem.db不存在"},
  };
  for (const Check& c : kChecks)
    if (!EqualsFolded(FileNamePart(paths[static_cast<size_t>(c.index)]), c.name)) {
      Message(err, c.badName);
      return false;
    }
  for (const Check& c : kChecks)
    if (!env->IsRegularFile(platform::PathFromUtf8(paths[static_cast<size_t>(c.index)]))) {
      Message(err, c.missing);
      return false;
    }
  return true;
}

// The window's checks of a main and a slave path: both given, then the main, then the slave
// existing.
bool CheckTwoPaths(const CliJob& job, std::vector<std::string>& paths, std::FILE* err) {
  platform::Env* env = platform::CurrentEnv();
  for (const auto& p : job.paths) paths.push_back(Trim(p));
  if (paths[0].empty() || paths[1].empty()) {
    Message(err, job.twoPath->emptyMessage);
    return false;
  }
  for (const auto& p : paths) {
    const fs::path path = platform::PathFromUtf8(p);
    if (job.twoPath->folders ? !env->IsDirectory(path) : !env->IsRegularFile(path)) {
      Message(err, job.twoPath->missingMessage);
      return false;
    }
  }
  return true;
}

// The window's checks before a cleanup. The database files are named by path here where the
// window names their folders; the messages are the window's.
bool CheckCleanup(const CliJob& job, std::vector<std::string>& paths, std::FILE* err) {
  platform::Env* env = platform::CurrentEnv();
  for (const auto& p : job.paths) paths.push_back(Trim(p));
  auto folderOf = [](const std::string& file) {
    std::error_code ec;
    return fs::absolute(platform::PathFromUtf8(file), ec).lexically_normal().parent_path();
  };
  auto fileMissing = [&](const std::string& file) {
    if (env->IsRegularFile(platform::PathFromUtf8(file))) return false;
    std::fprintf(err, "文件%s不存在\n", file.c_str());
    return true;
  };
  // Database files given by path: "请选择数据库目录" / "数据库目录不存在" / "文件...不存在".
  auto databaseFilesMissing = [&](const std::vector<std::string>& files) {
    for (const auto& f : files)
      if (f.empty()) {
        Message(err, "请选择数据库目录");
        return true;
      }
    for (const auto& f : files)
      if (!env->IsDirectory(folderOf(f))) {
        Message(err, "数据库目录不存在");
        return true;
      }
    for (const auto& f : files)
      if (fileMissing(f)) return true;
    return false;
  };
  switch (job.cleanup) {
    case Cleanup::kAccounts:
      return !databaseFilesMissing(paths);
    case Cleanup::kGuilds:
      if (paths[0].empty()) {
        Message(err, "请选择行会目录");
        return false;
      }
      if (!env->IsDirectory(platform::PathFromUtf8(paths[0]))) {
        Message(err, "行会目录不存在");
        return false;
      }
      return true;
    case Cleanup::kStorage:
      if (paths[0].empty()) {
        Message(err, "请选择Storage目录");
        return false;
      }
      if (!env->IsDirectory(platform::PathFromUtf8(paths[0]))) {
        Message(err, "Storage目录不存在");
        return false;
      }
      return !databaseFilesMissing({paths[1]});
    case Cleanup::kNone:
      break;
  }
  return false;
}

// The duplicate-name suffix as GBK: trimmed, at most 2 characters.
std::string SuffixToGbk(const std::string& host) {
  auto gbk = platform::Utf8ToGbk(host);
  if (!gbk) throw UsageError{"--suffix has characters that GBK cannot hold"};
  std::string suffix = Trim(*gbk);
  size_t chars = 0;
  for (size_t i = 0; i < suffix.size(); ++chars) {
    const auto c = static_cast<unsigned char>(suffix[i]);
    i += (c >= 0x81 && c <= 0xFE && i + 1 < suffix.size()) ? 2 : 1;
  }
  if (chars > 2) throw UsageError{"--suffix takes at most 2 characters"};
  return suffix;
}

// Starts work on the job queue and waits for its result, delivering the rebuild notifications
// meanwhile (this thread displays the log).
template <class Result, class Start>
Result WaitFor(Start start) {
  std::mutex m;
  std::condition_variable cv;
  std::optional<Result> result;
  start([&](const Result& r) {
    std::lock_guard lock(m);
    result = r;
    cv.notify_all();
  });
  std::unique_lock lock(m);
  while (!cv.wait_for(lock, std::chrono::milliseconds(50), [&] { return result.has_value(); })) {
    lock.unlock();
    Log().DeliverQueued();
    lock.lock();
  }
  lock.unlock();
  Log().DeliverQueued();
  return *result;
}

JobResult RunQueued(JobParams params) {
  return WaitFor<JobResult>([&](auto done) {
    TImportThread::Create(std::move(params), [done](JobResult r) { done(r); });
  });
}

BatchOutcome RunBatchQueued(const fs::path& config) {
  return WaitFor<BatchOutcome>([&](auto done) {
    TBatImportThread::Create(config, [done](const BatchOutcome& o) { done(o); });
  });
}

JobResult RunRestoreQueued(const fs::path& list) {
  return WaitFor<JobResult>(
      [&](auto done) { TRestoreThread::Create(list, [done](JobResult r) { done(r); }); });
}

// The folders a job works in, for the completion of unfinished switches at the start.
std::vector<fs::path> FoldersOf(const std::vector<CliJob>& jobs) {
  std::vector<fs::path> folders;
  auto path = [](const std::string& text) { return platform::PathFromUtf8(Trim(text)); };
  auto fileFolder = [&](const std::string& text) { folders.push_back(FolderOfFile(path(text))); };
  for (const CliJob& job : jobs) {
    if (job.batch) continue;  // the batch does it itself, once it has read its configuration
    if (job.restore) {
      const fs::path where = path(job.paths[0]);
      folders.push_back(platform::CurrentEnv()->IsDirectory(where) ? where : FolderOfFile(where));
      continue;
    }
    if (job.twoPath != nullptr && job.twoPath->folders) {
      for (const std::string& p : job.paths) {
        folders.push_back(path(p));
        folders.push_back(path(p) / "Guilds");
        folders.push_back(path(p) / "Clans");
      }
      continue;
    }
    if (job.cleanup == Cleanup::kGuilds) {
      folders.push_back(path(job.paths[0]));
      folders.push_back(path(job.paths[0]) / "Guilds");
      continue;
    }
    if (job.cleanup == Cleanup::kStorage) {
      folders.push_back(path(job.paths[0]));
      fileFolder(job.paths[1]);
      continue;
    }
    for (const std::string& p : job.paths) fileFolder(p);
  }
  return folders;
}

// restore ZONE: lists the restore points in ZONE's folder; restore ZONE POINT: puts one back.
bool RunRestoreJob(const CliJob& job, std::FILE* out, std::FILE* err) {
  platform::Env* env = platform::CurrentEnv();
  const fs::path where = platform::PathFromUtf8(Trim(job.paths[0]));
  const fs::path dir = env->IsDirectory(where) ? where : FolderOfFile(where);
  if (!env->IsDirectory(dir)) {
    std::fprintf(err, "目录%s不存在\n", dir.string().c_str());
    return false;
  }
  std::vector<fs::path> damaged;
  const std::vector<platform::RestorePoint> points = FindRestorePoints(dir, &damaged);
  for (const fs::path& p : damaged)
    std::fprintf(err, "zkqmerge-cli: damaged restore point list left out: %s\n",
                 p.string().c_str());
  if (job.paths.size() == 1) {
    if (points.empty()) {
      std::fprintf(out, "No restore point in %s\n", dir.string().c_str());
      return true;
    }
    std::fprintf(out, "Restore points in %s, newest first:\n", dir.string().c_str());
    for (size_t i = 0; i < points.size(); ++i) {
      const platform::RestorePoint& p = points[i];
      std::fprintf(out, "%3zu  %s  %-8s %s\n", i + 1, p.time.c_str(), p.job.c_str(),
                   p.list.filename().string().c_str());
      for (const platform::RestoreEntry& e : p.entries) {
        using Kind = platform::RestoreEntry::Kind;
        const char* what = e.kind == Kind::kReplaced  ? "replaced"
                           : e.kind == Kind::kDeleted ? "deleted "
                           : e.kind == Kind::kCreated ? "created "
                           : e.kind == Kind::kMkdir   ? "new dir "
                                                      : "rem. dir";
        std::fprintf(out, "       %s %s", what, e.target.string().c_str());
        if (!e.backup.empty())
          std::fprintf(out, "  (original: %s)", e.backup.filename().string().c_str());
        std::fputc('\n', out);
      }
    }
    return true;
  }
  const std::string wanted = Trim(job.paths[1]);
  const platform::RestorePoint* chosen = nullptr;
  for (size_t i = 0; i < points.size(); ++i) {
    if (wanted == std::to_string(i + 1) || wanted == points[i].list.filename().string())
      chosen = &points[i];
  }
  if (chosen == nullptr) {
    std::fprintf(err, "zkqmerge-cli: no restore point %s in %s (see 'restore %s')\n",
                 wanted.c_str(), dir.string().c_str(), job.paths[0].c_str());
    return false;
  }
  return RunRestoreQueued(chosen->list) == JobResult::kSucceeded;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  Options opt;
  try {
    opt = Parse(args);
    if (opt.help) {
      std::fputs(kUsage, out);
      return kExitOk;
    }
    // Check every job's words before the first one runs.
    for (const CliJob& job : opt.jobs)
      if (job.suffix) SuffixToGbk(*job.suffix);
  } catch (const UsageError& e) {
    std::fprintf(err, "zkqmerge-cli: %s\nTry 'zkqmerge-cli --help'.\n", e.message.c_str());
    return kExitUsage;
  }

  if (opt.programDir) SetProgramDirOverride(platform::PathFromUtf8(*opt.programDir));
  // A switch that an earlier run left unfinished in these folders is completed before anything
  // is checked or read there, "Log.txt" included.
  std::vector<std::string> recovered;
  try {
    recovered = RecoverFolders(FoldersOf(opt.jobs));
  } catch (const FileError& e) {
    std::fprintf(err, "zkqmerge-cli: %s: %s\n", e.reason().c_str(), e.path().string().c_str());
    return kExitFailed;
  }
  try {
    Log().LoadLogFile();
  } catch (const FileError& e) {
    std::fprintf(err, "zkqmerge-cli: cannot read Log.txt: %s\n", e.what());
    return kExitFailed;
  }

  ConsoleObserver console(out, opt.verbose);
  Log().AddObserver(&console);
  for (const std::string& line : recovered) Log().LogLine(line);
  int status = kExitOk;
  for (const CliJob& job : opt.jobs) {
    JobParams params;
    std::vector<std::string> paths;
    if (job.restore) {
      if (!RunRestoreJob(job, out, err)) {
        status = kExitFailed;
        break;
      }
      continue;
    }
    if (job.batch) {
      // The window takes the file name as typed, untrimmed.
      const fs::path config = platform::PathFromUtf8(job.paths[0]);
      if (!platform::CurrentEnv()->IsRegularFile(config)) {
        std::fprintf(err, "文件 %s不存在\n", job.paths[0].c_str());
        status = kExitFailed;
        break;
      }
      // A skipped slave zone or an early end is no success: a script must not take a partial
      // merge for a whole one.
      if (!RunBatchQueued(config).Complete()) {
        status = kExitFailed;
        break;
      }
      continue;
    }
    if (job.twoPath != nullptr) {
      if (!CheckTwoPaths(job, paths, err)) {
        status = kExitFailed;
        break;
      }
      params.Mode = job.twoPath->mode;
    } else if (job.cleanup != Cleanup::kNone) {
      if (!CheckCleanup(job, paths, err)) {
        status = kExitFailed;
        break;
      }
      if (job.cleanup == Cleanup::kAccounts) {
        params.Mode = 7;
        paths.push_back(job.before);
        paths.push_back(job.minLevel);
        paths.push_back(job.clearDeleted ? "1" : "0");
      } else if (job.cleanup == Cleanup::kGuilds) {
        params.Mode = 8;
        paths.push_back(job.number);
      } else {
        params.Mode = 10;
      }
    } else {
      if (!CheckServer(job, paths, err)) {
        status = kExitFailed;
        break;
      }
      Process().duplicateNameSuffix = job.suffix ? SuffixToGbk(*job.suffix) : std::string();
      params.Mode = 4;
    }
    for (size_t k = 0; k < paths.size(); ++k) params.Param[k] = paths[k];
    if (RunQueued(std::move(params)) != JobResult::kSucceeded) {
      status = kExitFailed;
      break;
    }
  }
  console.ClearStatus();
  Log().RemoveObserver(&console);
  std::fflush(out);
  return status;
}

}  // namespace zkq::cli
