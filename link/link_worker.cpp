#include "link/link_worker.h"

#include "core/console.h"
#include "link/rigctl_answers.h"
#include "link/rigctl_command.h"

namespace {

constexpr int DRAIN_CHUNK = 500;
constexpr int DRAIN_BUFFER_SIZE = 512;

// The connection-lost path: unlike a close by the server, it lets the next
// failed connect be reported again.
void LoseConnection(HamlibLink* link) {
  Print("HAMLIB Connection lost for Addr %s\r\n", link->AddrText);
  link->Running.store(0);
  link->FailureReported.store(0);
  link->Connected.store(0);
  CloseLinkSocket(link);
}

// Returns true when the socket was made and connected.
bool Connect(HamlibLink* link) {
  CloseLinkSocket(link);
  SocketHandle sock = NO_SOCKET;
  ConnectOutcome outcome = PlatformConnectLink(&link->Destination, &sock);
  if (outcome != ConnectOutcome::Connected) {
    // A connect that failed is said once until the link has been up again.
    if (outcome == ConnectOutcome::NoSocket || link->FailureReported.load() == 0) {
      SayConnectFailure(*link, outcome, PlatformLastSocketError());
    }
    if (outcome == ConnectOutcome::Failed) {
      link->FailureReported.store(1);
    }
    return false;
  }
  SetLinkSocket(link, sock);
  PlatformSetNonBlocking(sock);
  if (link->Settings.ReadAnswers != 0) {
    PlatformWakeForEachReply(sock);
  }
  // Up before it is sendable: a first command that fails ends the
  // connection by clearing these, and must not be undone.
  link->Running.store(1);
  link->Connected.store(1);
  // Commands may go out from here on: whoever reads the connected message
  // may key PTT at once. With --fail-safe the port's decided state goes out
  // first.
  MarkLinkSendable(link, link->Settings.FailSafe != 0);
  Print("Connected to HAMLIB socket Addr %s\r\n", link->AddrText);
  link->FailureReported.store(1);
  return true;
}

// How long the worker may wait for the server: until a refused release is
// due again, or the oldest command's answer is overdue, at the latest.
int WaitLimitMs(HamlibLink* link, const AnswerReader* reader, std::int64_t now) {
  if (reader == nullptr) {
    return LINK_WAIT_MS;
  }
  return MsUntilAnswerOverdue(link, now, MsUntilResend(*reader, now, LINK_WAIT_MS));
}

// What is due at `now` whether or not the server said anything.
void ActOnTime(HamlibLink* link, AnswerReader* reader, std::int64_t now) {
  if (reader != nullptr) {
    ResendIfDue(link, reader, now);
    EndMatchingIfOverdue(link, now);
  }
}

// Services the connection until it ends.
void Service(HamlibLink* link) {
  AnswerReader answers{};
  // The server's answers are read only when something is done with them.
  AnswerReader* reader = link->Settings.ReadAnswers != 0 ? &answers : nullptr;
  for (;;) {
    int found =
        PlatformWaitSocket(link->Sock.load(), WaitLimitMs(link, reader, PlatformMonotonicMicros()));
    if (found == SOCKET_WAIT_FAILED) {
      Print("HAMLIB Select failed %d r\n", PlatformLastSocketError());
      LoseConnection(link);
      return;
    }
    if ((found & SOCKET_READABLE) != 0) {
      DrainLink(link, reader);
    }
    // DrainLink may have ended the connection; an exception only counts on
    // a socket that is still the link's.
    if ((found & SOCKET_EXCEPTION) != 0 && link->Sock.load() != NO_SOCKET) {
      LoseConnection(link);
      return;
    }
    ActOnTime(link, reader, PlatformMonotonicMicros());
    if (link->Running.load() == 0) {
      // A connection ended on the way out is not one to reconnect.
      if (link->ExitStage.load() == LINK_SENDING) {
        Print("HAMLIB Thread Terminated Addr %s\r\n", link->AddrText);
      }
      // After a command not taken whole the socket is still open: the
      // worker that ends the connection closes it.
      CloseLinkSocket(link);
      return;
    }
  }
}

}  // namespace

void SayConnectFailure(const HamlibLink& link, ConnectOutcome outcome, int error) {
  if (outcome == ConnectOutcome::NoSocket) {
    Print("Socket Failed for HAMLIB socket - error code = %d\r\n", error);
  } else {
    Print("Connect Failed for HAMLIB socket - error code = %d Addr %s\r\n", error, link.AddrText);
  }
}

void DrainLink(HamlibLink* link, AnswerReader* answers) {
  char buffer[DRAIN_BUFFER_SIZE];
  int received = PlatformReceiveNow(link->Sock.load(), buffer, DRAIN_CHUNK);
  // Another reader of this socket, the way out, may have taken what woke
  // the worker: nothing left to read is not the end of the connection.
  if (received == RECEIVED_NOTHING_YET) {
    return;
  }
  if (received > 0 && answers != nullptr) {
    ReadAnswers(link, answers, buffer, received, PlatformMonotonicMicros());
  }
  if (received <= 0) {
    CloseLinkSocket(link);
    link->Running.store(0);
    link->Connected.store(0);
  }
}

void LinkWorker(HamlibLink* link) {
  if (Connect(link)) {
    Service(link);
  }
  link->WorkerActive.store(0);
}
