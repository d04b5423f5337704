// Loopback servers on 127.0.0.1, for the tools and tests that
// stand in for rigctl servers; Tarnwick itself never listens. They share
// the sockets of platform_posix.cpp and platform_win32.cpp, where they are
// implemented, and report errors through PlatformLastSocketError().
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Listens on 127.0.0.1; port 0 picks a free port, reported in *boundPort.
// receiveBuffer > 0 sets SO_RCVBUF before listening.
SocketHandle PlatformListenLoopback(std::uint16_t port, std::uint16_t* boundPort,
                                    int receiveBuffer);
// Waits at most timeoutMs for a connection; NO_SOCKET if none came.
SocketHandle PlatformAccept(SocketHandle listener, int timeoutMs);
// Waits at most timeoutMs for data: bytes, 0 on close, -1 on error or timeout.
int PlatformReceiveTimed(SocketHandle sock, char* buffer, int capacity, int timeoutMs);
// Blocking send of all bytes; outOfBand sends them as urgent data.
bool PlatformSendAll(SocketHandle sock, const char* bytes, int count, bool outOfBand);
