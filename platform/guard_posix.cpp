// POSIX: the guard is forked, and learns Tarnwick's end from a pipe.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <initializer_list>

#include "platform/guard.h"

namespace {

constexpr char WAY_OUT_BYTE = 'W';
// How long the guard waits, after the way out's byte, for Tarnwick to end.
constexpr int AFTER_THE_WAY_OUT_MS = 400;

// Tarnwick's side, written before any thread starts.
int WayOutFd = -1;
pid_t GuardPid = -1;
bool GuardEnded = false;  // the supervisor's alone

// The guard's side.
int TarnwickEndFd = -1;

// Tarnwick takes these and ends by its way out, which tells the guard; sent
// to the whole process group or cgroup (Ctrl+C, systemd's stop), they must
// not end the guard first.
void IgnoreStopSignals() {
  for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    signal(signalNumber, SIG_IGN);
  }
}

int ClosedOnExec(int fd) {
  fcntl(fd, F_SETFD, FD_CLOEXEC);
  return fd;
}

}  // namespace

int PlatformStartGuard(GuardBody body) {
  int ends[2];
  if (pipe(ends) != 0) {
    return errno;
  }
  pid_t pid = fork();
  if (pid < 0) {
    int error = errno;
    close(ends[0]);
    close(ends[1]);
    return error;
  }
  if (pid == 0) {
    // The guard holds no writing end: the pipe ends when Tarnwick does.
    close(ends[1]);
    TarnwickEndFd = ClosedOnExec(ends[0]);
    IgnoreStopSignals();
    body();
    PlatformEndGuard();
  }
  close(ends[0]);
  WayOutFd = ClosedOnExec(ends[1]);
  GuardPid = pid;
  return 0;
}

void PlatformTellGuardOfTheWayOut() {
  if (WayOutFd >= 0) {
    char byte = WAY_OUT_BYTE;
    while (write(WayOutFd, &byte, 1) < 0 && errno == EINTR) {
    }
  }
}

bool PlatformGuardHasEnded() {
  if (GuardPid > 0 && !GuardEnded) {
    int status = 0;
    pid_t ended = waitpid(GuardPid, &status, WNOHANG);
    GuardEnded = ended == GuardPid || (ended < 0 && errno == ECHILD);
  }
  return GuardEnded;
}

bool PlatformIsGuardStart(int* /*argc*/, char*** /*argv*/) { return false; }

// Anything but the way out's byte is an end without it: a guard that cannot
// tell releases the rigs, which is the safe side.
TarnwickEnd PlatformAwaitTarnwickEnd() {
  char byte = 0;
  ssize_t got = 0;
  do {
    got = read(TarnwickEndFd, &byte, 1);
  } while (got < 0 && errno == EINTR);
  if (got != 1 || byte != WAY_OUT_BYTE) {
    return TarnwickEnd::Abruptly;
  }
  pollfd end{TarnwickEndFd, POLLIN, 0};
  poll(&end, 1, AFTER_THE_WAY_OUT_MS);
  return TarnwickEnd::ByTheWayOut;
}

void PlatformEndGuard() { _exit(0); }

int PlatformTimedOutError() { return ETIMEDOUT; }
