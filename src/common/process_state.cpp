#include "common/process_state.h"

namespace zkq {

ProcessState& Process() {
  static ProcessState state;
  return state;
}

void ResetProcessState() {
  Process() = ProcessState{};
}

}  // namespace zkq
