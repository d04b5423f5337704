/* libmodemsim.so: gives pseudo-terminals modem lines, for programs that
 * watch a serial port's lines and have no serial hardware to watch.
 *
 *   LD_PRELOAD=/path/to/libmodemsim.so MODEMSIM_DIR=DIR program ...
 *
 * It wraps ioctl(). For a descriptor whose device number has a shared file
 * in DIR (made by modemsim or ptt_bench, see modemsim_lines.h) it answers
 * the modem-line calls from that file as a serial driver would:
 *
 *   TIOCMGET               the line levels
 *   TIOCMSET/BIS/BIC       the outputs (RTS, DTR) only
 *   TIOCGICOUNT            the transition counters of CTS, DSR, RI and CD
 *   TIOCMIWAIT             notes the counters on entry, as the kernel's
 *                          serial core does, and blocks until a counter of
 *                          a requested line has moved
 *
 * Every other call, and every call on any other descriptor, goes on to the
 * C library. A driver can make the calls fail with an errno (a device that
 * went away answers EIO), refuse single calls (ENOTTY, as a driver without
 * them does), or stall the start of the next wait for a change:
 *
 * - a TIOCMIWAIT stalls on entry, before it notes the counters;
 * - a program that polls instead (Wine: each WaitCommEvent takes TIOCGICOUNT
 *   and TIOCMGET as its baseline in the calling thread, then polls them
 *   about every millisecond in a thread of its own, whose TIOCMGET finds a
 *   change) starts its next wait with a TIOCGICOUNT in another thread than
 *   the one that found the change: the stall holds the first TIOCGICOUNT
 *   made, after a TIOCMGET answered a changed CTS, by another thread than
 *   that TIOCMGET's, before it answers.
 *
 * A change made during the stall is then one that the wait never sees.
 *
 * With MODEMSIM_TRACE=FILE each answered call is appended to FILE as one
 * line: "thread call result", to see what a program (or Wine) calls. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <linux/serial.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "modemsim_lines.h"

#define MAX_PORTS 16
#define OUTPUT_LINES (TIOCM_RTS | TIOCM_DTR)
#define INPUT_LINES (TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CD)

typedef int (*IoctlFunction)(int, unsigned long, void*);

struct KnownPort {
  dev_t Device;
  struct ModemsimState* State;
};

static IoctlFunction RealIoctl;
/* Read once at load: Wine rebuilds the environment of the programs it runs. */
static char Directory[PATH_MAX];
static char TracePath[PATH_MAX];
/* Ports are added, never removed, under the lock; a reader takes Count
 * with acquire and sees the entries below it whole. */
static struct KnownPort Known[MAX_PORTS];
static int KnownCount;
static pthread_mutex_t KnownLock = PTHREAD_MUTEX_INITIALIZER;

static const char* const CallNames[MODEMSIM_CALLS] = {"TIOCMGET", "TIOCMSET",    "TIOCMBIS",
                                                      "TIOCMBIC", "TIOCGICOUNT", "TIOCMIWAIT"};

__attribute__((constructor)) static void LoadSettings(void) {
  RealIoctl = (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
  snprintf(Directory, sizeof Directory, "%s", ModemsimDirectory());
  const char* trace = getenv("MODEMSIM_TRACE");
  snprintf(TracePath, sizeof TracePath, "%s", trace != NULL ? trace : "");
}

static int CallOf(unsigned long request) {
  switch (request) {
    case TIOCMGET:
      return MODEMSIM_TIOCMGET;
    case TIOCMSET:
      return MODEMSIM_TIOCMSET;
    case TIOCMBIS:
      return MODEMSIM_TIOCMBIS;
    case TIOCMBIC:
      return MODEMSIM_TIOCMBIC;
    case TIOCGICOUNT:
      return MODEMSIM_TIOCGICOUNT;
    case TIOCMIWAIT:
      return MODEMSIM_TIOCMIWAIT;
    default:
      return -1;
  }
}

static struct ModemsimState* MapState(dev_t device) {
  char path[PATH_MAX];
  if (!ModemsimStatePath(Directory, device, path, sizeof path)) {
    return NULL;
  }
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return NULL;
  }
  void* mapping =
      mmap(NULL, sizeof(struct ModemsimState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (mapping == MAP_FAILED) {
    return NULL;
  }
  struct ModemsimState* state = mapping;
  if (__atomic_load_n(&state->Magic, __ATOMIC_ACQUIRE) != MODEMSIM_MAGIC) {
    munmap(mapping, sizeof *state);
    return NULL;
  }
  return state;
}

static struct ModemsimState* FindKnown(dev_t device) {
  int count = __atomic_load_n(&KnownCount, __ATOMIC_ACQUIRE);
  for (int i = 0; i < count; ++i) {
    if (Known[i].Device == device) {
      return Known[i].State;
    }
  }
  return NULL;
}

/* The simulated state of the descriptor's device, or NULL: not simulated.
 * A device that is not simulated is looked up again at its next call, so a
 * driver may start after the program has opened the port. */
static struct ModemsimState* StateOf(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISCHR(status.st_mode)) {
    return NULL;
  }
  struct ModemsimState* state = FindKnown(status.st_rdev);
  if (state != NULL) {
    return state;
  }
  pthread_mutex_lock(&KnownLock);
  state = FindKnown(status.st_rdev);
  if (state == NULL && KnownCount < MAX_PORTS) {
    state = MapState(status.st_rdev);
    if (state != NULL) {
      Known[KnownCount].Device = status.st_rdev;
      Known[KnownCount].State = state;
      __atomic_store_n(&KnownCount, KnownCount + 1, __ATOMIC_RELEASE);
    }
  }
  pthread_mutex_unlock(&KnownLock);
  return state;
}

static int32_t ThreadId(void) { return (int32_t)syscall(SYS_gettid); }

static void Trace(int call, int result, int error) {
  if (TracePath[0] == '\0') {
    return;
  }
  int fd = open(TracePath, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    return;
  }
  char line[96];
  int length = snprintf(line, sizeof line, "%ld %s %d %d\n", (long)ThreadId(), CallNames[call],
                        result, error);
  if (write(fd, line, (size_t)length) < 0) {
    /* nowhere to say so */
  }
  close(fd);
}

static void SleepMs(int milliseconds) {
  struct timespec period = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&period, &period) != 0 && errno == EINTR) {
  }
}

static int CounterMoved(struct ModemsimState* state, const int32_t* noted, int mask) {
  for (int line = 0; line < MODEMSIM_LINES; ++line) {
    if ((mask & ModemsimLineBit(line)) != 0 &&
        __atomic_load_n(&state->Counts[line], __ATOMIC_ACQUIRE) != noted[line]) {
      return 1;
    }
  }
  return 0;
}

static void StallIfAsked(struct ModemsimState* state) {
  int stallMs = __atomic_exchange_n(&state->StallNextWaitMs, 0, __ATOMIC_SEQ_CST);
  if (stallMs > 0) {
    __atomic_add_fetch(&state->StallsBegun, 1, __ATOMIC_SEQ_CST);
    SleepMs(stallMs);
  }
}

static int WaitForChange(struct ModemsimState* state, int mask) {
  StallIfAsked(state);
  int32_t noted[MODEMSIM_LINES];
  for (int line = 0; line < MODEMSIM_LINES; ++line) {
    noted[line] = __atomic_load_n(&state->Counts[line], __ATOMIC_ACQUIRE);
  }
  for (;;) {
    uint32_t changes = __atomic_load_n(&state->Changes, __ATOMIC_ACQUIRE);
    int failure = __atomic_load_n(&state->FailErrno, __ATOMIC_ACQUIRE);
    if (failure != 0) {
      return failure;
    }
    if (CounterMoved(state, noted, mask)) {
      __atomic_store_n(&state->WaitReturnedNs, ModemsimNowNs(), __ATOMIC_RELEASE);
      return 0;
    }
    /* Returns at once if Changes moved since it was read. */
    syscall(SYS_futex, &state->Changes, FUTEX_WAIT, changes, NULL, NULL, 0);
  }
}

static void FillCounters(struct ModemsimState* state, struct serial_icounter_struct* counters) {
  memset(counters, 0, sizeof *counters);
  counters->cts = __atomic_load_n(&state->Counts[MODEMSIM_CTS], __ATOMIC_ACQUIRE);
  counters->dsr = __atomic_load_n(&state->Counts[MODEMSIM_DSR], __ATOMIC_ACQUIRE);
  counters->rng = __atomic_load_n(&state->Counts[MODEMSIM_RI], __ATOMIC_ACQUIRE);
  counters->dcd = __atomic_load_n(&state->Counts[MODEMSIM_CD], __ATOMIC_ACQUIRE);
}

static int SetOutputs(struct ModemsimState* state, int call, int bits) {
  bits &= OUTPUT_LINES;
  int32_t levels = __atomic_load_n(&state->Levels, __ATOMIC_ACQUIRE);
  int32_t wanted;
  do {
    if (call == MODEMSIM_TIOCMSET) {
      wanted = (levels & ~OUTPUT_LINES) | bits;
    } else if (call == MODEMSIM_TIOCMBIS) {
      wanted = levels | bits;
    } else {
      wanted = levels & ~bits;
    }
  } while (!__atomic_compare_exchange_n(&state->Levels, &levels, wanted, 0, __ATOMIC_SEQ_CST,
                                        __ATOMIC_ACQUIRE));
  return 0;
}

static void NoteCtsAnswered(struct ModemsimState* state, int cts) {
  int32_t before = __atomic_exchange_n(&state->CtsAnswered, cts + 1, __ATOMIC_SEQ_CST);
  if (before != 0 && before != cts + 1) {
    __atomic_store_n(&state->CtsChangeReader, ThreadId(), __ATOMIC_SEQ_CST);
  }
}

/* Where a program that polls starts its next wait (see above). */
static int StartsPolledWait(struct ModemsimState* state) {
  if (__atomic_load_n(&state->WaitsInDriver, __ATOMIC_ACQUIRE) != 0) {
    return 0;
  }
  int32_t reader = __atomic_load_n(&state->CtsChangeReader, __ATOMIC_ACQUIRE);
  return reader != 0 && reader != ThreadId() &&
         __atomic_compare_exchange_n(&state->CtsChangeReader, &reader, 0, 0, __ATOMIC_SEQ_CST,
                                     __ATOMIC_ACQUIRE);
}

/* Returns 0 or the errno of the call. */
static int Answer(struct ModemsimState* state, int call, void* argument) {
  if ((__atomic_load_n(&state->RefusedCalls, __ATOMIC_ACQUIRE) & (1 << call)) != 0) {
    return ENOTTY;
  }
  int failure = __atomic_load_n(&state->FailErrno, __ATOMIC_ACQUIRE);
  if (failure != 0) {
    return failure;
  }
  switch (call) {
    case MODEMSIM_TIOCMGET:
      __atomic_store_n(&state->LinesReadNs, ModemsimNowNs(), __ATOMIC_RELEASE);
      *(int*)argument =
          __atomic_load_n(&state->Levels, __ATOMIC_ACQUIRE) & (INPUT_LINES | OUTPUT_LINES);
      NoteCtsAnswered(state, (*(int*)argument & TIOCM_CTS) != 0);
      return 0;
    case MODEMSIM_TIOCGICOUNT:
      if (StartsPolledWait(state)) {
        StallIfAsked(state);
      }
      FillCounters(state, argument);
      return 0;
    case MODEMSIM_TIOCMIWAIT:
      __atomic_store_n(&state->WaitsInDriver, 1, __ATOMIC_SEQ_CST);
      return WaitForChange(state, (int)(long)argument);
    default:
      return SetOutputs(state, call, *(const int*)argument);
  }
}

int ioctl(int fd, unsigned long request, ...) {
  va_list arguments;
  va_start(arguments, request);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  int call = CallOf(request);
  struct ModemsimState* state = call >= 0 ? StateOf(fd) : NULL;
  if (state == NULL) {
    /* A library's constructor may call before ours has run. */
    IoctlFunction real = RealIoctl != NULL ? RealIoctl : (IoctlFunction)dlsym(RTLD_NEXT, "ioctl");
    return real(fd, request, argument);
  }
  __atomic_add_fetch(&state->Calls[call], 1, __ATOMIC_SEQ_CST);
  int error = Answer(state, call, argument);
  Trace(call, error == 0 ? 0 : -1, error);
  if (error != 0) {
    errno = error;
    return -1;
  }
  return 0;
}
