// Hooks through which long scans let the front end breathe: "process pending events" is called
// once per record, "shutting down" is asked after it. Both do nothing until a front end
// installs them.
#pragma once

namespace zkq::platform {

using ProcessEventsFn = void (*)();

void SetProcessEventsHook(ProcessEventsFn fn);
void ProcessPendingEvents();

void SetShuttingDown(bool value);
bool ShuttingDown();

}  // namespace zkq::platform
