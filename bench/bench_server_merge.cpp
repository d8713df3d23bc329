// Times the server merge job (mode 4, as the window and the command line run it: backups and
// layout probes, account merge, character index merge, character data merge, and the switch
// of every changed file with its restore point) on two generated zones of N characters each
// whose names clash for 30 percent, against a plain `cp` of the two character data files.
//
// The zones are generated once (not timed). Each round copies them afresh (not timed), then
// times `cp` of the two Kem.db files and the merge, each starting after a `sync` and each
// including the `sync` that puts its writes on the disk. The report gives every round, the
// medians and their ratio, the merge's reads and writes (/proc/self/io) and its peak memory.
//
// Usage: bench_server_merge [--chars N] [--runs R] [--dir FOLDER] [--keep] [--phases]
//   --chars N   characters per zone (default 20000)
//   --runs R    rounds (default 5)
//   --dir D     work folder (default: a new folder under the system's temporary folder)
//   --keep      leave the work folder (the last round's merged zones and lists)
//   --phases    print, for every round, when each log line and each run of progress lines began
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "common/paths.h"
#include "common/process_state.h"
#include "common/progress_log.h"
#include "dbfiles/filedb.h"
#include "jobs/job.h"
#include "platform/codepage.h"
#include "zonegen.h"

namespace fs = std::filesystem;
using namespace zkq;
using namespace zkq::bench;

namespace {

constexpr double kClash = 0.3;
constexpr const char* kSuffix = "\xA1\xEF";  // "★", GBK

// Prints the time since its start at every log line and at the first of each run of progress
// lines with the same text head, so that a slow step of the job shows.
class PhaseClock final : public ProgressLog::Observer {
 public:
  PhaseClock() : start_(std::chrono::steady_clock::now()) {}
  void OnLine(const std::string&, const std::string& text, bool fromLogLine) override {
    const std::string head = text.substr(0, std::min<size_t>(text.size(), 6));
    if (!fromLogLine && head == lastHead_) return;
    lastHead_ = fromLogLine ? std::string() : head;
    const double t =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    std::printf("  %7.3f s  %s%s\n", t, platform::GbkToDisplay(text.substr(0, 40)).c_str(),
                fromLogLine ? "" : " ...");
  }

 private:
  std::chrono::steady_clock::time_point start_;
  std::string lastHead_;
};

struct Round {
  Timing cp, merge;
  ProcIo io;
  double peakAboveStart = -1;
};

int RunRounds(const fs::path& work, int chars, int runs, bool phases) {
  const fs::path pristine = work / "pristine", zone = work / "zone", scratch = work / "scratch";
  fs::create_directories(pristine);
  zonegen::ZoneOptions o;
  o.characters = chars;
  o.clash = kClash;
  o.seed = 1;
  zonegen::ZoneSummary mainZone, slaveZone;
  const double genTime = Seconds([&] {
    mainZone = zonegen::GenerateZone(pristine / "main", o);
    o.seed = 2;
    slaveZone = zonegen::GenerateZone(pristine / "slave", o);
  });
  const double kemBytes =
      static_cast<double>(fs::file_size(mainZone.kemPath) + fs::file_size(slaveZone.kemPath));
  std::printf(
      "zones: 2 x %d characters (clash %.1f), Kem.db %.1f + %.1f MiB, generated in %.2f s (not "
      "timed); %d rounds\n",
      chars, kClash, MiB(double(fs::file_size(mainZone.kemPath))),
      MiB(double(fs::file_size(slaveZone.kemPath))), genTime, runs);

  const fs::path mainDir = zone / "main", slaveDir = zone / "slave";
  const JobParams params{4,
                         {(mainDir / "Id.db").string(), (slaveDir / "Id.db").string(),
                          (mainDir / "Hum.db").string(), (slaveDir / "Hum.db").string(),
                          (mainDir / "Kem.db").string(), (slaveDir / "Kem.db").string()}};
  const fs::path oldCwd = fs::current_path();
  std::vector<Round> rounds;
  for (int r = 1; r <= runs; ++r) {
    std::error_code ec;
    fs::remove_all(zone, ec);
    fs::remove_all(scratch, ec);
    fs::create_directories(scratch);
    Run("cp -r " + Quoted(pristine) + " " + Quoted(zone));

    Round round;
    round.cp = TimeCommand("cp " + Quoted(mainDir / "Kem.db") + " " + Quoted(scratch / "m") +
                           " && cp " + Quoted(slaveDir / "Kem.db") + " " + Quoted(scratch / "s"));
    fs::remove(scratch / "m", ec);
    fs::remove(scratch / "s", ec);

    // The rename lists and "Log.txt" go to the scratch folder, on the zones' volume.
    fs::current_path(scratch);
    SetProgramDirOverride(scratch);
    Log().Reset();
    ResetProcessState();
    Process().duplicateNameSuffix = kSuffix;
    StartTimedStep();
    const double rssStart = ProcStatus("VmRSS");
    const bool hwm = ResetPeakRss() && ProcStatus("VmHWM") >= 0;
    JobResult result = JobResult::kFailed;
    const ProcIo io0 = ReadProcIo();
    std::optional<PhaseClock> clock;
    if (phases) Log().AddObserver(&clock.emplace());
    round.merge.work = Seconds([&] { result = RunJob(params); });
    if (phases) Log().RemoveObserver(&*clock);
    round.merge.flush = Seconds(Sync);
    round.io = ReadProcIo() - io0;
    if (hwm) round.peakAboveStart = ProcStatus("VmHWM") - rssStart;
    fs::current_path(oldCwd);
    ClearProgramDirOverride();
    if (result != JobResult::kSucceeded) {
      std::fprintf(stderr, "bench_server_merge: the merge did not succeed; log:\n");
      for (const std::string& line : Log().Lines())
        std::fprintf(stderr, "  %s\n", platform::GbkToDisplay(line).c_str());
      return 1;
    }
    std::printf("round %d: cp %.3f + %.3f = %.3f s; merge %.3f + %.3f = %.3f s; ratio %.2f\n", r,
                round.cp.work, round.cp.flush, round.cp.total(), round.merge.work,
                round.merge.flush, round.merge.total(), round.merge.total() / round.cp.total());
    std::fflush(stdout);
    rounds.push_back(round);
  }

  std::vector<double> cps, merges, ratios, peaks;
  for (const Round& r : rounds) {
    cps.push_back(r.cp.total());
    merges.push_back(r.merge.total());
    ratios.push_back(r.merge.total() / r.cp.total());
    peaks.push_back(r.peakAboveStart);
  }
  int merged = 0;
  {
    TFileDB kem(mainDir / "Kem.db");
    merged = kem.NameCount();
  }
  std::printf(
      "median of %d rounds, each with its sync: cp of the two Kem.db files (%.1f MiB) %.3f s, "
      "server merge %.3f s\n"
      "  ratio of the medians %.2f x (median of the rounds' ratios %.2f x); target 1.6 x\n",
      runs, MiB(kemBytes), Median(cps), Median(merges), Median(merges) / Median(cps),
      Median(ratios));
  std::printf("  the merge's %s\n", DescribeIo(rounds.back().io).c_str());
  std::printf(
      "  main zone after the merge: %d characters in Kem.db (%d + %d), ItemCounter %u "
      "(generated items %lld + %lld)\n",
      merged, mainZone.characters, slaveZone.characters, Process().itemCounter,
      static_cast<long long>(mainZone.items), static_cast<long long>(slaveZone.items));
  if (peaks.front() >= 0)
    std::printf("  peak memory above the merge's start: %.1f MiB (median)\n", MiB(Median(peaks)));
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("bench_server_merge");
  int chars = 20000, runs = 5;
  bool keep = false, phases = false;
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
    } else if (a == "--phases") {
      phases = true;
    } else {
      std::fprintf(stderr,
                   "Usage: bench_server_merge [--chars N] [--runs R] [--dir FOLDER] [--keep] "
                   "[--phases]\n");
      return 2;
    }
  }
  if (chars < 1 || runs < 1) {
    std::fprintf(stderr, "bench_server_merge: --chars and --runs take positive numbers\n");
    return 2;
  }
  if (work.empty())
    work = fs::temp_directory_path() / ("zkq-bench-merge-" + std::to_string(getpid()));
  std::error_code ec;
  fs::remove_all(work, ec);
  const int status = RunRounds(work, chars, runs, phases);
  if (!keep) fs::remove_all(work, ec);
  return status;
}
