// POSIX: BSD sockets, poll, pthreads, errno.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "platform/thread_start.h"

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformLock::Storage), "lock fits");
static_assert(sizeof(Ipv4Destination) == sizeof(sockaddr_in), "same layout as sockaddr_in");

namespace {

thread_local int LastSocketError = 0;

int Fd(SocketHandle sock) { return static_cast<int>(sock); }

pthread_mutex_t* MutexOf(PlatformLock* lock) {
  return reinterpret_cast<pthread_mutex_t*>(lock->Storage);
}

void* RunThread(void* argument) {
  RunThreadStart(static_cast<ThreadStart*>(argument));
  return nullptr;
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

}  // namespace

void PlatformPrepareConsole() {}

void PlatformStartup() {}

std::uint16_t PlatformAddressFamilyInet() { return AF_INET; }

std::uint32_t PlatformInetAddr(const char* text) { return inet_addr(text); }

int PlatformReadConsoleCharacter() {
  return PlatformConsoleIsTerminal() ? PlatformReadKey() : std::getchar();
}

bool PlatformConsoleIsTerminal() { return isatty(STDIN_FILENO) != 0; }

int PlatformReadKey() {
  termios saved{};
  bool raw = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (raw) {
    termios keyAtATime = saved;
    keyAtATime.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
    keyAtATime.c_cc[VMIN] = 1;
    keyAtATime.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &keyAtATime);
  }
  unsigned char key = 0;
  ssize_t got = read(STDIN_FILENO, &key, 1);
  if (raw) {
    tcsetattr(STDIN_FILENO, TCSANOW, &saved);
  }
  return got == 1 ? key : -1;
}

// exit is not safe while other threads run; Tarnwick exits only before it
// starts its first thread (usage text, refused command line).
// NOLINTNEXTLINE(concurrency-mt-unsafe)
void PlatformExit(int status) { std::exit(status); }

bool PlatformStartThread(ThreadEntry entry, void* record) {
  ThreadStart* start = TakeThreadStart(entry, record);
  if (start == nullptr) {
    return false;
  }
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int result = pthread_create(&thread, &attributes, RunThread, start);
  pthread_attr_destroy(&attributes);
  if (result != 0) {
    ReleaseThreadStart(start);
    return false;
  }
  return true;
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

void PlatformWriteConsole(const char* bytes, std::size_t count) {
  std::fwrite(bytes, 1, count, stdout);
  std::fflush(stdout);
}

void PlatformLockInit(PlatformLock* lock) { pthread_mutex_init(MutexOf(lock), nullptr); }

void PlatformLockAcquire(PlatformLock* lock) { pthread_mutex_lock(MutexOf(lock)); }

void PlatformLockRelease(PlatformLock* lock) { pthread_mutex_unlock(MutexOf(lock)); }

int PlatformLastSocketError() { return LastSocketError; }

SocketHandle PlatformTcpSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LastSocketError = errno;
    return NO_SOCKET;
  }
  return fd;
}

// The server's replies are read only to be thrown away: with a low-water
// mark the link worker wakes once for many of them instead of once for each
// (a wake-up that also slowed the next PTT change). A close, a reset and
// out-of-band data still wake it at once.
constexpr int LINK_REPLY_LOW_WATER = 256;

void PlatformSetLinkOptions(SocketHandle sock) {
  int one = 1;
  int lowWater = LINK_REPLY_LOW_WATER;
  setsockopt(Fd(sock), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  setsockopt(Fd(sock), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  setsockopt(Fd(sock), SOL_SOCKET, SO_RCVLOWAT, &lowWater, sizeof lowWater);
}

bool PlatformConnect(SocketHandle sock, const Ipv4Destination* destination) {
  // Linux takes a connect to an AF_UNSPEC (all-zero) address as "dissolve
  // the association" and reports success; the link would then claim a
  // connection that does not exist. It fails, as on Windows.
  if (destination->Family != AF_INET) {
    LastSocketError = EAFNOSUPPORT;
    return false;
  }
  sockaddr_in address{};
  std::memcpy(&address, destination, sizeof address);
  if (connect(Fd(sock), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    LastSocketError = errno;
    return false;
  }
  return true;
}

void PlatformSetNonBlocking(SocketHandle sock) {
  int one = 1;
  ioctl(Fd(sock), FIONBIO, &one);
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

int PlatformSendNow(SocketHandle sock, const char* bytes, int count) {
  ssize_t sent = send(Fd(sock), bytes, static_cast<size_t>(count), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0) {
    LastSocketError = errno;
    return -1;
  }
  return static_cast<int>(sent);
}

void PlatformCloseSocket(SocketHandle sock) { close(Fd(sock)); }

void PlatformAbortConnection(SocketHandle sock) {
  linger reset{1, 0};
  setsockopt(Fd(sock), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  shutdown(Fd(sock), SHUT_RD);
}

SocketHandle PlatformListenLoopback(std::uint16_t port, std::uint16_t* boundPort,
                                    int receiveBuffer) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LastSocketError = errno;
    return NO_SOCKET;
  }
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (receiveBuffer > 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    LastSocketError = errno;
    close(fd);
    return NO_SOCKET;
  }
  if (boundPort != nullptr) {
    *boundPort = ntohs(address.sin_port);
  }
  return fd;
}

SocketHandle PlatformAccept(SocketHandle listener, int timeoutMs) {
  pollfd entry{Fd(listener), POLLIN, 0};
  if (PollRetrying(&entry, 1, timeoutMs) <= 0) {
    return NO_SOCKET;
  }
  int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    LastSocketError = errno;
    return NO_SOCKET;
  }
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int PlatformReceiveTimed(SocketHandle sock, char* buffer, int capacity, int timeoutMs) {
  pollfd entry{Fd(sock), POLLIN, 0};
  if (PollRetrying(&entry, 1, timeoutMs) <= 0) {
    return -1;
  }
  return PlatformReceive(sock, buffer, capacity);
}

bool PlatformSendAll(SocketHandle sock, const char* bytes, int count, bool outOfBand) {
  int flags = MSG_NOSIGNAL | (outOfBand ? MSG_OOB : 0);
  while (count > 0) {
    ssize_t sent = send(Fd(sock), bytes, static_cast<size_t>(count), flags);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      LastSocketError = errno;
      return false;
    }
    bytes += sent;
    count -= static_cast<int>(sent);
  }
  return true;
}

SocketHandle PlatformConnectLoopback(std::uint16_t port) {
  SocketHandle sock = PlatformTcpSocket();
  if (sock == NO_SOCKET) {
    return NO_SOCKET;
  }
  int one = 1;
  setsockopt(Fd(sock), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  Ipv4Destination destination{};
  destination.Family = AF_INET;
  destination.PortNetworkOrder = htons(port);
  destination.AddressNetworkOrder = htonl(INADDR_LOOPBACK);
  if (!PlatformConnect(sock, &destination)) {
    close(Fd(sock));
    return NO_SOCKET;
  }
  return sock;
}
