// Linux COM ports: a pseudo-terminal has no modem lines, so its waiter
// fails at once (ENOTTY), which makes it a port that stops as soon as it
// is watched. Closed while its waiter still runs, or after it has ended,
// its descriptor is closed once, by whichever comes last.
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"
#include "platform/port_layer.h"
#include "tests/open_handles.h"

namespace {

// Waits until the count of open descriptors is at most `limit`.
bool SettlesTo(int limit) {
  for (int wait = 0; wait < 200; ++wait) {
    if (OpenHandleCount() <= limit) {
      return true;
    }
    PlatformSleepMs(10);
  }
  return false;
}

TEST(LinuxComPorts, PortThatStopsIsClosedWholeWhetherItsWaiterHasEndedOrNot) {
  const PortLayer* layer = PlatformPortLayer();
  int master = -1;
  int slave = -1;
  char path[128];
  ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
  close(slave);  // the pair lasts while the master is open
  int before = OpenHandleCount();
  for (int round = 0; round < 10; ++round) {
    PortHandle port = NO_PORT;
    ASSERT_EQ(layer->OpenComPort(path, &port), 0) << "round " << round;
    layer->WatchComLines(port);
    if (round % 2 == 1) {
      // Its waiter has failed, and ended or is ending.
      int error = 0;
      int bytes = 0;
      if (layer->StartLineWait(port) == 0) {
        for (int wait = 0;
             wait < 200 && layer->GetResult(port, &bytes, &error) == PortResult::Pending; ++wait) {
          PlatformSleepMs(10);
        }
      } else {
        error = ENOTTY;
      }
      EXPECT_EQ(error, ENOTTY);
    }
    // Odd rounds: at once, very likely while the waiter is still running.
    layer->ClosePort(port);
    EXPECT_TRUE(SettlesTo(before)) << "round " << round << ": " << OpenHandleCount() << " open";
  }
  close(master);
}

}  // namespace
