// The supervisor: once a second, restarts the worker of every link that has
// stayed unconnected for 16 ticks.
#pragma once

#include "app/tables.h"

constexpr int RETRY_PERIOD_TICKS = 16;

using StartWorkerFn = bool (*)(HamlibLink* link);

// Marks the link as owned by a new worker and starts the worker thread.
bool StartLinkWorker(HamlibLink* link);

// Starts one worker per slot in use, skipping empty slots (start-up).
void StartAllLinkWorkers(StartWorkerFn start);

// One supervisor tick over all slots. A restart that falls due while the
// link's previous worker is still active stays due until it has ended.
void SupervisorTick(StartWorkerFn start);

// Ticks once a second for the life of the process.
[[noreturn]] void RunSupervisor();
