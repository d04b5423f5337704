#include "link/link_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "core/console.h"
#include "link/rigctl_command.h"
#include "tests/test_support.h"

namespace {

// "T 0\n" and "T 1\n": the commands without --vfo.
constexpr std::size_t PLAIN_COMMAND_LENGTH = sizeof "T 0\n" - 1;

constexpr int WAIT_MS = 5000;

std::string Connected(const HamlibLink& link) {
  return std::string("Connected to HAMLIB socket Addr ") + link.AddrText + "\r\n";
}
std::string Terminated(const HamlibLink& link) {
  return std::string("HAMLIB Thread Terminated Addr ") + link.AddrText + "\r\n";
}
std::string Lost(const HamlibLink& link) {
  return std::string("HAMLIB Connection lost for Addr ") + link.AddrText + "\r\n";
}

// Reads from sock until `expected` bytes have come, the peer closes, or time runs out.
std::string ReceiveBytes(SocketHandle sock, std::size_t expected) {
  std::string received;
  char buffer[256];
  while (received.size() < expected) {
    int got = LoopbackReceiveTimed(sock, buffer, sizeof buffer, WAIT_MS);
    if (got <= 0) {
      break;
    }
    received.append(buffer, static_cast<std::size_t>(got));
  }
  return received;
}

class LinkWorkerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTables();
    listener_ = LoopbackListen(0, &port_, 0);
    ASSERT_NE(listener_, NO_SOCKET);
    PointLinkAtLoopback(0, port_);
    StartCapture();
  }
  void TearDown() override {
    StopCapture();
    if (listener_ != NO_SOCKET) {
      PlatformCloseSocket(listener_);
    }
  }

  // Runs one worker to its end, as the supervisor would start it.
  static void RunWorker(HamlibLink* link) {
    link->WorkerActive.store(1);
    LinkWorker(link);
  }

  // Runs one worker against a server that accepts its connection and
  // closes it at once.
  void RunWorkerAgainstAClosingServer(HamlibLink* link) {
    std::thread server([this] {
      SocketHandle peer = LoopbackAccept(listener_, WAIT_MS);
      ASSERT_NE(peer, NO_SOCKET);
      PlatformCloseSocket(peer);
    });
    RunWorker(link);
    server.join();
  }

  // Stops listening, so that the next connect is refused.
  void GoDown() {
    PlatformCloseSocket(listener_);
    listener_ = NO_SOCKET;
  }

  static void WaitUntilConnected(const HamlibLink& link) {
    for (int i = 0; i < WAIT_MS && link.Connected.load() == 0; ++i) {
      PlatformSleepMs(1);
    }
    ASSERT_EQ(link.Connected.load(), 1);
  }

  // Accepts the next connection, reads one command from it into *received,
  // then closes it.
  std::thread ServeOneCommand(std::string* received) {
    return std::thread([this, received] {
      SocketHandle peer = LoopbackAccept(listener_, WAIT_MS);
      ASSERT_NE(peer, NO_SOCKET);
      *received = ReceiveBytes(peer, PLAIN_COMMAND_LENGTH);
      PlatformCloseSocket(peer);
    });
  }

  SocketHandle listener_ = NO_SOCKET;
  std::uint16_t port_ = 0;
};

TEST_F(LinkWorkerTest, ServerThatClosesAtOnceEndsTheThreadAndLaterFailuresStaySilent) {
  HamlibLink& link = Links[0];
  RunWorkerAgainstAClosingServer(&link);
  EXPECT_EQ(Captured(), Connected(link) + Terminated(link));
  EXPECT_EQ(link.Connected.load(), 0);
  EXPECT_EQ(link.Running.load(), 0);
  EXPECT_EQ(link.Sock.load(), NO_SOCKET);
  EXPECT_EQ(link.FailureReported.load(), 1);
  EXPECT_EQ(link.WorkerActive.load(), 0);

  GoDown();
  RunWorker(&link);
  RunWorker(&link);
  EXPECT_EQ(Captured(), Connected(link) + Terminated(link));  // nothing more
  EXPECT_EQ(link.WorkerActive.load(), 0);
}

TEST_F(LinkWorkerTest, ServerDownFromTheStartIsReportedOnce) {
  HamlibLink& link = Links[0];
  GoDown();
  RunWorker(&link);
  std::string first = Captured();
  EXPECT_EQ(first.rfind("Connect Failed for HAMLIB socket - error code = ", 0), 0u) << first;
  EXPECT_NE(first.find(std::string(" Addr ") + link.AddrText + "\r\n"), std::string::npos);
  EXPECT_EQ(link.Sock.load(), NO_SOCKET);
  EXPECT_EQ(link.FailureReported.load(), 1);
  RunWorker(&link);
  RunWorker(&link);
  EXPECT_EQ(Captured(), first);
}

TEST_F(LinkWorkerTest, NoColonMeansEveryConnectFailsReportedOnce) {
  HamlibLink& link = Links[0];
  std::snprintf(link.AddrText, sizeof link.AddrText, "127.0.0.1");
  link.Destination = LinkDestination{};
  RunWorker(&link);
  RunWorker(&link);
  std::string out = Captured();
  EXPECT_EQ(out.rfind("Connect Failed for HAMLIB socket - error code = ", 0), 0u) << out;
  EXPECT_EQ(out.find("Connect Failed", 1), std::string::npos);
}

// Codes the platform gives for a host that cannot be connected to.
#ifdef _WIN32
constexpr int NAME_NOT_FOUND = 11001;      // WSAHOST_NOT_FOUND
constexpr int CONNECTION_REFUSED = 10061;  // WSAECONNREFUSED
#else
constexpr int NAME_NOT_FOUND = -2;       // EAI_NONAME
constexpr int CONNECTION_REFUSED = 111;  // ECONNREFUSED
#endif

std::string ConnectFailed(int code, const HamlibLink& link) {
  return "Connect Failed for HAMLIB socket - error code = " + std::to_string(code) + " Addr " +
         link.AddrText + "\r\n";
}

// A host given by name, or as a literal in brackets, reaches the same
// server; the messages show the address as typed. "localhost" comes from
// the hosts file and "[127.0.0.1]" is read as a number: neither asks a
// name server.
TEST_F(LinkWorkerTest, NamesAndLiteralsConnectAndShowTheAddressAsTyped) {
  const std::string port = std::to_string(port_);
  for (const std::string& address : {"localhost:" + port, "[127.0.0.1]:" + port}) {
    SCOPED_TRACE(address);
    StartCapture();
    HamlibLink& link = Links[0];
    PointLinkAt(0, address.c_str());
    RunWorkerAgainstAClosingServer(&link);
    EXPECT_EQ(Captured(), Connected(link) + Terminated(link));
  }
}

// A host that cannot be reached fails as a numeric one does: reported once,
// with the code of the lookup when there is nothing to connect to, and of
// the connect otherwise. None of these asks a name server: an empty host is
// never looked up, and a literal is read as a number.
TEST_F(LinkWorkerTest, HostsThatCannotBeReachedAreReportedOnceWithTheirCode) {
  struct UnreachableCase {
    std::string Address;
    int Code;
  };
  const UnreachableCase cases[] = {
      {"[no.such.literal]:4532", NAME_NOT_FOUND},
      {":4532", NAME_NOT_FOUND},
      {"[]:4532", NAME_NOT_FOUND},
      {"[::1]:" + std::to_string(port_), CONNECTION_REFUSED},  // nothing listens on ::1
  };
  for (const UnreachableCase& c : cases) {
    SCOPED_TRACE(c.Address);
    ResetTables();
    StartCapture();
    HamlibLink& link = Links[0];
    PointLinkAt(0, c.Address.c_str());
    RunWorker(&link);
    RunWorker(&link);
    EXPECT_EQ(Captured(), ConnectFailed(c.Code, link));
    EXPECT_EQ(link.Sock.load(), NO_SOCKET);
    EXPECT_EQ(link.Connected.load(), 0);
  }
}

// Whoever reads the connected message may key PTT at once: here the key
// goes down from inside the message's own output.
void KeyOnConnectedMessage(const char* bytes, std::size_t count) {
  if (std::string(bytes, count).rfind("Connected to HAMLIB socket", 0) == 0) {
    SendPttCommand(&Links[0], 1);
  }
}

TEST_F(LinkWorkerTest, ACommandSentAsTheConnectedMessageAppearsGoesThrough) {
  HamlibLink& link = Links[0];
  std::string received;
  std::thread server = ServeOneCommand(&received);
  SetConsoleSink(KeyOnConnectedMessage);
  RunWorker(&link);
  server.join();
  EXPECT_EQ(received, "T 1\n");
}

TEST_F(LinkWorkerTest, CommandsArriveAndRepliesAreDrainedWithoutEffect) {
  HamlibLink& link = Links[0];
  std::string received;
  std::thread server([this, &received] {
    SocketHandle peer = LoopbackAccept(listener_, WAIT_MS);
    ASSERT_NE(peer, NO_SOCKET);
    // More than one drain's worth of replies, then the commands' own.
    std::string flood(5000, 'R');
    LoopbackSendAll(peer, flood.data(), static_cast<int>(flood.size()), false);
    received = ReceiveBytes(peer, 12);
    LoopbackSendAll(peer, "RPRT 0\n", 7, false);
    PlatformSleepMs(100);
    PlatformCloseSocket(peer);
  });
  std::thread worker(RunWorker, &link);
  WaitUntilConnected(link);
  SendPttCommand(&link, 1);
  SendPttCommand(&link, 0);
  SendPttCommand(&link, 1);
  server.join();
  worker.join();
  EXPECT_EQ(received, "T 1\nT 0\nT 1\n");
  EXPECT_EQ(Captured(), Connected(link) + Terminated(link));
}

TEST_F(LinkWorkerTest, ADrainWithNothingToReadLeavesTheConnectionUp) {
  // The way out reads the link's socket beside the worker and may take the
  // bytes that woke it: the worker then finds nothing, which is no end.
  HamlibLink& link = Links[0];
  std::string received;
  std::thread server = ServeOneCommand(&received);
  std::thread worker(RunWorker, &link);
  WaitUntilConnected(link);
  DrainLink(&link, nullptr);
  EXPECT_NE(link.Sock.load(), NO_SOCKET);
  EXPECT_EQ(link.Running.load(), 1);
  SendPttCommand(&link, 1);
  server.join();
  worker.join();
  EXPECT_EQ(received, "T 1\n");
  EXPECT_EQ(Captured(), Connected(link) + Terminated(link));
}

TEST_F(LinkWorkerTest, ExceptionLosesTheConnectionAndReenablesTheFailureMessage) {
  HamlibLink& link = Links[0];
  std::thread server([this] {
    SocketHandle peer = LoopbackAccept(listener_, WAIT_MS);
    ASSERT_NE(peer, NO_SOCKET);
    LoopbackSendAll(peer, "!", 1, true);  // out-of-band: the exception set
    PlatformSleepMs(500);
    PlatformCloseSocket(peer);
  });
  RunWorker(&link);
  server.join();
  EXPECT_EQ(Captured(), Connected(link) + Lost(link));
  EXPECT_EQ(link.FailureReported.load(), 0);
  EXPECT_EQ(link.Connected.load(), 0);
  EXPECT_EQ(link.Sock.load(), NO_SOCKET);

  GoDown();
  RunWorker(&link);
  EXPECT_NE(Captured().find("Connect Failed for HAMLIB socket"), std::string::npos);
}

TEST_F(LinkWorkerTest, CommandWithoutAConnectionIsDroppedQuietlyButStillDecided) {
  EXPECT_EQ(Links[0].DecidedPtt.load(), PTT_UNDECIDED);
  SendPttCommand(&Links[0], 1);
  EXPECT_EQ(Captured(), "");
  EXPECT_EQ(Links[0].Sock.load(), NO_SOCKET);
  EXPECT_EQ(Links[0].DecidedPtt.load(), 1);
  SendPttCommand(&Links[0], 0);
  EXPECT_EQ(Links[0].DecidedPtt.load(), 0);
}

TEST_F(LinkWorkerTest, SendsRacingConnectionsNeverTouchAStaleHandle) {
  // A sender hammers the link while connections come and go: every command
  // must land on a live connection of this link or be dropped.
  HamlibLink& link = Links[0];
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    while (!stop.load()) {
      SendPttCommand(&link, 1);
    }
  });
  for (int round = 0; round < 20; ++round) {
    std::string seen;
    std::thread server = ServeOneCommand(&seen);
    RunWorker(&link);
    server.join();
    EXPECT_EQ(seen.substr(0, 4), "T 1\n") << "round " << round;
  }
  stop.store(true);
  sender.join();
}

// How long a server waits for the client to end the connection.
constexpr int END_WAIT_MS = LINK_WAIT_MS + 3000;

std::atomic<int> TakenBytes{0};

// Stands in for a system that takes only the first TakenBytes bytes of a
// command, and sends them for real, or none at all (as when the server has
// stopped reading and the send queue is full).
int TakeOnlyPart(SocketHandle sock, const char* bytes, int count) {
  int taken = TakenBytes.load();
  if (taken == 0) {
    return -1;
  }
  return PlatformSendNow(sock, bytes, taken < count ? taken : count);
}

TEST_F(LinkWorkerTest, ACommandNotTakenWholeEndsTheConnectionWithNothingAfterIt) {
  HamlibLink& link = Links[0];
  for (int taken : {2, 0}) {
    SCOPED_TRACE(taken);
    StartCapture();
    PeerStream record;
    std::thread server([this, &record] {
      SocketHandle peer = LoopbackAccept(listener_, WAIT_MS);
      ASSERT_NE(peer, NO_SOCKET);
      record = ReadUntilEnd(peer, END_WAIT_MS);
      PlatformCloseSocket(peer);
    });
    std::thread worker(RunWorker, &link);
    WaitUntilConnected(link);
    SendPttCommand(&link, 1);
    TakenBytes.store(taken);
    SetCommandSender(TakeOnlyPart);
    std::int64_t torn = PlatformMonotonicMicros();
    SendPttCommand(&link, 0);
    SetCommandSender(nullptr);
    EXPECT_EQ(link.Sendable.load(), 0);
    EXPECT_EQ(link.Connected.load(), 0);
    SendPttCommand(&link, 1);  // the connection takes no command after a torn one
    worker.join();
#ifndef _WIN32
    // Shutting the receiving side wakes the worker at once.
    EXPECT_LT(PlatformMonotonicMicros() - torn, 1000000);
#else
    (void)torn;                          // Windows' select is not woken: the worker ends at its timeout
#endif
    // Whenever it ends, the worker closes the socket itself: it does not
    // stay open until the next worker, up to 16 s later.
    EXPECT_EQ(link.Sock.load(), NO_SOCKET);
    server.join();
    EXPECT_EQ(record.Received, "T 1\n" + std::string("T 0\n", static_cast<std::size_t>(taken)));
#ifndef _WIN32
    // Wine's recv reports a reset as an orderly close, so only here can the
    // server tell that what was still queued was thrown away.
    EXPECT_EQ(record.End, StreamEnd::Reset);
#endif
    EXPECT_EQ(Captured(), Connected(link) + Terminated(link));
    EXPECT_EQ(link.WorkerActive.load(), 0);
  }
}

// --- the server's answers: commands go to a stand-in, and answers are
// handed over as the worker would, at times given in seconds.
std::string ToServer;
int TakeWhole(SocketHandle /*sock*/, const char* bytes, int count) {
  ToServer.append(bytes, static_cast<std::size_t>(count));
  return count;
}

class RigctlAnswersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTables();
    PointLinkAt(0, "127.0.0.1:4532");
    link_.Settings.FailSafe = 1;
    SetCommandSender(TakeWhole);
    NewConnection();
    StartCapture();
  }
  void TearDown() override { StopCapture(), SetCommandSender(nullptr); }
  void NewConnection() {
    link_.Sock.store(1000);  // never touched
    MarkLinkSendable(&link_, false);
    reader_ = AnswerReader{};
    ToServer.clear();
  }
  void Answer(const char* text, std::int64_t second = 0) {
    ReadAnswers(&link_, &reader_, text, static_cast<int>(std::strlen(text)), second * 1000000);
  }
  // A "T 0" refused at 0 s: whether it goes out again at 1 s.
  bool ResentAfterARefusal(void (*between)(HamlibLink*)) {
    SendPttCommand(&link_, 0);
    Answer("RPRT -5\n");
    between(&link_);
    ToServer.clear();
    ResendIfDue(&link_, &reader_, 1000000);
    return ToServer == "T 0\n";
  }
  HamlibLink& link_ = Links[0];
  AnswerReader reader_{};
};

TEST_F(RigctlAnswersTest, EachAnswerMatchesTheOldestCommandOnItsConnection) {
  link_.Settings.FailSafe = 0;
  SendPttCommand(&link_, 1);
  SendPttCommand(&link_, 0);
  Answer("RP");  // split, late, among other lines, and one too many
  Answer("RT -1\nget_ptt: 1\nRPRT 0\r\nRPRT -1\n");
  SendPttCommand(&link_, 1);
  Answer("RPRT -9999999999\nRPRT -11\n");
  for (int i = 0; i < 20; ++i) {  // beyond 16 unanswered nothing is matched
    SendPttCommand(&link_, 1);
  }
  Answer("RPRT -1\n");
  NewConnection();
  SendPttCommand(&link_, 0);
  Answer("RPRT -4\n");
  std::string addr = "HAMLIB Addr 127.0.0.1:4532 refused T ";
  EXPECT_EQ(Captured(), addr + "1 with RPRT -1 - check the server's PTT setting (rigctld: -P)\r\n" +
                            addr + "1 with RPRT -11\r\n" + addr + "0 with RPRT -4\r\n");
}

// An answer that never comes (rigctld --vfo waits for the PTT value after
// "T 1"; a rig that does not answer) ends the matching at the deadline of
// its own command, once, so that no later answer meets the wrong command.
TEST_F(RigctlAnswersTest, AnOverdueAnswerEndsTheMatchingOnItsConnection) {
  link_.Settings = LinkSettings{0, 1, 1};  // --verbose --vfo
  for (int i = 0; i < 20; ++i) {           // answered in time, round the ring of send times
    SendPttCommand(&link_, 1), Answer("RPRT 0\n");
  }
  SendPttCommand(&link_, 1);
  std::int64_t between = PlatformMonotonicMicros();
  PlatformSleepMs(2);
  SendPttCommand(&link_, 0);
  std::int64_t after = PlatformMonotonicMicros();
  Answer("RPRT -1\n");
  EXPECT_LE(MsUntilAnswerOverdue(&link_, after + ANSWER_DEADLINE_MICROS - 500000, 5000), 500);
  EndMatchingIfOverdue(&link_, between + ANSWER_DEADLINE_MICROS);
  EXPECT_EQ(link_.UnansweredCount.load(), 1);  // T 0 is not overdue yet
  for (std::int64_t at : {after, 2 * after}) {
    EndMatchingIfOverdue(&link_, at + ANSWER_DEADLINE_MICROS);
  }
  Answer("RPRT -19\n");
  std::string addr = "HAMLIB Addr 127.0.0.1:4532 ";
  EXPECT_EQ(Captured(), addr + "refused T 1 with RPRT -1 - check --vfo: is rigctld started with " +
                            "--vfo?\r\n" + addr + "did not answer T 0 within 10 s - answers " +
                            "ignored (a rigctld started without --vfo needs Tarnwick without " +
                            "--vfo, or the rig is not answering)\r\n");
  EXPECT_EQ(ToServer.substr(ToServer.size() - 24), "T currVFO 1\nT currVFO 0\n");
}

TEST_F(RigctlAnswersTest, ARefusedReleaseIsSentAgainEverySecondUntilTaken) {
  SendPttCommand(&link_, 0);
  Answer("RPRT -5\n");
  EXPECT_EQ(MsUntilResend(reader_, 250000, LINK_WAIT_MS), 750);
  for (std::int64_t second = 1; second <= 602; ++second) {
    ResendIfDue(&link_, &reader_, second * 1000000);
    Answer(second <= 601 ? "RPRT -5\n" : "RPRT 0\n", second);
  }
  ResendIfDue(&link_, &reader_, 603 * 1000000);
  EXPECT_EQ(ToServer.size(), 603u * PLAIN_COMMAND_LENGTH);
  std::string addr = "HAMLIB Addr 127.0.0.1:4532 ";
  EXPECT_EQ(Captured(), addr + "refused T 0 (RPRT -5) - sending it again every second\r\n" + addr +
                            "still refuses T 0 (RPRT -5)\r\n" + addr + "took T 0\r\n");
}

TEST_F(RigctlAnswersTest, TheResendEndsWithANewerCommandTheLinkOrTheWayOut) {
  EXPECT_TRUE(ResentAfterARefusal([](HamlibLink*) {}));
  EXPECT_FALSE(ResentAfterARefusal([](HamlibLink* link) { SendPttCommand(link, 1); }));
  EXPECT_FALSE(ResentAfterARefusal([](HamlibLink* link) { link->Sendable.store(0); }));
  NewConnection();
  EXPECT_FALSE(ResentAfterARefusal([](HamlibLink* link) { link->ExitStage.store(LINK_SILENT); }));
  link_.Settings.FailSafe = 0;
  link_.ExitStage.store(LINK_SENDING);
  EXPECT_FALSE(ResentAfterARefusal([](HamlibLink*) {}));
}

}  // namespace
