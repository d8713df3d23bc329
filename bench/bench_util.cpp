#include "bench_util.h"

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>

namespace zkq::bench {

namespace {

const char* programName = "bench";

}  // namespace

double Seconds(const std::function<void()>& fn) {
  const auto t0 = std::chrono::steady_clock::now();
  fn();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double MiB(double bytes) {
  return bytes / (1024.0 * 1024.0);
}

double MaxRss() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
#ifdef __APPLE__
  return static_cast<double>(u.ru_maxrss);
#else
  return static_cast<double>(u.ru_maxrss) * 1024.0;
#endif
}

double ProcStatus(std::string_view field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size(), field) == 0 && line.size() > field.size() &&
        line[field.size()] == ':')
      return std::atof(line.c_str() + field.size() + 1) * 1024.0;
  }
  return -1;
}

bool ResetPeakRss() {
  std::ofstream out("/proc/self/clear_refs");
  out << "5";
  out.flush();
  return static_cast<bool>(out);
}

std::string Quoted(const std::filesystem::path& p) {
  std::string q = "'";
  for (char c : p.string()) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

void SetProgramName(const char* name) {
  programName = name;
}

void Run(const std::string& command) {
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "%s: failed: %s\n", programName, command.c_str());
    std::exit(1);
  }
}

void Sync() {
  Run("sync");
}

void WarmFreeMemory() {
  constexpr size_t kBytes = size_t{3} << 30;
  constexpr size_t kPage = 4096;
  // Touched through a volatile pointer, so that the compiler keeps every store.
  auto* p = static_cast<volatile char*>(std::malloc(kBytes));
  if (p == nullptr) return;
  for (size_t i = 0; i < kBytes; i += kPage) p[i] = 1;
  std::free(const_cast<char*>(p));
}

void StartTimedStep() {
  Sync();
  WarmFreeMemory();
}

Timing TimeCommand(const std::string& command) {
  StartTimedStep();
  Timing t;
  t.work = Seconds([&] { Run(command); });
  t.flush = Seconds(Sync);
  return t;
}

size_t CountLines(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  size_t n = 0;
  std::string line;
  while (std::getline(in, line)) ++n;
  return n;
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

ProcIo ReadProcIo() {
  ProcIo io;
  std::ifstream in("/proc/self/io");
  std::string key;
  double value = 0;
  while (in >> key >> value) {
    io.ok = true;
    if (key == "rchar:") io.rchar = value;
    if (key == "wchar:") io.wchar = value;
    if (key == "syscr:") io.syscr = value;
    if (key == "syscw:") io.syscw = value;
    if (key == "read_bytes:") io.readBytes = value;
    if (key == "write_bytes:") io.writeBytes = value;
  }
  return io;
}

ProcIo operator-(const ProcIo& a, const ProcIo& b) {
  ProcIo d;
  d.ok = a.ok && b.ok;
  d.rchar = a.rchar - b.rchar;
  d.wchar = a.wchar - b.wchar;
  d.syscr = a.syscr - b.syscr;
  d.syscw = a.syscw - b.syscw;
  d.readBytes = a.readBytes - b.readBytes;
  d.writeBytes = a.writeBytes - b.writeBytes;
  return d;
}

std::string DescribeIo(const ProcIo& io) {
  if (!io.ok) return "(no /proc/self/io here)";
  char buf[320];
  std::snprintf(buf, sizeof buf,
                "read and write calls: %.0f reads (%.1f MiB), %.0f writes (%.1f MiB); the disk: "
                "%.1f MiB read, %.1f MiB written (copies inside the kernel count in neither call "
                "figure, only in the disk's)",
                io.syscr, MiB(io.rchar), io.syscw, MiB(io.wchar), MiB(io.readBytes),
                MiB(io.writeBytes));
  return buf;
}

}  // namespace zkq::bench
