// One rigctl link: the TCP connection from Tarnwick to the rigctl server
// paired with one port.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

constexpr int ADDR_TEXT_SIZE = 164;  // 163 characters and the zero

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
  Ipv4Destination Destination;
  std::atomic<std::int32_t> Running;
  // While 1, a failed connect is not reported again.
  std::atomic<std::int32_t> FailureReported;
  // 1 from the moment the supervisor starts a worker until that worker's
  // last act: at most one worker owns the link at a time.
  std::atomic<std::int32_t> WorkerActive;
  // 1 from the moment Sock's connect succeeds until Sock is closed: the
  // only time a command can be sent on it.
  std::atomic<std::int32_t> Sendable;
  PlatformLock SendLock;
};
