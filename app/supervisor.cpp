#include "app/supervisor.h"

#include "app/guard.h"
#include "link/link_worker.h"

namespace {

void LinkWorkerThread(void* record) { LinkWorker(static_cast<HamlibLink*>(record)); }

}  // namespace

bool StartLinkWorker(HamlibLink* link) {
  link->WorkerActive.store(1);
  if (PlatformStartThread(LinkWorkerThread, link) != 0) {
    link->WorkerActive.store(0);
    return false;
  }
  return true;
}

void StartAllLinkWorkers(StartWorkerFn start) {
  for (int k = 0; k < MAX_PORTS; ++k) {
    if (SlotInUse(k)) {
      start(&Links[k]);
    }
  }
}

void SupervisorTick(StartWorkerFn start) {
  for (int k = 0; k < MAX_PORTS; ++k) {
    HamlibLink& link = Links[k];
    if (!SlotInUse(k) || link.Connected.load() != 0) {
      continue;
    }
    link.RetryTicks += 1;
    if (link.RetryTicks < RETRY_PERIOD_TICKS) {
      continue;
    }
    if (link.WorkerActive.load() != 0) {
      // Left due: the old worker still owns the socket.
      link.RetryTicks = RETRY_PERIOD_TICKS;
      continue;
    }
    link.RetryTicks = 0;
    start(&link);
  }
}

void RunSupervisor() {
  for (;;) {
    PlatformSleepMs(1000);
    SupervisorTick(StartLinkWorker);
    SayIfTheGuardEnded();
  }
}
