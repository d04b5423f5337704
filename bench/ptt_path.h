// One measured path: a virtual port that the benchmark offers, or a COM
// port with simulated modem lines, the bridge that watches it (Tarnwick, a
// relay or the poller), and the benchmark's rigctl server that the bridge
// sends to. The benchmark writes status changes into the port, or changes
// the port's CTS line, and checks that each one comes out at the server, in
// order, and how soon.
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "bench/rig_server.h"
#include "modemsim_lines.h"
#include "testbed/qvn_server.h"

struct ChangeCounts {
  long Sent;        // status changes written into the port
  long Received;    // commands that arrived at the server
  long Lost;        // changes whose command never came
  long OutOfOrder;  // commands other than the one due next
};

struct DueCommand {
  char State;  // '1' or '0'
  std::int64_t WrittenNs;
};

struct PttPath {
  char Name[64];  // the virtual port's name, or the COM port's device
  bool IsCom;
  QvnServer Port;
  ModemsimPort Lines;  // COM ports
  RigServer Rig;
  std::uint8_t LastStatus;  // the last status byte written, as the bridge sees it
  bool Closed;              // the bridge closed its connection
  std::deque<DueCommand> Due;
  ChangeCounts Counts;
  std::vector<std::int64_t>* Latencies;  // where arrival latencies go; null: nowhere
};

// Offers the virtual port NAME and a server; the bridge comes afterwards.
bool OfferPath(PttPath* path, const char* name);
// Makes a COM port with simulated lines, its shared file in directory, and
// a server.
bool OfferComPath(PttPath* path, const char* directory);
// Waits for the bridge to open the port and to connect to the server.
bool AcceptBridge(PttPath* path, int timeoutMs);
void ClosePath(PttPath* path);

// What one write into a port carries: the bytes, and the commands they
// must produce.
struct PortWrite {
  std::uint8_t Bytes[1024];
  int Length;
  char States[64];
  int Changes;
};

void AddData(PortWrite* write, std::uint8_t byte);  // a 0xFF is doubled
// A status byte that flips the path's PTT; otherBits (any but bit 1 and
// not all of them, so never 0xFF) ride along, as other lines do.
void AddStatusChange(PortWrite* write, PttPath* path, std::uint8_t otherBits);
// Writes it into the port in one write; its commands become due.
bool WriteToPort(PttPath* path, PortWrite* write);
// Flips a COM port's CTS line; its command becomes due. Returns when, on
// the CLOCK_MONOTONIC nanoseconds that latencies are measured from.
std::int64_t ToggleCts(PttPath* path);

// Waits until every due command of the paths has arrived, at most
// timeoutMs; what has not come by then is lost.
void AwaitDueCommands(PttPath* const* paths, int count, int timeoutMs);
// Takes what arrives until the deadline (CLOCK_MONOTONIC): commands that
// nothing was due for count as out of order.
void TakeArrivalsUntil(PttPath* const* paths, int count, std::int64_t deadlineNs);

// The counts since the last call.
ChangeCounts TakeCounts(PttPath* path);
void AddCounts(ChangeCounts* total, const ChangeCounts& more);
