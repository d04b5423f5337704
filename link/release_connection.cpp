#include "link/release_connection.h"

#include "core/console.h"
#include "link/link_worker.h"
#include "link/rigctl_command.h"

namespace {

// How long the server has to answer and end its side, once "T 0" is sent.
constexpr int SERVER_END_LIMIT_MS = 1000;
constexpr int DISCARD_SIZE = 512;

// Reads what the server sends until it ends the stream or the limit
// passes, so that the close that follows is no reset, which could discard
// the command before the server has read it.
void AwaitServerEnd(SocketHandle sock) {
  std::int64_t deadline = PlatformMonotonicMicros() + SERVER_END_LIMIT_MS * 1000LL;
  char buffer[DISCARD_SIZE];
  for (;;) {
    std::int64_t leftMs = (deadline - PlatformMonotonicMicros()) / 1000;
    if (leftMs <= 0 || PlatformWaitSocket(sock, static_cast<int>(leftMs)) <= 0) {
      return;
    }
    int received = PlatformReceiveNow(sock, buffer, sizeof buffer);
    if (received == 0 || received == -1) {
      return;
    }
  }
}

}  // namespace

void ReleaseOnConnectionOfItsOwn(void* record) {
  auto* release = static_cast<ReleaseConnection*>(record);
  const HamlibLink& link = *release->Link;
  SocketHandle sock = NO_SOCKET;
  ConnectOutcome outcome = PlatformConnectLink(&link.Destination, &sock);
  std::int32_t connecting = RELEASE_CONNECTING;
  std::int32_t next = outcome == ConnectOutcome::Connected ? RELEASE_CLOSING : RELEASE_DONE;
  if (!release->Stage.compare_exchange_strong(connecting, next)) {
    return;  // given up: it was said for us
  }
  if (outcome != ConnectOutcome::Connected) {
    SayConnectFailure(link, outcome, PlatformLastSocketError());
    return;
  }
  PttCommandText command = PttCommand(0, link.Settings.Vfo);
  bool sent = PlatformSendNow(sock, command.Bytes, command.Length) == command.Length;
  PlatformShutdownSending(sock);
  AwaitServerEnd(sock);
  PlatformCloseSocket(sock);
  if (sent) {
    Print("TXGATE guard: Tarnwick ended abruptly - T 0 sent to %s\r\n", link.AddrText);
  }
  release->Stage.store(RELEASE_DONE);
}

bool GiveUpConnecting(ReleaseConnection* release) {
  std::int32_t connecting = RELEASE_CONNECTING;
  return release->Stage.compare_exchange_strong(connecting, RELEASE_GIVEN_UP);
}
