#include "bench/latency.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "bench/children.h"

namespace {

constexpr int BINS = 60;
constexpr int PLOT_TIMEOUT_MS = 30000;

// Nearest-rank percentile of sorted values.
std::int64_t Percentile(const std::vector<std::int64_t>& sorted, double fraction) {
  auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
  return sorted[rank == 0 ? 0 : rank - 1];
}

double Us(std::int64_t ns) { return static_cast<double>(ns) / 1000.0; }

// The share of samples, in percent, in each bin of binUs microseconds; the
// last bin also holds everything beyond it.
std::vector<double> Histogram(const std::vector<std::int64_t>& latenciesNs, double binUs) {
  std::vector<double> shares(BINS, 0.0);
  for (std::int64_t ns : latenciesNs) {
    auto bin = static_cast<int>(Us(ns) / binUs);
    shares[static_cast<std::size_t>(std::min(bin, BINS - 1))] += 1.0;
  }
  for (double& share : shares) {
    share = 100.0 * share / static_cast<double>(std::max<std::size_t>(latenciesNs.size(), 1));
  }
  return shares;
}

// The picture spans four times the larger median: the body of both
// distributions, with the rare slow changes gathered in the last bin.
double BinWidthUs(const std::vector<std::int64_t>& first, const std::vector<std::int64_t>& second) {
  double span = std::max(Summarize(first).MedianUs, Summarize(second).MedianUs) * 4.0;
  return std::max(1.0, std::ceil(span / BINS));
}

bool WriteData(const std::string& path, const std::vector<std::int64_t>& first,
               const std::vector<std::int64_t>& second, double binUs) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  std::vector<double> a = Histogram(first, binUs);
  std::vector<double> b = Histogram(second, binUs);
  for (int i = 0; i < BINS; ++i) {
    std::size_t k = static_cast<std::size_t>(i);
    std::fprintf(file, "%.1f %.4f %.4f\n", (i + 0.5) * binUs, a[k], b[k]);
  }
  return std::fclose(file) == 0;
}

bool WriteScript(const std::string& path, const std::string& dataPath, const char* pngPath,
                 const std::vector<std::int64_t>& first, const char* firstLabel,
                 const std::vector<std::int64_t>& second, const char* secondLabel, double binUs) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    return false;
  }
  LatencySummary a = Summarize(first);
  LatencySummary b = Summarize(second);
  std::fprintf(file,
               "set terminal pngcairo size 800,450 font 'sans,10'\n"
               "set output '%s'\n"
               "set title \"PTT latency, one port: status byte written -> command at the server\\n"
               "%ld changes each, interleaved; the last bin holds all slower ones\"\n"
               "set xlabel 'latency (µs), bins of %.0f µs'\n"
               "set xrange [0:%.0f]\n"
               "set ylabel 'share of changes (%%)'\n"
               "set style fill transparent solid 0.45 noborder\n"
               "set boxwidth %.1f\n"
               "set grid ytics\n"
               "plot '%s' using 1:2 with boxes lc rgb '#1f5fbf' title '%s (median %.1f µs)', \\\n"
               "     '' using 1:3 with boxes lc rgb '#d07000' title '%s (median %.1f µs)'\n",
               pngPath, a.Count, binUs, binUs * BINS, binUs, dataPath.c_str(), firstLabel,
               a.MedianUs, secondLabel, b.MedianUs);
  return std::fclose(file) == 0;
}

}  // namespace

LatencySummary Summarize(const std::vector<std::int64_t>& latenciesNs) {
  if (latenciesNs.empty()) {
    return LatencySummary{0, 0.0, 0.0, 0.0};
  }
  std::vector<std::int64_t> sorted = latenciesNs;
  std::sort(sorted.begin(), sorted.end());
  return LatencySummary{static_cast<long>(sorted.size()), Us(Percentile(sorted, 0.5)),
                        Us(Percentile(sorted, 0.99)), Us(sorted.back())};
}

bool PlotLatencies(const char* workDir, const char* pngPath, const std::vector<std::int64_t>& first,
                   const char* firstLabel, const std::vector<std::int64_t>& second,
                   const char* secondLabel) {
  std::string data = std::string(workDir) + "/latency.dat";
  std::string script = std::string(workDir) + "/latency.gp";
  std::string log = std::string(workDir) + "/gnuplot.log";
  double binUs = BinWidthUs(first, second);
  if (first.empty() || second.empty() || !WriteData(data, first, second, binUs) ||
      !WriteScript(script, data, pngPath, first, firstLabel, second, secondLabel, binUs)) {
    std::printf("No latency picture: no data, or %s not writable.\n", workDir);
    return false;
  }
  const char* argv[] = {"gnuplot", script.c_str(), nullptr};
  int status = RunChild(argv, log.c_str(), PLOT_TIMEOUT_MS);
  std::remove(data.c_str());
  std::remove(script.c_str());
  std::remove(log.c_str());
  if (status != 0) {
    std::printf("No latency picture: gnuplot %s (Debian: apt-get install gnuplot-nox).\n",
                status == 127 ? "is not installed" : "failed");
    return false;
  }
  std::printf("Latency picture: %s\n", pngPath);
  return true;
}
