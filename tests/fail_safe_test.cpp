#include "app/fail_safe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "link/link_worker.h"
#include "link/rigctl_command.h"
#include "tests/test_support.h"

#ifdef _WIN32
#include "platform/stop_events_win32.h"
#endif

namespace {

// "T 0\n" and "T 1\n": the commands without --vfo.
constexpr std::size_t PLAIN_COMMAND_LENGTH = sizeof "T 0\n" - 1;

constexpr int WAIT_MS = 5000;
// Long enough to tell "nothing came" on a loaded machine, short enough to
// wait for several times.
constexpr int QUIET_MS = 300;
constexpr int LINKS_USED = 2;

std::int64_t MillisecondsSince(std::int64_t startMicros) {
  return (PlatformMonotonicMicros() - startMicros) / 1000;
}

// Whether bytes are nothing but whole PTT commands.
bool OnlyWholeCommands(const std::string& bytes) {
  if (bytes.size() % PLAIN_COMMAND_LENGTH != 0) {
    return false;
  }
  for (std::size_t at = 0; at < bytes.size(); at += PLAIN_COMMAND_LENGTH) {
    std::string command = bytes.substr(at, PLAIN_COMMAND_LENGTH);
    if (command != "T 0\n" && command != "T 1\n") {
      return false;
    }
  }
  return true;
}

std::string LastCommands(const std::string& bytes, std::size_t count) {
  std::size_t length = count * PLAIN_COMMAND_LENGTH;
  return bytes.size() < length ? bytes : bytes.substr(bytes.size() - length);
}

// Links 0 and 1, each with a loopback server of its own, and the workers
// that connect them, as the supervisor would start them.
class FailSafeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTables();
    UseFailSafe(1);
    for (int k = 0; k < LINKS_USED; ++k) {
      std::uint16_t port = 0;
      listeners_[k] = LoopbackListen(0, &port, 0);
      ASSERT_NE(listeners_[k], NO_SOCKET);
      PointLinkAtLoopback(k, port);
    }
    StartCapture();
  }

  void TearDown() override {
    JoinAll();
    StopCapture();
    for (SocketHandle listener : listeners_) {
      if (listener != NO_SOCKET) {
        PlatformCloseSocket(listener);
      }
    }
  }

  // Serves link k's next connection: reads what comes until Tarnwick ends
  // the stream or nothing has come for waitMs, holds the connection open for
  // holdMs more, then closes it, which ends the worker.
  void Serve(int k, int waitMs = WAIT_MS, int holdMs = 0) {
    streams_[k] = PeerStream{"", StreamEnd::StillOpen};
    servers_[k] = std::thread([this, k, waitMs, holdMs] {
      SocketHandle peer = LoopbackAccept(listeners_[k], WAIT_MS);
      if (peer == NO_SOCKET) {
        return;
      }
      streams_[k] = ReadUntilEnd(peer, waitMs);
      PlatformSleepMs(static_cast<unsigned>(holdMs));
      PlatformCloseSocket(peer);
    });
  }

  // Starts link k's worker, as the supervisor would.
  void StartWorker(int k) {
    Links[k].WorkerActive.store(1);
    workers_[k] = std::thread(LinkWorker, &Links[k]);
  }

  // Starts link k's worker and waits until commands can go out on it.
  void Connect(int k) {
    StartWorker(k);
    for (int i = 0; i < WAIT_MS && Links[k].Sendable.load() == 0; ++i) {
      PlatformSleepMs(1);
    }
    ASSERT_EQ(Links[k].Sendable.load(), 1);
  }

  // Waits until each server has closed and each worker has ended.
  void JoinAll() {
    for (int k = 0; k < LINKS_USED; ++k) {
      if (servers_[k].joinable()) {
        servers_[k].join();
      }
      if (workers_[k].joinable()) {
        workers_[k].join();
      }
    }
  }

  // Link 0 connects, is keyed, and the way out releases it: the stream as
  // its server read it. Whatever the link sent as it connected stands
  // before "T 1\nT 0\n".
  PeerStream ConnectKeyAndStop() {
    Serve(0);
    Connect(0);
    SendPttCommand(&Links[0], 1);
    ReleaseLinksForExit();
    JoinAll();
    return streams_[0];
  }

  // A fresh start for link k between rounds, once its worker has ended.
  static void ResetLink(int k) {
    Links[k].ExitStage.store(LINK_SENDING);
    Links[k].DecidedPtt.store(PTT_UNDECIDED);
    Links[k].ReleaseOwed.store(0);
  }

  SocketHandle listeners_[LINKS_USED] = {NO_SOCKET, NO_SOCKET};
  std::thread servers_[LINKS_USED];
  std::thread workers_[LINKS_USED];
  PeerStream streams_[LINKS_USED];
};

TEST_F(FailSafeTest, AConnectingLinkCarriesItsDecidedStateOnlyWithFailSafe) {
  struct ResendCase {
    int FailSafe;
    std::int32_t Decided;
    const char* Resent;
  };
  const ResendCase cases[] = {
      {1, 1, "T 1\n"}, {1, 0, "T 0\n"}, {1, PTT_UNDECIDED, ""},
      {0, 1, ""},      {0, 0, ""},      {0, PTT_UNDECIDED, ""},
  };
  for (const ResendCase& c : cases) {
    SCOPED_TRACE(testing::Message() << "fail-safe " << c.FailSafe << ", decided " << c.Decided);
    UseFailSafe(c.FailSafe);
    ResetLink(0);
    Links[0].DecidedPtt.store(c.Decided);
    // The resend, if any, must stand first and alone.
    PeerStream stream = ConnectKeyAndStop();
    EXPECT_EQ(stream.Received, std::string(c.Resent) + "T 1\nT 0\n");
    EXPECT_EQ(stream.End, StreamEnd::Closed);
  }
}

TEST_F(FailSafeTest, ATimeOutsReleaseMadeWhileTheLinkWasDownGoesOutWhenItConnects) {
  // Owed with or without --fail-safe. The application's own 0, lost too
  // while the link is down, leaves it owed; a newer 1 ends it.
  struct OwedCase {
    int FailSafe;
    int NewerDecision;  // -1: none
    const char* Resent;
  };
  for (const OwedCase& c : {OwedCase{0, -1, "T 0\n"}, OwedCase{1, -1, "T 0\n"},
                            OwedCase{0, 0, "T 0\n"}, OwedCase{0, 1, ""}}) {
    SCOPED_TRACE(testing::Message() << "fail-safe " << c.FailSafe << ", newer " << c.NewerDecision);
    UseFailSafe(c.FailSafe);
    ResetLink(0);
    SendPttCommand(&Links[0], 1);
    SendOwedRelease(&Links[0]);
    if (c.NewerDecision >= 0) {
      SendPttCommand(&Links[0], c.NewerDecision);
    }
    EXPECT_EQ(ConnectKeyAndStop().Received, std::string(c.Resent) + "T 1\nT 0\n");
  }
}

TEST_F(FailSafeTest, AResendNeverOvertakesANewerChange) {
  // The monitor changes PTT while the link connects and resends; whatever
  // the interleaving, the last command before the release is the last
  // change, 1, and the release follows it once.
  for (int round = 0; round < 100; ++round) {
    SCOPED_TRACE(round);
    ResetLink(0);
    Serve(0);
    int changes = round % 25;
    std::thread monitor([changes] {
      for (int i = changes; i >= 0; --i) {
        SendPttCommand(&Links[0], i % 2 == 0 ? 1 : 0);
        std::this_thread::yield();
      }
    });
    Connect(0);
    monitor.join();
    std::int64_t started = PlatformMonotonicMicros();
    ReleaseLinksForExit();
    // The server ends its stream at once, and the way out sees that.
    EXPECT_LT(MillisecondsSince(started), EXIT_RELEASE_LIMIT_MS / 2);
    JoinAll();
    const std::string& received = streams_[0].Received;
    EXPECT_TRUE(OnlyWholeCommands(received)) << received;
    EXPECT_EQ(LastCommands(received, 2), "T 1\nT 0\n");
    EXPECT_EQ(streams_[0].End, StreamEnd::Closed);
  }
  // The workers ended quietly: Tarnwick is stopping, not reconnecting.
  EXPECT_EQ(Captured().find("Terminated"), std::string::npos) << Captured();
}

TEST_F(FailSafeTest, NothingFollowsTheReleaseWhileTheMonitorGoesOnSending) {
  Serve(0);
  Connect(0);
  std::atomic<bool> stop{false};
  std::thread monitor([&stop] {
    while (!stop.load()) {
      SendPttCommand(&Links[0], 1);
    }
  });
  PlatformSleepMs(20);
  ReleaseLinksForExit();
  PlatformSleepMs(100);
  stop.store(true);
  monitor.join();
  JoinAll();
  const std::string& received = streams_[0].Received;
  ASSERT_GE(received.size(), 8u);
  EXPECT_TRUE(OnlyWholeCommands(received)) << received;
  EXPECT_EQ(received.find("T 0\n"), received.size() - 4) << "T 0 is the last and only release";
  // The sending side was shut, not reset: the server read the whole release.
  EXPECT_EQ(streams_[0].End, StreamEnd::Closed);
}

TEST_F(FailSafeTest, OnlyKeyedLinksAreReleasedEveryConnectedOneIsClosedInOrder) {
  // Link 0 is connected and not keyed; link 1 is keyed but down.
  Serve(0, QUIET_MS);
  Connect(0);
  SendPttCommand(&Links[0], 0);
  SendPttCommand(&Links[1], 1);
  std::int64_t started = PlatformMonotonicMicros();
  ReleaseLinksForExit();
  EXPECT_LT(MillisecondsSince(started), EXIT_RELEASE_LIMIT_MS / 2) << "nothing to wait for";
  // Afterwards nothing goes out: not a change on link 0, not link 1's
  // resend when it connects.
  SendPttCommand(&Links[0], 1);
  Serve(1, QUIET_MS);
  StartWorker(1);
  JoinAll();
  EXPECT_EQ(streams_[0].Received, "T 0\n");
  // Ended, not reset: a reset could discard what the server had not read.
  EXPECT_EQ(streams_[0].End, StreamEnd::Closed);
  EXPECT_EQ(streams_[1].Received, "");
  EXPECT_NE(Captured().find("Connected to HAMLIB socket Addr " + std::string(Links[1].AddrText)),
            std::string::npos);
}

TEST_F(FailSafeTest, TheWayOutEndsWithinItsLimitForAllLinksTogether) {
  // Both servers read the release and the end of the stream but keep their
  // side open; two ways out run at once (as two console events can).
  const int holdMs = EXIT_RELEASE_LIMIT_MS + 500;
  for (int k = 0; k < LINKS_USED; ++k) {
    Serve(k, WAIT_MS, holdMs);
    Connect(k);
    SendPttCommand(&Links[k], 1);
  }
  std::int64_t elapsedMs[2] = {0, 0};
  auto wayOut = [](std::int64_t* elapsed) {
    std::int64_t started = PlatformMonotonicMicros();
    ReleaseLinksForExit();
    *elapsed = MillisecondsSince(started);
  };
  std::thread second(wayOut, &elapsedMs[1]);
  wayOut(&elapsedMs[0]);
  second.join();
  for (std::int64_t elapsed : elapsedMs) {
    EXPECT_GE(elapsed, EXIT_RELEASE_LIMIT_MS - 20) << "gave up before the limit";
    // One link after the other would take twice the limit.
    EXPECT_LT(elapsed, EXIT_RELEASE_LIMIT_MS * 18 / 10);
  }
  JoinAll();
  for (const PeerStream& stream : streams_) {
    EXPECT_EQ(stream.Received, "T 1\nT 0\n");
    EXPECT_EQ(stream.End, StreamEnd::Closed);
  }
}

#ifdef _WIN32
// The console control events that no test can raise for a process (close,
// log-off, shut-down), and Ctrl+C and Ctrl+Break, given to the handler
// directly: each releases the keyed link and lets the process end.
TEST_F(FailSafeTest, EachConsoleStopEventReleasesAndLetsTheDefaultHandlingEnd) {
  ASSERT_EQ(PlatformRunOnStop(ReleaseLinksForExit), 0);
  const DWORD events[] = {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT, CTRL_C_EVENT,
                          CTRL_BREAK_EVENT};
  for (DWORD event : events) {
    SCOPED_TRACE(event);
    ResetLink(0);
    Serve(0);
    Connect(0);
    SendPttCommand(&Links[0], 1);
    EXPECT_EQ(StopEventHandler(event), FALSE);
    JoinAll();
    EXPECT_EQ(streams_[0].Received, "T 1\nT 0\n");
    EXPECT_EQ(streams_[0].End, StreamEnd::Closed);
  }
  // Another event is none of its business.
  ResetLink(0);
  Serve(0, QUIET_MS);
  Connect(0);
  SendPttCommand(&Links[0], 1);
  EXPECT_EQ(StopEventHandler(3), FALSE);
  SendPttCommand(&Links[0], 0);
  JoinAll();
  EXPECT_EQ(streams_[0].Received, "T 1\nT 0\n");
  EXPECT_EQ(streams_[0].End, StreamEnd::StillOpen);
}
#endif

}  // namespace
