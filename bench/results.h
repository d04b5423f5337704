// Everything one run of the benchmark found, and the report made of it.
#pragma once

#include <cstdint>
#include <vector>

#include "bench/com_road.h"
#include "bench/process_stats.h"
#include "bench/ptt_path.h"

constexpr int BENCH_PORTS = 4;

struct LatencyRun {
  std::vector<std::int64_t> Tarnwick;
  std::vector<std::int64_t> Limit;
  std::vector<std::int64_t> Poller;  // one port only
};

struct CountRow {
  const char* Label;
  ChangeCounts Counts;
};

struct HeavyRun {
  double Seconds;
  long SerialBytes;
  double CpuShare;  // of one core, 0..1
  ChangeCounts Counts;
  std::vector<std::int64_t> Latencies;
};

// A process over the idle run: its samples at the start and end, and the
// largest figures seen in between.
struct IdleRecord {
  ProcessSample Start;
  ProcessSample End;
  long MaxRssKiB;
  int MaxThreads;
  int MaxFds;
  double TimerWakeUpsPerSecond;  // what its own timers need
};

struct Results {
  bool Quick;
  bool ComOnly;  // the COM road alone
  bool Wine;     // the Windows builds under Wine
  bool Busy;     // one port on a busy machine (--busy)
  int Cores;
  char LoadAtStart[64];
  char LoadAtEnd[64];
  LatencyRun OnePort;
  LatencyRun FourPorts;
  LatencyRun BusyOnePort;    // every core busy
  LatencyRun BusyStreaming;  // and the other three ports streaming
  int Hogs;                  // CPU-bound processes in a busy run
  std::vector<CountRow> TarnwickCounts;
  ChangeCounts OtherBridges;  // relays and poller in the latency runs
  double CpuMsPerThousand;
  HeavyRun Heavy;
  int IdleSeconds;  // 0: not measured
  IdleRecord IdleTarnwick;
  IdleRecord IdlePoller;
  ProcessSample AfterStartUp;  // Tarnwick, before the first change
  ProcessSample AtEnd;         // Tarnwick, after the last phase
  ComRun Com;
};

// Prints the tables and the targets. Returns false when Tarnwick lost or
// reordered a change.
bool PrintReport(const Results& results);
