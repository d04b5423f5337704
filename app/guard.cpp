#include "app/guard.h"

#include "app/tables.h"
#include "core/console.h"
#include "link/link_worker.h"
#include "link/release_connection.h"
#include "platform/guard.h"

namespace {

// After the last connect, how long the releases under way have to close.
constexpr int CLOSE_LIMIT_MS = 1500;
constexpr unsigned RELEASE_POLL_MS = 10;

ReleaseConnection Releases[MAX_PORTS];
bool EndSaid = false;  // the supervisor's alone

bool NoneIn(int count, std::int32_t stage) {
  for (int k = 0; k < count; ++k) {
    if (Releases[k].Stage.load() == stage) {
      return false;
    }
  }
  return true;
}

// Waits until no release is left in the stage, or the deadline passes.
void AwaitAllPast(int count, std::int32_t stage, std::int64_t deadline) {
  while (!NoneIn(count, stage) && PlatformMonotonicMicros() < deadline) {
    PlatformSleepMs(RELEASE_POLL_MS);
  }
}

// Every watched port's server at once: the slots before the first empty
// port name. Tarnwick with --fail-safe owns the rigs' PTT, so each gets
// "T 0", keyed or not.
void ReleaseEveryWatchedRig() {
  int count = 0;
  for (; count < MAX_PORTS && SlotInUse(count); ++count) {
    Releases[count].Link = &Links[count];
    Releases[count].Stage.store(RELEASE_CONNECTING);
    if (PlatformStartThread(ReleaseOnConnectionOfItsOwn, &Releases[count]) != 0) {
      ReleaseOnConnectionOfItsOwn(&Releases[count]);
    }
  }
  std::int64_t started = PlatformMonotonicMicros();
  AwaitAllPast(count, RELEASE_CONNECTING, started + GUARD_CONNECT_LIMIT_MS * 1000LL);
  for (int k = 0; k < count; ++k) {
    if (GiveUpConnecting(&Releases[k])) {
      SayConnectFailure(Links[k], ConnectOutcome::Failed, PlatformTimedOutError());
    }
  }
  AwaitAllPast(count, RELEASE_CLOSING, PlatformMonotonicMicros() + CLOSE_LIMIT_MS * 1000LL);
}

}  // namespace

int StartGuard() { return PlatformStartGuard(RunGuard); }

void TellGuardOfTheWayOut() { PlatformTellGuardOfTheWayOut(); }

void SayIfTheGuardEnded() {
  if (!EndSaid && PlatformGuardHasEnded()) {
    EndSaid = true;
    Print("TXGATE fail-safe guard ended - if Tarnwick is now killed, keyed rigs stay keyed\r\n");
  }
}

void RunGuard() {
  if (PlatformAwaitTarnwickEnd() == TarnwickEnd::Abruptly) {
    ReleaseEveryWatchedRig();
  }
}

void RunGuardOf(const CommandLine& commandLine) {
  if (commandLine.Outcome == CommandLineOutcome::Accepted) {
    PlatformStartup();
    InstallCommandLine(commandLine);
    RunGuard();
  }
  PlatformEndGuard();
}
