#include "link/rigctl_command.h"

#include <algorithm>
#include <atomic>

namespace {

std::atomic<CommandSender> Sender{nullptr};

// What the way out reads from a server at one go; more would only delay
// the release behind a server that floods it.
constexpr int DISCARD_BUFFER_SIZE = 512;
constexpr int DISCARD_READS = 16;

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

// Whether a command may go out on the link now; SendLock is held. A socket
// that is still connecting could not carry the command anyway; leaving it
// alone keeps the send from meeting a connect in progress.
bool MaySend(const HamlibLink& link) {
  return link.Sock.load() != NO_SOCKET && link.Sendable.load() != 0 &&
         link.ExitStage.load() == LINK_SENDING;
}

// Notes a command the system took whole as awaiting its answer; SendLock is
// held. One more than the record holds, and the connection's answers can no
// longer be matched.
void RecordCommand(HamlibLink* link, int pttOn) {
  std::int32_t count = link->UnansweredCount.load();
  if (count == ANSWERS_UNMATCHED) {
    return;
  }
  if (count == ANSWER_RECORD_SIZE) {
    link->UnansweredCount.store(ANSWERS_UNMATCHED);
    return;
  }
  std::uint32_t bit = pttOn != 0 ? std::uint32_t{1} << count : 0;
  link->Unanswered.store(link->Unanswered.load() | bit);
  link->UnansweredCount.store(count + 1);
  // Only a link that reads answers has a deadline for them: without, the
  // PTT road reads no clock.
  if (link->Settings.ReadAnswers != 0) {
    std::int32_t slot = (link->OldestSent.load() + count) % ANSWER_RECORD_SIZE;
    link->SentAt[slot].store(PlatformMonotonicMicros());
  }
}

// When the oldest command awaiting its answer was sent, if there is one
// whose answer is still matched; SendLock is held.
bool OldestSentAt(const HamlibLink& link, std::int64_t* sentAt) {
  if (link.Settings.ReadAnswers == 0 || link.UnansweredCount.load() <= 0 ||
      link.ExitStage.load() != LINK_SENDING) {
    return false;
  }
  *sentAt = link.SentAt[link.OldestSent.load()].load();
  return true;
}

// Sends the command for pttOn on the link's socket; SendLock is held and
// MaySend has said yes. Returns whether the system took it whole.
bool SendUnderLock(HamlibLink* link, int pttOn) {
  PttCommandText command = PttCommand(pttOn, link->Settings.Vfo);
  SocketHandle sock = link->Sock.load();
  CommandSender sender = Sender.load();
  int sent = sender != nullptr ? sender(sock, command.Bytes, command.Length)
                               : PlatformSendNow(sock, command.Bytes, command.Length);
  if (sent != command.Length) {
    EndConnectionAfterFailedSend(link, sock);
    return false;
  }
  RecordCommand(link, pttOn);
  return true;
}

// Reads and discards what the server has sent, without waiting. Returns
// true when the stream has ended (closed by the server, or failed).
bool DiscardWhatArrived(SocketHandle sock) {
  char buffer[DISCARD_BUFFER_SIZE];
  for (int reads = 0; reads < DISCARD_READS; ++reads) {
    int received = PlatformReceiveNow(sock, buffer, sizeof buffer);
    if (received == RECEIVED_NOTHING_YET) {
      return false;
    }
    if (received <= 0) {
      return true;
    }
  }
  return false;
}

// The way out's close of a connected link; SendLock is held. What the
// server sent is read first: replies left unread would turn the close into
// a reset, and a reset may discard what the server has not read yet. Then
// "T 0" if asked, and the end of our stream: the server reads what came,
// answers, and ends its side in turn. Returns whether the link now awaits
// that end.
bool CloseInOrder(HamlibLink* link, bool release) {
  SocketHandle sock = link->Sock.load();
  DiscardWhatArrived(sock);
  bool whole = !release || SendUnderLock(link, 0);
  if (whole) {
    PlatformShutdownSending(sock);
  }
  link->ExitStage.store(whole ? LINK_AWAITING_END : LINK_SILENT);
  return whole;
}

// A worker is connecting the link: it has one, and commands cannot go out
// yet.
bool ConnectUnderWay(const HamlibLink& link) {
  return link.WorkerActive.load() != 0 && link.Sendable.load() == 0;
}

}  // namespace

void SetCommandSender(CommandSender sender) { Sender.store(sender); }

// The commands are constant text: formatting one with snprintf at each
// change cost the monitor more instructions than the rest of its road.
PttCommandText PttCommand(int pttOn, int vfo) {
  constexpr PttCommandText PLAIN[2] = {{"T 0\n", 4}, {"T 1\n", 4}};
  constexpr PttCommandText WITH_VFO[2] = {{"T currVFO 0\n", 12}, {"T currVFO 1\n", 12}};
  return (vfo != 0 ? WITH_VFO : PLAIN)[pttOn != 0 ? 1 : 0];
}

bool SendPttCommand(HamlibLink* link, int pttOn) {
  PlatformLockAcquire(&link->SendLock);
  link->DecidedPtt.store(pttOn != 0 ? 1 : 0);
  bool sent = MaySend(*link) && SendUnderLock(link, pttOn);
  // A release that a time-out owes is paid by a "T 0" that went out; a
  // "T 1" makes it moot. A "T 0" lost with the link leaves it owed: the
  // rig still holds the "T 1" before the time-out.
  if (sent || pttOn != 0) {
    link->ReleaseOwed.store(0);
  }
  PlatformLockRelease(&link->SendLock);
  return sent;
}

bool SendOwedRelease(HamlibLink* link) {
  PlatformLockAcquire(&link->SendLock);
  link->DecidedPtt.store(0);
  bool sent = MaySend(*link) && SendUnderLock(link, 0);
  link->ReleaseOwed.store(sent ? 0 : 1);
  PlatformLockRelease(&link->SendLock);
  return sent;
}

bool TakeAnsweredCommand(HamlibLink* link, int* pttOn, bool* wasLast) {
  PlatformLockAcquire(&link->SendLock);
  std::int32_t count = link->UnansweredCount.load();
  bool matched = count > 0 && link->ExitStage.load() == LINK_SENDING;
  if (matched) {
    std::uint32_t unanswered = link->Unanswered.load();
    *pttOn = static_cast<int>(unanswered & 1);
    *wasLast = count == 1;
    link->Unanswered.store(unanswered >> 1);
    link->UnansweredCount.store(count - 1);
    link->OldestSent.store((link->OldestSent.load() + 1) % ANSWER_RECORD_SIZE);
  }
  PlatformLockRelease(&link->SendLock);
  return matched;
}

bool GiveUpOverdueAnswer(HamlibLink* link, std::int64_t now, int* pttOn) {
  PlatformLockAcquire(&link->SendLock);
  std::int64_t sentAt = 0;
  bool overdue = OldestSentAt(*link, &sentAt) && now - sentAt >= ANSWER_DEADLINE_MICROS;
  if (overdue) {
    *pttOn = static_cast<int>(link->Unanswered.load() & 1);
    link->UnansweredCount.store(ANSWERS_UNMATCHED);
  }
  PlatformLockRelease(&link->SendLock);
  return overdue;
}

int MsUntilAnswerOverdue(HamlibLink* link, std::int64_t now, int longestMs) {
  PlatformLockAcquire(&link->SendLock);
  std::int64_t sentAt = 0;
  std::int64_t ms = longestMs;
  if (OldestSentAt(*link, &sentAt)) {
    ms = std::max<std::int64_t>(sentAt + ANSWER_DEADLINE_MICROS - now + 999, 0) / 1000;
  }
  PlatformLockRelease(&link->SendLock);
  return static_cast<int>(std::min<std::int64_t>(ms, longestMs));
}

bool ResendRefusedRelease(HamlibLink* link) {
  PlatformLockAcquire(&link->SendLock);
  bool sent = MaySend(*link) && link->DecidedPtt.load() == 0 && link->UnansweredCount.load() == 0 &&
              SendUnderLock(link, 0);
  PlatformLockRelease(&link->SendLock);
  return sent;
}

void CloseLinkSocket(HamlibLink* link) {
  PlatformLockAcquire(&link->SendLock);
  SocketHandle sock = link->Sock.load();
  if (sock != NO_SOCKET) {
    PlatformCloseSocket(sock);
  }
  link->Sock.store(NO_SOCKET);
  link->Sendable.store(0);
  // A released connection that is gone has nothing more to wait for.
  if (link->ExitStage.load() == LINK_AWAITING_END) {
    link->ExitStage.store(LINK_SILENT);
  }
  PlatformLockRelease(&link->SendLock);
}

void MarkLinkSendable(HamlibLink* link, bool resendDecided) {
  PlatformLockAcquire(&link->SendLock);
  std::int32_t stage = link->ExitStage.load();
  // A new connection: what the last one left unanswered never will be.
  link->Unanswered.store(0);
  link->UnansweredCount.store(0);
  link->OldestSent.store(0);
  if (stage == LINK_SENDING) {
    link->Sendable.store(1);
    std::int32_t decided = link->DecidedPtt.load();
    if ((resendDecided || link->ReleaseOwed.load() != 0) && decided != PTT_UNDECIDED) {
      link->ReleaseOwed.store(SendUnderLock(link, decided) ? 0 : 1);
    }
  } else if (stage == LINK_AWAITING_CONNECT) {
    // The way out waits for this connection to release the rig on it.
    link->Sendable.store(1);
    CloseInOrder(link, true);
  }
  // Otherwise the way out has taken the link: the connection carries nothing.
  PlatformLockRelease(&link->SendLock);
}

void SetLinkSocket(HamlibLink* link, SocketHandle sock) {
  PlatformLockAcquire(&link->SendLock);
  link->Sock.store(sock);
  PlatformLockRelease(&link->SendLock);
}

bool ReleaseLinkForExit(HamlibLink* link) {
  PlatformLockAcquire(&link->SendLock);
  bool closing = false;
  if (link->ExitStage.load() == LINK_SENDING) {
    bool keyed = link->DecidedPtt.load() == 1;
    if (MaySend(*link)) {
      closing = CloseInOrder(link, keyed);
    } else if (keyed && ConnectUnderWay(*link)) {
      link->ExitStage.store(LINK_AWAITING_CONNECT);
      closing = true;
    } else {
      link->ExitStage.store(LINK_SILENT);
    }
  }
  PlatformLockRelease(&link->SendLock);
  return closing;
}

bool ReleasedLinkHasEnded(HamlibLink* link) {
  PlatformLockAcquire(&link->SendLock);
  // The worker may have closed the socket already (CloseLinkSocket), having
  // read the end itself; then the stage is no longer LINK_AWAITING_END.
  std::int32_t stage = link->ExitStage.load();
  if (stage == LINK_AWAITING_END && DiscardWhatArrived(link->Sock.load())) {
    link->ExitStage.store(LINK_SILENT);
  }
  // A connect that failed leaves nothing to wait for.
  if (stage == LINK_AWAITING_CONNECT && link->WorkerActive.load() == 0) {
    link->ExitStage.store(LINK_SILENT);
  }
  stage = link->ExitStage.load();
  bool ended = stage != LINK_AWAITING_END && stage != LINK_AWAITING_CONNECT;
  PlatformLockRelease(&link->SendLock);
  return ended;
}
