// Windows: the loopback servers on Winsock 2.
#include <winsock2.h>

#include "testbed/loopback.h"

namespace {

SOCKET Sock(SocketHandle sock) { return static_cast<SOCKET>(sock); }

SocketHandle Handle(SOCKET sock) { return static_cast<SocketHandle>(sock); }

void SetOption(SOCKET sock, int level, int name, int value) {
  setsockopt(sock, level, name, reinterpret_cast<const char*>(&value), sizeof value);
}

// Readable within timeoutMs: a connection to accept, data, a close or an error.
bool WaitReadable(SocketHandle sock, int timeoutMs) {
  int found = PlatformWaitSocket(sock, timeoutMs);
  return found != SOCKET_WAIT_FAILED && (found & SOCKET_READABLE) != 0;
}

bool BindListenAndName(SOCKET sock, std::uint16_t port, std::uint16_t* boundPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(sock, 16) != 0 ||
      getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  if (boundPort != nullptr) {
    *boundPort = ntohs(address.sin_port);
  }
  return true;
}

}  // namespace

SocketHandle LoopbackListen(std::uint16_t port, std::uint16_t* boundPort, int receiveBuffer) {
  SOCKET sock = socket(AF_INET, SOCK_STREAM, 0);
  if (sock == INVALID_SOCKET) {
    return NO_SOCKET;
  }
  // As on Linux: a server restarted on its port must not wait for the
  // previous connections' TIME_WAIT to pass.
  SetOption(sock, SOL_SOCKET, SO_REUSEADDR, TRUE);
  if (receiveBuffer > 0) {
    SetOption(sock, SOL_SOCKET, SO_RCVBUF, receiveBuffer);
  }
  if (!BindListenAndName(sock, port, boundPort)) {
    closesocket(sock);
    return NO_SOCKET;
  }
  return Handle(sock);
}

SocketHandle LoopbackAccept(SocketHandle listener, int timeoutMs) {
  if (!WaitReadable(listener, timeoutMs)) {
    return NO_SOCKET;
  }
  SOCKET sock = accept(Sock(listener), nullptr, nullptr);
  if (sock == INVALID_SOCKET) {
    return NO_SOCKET;
  }
  SetOption(sock, IPPROTO_TCP, TCP_NODELAY, TRUE);
  return Handle(sock);
}

int LoopbackReceiveTimed(SocketHandle sock, char* buffer, int capacity, int timeoutMs) {
  if (!WaitReadable(sock, timeoutMs)) {
    return -1;
  }
  return PlatformReceive(sock, buffer, capacity);
}

bool LoopbackSendAll(SocketHandle sock, const char* bytes, int count, bool outOfBand) {
  int flags = outOfBand ? MSG_OOB : 0;
  while (count > 0) {
    int sent = send(Sock(sock), bytes, count, flags);
    if (sent == SOCKET_ERROR) {
      return false;
    }
    bytes += sent;
    count -= sent;
  }
  return true;
}
