/* The driver's side of the simulated modem lines (see modemsim_lines.h). */
#define _GNU_SOURCE
#include "modemsim_lines.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

const char* ModemsimDirectory(void) {
  const char* directory = getenv("MODEMSIM_DIR");
  return directory != NULL && directory[0] != '\0' ? directory : MODEMSIM_DEFAULT_DIR;
}

int ModemsimStatePath(const char* directory, dev_t device, char* path, int size) {
  int length =
      snprintf(path, (size_t)size, "%s/dev-%u-%u", directory, major(device), minor(device));
  return length > 0 && length < size;
}

int64_t ModemsimNowNs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

int ModemsimLineBit(enum ModemsimLine line) {
  static const int bits[MODEMSIM_LINES] = {TIOCM_CTS, TIOCM_DSR, TIOCM_RNG, TIOCM_CD};
  return bits[line];
}

static int OpenPseudoTerminal(struct ModemsimPort* port) {
  port->Master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (port->Master < 0) {
    return errno;
  }
  if (grantpt(port->Master) != 0 || unlockpt(port->Master) != 0 ||
      ptsname_r(port->Master, port->SlavePath, sizeof port->SlavePath) != 0) {
    return errno;
  }
  /* Held open so that the port stays up whoever else opens and closes it,
   * and so that its settings can be read at any time. */
  port->Slave = open(port->SlavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
  return port->Slave < 0 ? errno : 0;
}

/* The file is filled before it gets its name: a process that finds it
 * finds it whole. */
static int PublishState(struct ModemsimPort* port, const char* directory) {
  struct stat slave;
  if (fstat(port->Slave, &slave) != 0) {
    return errno;
  }
  if (mkdir(directory, 0777) != 0 && errno != EEXIST) {
    return errno;
  }
  if (!ModemsimStatePath(directory, slave.st_rdev, port->StatePath, sizeof port->StatePath)) {
    return ENAMETOOLONG;
  }
  char scratch[sizeof port->StatePath + 16];
  snprintf(scratch, sizeof scratch, "%s.new", port->StatePath);
  int fd = open(scratch, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    return errno;
  }
  int error = ftruncate(fd, sizeof(struct ModemsimState)) == 0 ? 0 : errno;
  void* mapping = MAP_FAILED;
  if (error == 0) {
    mapping = mmap(NULL, sizeof(struct ModemsimState), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    error = mapping == MAP_FAILED ? errno : 0;
  }
  close(fd);
  if (error == 0) {
    port->State = mapping;
    __atomic_store_n(&port->State->Magic, MODEMSIM_MAGIC, __ATOMIC_RELEASE);
    error = rename(scratch, port->StatePath) == 0 ? 0 : errno;
  }
  if (error != 0) {
    unlink(scratch);
  }
  return error;
}

int ModemsimOpen(struct ModemsimPort* port, const char* directory) {
  memset(port, 0, sizeof *port);
  port->Master = -1;
  port->Slave = -1;
  int error = OpenPseudoTerminal(port);
  if (error == 0) {
    error = PublishState(port, directory);
  }
  if (error != 0) {
    ModemsimClose(port);
  }
  return error;
}

void ModemsimClose(struct ModemsimPort* port) {
  if (port->State != NULL) {
    unlink(port->StatePath);
    munmap(port->State, sizeof *port->State);
    port->State = NULL;
  }
  if (port->Slave >= 0) {
    close(port->Slave);
  }
  if (port->Master >= 0) {
    close(port->Master);
  }
  port->Slave = port->Master = -1;
}

void ModemsimWakeWaiters(struct ModemsimState* state) {
  __atomic_add_fetch(&state->Changes, 1, __ATOMIC_SEQ_CST);
  syscall(SYS_futex, &state->Changes, FUTEX_WAKE, INT_MAX, NULL, NULL, 0);
}

int ModemsimLineLevel(const struct ModemsimState* state, enum ModemsimLine line) {
  return (__atomic_load_n(&state->Levels, __ATOMIC_ACQUIRE) & ModemsimLineBit(line)) != 0;
}

/* The counter moves before the level, as in a serial driver's interrupt
 * handler: whoever sees the new level also sees its transition. */
void ModemsimSetLine(struct ModemsimState* state, enum ModemsimLine line, int on) {
  if (ModemsimLineLevel(state, line) == (on != 0)) {
    return;
  }
  __atomic_add_fetch(&state->Counts[line], 1, __ATOMIC_SEQ_CST);
  if (on != 0) {
    __atomic_or_fetch(&state->Levels, ModemsimLineBit(line), __ATOMIC_SEQ_CST);
  } else {
    __atomic_and_fetch(&state->Levels, ~ModemsimLineBit(line), __ATOMIC_SEQ_CST);
  }
  ModemsimWakeWaiters(state);
}

void ModemsimFail(struct ModemsimState* state, int errorCode) {
  __atomic_store_n(&state->FailErrno, errorCode, __ATOMIC_SEQ_CST);
  ModemsimWakeWaiters(state);
}
