// What a process costs, read from the kernel: CPU time, wake-ups, memory,
// threads and descriptors.
#pragma once

#include <sys/types.h>

#include <cstdint>

struct ProcessSample {
  std::int64_t TakenNs;  // CLOCK_MONOTONIC
  std::int64_t CpuNs;    // all its threads, since it started
  // Voluntary and nonvoluntary context switches summed over its threads
  // (/proc/PID/task/*/status): each time a thread wakes up and sleeps
  // again counts one.
  std::int64_t ContextSwitches;
  long RssKiB;
  int Threads;
  int Fds;
  int LowestNice;  // of its threads: below 0 where one was raised
};

// False when the process is gone.
bool SampleProcess(pid_t pid, ProcessSample* sample);

std::int64_t MonotonicNs();
