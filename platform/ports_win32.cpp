// Windows ports: QVN's named pipes and COM ports, opened for overlapped I/O,
// every operation signalling one shared manual-reset event.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/port_layer.h"

namespace {

constexpr int MAX_OPEN_PORTS = 4;  // one per command-line slot
constexpr int PATH_SIZE = 96;      // the longest prefix, a 63-character name and the zero

struct Win32Port {
  bool InUse;  // a port is open in this slot
  HANDLE File;
  OVERLAPPED Operation;
  DWORD EventMask;  // filled by WaitCommEvent; which line changed does not matter
  bool IsCom;
  // An operation was left under way, and may still write into Operation.
  bool UnderWay;
};

// A closed port's slot serves the next port opened. Only the monitor thread
// opens and closes them, so the table needs no lock.
Win32Port Ports[MAX_OPEN_PORTS];
HANDLE SharedEvent = nullptr;

Win32Port* PortOf(PortHandle port) {
  if (port < 0 || port >= MAX_OPEN_PORTS || !Ports[port].InUse) {
    return nullptr;
  }
  return &Ports[port];
}

int FreeSlot() {
  for (int i = 0; i < MAX_OPEN_PORTS; ++i) {
    if (!Ports[i].InUse) {
      return i;
    }
  }
  return -1;
}

// Builds PREFIX followed by NAME; false if the name would not fit.
bool BuildPath(char* path, const char* prefix, const char* name) {
  int length = std::snprintf(path, PATH_SIZE, "%s%s", prefix, name);
  return length >= 0 && length < PATH_SIZE;
}

int OpenDevice(const char* prefix, const char* name, DWORD flags, bool isCom, PortHandle* port) {
  int slot = FreeSlot();
  if (slot < 0) {
    return ERROR_TOO_MANY_OPEN_FILES;
  }
  char path[PATH_SIZE];
  if (!BuildPath(path, prefix, name)) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  HANDLE file =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return static_cast<int>(GetLastError());
  }
  Win32Port& opened = Ports[slot];
  std::memset(&opened, 0, sizeof opened);
  opened.InUse = true;
  opened.File = file;
  opened.IsCom = isCom;
  *port = slot;
  return 0;
}

// Each new operation starts from a clear OVERLAPPED that signals the shared event.
OVERLAPPED* PrepareOperation(Win32Port* port) {
  std::memset(&port->Operation, 0, sizeof port->Operation);
  port->Operation.hEvent = SharedEvent;
  return &port->Operation;
}

// An overlapped call either finished at once or is under way; anything else
// failed at once (a pipe that QVN has closed, for instance).
int StartedOrError(Win32Port* port, BOOL finished) {
  port->UnderWay = false;
  if (finished) {
    return 0;
  }
  DWORD error = GetLastError();
  if (error != ERROR_IO_PENDING) {
    return static_cast<int>(error);
  }
  port->UnderWay = true;
  return 0;
}

int OpenVirtualPort(const char* name, PortHandle* port) {
  return OpenDevice("\\\\.\\pipe\\QVN", name, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, false,
                    port);
}

// The path is \\.\\NAME: names such as com10 need the device namespace.
int OpenComPort(const char* name, PortHandle* port) {
  return OpenDevice("\\\\.\\\\", name, FILE_FLAG_OVERLAPPED, true, port);
}

void WatchComLines(PortHandle port) {
  Win32Port* opened = PortOf(port);
  if (opened != nullptr) {
    SetCommMask(opened->File, EV_CTS | EV_DSR);
  }
}

int CreateSharedEvent() {
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (event == nullptr) {
    return static_cast<int>(GetLastError());
  }
  SharedEvent = event;
  return 0;
}

EventWaitResult WaitSharedEvent(int timeoutMs) {
  DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  switch (WaitForSingleObject(SharedEvent, wait)) {
    case WAIT_OBJECT_0:
      return EventWaitResult::Signalled;
    case WAIT_TIMEOUT:
      return EventWaitResult::Timeout;
    default:
      return EventWaitResult::Failed;
  }
}

void ResetSharedEvent() { ResetEvent(SharedEvent); }

int StartRead(PortHandle port, std::uint8_t* buffer, int capacity) {
  Win32Port* opened = PortOf(port);
  if (opened == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  OVERLAPPED* operation = PrepareOperation(opened);
  return StartedOrError(
      opened, ReadFile(opened->File, buffer, static_cast<DWORD>(capacity), nullptr, operation));
}

int StartLineWait(PortHandle port) {
  Win32Port* opened = PortOf(port);
  if (opened == nullptr) {
    return ERROR_INVALID_HANDLE;
  }
  OVERLAPPED* operation = PrepareOperation(opened);
  return StartedOrError(opened, WaitCommEvent(opened->File, &opened->EventMask, operation));
}

PortResult GetResult(PortHandle port, int* bytes, int* errorCode) {
  Win32Port* opened = PortOf(port);
  if (opened == nullptr) {
    *errorCode = ERROR_INVALID_HANDLE;
    return PortResult::Failed;
  }
  DWORD transferred = 0;
  if (GetOverlappedResult(opened->File, &opened->Operation, &transferred, FALSE)) {
    opened->UnderWay = false;
    *bytes = static_cast<int>(transferred);
    return PortResult::Completed;
  }
  DWORD error = GetLastError();
  if (error == ERROR_IO_INCOMPLETE) {
    return PortResult::Pending;
  }
  opened->UnderWay = false;
  *errorCode = static_cast<int>(error);
  return PortResult::Failed;
}

bool ReadCts(PortHandle port, int* ctsOn) {
  Win32Port* opened = PortOf(port);
  DWORD status = 0;
  if (opened == nullptr || !GetCommModemStatus(opened->File, &status)) {
    return false;
  }
  *ctsOn = (status & MS_CTS_ON) != 0 ? 1 : 0;
  return true;
}

// The system may still write into the slot's OVERLAPPED (and a read's
// buffer) until an operation under way has ended: it is cancelled, and
// waited for, before the slot can serve another port. Only an operation
// known to be under way is waited for: one that failed as it started may
// have left its OVERLAPPED marked pending for ever.
void ClosePort(PortHandle port) {
  Win32Port* opened = PortOf(port);
  if (opened == nullptr) {
    return;
  }
  if (opened->UnderWay) {
    CancelIo(opened->File);
    DWORD transferred = 0;
    GetOverlappedResult(opened->File, &opened->Operation, &transferred, TRUE);
  }
  CloseHandle(opened->File);
  opened->File = INVALID_HANDLE_VALUE;
  opened->InUse = false;
}

const PortLayer Win32PortLayer = {
    OpenVirtualPort, OpenComPort,      WatchComLines, CreateSharedEvent,
    WaitSharedEvent, ResetSharedEvent, StartRead,     StartLineWait,
    GetResult,       ReadCts,          ClosePort,
};

}  // namespace

const PortLayer* PlatformPortLayer() { return &Win32PortLayer; }
