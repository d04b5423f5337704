// What the command-line options turn on. Every option is off unless it is
// given, and with none of them Tarnwick behaves as it always has.
#pragma once

struct RunOptions {
  // Release PTT ("T 0") when Tarnwick is stopped and when a keyed port
  // stops, and send a port's PTT state again whenever its link connects.
  int FailSafe;
  // Try a port that could not be opened, or that stopped, again every 16 s.
  int Reopen;
  // Begin every message with the local date and time.
  int Timestamps;
  // Release PTT held on for this many seconds without a break; 0: never.
  int TxTimeoutSeconds;
  // Say each PTT change as it is sent, and each command the server refuses.
  int Verbose;
  // Send each command with the VFO, "T currVFO 1", for a rigctld started
  // with --vfo.
  int Vfo;
};

// Written once from the command line before any thread starts; read-only
// afterwards.
extern RunOptions Options;
