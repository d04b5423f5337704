// Linux ports. A QVN virtual port NAME is the Unix-domain stream socket
// /tmp/QVN<NAME>; a COM port NAME is /dev/<NAME>, or NAME itself when it is
// a path. The shared event is an eventfd, and waiting on it also waits on
// the sockets of the virtual ports, so a virtual port wakes the monitor
// directly. One epoll set holds them all, registered once: a wait costs the
// same whatever the number of ports, and a pass after it makes system calls
// only for the sources that the wait found ready.
//
// Without overlapped comm events, each COM port gets a small waiter thread
// standing in for WaitCommEvent: it sleeps in TIOCMIWAIT for a CTS or DSR
// change, compares the TIOCGICOUNT counters so that a change between two
// waits is not missed, and sets the shared event. A driver that refuses
// TIOCMIWAIT has its lines read every 10 ms instead.
//
// A port that is closed gives its slot back for the next one. A COM port's
// waiter may be inside an ioctl on the descriptor when the monitor closes
// it; closing the descriptor then would let the next open reuse its number
// under the waiter. So while a waiter runs, the waiter itself closes the
// descriptor and gives the slot back, once it has stopped using them.
#include <fcntl.h>
#include <linux/serial.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"
#include "platform/port_layer.h"

namespace {

// One slot for each of the four ports, and as many for ports whose waiter
// is still ending while the port is opened again.
constexpr int PORT_SLOTS = 8;
constexpr int PATH_SIZE = 108;  // sun_path; holds "/tmp/QVN" and a 63-character name
constexpr unsigned LINE_POLL_MS = 10;
constexpr int WATCHED_LINES = TIOCM_CTS | TIOCM_DSR;

enum class Operation { Idle, Pending, Completed, Failed };

struct LinuxPort {
  // Taken by the monitor when it opens a port in the slot; given back when
  // the port is closed, by the monitor or by the port's ending waiter.
  std::atomic<bool> InUse;
  bool LockReady;  // Lock is initialised once and kept across reuses
  int Fd;
  bool IsCom;
  pthread_mutex_t Lock;  // between the monitor and a COM port's waiter
  Operation State;
  int Error;
  // Virtual ports: where the outstanding read goes.
  std::uint8_t* Buffer;
  int Capacity;
  // The last wait found the socket readable (monitor thread only).
  bool Readable;
  // COM ports: a change seen while no wait was outstanding.
  bool ChangeSeen;
  int WaiterError;
  // COM ports: the waiter thread has not ended yet. While it has not, only
  // it may close Fd; StopWaiter asks it to do so and end.
  bool WaiterRunning;
  std::atomic<bool> StopWaiter;
};

LinuxPort Ports[PORT_SLOTS];
int EventFd = -1;
int EpollFd = -1;
bool EventSignalled = false;  // the last wait found the event set

void SignalEvent() {
  std::uint64_t one = 1;
  while (write(EventFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

bool AddToWaitSet(int fd, LinuxPort* port) {
  epoll_event source{};
  source.events = EPOLLIN;
  source.data.ptr = port;  // nullptr: the event itself
  return epoll_ctl(EpollFd, EPOLL_CTL_ADD, fd, &source) == 0;
}

// Takes a free slot for the descriptor, every field as a new port's; a
// slot whose waiter is still ending is not free. NO_PORT if none is.
PortHandle AddPort(int fd, bool isCom) {
  for (int i = 0; i < PORT_SLOTS; ++i) {
    LinuxPort& port = Ports[i];
    if (port.InUse.load()) {
      continue;
    }
    if (!port.LockReady) {
      pthread_mutex_init(&port.Lock, nullptr);
      port.LockReady = true;
    }
    pthread_mutex_lock(&port.Lock);
    port.InUse.store(true);
    port.Fd = fd;
    port.IsCom = isCom;
    port.State = Operation::Idle;
    port.Error = 0;
    port.Buffer = nullptr;
    port.Capacity = 0;
    port.Readable = false;
    port.ChangeSeen = false;
    port.WaiterError = 0;
    port.WaiterRunning = false;
    port.StopWaiter.store(false);
    pthread_mutex_unlock(&port.Lock);
    return i;
  }
  return NO_PORT;
}

// Takes a slot for a descriptor just opened; closes it when none is free.
int KeepOpened(int fd, bool isCom, PortHandle* port) {
  PortHandle handle = AddPort(fd, isCom);
  if (handle == NO_PORT) {
    close(fd);
    return EMFILE;
  }
  *port = handle;
  return 0;
}

// Called with the port's lock held, by the last user of its descriptor.
void ReleaseSlot(LinuxPort* port) {
  close(port->Fd);
  port->Fd = -1;
  port->InUse.store(false);
}

// --- opening -------------------------------------------------------------

// A virtual port is a socket in /tmp, where any local user can create it
// before QVN (or qvnsim) does and feed in status bytes that key another
// user's transmitter. Only a server that runs as Tarnwick's own user, or
// as root, is listened to: the user it ran as when it began listening.
int CheckServerUser(int fd) {
  ucred server{};
  socklen_t length = sizeof server;
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &server, &length) != 0) {
    return errno;
  }
  return server.uid == geteuid() || server.uid == 0 ? 0 : EACCES;
}

int OpenVirtualPort(const char* name, PortHandle* port) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  int length = std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/QVN%s", name);
  if (length < 0 || length >= static_cast<int>(sizeof address.sun_path)) {
    return ENAMETOOLONG;
  }
  // Non-blocking, so that a server whose backlog is full (a hung QVN, or any
  // program listening there) fails the open at once (EAGAIN) instead of
  // holding the monitor in connect. The port's reads never wait anyway.
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    return errno;
  }
  int error = 0;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    error = errno;
  } else {
    error = CheckServerUser(fd);
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  error = KeepOpened(fd, false, port);
  // A port opened again after the event was made joins the wait set now.
  if (error == 0 && EpollFd >= 0 && !AddToWaitSet(fd, &Ports[*port])) {
    error = errno;
    pthread_mutex_lock(&Ports[*port].Lock);
    ReleaseSlot(&Ports[*port]);
    pthread_mutex_unlock(&Ports[*port].Lock);
  }
  return error;
}

void ComPortPath(const char* name, char* path) {
  if (name[0] == '/') {
    std::snprintf(path, PATH_SIZE, "%s", name);
  } else {
    std::snprintf(path, PATH_SIZE, "/dev/%s", name);
  }
}

int OpenComPort(const char* name, PortHandle* port) {
  char path[PATH_SIZE];
  ComPortPath(name, path);
  int fd = open(path, O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    return errno;
  }
  int error = 0;
  if (isatty(fd) == 0) {
    error = errno != 0 ? errno : ENOTTY;
  } else if (ioctl(fd, TIOCEXCL) != 0) {
    error = errno;
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  return KeepOpened(fd, true, port);
}

// --- the COM-port waiter -------------------------------------------------

void NoteLineChange(LinuxPort* port) {
  pthread_mutex_lock(&port->Lock);
  if (port->State == Operation::Pending) {
    port->State = Operation::Completed;
    SignalEvent();
  } else {
    port->ChangeSeen = true;
  }
  pthread_mutex_unlock(&port->Lock);
}

void NoteWaiterFailure(LinuxPort* port, int error) {
  pthread_mutex_lock(&port->Lock);
  port->WaiterError = error;
  if (port->State == Operation::Pending) {
    port->State = Operation::Failed;
    port->Error = error;
    SignalEvent();
  }
  pthread_mutex_unlock(&port->Lock);
}

bool ReadCounters(int fd, serial_icounter_struct* counters) {
  return ioctl(fd, TIOCGICOUNT, counters) == 0;
}

// Sleeps in TIOCMIWAIT until a watched line changes. Returns when the driver
// cannot wait that way.
void WaitForChangesInDriver(LinuxPort* port) {
  serial_icounter_struct last{};
  if (!ReadCounters(port->Fd, &last)) {
    return;
  }
  for (;;) {
    if (ioctl(port->Fd, TIOCMIWAIT, WATCHED_LINES) != 0 && errno != EINTR) {
      return;
    }
    if (port->StopWaiter.load()) {
      return;
    }
    serial_icounter_struct now{};
    if (!ReadCounters(port->Fd, &now)) {
      return;
    }
    if (now.cts != last.cts || now.dsr != last.dsr) {
      NoteLineChange(port);
    }
    last = now;
  }
}

void PollForChanges(LinuxPort* port) {
  int last = 0;
  if (ioctl(port->Fd, TIOCMGET, &last) != 0) {
    NoteWaiterFailure(port, errno);
    return;
  }
  for (;;) {
    PlatformSleepMs(LINE_POLL_MS);
    if (port->StopWaiter.load()) {
      return;
    }
    int now = 0;
    if (ioctl(port->Fd, TIOCMGET, &now) != 0) {
      NoteWaiterFailure(port, errno);
      return;
    }
    if (((now ^ last) & WATCHED_LINES) != 0) {
      NoteLineChange(port);
    }
    last = now;
  }
}

// The waiter's last act: after it, the thread touches the port no more.
void EndWaiter(LinuxPort* port) {
  pthread_mutex_lock(&port->Lock);
  port->WaiterRunning = false;
  if (port->StopWaiter.load()) {
    ReleaseSlot(port);
  }
  pthread_mutex_unlock(&port->Lock);
}

void LineWaiter(void* record) {
  auto* port = static_cast<LinuxPort*>(record);
  WaitForChangesInDriver(port);
  if (!port->StopWaiter.load()) {
    PollForChanges(port);
  }
  EndWaiter(port);
}

void WatchComLines(PortHandle handle) {
  LinuxPort& port = Ports[handle];
  pthread_mutex_lock(&port.Lock);
  port.WaiterRunning = true;
  pthread_mutex_unlock(&port.Lock);
  int error = PlatformStartThread(LineWaiter, &port);
  if (error != 0) {
    NoteWaiterFailure(&port, error);
    EndWaiter(&port);
  }
}

// --- the shared event ----------------------------------------------------

// The virtual ports are opened before the event is made, and each keeps a
// read outstanding from then on (the monitor starts the next read as soon
// as one completes), so each is registered once, here (or as it is opened
// again, later), and stays until its read fails. COM ports signal the
// event from their waiters.
int CreateSharedEvent() {
  EventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  EpollFd = epoll_create1(EPOLL_CLOEXEC);
  if (EventFd < 0 || EpollFd < 0 || !AddToWaitSet(EventFd, nullptr)) {
    return errno;
  }
  for (LinuxPort& port : Ports) {
    if (port.InUse.load() && !port.IsCom && !AddToWaitSet(port.Fd, &port)) {
      return errno;
    }
  }
  return 0;
}

// What a wait found ready is all that the pass after it reads; after a
// failed wait everything is read.
void NoteReady(bool everything) {
  EventSignalled = everything;
  for (LinuxPort& port : Ports) {
    port.Readable = everything;
  }
}

EventWaitResult WaitSharedEvent(int timeoutMs) {
  epoll_event found[PORT_SLOTS + 1];
  NoteReady(false);
  int count = epoll_wait(EpollFd, found, PORT_SLOTS + 1, timeoutMs);
  if (count < 0) {
    NoteReady(true);
    return errno == EINTR ? EventWaitResult::Timeout : EventWaitResult::Failed;
  }
  for (int i = 0; i < count; ++i) {
    auto* port = static_cast<LinuxPort*>(found[i].data.ptr);
    if (port == nullptr) {
      EventSignalled = true;
    } else {
      port->Readable = true;
    }
  }
  return count == 0 ? EventWaitResult::Timeout : EventWaitResult::Signalled;
}

// An event that the wait found clear needs no reset: a signal that came
// after the wait stays set and ends the next wait at once.
void ResetSharedEvent() {
  if (!EventSignalled) {
    return;
  }
  EventSignalled = false;
  std::uint64_t count = 0;
  while (read(EventFd, &count, sizeof count) > 0) {
  }
}

// --- operations ----------------------------------------------------------

int StartRead(PortHandle handle, std::uint8_t* buffer, int capacity) {
  LinuxPort& port = Ports[handle];
  pthread_mutex_lock(&port.Lock);
  port.Buffer = buffer;
  port.Capacity = capacity;
  port.State = Operation::Pending;
  pthread_mutex_unlock(&port.Lock);
  return 0;
}

int StartLineWait(PortHandle handle) {
  LinuxPort& port = Ports[handle];
  pthread_mutex_lock(&port.Lock);
  int error = port.WaiterError;
  if (error == 0) {
    port.State = port.ChangeSeen ? Operation::Completed : Operation::Pending;
    port.ChangeSeen = false;
    if (port.State == Operation::Completed) {
      SignalEvent();
    }
  }
  pthread_mutex_unlock(&port.Lock);
  return error;
}

// The outstanding read of a virtual port completes when data is there; a
// read of 0 bytes means QVN closed the port, which fails it like a broken pipe.
PortResult ReadIfReady(LinuxPort* port, int* bytes, int* errorCode) {
  ssize_t received =
      recv(port->Fd, port->Buffer, static_cast<size_t>(port->Capacity), MSG_DONTWAIT);
  if (received > 0) {
    port->State = Operation::Idle;
    *bytes = static_cast<int>(received);
    return PortResult::Completed;
  }
  if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
    return PortResult::Pending;
  }
  port->State = Operation::Failed;
  port->Error = received == 0 ? EPIPE : errno;
  *errorCode = port->Error;
  // A closed socket stays readable: left in the set, it would end every wait.
  epoll_ctl(EpollFd, EPOLL_CTL_DEL, port->Fd, nullptr);
  return PortResult::Failed;
}

PortResult GetResult(PortHandle handle, int* bytes, int* errorCode) {
  LinuxPort& port = Ports[handle];
  // A virtual port's fields are the monitor's alone (the lock is for a COM
  // port's waiter): one that the wait did not find readable is answered
  // without it, as every port is at each scan after the one that read.
  if (!port.IsCom && port.State == Operation::Pending && !port.Readable) {
    return PortResult::Pending;
  }
  pthread_mutex_lock(&port.Lock);
  PortResult result = PortResult::Pending;
  if (port.State == Operation::Pending && !port.IsCom) {
    // A port that the wait did not find readable has nothing yet; data that
    // came since then ends the next wait at once.
    if (port.Readable) {
      result = ReadIfReady(&port, bytes, errorCode);
    }
    port.Readable = false;
  } else if (port.State == Operation::Completed) {
    port.State = Operation::Idle;
    *bytes = 0;
    result = PortResult::Completed;
  } else if (port.State == Operation::Failed) {
    *errorCode = port.Error;
    result = PortResult::Failed;
  }
  pthread_mutex_unlock(&port.Lock);
  return result;
}

bool ReadCts(PortHandle handle, int* ctsOn) {
  int lines = 0;
  if (ioctl(Ports[handle].Fd, TIOCMGET, &lines) != 0) {
    return false;
  }
  *ctsOn = (lines & TIOCM_CTS) != 0 ? 1 : 0;
  return true;
}

// A virtual port leaves the wait set and is closed at once. A COM port whose
// waiter still runs is left to the waiter, which notices within one poll
// period, or at the next line change when the driver waits for it (a
// removed device ends that wait too).
void ClosePort(PortHandle handle) {
  LinuxPort& port = Ports[handle];
  if (!port.IsCom) {
    epoll_ctl(EpollFd, EPOLL_CTL_DEL, port.Fd, nullptr);
  }
  pthread_mutex_lock(&port.Lock);
  if (port.WaiterRunning) {
    port.StopWaiter.store(true);
  } else {
    ReleaseSlot(&port);
  }
  pthread_mutex_unlock(&port.Lock);
}

const PortLayer LinuxPortLayer = {
    OpenVirtualPort, OpenComPort,      WatchComLines, CreateSharedEvent,
    WaitSharedEvent, ResetSharedEvent, StartRead,     StartLineWait,
    GetResult,       ReadCts,          ClosePort,
};

}  // namespace

const PortLayer* PlatformPortLayer() { return &LinuxPortLayer; }
