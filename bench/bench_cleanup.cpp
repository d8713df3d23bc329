// Times the account and character cleanup (job mode 7's operation: flag scan, criteria scan,
// deletions, account scan, list files and the three rebuilds) on a generated zone of N
// characters, against a plain `cp` of the zone's three files, and reports the peak resident
// memory.
//
// The level threshold and the cut-off date are chosen for the generator's spread of levels and
// dates so that about half of the characters go: a regular character's level is 1 to 80 (one in
// four: 1 to 150) and its record was last written on a day of 2019 to 2024, so level < 35 takes
// about 37 percent, the cut-off 2020-01-01 about a sixth of the rest, and the deleted flag (one
// character in thirty) a little more; heroes go with their owners.
//
// The zone is generated first (not timed). The `cp` is timed before and after the cleanup, on
// the same bytes (the zone as generated), and the smaller time is reported, so that both sides
// see the page cache alike; dirty pages are written back (`sync`, not timed) before each timed
// step.
//
// Usage: bench_cleanup [--chars N] [--dir FOLDER] [--keep]
//   --chars N   characters in the zone, heroes included (default 20000)
//   --dir D     work folder (default: a new folder under the system's temporary folder)
//   --keep      leave the zone, the cleaned files and the lists in the work folder
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "cleanup/account_cleanup.h"
#include "common/gbk.h"
#include "common/paths.h"
#include "common/progress_log.h"
#include "dbfiles/filedb.h"
#include "dbfiles/fileiddb.h"
#include "platform/codepage.h"
#include "zonegen.h"

namespace fs = std::filesystem;
using namespace zkq;
using namespace zkq::bench;

namespace {

constexpr int32_t kMinLevel = 35;
constexpr double kCutoff = 43831.0;  // 2020-01-01 00:00
constexpr bool kClearDeleted = true;

// Copies the zone's three files from `from` into `to` with `cp`.
Timing TimeCp(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  return TimeCommand("cp " + Quoted(from / "Id.db") + " " + Quoted(from / "Hum.db") + " " +
                     Quoted(from / "Kem.db") + " " + Quoted(to));
}

// Notes when each step of the cleanup reports its first line, to show where the time goes.
class PhaseClock : public ProgressLog::Observer {
 public:
  struct Phase {
    const char* label;
    std::string prefix;  // GBK start of the step's progress texts
    double at = -1;      // seconds from Start(), when its first line came
  };

  void Start() { t0_ = std::chrono::steady_clock::now(); }
  void OnLine(const std::string&, const std::string& text, bool) override {
    for (Phase& p : phases)
      if (p.at < 0 && text.compare(0, p.prefix.size(), p.prefix) == 0)
        p.at = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
  }
  // "label seconds" for every step that reported, each up to the next one (or `end`).
  void Print(double end) const {
    std::printf("  steps:");
    double last = 0;
    const char* label = "name lists built";
    for (const Phase& p : phases) {
      if (p.at < 0) continue;
      std::printf(" %s %.3f,", label, p.at - last);
      last = p.at;
      label = p.label;
    }
    std::printf(" %s %.3f s\n", label, end - last);
  }

  std::vector<Phase> phases = {
      {"flag scan", Gbk("扫描HumDB ")},
      {"criteria scan", Gbk("扫描KemDB ")},
      {"character deletions", Gbk("删除角色")},
      {"hero deletions", Gbk("删除元神角色")},
      {"account scan and lists", Gbk("扫描IDDB ")},
      {"Id.db rebuild", Gbk("重建数据库ID.Db")},
      {"Hum.db rebuild", Gbk("重建数据库Hum.Db")},
      {"Kem.db rebuild", Gbk("重建数据库Kem.Db")},
  };

 private:
  std::chrono::steady_clock::time_point t0_;
};

int RunOnce(const fs::path& work, int chars, bool keep) {
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work);
  const fs::path zoneDir = work / "zone", scratch = work / "scratch";
  fs::create_directories(scratch);

  zonegen::ZoneOptions o;
  o.characters = chars;
  o.seed = 1;
  zonegen::ZoneSummary zone;
  const double genTime = Seconds([&] { zone = zonegen::GenerateZone(zoneDir, o); });
  const auto bytesOf = [](const zonegen::ZoneSummary& z) {
    return static_cast<double>(fs::file_size(z.idPath) + fs::file_size(z.humPath) +
                               fs::file_size(z.kemPath));
  };
  const double zoneBytes = bytesOf(zone);
  std::printf(
      "zone: %d characters (%d heroes, %d flagged deleted) and %d accounts in %s, %.1f MiB, "
      "generated in %.2f s (not timed)\n",
      zone.characters, zone.heroes, zone.charDeleted, zone.accounts, work.string().c_str(),
      MiB(zoneBytes), genTime);

  const Timing cpBefore = TimeCp(zoneDir, scratch / "cp1");

  // The cleanup writes its lists into the program folder and its temporary files into the
  // current folder: both are the scratch folder, on the zone's volume.
  const fs::path oldCwd = fs::current_path();
  fs::current_path(scratch);
  SetProgramDirOverride(scratch);
  Sync();
  const double rssStart = ProcStatus("VmRSS");
  const double maxRssBefore = MaxRss();
  const bool hwm = ResetPeakRss() && ProcStatus("VmHWM") >= 0;
  bool ok = false;
  Timing clean;
  PhaseClock phases;
  Log().AddObserver(&phases);
  phases.Start();
  clean.work = Seconds([&] {
    ok = CleanAccountsAndCharacters(zone.idPath, zone.humPath, zone.kemPath, kClearDeleted,
                                    kMinLevel, kCutoff);
  });
  clean.flush = Seconds(Sync);
  Log().RemoveObserver(&phases);
  // The rebuild's queued notifications, which the window handles on its own thread.
  size_t notifications = 0;
  const double deliverTime = Seconds([&] { notifications = Log().DeliverQueued(); });
  const double cleanPeak = hwm ? ProcStatus("VmHWM") : -1;
  const double maxRssAfter = MaxRss();
  const size_t logLines = Log().Lines().size();
  fs::current_path(oldCwd);
  ClearProgramDirOverride();

  if (!ok) {
    std::fprintf(stderr, "bench_cleanup: the cleanup returned false\n");
    return 1;
  }

  // The same bytes as before: the copy of the zone as generated.
  const Timing cpAfter = TimeCp(scratch / "cp1", scratch / "cp2");
  const Timing cp = cpBefore.total() <= cpAfter.total() ? cpBefore : cpAfter;
  fs::remove_all(scratch / "cp1", ec);
  fs::remove_all(scratch / "cp2", ec);

  int charsLeft = 0, accountsLeft = 0;
  {
    TFileDB kem(zone.kemPath);
    charsLeft = kem.NameCount();
    TFileIDDB id(zone.idPath);
    accountsLeft = id.NameList().Count();
  }
  const auto listLines = [&](std::string_view utf8) {
    return CountLines(scratch / platform::PathFromUtf8(utf8));
  };
  const size_t removedChars = listLines("已删除角色列表.txt");
  const size_t removedHeroes = listLines("已删除元神角色列表.txt");
  const size_t removedAccounts = listLines("已删除帐号列表.txt");

  std::printf(
      "cp of the three files (%.1f MiB), + sync: before the cleanup %.3f + %.3f s, after "
      "%.3f + %.3f s; the faster: %.3f + %.3f = %.3f s\n",
      MiB(zoneBytes), cpBefore.work, cpBefore.flush, cpAfter.work, cpAfter.flush, cp.work, cp.flush,
      cp.total());
  std::printf(
      "cleanup (min level %d, before 2020-01-01, deleted flag %s; in-process), + sync: "
      "%.3f + %.3f = %.3f s\n"
      "  ratio to cp: %.2f x until the work returns, %.2f x until everything is on disk "
      "(target 1.5 x)\n",
      kMinLevel, kClearDeleted ? "on" : "off", clean.work, clean.flush, clean.total(),
      clean.work / cp.work, clean.total() / cp.total());
  phases.Print(clean.work);
  std::printf(
      "  removed: %zu characters and %zu heroes of %d (%.1f %%), %zu accounts of %d; left: %d "
      "characters in Kem.db, %d accounts in Id.db (%.1f MiB)\n",
      removedChars, removedHeroes, zone.characters,
      100.0 * static_cast<double>(zone.characters - charsLeft) / zone.characters, removedAccounts,
      zone.accounts, charsLeft, accountsLeft, MiB(bytesOf(zone)));
  std::printf("  log: %zu lines, %zu of them rebuild notifications delivered in %.3f s\n",
              logLines + notifications, notifications, deliverTime);
  std::printf("peak resident memory (ru_maxrss): before the cleanup %.1f MiB, after %.1f MiB\n",
              MiB(maxRssBefore), MiB(maxRssAfter));
  if (hwm)
    std::printf(
        "  the cleanup's own peak: %.1f MiB, %.1f MiB above the %.1f MiB resident at its "
        "start\n",
        MiB(cleanPeak), MiB(cleanPeak - rssStart), MiB(rssStart));
  std::fflush(stdout);

  if (!keep) fs::remove_all(work, ec);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("bench_cleanup");
  int chars = 20000;
  bool keep = false;
  fs::path work;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--chars" && i + 1 < argc) {
      chars = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      work = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "Usage: bench_cleanup [--chars N] [--dir FOLDER] [--keep]\n");
      return 2;
    }
  }
  if (chars < 1) {
    std::fprintf(stderr, "bench_cleanup: --chars takes a positive number\n");
    return 2;
  }
  if (work.empty())
    work = fs::temp_directory_path() / ("zkq-bench-cleanup-" + std::to_string(getpid()));
  return RunOnce(work, chars, keep);
}
