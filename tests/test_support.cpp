#include "tests/test_support.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/command_line.h"
#include "app/settings.h"
#include "core/console.h"

namespace {

constexpr std::size_t MAX_STREAM_BYTES = 1 << 22;

std::mutex CaptureLock;
std::string CaptureBuffer;

void CaptureSink(const char* bytes, std::size_t count) {
  std::lock_guard<std::mutex> guard(CaptureLock);
  CaptureBuffer.append(bytes, count);
}

}  // namespace

void ResetTables() {
  Options = RunOptions{};
  SetTimestamps(false);
  for (int k = 0; k < MAX_PORTS; ++k) {
    PortNames[k][0] = '\0';
    InitLink(&Links[k], "", LinkDestination{}, LinkSettings{});
  }
}

void UseFailSafe(int on) {
  Options.FailSafe = on;
  for (HamlibLink& link : Links) {
    link.Settings = LinkSettingsFrom(Options);
  }
}

void StartCapture() {
  {
    std::lock_guard<std::mutex> guard(CaptureLock);
    CaptureBuffer.clear();
  }
  SetConsoleSink(CaptureSink);
}

std::string Captured() {
  std::lock_guard<std::mutex> guard(CaptureLock);
  return CaptureBuffer;
}

void StopCapture() { SetConsoleSink(nullptr); }

void PointLinkAt(int k, const char* address) {
  std::snprintf(Links[k].AddrText, sizeof Links[k].AddrText, "%s", address);
  static CommandLine parsed;
  const char* argv[] = {"tarnwick", "port", Links[k].AddrText};
  ParseCommandLine(3, argv, &parsed);
  Links[k].Destination = parsed.Destination[0];
}

void PointLinkAtLoopback(int k, unsigned short port) {
  char address[32];
  std::snprintf(address, sizeof address, "127.0.0.1:%u", port);
  PointLinkAt(k, address);
}

PeerStream ReadUntilEnd(SocketHandle peer, int waitMs) {
  PeerStream stream{"", StreamEnd::StillOpen};
  char buffer[4096];
  // A client that never stops sending is a failure too: the stream is cut.
  while (stream.Received.size() < MAX_STREAM_BYTES) {
    std::int64_t started = PlatformMonotonicMicros();
    int got = LoopbackReceiveTimed(peer, buffer, sizeof buffer, waitMs);
    if (got > 0) {
      stream.Received.append(buffer, static_cast<std::size_t>(got));
      continue;
    }
    // A failed read is a timeout or a reset: a reset cuts the wait short.
    std::int64_t waitedMs = (PlatformMonotonicMicros() - started) / 1000;
    int margin = waitMs / 2 < 1000 ? waitMs / 2 : 1000;
    if (got == 0) {
      stream.End = StreamEnd::Closed;
    } else if (waitedMs < waitMs - margin) {
      stream.End = StreamEnd::Reset;
    }
    return stream;
  }
  return stream;
}
