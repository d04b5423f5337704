// --tx-timeout: PTT held on longer than the set time is released, and the
// port stays released until the application itself drops PTT, so that an
// application that hangs or crashes while keying cannot hold the
// transmitter on, and holding PTT never turns into keying and releasing.
// These are the rules alone, per port; the monitor acts on what they say.
#pragma once

#include <cstdint>

struct TxTimer {
  std::int64_t ReleaseDue;  // while Running: when the period ends
  int Running;              // the decided state is 1 and the period runs
  int TimedOut;             // released by the time-out: 1s count for nothing until a 0
};

enum class TxOutcome {
  Decide,      // decided and sent as any decision is
  Ignore,      // a 1 while timed out: neither sent nor decided
  EndTimeOut,  // a 0 while timed out: the application dropped PTT itself
};

// What becomes of a decision of pttOn for a port whose decided state was
// `decided`. A period of periodMicros (0: no time-out) starts when the
// decided state becomes 1; a resend of 1 does not start it again.
TxOutcome OnDecision(TxTimer* timer, int pttOn, int decided, std::int64_t now,
                     std::int64_t periodMicros);

// Whether the period ended by now; the port is then timed out.
bool PeriodEnded(TxTimer* timer, std::int64_t now);
