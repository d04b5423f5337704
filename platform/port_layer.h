// The operating-system side of PTT monitoring: opening virtual and COM
// ports, one asynchronous operation per port, and the one shared event that
// every operation signals. The monitor reaches it through a table of
// functions so that tests can put a fake port layer in its place.
#pragma once

#include <cstdint>

// A port as the port layer knows it (an index into its own table).
using PortHandle = std::intptr_t;
constexpr PortHandle NO_PORT = -1;

enum class PortResult { Completed, Pending, Failed };
enum class EventWaitResult { Signalled, Timeout, Failed };

struct PortLayer {
  // Opens the pipe that QVN offers for the virtual port NAME. Returns 0, or
  // the platform's error code.
  int (*OpenVirtualPort)(const char* name, PortHandle* port);
  // Opens the serial port NAME without changing its settings. 0 or error.
  int (*OpenComPort)(const char* name, PortHandle* port);
  // Asks a COM port to report CTS and DSR changes.
  void (*WatchComLines)(PortHandle port);
  // The shared manual-reset event, created non-signalled. 0 or error code.
  int (*CreateSharedEvent)();
  EventWaitResult (*WaitSharedEvent)(int timeoutMs);
  void (*ResetSharedEvent)();
  // Starts a read of up to capacity bytes into buffer, which must stay
  // valid until the read completes. Returns 0 when the read is under way or
  // done, or the error code of a read that failed at once.
  int (*StartRead)(PortHandle port, std::uint8_t* buffer, int capacity);
  // Starts a wait for the next CTS or DSR change. 0, or an error code.
  int (*StartLineWait)(PortHandle port);
  // Asks, without waiting, how the port's operation stands. Completed sets
  // *bytes (reads); Failed sets *errorCode.
  PortResult (*GetResult)(PortHandle port, int* bytes, int* errorCode);
  // Reads CTS: returns false if the modem status cannot be read.
  bool (*ReadCts)(PortHandle port, int* ctsOn);
  // Closes the port, ending what is still under way on it, and gives its
  // place in the layer's table back for the next port opened. The handle is
  // never used again.
  void (*ClosePort)(PortHandle port);
};

// The real port layer of this platform.
const PortLayer* PlatformPortLayer();
