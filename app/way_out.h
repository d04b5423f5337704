// The way out: what Tarnwick does when it is stopped (Ctrl+C, SIGTERM, the
// console closed ...), in every mode, before it ends as the event would
// have ended it. With --fail-safe the links are released first (see
// fail_safe.h); then the messages still queued are written, as far as the
// output takes them in the time left.
#pragma once

// How long the queued messages may take, without --fail-safe.
constexpr int OUTPUT_FLUSH_LIMIT_MS = 500;
// With --fail-safe: the release and then the messages, all together.
constexpr int FAIL_SAFE_WAY_OUT_LIMIT_MS = 1500;

// Sets up the way out. Runs before the first thread starts. Returns 0, or
// the platform's error code when it cannot be set up.
int StartWayOut();

// The way out itself; runs on the thread that the stop event reaches.
void TakeWayOut();
