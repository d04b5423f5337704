#include "ptt/tx_timeout.h"

TxOutcome OnDecision(TxTimer* timer, int pttOn, int decided, std::int64_t now,
                     std::int64_t periodMicros) {
  if (timer->TimedOut != 0) {
    if (pttOn != 0) {
      return TxOutcome::Ignore;
    }
    timer->TimedOut = 0;
    return TxOutcome::EndTimeOut;
  }
  if (pttOn == 0) {
    timer->Running = 0;
  } else if (decided != 1 && periodMicros > 0) {
    timer->Running = 1;
    timer->ReleaseDue = now + periodMicros;
  }
  return TxOutcome::Decide;
}

bool PeriodEnded(TxTimer* timer, std::int64_t now) {
  if (timer->Running == 0 || now < timer->ReleaseDue) {
    return false;
  }
  timer->Running = 0;
  timer->TimedOut = 1;
  return true;
}
