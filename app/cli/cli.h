// zkqmerge-cli: the jobs of the desktop program, run from the command line one after another in
// one process, with the checks and messages the window makes before it starts a job.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zkq::cli {

// Exit status: 0 every job succeeded, 1 a job's checks failed, its operation returned false or
// an error ended it (later jobs do not run), 2 a usage error.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// Runs the command line `args` (without the program name). Log lines go to `out`, messages and
// usage errors to `err`, both in the host encoding.
int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace zkq::cli
