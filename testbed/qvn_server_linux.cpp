// Linux: a QVN virtual port is a Unix-domain stream socket at /tmp/QVN<name>.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "testbed/loopback.h"
#include "testbed/qvn_server.h"

static_assert(sizeof(sockaddr_un::sun_path) <= QVN_PATH_SIZE, "a socket path fits");

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

// Whether a socket is bound at the path: a connect of another socket type
// finds it and is refused for its type, without the server ever seeing a
// connection. A socket file whose server has gone is refused as such.
bool SocketStillServed(const sockaddr_un* address) {
  int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    return false;
  }
  bool served = connect(probe, reinterpret_cast<const sockaddr*>(address), sizeof *address) != 0 &&
                errno == EPROTOTYPE;
  close(probe);
  return served;
}

// Makes room for the port's socket file: nothing there, or a stale socket
// file that is removed. A socket that a running server still offers, and a
// file that is no socket, are left alone. 0, QVN_ALREADY_OFFERED or an
// error code.
int ClearStalePort(const sockaddr_un* address) {
  struct stat found {};
  if (lstat(address->sun_path, &found) != 0) {
    return errno == ENOENT ? 0 : errno;
  }
  if (!S_ISSOCK(found.st_mode)) {
    return EEXIST;
  }
  if (SocketStillServed(address)) {
    return QVN_ALREADY_OFFERED;
  }
  return unlink(address->sun_path) == 0 || errno == ENOENT ? 0 : errno;
}

// Bound with no permission for group or others: only its owner (and root)
// can open the port.
int BindOwnerOnly(int fd, const sockaddr_un* address) {
  mode_t previous = umask(0177);
  int result = bind(fd, reinterpret_cast<const sockaddr*>(address), sizeof *address);
  int error = errno;
  umask(previous);
  return result == 0 ? 0 : error;
}

// A client that connected after the one accepted (it got in before the
// listener stopped) is closed at once rather than left waiting unheard.
void TurnAwayQueuedClients(int listener) {
  fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
  for (;;) {
    int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      return;
    }
    close(fd);
  }
}

// --- ending on a signal ----------------------------------------------------

const int EndingSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Written before the handlers are installed; read only by them.
char PathToRemove[QVN_PATH_SIZE];

// Only async-signal-safe calls: the port's socket file goes, and the signal
// is raised again with its default action, which ends the process as soon
// as the handler returns. (A wait for a key gives the terminal back before
// the signal reaches this handler.)
void RemovePortAndEnd(int signalNumber) {
  unlink(PathToRemove);
  struct sigaction byDefault {};
  byDefault.sa_handler = SIG_DFL;
  sigaction(signalNumber, &byDefault, nullptr);
  raise(signalNumber);
}

bool IgnoredAtStart(int signalNumber) {
  struct sigaction current {};
  return sigaction(signalNumber, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

}  // namespace

int QvnServerListen(QvnServer* server, const char* name) {
  server->Listener = -1;
  server->Connection = -1;
  server->Path[0] = '\0';
  sockaddr_un address{};
  if (!SocketPath(name, &address)) {
    return ENAMETOOLONG;
  }
  int cleared = ClearStalePort(&address);
  if (cleared != 0) {
    return cleared;
  }
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    return errno;
  }
  int error = BindOwnerOnly(fd, &address);
  if (error == 0 && listen(fd, 1) != 0) {
    error = errno;
    unlink(address.sun_path);
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  server->Listener = fd;
  std::memcpy(server->Path, address.sun_path, sizeof address.sun_path);
  return 0;
}

// Once a client has the port, the listener stops taking connections, so a
// second client is refused at once (ECONNREFUSED), as Windows refuses a
// second client of a pipe; its socket stays bound, so that the file still
// shows a running server.
int QvnServerAccept(QvnServer* server) {
  for (;;) {
    int fd = accept4(static_cast<int>(server->Listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      server->Connection = fd;
      shutdown(static_cast<int>(server->Listener), SHUT_RD);
      TurnAwayQueuedClients(static_cast<int>(server->Listener));
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

// The same send as to a loopback client, which leaves errno as the failed
// send set it.
int QvnServerWrite(QvnServer* server, const std::uint8_t* bytes, int count) {
  return LoopbackSendAll(server->Connection, reinterpret_cast<const char*>(bytes), count, false)
             ? 0
             : errno;
}

void QvnServerClose(QvnServer* server) {
  CloseHandle(&server->Connection);
  if (server->Path[0] != '\0') {
    // A signal from here on has nothing to remove: the file may soon be
    // another server's.
    if (std::strcmp(PathToRemove, server->Path) == 0) {
      PathToRemove[0] = '\0';
    }
    unlink(server->Path);
    server->Path[0] = '\0';
  }
  CloseHandle(&server->Listener);
}

void QvnServerCloseOnSignals(const QvnServer* server) {
  std::memcpy(PathToRemove, server->Path, sizeof PathToRemove);
  struct sigaction removing {};
  removing.sa_handler = RemovePortAndEnd;
  sigemptyset(&removing.sa_mask);
  for (int signalNumber : EndingSignals) {
    sigaddset(&removing.sa_mask, signalNumber);
  }
  for (int signalNumber : EndingSignals) {
    if (!IgnoredAtStart(signalNumber)) {
      sigaction(signalNumber, &removing, nullptr);
    }
  }
}
