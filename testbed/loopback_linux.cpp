// Linux: the loopback servers on BSD sockets. accept4 makes each connection
// close-on-exec as it is taken, so that no program a test starts holds it.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "testbed/loopback.h"

namespace {

int Fd(SocketHandle sock) { return static_cast<int>(sock); }

void SetOption(int fd, int level, int name, int value) {
  setsockopt(fd, level, name, &value, sizeof value);
}

// Readable within timeoutMs: a connection to accept, data, a close or an error.
bool WaitReadable(SocketHandle sock, int timeoutMs) {
  int found = PlatformWaitSocket(sock, timeoutMs);
  return found != SOCKET_WAIT_FAILED && (found & SOCKET_READABLE) != 0;
}

}  // namespace

SocketHandle LoopbackListen(std::uint16_t port, std::uint16_t* boundPort, int receiveBuffer) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return NO_SOCKET;
  }
  SetOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
  if (receiveBuffer > 0) {
    SetOption(fd, SOL_SOCKET, SO_RCVBUF, receiveBuffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    return NO_SOCKET;
  }
  if (boundPort != nullptr) {
    *boundPort = ntohs(address.sin_port);
  }
  return fd;
}

SocketHandle LoopbackAccept(SocketHandle listener, int timeoutMs) {
  if (!WaitReadable(listener, timeoutMs)) {
    return NO_SOCKET;
  }
  int fd = accept4(Fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    return NO_SOCKET;
  }
  SetOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  return fd;
}

int LoopbackReceiveTimed(SocketHandle sock, char* buffer, int capacity, int timeoutMs) {
  if (!WaitReadable(sock, timeoutMs)) {
    return -1;
  }
  return PlatformReceive(sock, buffer, capacity);
}

bool LoopbackSendAll(SocketHandle sock, const char* bytes, int count, bool outOfBand) {
  int flags = MSG_NOSIGNAL | (outOfBand ? MSG_OOB : 0);
  while (count > 0) {
    ssize_t sent = send(Fd(sock), bytes, static_cast<size_t>(count), flags);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return false;
    }
    bytes += sent;
    count -= static_cast<int>(sent);
  }
  return true;
}
