// Latency figures: the summary that goes into the table, and the histogram
// picture.
#pragma once

#include <cstdint>
#include <vector>

struct LatencySummary {
  long Count;
  double MedianUs;
  double P99Us;
  double MaxUs;
};

LatencySummary Summarize(const std::vector<std::int64_t>& latenciesNs);

// Draws the histograms of two latency sets side by side into a PNG with
// gnuplot, working in workDir. Returns false, after saying why, when that
// cannot be done (gnuplot missing, for one).
bool PlotLatencies(const char* workDir, const char* pngPath, const std::vector<std::int64_t>& first,
                   const char* firstLabel, const std::vector<std::int64_t>& second,
                   const char* secondLabel);
