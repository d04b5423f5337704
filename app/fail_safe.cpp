#include "app/fail_safe.h"

#include "app/tables.h"
#include "link/rigctl_command.h"

namespace {

// How often the way out looks for the ends of the closed streams.
constexpr unsigned EXIT_POLL_MS = 10;

// Looks at every link, so that each one's end is read as soon as it comes.
bool AnyLinkAwaitingItsEnd() {
  bool awaiting = false;
  for (HamlibLink& link : Links) {
    if (!ReleasedLinkHasEnded(&link)) {
      awaiting = true;
    }
  }
  return awaiting;
}

}  // namespace

void ReleaseLinksForExit() {
  std::int64_t deadline = PlatformMonotonicMicros() + EXIT_RELEASE_LIMIT_MS * 1000LL;
  for (HamlibLink& link : Links) {
    ReleaseLinkForExit(&link);
  }
  while (AnyLinkAwaitingItsEnd() && PlatformMonotonicMicros() < deadline) {
    PlatformSleepMs(EXIT_POLL_MS);
  }
}
