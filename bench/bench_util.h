// Helpers the benchmarks share: wall-clock timing, shell commands (`cp`, `sync`), and the
// process's resident memory from getrusage and /proc (POSIX; the /proc figures are Linux only).
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zkq::bench {

// Wall-clock seconds that `fn` takes (steady clock).
double Seconds(const std::function<void()>& fn);

double MiB(double bytes);

// Peak resident memory of the process so far, in bytes.
double MaxRss();

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), or -1 where there is none.
double ProcStatus(std::string_view field);

// Starts a new peak for VmHWM (Linux 4.0 and later); false where that is not possible.
bool ResetPeakRss();

// `p` in single quotes for the shell, with any single quote in it escaped.
std::string Quoted(const std::filesystem::path& p);

// The name Run puts before its failure message (default "bench").
void SetProgramName(const char* name);

// Runs `command` in the shell; on failure says so on stderr and ends the process with exit code 1.
void Run(const std::string& command);

// Writes dirty pages back to the disk (`sync`).
void Sync();

struct Timing {
  double work;   // until the work returned (its writes may still sit in the page cache)
  double flush;  // the `sync` right after it, which writes them to the disk
  double total() const { return work + flush; }
};

// A virtual machine that hands free memory back to its host pays a fault in the host the first
// time a freed page is used again, so a step that takes fresh page-cache pages can cost several
// times what it costs on a real machine, depending on what ran before. This touches a few
// gigabytes and frees them again, so that the pages the next step takes are ready.
void WarmFreeMemory();

// What comes before every timed step: dirty pages written back (`sync`), then WarmFreeMemory.
void StartTimedStep();

// Starts a timed step (not timed), then times `command` and the `sync` after it.
Timing TimeCommand(const std::string& command);

// The number of lines in the file at `p` (0 where it cannot be read).
size_t CountLines(const std::filesystem::path& p);

// The median of the values (the mean of the middle two for an even count); 0 for none.
double Median(std::vector<double> values);

// This process's input and output so far, from /proc/self/io (Linux; `ok` false elsewhere):
// bytes passed to and from read and write calls, the number of those calls, and the bytes the
// storage layer read and was asked to write.
struct ProcIo {
  bool ok = false;
  double rchar = 0, wchar = 0, syscr = 0, syscw = 0, readBytes = 0, writeBytes = 0;
};
ProcIo ReadProcIo();
ProcIo operator-(const ProcIo& a, const ProcIo& b);

// One line on the calls and bytes of a difference of two readings.
std::string DescribeIo(const ProcIo& io);

}  // namespace zkq::bench
