// The COM road: a COM port whose CTS line is PTT, its lines simulated by
// modemsim's library (tools/modemsim). The benchmark flips CTS and times
// the command at the server, for Tarnwick on one simulated port and for
// com_relay, the smallest bridge from a line to a server, on another,
// their toggles interleaved. Under Wine both are the Windows builds.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench/ptt_path.h"

struct ComRoadOptions {
  std::string TarnwickPath;
  std::string RelayPath;
  std::string PreloadPath;  // libmodemsim.so
  bool Wine;
  long Changes;  // toggles for each bridge
};

struct ComRoad {
  ComRoadOptions Opt;
  char WorkDir[64];
  char LinesDir[96];
  char Environment[2][160];  // LD_PRELOAD and MODEMSIM_DIR for the bridges
  char WineLinks[2][160];    // the COM names' links in the Wine prefix
  PttPath Tarnwick;
  PttPath Relay;
  bool Offered;
  pid_t TarnwickPid;
};

// Where one bridge's time goes, from the simulated lines' own clock marks:
// the toggle to the wait's return, that return to the read of the lines,
// and the read to the command's arrival at the server.
enum ComStage { WAIT_RETURNS, LINES_READ, COMMAND_ARRIVES, COM_STAGES };

struct ComStages {
  std::vector<std::int64_t> Of[COM_STAGES];
};

struct ComRun {
  std::vector<std::int64_t> Tarnwick;
  std::vector<std::int64_t> Limit;
  ComStages TarnwickStages;  // natively only: Wine never waits in the driver
  ComStages LimitStages;
  ChangeCounts TarnwickCounts;
  ChangeCounts RelayCounts;
};

// Makes both ports in workDir and starts both bridges on them; false, with
// the reason on stderr, when that cannot be done.
bool SetUpComRoad(ComRoad* road, const ComRoadOptions& options, const char* workDir);
void MeasureComRoad(ComRoad* road, ComRun* run);
void TearDownComRoad(ComRoad* road);
