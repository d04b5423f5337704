// ptt_bench: how fast, how reliably and how cheaply Tarnwick carries PTT,
// measured against the limit of any separate bridge process in the same run.
//
//   ptt_bench [--quick] [--png FILE] [--changes N] [--idle-seconds S]
//             [--tarnwick PATH] [--relay PATH] [--com-relay PATH] [--preload PATH]
//             [--com-only] [--wine] [--busy] [--tarnwick-option OPTION ...]
//
// The benchmark stands in for QVN and for the rigctl servers: it offers
// virtual ports (/tmp/QVN<name>) and runs servers on 127.0.0.1, starts the
// real tarnwick on four of them, ptt_relay on four others (the limit) and
// ptt_relay --poll-ms 10 on one more (a line-polling design), writes status
// changes into the ports and timestamps the commands at the servers. On the
// COM road (com_road.h) a second tarnwick and com_relay each watch a COM
// port with simulated lines (libmodemsim.so, --preload), whose CTS the
// benchmark flips. --com-only measures that road alone; --wine runs the
// Windows builds given as --tarnwick and --com-relay under Wine (WINEPREFIX
// from the environment). --busy measures one port on a busy machine instead:
// every core kept busy by a CPU-bound process of normal priority (`yes`, in
// a session of its own), then that and the other three ports of Tarnwick and
// of the relays changing as fast as acknowledged, from a thread of the
// benchmark's own. Each --tarnwick-option is passed to the tarnwick of the
// virtual ports, before its pairs (e.g. --verbose).
// --quick runs a few hundred changes and no idle phase. The exit status is
// 1 when Tarnwick lost or reordered a change, or left a wrong state at the
// server after a toggle of CTS, 3 when the run could not be set up or
// overran its time limit. Every child is killed at the end.
#include <pthread.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/children.h"
#include "bench/com_road.h"
#include "bench/latency.h"
#include "bench/results.h"
#include "link/link_worker.h"
#include "ptt/ptt_monitor.h"

namespace {

constexpr int ACCEPT_TIMEOUT_MS = 5000;
constexpr int READY_TIMEOUT_MS = 10000;
constexpr int COMMAND_TIMEOUT_MS = 1000;  // a command later than this is lost
constexpr long QUIET_GAP_NS = 1000000;    // after each measured change
constexpr int POLL_PERIOD_MS = 10;
constexpr int POLLER_EVERY = 10;  // the poller takes part in every 10th round
constexpr int WARM_UP_CHANGES = 100;
constexpr int BURST_MIN = 2;
constexpr int BURST_MAX = 16;
constexpr int MAX_DATA_BETWEEN = 5;      // data bytes around status bytes in bursts
constexpr int HEAVY_BYTES_PER_MS = 125;  // 1 Mbit/s
constexpr int HEAVY_STATUS_EVERY_MS = 100;
constexpr int IDLE_SAMPLE_SECONDS = 5;
// Tarnwick's own timers: the supervisor's tick (1 s), the monitor's wait
// (MONITOR_WAIT_MS) and each link's wait (LINK_WAIT_MS).
constexpr int SUPERVISOR_TICK_MS = 1000;

struct BenchOptions {
  bool Quick = false;
  long Changes = 10000;
  long IdleSeconds = 60;
  int HeavySeconds = 10;
  const char* Png = nullptr;
  std::string Tarnwick;
  std::string Relay;
  std::string ComRelay;
  std::string Preload;
  bool ComOnly = false;
  bool Wine = false;
  bool Busy = false;
  std::vector<std::string> TarnwickOptions;
};

struct Bench {
  BenchOptions Opt;
  char WorkDir[64];
  PttPath Tarnwick[BENCH_PORTS];
  PttPath Relays[BENCH_PORTS];
  PttPath Poller;
  bool VirtualOffered = false;
  ComRoad Com;
  pid_t TarnwickPid = -1;
  pid_t PollerPid = -1;
  std::uint64_t Random = 0x9E3779B97F4A7C15ULL;
};

// --- small helpers ---------------------------------------------------------

std::uint32_t NextRandom(std::uint64_t* random) {  // xorshift64: repeatable runs
  *random ^= *random << 13;
  *random ^= *random >> 7;
  *random ^= *random << 17;
  return static_cast<std::uint32_t>(*random >> 32);
}

std::uint32_t NextRandom(Bench* b) { return NextRandom(&b->Random); }

int RandomBetween(Bench* b, int low, int high) {
  return low + static_cast<int>(NextRandom(b) % static_cast<std::uint32_t>(high - low + 1));
}

void SleepNs(long ns) {
  timespec period{ns / 1000000000, ns % 1000000000};
  while (nanosleep(&period, &period) != 0 && errno == EINTR) {
  }
}

// The three load averages, as /proc/loadavg gives them.
void ReadLoad(char* text, int size) {
  std::snprintf(text, static_cast<std::size_t>(size), "unknown");
  std::FILE* file = std::fopen("/proc/loadavg", "r");
  if (file == nullptr) {
    return;
  }
  char one[16];
  char five[16];
  char fifteen[16];
  if (std::fscanf(file, "%15s %15s %15s", one, five, fifteen) == 3) {
    std::snprintf(text, static_cast<std::size_t>(size), "%s %s %s", one, five, fifteen);
  }
  std::fclose(file);
}

// A whole decimal number between low and high, and nothing else.
bool ParseNumber(const char* text, long low, long high, long* value) {
  char* end = nullptr;
  errno = 0;
  long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) {
    return false;
  }
  *value = parsed;
  return true;
}

// The directory of this executable: tarnwick and ptt_relay are found from it.
std::string OwnDirectory() {
  char path[4096];
  ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return ".";
  }
  path[length] = '\0';
  std::string text(path);
  return text.substr(0, text.rfind('/'));
}

// A few hundred changes and no idle phase; options after it still count.
void SetQuick(BenchOptions* opt) {
  opt->Quick = true;
  opt->Changes = 300;
  opt->IdleSeconds = 0;
  opt->HeavySeconds = 1;
}

// An option with a value; false when the option or its value is unknown.
bool TakeValue(const std::string& name, const char* value, BenchOptions* opt) {
  if (name == "--png") {
    opt->Png = value;
  } else if (name == "--tarnwick") {
    opt->Tarnwick = value;
  } else if (name == "--relay") {
    opt->Relay = value;
  } else if (name == "--com-relay") {
    opt->ComRelay = value;
  } else if (name == "--preload") {
    opt->Preload = value;
  } else if (name == "--tarnwick-option") {
    opt->TarnwickOptions.emplace_back(value);
  } else if (name == "--changes") {
    return ParseNumber(value, 10, 1000000, &opt->Changes);
  } else if (name == "--idle-seconds") {
    return ParseNumber(value, 0, 3600, &opt->IdleSeconds);
  } else {
    return false;
  }
  return true;
}

bool ParseOptions(int argc, char** argv, BenchOptions* opt) {
  std::string own = OwnDirectory();
  opt->Tarnwick = own + "/../tarnwick";
  opt->Relay = own + "/ptt_relay";
  opt->ComRelay = own + "/com_relay";
  opt->Preload = own + "/../tools/modemsim/libmodemsim.so";
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      SetQuick(opt);
    } else if (arg == "--com-only") {
      opt->ComOnly = true;
    } else if (arg == "--wine") {
      opt->Wine = true;
    } else if (arg == "--busy") {
      opt->Busy = true;
    } else if (i + 1 == argc || !TakeValue(arg, argv[++i], opt)) {
      return false;
    }
  }
  return true;
}

// Bounds the whole run: every phase's length follows from the options.
unsigned TimeLimitSeconds(const BenchOptions& opt) {
  long latencyRounds = 2 * opt.Changes;  // one port and four ports
  long roundSeconds = latencyRounds * (opt.Busy ? 8 : 4) / 1000 +
                      opt.Changes * POLL_PERIOD_MS / POLLER_EVERY / 1000;
  long comSeconds = opt.Changes * 2 * (opt.Wine ? 10 : 4) / 1000;
  return static_cast<unsigned>(180 + 3 * roundSeconds + comSeconds + opt.HeavySeconds +
                               opt.IdleSeconds);
}

// --- setting up --------------------------------------------------------------

bool OfferPaths(Bench* b) {
  b->VirtualOffered = true;
  char name[32];
  int pid = static_cast<int>(getpid());
  auto offer = [&name](PttPath* path) {
    std::string file = std::string("/tmp/QVN") + name;
    RemoveOnAbort(file.c_str());
    return OfferPath(path, name);
  };
  for (int k = 0; k < BENCH_PORTS; ++k) {
    std::snprintf(name, sizeof name, "ptb%dt%d", pid, k);
    if (!offer(&b->Tarnwick[k])) {
      return false;
    }
    std::snprintf(name, sizeof name, "ptb%dr%d", pid, k);
    if (!offer(&b->Relays[k])) {
      return false;
    }
  }
  std::snprintf(name, sizeof name, "ptb%dp", pid);
  return offer(&b->Poller);
}

std::string LogPath(const Bench* b, const char* file) {
  return std::string(b->WorkDir) + "/" + file;
}

// Tarnwick prints its banner two seconds after start-up; by then its links
// have connected and said so.
bool WaitForTarnwickReady(const Bench* b) {
  std::string log = LogPath(b, "tarnwick.log");
  for (int waited = 0; waited < READY_TIMEOUT_MS; waited += 20) {
    if (LogHolds(log.c_str(), "Tarnwick running", 1)) {
      return LogHolds(log.c_str(), "Connected to HAMLIB", BENCH_PORTS);
    }
    SleepNs(20 * 1000000L);
  }
  return false;
}

bool StartTarnwick(Bench* b) {
  std::string addresses[BENCH_PORTS];
  std::vector<const char*> argv = {b->Opt.Tarnwick.c_str()};
  for (const std::string& option : b->Opt.TarnwickOptions) {
    argv.push_back(option.c_str());
  }
  for (int k = 0; k < BENCH_PORTS; ++k) {
    addresses[k] = "127.0.0.1:" + std::to_string(b->Tarnwick[k].Rig.Port);
    argv.push_back(b->Tarnwick[k].Name);
    argv.push_back(addresses[k].c_str());
  }
  argv.push_back(nullptr);
  b->TarnwickPid = StartChild(argv.data(), LogPath(b, "tarnwick.log").c_str());
  if (b->TarnwickPid < 0) {
    return false;
  }
  for (PttPath& path : b->Tarnwick) {
    if (!AcceptBridge(&path, ACCEPT_TIMEOUT_MS)) {
      return false;
    }
  }
  return WaitForTarnwickReady(b);
}

pid_t StartRelay(Bench* b, PttPath* path, bool polling) {
  std::string port = std::to_string(path->Rig.Port);
  std::string period = std::to_string(POLL_PERIOD_MS);
  const char* argv[] = {b->Opt.Relay.c_str(), path->Name,
                        port.c_str(),         polling ? "--poll-ms" : nullptr,
                        period.c_str(),       nullptr};
  std::string log = LogPath(b, polling ? "poller.log" : "relay.log");
  pid_t pid = StartChild(argv, log.c_str());
  return pid > 0 && AcceptBridge(path, ACCEPT_TIMEOUT_MS) ? pid : -1;
}

const char* const LOGS[] = {"tarnwick.log", "relay.log", "poller.log"};

bool MakeWorkDir(Bench* b) {
  std::snprintf(b->WorkDir, sizeof b->WorkDir, "/tmp/ptt_bench.XXXXXX");
  if (mkdtemp(b->WorkDir) == nullptr) {
    return false;
  }
  RemoveOnAbort(b->WorkDir);
  for (const char* log : LOGS) {
    RemoveOnAbort(LogPath(b, log).c_str());
  }
  return true;
}

bool SetUpVirtualPorts(Bench* b) {
  if (!OfferPaths(b) || !StartTarnwick(b)) {
    return false;
  }
  for (PttPath& path : b->Relays) {
    if (StartRelay(b, &path, false) < 0) {
      return false;
    }
  }
  b->PollerPid = StartRelay(b, &b->Poller, true);
  return b->PollerPid > 0;
}

void ShowLog(const Bench* b, const char* file) {
  std::string path = LogPath(b, file);
  std::FILE* log = std::fopen(path.c_str(), "r");
  if (log == nullptr) {
    return;
  }
  std::fprintf(stderr, "--- %s\n", file);
  char line[512];
  while (std::fgets(line, sizeof line, log) != nullptr) {
    std::fputs(line, stderr);
  }
  std::fclose(log);
}

ComRoadOptions ComOptions(const BenchOptions& opt) {
  ComRoadOptions com;
  com.TarnwickPath = opt.Tarnwick;
  com.RelayPath = opt.ComRelay;
  com.PreloadPath = opt.Preload;
  com.Wine = opt.Wine;
  com.Changes = opt.Changes;
  return com;
}

bool SetUp(Bench* b) {
  return MakeWorkDir(b) && (b->Opt.ComOnly || SetUpVirtualPorts(b)) &&
         (b->Opt.Busy || SetUpComRoad(&b->Com, ComOptions(b->Opt), b->WorkDir));
}

void TearDown(Bench* b) {
  StopAllChildren();
  TearDownComRoad(&b->Com);
  for (int k = 0; k < BENCH_PORTS && b->VirtualOffered; ++k) {
    ClosePath(&b->Tarnwick[k]);
    ClosePath(&b->Relays[k]);
  }
  if (b->VirtualOffered) {
    ClosePath(&b->Poller);
  }
  for (const char* log : LOGS) {
    std::remove(LogPath(b, log).c_str());
  }
  rmdir(b->WorkDir);
}

// --- the phases --------------------------------------------------------------

// One change on each path, all written before any command is awaited.
void ChangeAll(std::uint64_t* random, PttPath* const* paths, int count) {
  PortWrite write{};
  for (int i = 0; i < count; ++i) {
    AddStatusChange(&write, paths[i], static_cast<std::uint8_t>(NextRandom(random)));
    WriteToPort(paths[i], &write);
  }
  AwaitDueCommands(paths, count, COMMAND_TIMEOUT_MS);
}

void MeasuredChange(Bench* b, PttPath* const* paths, int count) {
  ChangeAll(&b->Random, paths, count);
  SleepNs(QUIET_GAP_NS);
}

void WarmUp(Bench* b) {
  PttPath* all[] = {&b->Tarnwick[0], &b->Tarnwick[1], &b->Tarnwick[2], &b->Tarnwick[3],
                    &b->Relays[0],   &b->Relays[1],   &b->Relays[2],   &b->Relays[3]};
  for (int i = 0; i < WARM_UP_CHANGES; ++i) {
    MeasuredChange(b, all, 8);
  }
  PttPath* poller = &b->Poller;
  for (int i = 0; i < WARM_UP_CHANGES / POLLER_EVERY; ++i) {
    MeasuredChange(b, &poller, 1);
  }
}

// Tarnwick and the limit take turns, each first in every other round; the
// poller, when it takes part, in every POLLER_EVERY-th.
void MeasureOnePort(Bench* b, LatencyRun* run, bool withPoller = true) {
  PttPath* tarnwick = &b->Tarnwick[0];
  PttPath* limit = &b->Relays[0];
  PttPath* poller = &b->Poller;
  tarnwick->Latencies = &run->Tarnwick;
  limit->Latencies = &run->Limit;
  poller->Latencies = &run->Poller;
  for (long round = 0; round < b->Opt.Changes; ++round) {
    bool tarnwickFirst = round % 2 == 0;
    MeasuredChange(b, tarnwickFirst ? &tarnwick : &limit, 1);
    MeasuredChange(b, tarnwickFirst ? &limit : &tarnwick, 1);
    if (withPoller && round % POLLER_EVERY == 0) {
      MeasuredChange(b, &poller, 1);
    }
  }
  tarnwick->Latencies = limit->Latencies = poller->Latencies = nullptr;
}

void SetLatencies(PttPath* paths, std::vector<std::int64_t>* latencies) {
  for (int k = 0; k < BENCH_PORTS; ++k) {
    paths[k].Latencies = latencies;
  }
}

void MeasureFourPorts(Bench* b, LatencyRun* run) {
  PttPath* tarnwick[] = {&b->Tarnwick[0], &b->Tarnwick[1], &b->Tarnwick[2], &b->Tarnwick[3]};
  PttPath* limit[] = {&b->Relays[0], &b->Relays[1], &b->Relays[2], &b->Relays[3]};
  SetLatencies(b->Tarnwick, &run->Tarnwick);
  SetLatencies(b->Relays, &run->Limit);
  for (long round = 0; round < b->Opt.Changes; ++round) {
    bool tarnwickFirst = round % 2 == 0;
    MeasuredChange(b, tarnwickFirst ? tarnwick : limit, BENCH_PORTS);
    MeasuredChange(b, tarnwickFirst ? limit : tarnwick, BENCH_PORTS);
  }
  SetLatencies(b->Tarnwick, nullptr);
  SetLatencies(b->Relays, nullptr);
}

// --- a busy machine ----------------------------------------------------------

constexpr int MAX_HOGS = 64;

// One CPU-bound process of normal priority per core, as `yes > /dev/null`
// started by the user elsewhere: each in a session of its own, so that the
// scheduler weighs it as another program (an autogroup of its own), not as
// one of the benchmark's. setsid(1) execs in place: the pid stays the child's.
int StartHogs(pid_t* hogs) {
  int cores = std::min(static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN)), MAX_HOGS);
  const char* argv[] = {"setsid", "yes", nullptr};
  int started = 0;
  for (int i = 0; i < cores; ++i) {
    pid_t pid = StartChild(argv, nullptr);
    if (pid > 0) {
      hogs[started++] = pid;
    }
  }
  return started;
}

// The other three ports of Tarnwick and of the relays, all six changed at
// once and again as soon as every command is in, until told to stop.
struct OtherPorts {
  PttPath* Paths[2 * (BENCH_PORTS - 1)];
  std::uint64_t Random;
  std::atomic<bool> Stop;
};

void* StreamOtherPorts(void* record) {
  auto* other = static_cast<OtherPorts*>(record);
  while (!other->Stop.load()) {
    ChangeAll(&other->Random, other->Paths, 2 * (BENCH_PORTS - 1));
  }
  return nullptr;
}

// Port 0 measured as in the one-port run (without the poller) while every
// core is busy and, when streaming, the other ports stream changes.
void MeasureBusy(Bench* b, LatencyRun* run, bool streaming, int* hogCount) {
  pid_t hogs[MAX_HOGS];
  *hogCount = StartHogs(hogs);
  static OtherPorts other;
  other.Random = b->Random ^ 0x5DEECE66DULL;
  other.Stop.store(false);
  int next = 0;
  for (int k = 1; k < BENCH_PORTS; ++k) {
    other.Paths[next++] = &b->Tarnwick[k];
    other.Paths[next++] = &b->Relays[k];
  }
  pthread_t streamer{};
  streaming = streaming && pthread_create(&streamer, nullptr, StreamOtherPorts, &other) == 0;
  MeasureOnePort(b, run, false);
  if (streaming) {
    other.Stop.store(true);
    pthread_join(streamer, nullptr);
  }
  for (int i = 0; i < *hogCount; ++i) {
    StopChild(hogs[i]);
  }
}

// The next change follows as soon as the previous one's command is in.
void ToggleAsFastAsAcknowledged(Bench* b, PttPath* const* paths, int count) {
  for (long i = 0; i < b->Opt.Changes; ++i) {
    ChangeAll(&b->Random, paths, count);
  }
}

// A write of several status bytes with data bytes around them: 0xFF data
// bytes among them, and writes longer than one read of Tarnwick's, so that
// escapes are split between reads too.
void AddBurst(Bench* b, PortWrite* write, PttPath* path, int statuses) {
  for (int i = 0; i < statuses; ++i) {
    int data = RandomBetween(b, 0, MAX_DATA_BETWEEN);
    for (int j = 0; j < data; ++j) {
      AddData(write, RandomBetween(b, 0, 3) == 0 ? 0xFF : static_cast<std::uint8_t>(NextRandom(b)));
    }
    AddStatusChange(write, path, static_cast<std::uint8_t>(NextRandom(b)));
  }
}

void SendBursts(Bench* b, PttPath* const* paths, int count) {
  for (long sent = 0; sent < b->Opt.Changes;) {
    int statuses = static_cast<int>(
        std::min<long>(RandomBetween(b, BURST_MIN, BURST_MAX), b->Opt.Changes - sent));
    PortWrite write{};
    for (int i = 0; i < count; ++i) {
      AddBurst(b, &write, paths[i], statuses);
      WriteToPort(paths[i], &write);
    }
    AwaitDueCommands(paths, count, COMMAND_TIMEOUT_MS);
    sent += statuses;
  }
}

double CpuMs(const ProcessSample& before, const ProcessSample& after) {
  return static_cast<double>(after.CpuNs - before.CpuNs) / 1e6;
}

// One millisecond of serial data; one in HEAVY_STATUS_EVERY_MS carries a
// status change in its middle.
void AddHeavyMillisecond(Bench* b, PortWrite* write, PttPath* path, long ms) {
  for (int i = 0; i < HEAVY_BYTES_PER_MS; ++i) {
    if (ms % HEAVY_STATUS_EVERY_MS == 0 && i == HEAVY_BYTES_PER_MS / 2) {
      AddStatusChange(write, path, 0);
    }
    AddData(write, static_cast<std::uint8_t>(NextRandom(b)));
  }
}

void RunHeavyStream(Bench* b, HeavyRun* heavy) {
  PttPath* path = &b->Tarnwick[0];
  path->Latencies = &heavy->Latencies;
  ProcessSample before{};
  SampleProcess(b->TarnwickPid, &before);
  long milliseconds = static_cast<long>(b->Opt.HeavySeconds) * 1000;
  for (long ms = 0; ms < milliseconds; ++ms) {
    PortWrite write{};
    AddHeavyMillisecond(b, &write, path, ms);
    WriteToPort(path, &write);
    heavy->SerialBytes += HEAVY_BYTES_PER_MS;
    TakeArrivalsUntil(&path, 1, before.TakenNs + (ms + 1) * 1000000);
  }
  AwaitDueCommands(&path, 1, COMMAND_TIMEOUT_MS);
  ProcessSample after{};
  SampleProcess(b->TarnwickPid, &after);
  heavy->Seconds = static_cast<double>(after.TakenNs - before.TakenNs) / 1e9;
  heavy->CpuShare = CpuMs(before, after) / 1e3 / heavy->Seconds;
  path->Latencies = nullptr;
}

void StartIdleRecord(pid_t pid, double timerWakeUps, IdleRecord* idle) {
  SampleProcess(pid, &idle->Start);
  idle->MaxRssKiB = idle->Start.RssKiB;
  idle->MaxThreads = idle->Start.Threads;
  idle->MaxFds = idle->Start.Fds;
  idle->TimerWakeUpsPerSecond = timerWakeUps;
}

void UpdateIdleRecord(pid_t pid, IdleRecord* idle) {
  SampleProcess(pid, &idle->End);
  idle->MaxRssKiB = std::max(idle->MaxRssKiB, idle->End.RssKiB);
  idle->MaxThreads = std::max(idle->MaxThreads, idle->End.Threads);
  idle->MaxFds = std::max(idle->MaxFds, idle->End.Fds);
}

// What Tarnwick's own timers need per second with every link connected.
double TarnwickTimerWakeUps() {
  return 1000.0 / SUPERVISOR_TICK_MS + 1000.0 / MONITOR_WAIT_MS +
         BENCH_PORTS * 1000.0 / LINK_WAIT_MS;
}

void RunIdle(Bench* b, Results* r) {
  pid_t poller = b->PollerPid;
  r->IdleSeconds = static_cast<int>(b->Opt.IdleSeconds);
  StartIdleRecord(b->TarnwickPid, TarnwickTimerWakeUps(), &r->IdleTarnwick);
  StartIdleRecord(poller, 1000.0 / POLL_PERIOD_MS, &r->IdlePoller);
  for (int elapsed = 0; elapsed < r->IdleSeconds;) {
    int step = std::min(IDLE_SAMPLE_SECONDS, r->IdleSeconds - elapsed);
    SleepNs(step * 1000000000L);
    elapsed += step;
    UpdateIdleRecord(b->TarnwickPid, &r->IdleTarnwick);
    UpdateIdleRecord(poller, &r->IdlePoller);
  }
}

ChangeCounts TakeAllCounts(PttPath* paths, int count) {
  ChangeCounts total{};
  for (int i = 0; i < count; ++i) {
    AddCounts(&total, TakeCounts(&paths[i]));
  }
  return total;
}

// Ends a phase: stray commands would show up now; the phase's counts go
// into its row.
void EndPhase(Bench* b, Results* r, const char* label) {
  PttPath* all[] = {&b->Tarnwick[0], &b->Tarnwick[1], &b->Tarnwick[2], &b->Tarnwick[3]};
  TakeArrivalsUntil(all, BENCH_PORTS, MonotonicNs() + 20 * 1000000L);
  r->TarnwickCounts.push_back(CountRow{label, TakeAllCounts(b->Tarnwick, BENCH_PORTS)});
}

void Say(const char* text) {
  std::printf("%s\n", text);
  std::fflush(stdout);
}

void RunLatencyPhases(Bench* b, Results* r) {
  Say("warming up");
  WarmUp(b);
  EndPhase(b, r, "warm-up");
  Say("latency, one port");
  MeasureOnePort(b, &r->OnePort);
  EndPhase(b, r, "latency runs, one port");
  Say("latency, four ports");
  MeasureFourPorts(b, &r->FourPorts);
  EndPhase(b, r, "latency runs, four ports");
  AddCounts(&r->OtherBridges, TakeAllCounts(b->Relays, BENCH_PORTS));
  AddCounts(&r->OtherBridges, TakeCounts(&b->Poller));
}

void RunBusyPhases(Bench* b, Results* r) {
  Say("warming up");
  WarmUp(b);
  EndPhase(b, r, "warm-up");
  SampleProcess(b->TarnwickPid, &r->AfterStartUp);
  Say("latency, one port, every core busy");
  MeasureBusy(b, &r->BusyOnePort, false, &r->Hogs);
  EndPhase(b, r, "latency runs, every core busy");
  Say("latency, one port, every core busy and the other ports streaming");
  MeasureBusy(b, &r->BusyStreaming, true, &r->Hogs);
  EndPhase(b, r, "latency runs, busy, other ports streaming");
  AddCounts(&r->OtherBridges, TakeAllCounts(b->Relays, BENCH_PORTS));
}

void RunLoadPhases(Bench* b, Results* r) {
  PttPath* one[] = {&b->Tarnwick[0]};
  PttPath* four[] = {&b->Tarnwick[0], &b->Tarnwick[1], &b->Tarnwick[2], &b->Tarnwick[3]};
  Say("toggling as fast as acknowledged");
  ProcessSample before{};
  ProcessSample after{};
  SampleProcess(b->TarnwickPid, &before);
  ToggleAsFastAsAcknowledged(b, one, 1);
  SampleProcess(b->TarnwickPid, &after);
  r->CpuMsPerThousand = CpuMs(before, after) * 1000.0 / static_cast<double>(b->Opt.Changes);
  EndPhase(b, r, "toggled as fast as acknowledged, one port");
  ToggleAsFastAsAcknowledged(b, four, BENCH_PORTS);
  EndPhase(b, r, "toggled as fast as acknowledged, four ports");
  Say("bursts");
  SendBursts(b, one, 1);
  EndPhase(b, r, "bursts of 2-16 status bytes a write, one port");
  SendBursts(b, four, BENCH_PORTS);
  EndPhase(b, r, "bursts of 2-16 status bytes a write, four ports");
  Say("heavy data stream");
  RunHeavyStream(b, &r->Heavy);
  EndPhase(b, r, "heavy data stream");
  r->Heavy.Counts = r->TarnwickCounts.back().Counts;
}

void RunComRoad(Bench* b, Results* r) {
  Say("COM port: CTS toggles");
  MeasureComRoad(&b->Com, &r->Com);
}

void RunAll(Bench* b, Results* r) {
  if (b->Opt.ComOnly) {
    RunComRoad(b, r);
    ReadLoad(r->LoadAtEnd, sizeof r->LoadAtEnd);
    return;
  }
  if (b->Opt.Busy) {
    RunBusyPhases(b, r);
    SampleProcess(b->TarnwickPid, &r->AtEnd);
    ReadLoad(r->LoadAtEnd, sizeof r->LoadAtEnd);
    return;
  }
  SampleProcess(b->TarnwickPid, &r->AfterStartUp);
  RunLatencyPhases(b, r);
  RunLoadPhases(b, r);
  RunComRoad(b, r);
  if (b->Opt.IdleSeconds > 0) {
    std::printf("idle for %ld s\n", b->Opt.IdleSeconds);
    std::fflush(stdout);
    RunIdle(b, r);
  }
  SampleProcess(b->TarnwickPid, &r->AtEnd);
  ReadLoad(r->LoadAtEnd, sizeof r->LoadAtEnd);
}

}  // namespace

int main(int argc, char** argv) {
  static Bench bench;
  if (!ParseOptions(argc, argv, &bench.Opt)) {
    std::fprintf(stderr,
                 "usage: ptt_bench [--quick] [--png FILE] [--changes N] [--idle-seconds S]\n"
                 "                 [--tarnwick PATH] [--relay PATH] [--com-relay PATH]\n"
                 "                 [--preload PATH] [--com-only] [--wine] [--busy]\n"
                 "                 [--tarnwick-option OPTION ...]\n");
    return 2;
  }
  InstallAbortHandlers(TimeLimitSeconds(bench.Opt));
  static Results results;
  results.Quick = bench.Opt.Quick;
  results.ComOnly = bench.Opt.ComOnly;
  results.Wine = bench.Opt.Wine;
  results.Busy = bench.Opt.Busy;
  results.Cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  ReadLoad(results.LoadAtStart, sizeof results.LoadAtStart);
  Say(bench.Opt.ComOnly ? "setting up: tarnwick and com_relay on simulated COM ports"
                        : "setting up: tarnwick on four virtual ports, four relays, one poller;\n"
                          "tarnwick and com_relay on simulated COM ports");
  if (!SetUp(&bench)) {
    std::fprintf(stderr, "ptt_bench: could not set up the run\n");
    ShowLog(&bench, "tarnwick.log");
    ShowLog(&bench, "relay.log");
    ShowLog(&bench, "tarnwick-com.log");
    ShowLog(&bench, "relay-com.log");
    TearDown(&bench);
    return 3;
  }
  RunAll(&bench, &results);
  bool clean = PrintReport(results);
  if (bench.Opt.Png != nullptr) {
    PlotLatencies(bench.WorkDir, bench.Opt.Png, results.OnePort.Tarnwick, "Tarnwick",
                  results.OnePort.Limit, "limit: minimal relay");
  }
  TearDown(&bench);
  return clean ? 0 : 1;
}
