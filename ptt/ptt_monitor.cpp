#include "ptt/ptt_monitor.h"

#include <algorithm>
#include <cstring>

#include "core/console.h"
#include "ptt/status_stream.h"
#include "ptt/transmit_log.h"

namespace {

const char* PortName(const PttMonitorState* state, int slot) {
  return state->Settings.PortNames[slot];
}

bool SlotInUse(const PttMonitorState* state, int slot) { return PortName(state, slot)[0] != '\0'; }

int Decided(const PttMonitorState* state, int slot) {
  return state->Settings.Decided[slot]->load();
}

// Opens the slot's port as a virtual port, or else as a COM port, whose
// lines are then watched. Says why not only when told to. Returns the
// port's IsComPort, or -1 when it opened neither way.
int OpenByName(const PttMonitorState* state, int slot, bool sayFailures, PortHandle* handle) {
  const PortLayer* layer = state->Layer;
  const char* name = PortName(state, slot);
  int error = layer->OpenVirtualPort(name, handle);
  if (error == 0) {
    return 0;
  }
  if (sayFailures) {
    Print("TXGATE port QVN%s Open failed code %d - trying real com port\r\n", name, error);
  }
  error = layer->OpenComPort(name, handle);
  if (error != 0) {
    if (sayFailures) {
      Print("TXGATE port %s Open failed code %d\r\n", name, error);
    }
    return -1;
  }
  layer->WatchComLines(*handle);
  return 1;
}

// A port just opened starts from a cleared status, as at start-up.
void BeginWatching(MonitoredPort* port, PortHandle handle, int isComPort) {
  int slot = port->Slot;
  std::memset(port, 0, sizeof *port);
  port->Slot = slot;
  port->Handle = handle;
  port->IsComPort = isComPort;
  port->Active = 1;
}

void OpenPort(PttMonitorState* state, int slot) {
  PortHandle handle = NO_PORT;
  int isComPort = OpenByName(state, slot, true, &handle);
  if (isComPort == 1) {
    Print("TXGATE port %s Opened\r\n", PortName(state, slot));
  }
  if (isComPort < 0 && state->Settings.Reopen == 0) {
    return;
  }
  MonitoredPort& port = state->Ports[state->PortCount++];
  port.Slot = slot;
  if (isComPort < 0) {
    // --reopen: kept, closed, to be tried a period from now.
    BeginWatching(&port, NO_PORT, 0);
    port.Active = 0;
    port.ReopenDue = state->Now() + REOPEN_PERIOD_MICROS;
    return;
  }
  BeginWatching(&port, handle, isComPort);
}

// --- deciding ----------------------------------------------------------------
// Every PTT state the monitor decides for a port goes through Decide, which
// the transmit time-out may hold back (see tx_timeout.h).

std::int64_t TxPeriodMicros(const PttMonitorState* state) {
  return std::int64_t{state->Settings.TxTimeoutSeconds} * 1000000;
}

// The application's 0 ends a time-out; a 0 from a wait's report is sent
// again as always, one found by the line check only ends it.
enum class Sends { Always, NotTheEndOfATimeOut };

// Sends through `send` and says the change with --verbose; its line waits
// for the writer until the monitor's next wake-up (see MonitorPass).
void SendAndLog(PttMonitorState* state, PttSender send, int slot, int pttOn, std::int64_t now) {
  int previous = Decided(state, slot);
  bool sent = send(slot, pttOn);
  if (state->Settings.TransmitLog != 0 &&
      LogPttChange(&state->Log[slot], PortName(state, slot), previous, pttOn, sent, now)) {
    state->OutputOwed = 1;
  }
}

void Decide(PttMonitorState* state, int slot, int pttOn, Sends sends = Sends::Always) {
  std::int64_t now = state->Now();
  TxOutcome outcome =
      OnDecision(&state->Tx[slot], pttOn, Decided(state, slot), now, TxPeriodMicros(state));
  if (outcome == TxOutcome::Ignore) {
    return;
  }
  if (outcome == TxOutcome::EndTimeOut) {
    Print("TXGATE port %s PTT dropped by the application - time-out over\r\n",
          PortName(state, slot));
    if (sends == Sends::NotTheEndOfATimeOut) {
      return;
    }
  }
  SendAndLog(state, state->Send, slot, pttOn, now);
}

void DecideFromStream(void* context, int slot, int pttOn) {
  Decide(static_cast<PttMonitorState*>(context), slot, pttOn);
}

// A timed-out port's CTS held on is no change to send; read as 0, it ends
// the time-out, and there is nothing to send.
void EndTimeOutIfDropped(PttMonitorState* state, MonitoredPort* port) {
  int ctsOn = 1;
  if (state->Layer->ReadCts(port->Handle, &ctsOn) && ctsOn == 0) {
    Decide(state, port->Slot, 0, Sends::NotTheEndOfATimeOut);
  }
}

// A port that opens again while it is timed out stays released: only the
// application's own 0 ends the time-out, a COM port's CTS read as 0 now
// (nothing to send), a virtual port's next status byte without PTT, which
// counts even when it equals the cleared status.
// Otherwise, with --fail-safe, a port that opens has a decided state at
// once, so that the rig follows the application from the start: a COM port
// its CTS (none if it cannot be read), a virtual port 0, since its stream
// tells only changes.
void DecideOpenedState(PttMonitorState* state, MonitoredPort* port) {
  if (state->Tx[port->Slot].TimedOut != 0) {
    if (port->IsComPort != 0) {
      EndTimeOutIfDropped(state, port);
    } else {
      port->LastStatus = NO_STATUS_YET;
    }
    return;
  }
  if (state->Settings.FailSafe == 0) {
    return;
  }
  int ctsOn = 0;
  if (port->IsComPort == 0) {
    Decide(state, port->Slot, 0);
  } else if (state->Layer->ReadCts(port->Handle, &ctsOn)) {
    Decide(state, port->Slot, ctsOn != 0 ? 1 : 0);
  }
}

// --fail-safe: a port that the monitor no longer watches, if its decided
// state is 1, is released ("T 0"), which makes its decided state 0.
void ReleaseStoppedPort(PttMonitorState* state, int slot) {
  if (state->Settings.FailSafe != 0 && Decided(state, slot) == 1) {
    Decide(state, slot, 0);
  }
}

void StopMonitoring(PttMonitorState* state, MonitoredPort* port, int error) {
  port->Active = 0;
  ReleaseStoppedPort(state, port->Slot);
  Print("TXGATE port %s Closed code %d - no longer monitored\r\n", PortName(state, port->Slot),
        error);
}

// Starts the port's next operation: 0, or the error of one that could not start.
int StartNext(const PttMonitorState* state, MonitoredPort* port) {
  return port->IsComPort != 0
             ? state->Layer->StartLineWait(port->Handle)
             : state->Layer->StartRead(port->Handle, port->ReadBuffer, READ_BUFFER_SIZE);
}

// Starts the port's next operation; a port whose operation cannot start is
// dropped. Returns true when an operation was started.
bool StartOperation(PttMonitorState* state, MonitoredPort* port) {
  int error = StartNext(state, port);
  if (error != 0) {
    StopMonitoring(state, port, error);
    return false;
  }
  return true;
}

void HandleLineChange(PttMonitorState* state, MonitoredPort* port) {
  int ctsOn = 0;
  // A status that cannot be read sends nothing rather than a stale state.
  if (state->Layer->ReadCts(port->Handle, &ctsOn)) {
    Decide(state, port->Slot, ctsOn != 0 ? 1 : 0);
  }
}

// Handles one completed operation; returns true when a new one was started.
bool ServicePort(PttMonitorState* state, MonitoredPort* port) {
  int bytes = 0;
  int error = 0;
  PortResult result = state->Layer->GetResult(port->Handle, &bytes, &error);
  if (result == PortResult::Pending) {
    return false;
  }
  if (result == PortResult::Failed) {
    StopMonitoring(state, port, error);
    return false;
  }
  if (port->IsComPort != 0) {
    // The next wait starts before CTS is read, so that a change after the
    // read is the new wait's to report. Where a wait takes the line's level
    // when it starts as its baseline (Windows' WaitCommEvent, as Wine does
    // it), a change between the read and a later start would be lost.
    // A port whose next wait cannot start is no longer watched: what its
    // lines say now is not sent (with --fail-safe it has just been released).
    bool restarted = StartOperation(state, port);
    if (restarted) {
      HandleLineChange(state, port);
    }
    return restarted;
  }
  if (bytes > 0) {
    DecodeStatusStream(port->ReadBuffer, bytes, port, DecideFromStream, state);
  }
  return StartOperation(state, port);
}

// Starting an operation may reset the shared event and so hide a completion
// that arrived during the scan: scanning again after any restart finds it.
bool ScanPorts(PttMonitorState* state) {
  bool restarted = false;
  for (int i = 0; i < state->PortCount; ++i) {
    MonitoredPort* port = &state->Ports[i];
    if (port->Active != 0 && ServicePort(state, port)) {
      restarted = true;
    }
  }
  return restarted;
}

// --- reopening (--reopen) ------------------------------------------------
// A port that stopped is closed at once and tried again a period later, and
// every period after that until it opens. Its failure was said when it
// stopped (or did not open at start-up): the retries say nothing until one
// succeeds.

bool IsClosed(const MonitoredPort& port) { return port.Active == 0 && port.Handle == NO_PORT; }

void CloseStoppedPort(PttMonitorState* state, MonitoredPort* port, std::int64_t now) {
  state->Layer->ClosePort(port->Handle);
  port->Handle = NO_PORT;
  port->ReopenDue = now + REOPEN_PERIOD_MICROS;
}

// Whether a port just opened again works: its first operation starts, and
// a COM port's lines can be read. One that does not is still in the same
// outage: an adapter still unplugged opens, and its lines fail at once.
bool WorksAfterReopen(PttMonitorState* state, MonitoredPort* port) {
  int ctsOn = 0;
  return StartNext(state, port) == 0 &&
         (port->IsComPort == 0 || state->Layer->ReadCts(port->Handle, &ctsOn));
}

// Returns true when the port opened, and its first operation was started.
// One that opens but does not work is closed again without a word.
bool Reopen(PttMonitorState* state, MonitoredPort* port, std::int64_t now) {
  PortHandle handle = NO_PORT;
  int isComPort = OpenByName(state, port->Slot, false, &handle);
  if (isComPort < 0) {
    port->ReopenDue = now + REOPEN_PERIOD_MICROS;
    return false;
  }
  BeginWatching(port, handle, isComPort);
  if (!WorksAfterReopen(state, port)) {
    port->Active = 0;
    CloseStoppedPort(state, port, now);
    return true;  // an operation may have been started, and reset the event
  }
  Print("TXGATE port %s Reopened\r\n", PortName(state, port->Slot));
  DecideOpenedState(state, port);
  return true;
}

// Closes the ports that stopped and tries those whose time has come.
// Returns true when an operation was started, which may have reset the
// shared event.
bool ReopenDuePorts(PttMonitorState* state, std::int64_t now) {
  if (state->Settings.Reopen == 0) {
    return false;
  }
  bool started = false;
  for (int i = 0; i < state->PortCount; ++i) {
    MonitoredPort* port = &state->Ports[i];
    if (port->Active != 0) {
      continue;
    }
    if (port->Handle != NO_PORT) {
      CloseStoppedPort(state, port, now);
    } else if (now >= port->ReopenDue && Reopen(state, port, now)) {
      started = true;
    }
  }
  return started;
}

// A CTS change that falls between two waits for a line change is reported
// by neither: the next wait notes the lines only when it starts (POSIX
// TIOCMIWAIT, and Wine's WaitCommEvent), so the change stays unsent until
// some later change, and a release would leave the transmitter keyed. No
// look before the next wait closes that gap, so the gap is bounded: once a
// second each COM port that has decided a state has its CTS compared with
// that state. A difference is looked at again a moment later and only then
// decided and sent: a change whose wait has just reported it is sent by
// then in the ordinary way, and is not sent twice. A port that has decided
// nothing is left alone, as at start-up; a status that cannot be read sends
// nothing. Returns whether a difference awaits its second look.
bool CheckComLines(PttMonitorState* state) {
  bool confirming = false;
  for (int i = 0; i < state->PortCount; ++i) {
    MonitoredPort* port = &state->Ports[i];
    if (port->Active == 0 || port->IsComPort == 0) {
      continue;
    }
    if (state->Tx[port->Slot].TimedOut != 0) {
      EndTimeOutIfDropped(state, port);
      continue;
    }
    int decided = Decided(state, port->Slot);
    int ctsOn = 0;
    bool differs =
        decided != PTT_UNDECIDED && state->Layer->ReadCts(port->Handle, &ctsOn) && ctsOn != decided;
    if (differs && port->CtsDiffers != 0) {
      Decide(state, port->Slot, ctsOn);
      differs = false;
    }
    port->CtsDiffers = differs ? 1 : 0;
    confirming = confirming || differs;
  }
  return confirming;
}

// --- the monitor's timed duties --------------------------------------------
// Each duty has its own next-due time on the monitor's clock (the COM-line
// check's, and each closed port's reopen), which no traffic on the ports
// can put off: the wait ends by the earliest, and the duties are done
// between scans, so a port that never stops completing does not delay them.

std::int64_t EarliestDue(const PttMonitorState* state) {
  std::int64_t due = state->ComLineCheckDue;
  for (const TxTimer& timer : state->Tx) {
    if (timer.Running != 0 && timer.ReleaseDue < due) {
      due = timer.ReleaseDue;
    }
  }
  if (state->Settings.Reopen != 0) {
    for (int i = 0; i < state->PortCount; ++i) {
      const MonitoredPort& port = state->Ports[i];
      if (IsClosed(port) && port.ReopenDue < due) {
        due = port.ReopenDue;
      }
    }
  }
  return due;
}

// Milliseconds until the earliest duty, rounded up so that the wait does
// not end just short of it, and at most MONITOR_WAIT_MS.
int WaitTimeoutMs(const PttMonitorState* state) {
  std::int64_t left = EarliestDue(state) - state->Now();
  std::int64_t ms = std::max<std::int64_t>(left + 999, 0) / 1000;
  return static_cast<int>(std::min<std::int64_t>(ms, MONITOR_WAIT_MS));
}

void ScheduleDuties(PttMonitorState* state) {
  state->ComLineCheckDue = state->Now() + COM_LINE_CHECK_MICROS;
}

// --tx-timeout: a port whose period has ended is released, and timed out.
void ReleaseTimedOutPorts(PttMonitorState* state, std::int64_t now) {
  for (int slot = 0; slot < MAX_PORTS; ++slot) {
    if (PeriodEnded(&state->Tx[slot], now)) {
      SendAndLog(state, state->SendRelease, slot, 0, now);
      Print("TXGATE port %s Transmit time-out after %d s - PTT released\r\n", PortName(state, slot),
            state->Settings.TxTimeoutSeconds);
    }
  }
}

// Returns true when a duty started an operation, which may have reset the
// shared event.
bool RunDueDuties(PttMonitorState* state) {
  std::int64_t now = state->Now();
  ReleaseTimedOutPorts(state, now);
  if (now >= state->ComLineCheckDue) {
    bool confirming = CheckComLines(state);
    state->ComLineCheckDue = now + (confirming ? COM_LINE_CONFIRM_MICROS : COM_LINE_CHECK_MICROS);
  }
  return ReopenDuePorts(state, now);
}

PttMonitorState PlatformMonitor;

}  // namespace

bool OpenMonitoredPorts(PttMonitorState* state) {
  state->PortCount = 0;
  if (!SlotInUse(state, 0)) {
    return false;
  }
  for (int slot = 0; slot < MAX_PORTS && SlotInUse(state, slot); ++slot) {
    OpenPort(state, slot);
  }
  return true;
}

bool StartMonitoring(PttMonitorState* state) {
  int error = state->Layer->CreateSharedEvent();
  if (error != 0) {
    Print("TXGATE port monitor failed to start code %d\r\n", error);
    return false;
  }
  for (int i = 0; i < state->PortCount; ++i) {
    MonitoredPort* port = &state->Ports[i];
    if (port->Active != 0 && StartOperation(state, port)) {
      DecideOpenedState(state, port);
    }
  }
  ScheduleDuties(state);
  return true;
}

void MonitorPass(PttMonitorState* state) {
  // The writer is woken for the transmit log only once the monitor has
  // slept: the server that a command has just woken runs first.
  int timeoutMs = WaitTimeoutMs(state);
  if (state->OutputOwed != 0) {
    timeoutMs = std::min(timeoutMs, OUTPUT_WAKE_DELAY_MS);
  }
  // A timeout scans too: a completion whose signal was reset is found then.
  if (state->Layer->WaitSharedEvent(timeoutMs) == EventWaitResult::Failed) {
    PlatformSleepMs(MONITOR_WAIT_MS);  // never spin on a broken event
  }
  if (state->OutputOwed != 0) {
    state->OutputOwed = 0;
    WakeOutputWriter();
  }
  state->Layer->ResetSharedEvent();
  bool restarted = true;
  while (restarted) {
    restarted = ScanPorts(state);
    restarted = RunDueDuties(state) || restarted;
  }
}

void PttMonitor(void* record) {
  auto* state = static_cast<PttMonitorState*>(record);
  if (!OpenMonitoredPorts(state) || !StartMonitoring(state)) {
    return;
  }
  for (;;) {
    MonitorPass(state);
  }
}

namespace {

// The program's monitor carries PTT above the crowd where the system allows
// it: a busy machine then delays a change by less. Refused, it goes on at
// normal priority; there is nothing to tell the user.
void RaisedPttMonitor(void* record) {
  PlatformRaiseThreadPriority();
  PttMonitor(record);
}

}  // namespace

void StartPttMonitor(const MonitorSettings& settings, PttSender send, PttSender sendRelease) {
  PlatformMonitor.Settings = settings;
  PlatformMonitor.Layer = PlatformPortLayer();
  PlatformMonitor.Send = send;
  PlatformMonitor.SendRelease = sendRelease;
  PlatformMonitor.Now = PlatformMonotonicMicros;
  int error = PlatformStartThread(RaisedPttMonitor, &PlatformMonitor);
  if (error != 0) {
    Print("TXGATE port monitor failed to start code %d\r\n", error);
  }
}
