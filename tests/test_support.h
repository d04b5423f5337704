// Shared helpers for the unit tests: clean tables and captured output.
#pragma once

#include <string>

#include "app/tables.h"
#include "testbed/loopback.h"  // the tests' servers

// Empties PortNames and puts every link back to its starting state, with
// no option.
void ResetTables();
// --fail-safe on (1) or off, as the command line sets it for every link.
void UseFailSafe(int on);

// Captures everything printed from now on (replacing earlier captures).
void StartCapture();
// What has been printed since StartCapture.
std::string Captured();
// Stops capturing; output goes to standard output again.
void StopCapture();

// Sets link k's AddrText to the address and its destination as the command
// line reads it.
void PointLinkAt(int k, const char* address);
// Sets link k's destination to 127.0.0.1:port and its AddrText to match.
void PointLinkAtLoopback(int k, unsigned short port);

// How a client's stream ended, as its server saw it.
enum class StreamEnd {
  Closed,     // an orderly end (under Wine, a reset reads as one too)
  Reset,      // a failed read well before the wait was over
  StillOpen,  // nothing more came within the wait
};

struct PeerStream {
  std::string Received;
  StreamEnd End;
};

// Reads what the client on peer sends until it ends the stream, or nothing
// has come for waitMs.
PeerStream ReadUntilEnd(SocketHandle peer, int waitMs);
