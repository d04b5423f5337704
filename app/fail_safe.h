// --fail-safe: never leave a transmitter keyed. Three duties, each done
// where the moment arises:
// - the way out: when Tarnwick is stopped, ReleaseLinksForExit sends "T 0"
//   on every keyed link and lets the servers read it before the end;
// - a port that stops: the monitor releases it (ptt_monitor.cpp);
// - a link that connects: its worker sends the port's decided state again
//   (MarkLinkSendable), so a change lost while it was down arrives.
// Without the option none of them happens.
#pragma once

// How long the way out waits, for all links together, for the servers to
// take their release.
constexpr int EXIT_RELEASE_LIMIT_MS = 1000;

// Sets up the way out when --fail-safe is on. Runs before the first thread
// starts.
void StartFailSafe();

// The way out: takes every link, so that nothing more is sent on any, after
// a "T 0" on each connected link whose decided state is 1; then waits until
// each released server has ended its stream, or EXIT_RELEASE_LIMIT_MS has
// passed. Safe to run again, or on two threads at once.
void ReleaseLinksForExit();
