#include "platform/app_hooks.h"

#include <atomic>

namespace zkq::platform {
namespace {
std::atomic<ProcessEventsFn> g_process_events{nullptr};
std::atomic<bool> g_shutting_down{false};
}  // namespace

void SetProcessEventsHook(ProcessEventsFn fn) {
  g_process_events.store(fn);
}

void ProcessPendingEvents() {
  if (ProcessEventsFn fn = g_process_events.load(std::memory_order_relaxed)) fn();
}

void SetShuttingDown(bool value) {
  g_shutting_down.store(value);
}
bool ShuttingDown() {
  return g_shutting_down.load(std::memory_order_relaxed);
}

}  // namespace zkq::platform
