#include "link/rigctl_command.h"

#include <atomic>
#include <cstdio>

namespace {

std::atomic<CommandSender> Sender{nullptr};

// Called under SendLock after a send that did not take the whole command.
// Whatever part went out must never be followed by another command (it
// would read "T T 0\n" and that change would be lost while the link looked
// up), and a server that has stopped reading has no use for the link. So no
// command goes out on this connection again, its close becomes a reset, and
// the connection ends as when the server closes it: the worker, woken by the
// platform or at its next timeout, reports it and the supervisor reconnects.
void EndConnectionAfterFailedSend(HamlibLink* link, SocketHandle sock) {
  link->Sendable.store(0);
  PlatformAbortConnection(sock);
  link->Running.store(0);
  link->Connected.store(0);
}

}  // namespace

void SetCommandSender(CommandSender sender) { Sender.store(sender); }

int FormatPttCommand(int pttOn, char* buffer, int size) {
  return std::snprintf(buffer, static_cast<std::size_t>(size), "T %d\n", pttOn != 0 ? 1 : 0);
}

void SendPttCommand(HamlibLink* link, int pttOn) {
  char command[8];
  int length = FormatPttCommand(pttOn, command, sizeof command);
  PlatformLockAcquire(&link->SendLock);
  link->DecidedPtt.store(pttOn != 0 ? 1 : 0);
  SocketHandle sock = link->Sock.load();
  // A socket that is still connecting could not carry the command anyway;
  // leaving it alone keeps the send from meeting a connect in progress.
  if (sock != NO_SOCKET && link->Sendable.load() != 0) {
    CommandSender sender = Sender.load();
    int sent =
        sender != nullptr ? sender(sock, command, length) : PlatformSendNow(sock, command, length);
    if (sent != length) {
      EndConnectionAfterFailedSend(link, sock);
    }
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
