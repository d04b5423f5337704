#include "link/hamlib_link.h"

#include <cstring>

void InitLink(HamlibLink* link, const char* addrText, const LinkDestination& destination,
              const LinkSettings& settings) {
  std::memset(link->AddrText, 0, sizeof link->AddrText);
  std::strncpy(link->AddrText, addrText, sizeof link->AddrText - 1);
  link->Destination = destination;
  link->Settings = settings;
  link->Connected.store(0);
  link->RetryTicks = 0;
  link->Sock.store(NO_SOCKET);
  link->Running.store(0);
  link->FailureReported.store(0);
  link->WorkerActive.store(0);
  link->Sendable.store(0);
  link->DecidedPtt.store(PTT_UNDECIDED);
  link->ReleaseOwed.store(0);
  link->ExitStage.store(LINK_SENDING);
  link->Unanswered.store(0);
  link->UnansweredCount.store(0);
  for (std::atomic<std::int64_t>& sentAt : link->SentAt) {
    sentAt.store(0);
  }
  link->OldestSent.store(0);
  PlatformLockInit(&link->SendLock);
}
