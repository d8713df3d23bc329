// Times the server merge (job mode 4: backups and layout probe of both character data files,
// account merge, character index merge, character data merge with the item renumbering) on two
// generated zones of N characters each whose names clash for 30 percent, against a plain `cp` of
// the two character data files, and reports the peak resident memory.
//
// The zones are generated first (not timed). The `cp` is timed before and after the merge, on
// the same bytes (the two original Kem.db files), and the smaller time is reported, so that both
// sides see the page cache alike; dirty pages are written back (`sync`, not timed) before each
// timed step.
//
// Usage: bench_server_merge [--chars N] [--double] [--dir FOLDER] [--keep]
//   --chars N   characters per zone (default 20000)
//   --double    run N and 2 x N, each in a process of its own, to show how memory grows
//   --dir D     work folder (default: a new folder under the system's temporary folder)
//   --keep      leave the zones, the merged files and the rename lists in the work folder
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
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

// Copies the two files into `to` (as main/Kem.db and slave/Kem.db) with `cp`.
Timing TimeCp(const fs::path& mainKem, const fs::path& slaveKem, const fs::path& to) {
  fs::create_directories(to / "main");
  fs::create_directories(to / "slave");
  return TimeCommand("cp " + Quoted(mainKem) + " " + Quoted(to / "main" / "Kem.db") + " && cp " +
                     Quoted(slaveKem) + " " + Quoted(to / "slave" / "Kem.db"));
}

int RunOnce(const fs::path& work, int chars, bool keep) {
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work);
  const fs::path mainDir = work / "main", slaveDir = work / "slave", scratch = work / "scratch";
  fs::create_directories(scratch);

  zonegen::ZoneOptions o;
  o.characters = chars;
  o.clash = kClash;
  o.seed = 1;
  zonegen::ZoneSummary mainZone, slaveZone;
  const double genTime = Seconds([&] {
    mainZone = zonegen::GenerateZone(mainDir, o);
    o.seed = 2;
    slaveZone = zonegen::GenerateZone(slaveDir, o);
  });
  const double kemBytes =
      static_cast<double>(fs::file_size(mainZone.kemPath) + fs::file_size(slaveZone.kemPath));
  std::printf(
      "zones: 2 x %d characters (clash %.1f) in %s, Kem.db %.1f + %.1f MiB, generated in "
      "%.2f s (not timed)\n",
      chars, kClash, work.string().c_str(), MiB(double(fs::file_size(mainZone.kemPath))),
      MiB(double(fs::file_size(slaveZone.kemPath))), genTime);

  const Timing cpBefore = TimeCp(mainZone.kemPath, slaveZone.kemPath, scratch / "cp1");

  // The merge writes its rename lists into the program folder and "Log.txt" into the current
  // folder: both are the scratch folder.
  const fs::path oldCwd = fs::current_path();
  fs::current_path(scratch);
  SetProgramDirOverride(scratch);
  Process().duplicateNameSuffix = kSuffix;
  Sync();
  const double rssStart = ProcStatus("VmRSS");
  const double maxRssBefore = MaxRss();
  const bool hwm = ResetPeakRss() && ProcStatus("VmHWM") >= 0;
  JobResult result = JobResult::kFailed;
  Timing merge;
  merge.work = Seconds([&] {
    result = RunJob(JobParams{
        4,
        {mainZone.idPath.string(), slaveZone.idPath.string(), mainZone.humPath.string(),
         slaveZone.humPath.string(), mainZone.kemPath.string(), slaveZone.kemPath.string()}});
  });
  merge.flush = Seconds(Sync);
  const double mergePeak = hwm ? ProcStatus("VmHWM") : -1;
  const double maxRssAfter = MaxRss();
  fs::current_path(oldCwd);
  ClearProgramDirOverride();

  if (result != JobResult::kSucceeded) {
    std::fprintf(stderr, "bench_server_merge: the merge did not succeed; log:\n");
    for (const std::string& line : Log().Lines())
      std::fprintf(stderr, "  %s\n", platform::GbkToDisplay(line).c_str());
    return 1;
  }

  // The same bytes as before: the copies of the original files.
  const Timing cpAfter = TimeCp(scratch / "cp1" / "main" / "Kem.db",
                                scratch / "cp1" / "slave" / "Kem.db", scratch / "cp2");
  const Timing cp = cpBefore.total() <= cpAfter.total() ? cpBefore : cpAfter;
  fs::remove_all(scratch / "cp1", ec);
  fs::remove_all(scratch / "cp2", ec);

  int merged = 0;
  {
    TFileDB kem(mainZone.kemPath);
    merged = kem.NameCount();
  }
  const size_t accountRenames = CountLines(
      scratch / platform::PathFromUtf8("ID\xE6\x9B\xB4\xE5\x90\x8D\xE5\x88\x97\xE8\xA1\xA8.txt"));
  const size_t charRenames = CountLines(
      scratch /
      platform::PathFromUtf8(
          "\xE4\xBA\xBA\xE7\x89\xA9\xE6\x9B\xB4\xE5\x90\x8D\xE5\x88\x97\xE8\xA1\xA8.txt"));

  std::printf(
      "cp of the two Kem.db files (%.1f MiB), + sync: before the merge %.3f + %.3f s, after "
      "%.3f + %.3f s; the faster: %.3f + %.3f = %.3f s\n",
      MiB(kemBytes), cpBefore.work, cpBefore.flush, cpAfter.work, cpAfter.flush, cp.work, cp.flush,
      cp.total());
  std::printf(
      "server merge (job mode 4, in-process), + sync: %.3f + %.3f = %.3f s\n"
      "  ratio to cp: %.2f x until the work returns, %.2f x until everything is on disk\n",
      merge.work, merge.flush, merge.total(), merge.work / cp.work, merge.total() / cp.total());
  std::printf(
      "  main zone after the merge: %d characters in Kem.db (%d + %d), %zu account "
      "renames, %zu character renames, ItemCounter %u (generated items %lld + %lld)\n",
      merged, mainZone.characters, slaveZone.characters, accountRenames, charRenames,
      Process().itemCounter, static_cast<long long>(mainZone.items),
      static_cast<long long>(slaveZone.items));
  std::printf("  Log.txt: %zu lines\n", CountLines(scratch / "Log.txt"));
  std::printf("peak resident memory (ru_maxrss): before the merge %.1f MiB, after %.1f MiB\n",
              MiB(maxRssBefore), MiB(maxRssAfter));
  if (hwm)
    std::printf(
        "  the merge's own peak: %.1f MiB, %.1f MiB above the %.1f MiB resident at its "
        "start\n",
        MiB(mergePeak), MiB(mergePeak - rssStart), MiB(rssStart));
  std::printf("PEAK-ABOVE-START-MIB %d %.1f\n", chars, hwm ? MiB(mergePeak - rssStart) : -1.0);
  std::fflush(stdout);

  if (!keep) fs::remove_all(work, ec);
  return 0;
}

// Runs this program again for one size and passes its output through; the memory figure of its
// last line, or -1.
double RunChild(const std::string& self, int chars, const fs::path& work, bool keep) {
  const std::string cmd = Quoted(self) + " --chars " + std::to_string(chars) + " --dir " +
                          Quoted(work) + (keep ? " --keep" : "");
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  double peak = -1;
  char buf[4096];
  while (std::fgets(buf, sizeof buf, p)) {
    int n = 0;
    double v = 0;
    if (std::sscanf(buf, "PEAK-ABOVE-START-MIB %d %lf", &n, &v) == 2) {
      peak = v;
      continue;
    }
    std::fputs(buf, stdout);
    std::fflush(stdout);
  }
  return pclose(p) == 0 ? peak : -1;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("bench_server_merge");
  int chars = 20000;
  bool twice = false, keep = false;
  fs::path work;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--chars" && i + 1 < argc) {
      chars = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      work = argv[++i];
    } else if (a == "--double") {
      twice = true;
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr,
                   "Usage: bench_server_merge [--chars N] [--double] [--dir FOLDER] [--keep]\n");
      return 2;
    }
  }
  if (chars < 1) {
    std::fprintf(stderr, "bench_server_merge: --chars takes a positive number\n");
    return 2;
  }
  if (work.empty())
    work = fs::temp_directory_path() / ("zkq-bench-merge-" + std::to_string(getpid()));

  if (!twice) return RunOnce(work, chars, keep);

  std::error_code ec;
  const std::string self = fs::read_symlink("/proc/self/exe", ec).string();
  const std::string program = ec ? std::string(argv[0]) : self;
  std::printf("== %d characters per zone ==\n", chars);
  const double one = RunChild(program, chars, work / "n", keep);
  std::printf("== %d characters per zone ==\n", 2 * chars);
  const double two = RunChild(program, 2 * chars, work / "2n", keep);
  if (one < 0 || two < 0) return 1;
  std::printf("memory the merge added: %.1f MiB for %d characters, %.1f MiB for %d\n", one, chars,
              two, 2 * chars);
  if (!keep) fs::remove_all(work, ec);
  return 0;
}
