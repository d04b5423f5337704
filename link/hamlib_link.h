// One rigctl link: the TCP connection from Tarnwick to the rigctl server
// paired with one port.
//
// Where a link stands is told by four of its words together; each is
// written by the thread named, and read wherever the table's last column
// says:
//
//   stage       WorkerActive  Sock      Connected/Running  Sendable
//   idle        0             none      0                  0
//   connecting  1             none      0                  0
//   up          1             open      1                  1
//   ending      1             either    0                  0
//
//   idle -> connecting   the supervisor starts a worker (StartLinkWorker);
//                        it counts RetryTicks only while Connected is 0
//   connecting -> idle   the connect fails; the worker ends
//   connecting -> up     the connect succeeds: Sock, then Running and
//                        Connected, then Sendable (MarkLinkSendable, which
//                        sends what is owed first); only then can a
//                        command go out
//   up -> ending         the server closes (DrainLink), the connection is
//                        lost (the worker's wait fails), or a command is
//                        not taken whole (SendPttCommand): Sendable, Running
//                        and Connected go to 0, so nothing more is sent
//   ending -> idle       the worker closes Sock (CloseLinkSocket) and ends
//
// Apart from these, ExitStage tells what the way out has done with the
// link (LINK_SENDING until it takes it). The words stay separate because
// each has its own reader that must not wait: the supervisor reads
// Connected and WorkerActive without a lock, the worker's loop Running,
// and a sender Sock, Sendable and ExitStage under SendLock.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/decided_ptt.h"
#include "platform/platform.h"

constexpr int ADDR_TEXT_SIZE = 164;  // 163 characters and the zero

// Where a link stands on the way out (--fail-safe). Once the way out has
// taken a link, nothing more goes out on it, by any thread.
constexpr std::int32_t LINK_SENDING = 0;  // the way out has not taken it
constexpr std::int32_t LINK_AWAITING_END =
    1;                                   // closed in order; its server has yet to end the stream
constexpr std::int32_t LINK_SILENT = 2;  // taken, and nothing left to wait for
// Keyed, and its connect under way: once connected it gets "T 0" and is
// closed in order.
constexpr std::int32_t LINK_AWAITING_CONNECT = 3;

// How many commands a connection may have awaiting their answers; one more
// and its answers can no longer be told apart (ANSWERS_UNMATCHED).
constexpr std::int32_t ANSWER_RECORD_SIZE = 16;
constexpr std::int32_t ANSWERS_UNMATCHED = -1;
// How long a command may await its answer before matching ends: a rig that
// does not answer keeps rigctld for its time-out times its retries, often
// over 2 s, and a rigctld started with --vfo leaves a "T 1" without a VFO
// unanswered until the next command, which it takes for the PTT value.
constexpr std::int64_t ANSWER_DEADLINE_MICROS = std::int64_t{10} * 1000000;

// What a link does beyond carrying the commands, from the command line.
struct LinkSettings {
  // --fail-safe: the port's decided state goes out again whenever the link
  // connects, and a refused release is sent again every second.
  int FailSafe;
  // --verbose or --fail-safe: the server's answers are read and matched,
  // and each refusal is said.
  int ReadAnswers;
  // --vfo: every command names the VFO, "T currVFO 1\n", as a rigctld
  // started with --vfo expects.
  int Vfo;
};

struct HamlibLink {
  // Written once before any thread starts; read-only afterwards.
  char AddrText[ADDR_TEXT_SIZE];
  // Set by the worker while its connection is up; read by the supervisor.
  std::atomic<std::int32_t> Connected;
  // Seconds counted by the supervisor while the link is not connected.
  std::int32_t RetryTicks;
  // The worker's socket, or NO_SOCKET. Replaced and closed only under
  // SendLock, so a sender never meets a handle that was closed and reused.
  std::atomic<SocketHandle> Sock;
  LinkDestination Destination;
  // Written once before any thread starts; read-only afterwards.
  LinkSettings Settings;
  std::atomic<std::int32_t> Running;
  // While 1, a failed connect is not reported again.
  std::atomic<std::int32_t> FailureReported;
  // 1 from the moment the supervisor starts a worker until that worker's
  // last act: at most one worker owns the link at a time.
  std::atomic<std::int32_t> WorkerActive;
  // 1 from the moment Sock's connect succeeds until Sock is closed: the
  // only time a command can be sent on it.
  std::atomic<std::int32_t> Sendable;
  // The port's decided PTT state (core/decided_ptt.h). Written under
  // SendLock together with the send, so whoever reads it under SendLock and
  // sends it can never overtake a newer change.
  DecidedPttState DecidedPtt;
  // 1 while a transmit time-out's release has not gone out: the link sends
  // it when it connects, with or without --fail-safe. Written under
  // SendLock; a newer "T 1", or a "T 0" that goes out, clears it.
  std::atomic<std::int32_t> ReleaseOwed;
  // LINK_SENDING until the way out takes the link. Written under
  // SendLock, and every send checks it under SendLock, so no command can
  // follow the release.
  std::atomic<std::int32_t> ExitStage;
  // The commands taken whole on the current connection that its server has
  // yet to answer: bit k is the k-th oldest (1 for "T 1"), and
  // UnansweredCount how many, or ANSWERS_UNMATCHED. Written under SendLock;
  // started afresh when the connection becomes sendable.
  std::atomic<std::uint32_t> Unanswered;
  std::atomic<std::int32_t> UnansweredCount;
  // With ReadAnswers only: when each of those commands was sent, on the
  // monotonic clock in microseconds, a ring whose oldest is at OldestSent.
  // Written under SendLock with the two words above.
  std::atomic<std::int64_t> SentAt[ANSWER_RECORD_SIZE];
  std::atomic<std::int32_t> OldestSent;
  PlatformLock SendLock;
};

// Puts the link in its starting state (idle, nothing decided, nothing
// owed, not taken by the way out) with its address and settings. Runs
// before any thread uses the link.
void InitLink(HamlibLink* link, const char* addrText, const LinkDestination& destination,
              const LinkSettings& settings);
