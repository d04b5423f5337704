// The server side of a QVN virtual port, as QVN offers it: what the qvnsim
// tool, the tests and the benchmark use to stand in for QVN.
//   Windows: the named pipe "\\.\pipe\QVN<name>", duplex, byte mode.
//   POSIX:   a Unix-domain stream socket at /tmp/QVN<name>.
#pragma once

#include <cstdint>

struct QvnServer {
  std::intptr_t Listener;    // platform handle, -1 when none
  std::intptr_t Connection;  // platform handle, -1 when none
};

// Offers the port NAME (removing a stale POSIX socket file first). Returns 0
// or the platform's error code.
int QvnServerListen(QvnServer* server, const char* name);
// Waits until a client (Tarnwick) has opened the port. 0 or error code.
int QvnServerAccept(QvnServer* server);
// Writes all bytes to the connected client. 0 or error code.
int QvnServerWrite(QvnServer* server, const std::uint8_t* bytes, int count);
// Closes the connection and stops offering the port.
void QvnServerClose(QvnServer* server);
