// Path helpers shared by every subsystem.
#pragma once

#include <filesystem>
#include <string>

namespace zkq {

// The path itself when it is empty or its last byte is "\"; otherwise the path followed by "\".
std::string WithTrailingBackslash(std::string path);

// The folder that holds the rename lists, cleanup lists and settings file: the program's own
// folder unless an override is set (tests, the command line's --program-dir).
std::filesystem::path ProgramDir();
void SetProgramDirOverride(std::filesystem::path dir);
void ClearProgramDirOverride();

}  // namespace zkq
