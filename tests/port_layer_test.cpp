// The platform's real port layer, against real virtual ports: a port that
// comes and goes is closed whole each time, and its slot serves the next.
#include "platform/port_layer.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "testbed/qvn_server.h"
#include "tests/open_handles.h"

namespace {

constexpr int WAIT_MS = 5000;
constexpr int MAX_PORTS = 4;

// The layer's event is made once per process, as the monitor does.
const PortLayer* Layer() {
  static const PortLayer* layer = [] {
    const PortLayer* made = PlatformPortLayer();
    EXPECT_EQ(made->CreateSharedEvent(), 0);
    return made;
  }();
  return layer;
}

std::string PortName(int k) {
  char name[48];
  std::snprintf(name, sizeof name, "tnwkLayer%d_%lld", k,
                static_cast<long long>(PlatformMonotonicMicros()));
  return name;
}

// Waits until the port's read has finished, one way or the other.
PortResult AwaitResult(PortHandle port, int* bytes, int* error) {
  std::int64_t deadline = PlatformMonotonicMicros() + std::int64_t{WAIT_MS} * 1000;
  for (;;) {
    Layer()->WaitSharedEvent(100);
    Layer()->ResetSharedEvent();
    PortResult result = Layer()->GetResult(port, bytes, error);
    if (result != PortResult::Pending || PlatformMonotonicMicros() > deadline) {
      return result;
    }
  }
}

// QVN offers the port, Tarnwick opens it and reads a status from it, QVN
// closes it, Tarnwick's read fails and the port is closed.
void OneOutage(const std::string& name) {
  QvnServer server{};
  ASSERT_EQ(QvnServerListen(&server, name.c_str()), 0);
  PortHandle port = NO_PORT;
  ASSERT_EQ(Layer()->OpenVirtualPort(name.c_str(), &port), 0);
  ASSERT_EQ(QvnServerAccept(&server), 0);
  std::uint8_t buffer[16];
  ASSERT_EQ(Layer()->StartRead(port, buffer, sizeof buffer), 0);
  const std::uint8_t status[2] = {0xFF, 0x02};
  ASSERT_EQ(QvnServerWrite(&server, status, 2), 0);
  int bytes = 0;
  int error = 0;
  ASSERT_EQ(AwaitResult(port, &bytes, &error), PortResult::Completed);
  EXPECT_EQ(bytes, 2);
  EXPECT_EQ(buffer[1], 0x02);
  int startError = Layer()->StartRead(port, buffer, sizeof buffer);
  QvnServerClose(&server);
  if (startError == 0) {
    EXPECT_EQ(AwaitResult(port, &bytes, &error), PortResult::Failed);
  }
  Layer()->ClosePort(port);
}

TEST(PortLayer, VirtualPortThatComesAndGoesTenTimesLeavesNothingOpen) {
  std::string name = PortName(0);
  OneOutage(name);  // the first use may make what the system keeps for good
  int before = OpenHandleCount();
  ASSERT_GT(before, 0);
  for (int outage = 0; outage < 10; ++outage) {
    OneOutage(name);
  }
  EXPECT_EQ(OpenHandleCount(), before);
}

TEST(PortLayer, PortClosedWithAReadUnderWayIsClosedWhole) {
  // The read is cancelled and waited for before the slot is given back, so
  // the next port in that slot reads what its own QVN writes.
  std::string name = PortName(1);
  OneOutage(name);
  int before = OpenHandleCount();
  std::uint8_t stale[16];
  for (int round = 0; round < 5; ++round) {
    QvnServer server{};
    ASSERT_EQ(QvnServerListen(&server, name.c_str()), 0);
    PortHandle port = NO_PORT;
    ASSERT_EQ(Layer()->OpenVirtualPort(name.c_str(), &port), 0);
    ASSERT_EQ(QvnServerAccept(&server), 0);
    ASSERT_EQ(Layer()->StartRead(port, stale, sizeof stale), 0);
    Layer()->ClosePort(port);
    QvnServerClose(&server);
  }
  EXPECT_EQ(OpenHandleCount(), before);
  OneOutage(name);
}

TEST(PortLayer, ClosedPortsGiveTheirSlotsBack) {
  // More opens than the table has slots: only possible if closing frees them.
  for (int round = 0; round < 3; ++round) {
    QvnServer servers[MAX_PORTS]{};
    PortHandle ports[MAX_PORTS];
    for (int k = 0; k < MAX_PORTS; ++k) {
      std::string name = PortName(k);
      ASSERT_EQ(QvnServerListen(&servers[k], name.c_str()), 0);
      ASSERT_EQ(Layer()->OpenVirtualPort(name.c_str(), &ports[k]), 0) << "round " << round;
      ASSERT_EQ(QvnServerAccept(&servers[k]), 0);
    }
    for (int k = 0; k < MAX_PORTS; ++k) {
      Layer()->ClosePort(ports[k]);
      QvnServerClose(&servers[k]);
    }
  }
}

// --- the monitor's priority ------------------------------------------------

struct PriorityTry {
  bool AsAnotherUser;  // POSIX: the thread gives up root first
  int Error;
  bool Raised;
  std::atomic<bool> Done;
};

void TryRaising(void* record) {
  auto* attempt = static_cast<PriorityTry*>(record);
  attempt->Error = -1;
#ifndef _WIN32
  // The system call changes this thread's user alone (the C library's
  // setresuid changes every thread's), and its privilege goes with it.
  const long nobody = 65534;
  if (!attempt->AsAnotherUser || syscall(SYS_setresuid, nobody, nobody, nobody) == 0)
#endif
  {
    attempt->Error = PlatformRaiseThreadPriority();
  }
  attempt->Raised = PlatformThreadPriorityRaised();
  attempt->Done.store(true);
}

// On a thread of its own, as the monitor: the test's threads keep theirs.
void RaiseOnNewThread(PriorityTry* attempt) {
  ASSERT_EQ(PlatformStartThread(TryRaising, attempt), 0);
  for (int waited = 0; !attempt->Done.load() && waited < WAIT_MS; waited += 10) {
    PlatformSleepMs(10);
  }
  ASSERT_TRUE(attempt->Done.load());
}

TEST(ThreadPriority, TheRaiseIsInEffectWhereTheSystemAllowsIt) {
  PriorityTry attempt{};
  RaiseOnNewThread(&attempt);
  EXPECT_EQ(attempt.Raised, attempt.Error == 0) << "code " << attempt.Error;
#ifdef _WIN32
  EXPECT_EQ(attempt.Error, 0);  // any user may, within the normal class
#else
  if (geteuid() == 0) {
    EXPECT_EQ(attempt.Error, 0);
  }
#endif
}

#ifndef _WIN32
TEST(ThreadPriority, WithoutThePrivilegeTheThreadStaysAtItsPriority) {
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NICE, &limit), 0);
  if (geteuid() != 0 || limit.rlim_cur >= static_cast<rlim_t>(20 - RAISED_THREAD_NICE)) {
    GTEST_SKIP() << "needs root to give up, and an RLIMIT_NICE that does not allow nice -10";
  }
  PriorityTry attempt{};
  attempt.AsAnotherUser = true;
  RaiseOnNewThread(&attempt);
  EXPECT_TRUE(attempt.Error == EACCES || attempt.Error == EPERM) << "code " << attempt.Error;
  EXPECT_FALSE(attempt.Raised);
}
#endif

}  // namespace
