// --fail-safe's guard: a second process whose only work is to release the
// rigs when Tarnwick ends without its way out (killed, crashed, ended from
// Task Manager), since rigctld keeps PTT after its client has gone. It
// knows nothing of PTT changes and sleeps, with no timer, until Tarnwick
// ends; then, only if Tarnwick ended abruptly, it sends "T 0" to the server
// of every watched port on connections of its own.
#pragma once

#include "app/command_line.h"

// How long the guard waits for a server's connect, the name's lookup
// included, before it gives that server up.
constexpr int GUARD_CONNECT_LIMIT_MS = 5000;

// Starts the guard (--fail-safe only); before any thread starts and any
// link connects. Returns 0, or the platform's error code.
int StartGuard();

// The way out tells the guard, as its last act, that Tarnwick ends in
// order; so does a start that is refused once the guard runs.
void TellGuardOfTheWayOut();

// Once a second, from the supervisor: says once that the guard has ended
// while Tarnwick runs.
void SayIfTheGuardEnded();

// The guard's own life: waits for Tarnwick's end, and releases every watched
// port's server if it was abrupt.
void RunGuard();

// Windows: this program started again as the guard, with Tarnwick's command
// line; never returns.
[[noreturn]] void RunGuardOf(const CommandLine& commandLine);
