// The PTT monitor: one thread that opens the ports, keeps one operation
// outstanding on each, sleeps on one shared event until any of them
// completes, and turns what completed into PTT commands on the port's link.
#pragma once

#include <cstdint>

#include "core/decided_ptt.h"
#include "core/slots.h"
#include "ptt/monitored_port.h"
#include "ptt/transmit_log.h"
#include "ptt/tx_timeout.h"

constexpr int MONITOR_WAIT_MS = 1000;
// How long --verbose's lines wait, at most, for the writer to be woken.
constexpr int OUTPUT_WAKE_DELAY_MS = 1;
// How often the CTS line of each COM port is compared with the port's
// decided PTT state, and how soon a difference is looked at again before it
// is sent (see CheckComLines in ptt_monitor.cpp).
constexpr std::int64_t COM_LINE_CHECK_MICROS = 1000000;
constexpr std::int64_t COM_LINE_CONFIRM_MICROS = 100000;
// --reopen: how often a port that is not open is tried again.
constexpr std::int64_t REOPEN_PERIOD_MICROS = std::int64_t{16} * 1000 * 1000;

// A monotonic clock in microseconds: what the monitor times its own duties
// by, so that no traffic on the ports can put them off.
using MonitorClock = std::int64_t (*)();

// What the monitor is told when it starts; read-only afterwards.
struct MonitorSettings {
  // The port of each slot: the monitor opens those before the first empty
  // name ("").
  const char* PortNames[MAX_PORTS];
  // Each port's decided PTT state, which its sender keeps: the monitor only
  // reads it.
  const DecidedPttState* Decided[MAX_PORTS];
  // --fail-safe: a port that opens is decided at once, and a keyed port
  // that stops is released.
  int FailSafe;
  // --reopen: a port that did not open, or stopped, is tried every period.
  int Reopen;
  // --tx-timeout: PTT held on this many seconds is released; 0: never.
  int TxTimeoutSeconds;
  // --verbose: each change of a decided state is said (transmit_log.h).
  int TransmitLog;
};

struct PttMonitorState {
  const PortLayer* Layer;
  PttSender Send;
  MonitorClock Now;
  MonitorSettings Settings;
  MonitoredPort Ports[MAX_PORTS];
  int PortCount;
  // When the monitor's timed duties are next due, on its clock.
  std::int64_t ComLineCheckDue;
  // --tx-timeout's release: as Send(slot, 0), and owed to a link that is
  // down until it connects.
  PttSender SendRelease;
  // --tx-timeout, per slot: kept whatever becomes of the port.
  TxTimer Tx[MAX_PORTS];
  // --verbose, per slot.
  TransmitLog Log[MAX_PORTS];
  // --verbose: lines queued for the writer without waking it.
  int OutputOwed;
};

// Opens every port up to the first empty slot, as a virtual port or else
// as a COM port. With --reopen a port that does not open is kept, closed,
// to be tried again. Returns false when the first slot is empty.
bool OpenMonitoredPorts(PttMonitorState* state);

// Creates the shared event and starts each port's first operation. Returns
// false, after saying so, when the event cannot be created.
bool StartMonitoring(PttMonitorState* state);

// One wait, until the earliest timed duty is due and at most
// MONITOR_WAIT_MS; then scans until no port is left with a completed
// operation, doing the duties that fall due on the way, whatever woke the
// wait.
void MonitorPass(PttMonitorState* state);

// Thread entry: runs the monitor on *record, a PttMonitorState, for the
// life of the process.
void PttMonitor(void* record);

// Starts the monitor thread on the platform's ports, its commands going
// through send, and the time-out's releases through sendRelease.
void StartPttMonitor(const MonitorSettings& settings, PttSender send, PttSender sendRelease);
