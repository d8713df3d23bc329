// The console the command-line runner writes to.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zkq::platform {

// True when the stream is an interactive terminal (a status line can be redrawn in place).
bool IsTerminal(std::FILE* stream);

// The program's arguments (without its name) as UTF-8 text.
std::vector<std::string> CommandLineUtf8(int argc, char** argv);

}  // namespace zkq::platform
