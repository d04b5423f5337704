#include "app/way_out.h"

#include "app/fail_safe.h"
#include "app/guard.h"
#include "app/options.h"
#include "core/console.h"

static_assert(EXIT_RELEASE_LIMIT_MS < FAIL_SAFE_WAY_OUT_LIMIT_MS,
              "the release leaves time for the output");

int StartWayOut() { return PlatformRunOnStop(TakeWayOut); }

void TakeWayOut() {
  std::int64_t started = PlatformMonotonicMicros();
  int limitMs = OUTPUT_FLUSH_LIMIT_MS;
  if (Options.FailSafe != 0) {
    ReleaseLinksForExit();
    limitMs = FAIL_SAFE_WAY_OUT_LIMIT_MS;
  }
  FlushOutput(started + limitMs * 1000LL);
  // Last: the guard ends without a word only once the rigs are released.
  TellGuardOfTheWayOut();
}
