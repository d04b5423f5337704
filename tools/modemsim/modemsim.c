/* modemsim: a serial port with modem lines and no hardware behind it, for
 * trying and testing a program that watches a COM port's lines. It makes a
 * pseudo-terminal whose lines libmodemsim.so simulates in the programs it
 * is preloaded into (see modemsim_preload.c), and drives them from
 * commands on standard input, one per line:
 *
 *   cts 0|1, dsr 0|1, ri 0|1, cd 0|1   sets an input line
 *   pulse LINE MS          flips the line, waits MS ms (0: none), flips it back
 *   stall-next-wait MS     the next wait for a change stalls MS ms before it
 *                          notes where the lines stand, so that a change
 *                          meanwhile is not its own (see modemsim_preload.c)
 *   await-stall MS         waits, at most MS ms, until that stall has begun
 *   fail ERRNO             every call on the lines fails with ERRNO (EIO, as
 *                          from an unplugged adapter, ENODEV, ENXIO or a
 *                          number; 0 or none: they work again)
 *   refuse CALL|none       CALL (TIOCMIWAIT, TIOCGICOUNT) fails with ENOTTY
 *   sleep MS               waits MS ms
 *   lines                  answers "lines cts C dsr D ri R cd C rts R dtr D"
 *   calls                  answers "calls" and each call's name and count
 *   written                answers "written N": bytes written to the port
 *   termios                answers "termios HEX": the port's settings
 *   quit                   removes the port and exits
 *
 * It prints "port PATH" (the slave, /dev/pts/N) and "ready" at start, and
 * one line for each command: "ok", the answer, or "error" after a message
 * on standard error. The shared files go to MODEMSIM_DIR (default
 * /tmp/modemsim); a program sees the lines with
 *
 *   LD_PRELOAD=.../libmodemsim.so MODEMSIM_DIR=... program /dev/pts/N */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "modemsim_lines.h"

#define LINE_SIZE 256

static struct ModemsimPort Port;
static long BytesWritten;

static const char* const LineNames[MODEMSIM_LINES] = {"cts", "dsr", "ri", "cd"};
static const char* const CallNames[MODEMSIM_CALLS] = {"TIOCMGET", "TIOCMSET",    "TIOCMBIS",
                                                      "TIOCMBIC", "TIOCGICOUNT", "TIOCMIWAIT"};

static void Say(const char* text) {
  fputs(text, stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

static void Complain(const char* what, const char* detail) {
  fprintf(stderr, "modemsim: %s%s\n", what, detail);
  fflush(stderr);
}

static void SleepMs(long milliseconds) {
  struct timespec period = {milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&period, &period) != 0 && errno == EINTR) {
  }
}

static long NowMs(void) {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000L + now.tv_nsec / 1000000L;
}

/* A whole decimal number from 0 to 600000, and nothing else; -1 otherwise. */
static long Number(const char* text) {
  char* end = NULL;
  long value = strtol(text, &end, 10);
  return end != text && *end == '\0' && value >= 0 && value <= 600000 ? value : -1;
}

static int LineNamed(const char* name) {
  for (int line = 0; line < MODEMSIM_LINES; ++line) {
    if (strcmp(name, LineNames[line]) == 0) {
      return line;
    }
  }
  return -1;
}

static int CallNamed(const char* name) {
  for (int call = 0; call < MODEMSIM_CALLS; ++call) {
    if (strcmp(name, CallNames[call]) == 0) {
      return call;
    }
  }
  return -1;
}

static int ErrnoNamed(const char* name) {
  if (strcmp(name, "none") == 0) {
    return 0;
  }
  if (strcmp(name, "EIO") == 0) {
    return EIO;
  }
  if (strcmp(name, "ENODEV") == 0) {
    return ENODEV;
  }
  if (strcmp(name, "ENXIO") == 0) {
    return ENXIO;
  }
  long code = Number(name);
  return code >= 0 && code < 4096 ? (int)code : -1;
}

static void ReportLines(void) {
  int levels = __atomic_load_n(&Port.State->Levels, __ATOMIC_ACQUIRE);
  printf("lines cts %d dsr %d ri %d cd %d rts %d dtr %d\n", (levels & TIOCM_CTS) != 0,
         (levels & TIOCM_DSR) != 0, (levels & TIOCM_RNG) != 0, (levels & TIOCM_CD) != 0,
         (levels & TIOCM_RTS) != 0, (levels & TIOCM_DTR) != 0);
  fflush(stdout);
}

static void ReportCalls(void) {
  fputs("calls", stdout);
  for (int call = 0; call < MODEMSIM_CALLS; ++call) {
    printf(" %s %u", CallNames[call], __atomic_load_n(&Port.State->Calls[call], __ATOMIC_ACQUIRE));
  }
  fputc('\n', stdout);
  fflush(stdout);
}

/* What the port's user wrote arrives at the master; nothing else reads it. */
static void ReportWritten(void) {
  char buffer[512];
  ssize_t got;
  while ((got = read(Port.Master, buffer, sizeof buffer)) > 0) {
    BytesWritten += got;
  }
  printf("written %ld\n", BytesWritten);
  fflush(stdout);
}

static int ReportTermios(void) {
  struct termios settings;
  memset(&settings, 0, sizeof settings); /* its padding is printed too */
  if (tcgetattr(Port.Slave, &settings) != 0) {
    return 0;
  }
  fputs("termios ", stdout);
  const unsigned char* bytes = (const unsigned char*)&settings;
  for (size_t i = 0; i < sizeof settings; ++i) {
    printf("%02x", bytes[i]);
  }
  fputc('\n', stdout);
  fflush(stdout);
  return 1;
}

static int Pulse(int line, long milliseconds) {
  struct ModemsimState* state = Port.State;
  int level = ModemsimLineLevel(state, (enum ModemsimLine)line);
  ModemsimSetLine(state, (enum ModemsimLine)line, !level);
  if (milliseconds > 0) {
    SleepMs(milliseconds);
  }
  ModemsimSetLine(state, (enum ModemsimLine)line, level);
  return 1;
}

static int AwaitStall(uint32_t before, long timeoutMs) {
  long deadline = NowMs() + timeoutMs;
  while (__atomic_load_n(&Port.State->StallsBegun, __ATOMIC_ACQUIRE) == before) {
    if (NowMs() >= deadline) {
      Complain("no stall began", "");
      return 0;
    }
    SleepMs(1);
  }
  return 1;
}

/* The stalls counted when the last stall was asked for. */
static uint32_t StallsBefore;

/* Commands with one word and one argument; returns 1 when done, 0 after
 * saying why not. An answer other than "ok" is printed here. */
static int RunWithArgument(const char* word, const char* argument) {
  struct ModemsimState* state = Port.State;
  int line = LineNamed(word);
  long value = Number(argument);
  if (line >= 0 && (value == 0 || value == 1)) {
    ModemsimSetLine(state, (enum ModemsimLine)line, (int)value);
    return 1;
  }
  if (strcmp(word, "stall-next-wait") == 0 && value >= 0) {
    StallsBefore = __atomic_load_n(&state->StallsBegun, __ATOMIC_ACQUIRE);
    __atomic_store_n(&state->StallNextWaitMs, (int32_t)value, __ATOMIC_SEQ_CST);
    return 1;
  }
  if (strcmp(word, "await-stall") == 0 && value >= 0) {
    return AwaitStall(StallsBefore, value);
  }
  if (strcmp(word, "sleep") == 0 && value >= 0) {
    SleepMs(value);
    return 1;
  }
  if (strcmp(word, "fail") == 0 && ErrnoNamed(argument) >= 0) {
    ModemsimFail(state, ErrnoNamed(argument));
    return 1;
  }
  if (strcmp(word, "refuse") == 0 && (CallNamed(argument) >= 0 || strcmp(argument, "none") == 0)) {
    int calls = CallNamed(argument) >= 0 ? 1 << CallNamed(argument) : 0;
    __atomic_store_n(&state->RefusedCalls, calls, __ATOMIC_SEQ_CST);
    return 1;
  }
  Complain("unknown command or argument: ", word);
  return 0;
}

/* Runs one command line; returns 0 on quit. */
static int RunCommand(char* text) {
  char* words[4] = {NULL, NULL, NULL, NULL};
  int count = 0;
  char* rest = NULL;
  for (char* word = strtok_r(text, " \t\r\n", &rest); word != NULL && count < 4;
       word = strtok_r(NULL, " \t\r\n", &rest)) {
    words[count++] = word;
  }
  if (count == 0) {
    return 1;
  }
  int done = 0;
  int answered = 0;
  if (count == 1 && strcmp(words[0], "quit") == 0) {
    return 0;
  } else if (count == 1 && strcmp(words[0], "lines") == 0) {
    ReportLines();
    done = answered = 1;
  } else if (count == 1 && strcmp(words[0], "calls") == 0) {
    ReportCalls();
    done = answered = 1;
  } else if (count == 1 && strcmp(words[0], "written") == 0) {
    ReportWritten();
    done = answered = 1;
  } else if (count == 1 && strcmp(words[0], "termios") == 0) {
    done = answered = ReportTermios();
  } else if (count == 3 && strcmp(words[0], "pulse") == 0 && LineNamed(words[1]) >= 0 &&
             Number(words[2]) >= 0) {
    done = Pulse(LineNamed(words[1]), Number(words[2]));
  } else if (count == 2) {
    done = RunWithArgument(words[0], words[1]);
  } else {
    Complain("unknown command: ", words[0]);
  }
  if (!answered) {
    Say(done ? "ok" : "error");
  }
  return 1;
}

int main(int argc, char** argv) {
  (void)argv;
  if (argc != 1) {
    fprintf(stderr, "usage: modemsim   (commands on standard input; see the source)\n");
    return 2;
  }
  int error = ModemsimOpen(&Port, ModemsimDirectory());
  if (error != 0) {
    fprintf(stderr, "modemsim: cannot make the port (code %d)\n", error);
    return 1;
  }
  int flags = fcntl(Port.Master, F_GETFL);
  fcntl(Port.Master, F_SETFL, flags | O_NONBLOCK);
  printf("port %s\n", Port.SlavePath);
  Say("ready");
  char line[LINE_SIZE];
  while (fgets(line, sizeof line, stdin) != NULL && RunCommand(line)) {
  }
  ModemsimClose(&Port);
  return 0;
}
