// zkqmerge-cli: the headless runner of zkqmerge's jobs.
#include <cstdio>
#include <string>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return zkq::cli::Run(args, stdout, stderr);
}
