/* The simulated modem lines of one pseudo-terminal, shared between the
 * process that drives them (modemsim, ptt_bench) and the processes that
 * libmodemsim.so is preloaded into, which see them through ioctl() on the
 * pseudo-terminal's slave.
 *
 * Each simulated port is a small file in the simulation directory (the
 * environment variable MODEMSIM_DIR, /tmp/modemsim when it is not set) named
 * after the slave's device number, "dev-MAJOR-MINOR", and mapped shared by
 * every process that uses it. The device number, not the path, identifies
 * the port: under Wine it is wineserver that opens the device and hands the
 * descriptor over, so the program never opens a path of its own.
 *
 * Every field is read and written with atomic operations: the processes on
 * both sides run at once. A blocked TIOCMIWAIT sleeps on Changes (a futex
 * shared across processes) and is woken each time the driver changes
 * anything. */
#ifndef MODEMSIM_LINES_H
#define MODEMSIM_LINES_H

#include <stdint.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

#define MODEMSIM_MAGIC 0x4d53494du /* "MSIM" */
#define MODEMSIM_DEFAULT_DIR "/tmp/modemsim"

/* The four input lines, indexes into Counts, in the order of the kernel's
 * serial_icounter_struct. */
enum ModemsimLine { MODEMSIM_CTS, MODEMSIM_DSR, MODEMSIM_RI, MODEMSIM_CD, MODEMSIM_LINES };

/* The calls the interposer answers, indexes into Calls. */
enum ModemsimCall {
  MODEMSIM_TIOCMGET,
  MODEMSIM_TIOCMSET,
  MODEMSIM_TIOCMBIS,
  MODEMSIM_TIOCMBIC,
  MODEMSIM_TIOCGICOUNT,
  MODEMSIM_TIOCMIWAIT,
  MODEMSIM_CALLS
};

struct ModemsimState {
  uint32_t Magic;
  uint32_t Changes; /* futex word: bumped by every change the driver makes */
  int32_t Levels;   /* TIOCM_* bits: inputs set by the driver, RTS/DTR by the port's user */
  int32_t Counts[MODEMSIM_LINES]; /* transitions of each input line */
  int32_t FailErrno;              /* 0, or the errno every call on the lines fails with */
  int32_t RefusedCalls;           /* bit (1 << ModemsimCall): that call fails with ENOTTY */
  int32_t StallNextWaitMs;        /* the next wait for a change stalls this long first */
  uint32_t StallsBegun;           /* stalls that have begun */
  /* The interposer's own notes, to tell where a program starts a wait. */
  int32_t WaitsInDriver;   /* 1 once the program has called TIOCMIWAIT */
  int32_t CtsAnswered;     /* the last CTS that TIOCMGET answered, plus 1; 0: none yet */
  int32_t CtsChangeReader; /* the thread that TIOCMGET last answered a changed CTS */
  uint32_t Calls[MODEMSIM_CALLS];
  /* CLOCK_MONOTONIC, in nanoseconds, of the last TIOCMIWAIT that returned a
   * change and of the last TIOCMGET: where a bridge's time goes. */
  int64_t WaitReturnedNs;
  int64_t LinesReadNs;
};

/* One simulated port as its driver holds it. */
struct ModemsimPort {
  int Master;          /* the pseudo-terminal's master side */
  int Slave;           /* the slave, kept open by the driver */
  char SlavePath[64];  /* /dev/pts/N */
  char StatePath[256]; /* the shared file */
  struct ModemsimState* State;
};

/* The simulation directory: MODEMSIM_DIR, or the default. */
const char* ModemsimDirectory(void);

/* The shared file's path for a device number; false when it does not fit. */
int ModemsimStatePath(const char* directory, dev_t device, char* path, int size);

/* Makes a pseudo-terminal with simulated lines (all low) and publishes its
 * state in the directory, which is made if needed. Returns 0 or an errno. */
int ModemsimOpen(struct ModemsimPort* port, const char* directory);

/* Removes the shared file and closes both sides. */
void ModemsimClose(struct ModemsimPort* port);

/* Sets an input line; a change counts as a transition and wakes waiters. */
void ModemsimSetLine(struct ModemsimState* state, enum ModemsimLine line, int on);
int ModemsimLineLevel(const struct ModemsimState* state, enum ModemsimLine line);

/* Makes every call on the lines fail with errorCode (0: they work again). */
void ModemsimFail(struct ModemsimState* state, int errorCode);

/* Wakes every TIOCMIWAIT so that it looks at the state again. */
void ModemsimWakeWaiters(struct ModemsimState* state);

/* CLOCK_MONOTONIC in nanoseconds. */
int64_t ModemsimNowNs(void);

/* The TIOCM_* bit of an input line. */
int ModemsimLineBit(enum ModemsimLine line);

#ifdef __cplusplus
}
#endif

#endif
