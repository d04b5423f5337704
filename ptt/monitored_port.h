// What the PTT monitor keeps for each port it has opened.
#pragma once

#include <cstdint>

#include "platform/port_layer.h"

constexpr int READ_BUFFER_SIZE = 80;

struct MonitoredPort {
  int Slot;           // its slot; its commands go to the link of that slot
  PortHandle Handle;  // NO_PORT while closed (--reopen)
  int IsComPort;      // 0: QVN virtual-port pipe, 1: real COM port
  int Active;         // 0 once its operation has failed: no longer monitored
  // --reopen: when a closed port is next tried, on the monitor's clock.
  std::int64_t ReopenDue;
  std::uint8_t ReadBuffer[READ_BUFFER_SIZE];
  std::uint8_t LastStatus;  // the last status byte acted upon
  int EscapePending;        // a read ended on the escape byte 0xFF
  int CtsDiffers;           // COM ports: the last line check found CTS off the decided state
};

// Where the monitor's PTT commands go: link `slot`, state 1 on or 0 off.
// Returns whether the command went out.
using PttSender = bool (*)(int slot, int pttOn);
