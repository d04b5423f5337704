// Loopback servers on 127.0.0.1, for the tools and tests that stand in for
// rigctl servers; Tarnwick itself never listens. One implementation per
// platform (loopback_linux.cpp, loopback_win32.cpp), on the platform's
// socket handles. A call that fails says so (NO_SOCKET, -1 or false) and
// no more: its callers only need to know that it failed.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Listens on 127.0.0.1; port 0 picks a free port, reported in *boundPort.
// receiveBuffer > 0 sets SO_RCVBUF before listening.
SocketHandle LoopbackListen(std::uint16_t port, std::uint16_t* boundPort, int receiveBuffer);
// Waits at most timeoutMs for a connection; NO_SOCKET if none came.
SocketHandle LoopbackAccept(SocketHandle listener, int timeoutMs);
// Waits at most timeoutMs for data: bytes, 0 on close, -1 on error or timeout.
int LoopbackReceiveTimed(SocketHandle sock, char* buffer, int capacity, int timeoutMs);
// Blocking send of all bytes; outOfBand sends them as urgent data.
bool LoopbackSendAll(SocketHandle sock, const char* bytes, int count, bool outOfBand);
