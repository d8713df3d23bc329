// Times the account and character cleanup job (mode 7, as the window and the command line run
// it: flag scan, criteria scan, deletions, account scan, list files, the three rebuilds and the
// switch of every changed file with its restore point) on a generated zone of N characters,
// against a plain `cp` of the zone's three files.
//
// The level threshold and the cut-off date are chosen for the generator's spread of levels and
// dates so that about half of the characters go: a regular character's level is 1 to 80 (one in
// four: 1 to 150) and its record was last written on a day of 2019 to 2024, so level < 35 takes
// about 37 percent, the cut-off 2020-01-01 about a sixth of the rest, and the deleted flag (one
// character in thirty) a little more; heroes go with their owners.
//
// The zone is generated once (not timed). Each round copies it afresh (not timed), then times
// `cp` of the three files and the cleanup, each starting after a `sync` and each including the
// `sync` that puts its writes on the disk. The report gives every round, the medians and their
// ratio, the cleanup's reads and writes (/proc/self/io) and its peak memory.
//
// Usage: bench_cleanup [--chars N] [--runs R] [--dir FOLDER] [--keep]
//   --chars N   characters in the zone, heroes included (default 20000)
//   --runs R    rounds (default 5)
//   --dir D     work folder (default: a new folder under the system's temporary folder)
//   --keep      leave the work folder (the last round's cleaned zone and lists)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "common/paths.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "dbfiles/filedb.h"
#include "dbfiles/fileiddb.h"
#include "jobs/job.h"
#include "platform/codepage.h"
#include "zonegen.h"

namespace fs = std::filesystem;
using namespace zkq;
using namespace zkq::bench;

namespace {

struct Round {
  Timing cp, clean;
  ProcIo io;
  double peakAboveStart = -1;
};

int RunRounds(const fs::path& work, int chars, int runs) {
  const fs::path pristine = work / "pristine", zone = work / "zone", scratch = work / "scratch";
  zonegen::ZoneOptions o;
  o.characters = chars;
  o.seed = 1;
  zonegen::ZoneSummary generated;
  const double genTime = Seconds([&] { generated = zonegen::GenerateZone(pristine, o); });
  const double zoneBytes =
      static_cast<double>(fs::file_size(generated.idPath) + fs::file_size(generated.humPath) +
                          fs::file_size(generated.kemPath));
  std::printf(
      "zone: %d characters (%d heroes, %d flagged deleted) and %d accounts, %.1f MiB, generated "
      "in %.2f s (not timed); %d rounds\n",
      generated.characters, generated.heroes, generated.charDeleted, generated.accounts,
      MiB(zoneBytes), genTime, runs);

  const JobParams params{7,
                         {(zone / "Id.db").string(), (zone / "Hum.db").string(),
                          (zone / "Kem.db").string(), "2020-01-01", "35", "1"}};
  const fs::path oldCwd = fs::current_path();
  std::vector<Round> rounds;
  for (int r = 1; r <= runs; ++r) {
    std::error_code ec;
    fs::remove_all(zone, ec);
    fs::remove_all(scratch, ec);
    fs::create_directories(scratch / "cp");
    Run("cp -r " + Quoted(pristine) + " " + Quoted(zone));

    Round round;
    round.cp = TimeCommand("cp " + Quoted(zone / "Id.db") + " " + Quoted(zone / "Hum.db") + " " +
                           Quoted(zone / "Kem.db") + " " + Quoted(scratch / "cp"));
    fs::remove_all(scratch / "cp", ec);

    // The lists and "Log.txt" go to the scratch folder, on the zone's volume.
    fs::current_path(scratch);
    SetProgramDirOverride(scratch);
    Log().Reset();
    ResetProcessState();
    StartTimedStep();
    const double rssStart = ProcStatus("VmRSS");
    const bool hwm = ResetPeakRss() && ProcStatus("VmHWM") >= 0;
    JobResult result = JobResult::kFailed;
    const ProcIo io0 = ReadProcIo();
    round.clean.work = Seconds([&] { result = RunJob(params); });
    round.clean.flush = Seconds(Sync);
    round.io = ReadProcIo() - io0;
    if (hwm) round.peakAboveStart = ProcStatus("VmHWM") - rssStart;
    fs::current_path(oldCwd);
    ClearProgramDirOverride();
    // The rebuild's queued notifications, which the window handles on its own thread.
    Log().DeliverQueued();
    if (result != JobResult::kSucceeded) {
      std::fprintf(stderr, "bench_cleanup: the cleanup did not succeed; log:\n");
      for (const std::string& line : Log().Lines())
        std::fprintf(stderr, "  %s\n", platform::GbkToDisplay(line).c_str());
      return 1;
    }
    std::printf("round %d: cp %.3f + %.3f = %.3f s; cleanup %.3f + %.3f = %.3f s; ratio %.2f\n", r,
                round.cp.work, round.cp.flush, round.cp.total(), round.clean.work,
                round.clean.flush, round.clean.total(), round.clean.total() / round.cp.total());
    std::fflush(stdout);
    rounds.push_back(round);
  }

  std::vector<double> cps, cleans, ratios, peaks;
  for (const Round& r : rounds) {
    cps.push_back(r.cp.total());
    cleans.push_back(r.clean.total());
    ratios.push_back(r.clean.total() / r.cp.total());
    peaks.push_back(r.peakAboveStart);
  }
  int charsLeft = 0, accountsLeft = 0;
  {
    TFileDB kem(zone / "Kem.db");
    charsLeft = kem.NameCount();
    TFileIDDB id(zone / "Id.db");
    accountsLeft = id.NameList().Count();
  }
  std::printf(
      "median of %d rounds, each with its sync: cp of the three files (%.1f MiB) %.3f s, "
      "cleanup %.3f s\n"
      "  ratio of the medians %.2f x (median of the rounds' ratios %.2f x); target 1.0 x\n",
      runs, MiB(zoneBytes), Median(cps), Median(cleans), Median(cleans) / Median(cps),
      Median(ratios));
  std::printf("  the cleanup's %s\n", DescribeIo(rounds.back().io).c_str());
  std::printf(
      "  left: %d of %d characters in Kem.db (%.1f %% removed), %d of %d accounts in Id.db\n",
      charsLeft, generated.characters,
      100.0 * static_cast<double>(generated.characters - charsLeft) / generated.characters,
      accountsLeft, generated.accounts);
  if (peaks.front() >= 0)
    std::printf("  peak memory above the cleanup's start: %.1f MiB (median)\n", MiB(Median(peaks)));
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("bench_cleanup");
  int chars = 20000, runs = 5;
  bool keep = false;
  fs::path work;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--chars" && i + 1 < argc) {
      chars = std::atoi(argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      work = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "Usage: bench_cleanup [--chars N] [--runs R] [--dir FOLDER] [--keep]\n");
      return 2;
    }
  }
  if (chars < 1 || runs < 1) {
    std::fprintf(stderr, "bench_cleanup: --chars and --runs take positive numbers\n");
    return 2;
  }
  if (work.empty())
    work = fs::temp_directory_path() / ("zkq-bench-cleanup-" + std::to_string(getpid()));
  std::error_code ec;
  fs::remove_all(work, ec);
  const int status = RunRounds(work, chars, runs);
  if (!keep) fs::remove_all(work, ec);
  return status;
}
