// POSIX: a QVN virtual port is a Unix-domain stream socket at /tmp/QVN<name>.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/qvn_server.h"

namespace {

bool SocketPath(const char* name, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  int length = std::snprintf(address->sun_path, sizeof address->sun_path, "/tmp/QVN%s", name);
  return length > 0 && static_cast<std::size_t>(length) < sizeof address->sun_path;
}

void CloseHandle(std::intptr_t* handle) {
  if (*handle >= 0) {
    close(static_cast<int>(*handle));
  }
  *handle = -1;
}

}  // namespace

int QvnServerListen(QvnServer* server, const char* name) {
  server->Listener = -1;
  server->Connection = -1;
  sockaddr_un address{};
  if (!SocketPath(name, &address)) {
    return ENAMETOOLONG;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return errno;
  }
  unlink(address.sun_path);  // a stale socket file left by an earlier run
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0) {
    int error = errno;
    close(fd);
    return error;
  }
  server->Listener = fd;
  return 0;
}

int QvnServerAccept(QvnServer* server) {
  for (;;) {
    int fd = accept4(static_cast<int>(server->Listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      server->Connection = fd;
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

int QvnServerWrite(QvnServer* server, const std::uint8_t* bytes, int count) {
  while (count > 0) {
    ssize_t sent =
        send(static_cast<int>(server->Connection), bytes, static_cast<size_t>(count), MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno;
    }
    bytes += sent;
    count -= static_cast<int>(sent);
  }
  return 0;
}

void QvnServerClose(QvnServer* server) {
  CloseHandle(&server->Connection);
  if (server->Listener >= 0) {
    sockaddr_un address{};
    socklen_t length = sizeof address;
    if (getsockname(static_cast<int>(server->Listener), reinterpret_cast<sockaddr*>(&address),
                    &length) == 0 &&
        address.sun_path[0] != '\0') {
      unlink(address.sun_path);
    }
  }
  CloseHandle(&server->Listener);
}
