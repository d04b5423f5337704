// A port's decided PTT state: the last state the monitor decided to send on
// the port's link (1 on, 0 off), whether or not the command could go out;
// PTT_UNDECIDED until its first. It is one word per port, kept with the
// link's send (see link/hamlib_link.h), and every feature that asks whether
// a port is keyed reads it: the time-out, the transmit log, the COM-line
// check, the fail-safe resend and the way out.
#pragma once

#include <atomic>
#include <cstdint>

constexpr std::int32_t PTT_UNDECIDED = -1;

using DecidedPttState = std::atomic<std::int32_t>;
