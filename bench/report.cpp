#include <cstdio>

#include "bench/latency.h"
#include "bench/results.h"

namespace {

constexpr double MEDIAN_TARGET = 1.2;       // times the limit's median
constexpr double P99_TARGET = 2.0;          // times the limit's 99th percentile
constexpr double BUSY_MEDIAN_TARGET = 1.1;  // the same on a busy machine
constexpr double BUSY_P99_TARGET = 1.5;
constexpr double EXCESS_WAKE_UPS_TARGET = 5.0;  // per second, beyond the timers
constexpr double IDLE_CPU_TARGET = 0.001;       // 0.1 % of one core
constexpr long RSS_TARGET_KIB = 4096;

double Ratio(double a, double b) { return b > 0.0 ? a / b : 0.0; }

void PrintLatencyRow(const char* label, const LatencySummary& s) {
  std::printf("  %-34s %8ld %9.1f us %9.1f us %9.1f us\n", label, s.Count, s.MedianUs, s.P99Us,
              s.MaxUs);
}

void PrintRatioRow(const char* label, const LatencySummary& a, const LatencySummary& b) {
  std::printf("  %-34s %8s %11.2fx %11.2fx %11.2fx\n", label, "", Ratio(a.MedianUs, b.MedianUs),
              Ratio(a.P99Us, b.P99Us), Ratio(a.MaxUs, b.MaxUs));
}

// The table's title, what ran, and its columns.
void PrintLatencyHeading(const char* conditions, const char* setting) {
  std::printf(
      "\nLatency%s: status byte written into the virtual port -> command read by the rigctl "
      "server\n"
      "%sOne port; Tarnwick's and the limit's changes interleaved, a 1 ms quiet gap after each.\n"
      "  %-34s %8s %12s %12s %12s\n",
      conditions, setting, "", "changes", "median", "p99", "max");
}

// Tarnwick's row, the limit's, and the ratios of the two.
void PrintAgainstLimit(const LatencyRun& run, const char* limitLabel) {
  LatencySummary tarnwick = Summarize(run.Tarnwick);
  LatencySummary limit = Summarize(run.Limit);
  PrintLatencyRow("Tarnwick", tarnwick);
  PrintLatencyRow(limitLabel, limit);
  PrintRatioRow("Tarnwick / limit", tarnwick, limit);
}

void PrintLatencyTables(const Results& r) {
  PrintLatencyHeading("", "");
  PrintAgainstLimit(r.OnePort, "limit: minimal relay process");
  LatencySummary poller = Summarize(r.OnePort.Poller);
  PrintLatencyRow("10 ms line poller (simulated)", poller);
  PrintRatioRow("10 ms line poller / Tarnwick", poller, Summarize(r.OnePort.Tarnwick));
  std::printf("Four ports on four servers at once (every change of every port).\n");
  PrintAgainstLimit(r.FourPorts, "limit: four relay processes");
}

void PrintBusyTables(const Results& r) {
  char setting[320];
  std::snprintf(setting, sizeof setting,
                "Every core busy: %d CPU-bound processes of normal priority (yes > /dev/null),\n"
                "each in a session of its own, as programs started elsewhere.\n"
                "Tarnwick as started by default; the lowest nice value of its threads: %d.\n",
                r.Hogs, r.AfterStartUp.LowestNice);
  PrintLatencyHeading(" on a busy machine", setting);
  PrintAgainstLimit(r.BusyOnePort, "limit: minimal relay process");
  std::printf(
      "Every core busy, and the other three ports of each changing as fast as acknowledged.\n");
  PrintAgainstLimit(r.BusyStreaming, "limit: minimal relay process");
}

// A toggle of CTS leaves a wrong state at the server when its command is
// lost, or when another command comes in its place.
long WrongStates(const ChangeCounts& c) { return c.Lost + c.OutOfOrder; }

void PrintStageRow(const char* label, const ComRun& run, ComStage stage) {
  std::printf("  %-48s %9.1f us %9.1f us\n", label,
              Summarize(run.TarnwickStages.Of[stage]).MedianUs,
              Summarize(run.LimitStages.Of[stage]).MedianUs);
}

// Tarnwick's waiter only notes a change and wakes the monitor, which reads
// the lines and sends: a second thread to wake, where the relay has one.
void PrintComStages(const ComRun& run) {
  if (run.TarnwickStages.Of[WAIT_RETURNS].empty() || run.LimitStages.Of[WAIT_RETURNS].empty()) {
    return;
  }
  std::printf("  where the time goes (medians)                     %12s %12s\n", "Tarnwick",
              "relay");
  PrintStageRow("toggle -> TIOCMIWAIT returns", run, WAIT_RETURNS);
  PrintStageRow("-> TIOCMGET (Tarnwick: in the monitor thread)", run, LINES_READ);
  PrintStageRow("-> command read by the server", run, COMMAND_ARRIVES);
}

void PrintComTable(const Results& r) {
  std::printf(
      "\nCOM port: CTS toggled on the simulated line -> command read by the rigctl server\n"
      "One port each; Tarnwick's and the relay's toggles interleaved, at least 2 ms apart%s.\n"
      "  %-34s %8s %12s %12s %12s\n",
      r.Wine ? ";\nboth the Windows builds, under Wine" : "", "", "changes", "median", "p99",
      "max");
  LatencySummary tarnwick = Summarize(r.Com.Tarnwick);
  LatencySummary limit = Summarize(r.Com.Limit);
  PrintLatencyRow("Tarnwick", tarnwick);
  PrintLatencyRow(r.Wine ? "limit: WaitCommEvent relay" : "limit: TIOCMIWAIT relay", limit);
  PrintRatioRow("Tarnwick / limit", tarnwick, limit);
  std::printf("  wrong state at the server after a toggle: Tarnwick %ld of %ld, relay %ld of %ld\n",
              WrongStates(r.Com.TarnwickCounts), r.Com.TarnwickCounts.Sent,
              WrongStates(r.Com.RelayCounts), r.Com.RelayCounts.Sent);
  PrintComStages(r.Com);
}

void PrintCountRow(const char* label, const ChangeCounts& c) {
  std::printf("  %-48s %8ld %9ld %6ld %13ld\n", label, c.Sent, c.Received, c.Lost, c.OutOfOrder);
}

ChangeCounts TotalOf(const std::vector<CountRow>& rows) {
  ChangeCounts total{};
  for (const CountRow& row : rows) {
    AddCounts(&total, row.Counts);
  }
  return total;
}

void PrintCountTable(const Results& r) {
  std::printf(
      "\nChanges through Tarnwick: none may be lost or out of order\n  %-48s %8s %9s %6s %13s\n",
      "", "sent", "received", "lost", "out of order");
  for (const CountRow& row : r.TarnwickCounts) {
    PrintCountRow(row.Label, row.Counts);
  }
  PrintCountRow("all", TotalOf(r.TarnwickCounts));
  const ChangeCounts& other = r.OtherBridges;
  std::printf("  (relays and poller in the latency runs: %ld sent, %ld lost, %ld out of order)\n",
              other.Sent, other.Lost, other.OutOfOrder);
}

void PrintHeavy(const Results& r) {
  const HeavyRun& h = r.Heavy;
  LatencySummary s = Summarize(h.Latencies);
  std::printf(
      "  Heavy stream, %.0f s of %.2f Mbit/s serial data with a status change every 100 ms:\n"
      "    Tarnwick's CPU %.2f %% of one core; status changes %ld sent, %ld received, %ld lost,\n"
      "    %ld out of order; their latency median %.1f us, max %.1f us\n",
      h.Seconds, h.Seconds > 0 ? static_cast<double>(h.SerialBytes) * 8.0 / h.Seconds / 1e6 : 0.0,
      h.CpuShare * 100.0, h.Counts.Sent, h.Counts.Received, h.Counts.Lost, h.Counts.OutOfOrder,
      s.MedianUs, s.MaxUs);
}

double Seconds(std::int64_t ns) { return static_cast<double>(ns) / 1e9; }

double Seconds(const IdleRecord& idle) { return Seconds(idle.End.TakenNs - idle.Start.TakenNs); }

double CpuSeconds(const IdleRecord& idle) { return Seconds(idle.End.CpuNs - idle.Start.CpuNs); }

double WakeUpsPerSecond(const IdleRecord& idle) {
  auto wakeUps = static_cast<double>(idle.End.ContextSwitches - idle.Start.ContextSwitches);
  return wakeUps / Seconds(idle);
}

bool Grew(const IdleRecord& idle) {
  return idle.End.RssKiB > idle.Start.RssKiB || idle.MaxRssKiB > idle.Start.RssKiB ||
         idle.MaxThreads > idle.Start.Threads || idle.MaxFds > idle.Start.Fds;
}

void PrintIdleRow(const char* label, double a, double b, const char* format) {
  std::printf("    %-34s", label);
  std::printf(format, a);
  std::printf(format, b);
  std::printf("\n");
}

void PrintIdle(const Results& r) {
  const IdleRecord& t = r.IdleTarnwick;
  const IdleRecord& p = r.IdlePoller;
  std::printf(
      "  Idle, %d s, four virtual ports and four connected servers, no PTT activity:\n"
      "    %-34s%16s%16s\n",
      r.IdleSeconds, "", "Tarnwick", "10 ms poller");
  PrintIdleRow("CPU seconds", CpuSeconds(t), CpuSeconds(p), "%16.4f");
  PrintIdleRow("CPU share of one core (%)", 100 * CpuSeconds(t) / Seconds(t),
               100 * CpuSeconds(p) / Seconds(p), "%16.4f");
  PrintIdleRow("wake-ups per second", WakeUpsPerSecond(t), WakeUpsPerSecond(p), "%16.2f");
  PrintIdleRow("  needed by its own timers", t.TimerWakeUpsPerSecond, p.TimerWakeUpsPerSecond,
               "%16.2f");
  PrintIdleRow("  beyond them", WakeUpsPerSecond(t) - t.TimerWakeUpsPerSecond,
               WakeUpsPerSecond(p) - p.TimerWakeUpsPerSecond, "%16.2f");
  std::printf(
      "    (each timer fires a whole number of times in the run: a little below 0 is rounding)\n");
  std::printf("    %-34s%7ld ->%6ld%9ld ->%6ld\n", "resident memory (KiB)", t.Start.RssKiB,
              t.End.RssKiB, p.Start.RssKiB, p.End.RssKiB);
  std::printf("    %-34s%7d ->%6d%9d ->%6d\n", "threads", t.Start.Threads, t.End.Threads,
              p.Start.Threads, p.End.Threads);
  std::printf("    %-34s%7d ->%6d%9d ->%6d\n", "file descriptors", t.Start.Fds, t.End.Fds,
              p.Start.Fds, p.End.Fds);
  std::printf("    (largest in between, Tarnwick: %ld KiB, %d threads, %d descriptors)\n",
              t.MaxRssKiB, t.MaxThreads, t.MaxFds);
}

void PrintCost(const Results& r) {
  std::printf(
      "\nCost\n  CPU per 1,000 changes (toggled as fast as acknowledged, one port): %.2f ms\n",
      r.CpuMsPerThousand);
  PrintHeavy(r);
  if (r.IdleSeconds > 0) {
    PrintIdle(r);
  }
  std::printf(
      "  Tarnwick over the whole run: resident memory %ld -> %ld KiB, threads %d -> %d, "
      "descriptors %d -> %d\n",
      r.AfterStartUp.RssKiB, r.AtEnd.RssKiB, r.AfterStartUp.Threads, r.AtEnd.Threads,
      r.AfterStartUp.Fds, r.AtEnd.Fds);
}

void PrintTarget(bool met, const char* text) {
  std::printf("  %-9s %s\n", met ? "[met]" : "[not met]", text);
}

// The median and 99th-percentile targets over two runs, named first and
// second.
struct TargetRuns {
  const char* Prefix;
  const LatencyRun& First;
  const char* FirstName;
  const LatencyRun& Second;
  const char* SecondName;
  double MedianTarget;
  double P99Target;
};

void PrintLatencyTargets(const TargetRuns& t) {
  char text[200];
  LatencySummary t1 = Summarize(t.First.Tarnwick);
  LatencySummary l1 = Summarize(t.First.Limit);
  LatencySummary t2 = Summarize(t.Second.Tarnwick);
  LatencySummary l2 = Summarize(t.Second.Limit);
  double m1 = Ratio(t1.MedianUs, l1.MedianUs);
  double m2 = Ratio(t2.MedianUs, l2.MedianUs);
  std::snprintf(text, sizeof text, "%smedian within %gx the limit's: %s %.2fx, %s %.2fx", t.Prefix,
                t.MedianTarget, t.FirstName, m1, t.SecondName, m2);
  PrintTarget(m1 <= t.MedianTarget && m2 <= t.MedianTarget, text);
  double p1 = Ratio(t1.P99Us, l1.P99Us);
  double p2 = Ratio(t2.P99Us, l2.P99Us);
  std::snprintf(text, sizeof text, "%s99th percentile within %gx the limit's: %s %.2fx, %s %.2fx",
                t.Prefix, t.P99Target, t.FirstName, p1, t.SecondName, p2);
  PrintTarget(p1 <= t.P99Target && p2 <= t.P99Target, text);
}

void PrintComLatencyTargets(const Results& r) {
  char text[200];
  LatencySummary t = Summarize(r.Com.Tarnwick);
  LatencySummary l = Summarize(r.Com.Limit);
  double median = Ratio(t.MedianUs, l.MedianUs);
  double p99 = Ratio(t.P99Us, l.P99Us);
  std::snprintf(text, sizeof text, "COM port: median within %.1fx the relay's: %.2fx%s",
                MEDIAN_TARGET, median, r.Wine ? " (under Wine: information)" : "");
  PrintTarget(median <= MEDIAN_TARGET, text);
  std::snprintf(text, sizeof text, "COM port: 99th percentile within %.0fx the relay's: %.2fx%s",
                P99_TARGET, p99, r.Wine ? " (under Wine: information)" : "");
  PrintTarget(p99 <= P99_TARGET, text);
}

bool PrintComStateTarget(const Results& r) {
  const ChangeCounts& c = r.Com.TarnwickCounts;
  bool right = WrongStates(c) == 0 && c.Received == c.Sent && c.Sent > 0;
  char text[200];
  std::snprintf(text, sizeof text,
                "COM port: the server holds the line's state after every toggle: %ld wrong of %ld",
                WrongStates(c), c.Sent);
  PrintTarget(right, text);
  return right;
}

bool PrintLossTarget(const Results& r) {
  ChangeCounts total = TotalOf(r.TarnwickCounts);
  bool clean = total.Lost == 0 && total.OutOfOrder == 0 && total.Received == total.Sent;
  char text[200];
  std::snprintf(text, sizeof text,
                "nothing lost or out of order: %ld lost, %ld out of order of %ld", total.Lost,
                total.OutOfOrder, total.Sent);
  PrintTarget(clean, text);
  return clean;
}

void PrintIdleTargets(const Results& r) {
  const IdleRecord& t = r.IdleTarnwick;
  char text[200];
  double excess = WakeUpsPerSecond(t) - t.TimerWakeUpsPerSecond;
  std::snprintf(text, sizeof text, "idle wake-ups beyond its own timers under %.0f/s: %.2f/s",
                EXCESS_WAKE_UPS_TARGET, excess);
  PrintTarget(excess < EXCESS_WAKE_UPS_TARGET, text);
  double share = CpuSeconds(t) / Seconds(t);
  std::snprintf(text, sizeof text, "idle CPU under %.1f %%: %.4f %%", IDLE_CPU_TARGET * 100,
                share * 100);
  PrintTarget(share < IDLE_CPU_TARGET, text);
  std::snprintf(text, sizeof text, "resident memory under %ld KiB: %ld KiB at most", RSS_TARGET_KIB,
                t.MaxRssKiB);
  PrintTarget(t.MaxRssKiB < RSS_TARGET_KIB, text);
  PrintTarget(!Grew(t), "no growth of memory, threads or descriptors over the idle run");
}

}  // namespace

bool PrintReport(const Results& results) {
  std::printf(
      "\nTarnwick PTT benchmark, %s run, %d cores; load average %s at the start, %s at the end.\n"
      "Other processes share the cores: the figures move from run to run.\n",
      results.ComOnly ? "COM road"
      : results.Busy  ? "busy"
      : results.Quick ? "quick"
                      : "full",
      results.Cores, results.LoadAtStart, results.LoadAtEnd);
  if (results.ComOnly) {
    PrintComTable(results);
    std::printf("\nTargets\n");
    PrintComLatencyTargets(results);
    return PrintComStateTarget(results);
  }
  if (results.Busy) {
    PrintBusyTables(results);
    PrintCountTable(results);
    std::printf("\nTargets\n");
    PrintLatencyTargets({"busy: ", results.BusyOnePort, "every core busy", results.BusyStreaming,
                         "other ports streaming", BUSY_MEDIAN_TARGET, BUSY_P99_TARGET});
    return PrintLossTarget(results);
  }
  PrintLatencyTables(results);
  PrintComTable(results);
  PrintCountTable(results);
  PrintCost(results);
  std::printf("\nTargets\n");
  PrintLatencyTargets({"", results.OnePort, "one port", results.FourPorts, "four ports",
                       MEDIAN_TARGET, P99_TARGET});
  PrintComLatencyTargets(results);
  bool clean = PrintLossTarget(results);
  clean = PrintComStateTarget(results) && clean;
  if (results.IdleSeconds > 0) {
    PrintIdleTargets(results);
  } else {
    std::printf("  (idle figures not measured in a quick run)\n");
  }
  return clean;
}
