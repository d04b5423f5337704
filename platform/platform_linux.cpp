// Linux: BSD sockets, poll, pthreads, errno; signalfd for a stop signal
// during the wait for a key, and the thread's own id for its nice value.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/keyboard.h"
#include "platform/link_connect.h"
#include "platform/platform.h"
#include "platform/thread_start.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformLock::Storage), "lock fits");
static_assert(sizeof(pthread_cond_t) <= sizeof(PlatformCondition::Storage), "condition fits");

namespace {

thread_local int LastSocketError = 0;

int Fd(SocketHandle sock) { return static_cast<int>(sock); }

pthread_mutex_t* MutexOf(PlatformLock* lock) {
  return reinterpret_cast<pthread_mutex_t*>(lock->Storage);
}

pthread_cond_t* ConditionOf(PlatformCondition* condition) {
  return reinterpret_cast<pthread_cond_t*>(condition->Storage);
}

void* RunThread(void* argument) {
  RunThreadStart(static_cast<ThreadStart*>(argument));
  return nullptr;
}

// The signals that stop Tarnwick: Ctrl+C, kill's default, the end of the
// terminal session, and Ctrl+\.
const int StopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

bool IgnoredAtStart(int signalNumber) {
  struct sigaction current {};
  sigaction(signalNumber, nullptr, &current);
  return current.sa_handler == SIG_IGN;
}

// The stop signals that are not ignored, in *signals; false if there is none.
bool StopSignalsToWatch(sigset_t* signals) {
  sigemptyset(signals);
  bool any = false;
  for (int signalNumber : StopSignals) {
    if (!IgnoredAtStart(signalNumber)) {
      sigaddset(signals, signalNumber);
      any = true;
    }
  }
  return any;
}

// What the stop thread waits for, and what it runs first.
struct StopWatch {
  StopAction Action;
  sigset_t Signals;
};
StopWatch Stops;

// Ends the process by the signal, as it would have ended without a waiter:
// the default action back, the signal unblocked on this thread and raised
// again. exit() would run the static destructors under the other threads.
[[noreturn]] void EndBySignal(int signalNumber) {
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigemptyset(&byDefault.sa_mask);
  sigaction(signalNumber, &byDefault, nullptr);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signalNumber);
  pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
  raise(signalNumber);
  // Not reached, as the default action of each stop signal ends the
  // process; the compiler cannot know that raise does not return.
  // cppcheck-suppress unreachableCode
  _exit(128 + signalNumber);
}

// poll, retried when a signal interrupts it.
int PollRetrying(pollfd* fds, nfds_t count, int timeoutMs) {
  for (;;) {
    int result = poll(fds, count, timeoutMs);
    if (result >= 0 || errno != EINTR) {
      return result;
    }
  }
}

// A key press, or a stop signal, from the terminal in key-at-a-time mode.
// The signals are blocked and read from stopFd, so no handler runs behind
// the wait's back. Returns the key, or -1 at end of input; a stop signal's
// number goes to *stopSignal.
int WaitForKeyOrStop(int stopFd, int* stopSignal) {
  pollfd sources[2] = {{STDIN_FILENO, POLLIN, 0}, {stopFd, POLLIN, 0}};
  if (PollRetrying(sources, 2, -1) < 0) {
    return -1;
  }
  if ((sources[1].revents & POLLIN) != 0) {
    signalfd_siginfo caught{};
    if (read(stopFd, &caught, sizeof caught) == static_cast<ssize_t>(sizeof caught)) {
      *stopSignal = static_cast<int>(caught.ssi_signo);
      return -1;
    }
  }
  unsigned char key = 0;
  return read(STDIN_FILENO, &key, 1) == 1 ? key : -1;
}

// Reads one key with echo and line mode off. A stop signal during the wait
// gives the terminal back before it takes its course: Ctrl+C still raises
// SIGINT without line mode, and the shell would be left without echo. Its
// course is what the process has set for it: the default ends the process;
// a handler (qvnsim's removes its socket file) runs first. The caller's
// thread must be the only one, or the others must block the signals too.
int ReadKeyFromTerminal(const termios& saved) {
  sigset_t stops;
  sigset_t previousMask;
  StopSignalsToWatch(&stops);
  pthread_sigmask(SIG_BLOCK, &stops, &previousMask);
  int stopFd = signalfd(-1, &stops, SFD_CLOEXEC);
  if (stopFd < 0) {
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);  // the signals still stop it, as they did
  }
  termios keyAtATime = saved;
  keyAtATime.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  keyAtATime.c_cc[VMIN] = 1;
  keyAtATime.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &keyAtATime);
  int stopSignal = 0;
  int key = WaitForKeyOrStop(stopFd, &stopSignal);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  if (stopFd >= 0) {
    close(stopFd);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  }
  if (stopSignal != 0) {
    // Taken from the queue by the wait: raised again, now unblocked.
    raise(stopSignal);
  }
  return key;
}

void WaitForStopSignal(void* record) {
  auto* watch = static_cast<StopWatch*>(record);
  int signalNumber = 0;
  while (sigwait(&watch->Signals, &signalNumber) != 0) {
  }
  watch->Action();
  EndBySignal(signalNumber);
}

}  // namespace

void PlatformPrepareConsole() { signal(SIGPIPE, SIG_IGN); }

void PlatformStartup() {}

// glibc's inet_addr is inet_aton with 255.255.255.255 standing for "no
// address": the same conversion, without the ambiguity.
bool PlatformParseIpv4(const char* text, std::uint32_t* addressNetworkOrder) {
  in_addr address{};
  if (inet_aton(text, &address) == 0) {
    return false;
  }
  *addressNetworkOrder = address.s_addr;
  return true;
}

int PlatformReadConsoleCharacter() {
  return PlatformConsoleIsTerminal() ? PlatformReadKey() : std::getchar();
}

bool PlatformConsoleIsTerminal() { return isatty(STDIN_FILENO) != 0; }

int PlatformReadKey() {
  termios saved{};
  if (tcgetattr(STDIN_FILENO, &saved) == 0) {
    return ReadKeyFromTerminal(saved);
  }
  unsigned char key = 0;
  return read(STDIN_FILENO, &key, 1) == 1 ? key : -1;
}

// exit is not safe while other threads run; Tarnwick exits only before it
// starts its first thread (usage text, refused command line).
// NOLINTNEXTLINE(concurrency-mt-unsafe)
void PlatformExit(int status) { std::exit(status); }

int PlatformRunOnStop(StopAction action) {
  Stops.Action = action;
  if (!StopSignalsToWatch(&Stops.Signals)) {
    return 0;
  }
  // Blocked before any other thread exists, so every thread inherits the
  // mask and only the waiter ever takes these signals.
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &Stops.Signals, &previous);
  int error = PlatformStartThread(WaitForStopSignal, &Stops);
  if (error != 0) {
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  return error;
}

int PlatformStartThread(ThreadEntry entry, void* record) {
  ThreadStart* start = TakeThreadStart(entry, record);
  if (start == nullptr) {
    return EAGAIN;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, RunThread, start);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    ReleaseThreadStart(start);
  }
  return result;
}

// Linux keeps a nice value for each thread: PRIO_PROCESS with the thread's
// own id changes that thread alone.
int PlatformRaiseThreadPriority() {
  auto thread = static_cast<id_t>(syscall(SYS_gettid));
  return setpriority(PRIO_PROCESS, thread, RAISED_THREAD_NICE) == 0 ? 0 : errno;
}

bool PlatformThreadPriorityRaised() {
  auto thread = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, thread);
  return errno == 0 && nice == RAISED_THREAD_NICE;
}

void PlatformSleepMs(unsigned milliseconds) {
  timespec remaining{static_cast<time_t>(milliseconds / 1000),
                     static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

std::int64_t PlatformMonotonicMicros() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

void PlatformLocalTime(LocalDateTime* now) {
  time_t seconds = time(nullptr);
  tm local{};
  localtime_r(&seconds, &local);
  *now = LocalDateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                       local.tm_hour,        local.tm_min,     local.tm_sec};
}

// An output left non-blocking by whoever shares it says "not now" instead of
// waiting: then wait until it can take more.
void PlatformWriteConsole(const char* bytes, std::size_t count) {
  while (count > 0) {
    ssize_t written = write(STDOUT_FILENO, bytes, count);
    if (written >= 0) {
      bytes += written;
      count -= static_cast<std::size_t>(written);
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd output{STDOUT_FILENO, POLLOUT, 0};
      PollRetrying(&output, 1, -1);
    } else if (errno != EINTR) {
      return;
    }
  }
}

void PlatformLockInit(PlatformLock* lock) { pthread_mutex_init(MutexOf(lock), nullptr); }

void PlatformLockAcquire(PlatformLock* lock) { pthread_mutex_lock(MutexOf(lock)); }

void PlatformLockRelease(PlatformLock* lock) { pthread_mutex_unlock(MutexOf(lock)); }

void PlatformConditionInit(PlatformCondition* condition) {
  pthread_cond_init(ConditionOf(condition), nullptr);
}

void PlatformConditionWait(PlatformCondition* condition, PlatformLock* lock) {
  pthread_cond_wait(ConditionOf(condition), MutexOf(lock));
}

void PlatformConditionSignal(PlatformCondition* condition) {
  pthread_cond_signal(ConditionOf(condition));
}

int PlatformLastSocketError() { return LastSocketError; }

namespace {

int MakeTcpSocket(int family) {
  int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LastSocketError = errno;
  }
  return fd;
}

bool ConnectTo(int fd, const void* address, socklen_t length) {
  if (connect(fd, static_cast<const sockaddr*>(address), length) != 0) {
    LastSocketError = errno;
    return false;
  }
  return true;
}

// Unless they are read (PlatformWakeForEachReply), the server's replies are
// thrown away: with a low-water mark the link worker wakes once for many of
// them instead of once for each (a wake-up that also slowed the next PTT
// change). A close, a reset and out-of-band data still wake it at once.
constexpr int LINK_REPLY_LOW_WATER = 256;

void SetLinkOptions(int fd) {
  int one = 1;
  int lowWater = LINK_REPLY_LOW_WATER;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(fd, SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
}

sa_family_t FamilyOf(const SocketAddress* address) {
  sa_family_t family = 0;
  std::memcpy(&family, address->Bytes, sizeof family);
  return family;
}

}  // namespace

void RestoreSocketError(int code) { LastSocketError = code; }

void NoteLookupFailure(int resolverCode) {
  LastSocketError = resolverCode != 0 ? resolverCode : EAI_NONAME;
}

SocketHandle MakeLinkSocket(const SocketAddress* address) {
  int fd = MakeTcpSocket(FamilyOf(address));
  if (fd < 0) {
    return NO_SOCKET;
  }
  SetLinkOptions(fd);
  return fd;
}

bool ConnectSocket(SocketHandle sock, const SocketAddress* address) {
  return ConnectTo(Fd(sock), address->Bytes, static_cast<socklen_t>(address->Length));
}

// Linux takes a connect to an AF_UNSPEC (all-zero) address as "dissolve the
// association" and reports success; an address without its port fails
// instead, as on Windows.
void NoteNoPortError() { LastSocketError = EAFNOSUPPORT; }

void PlatformSetNonBlocking(SocketHandle sock) {
  int one = 1;
  ioctl(Fd(sock), FIONBIO, &one);
}

void PlatformWakeForEachReply(SocketHandle sock) {
  int lowWater = 1;
  setsockopt(Fd(sock), SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
}

int PlatformWaitSocket(SocketHandle sock, int timeoutMs) {
  pollfd entry{Fd(sock), POLLIN | POLLPRI, 0};
  int result = PollRetrying(&entry, 1, timeoutMs);
  if (result < 0) {
    LastSocketError = errno;
    return SOCKET_WAIT_FAILED;
  }
  int found = 0;
  if ((entry.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
    found |= SOCKET_READABLE;
  }
  if ((entry.revents & POLLPRI) != 0) {
    found |= SOCKET_EXCEPTION;
  }
  if ((entry.revents & POLLNVAL) != 0) {
    LastSocketError = EBADF;
    return SOCKET_WAIT_FAILED;
  }
  return found;
}

int PlatformReceive(SocketHandle sock, char* buffer, int capacity) {
  ssize_t received = recv(Fd(sock), buffer, static_cast<size_t>(capacity), 0);
  if (received < 0) {
    LastSocketError = errno;
    return -1;
  }
  return static_cast<int>(received);
}

int PlatformReceiveNow(SocketHandle sock, char* buffer, int capacity) {
  ssize_t received = recv(Fd(sock), buffer, static_cast<size_t>(capacity), MSG_DONTWAIT);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
      return RECEIVED_NOTHING_YET;
    }
    LastSocketError = errno;
    return -1;
  }
  return static_cast<int>(received);
}

int PlatformSendNow(SocketHandle sock, const char* bytes, int count) {
  ssize_t sent = send(Fd(sock), bytes, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0) {
    LastSocketError = errno;
    return -1;
  }
  return static_cast<int>(sent);
}

void PlatformCloseSocket(SocketHandle sock) { close(Fd(sock)); }

void PlatformShutdownSending(SocketHandle sock) { shutdown(Fd(sock), SHUT_WR); }

void PlatformAbortConnection(SocketHandle sock) {
  linger reset{1, 0};
  setsockopt(Fd(sock), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  shutdown(Fd(sock), SHUT_RD);
}
