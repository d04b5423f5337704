#include "bench/children.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

constexpr int MAX_CHILDREN = 80;  // a busy run adds one per core, up to 64
constexpr int MAX_ABORT_PATHS = 16;
constexpr int PATH_SIZE = 108;

// Read by the signal handler: plain arrays, written before the signal can
// need them.
volatile pid_t Children[MAX_CHILDREN];
char AbortPaths[MAX_ABORT_PATHS][PATH_SIZE];
volatile int AbortPathCount = 0;

void Remember(pid_t pid) {
  for (auto& slot : Children) {
    if (slot == 0) {
      slot = pid;
      return;
    }
  }
}

void Forget(pid_t pid) {
  for (auto& slot : Children) {
    if (slot == pid) {
      slot = 0;
    }
  }
}

// Async-signal-safe, as everything that runs in the handler or between
// fork and exec must be.
void SayOnStderr(const char* text) {
  if (write(STDERR_FILENO, text, std::strlen(text)) < 0) {
    return;  // nowhere left to say it
  }
}

// Async-signal-safe: kill, unlink, write and _exit only.
void Abort(int signal) {
  for (pid_t slot : Children) {
    if (slot > 0) {
      kill(slot, SIGKILL);
    }
  }
  for (int i = AbortPathCount - 1; i >= 0; --i) {  // files before their directory
    if (unlink(AbortPaths[i]) != 0) {
      rmdir(AbortPaths[i]);
    }
  }
  SayOnStderr("\nptt_bench: stopped (time limit or signal); children killed\n");
  _exit(signal == SIGALRM ? 3 : 130);
}

// In the child, between fork and exec. Children that share a log append.
void RedirectStandardFiles(const char* logPath) {
  int input = open("/dev/null", O_RDONLY);
  int output =
      open(logPath != nullptr ? logPath : "/dev/null", O_WRONLY | O_CREAT | O_APPEND, 0644);
  if (input < 0 || output < 0) {
    _exit(127);
  }
  dup2(input, STDIN_FILENO);
  dup2(output, STDOUT_FILENO);
  dup2(output, STDERR_FILENO);
}

// The entries given, then the benchmark's environment, for a child; built
// between fork and exec. A variable given wins over one of the same name
// already there: the first of a name is the one a program finds.
char* const* ChildEnvironment(const char* const extra[]) {
  constexpr int MAX_ENTRIES = 512;
  static char* entries[MAX_ENTRIES];
  int count = 0;
  for (int i = 0; extra != nullptr && extra[i] != nullptr && count < 8; ++i) {
    entries[count++] = const_cast<char*>(extra[i]);
  }
  for (char** entry = environ; *entry != nullptr && count < MAX_ENTRIES - 1; ++entry) {
    entries[count++] = *entry;
  }
  entries[count] = nullptr;
  return entries;
}

void SleepMs(long milliseconds) {
  timespec period{0, milliseconds * 1000000L};
  nanosleep(&period, nullptr);
}

}  // namespace

pid_t StartChild(const char* const argv[], const char* logPath) {
  return StartChildWith(argv, logPath, nullptr);
}

pid_t StartChildWith(const char* const argv[], const char* logPath,
                     const char* const environment[]) {
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    // Dies with the benchmark, even when the benchmark is killed.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(127);
    }
    RedirectStandardFiles(logPath);
    execvpe(argv[0], const_cast<char* const*>(argv), ChildEnvironment(environment));
    SayOnStderr("ptt_bench: cannot run ");
    SayOnStderr(argv[0]);
    SayOnStderr("\n");
    _exit(127);
  }
  if (pid > 0) {
    Remember(pid);
  }
  return pid;
}

int RunChild(const char* const argv[], const char* logPath, int timeoutMs) {
  pid_t pid = StartChild(argv, logPath);
  if (pid < 0) {
    return -1;
  }
  for (int waited = 0; waited < timeoutMs; waited += 10) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      Forget(pid);
      return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    SleepMs(10);
  }
  StopChild(pid);
  return -1;
}

bool LogHolds(const char* logPath, const char* text, int times) {
  std::FILE* file = std::fopen(logPath, "r");
  if (file == nullptr) {
    return false;
  }
  char line[512];
  int found = 0;
  while (std::fgets(line, sizeof line, file) != nullptr) {
    found += std::strstr(line, text) != nullptr ? 1 : 0;
  }
  std::fclose(file);
  return found >= times;
}

void StopChild(pid_t pid) {
  if (pid <= 0) {
    return;
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  Forget(pid);
}

void StopAllChildren() {
  for (pid_t slot : Children) {
    StopChild(slot);
  }
}

void RemoveOnAbort(const char* path) {
  if (AbortPathCount < MAX_ABORT_PATHS) {
    std::snprintf(AbortPaths[AbortPathCount], PATH_SIZE, "%s", path);
    AbortPathCount = AbortPathCount + 1;
  }
}

void InstallAbortHandlers(unsigned seconds) {
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, Abort);
  std::signal(SIGTERM, Abort);
  std::signal(SIGALRM, Abort);
  alarm(seconds);
}
