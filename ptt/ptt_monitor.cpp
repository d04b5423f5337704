#include "ptt/ptt_monitor.h"

#include <cstring>

#include "app/console.h"
#include "app/fail_safe.h"
#include "link/rigctl_command.h"
#include "ptt/status_stream.h"

namespace {

void SendOnLink(int slot, int pttOn) { SendPttCommand(&Links[slot], pttOn); }

// Opens the slot's port as a virtual port, or else as a COM port, whose
// lines are then watched. Says why not only when told to. Returns the
// port's IsComPort, or -1 when it opened neither way.
int OpenByName(const PortLayer* layer, int slot, bool sayFailures, PortHandle* handle) {
  const char* name = PortNames[slot];
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
  int isComPort = OpenByName(state->Layer, slot, true, &handle);
  if (isComPort == 1) {
    Print("TXGATE port %s Opened\r\n", PortNames[slot]);
  }
  if (isComPort < 0 && Options.Reopen == 0) {
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
    HandleLineChange(state, port);
  } else if (bytes > 0) {
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

// Returns true when the port opened, and its first operation was started.
bool Reopen(PttMonitorState* state, MonitoredPort* port, std::int64_t now) {
  PortHandle handle = NO_PORT;
  int isComPort = OpenByName(state->Layer, port->Slot, false, &handle);
  if (isComPort < 0) {
    port->ReopenDue = now + REOPEN_PERIOD_MICROS;
    return false;
  }
  Print("TXGATE port %s Reopened\r\n", PortNames[port->Slot]);
  BeginWatching(port, handle, isComPort);
  StartOperation(state, port);
  return true;
}

// Closes the ports that stopped and tries those whose time has come.
// Returns true when an operation was started, which may have reset the
// shared event.
bool ReopenDuePorts(PttMonitorState* state) {
  if (Options.Reopen == 0) {
    return false;
  }
  std::int64_t now = state->Now();
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

// --- the monitor's duties ------------------------------------------------
// Each duty keeps its own due time on the monitor's clock. The wait ends by
// the earliest of them, and they are done between scans, so that a port
// that is always busy cannot put them off.

std::int64_t MicrosToNextDuty(const PttMonitorState* state) {
  std::int64_t wait = MONITOR_WAIT_MS * std::int64_t{1000};
  if (Options.Reopen != 0) {
    std::int64_t now = state->Now();
    for (int i = 0; i < state->PortCount; ++i) {
      const MonitoredPort& port = state->Ports[i];
      if (IsClosed(port) && port.ReopenDue - now < wait) {
        wait = port.ReopenDue - now;
      }
    }
  }
  return wait > 0 ? wait : 0;
}

// Rounded up: a wait that ends just before a duty is due would only wait again.
int MillisecondsToNextDuty(const PttMonitorState* state) {
  return static_cast<int>((MicrosToNextDuty(state) + 999) / 1000);
}

bool DoDueDuties(PttMonitorState* state) { return ReopenDuePorts(state); }

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
    if (state->Ports[i].Active != 0) {
      StartOperation(state, &state->Ports[i]);
    }
  }
  return true;
}

void MonitorPass(PttMonitorState* state) {
  // A timeout scans too: a completion whose signal was reset is found then.
  if (state->Layer->WaitSharedEvent(MillisecondsToNextDuty(state)) == EventWaitResult::Failed) {
    PlatformSleepMs(MONITOR_WAIT_MS);  // never spin on a broken event
  }
  state->Layer->ResetSharedEvent();
  bool restarted = true;
  while (restarted) {
    restarted = ScanPorts(state);
    restarted = DoDueDuties(state) || restarted;
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

void StartPttMonitor() {
  PlatformMonitor.Layer = PlatformPortLayer();
  PlatformMonitor.Send = SendOnLink;
  PlatformMonitor.Now = PlatformMonotonicMicros;
  PlatformStartThread(PttMonitor, &PlatformMonitor);
}
