#include "bench_util.h"

#include <sys/resource.h>

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

Timing TimeCommand(const std::string& command) {
  Sync();
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

}  // namespace zkq::bench
