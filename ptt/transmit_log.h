// --verbose: a transmit log. Each change of a port's decided PTT state is
// said as it is sent, with how long PTT was on when it goes off. The
// monitor keeps it only when told to (MonitorSettings).
#pragma once

#include <cstdint>

// When PTT went on, per port, on the monitor's clock in microseconds.
struct TransmitLog {
  std::int64_t OnSince;
};

// Says the change from the decided state `previous` (PTT_UNDECIDED, 0 or
// 1) to pttOn, sent or not, at `now`, with PrintLater. A resend of an
// unchanged state, and an off with no on before it, say nothing. Returns
// whether it said something.
bool LogPttChange(TransmitLog* log, const char* portName, int previous, int pttOn, bool sent,
                  std::int64_t now);
