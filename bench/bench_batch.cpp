// Times the batch multi-zone merge (RunBatch, in-process: layout probes, then for each slave zone
// the account, character index and character data merges with the item renumbering) of K
// generated slave zones into one generated main zone, all of N characters, whose names clash for
// 30 percent, against a plain `cp` of the files involved (Id.db, Hum.db and Kem.db of every zone),
// and reports the peak resident memory.
//
// The zones and the batch configuration file are generated first (not timed). The `cp` is timed
// before and after the merge, on the same bytes (the original files), and the smaller time is
// reported, so that both sides see the page cache alike; dirty pages are written back (`sync`, not
// timed) before each timed step.
//
// Usage: bench_batch [--chars N] [--slaves K] [--dir FOLDER] [--keep]
//   --chars N    characters per zone (default 10000)
//   --slaves K   slave zones (default 3)
//   --dir D      work folder (default: a new folder under the system's temporary folder)
//   --keep       leave the zones, the merged files and the rename lists in the work folder
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
#include "common/rename_lists.h"
#include "dbfiles/filedb.h"
#include "jobs/batch.h"
#include "platform/codepage.h"
#include "zonegen.h"

namespace fs = std::filesystem;
using namespace zkq;
using namespace zkq::bench;

namespace {

constexpr double kClash = 0.3;
constexpr const char* kSuffix = "\xA1\xEF";  // "★", GBK

// The three database files of each zone, by the name of the zone's folder.
struct ZoneFiles {
  std::string name;
  fs::path id, hum, kem;
};

ZoneFiles FilesOf(const std::string& name, const zonegen::ZoneSummary& z) {
  return {name, z.idPath, z.humPath, z.kemPath};
}

// Copies every zone's three files into `to`/<zone name>/ with `cp`, in one shell.
Timing TimeCp(const std::vector<ZoneFiles>& zones, const fs::path& to) {
  std::string command;
  for (const ZoneFiles& z : zones) {
    fs::create_directories(to / z.name);
    if (!command.empty()) command += " && ";
    command += "cp " + Quoted(z.id) + " " + Quoted(z.hum) + " " + Quoted(z.kem) + " " +
               Quoted(to / z.name) + "/";
  }
  return TimeCommand(command);
}

int RunOnce(const fs::path& work, int chars, int slaves, bool keep) {
  std::error_code ec;
  fs::remove_all(work, ec);
  fs::create_directories(work);
  const fs::path scratch = work / "scratch";
  fs::create_directories(scratch);

  zonegen::ZoneOptions o;
  o.characters = chars;
  o.clash = kClash;
  o.seed = 1;
  zonegen::BatchSummary batch;
  const double genTime =
      Seconds([&] { batch = zonegen::GenerateBatch(work / "zones", o, slaves); });
  std::vector<ZoneFiles> zones = {FilesOf("main", batch.main)};
  for (size_t k = 0; k < batch.slaves.size(); ++k)
    zones.push_back(FilesOf("slave" + std::to_string(k + 1), batch.slaves[k]));
  double bytes = 0;
  for (const ZoneFiles& z : zones)
    for (const fs::path& f : {z.id, z.hum, z.kem}) bytes += static_cast<double>(fs::file_size(f));
  std::printf(
      "zones: 1 main + %d slave zones x %d characters (clash %.1f) in %s, %.1f MiB in their "
      "Id.db, Hum.db and Kem.db; generated in %.2f s (not timed)\n",
      slaves, chars, kClash, work.string().c_str(), MiB(bytes), genTime);

  const Timing cpBefore = TimeCp(zones, scratch / "cp1");

  // The batch writes its rename lists into the program folder and "Log.txt" into the current
  // folder: both are the scratch folder.
  const fs::path oldCwd = fs::current_path();
  fs::current_path(scratch);
  SetProgramDirOverride(scratch);
  Process().duplicateNameSuffix = kSuffix;
  StartTimedStep();
  const double rssStart = ProcStatus("VmRSS");
  const double maxRssBefore = MaxRss();
  const bool hwm = ResetPeakRss() && ProcStatus("VmHWM") >= 0;
  BatchOutcome outcome;
  Timing merge;
  merge.work = Seconds([&] { outcome = RunBatch(batch.configPath); });
  merge.flush = Seconds(Sync);
  const double mergePeak = hwm ? ProcStatus("VmHWM") : -1;
  const double maxRssAfter = MaxRss();
  fs::current_path(oldCwd);

  if (!outcome.Complete()) {
    ClearProgramDirOverride();
    std::fprintf(stderr, "bench_batch: the batch did not merge every zone; log:\n");
    for (const std::string& line : Log().Lines())
      std::fprintf(stderr, "  %s\n", platform::GbkToDisplay(line).c_str());
    return 1;
  }

  // The same bytes as before: the copies of the original files.
  std::vector<ZoneFiles> copies;
  for (const ZoneFiles& z : zones) {
    const fs::path d = scratch / "cp1" / z.name;
    copies.push_back({z.name, d / "Id.db", d / "Hum.db", d / "Kem.db"});
  }
  const Timing cpAfter = TimeCp(copies, scratch / "cp2");
  const Timing cp = cpBefore.total() <= cpAfter.total() ? cpBefore : cpAfter;
  fs::remove_all(scratch / "cp1", ec);
  fs::remove_all(scratch / "cp2", ec);

  int merged = 0;
  {
    TFileDB kem(batch.main.kemPath);
    merged = kem.NameCount();
  }
  int generated = batch.main.characters;
  std::string renames;
  for (int k = 1; k <= slaves; ++k) {
    generated += batch.slaves[static_cast<size_t>(k - 1)].characters;
    renames += " " + std::to_string(CountLines(AccountRenameListPath(k))) + "/" +
               std::to_string(CountLines(CharRenameListPath(k)));
  }
  ClearProgramDirOverride();

  std::printf(
      "cp of the %zu files (%.1f MiB), + sync: before the batch %.3f + %.3f s, after %.3f + "
      "%.3f s; the faster: %.3f + %.3f = %.3f s\n",
      zones.size() * 3, MiB(bytes), cpBefore.work, cpBefore.flush, cpAfter.work, cpAfter.flush,
      cp.work, cp.flush, cp.total());
  std::printf(
      "batch merge (RunBatch, in-process), + sync: %.3f + %.3f = %.3f s\n"
      "  ratio to cp: %.2f x until the work returns, %.2f x until everything is on disk\n",
      merge.work, merge.flush, merge.total(), merge.work / cp.work, merge.total() / cp.total());
  std::printf(
      "  main zone after the batch: %d characters in Kem.db (generated %d); account/character "
      "renames per zone:%s; ItemCounter %u\n",
      merged, generated, renames.c_str(), Process().itemCounter);
  std::printf("  Log.txt: %zu lines\n", CountLines(scratch / "Log.txt"));
  // The process-wide peak takes in the memory warmed before the batch; the batch's own peak
  // (VmHWM, reset at its start) is the figure that counts where there is one.
  if (hwm)
    std::printf(
        "peak resident memory of the batch: %.1f MiB, %.1f MiB above the %.1f MiB resident at "
        "its start\n",
        MiB(mergePeak), MiB(mergePeak - rssStart), MiB(rssStart));
  else
    std::printf("peak resident memory (ru_maxrss): before the batch %.1f MiB, after %.1f MiB\n",
                MiB(maxRssBefore), MiB(maxRssAfter));
  std::fflush(stdout);

  if (!keep) fs::remove_all(work, ec);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  SetProgramName("bench_batch");
  int chars = 10000, slaves = 3;
  bool keep = false;
  fs::path work;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--chars" && i + 1 < argc) {
      chars = std::atoi(argv[++i]);
    } else if (a == "--slaves" && i + 1 < argc) {
      slaves = std::atoi(argv[++i]);
    } else if (a == "--dir" && i + 1 < argc) {
      work = argv[++i];
    } else if (a == "--keep") {
      keep = true;
    } else {
      std::fprintf(stderr, "Usage: bench_batch [--chars N] [--slaves K] [--dir FOLDER] [--keep]\n");
      return 2;
    }
  }
  if (chars < 1 || slaves < 1 || slaves > 1000) {
    std::fprintf(stderr, "bench_batch: --chars takes a positive number, --slaves 1 to 1000\n");
    return 2;
  }
  if (work.empty())
    work = fs::temp_directory_path() / ("zkq-bench-batch-" + std::to_string(getpid()));
  return RunOnce(work, chars, slaves, keep);
}
