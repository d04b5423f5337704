#include "bench/com_road.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/children.h"
#include "bench/process_stats.h"

namespace {

constexpr const char* WINE_LOADER = "/usr/lib/wine/wine64";
constexpr int FIRST_WINE_COM = 180;  // well above the names a prefix uses
constexpr int COMMAND_TIMEOUT_MS = 1000;
constexpr long GAP_NS = 2000000;  // between toggles: at least 2 ms
constexpr int WARM_UP_ROUNDS = 20;

void SleepMs(long milliseconds) {
  timespec period{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&period, &period) != 0 && errno == EINTR) {
  }
}

void SleepNs(long ns) {
  timespec period{0, ns};
  while (nanosleep(&period, &period) != 0 && errno == EINTR) {
  }
}

std::string WorkFile(const ComRoad* road, const char* file) {
  return std::string(road->WorkDir) + "/" + file;
}

// Under Wine a port is COMn of the prefix, linked to the pseudo-terminal.
bool LinkWineComName(ComRoad* road, int k, char* name, int size) {
  const char* prefix = std::getenv("WINEPREFIX");
  if (prefix == nullptr) {
    std::fprintf(stderr, "ptt_bench: --wine needs WINEPREFIX\n");
    return false;
  }
  int number = FIRST_WINE_COM + k;
  std::snprintf(road->WineLinks[k], sizeof road->WineLinks[k], "%s/dosdevices/com%d", prefix,
                number);
  unlink(road->WineLinks[k]);
  PttPath* path = k == 0 ? &road->Tarnwick : &road->Relay;
  if (symlink(path->Name, road->WineLinks[k]) != 0) {
    std::fprintf(stderr, "ptt_bench: cannot link %s\n", road->WineLinks[k]);
    return false;
  }
  RemoveOnAbort(road->WineLinks[k]);
  std::snprintf(name, static_cast<std::size_t>(size), "COM%d", number);
  return true;
}

bool OfferPorts(ComRoad* road) {
  std::snprintf(road->LinesDir, sizeof road->LinesDir, "%s/lines", road->WorkDir);
  RemoveOnAbort(road->LinesDir);
  if (!OfferComPath(&road->Tarnwick, road->LinesDir) ||
      !OfferComPath(&road->Relay, road->LinesDir)) {
    std::fprintf(stderr, "ptt_bench: cannot make the simulated COM ports\n");
    return false;
  }
  road->Offered = true;
  RemoveOnAbort(road->Tarnwick.Lines.StatePath);
  RemoveOnAbort(road->Relay.Lines.StatePath);
  std::snprintf(road->Environment[0], sizeof road->Environment[0], "LD_PRELOAD=%s",
                road->Opt.PreloadPath.c_str());
  std::snprintf(road->Environment[1], sizeof road->Environment[1], "MODEMSIM_DIR=%s",
                road->LinesDir);
  return true;
}

// Starts a bridge on path k (0: Tarnwick, 1: the relay) with the simulated
// lines, and waits until it has connected to its server.
pid_t StartBridge(ComRoad* road, int k, const char* program, const char* serverArgument,
                  const char* log) {
  PttPath* path = k == 0 ? &road->Tarnwick : &road->Relay;
  char name[64];
  std::snprintf(name, sizeof name, "%s", path->Name);
  if (road->Opt.Wine && !LinkWineComName(road, k, name, sizeof name)) {
    return -1;
  }
  const char* native[] = {program, name, serverArgument, nullptr};
  const char* wine[] = {WINE_LOADER, program, name, serverArgument, nullptr};
  const char* environment[] = {road->Environment[0], road->Environment[1], nullptr};
  std::string logPath = WorkFile(road, log);
  RemoveOnAbort(logPath.c_str());
  pid_t pid = StartChildWith(road->Opt.Wine ? wine : native, logPath.c_str(), environment);
  int acceptMs = road->Opt.Wine ? 30000 : 5000;
  return pid > 0 && AcceptBridge(path, acceptMs) ? pid : -1;
}

// The banner comes two seconds after the start: by then the port's first
// wait has long begun.
bool WaitForBanner(const ComRoad* road) {
  std::string log = WorkFile(road, "tarnwick-com.log");
  for (int waited = 0; waited < 30000; waited += 20) {
    if (LogHolds(log.c_str(), "Tarnwick running", 1)) {
      return true;
    }
    SleepMs(20);
  }
  std::fprintf(stderr, "ptt_bench: tarnwick on the COM port did not start\n");
  return false;
}

// Splits a measured toggle into its stages, when the marks belong to it.
void NoteStages(const PttPath* path, std::int64_t toggledNs, ComStages* stages) {
  const ModemsimState* lines = path->Lines.State;
  std::int64_t waitNs = __atomic_load_n(&lines->WaitReturnedNs, __ATOMIC_ACQUIRE);
  std::int64_t readNs = __atomic_load_n(&lines->LinesReadNs, __ATOMIC_ACQUIRE);
  std::int64_t arrivedNs = toggledNs + path->Latencies->back();
  if (toggledNs <= waitNs && waitNs <= readNs && readNs <= arrivedNs) {
    stages->Of[WAIT_RETURNS].push_back(waitNs - toggledNs);
    stages->Of[LINES_READ].push_back(readNs - waitNs);
    stages->Of[COMMAND_ARRIVES].push_back(arrivedNs - readNs);
  }
}

void Toggle(PttPath* path, ComStages* stages = nullptr) {
  std::size_t measured = path->Latencies != nullptr ? path->Latencies->size() : 0;
  std::int64_t toggledNs = ToggleCts(path);
  AwaitDueCommands(&path, 1, COMMAND_TIMEOUT_MS);
  if (stages != nullptr && path->Latencies->size() > measured) {
    NoteStages(path, toggledNs, stages);
  }
  SleepNs(GAP_NS);
}

}  // namespace

bool SetUpComRoad(ComRoad* road, const ComRoadOptions& options, const char* workDir) {
  road->Opt = options;
  road->Offered = false;
  road->TarnwickPid = -1;
  road->WineLinks[0][0] = road->WineLinks[1][0] = '\0';
  std::snprintf(road->WorkDir, sizeof road->WorkDir, "%s", workDir);
  if (!OfferPorts(road)) {
    return false;
  }
  std::string tarnwickServer = "127.0.0.1:" + std::to_string(road->Tarnwick.Rig.Port);
  road->TarnwickPid = StartBridge(road, 0, options.TarnwickPath.c_str(), tarnwickServer.c_str(),
                                  "tarnwick-com.log");
  if (road->TarnwickPid < 0 || !WaitForBanner(road)) {
    return false;
  }
  std::string relayServer = std::to_string(road->Relay.Rig.Port);
  if (StartBridge(road, 1, options.RelayPath.c_str(), relayServer.c_str(), "relay-com.log") < 0) {
    std::fprintf(stderr, "ptt_bench: com_relay did not connect\n");
    return false;
  }
  // The relay says nothing once it waits: give it the time to begin.
  SleepMs(options.Wine ? 2000 : 300);
  return true;
}

// Tarnwick and the relay take turns, each first in every other round. The
// relay's warm-up is not counted: a toggle before its first wait is not
// its to see.
void MeasureComRoad(ComRoad* road, ComRun* run) {
  PttPath* tarnwick = &road->Tarnwick;
  PttPath* relay = &road->Relay;
  for (int round = 0; round < WARM_UP_ROUNDS; ++round) {
    Toggle(tarnwick);
    Toggle(relay);
  }
  TakeCounts(relay);
  tarnwick->Latencies = &run->Tarnwick;
  relay->Latencies = &run->Limit;
  for (long round = 0; round < road->Opt.Changes; ++round) {
    if (round % 2 == 0) {
      Toggle(tarnwick, &run->TarnwickStages);
      Toggle(relay, &run->LimitStages);
    } else {
      Toggle(relay, &run->LimitStages);
      Toggle(tarnwick, &run->TarnwickStages);
    }
  }
  tarnwick->Latencies = relay->Latencies = nullptr;
  PttPath* both[] = {tarnwick, relay};
  TakeArrivalsUntil(both, 2, MonotonicNs() + 20 * 1000000L);  // strays show now
  run->TarnwickCounts = TakeCounts(tarnwick);
  run->RelayCounts = TakeCounts(relay);
}

void TearDownComRoad(ComRoad* road) {
  StopAllChildren();
  if (road->Offered) {
    ClosePath(&road->Tarnwick);
    ClosePath(&road->Relay);
  }
  for (const char* link : road->WineLinks) {
    if (link[0] != '\0') {
      unlink(link);
    }
  }
  std::remove(WorkFile(road, "tarnwick-com.log").c_str());
  std::remove(WorkFile(road, "relay-com.log").c_str());
  rmdir(road->LinesDir);
}
