#include "ptt/ptt_monitor.h"

#include <algorithm>
#include <cstring>

#include "app/console.h"
#include "app/fail_safe.h"
#include "link/rigctl_command.h"
#include "ptt/status_stream.h"

namespace {

void SendOnLink(int slot, int pttOn) { SendPttCommand(&Links[slot], pttOn); }

void OpenPort(PttMonitorState* state, int slot) {
  const char* name = PortNames[slot];
  PortHandle handle = NO_PORT;
  int isComPort = 0;
  int error = state->Layer->OpenVirtualPort(name, &handle);
  if (error != 0) {
    Print("TXGATE port QVN%s Open failed code %d - trying real com port\r\n", name, error);
    error = state->Layer->OpenComPort(name, &handle);
    if (error != 0) {
      Print("TXGATE port %s Open failed code %d\r\n", name, error);
      return;
    }
    isComPort = 1;
    state->Layer->WatchComLines(handle);
    Print("TXGATE port %s Opened\r\n", name);
  }
  MonitoredPort& port = state->Ports[state->PortCount++];
  std::memset(&port, 0, sizeof port);
  port.Slot = slot;
  port.Handle = handle;
  port.IsComPort = isComPort;
  port.Active = 1;
}

void StopMonitoring(PttMonitorState* state, MonitoredPort* port, int error) {
  port->Active = 0;
  ReleaseStoppedPort(port->Slot, state->Send);
  Print("TXGATE port %s Closed code %d - no longer monitored\r\n", PortNames[port->Slot], error);
}

// Starts the port's next operation; a port whose operation cannot start is
// dropped. Returns true when an operation was started.
bool StartOperation(PttMonitorState* state, MonitoredPort* port) {
  int error = port->IsComPort != 0
                  ? state->Layer->StartLineWait(port->Handle)
                  : state->Layer->StartRead(port->Handle, port->ReadBuffer, READ_BUFFER_SIZE);
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
    state->Send(port->Slot, ctsOn != 0 ? 1 : 0);
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
    DecodeStatusStream(port->ReadBuffer, bytes, port, state->Send);
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
    int decided = Links[port->Slot].DecidedPtt.load();
    int ctsOn = 0;
    bool differs =
        decided != PTT_UNDECIDED && state->Layer->ReadCts(port->Handle, &ctsOn) && ctsOn != decided;
    if (differs && port->CtsDiffers != 0) {
      state->Send(port->Slot, ctsOn);
      differs = false;
    }
    port->CtsDiffers = differs ? 1 : 0;
    confirming = confirming || differs;
  }
  return confirming;
}

// --- the monitor's timed duties --------------------------------------------
// Each duty has its own next-due time on the monitor's clock, which no
// traffic on the ports can put off: a port that keeps the wait from ever
// timing out does not delay them.

std::int64_t EarliestDue(const PttMonitorState* state) { return state->ComLineCheckDue; }

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

void RunDueDuties(PttMonitorState* state) {
  std::int64_t now = state->Now();
  if (now >= state->ComLineCheckDue) {
    bool confirming = CheckComLines(state);
    state->ComLineCheckDue = now + (confirming ? COM_LINE_CONFIRM_MICROS : COM_LINE_CHECK_MICROS);
  }
}

PttMonitorState PlatformMonitor;

}  // namespace

bool OpenMonitoredPorts(PttMonitorState* state) {
  state->PortCount = 0;
  if (!SlotInUse(0)) {
    return false;
  }
  for (int slot = 0; slot < MAX_PORTS && SlotInUse(slot); ++slot) {
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
    StartOperation(state, &state->Ports[i]);
  }
  ScheduleDuties(state);
  return true;
}

void MonitorPass(PttMonitorState* state) {
  // A timeout scans too: a completion whose signal was reset is found then.
  if (state->Layer->WaitSharedEvent(WaitTimeoutMs(state)) == EventWaitResult::Failed) {
    PlatformSleepMs(MONITOR_WAIT_MS);  // never spin on a broken event
  }
  state->Layer->ResetSharedEvent();
  while (ScanPorts(state)) {
  }
  RunDueDuties(state);
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

void StartPttMonitor() {
  PlatformMonitor.Layer = PlatformPortLayer();
  PlatformMonitor.Send = SendOnLink;
  PlatformMonitor.Now = PlatformMonotonicMicros;
  PlatformStartThread(PttMonitor, &PlatformMonitor);
}
