// The benchmark's rigctl servers, on 127.0.0.1 only. Each takes one bridge
// connection, hands over the PTT commands that arrive, and answers every
// command with "RPRT 0\n", as rigctld does.
#pragma once

#include <cstdint>

struct RigServer {
  int Listener;
  std::uint16_t Port;
  int Fd;  // the bridge's connection, -1 before it came
  char Line[16];
  int LineLength;
};

// Listens on a free port of 127.0.0.1. False on failure.
bool RigListen(RigServer* server);
// Waits at most timeoutMs for the bridge to connect.
bool RigAccept(RigServer* server, int timeoutMs);

// Most commands one RigReceive can return.
constexpr int RIG_RECEIVE_MAX = 256;

// Reads what has arrived on the connection (call it when it is readable)
// and answers each complete line. Puts the PTT state of each, '1' or '0',
// or '?' for a line that is not a PTT command, into states. Returns how many
// lines were complete, or -1 when the bridge closed the connection.
int RigReceive(RigServer* server, char* states);

void RigClose(RigServer* server);
