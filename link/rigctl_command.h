// The one rigctl command Tarnwick sends: set PTT, "T 1\n" or "T 0\n", or
// with --vfo "T currVFO 1\n" or "T currVFO 0\n".
#pragma once

#include <cstdint>

#include "link/hamlib_link.h"

struct PttCommandText {
  const char* Bytes;
  int Length;
};

// The command for a PTT state (1 on, 0 off), in the link's form: with
// vfo != 0 it names the VFO, as a rigctld started with --vfo reads it.
PttCommandText PttCommand(int pttOn, int vfo);

// Makes pttOn the port's decided PTT state and sends its command on the
// link's current socket, once, without waiting. The command is lost,
// silently, when the link has no connection (none yet, or none any more);
// the decided state is kept all the same.
// A command that the system does not take whole (only part of it, or none
// because the server has stopped reading) ends the connection: nothing more
// is sent on it, and it is closed with a reset that discards what is still
// queued, so the server never gets a torn command followed by another.
// Returns whether the system took the command whole.
bool SendPttCommand(HamlibLink* link, int pttOn);

// The transmit time-out's release: as SendPttCommand(link, 0), and owed
// to the link if it cannot go out now, so that the link sends it when it
// connects, with or without --fail-safe, unless a "T 1" or a "T 0" that
// goes out comes first. Returns whether it went out now.
bool SendOwedRelease(HamlibLink* link);

// Every command taken whole is recorded as awaiting its answer, until the
// connection has more than ANSWER_RECORD_SIZE of them. Takes the oldest,
// for the answer that has just come: its state into *pttOn, and whether no
// command went out after it into *wasLast. False when there is none to
// take, matching has ended for this connection, or the way out has taken
// the link: the answer is then ignored.
bool TakeAnsweredCommand(HamlibLink* link, int* pttOn, bool* wasLast);

// With answers read, each command awaiting its answer has its send time
// recorded. When the oldest has waited ANSWER_DEADLINE_MICROS at `now`,
// matching ends for this connection (ANSWERS_UNMATCHED): an answer that
// never comes would otherwise pair every later answer with the wrong
// command. Returns whether it ended now, with that command's state in
// *pttOn.
bool GiveUpOverdueAnswer(HamlibLink* link, std::int64_t now, int* pttOn);

// Milliseconds until the oldest command awaiting its answer is overdue,
// rounded up, and at most longestMs.
int MsUntilAnswerOverdue(HamlibLink* link, std::int64_t now, int longestMs);

// A refused release sent again: "T 0", only while the decided state is 0 and
// every command sent has been answered, so that it never overtakes a newer
// change. Returns whether it went out.
bool ResendRefusedRelease(HamlibLink* link);

// The call that hands a command to the system; PlatformSendNow unless a test
// puts a stand-in in its place (nullptr puts PlatformSendNow back).
using CommandSender = int (*)(SocketHandle sock, const char* bytes, int count);
void SetCommandSender(CommandSender sender);

// Closes the link's socket, if any, and marks it as having none. Serialised
// with SendPttCommand so that a send never reaches a reused handle.
void CloseLinkSocket(HamlibLink* link);

// Lets commands go out on the link's socket, once it is connected, unless
// the way out has taken the link. With resendDecided, the port's decided
// state, if any, goes out first, in the same hold of the lock: no command
// can come between, so the resend never overtakes a newer change. An owed
// release goes out the same way without it. A link
// that the way out awaits (keyed while it was connecting) gets "T 0" and
// is closed in order instead.
void MarkLinkSendable(HamlibLink* link, bool resendDecided);

// Publishes a newly created socket as the link's socket.
void SetLinkSocket(HamlibLink* link, SocketHandle sock);

// The link's part of the way out. From now on nothing goes out on the link,
// by any thread, but what follows. A connected link is closed in order:
// what the server sent is read, "T 0" sent where the decided state is 1,
// and the sending side shut, so that the server reads every command,
// answers and ends the stream. A link whose connect is under way while its
// decided state is 1 gets the same once it connects. Returns whether the
// link now awaits one of those.
bool ReleaseLinkForExit(HamlibLink* link);

// Whether a link is no longer awaiting the way out's close or connect: its
// server ended the stream, the connection or the connect failed, or the
// worker has closed it. Reads and discards what the server sent; never
// waits.
bool ReleasedLinkHasEnded(HamlibLink* link);
