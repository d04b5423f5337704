// A release on a connection of its own: for when Tarnwick's own
// connections are gone with its process (the guard of --fail-safe). It
// connects to the link's server, sends "T 0", and closes in order, so that
// the server reads the command before the end of the stream.
#pragma once

#include <atomic>
#include <cstdint>

#include "link/hamlib_link.h"

// Where one release stands. Whoever moves it on from RELEASE_CONNECTING
// says how the connect went: the release itself, or the one who gives it up.
constexpr std::int32_t RELEASE_CONNECTING = 0;
constexpr std::int32_t RELEASE_CLOSING = 1;  // connected: "T 0" and the close
constexpr std::int32_t RELEASE_DONE = 2;
constexpr std::int32_t RELEASE_GIVEN_UP = 3;  // its connect took too long

struct ReleaseConnection {
  const HamlibLink* Link;
  std::atomic<std::int32_t> Stage;
};

// Thread entry; record is a ReleaseConnection. Says the outcome, as a link
// worker says a connect that failed, or that "T 0" went out.
void ReleaseOnConnectionOfItsOwn(void* record);

// Gives up a release whose connect is still under way; returns whether it
// was, and then its connect is the caller's to report.
bool GiveUpConnecting(ReleaseConnection* release);
