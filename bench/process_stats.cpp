#include "bench/process_stats.h"

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The value of "Key:\t123 ..." lines of a /proc status file.
bool ReadStatusField(const char* path, const char* key, long* value) {
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    return false;
  }
  char line[256];
  std::size_t keyLength = std::strlen(key);
  bool found = false;
  while (!found && std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, key, keyLength) == 0 && line[keyLength] == ':') {
      *value = std::strtol(line + keyLength + 1, nullptr, 10);
      found = true;
    }
  }
  std::fclose(file);
  return found;
}

// Calls back with the name of every entry of a directory but . and ..;
// returns the number of entries, or -1.
template <typename OnEntry>
int ForEachEntry(const char* path, OnEntry onEntry) {
  DIR* directory = opendir(path);
  if (directory == nullptr) {
    return -1;
  }
  int count = 0;
  // cppcheck-suppress readdirCalled  ; only the benchmark's main thread reads directories
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') {
      onEntry(entry->d_name);
      ++count;
    }
  }
  closedir(directory);
  return count;
}

std::int64_t ContextSwitchesOfTask(pid_t pid, const char* task) {
  char path[320];  // a task's name is at most a dirent's 255 characters
  std::snprintf(path, sizeof path, "/proc/%d/task/%s/status", static_cast<int>(pid), task);
  long voluntary = 0;
  long involuntary = 0;
  ReadStatusField(path, "voluntary_ctxt_switches", &voluntary);
  ReadStatusField(path, "nonvoluntary_ctxt_switches", &involuntary);
  return voluntary + involuntary;
}

// A task's nice value: field 19 of its stat line, the 17th after the name's
// closing parenthesis. 0 when it cannot be read.
int NiceOfTask(pid_t pid, const char* task) {
  char path[320];
  std::snprintf(path, sizeof path, "/proc/%d/task/%s/stat", static_cast<int>(pid), task);
  std::FILE* file = std::fopen(path, "r");
  if (file == nullptr) {
    return 0;
  }
  char line[1024];
  char* fields = std::fgets(line, sizeof line, file) != nullptr ? std::strrchr(line, ')') : nullptr;
  std::fclose(file);
  for (int field = 0; fields != nullptr && field < 17; ++field) {
    fields = std::strchr(fields + 1, ' ');
  }
  return fields != nullptr ? static_cast<int>(std::strtol(fields, nullptr, 10)) : 0;
}

std::int64_t CpuNsOf(pid_t pid) {
  clockid_t clock;
  timespec used{};
  if (clock_getcpuclockid(pid, &clock) != 0 || clock_gettime(clock, &used) != 0) {
    return -1;
  }
  return static_cast<std::int64_t>(used.tv_sec) * 1000000000 + used.tv_nsec;
}

}  // namespace

std::int64_t MonotonicNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool SampleProcess(pid_t pid, ProcessSample* sample) {
  char path[64];
  int id = static_cast<int>(pid);
  sample->TakenNs = MonotonicNs();
  sample->CpuNs = CpuNsOf(pid);
  std::snprintf(path, sizeof path, "/proc/%d/status", id);
  if (sample->CpuNs < 0 || !ReadStatusField(path, "VmRSS", &sample->RssKiB)) {
    return false;
  }
  sample->ContextSwitches = 0;
  sample->LowestNice = 0;
  std::snprintf(path, sizeof path, "/proc/%d/task", id);
  sample->Threads = ForEachEntry(path, [sample, pid](const char* task) {
    sample->ContextSwitches += ContextSwitchesOfTask(pid, task);
    sample->LowestNice = std::min(sample->LowestNice, NiceOfTask(pid, task));
  });
  std::snprintf(path, sizeof path, "/proc/%d/fd", id);
  sample->Fds = ForEachEntry(path, [](const char*) {});
  return sample->Threads > 0 && sample->Fds >= 0;
}
