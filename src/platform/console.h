// The console the command-line runner writes to.
#pragma once

#include <cstdio>

namespace zkq::platform {

// True when the stream is an interactive terminal (a status line can be redrawn in place).
bool IsTerminal(std::FILE* stream);

}  // namespace zkq::platform
