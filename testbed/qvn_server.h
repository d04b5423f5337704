// The server side of a QVN virtual port, as QVN offers it: what the qvnsim
// tool, the tests and the benchmark use to stand in for QVN.
//   Windows: the named pipe "\\.\pipe\QVN<name>", duplex, byte mode, one
//            client at a time.
//   Linux:   a Unix-domain stream socket at /tmp/QVN<name>, that only its
//            owner (and root) may open, taking one client.
#pragma once

#include <cstdint>

constexpr int QVN_PATH_SIZE = 108;  // sun_path; holds "/tmp/QVN" and a 63-character name

struct QvnServer {
  std::intptr_t Listener;    // platform handle, -1 when none
  std::intptr_t Connection;  // platform handle, -1 when none
  char Path[QVN_PATH_SIZE];  // Linux: the socket file to remove at the end
};

// QvnServerListen's answer when a running server already offers the port.
constexpr int QVN_ALREADY_OFFERED = -1;

// Offers the port NAME. On Linux a socket file left by a server that has
// gone is replaced; one that a running server still offers is left alone.
// Returns 0, QVN_ALREADY_OFFERED or the platform's error code.
int QvnServerListen(QvnServer* server, const char* name);
// Waits until a client (Tarnwick) has opened the port. From then on a
// second client is refused (Linux: ECONNREFUSED; Windows: ERROR_PIPE_BUSY).
// 0 or error code.
int QvnServerAccept(QvnServer* server);
// Writes all bytes to the connected client. 0 or error code.
int QvnServerWrite(QvnServer* server, const std::uint8_t* bytes, int count);
// Closes the connection and stops offering the port.
void QvnServerClose(QvnServer* server);
// For a program that offers one port until it is stopped: until
// QvnServerClose, SIGINT, SIGTERM and SIGHUP (Ctrl+C, kill, a closed
// terminal) remove the port, then end the process as they would have. A
// signal ignored at this point stays ignored. Windows: a pipe goes with
// its process.
void QvnServerCloseOnSignals(const QvnServer* server);
