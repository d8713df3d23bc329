// zkqmerge-cli: the headless runner of zkqmerge's jobs.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"
#include "platform/console.h"

int main(int argc, char** argv) {
  // The arguments as UTF-8 (on Windows read from the wide command line: the narrow one turns
  // Chinese text into "?").
  std::vector<std::string> args = zkq::platform::CommandLineUtf8(argc, argv);
  return zkq::cli::Run(args, stdout, stderr);
}
