#include "link/rigctl_command.h"

#include <cstdio>

int FormatPttCommand(int pttOn, char* buffer, int size) {
  return std::snprintf(buffer, static_cast<std::size_t>(size), "T %d\n", pttOn != 0 ? 1 : 0);
}

void SendPttCommand(HamlibLink* link, int pttOn) {
  char command[8];
  int length = FormatPttCommand(pttOn, command, sizeof command);
  PlatformLockAcquire(&link->SendLock);
  SocketHandle sock = link->Sock.load();
  // A socket that is still connecting could not carry the command anyway;
  // leaving it alone keeps the send from meeting a connect in progress.
  if (sock != NO_SOCKET && link->Sendable.load() != 0) {
    PlatformSendNow(sock, command, length);
  }
  PlatformLockRelease(&link->SendLock);
}

void CloseLinkSocket(HamlibLink* link) {
  PlatformLockAcquire(&link->SendLock);
  SocketHandle sock = link->Sock.load();
  if (sock != NO_SOCKET) {
    PlatformCloseSocket(sock);
  }
  link->Sock.store(NO_SOCKET);
  link->Sendable.store(0);
  PlatformLockRelease(&link->SendLock);
}

void MarkLinkSendable(HamlibLink* link) {
  PlatformLockAcquire(&link->SendLock);
  link->Sendable.store(1);
  PlatformLockRelease(&link->SendLock);
}

void SetLinkSocket(HamlibLink* link, SocketHandle sock) {
  PlatformLockAcquire(&link->SendLock);
  link->Sock.store(sock);
  PlatformLockRelease(&link->SendLock);
}
