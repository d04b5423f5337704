#include "ptt/ptt_monitor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "app/settings.h"
#include "tests/test_support.h"

namespace {

// A port layer in memory: each port opens or fails as told, and the test
// decides when its operation completes and with what.
struct FakePort {
  int VirtualError;  // 0: opens as a virtual port
  int ComError;      // 0: opens as a COM port
  PortResult Result;
  int FailCode;
  std::vector<std::uint8_t> Data;
  int CtsOn;
  bool CtsReadable;
  int StartError;  // an operation that fails as it starts
  int Starts;
  std::uint8_t* Buffer;
  bool Watched;
};

FakePort Fake[MAX_PORTS];
bool EventSet = false;
int EventCreateError = 0;
int Waits = 0;
int LastTimeoutMs = -1;
std::vector<int> WaitTimeouts;
// Whether a wait that times out moves the clock by its timeout, as real
// time would; otherwise the tests set the clock themselves.
bool WaitsMoveTheClock = false;
int CtsReads = 0;
// Called once on the next ReadCts, after it has answered.
void (*AfterCtsRead)() = nullptr;
// What the monitor asked of the ports, in order: "open 0 virtual",
// "close 0", each with the clock in milliseconds ("@16000").
std::vector<std::string> Calls;
std::vector<std::pair<int, int>> Sent;  // (slot, state)
// Called on each GetResult of port `HookPort`, before it answers.
int HookPort = -1;
void (*Hook)() = nullptr;

// The monitor's clock, moved by the tests and by every wait that times out.
std::int64_t ClockMicros = 0;
std::int64_t FakeNow() { return ClockMicros; }

void NoteCall(const std::string& call) {
  Calls.push_back(call + " @" + std::to_string(ClockMicros / 1000));
}

int FakeOpen(const char* name, PortHandle* port, bool com) {
  int slot = name[0] - '0';
  NoteCall("open " + std::to_string(slot) + (com ? " com" : " virtual"));
  int error = com ? Fake[slot].ComError : Fake[slot].VirtualError;
  if (error == 0) {
    *port = slot;
  }
  return error;
}
int OpenVirtual(const char* name, PortHandle* port) { return FakeOpen(name, port, false); }
int OpenCom(const char* name, PortHandle* port) { return FakeOpen(name, port, true); }
void Watch(PortHandle port) { Fake[port].Watched = true; }
int CreateEvent() { return EventCreateError; }
EventWaitResult WaitEvent(int timeoutMs) {
  ++Waits;
  LastTimeoutMs = timeoutMs;
  WaitTimeouts.push_back(timeoutMs);
  if (EventSet) {
    return EventWaitResult::Signalled;
  }
  if (WaitsMoveTheClock) {
    ClockMicros += std::int64_t{timeoutMs} * 1000;
  }
  return EventWaitResult::Timeout;
}
void ResetEvent() { EventSet = false; }
// As on Windows, starting an operation resets the shared event.
int StartOperation(PortHandle port) {
  EventSet = false;
  Fake[port].Starts += 1;
  if (Fake[port].StartError != 0) {
    return Fake[port].StartError;
  }
  Fake[port].Result = PortResult::Pending;
  return 0;
}
int StartRead(PortHandle port, std::uint8_t* buffer, int capacity) {
  EXPECT_EQ(capacity, READ_BUFFER_SIZE);
  Fake[port].Buffer = buffer;
  return StartOperation(port);
}
int StartLineWait(PortHandle port) { return StartOperation(port); }
PortResult GetResult(PortHandle port, int* bytes, int* errorCode) {
  if (port == HookPort && Hook != nullptr) {
    Hook();
  }
  FakePort& fake = Fake[port];
  if (fake.Result == PortResult::Completed) {
    // An empty read has no data pointer, and memcpy from null is undefined
    // even for 0 bytes.
    if (!fake.Data.empty()) {
      std::memcpy(fake.Buffer, fake.Data.data(), fake.Data.size());
    }
    *bytes = static_cast<int>(fake.Data.size());
  } else if (fake.Result == PortResult::Failed) {
    *errorCode = fake.FailCode;
  }
  return fake.Result;
}
bool ReadCts(PortHandle port, int* ctsOn) {
  ++CtsReads;
  *ctsOn = Fake[port].CtsOn;
  if (AfterCtsRead != nullptr) {
    void (*after)() = AfterCtsRead;
    AfterCtsRead = nullptr;
    after();
  }
  return Fake[port].CtsReadable;
}
void ClosePort(PortHandle port) { NoteCall("close " + std::to_string(port)); }

const PortLayer FakeLayer = {OpenVirtual, OpenCom,    Watch,     CreateEvent,
                             WaitEvent,   ResetEvent, StartRead, StartLineWait,
                             GetResult,   ReadCts,    ClosePort};

// Records the command, and decides the port's state as the real sender does.
bool RecordSend(int slot, int pttOn) {
  Sent.emplace_back(slot, pttOn);
  Links[slot].DecidedPtt.store(pttOn);
  return true;
}

void Complete(int slot, std::vector<std::uint8_t> data = {}) {
  Fake[slot].Result = PortResult::Completed;
  Fake[slot].Data = std::move(data);
  EventSet = true;
}

class PttMonitorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTables();
    for (FakePort& fake : Fake) {
      fake = FakePort{2, 2, PortResult::Pending, 0, {}, 0, true, 0, 0, nullptr, false};
    }
    EventSet = false;
    EventCreateError = 0;
    Waits = 0;
    WaitTimeouts.clear();
    WaitsMoveTheClock = false;
    Calls.clear();
    Sent.clear();
    HookPort = -1;
    Hook = nullptr;
    LastTimeoutMs = -1;
    CtsReads = 0;
    AfterCtsRead = nullptr;
    ClockMicros = 0;
    state_ = PttMonitorState{&FakeLayer, RecordSend, FakeNow, MonitorSettingsFrom(RunOptions{}),
                             {},         0,          0,       RecordSend,
                             {},         {},         0};
    StartCapture();
  }
  void TearDown() override { StopCapture(); }

  // Port names are their slot digits, so the fake knows which port is asked for.
  static void UseSlot(int k) { std::snprintf(PortNames[k], PORT_NAME_SIZE, "%d", k); }

  bool Start() { return OpenMonitoredPorts(&state_) && StartMonitoring(&state_); }

  PttMonitorState state_{};
};

TEST_F(PttMonitorTest, OpensVirtualPortsSilentlyAndComPortsWithTheirMessages) {
  UseSlot(0);
  UseSlot(1);
  UseSlot(2);
  Fake[0].VirtualError = 0;
  Fake[1].ComError = 0;
  Fake[2].ComError = 5;
  ASSERT_TRUE(Start());
  EXPECT_EQ(Captured(),
            "TXGATE port QVN1 Open failed code 2 - trying real com port\r\n"
            "TXGATE port 1 Opened\r\n"
            "TXGATE port QVN2 Open failed code 2 - trying real com port\r\n"
            "TXGATE port 2 Open failed code 5\r\n");
  EXPECT_EQ(state_.PortCount, 2);
  EXPECT_TRUE(Fake[1].Watched);
  EXPECT_EQ(Fake[0].Starts, 1);
  EXPECT_EQ(Fake[1].Starts, 1);
  EXPECT_TRUE(Sent.empty());  // nothing is sent at start-up
}

TEST_F(PttMonitorTest, OpeningStopsAtTheFirstEmptySlot) {
  UseSlot(0);
  UseSlot(2);
  Fake[0].VirtualError = 0;
  Fake[2].VirtualError = 0;
  ASSERT_TRUE(Start());
  EXPECT_EQ(state_.PortCount, 1);
}

TEST_F(PttMonitorTest, NoFirstPortMeansNoMonitor) {
  UseSlot(1);
  Fake[1].VirtualError = 0;
  EXPECT_FALSE(OpenMonitoredPorts(&state_));
}

TEST_F(PttMonitorTest, ComPortSendsCtsOnEveryLineEvent) {
  UseSlot(0);
  Fake[0].ComError = 0;
  ASSERT_TRUE(Start());
  Fake[0].CtsOn = 1;
  Complete(0);  // CTS rose
  MonitorPass(&state_);
  Complete(0);  // DSR changed: the unchanged CTS is sent again
  MonitorPass(&state_);
  Fake[0].CtsOn = 0;
  Complete(0);
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{0, 1}, {0, 1}, {0, 0}}));
  EXPECT_EQ(Fake[0].Starts, 4);
}

TEST_F(PttMonitorTest, UnreadableModemStatusSendsNothing) {
  UseSlot(0);
  Fake[0].ComError = 0;
  ASSERT_TRUE(Start());
  Fake[0].CtsOn = 1;
  Fake[0].CtsReadable = false;
  Complete(0);
  MonitorPass(&state_);
  EXPECT_TRUE(Sent.empty());
  EXPECT_EQ(Fake[0].Starts, 2);  // still watched
}

TEST_F(PttMonitorTest, VirtualPortStatusBytesAreDecodedAndEmptyReadsRestarted) {
  UseSlot(0);
  Fake[0].VirtualError = 0;
  ASSERT_TRUE(Start());
  Complete(0, {0x41, 0xFF, 0x02});
  MonitorPass(&state_);
  Complete(0, {});
  MonitorPass(&state_);
  Complete(0, {0xFF, 0x00});
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{0, 1}, {0, 0}}));
  EXPECT_EQ(Fake[0].Starts, 4);
}

TEST_F(PttMonitorTest, PortAfterAFailedOneStillSendsOnItsOwnLink) {
  UseSlot(0);
  UseSlot(1);
  Fake[1].VirtualError = 0;
  ASSERT_TRUE(Start());
  Complete(1, {0xFF, 0x02});
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{1, 1}}));
}

TEST_F(PttMonitorTest, AllPortsFailingLeavesTheMonitorIdle) {
  UseSlot(0);
  UseSlot(1);
  ASSERT_TRUE(Start());
  for (int pass = 0; pass < 3; ++pass) {
    MonitorPass(&state_);
  }
  EXPECT_EQ(Waits, 3);
  EXPECT_TRUE(Sent.empty());
}

TEST_F(PttMonitorTest, FailedOperationIsAnnouncedOnceAndTheOtherPortGoesOn) {
  UseSlot(0);
  UseSlot(1);
  Fake[0].VirtualError = 0;
  Fake[1].VirtualError = 0;
  ASSERT_TRUE(Start());
  Fake[0].Result = PortResult::Failed;
  Fake[0].FailCode = 109;
  Complete(1, {0xFF, 0x02});
  MonitorPass(&state_);
  MonitorPass(&state_);
  Complete(1, {0xFF, 0x00});
  MonitorPass(&state_);
  EXPECT_EQ(Captured(), "TXGATE port 0 Closed code 109 - no longer monitored\r\n");
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{1, 1}, {1, 0}}));
  EXPECT_EQ(Fake[0].Starts, 1);  // never restarted
}

TEST_F(PttMonitorTest, AComPortWhoseNextWaitCannotStartIsReleasedAndNotKeyedAgain) {
  state_.Settings.FailSafe = 1;
  UseSlot(0);
  Fake[0].ComError = 0;
  ASSERT_TRUE(Start());
  Fake[0].CtsOn = 1;
  Complete(0);
  MonitorPass(&state_);
  // A DSR change while CTS is still on, and the next wait fails to start:
  // the stopped port's release must be the last word.
  Fake[0].StartError = 22;
  Complete(0);
  MonitorPass(&state_);
  // (Opened with CTS off, and so decided.)
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{0, 0}, {0, 1}, {0, 0}}));
  EXPECT_EQ(Links[0].DecidedPtt.load(), 0);
  EXPECT_EQ(Captured(),
            "TXGATE port QVN0 Open failed code 2 - trying real com port\r\n"
            "TXGATE port 0 Opened\r\n"
            "TXGATE port 0 Closed code 22 - no longer monitored\r\n");
}

TEST_F(PttMonitorTest, APortThatStopsKeyedIsReleasedOnlyWithFailSafe) {
  struct StopCase {
    int FailSafe;
    std::vector<std::uint8_t> LastStatus;  // what the port said before it stopped
    std::vector<std::pair<int, int>> Sent;
  };
  // With the option a virtual port is decided off as it opens.
  const StopCase cases[] = {
      {1, {0xFF, 0x02}, {{0, 0}, {0, 1}, {0, 0}}},              // keyed: released at once
      {1, {0xFF, 0x02, 0xFF, 0x00}, {{0, 0}, {0, 1}, {0, 0}}},  // released: nothing more
      {1, {}, {{0, 0}}},                                        // never keyed: nothing more
      {0, {0xFF, 0x02}, {{0, 1}}},                              // without the option it stays keyed
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << "fail-safe " << c.FailSafe << ", " << c.LastStatus.size() << " status bytes");
    SetUp();
    state_.Settings.FailSafe = c.FailSafe;
    UseSlot(0);
    Fake[0].VirtualError = 0;
    ASSERT_TRUE(Start());
    Complete(0, c.LastStatus);
    MonitorPass(&state_);
    Fake[0].Result = PortResult::Failed;
    Fake[0].FailCode = 109;
    EventSet = true;
    MonitorPass(&state_);
    EXPECT_EQ(Captured(), "TXGATE port 0 Closed code 109 - no longer monitored\r\n");
    EXPECT_EQ(Sent, c.Sent);
    std::int32_t decided = c.Sent.empty() ? PTT_UNDECIDED : c.Sent.back().second;
    EXPECT_EQ(Links[0].DecidedPtt.load(), decided);
  }
}

TEST_F(PttMonitorTest, OperationThatCannotStartIsAnnounced) {
  UseSlot(0);
  Fake[0].VirtualError = 0;
  Fake[0].StartError = 232;
  ASSERT_TRUE(Start());
  EXPECT_EQ(Captured(), "TXGATE port 0 Closed code 232 - no longer monitored\r\n");
  MonitorPass(&state_);
  EXPECT_EQ(Fake[0].Starts, 1);
}

TEST_F(PttMonitorTest, CompletionDuringAScanIsNotLost) {
  UseSlot(0);
  UseSlot(1);
  Fake[0].VirtualError = 0;
  Fake[1].VirtualError = 0;
  ASSERT_TRUE(Start());
  // Port 0 completes after it was scanned, while port 1 is being handled;
  // port 1's restart then resets the event that port 0 had set.
  HookPort = 1;
  Hook = [] {
    Hook = nullptr;
    Complete(0, {0xFF, 0x02});
  };
  Complete(1, {0xFF, 0x02});
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{1, 1}, {0, 1}}));
}

TEST_F(PttMonitorTest, CompletionWhoseSignalWasLostIsFoundOnTimeout) {
  UseSlot(0);
  Fake[0].VirtualError = 0;
  ASSERT_TRUE(Start());
  Complete(0, {0xFF, 0x02});
  EventSet = false;  // the signal was wiped
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{0, 1}}));
}

// --- the once-a-second check of the COM lines ------------------------------

using Sends = std::vector<std::pair<int, int>>;

class ComLineCheckTest : public PttMonitorTest {
 protected:
  // A COM port in comSlot (and a virtual port in virtualSlot, if any) that
  // has keyed PTT; then CTS drops in a way that no wait reports, as between
  // two waits.
  void KeyThenDropUnreported(int comSlot = 0, int virtualSlot = -1) {
    UseSlot(comSlot);
    Fake[comSlot].ComError = 0;
    if (virtualSlot >= 0) {
      UseSlot(virtualSlot);
      Fake[virtualSlot].VirtualError = 0;
    }
    ASSERT_TRUE(Start());
    Fake[comSlot].CtsOn = 1;
    Complete(comSlot);
    MonitorPass(&state_);
    ASSERT_EQ(Sent, (Sends{{comSlot, 1}}));
    Fake[comSlot].CtsOn = 0;
  }

  void PassAt(std::int64_t micros) {
    ClockMicros = micros;
    MonitorPass(&state_);
  }
};

TEST_F(ComLineCheckTest, UnreportedDropIsSentAtTheSecondLookAndOnlyOnce) {
  KeyThenDropUnreported();
  PassAt(999999);
  PassAt(1000000);  // the check's first look
  PassAt(1099999);
  EXPECT_EQ(Sent, (Sends{{0, 1}}));
  PassAt(1100000);  // the second
  EXPECT_EQ(Sent, (Sends{{0, 1}, {0, 0}}));
  PassAt(2100000);
  PassAt(3100000);
  EXPECT_EQ(Sent, (Sends{{0, 1}, {0, 0}}));  // decided and sent: nothing more
  EXPECT_EQ(Fake[0].Starts, 2);              // the line watch was left as it was
}

TEST_F(ComLineCheckTest, ChangeReportedBeforeTheSecondLookIsSentOnce) {
  KeyThenDropUnreported();
  PassAt(1000000);
  Complete(0);  // the wait reports the drop after all
  PassAt(1050000);
  PassAt(1100000);
  PassAt(2100000);
  EXPECT_EQ(Sent, (Sends{{0, 1}, {0, 0}}));
}

TEST_F(ComLineCheckTest, DifferenceGoneByTheSecondLookSendsNothing) {
  KeyThenDropUnreported();
  PassAt(1000000);
  Fake[0].CtsOn = 1;  // back on, unreported too
  PassAt(1100000);
  PassAt(2100000);
  EXPECT_EQ(Sent, (Sends{{0, 1}}));
}

TEST_F(ComLineCheckTest, WaitLastsUntilTheNextLookAndAtMostASecond) {
  KeyThenDropUnreported();
  PassAt(400000);
  EXPECT_EQ(LastTimeoutMs, 600);
  PassAt(999001);
  EXPECT_EQ(LastTimeoutMs, 1);  // rounded up: the wait does not end short of it
  PassAt(1000000);
  EXPECT_EQ(LastTimeoutMs, 0);  // due: the wait only looks
  PassAt(1000000);
  EXPECT_EQ(LastTimeoutMs, 100);  // the second look
  PassAt(1100000);
  PassAt(1100000);
  EXPECT_EQ(LastTimeoutMs, MONITOR_WAIT_MS);
  PassAt(9000000);  // a clock far ahead never makes a longer wait
  EXPECT_EQ(LastTimeoutMs, 0);
}

TEST_F(ComLineCheckTest, BusyVirtualPortCannotPutTheCheckOff) {
  KeyThenDropUnreported(1, 0);
  // Data comes on the virtual port every 10 ms: no wait ever times out.
  int pass = 0;
  for (; pass < 200 && Sent.size() < 2; ++pass) {
    ClockMicros += 10000;
    Complete(0, {0x41, 0x42});
    MonitorPass(&state_);
  }
  EXPECT_EQ(Sent, (Sends{{1, 1}, {1, 0}}));
  EXPECT_EQ(pass, 110);  // the second look, 1.1 s after the start
}

TEST_F(ComLineCheckTest, PortThatHasDecidedNothingIsLeftAlone) {
  UseSlot(0);
  Fake[0].ComError = 0;
  ASSERT_TRUE(Start());
  Fake[0].CtsOn = 1;  // at start-up, or changed unreported before any command
  for (int second = 1; second <= 3; ++second) {
    PassAt(second * 1000000LL);
  }
  EXPECT_TRUE(Sent.empty());
  EXPECT_EQ(CtsReads, 0);
}

TEST_F(ComLineCheckTest, UnreadableStatusSendsNothingUntilItCanBeRead) {
  KeyThenDropUnreported();
  Fake[0].CtsReadable = false;
  PassAt(1000000);
  PassAt(2000000);
  EXPECT_EQ(Sent, (Sends{{0, 1}}));
  Fake[0].CtsReadable = true;
  PassAt(3000000);
  PassAt(3100000);
  EXPECT_EQ(Sent, (Sends{{0, 1}, {0, 0}}));
}

TEST_F(ComLineCheckTest, ClosedComPortAndVirtualPortsAreNotChecked) {
  KeyThenDropUnreported(0, 1);
  Complete(1, {0xFF, 0x02});
  MonitorPass(&state_);
  ASSERT_EQ(Sent, (Sends{{0, 1}, {1, 1}}));
  Fake[0].Result = PortResult::Failed;  // the adapter was unplugged
  Fake[0].FailCode = 5;
  PassAt(1000000);
  int reads = CtsReads;
  PassAt(2000000);
  EXPECT_EQ(Sent, (Sends{{0, 1}, {1, 1}}));
  EXPECT_EQ(CtsReads, reads);
}

// Where a wait takes the line's level when it starts as its baseline, a
// change right after CTS was read is reported only if the wait started
// before the read. The fake's wait here does just that.
TEST_F(PttMonitorTest, ComPortWaitsAgainBeforeItReadsCts) {
  UseSlot(0);
  Fake[0].ComError = 0;
  ASSERT_TRUE(Start());
  Fake[0].CtsOn = 1;
  Complete(0);
  AfterCtsRead = [] {
    Fake[0].CtsOn = 0;
    if (Fake[0].Result == PortResult::Pending) {  // the new wait was under way
      Complete(0);
    }
  };
  MonitorPass(&state_);
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (Sends{{0, 1}, {0, 0}}));
}

TEST_F(PttMonitorTest, EventThatCannotBeCreatedEndsTheMonitorWithAMessage) {
  UseSlot(0);
  Fake[0].VirtualError = 0;
  EventCreateError = 8;
  EXPECT_FALSE(Start());
  EXPECT_EQ(Captured(), "TXGATE port monitor failed to start code 8\r\n");
  EXPECT_EQ(Fake[0].Starts, 0);
}

// --reopen: the monitor's own schedule, on its own clock.
class PortReopen : public PttMonitorTest {
 protected:
  static constexpr std::int64_t SECOND = 1000 * 1000;

  void SetUp() override {
    PttMonitorTest::SetUp();
    state_.Settings.Reopen = 1;
    WaitsMoveTheClock = true;
  }

  // Monitor passes until the clock reaches the time given.
  void RunUntil(std::int64_t micros) {
    for (int pass = 0; ClockMicros < micros; ++pass) {
      ASSERT_LT(pass, 100000) << "the clock does not move";
      MonitorPass(&state_);
    }
  }

  // The calls made to the ports that begin with the text given.
  static std::vector<std::string> CallsOf(const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : Calls) {
      if (call.compare(0, prefix.size(), prefix) == 0) {
        found.push_back(call);
      }
    }
    return found;
  }
};

TEST_F(PortReopen, MissingPortIsTriedEvery16SecondsSilentlyUntilItOpens) {
  UseSlot(0);
  ASSERT_TRUE(Start());
  RunUntil(20 * SECOND);
  Fake[0].VirtualError = 231;  // whatever the code, a retry says nothing
  Fake[0].ComError = 5;
  RunUntil(40 * SECOND);
  Fake[0].VirtualError = 0;
  RunUntil(50 * SECOND);
  EXPECT_EQ(CallsOf("open"),
            (std::vector<std::string>{"open 0 virtual @0", "open 0 com @0", "open 0 virtual @16000",
                                      "open 0 com @16000", "open 0 virtual @32000",
                                      "open 0 com @32000", "open 0 virtual @48000"}));
  EXPECT_EQ(Captured(),
            "TXGATE port QVN0 Open failed code 2 - trying real com port\r\n"
            "TXGATE port 0 Open failed code 2\r\n"
            "TXGATE port 0 Reopened\r\n");
  // Watched from then on, from a cleared status.
  Complete(0, {0xFF, 0x00, 0xFF, 0x02});
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{0, 1}}));
  EXPECT_TRUE(CallsOf("close").empty());  // nothing was open to close
}

TEST_F(PortReopen, WaitEndsByTheNextDueTimeRoundedUpAndNeverSooner) {
  UseSlot(0);
  ASSERT_TRUE(Start());
  ClockMicros = 16 * SECOND - 2500;
  // The COM-line check, due once a second, fell due at 1 s: that pass does
  // it at once, and it falls due again a second later.
  MonitorPass(&state_);
  EXPECT_EQ(WaitTimeouts, (std::vector<int>{0}));
  WaitTimeouts.clear();
  MonitorPass(&state_);  // 2.5 ms to the try: waits 3 ms, not 2
  EXPECT_EQ(WaitTimeouts, (std::vector<int>{3}));
  EXPECT_EQ(CallsOf("open 0 virtual").size(), 2U);  // due at the end of that wait
  MonitorPass(&state_);  // the next try is a whole period away: the check's wait
  EXPECT_EQ(WaitTimeouts, (std::vector<int>{3, 997}));
  // Every wait of a longer run ends on or before the due time, never after.
  RunUntil(40 * SECOND);
  EXPECT_EQ(CallsOf("open 0 virtual"),
            (std::vector<std::string>{"open 0 virtual @0", "open 0 virtual @16000",
                                      "open 0 virtual @32000"}));
  for (int timeout : WaitTimeouts) {
    EXPECT_LE(timeout, MONITOR_WAIT_MS);
    EXPECT_GT(timeout, 0);  // a due duty is done, not waited for again
  }
}

TEST_F(PortReopen, BusyPortCannotPutTheReopenOff) {
  UseSlot(0);
  UseSlot(1);
  Fake[0].VirtualError = 0;
  ASSERT_TRUE(Start());
  Fake[1].VirtualError = 0;  // port 1 is there from now on
  // Port 0 completes again each time it is asked, 50 ms apart, for 20 s:
  // one pass never runs out of completions.
  HookPort = 0;
  Hook = [] {
    ClockMicros += 50 * 1000;
    if (ClockMicros < 20 * SECOND) {
      Complete(0, {0x41});
    }
  };
  Complete(0, {0x41});
  MonitorPass(&state_);
  EXPECT_EQ(Waits, 1);
  EXPECT_EQ(CallsOf("open 1"), (std::vector<std::string>{"open 1 virtual @0", "open 1 com @0",
                                                         "open 1 virtual @16000"}));
  EXPECT_EQ(Fake[1].Starts, 1);
}

TEST_F(PortReopen, FailuresAreSaidOncePerOutageAndTheHandleClosedFirst) {
  UseSlot(0);
  Fake[0].VirtualError = 0;
  ASSERT_TRUE(Start());
  ClockMicros = 5 * SECOND;
  Fake[0].Result = PortResult::Failed;  // QVN closed the port
  Fake[0].FailCode = 109;
  EventSet = true;
  MonitorPass(&state_);
  EXPECT_EQ(CallsOf("close"), (std::vector<std::string>{"close 0 @5000"}));
  Fake[0].VirtualError = 2;
  RunUntil(30 * SECOND);  // one silent retry, at 21 s
  Fake[0].VirtualError = 0;
  Fake[0].StartError = 232;  // opens, and fails as its read starts
  RunUntil(40 * SECOND);     // at 37 s
  Fake[0].StartError = 0;
  Fake[0].ComError = 5;
  Fake[0].VirtualError = 2;
  RunUntil(60 * SECOND);  // a silent retry at 53 s
  Fake[0].VirtualError = 0;
  RunUntil(70 * SECOND);  // open again at 69 s
  // The reopen whose read failed as it started was the same outage.
  EXPECT_EQ(Captured(),
            "TXGATE port 0 Closed code 109 - no longer monitored\r\n"
            "TXGATE port 0 Reopened\r\n");
  EXPECT_EQ(Calls, (std::vector<std::string>{
                       "open 0 virtual @0", "close 0 @5000", "open 0 virtual @21000",
                       "open 0 com @21000", "open 0 virtual @37000", "close 0 @37000",
                       "open 0 virtual @53000", "open 0 com @53000", "open 0 virtual @69000"}));
}

TEST_F(PortReopen, VirtualPortStartsAgainFromAClearedStatusAndTheDecidedStateIsKept) {
  UseSlot(0);
  Fake[0].VirtualError = 0;
  ASSERT_TRUE(Start());
  Complete(0, {0xFF, 0x02});
  MonitorPass(&state_);
  Fake[0].Result = PortResult::Failed;
  Fake[0].FailCode = 109;
  EventSet = true;
  MonitorPass(&state_);
  RunUntil(17 * SECOND);
  EXPECT_EQ(Links[0].DecidedPtt.load(), 1);  // kept across the outage
  Complete(0, {0xFF, 0x02});                 // the same status as before: a change from cleared
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{0, 1}, {0, 1}}));
}

TEST_F(PortReopen, ComPortWhoseLinesStillFailIsOneOutage) {
  UseSlot(0);
  ASSERT_TRUE(Start());
  Fake[0].ComError = 0;
  Fake[0].CtsReadable = false;  // opens, but its lines cannot be read
  RunUntil(40 * SECOND);
  Fake[0].CtsReadable = true;
  RunUntil(50 * SECOND);
  EXPECT_EQ(CallsOf("close"), (std::vector<std::string>{"close 0 @16000", "close 0 @32000"}));
  EXPECT_EQ(Captured(),
            "TXGATE port QVN0 Open failed code 2 - trying real com port\r\n"
            "TXGATE port 0 Open failed code 2\r\n"
            "TXGATE port 0 Reopened\r\n");
}

TEST_F(PortReopen, ComPortIsWatchedAgainAndSaysReopened) {
  UseSlot(0);
  ASSERT_TRUE(Start());
  Fake[0].ComError = 0;
  RunUntil(17 * SECOND);
  EXPECT_TRUE(Fake[0].Watched);
  EXPECT_EQ(Fake[0].Starts, 1);
  Fake[0].CtsOn = 1;
  Complete(0);
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (std::vector<std::pair<int, int>>{{0, 1}}));
  EXPECT_EQ(Captured(),
            "TXGATE port QVN0 Open failed code 2 - trying real com port\r\n"
            "TXGATE port 0 Open failed code 2\r\n"
            "TXGATE port 0 Reopened\r\n");
}

TEST_F(PortReopen, SlotsAfterAnEmptyOneStayUnopened) {
  UseSlot(0);
  UseSlot(2);
  Fake[2].VirtualError = 0;
  ASSERT_TRUE(Start());
  RunUntil(40 * SECOND);
  EXPECT_TRUE(CallsOf("open 2").empty());
  EXPECT_EQ(CallsOf("open 0 virtual").size(), 3U);
}

TEST_F(PttMonitorTest, WithoutReopenAStoppedPortIsNeitherClosedNorTriedAgain) {
  UseSlot(0);
  UseSlot(1);
  Fake[0].VirtualError = 0;
  ASSERT_TRUE(Start());
  Fake[0].Result = PortResult::Failed;
  Fake[0].FailCode = 109;
  Fake[1].VirtualError = 0;
  for (int pass = 0; pass < 40; ++pass) {
    MonitorPass(&state_);
  }
  EXPECT_EQ(Calls,
            (std::vector<std::string>{"open 0 virtual @0", "open 1 virtual @0", "open 1 com @0"}));
  EXPECT_EQ(WaitTimeouts, std::vector<int>(40, MONITOR_WAIT_MS));
}

TEST_F(PttMonitorTest, WithFailSafeEachPortHasADecidedStateOnceItOpens) {
  state_.Settings.FailSafe = 1;
  for (int k = 0; k < 3; ++k) {
    UseSlot(k);
  }
  Fake[0].ComError = 0;
  Fake[0].CtsOn = 1;
  Fake[1].VirtualError = 0;
  Fake[2].ComError = 0;
  Fake[2].CtsReadable = false;
  ASSERT_TRUE(Start());
  EXPECT_EQ(Sent, (Sends{{0, 1}, {1, 0}}));
  EXPECT_EQ(Links[2].DecidedPtt.load(), PTT_UNDECIDED);
}

// --tx-timeout, on the monitor's clock.
std::vector<std::int64_t> ReleaseTimes;

bool RecordRelease(int slot, int pttOn) {
  ReleaseTimes.push_back(ClockMicros);
  return RecordSend(slot, pttOn);
}

class TxTimeoutTest : public PortReopen {
 protected:
  void SetUp() override {
    PortReopen::SetUp();
    state_.Settings.TxTimeoutSeconds = 2;
    state_.SendRelease = RecordRelease;
    ReleaseTimes.clear();
  }

  void Status(int slot, std::uint8_t status) {
    Complete(slot, {0xFF, status});
    MonitorPass(&state_);
  }

  static std::string TimedOut(int slot, int seconds) {
    return "TXGATE port " + std::to_string(slot) + " Transmit time-out after " +
           std::to_string(seconds) + " s - PTT released\r\n";
  }
  static std::string Dropped(int slot) {
    return "TXGATE port " + std::to_string(slot) +
           " PTT dropped by the application - time-out over\r\n";
  }
};

TEST_F(TxTimeoutTest, ReleasedWhenThePeriodEndsAndHeldUntilTheApplicationDrops) {
  UseSlot(0);
  Fake[0].VirtualError = 0;
  ASSERT_TRUE(Start());
  ClockMicros = SECOND / 2;
  Status(0, 0x02);  // keyed at 0.5 s
  ClockMicros = SECOND;
  Status(0, 0x03);  // sent again, unchanged: the period goes on
  RunUntil(5 * SECOND);
  EXPECT_EQ(ReleaseTimes, (std::vector<std::int64_t>{5 * SECOND / 2}));
  Status(0, 0x06);  // still held: neither sent nor decided
  EXPECT_EQ(Links[0].DecidedPtt.load(), 0);
  Status(0, 0x04);  // dropped: sent again, the time-out is over
  Status(0, 0x02);  // keyed again: a new period
  RunUntil(8 * SECOND);
  EXPECT_EQ(Sent, (Sends{{0, 1}, {0, 1}, {0, 0}, {0, 0}, {0, 1}, {0, 0}}));
  EXPECT_EQ(ReleaseTimes, (std::vector<std::int64_t>{5 * SECOND / 2, 7 * SECOND}));
  EXPECT_EQ(Captured(), TimedOut(0, 2) + Dropped(0) + TimedOut(0, 2));
}

TEST_F(TxTimeoutTest, AComPortHeldOnCountsForNothingUntilItsCtsDrops) {
  UseSlot(0);
  Fake[0].ComError = 0;
  ASSERT_TRUE(Start());
  Fake[0].CtsOn = 1;
  Complete(0);
  MonitorPass(&state_);  // keyed at 0
  RunUntil(4 * SECOND);  // released at 2 s; the line checks find CTS still on
  Complete(0);           // a DSR change: CTS still on
  MonitorPass(&state_);
  Fake[0].CtsOn = 0;
  RunUntil(6 * SECOND);  // a line check finds it off: over, and nothing to send
  Fake[0].CtsOn = 1;
  Complete(0);
  MonitorPass(&state_);
  EXPECT_EQ(Sent, (Sends{{0, 1}, {0, 0}, {0, 1}}));
  EXPECT_EQ(Captured(),
            "TXGATE port QVN0 Open failed code 2 - trying real com port\r\n"
            "TXGATE port 0 Opened\r\n" +
                TimedOut(0, 2) + Dropped(0));
}

TEST_F(TxTimeoutTest, AReopenNeitherEndsATimeOutNorARunningPeriod) {
  state_.Settings.TxTimeoutSeconds = 20;
  UseSlot(0);
  Fake[0].VirtualError = 0;
  ASSERT_TRUE(Start());
  Status(0, 0x02);  // keyed at 0, then QVN closes the port
  Fake[0].Result = PortResult::Failed;
  Fake[0].FailCode = 109;
  EventSet = true;
  MonitorPass(&state_);
  RunUntil(17 * SECOND);  // reopened at 16 s: the period goes on
  Status(0, 0x02);
  RunUntil(21 * SECOND);  // released at 20 s
  Fake[0].Result = PortResult::Failed;
  EventSet = true;
  RunUntil(38 * SECOND);  // closed at 21 s, reopened at 37 s: still timed out
  Status(0, 0x02);        // the application still holds PTT: nothing
  Status(0, 0x00);        // its own 0 ends the time-out, even as the first byte
  Status(0, 0x02);        // and keys as usual
  EXPECT_EQ(Sent, (Sends{{0, 1}, {0, 1}, {0, 0}, {0, 0}, {0, 1}}));
  EXPECT_EQ(ReleaseTimes, (std::vector<std::int64_t>{20 * SECOND}));
}

}  // namespace
