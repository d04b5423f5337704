#include "platform/link_connect.h"

namespace {

// The numeric path, unchanged: an address without its port still makes
// its socket first, so that a system out of sockets says so at every
// attempt, and then fails to connect.
ConnectOutcome ConnectNumeric(const LinkDestination* destination, SocketHandle* sock) {
  SocketAddress address{};
  NumericAddress(destination, &address);
  SocketHandle made = MakeLinkSocket(&address);
  if (made == NO_SOCKET) {
    return ConnectOutcome::NoSocket;
  }
  if (destination->Kind == HostKind::NoPort) {
    NoteNoPortError();
    PlatformCloseSocket(made);
    return ConnectOutcome::Failed;
  }
  if (!ConnectSocket(made, &address)) {
    PlatformCloseSocket(made);
    return ConnectOutcome::Failed;
  }
  *sock = made;
  return ConnectOutcome::Connected;
}

// Looked up afresh at each attempt, so that a host whose address changed
// is found at its new one. NoSocket only when no socket could be made for
// any of them; otherwise Failed, with the error of the last connect tried,
// not that of a later address whose socket could not be made.
ConnectOutcome ConnectEachAddress(const LinkDestination* destination, SocketHandle* sock) {
  SocketAddress addresses[MAX_HOST_ADDRESSES];
  int count = 0;
  if (!LookUpHost(destination, addresses, MAX_HOST_ADDRESSES, &count)) {
    return ConnectOutcome::Failed;
  }
  ConnectOutcome outcome = ConnectOutcome::NoSocket;
  int connectError = 0;
  for (int i = 0; i < count; ++i) {
    SocketHandle made = MakeLinkSocket(&addresses[i]);
    if (made == NO_SOCKET) {
      continue;
    }
    if (ConnectSocket(made, &addresses[i])) {
      *sock = made;
      return ConnectOutcome::Connected;
    }
    connectError = PlatformLastSocketError();
    PlatformCloseSocket(made);
    outcome = ConnectOutcome::Failed;
  }
  if (outcome == ConnectOutcome::Failed) {
    RestoreSocketError(connectError);
  }
  return outcome;
}

}  // namespace

ConnectOutcome PlatformConnectLink(const LinkDestination* destination, SocketHandle* sock) {
  if (destination->Kind == HostKind::Name || destination->Kind == HostKind::Literal) {
    return ConnectEachAddress(destination, sock);
  }
  return ConnectNumeric(destination, sock);
}
