// --fail-safe: never leave a transmitter keyed. Three duties, each done
// where the moment arises:
// - the way out: when Tarnwick is stopped, ReleaseLinksForExit sends "T 0"
//   on every keyed link and closes every connection in order, so that the
//   servers read what they were sent before the end (way_out.h);
// - a port that stops: the monitor releases it (ptt_monitor.cpp);
// - a link that connects: its worker sends the port's decided state again
//   (MarkLinkSendable), so a change lost while it was down arrives.
// Without the option none of them happens.
#pragma once

// How long the way out waits, for all links together, for the servers to
// take their release.
constexpr int EXIT_RELEASE_LIMIT_MS = 1000;

// The way out's release: takes every link, so that nothing more is sent on
// any. Each connected link is closed in order, after a "T 0" where its
// decided state is 1; a link still connecting while its decided state is 1
// gets the same once it connects. Then waits until each of those servers
// has ended its stream, or EXIT_RELEASE_LIMIT_MS has passed. Safe to run
// again, or on two threads at once.
void ReleaseLinksForExit();
