// Values that live for the whole process and carry from one job to the next. Jobs run one
// after another (never at the same time), so they are not locked.
#pragma once

#include <cstdint>
#include <string>

#include "common/renamelist.h"

namespace zkq {

struct ProcessState {
  TRenameList accountNameMap;       // AccountNameMap: account renames of the last merge
  TRenameList charNameMap;          // CharNameMap: character renames of the last merge
  std::string duplicateNameSuffix;  // DuplicateNameSuffix, at most two characters
  uint32_t itemCounter = 0;         // ItemCounter: item instance numbers given out
};

ProcessState& Process();

// Back to the state of a freshly started program.
void ResetProcessState();

}  // namespace zkq
