// The process side of --fail-safe's guard: a second process that outlives
// Tarnwick's own and learns how it ended. Tarnwick holds the writing end of
// a pipe whose reading end the guard holds; the way out writes one byte
// into it just before Tarnwick ends. The pipe's end without that byte is an
// end without the way out (killed, crashed), which the system closes for
// any process however it ends.
//   POSIX:   the guard is this process forked before any thread starts; it
//            runs the body it is given and ends.
//   Windows: the guard is this program started again, with the pipe's
//            reading end and a handle of this process inherited and named
//            after a mark in its command line (PlatformIsGuardStart);
//            where a job holds Tarnwick, it asks to break away from it.
#pragma once

using GuardBody = void (*)();

// Tarnwick's side. Starts the guard: POSIX runs body in it. Call before any
// thread starts. Returns 0, or the platform's error code.
int PlatformStartGuard(GuardBody body);
// Tells the guard that Tarnwick is ending by its way out.
void PlatformTellGuardOfTheWayOut();
// Whether a guard was started and has ended since.
bool PlatformGuardHasEnded();

// The guard's side. Windows: whether this process is a guard that Tarnwick
// started (the mark, with a live process and a pipe behind it, stands first
// in argv); if so, the mark is taken off argv. POSIX: never.
bool PlatformIsGuardStart(int* argc, char*** argv);
enum class TarnwickEnd { ByTheWayOut, Abruptly };
// Sleeps, with no timer, until Tarnwick has ended, and says how. Stop
// signals (POSIX) and console events (Windows) that reach the guard
// meanwhile change nothing: Tarnwick takes them.
TarnwickEnd PlatformAwaitTarnwickEnd();
// Ends the guard's process at once, whatever its threads are doing.
[[noreturn]] void PlatformEndGuard();
// The code of a connect given up for taking too long (ETIMEDOUT, WSAETIMEDOUT).
int PlatformTimedOutError();
