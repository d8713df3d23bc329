// Runs the command-line runner in the test's process and captures what it prints. Only for
// test programs that link the runner's library (zkqcli).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

namespace zkq::test {

struct CliResult {
  int status = -1;
  std::string out, err;
};

// Everything written to a temporary stream, which is closed.
inline std::string ReadBackAndClose(std::FILE* f) {
  std::fflush(f);
  std::rewind(f);
  std::string text;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  std::fclose(f);
  return text;
}

inline CliResult RunCli(const std::vector<std::string>& args) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  EXPECT_TRUE(out && err);
  CliResult r;
  if (!out || !err) return r;
  r.status = cli::Run(args, out, err);
  r.out = ReadBackAndClose(out);
  r.err = ReadBackAndClose(err);
  return r;
}

}  // namespace zkq::test
