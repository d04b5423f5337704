// qvnsim: stands in for QVN. It offers one virtual serial port and writes
// PTT status bytes into it, so that Tarnwick can be seen and tested at work
// without QVN.
//
//   qvnsim NAME
//
// Prints "ready" once the port is offered and "connected" once Tarnwick has
// opened it; a second client is refused. On a terminal each key press
// toggles PTT (q or Ctrl+C quits), counting only keys typed once Tarnwick
// is there. Otherwise it reads commands, one per line, from standard input:
//
//   on               escape and status 0x02 (PTT on)
//   off              escape and status 0x00 (PTT off)
//   status HH        escape and the status byte HH (hex)
//   raw HH HH ...    the bytes as given, unescaped
//   sleep MS         waits MS milliseconds
//   quit             closes the port and exits
//
// Every command is answered with one line on standard output: "ok", or
// "error" after a message on standard error. Blank lines are skipped.
//
// A port that a running qvnsim (or QVN) offers is left alone. On Linux the
// port's socket file is removed when qvnsim ends, by Ctrl+C, SIGTERM and
// SIGHUP too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/keyboard.h"
#include "platform/platform.h"
#include "testbed/qvn_server.h"
#include "testbed/typed_keys.h"

namespace {

constexpr std::uint8_t ESCAPE = 0xFF;
constexpr std::uint8_t STATUS_PTT_OFF = 0x00;
constexpr std::uint8_t STATUS_PTT_ON = 0x02;
constexpr int LINE_SIZE = 2048;
constexpr int RAW_CAPACITY = 512;
constexpr int CTRL_C = 3;  // a key where the console does not turn it into a signal

enum class Outcome { Done, Failed, Quit };

void Say(const char* text) {
  std::fputs(text, stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

void Complain(const char* what, const char* detail) {
  std::fprintf(stderr, "qvnsim: %s%s\n", what, detail);
  std::fflush(stderr);
}

void ComplainCode(const char* what, int code) {
  std::fprintf(stderr, "qvnsim: %s (code %d)\n", what, code);
  std::fflush(stderr);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

const char* SkipBlanks(const char* text) {
  while (*text != '\0' && IsBlank(*text)) {
    ++text;
  }
  return text;
}

// Whether text starts with the word (followed by a blank or the end), and
// if so where the rest begins.
bool TakeWord(const char* text, const char* word, const char** rest) {
  std::size_t length = std::strlen(word);
  if (std::strncmp(text, word, length) != 0) {
    return false;
  }
  if (text[length] != '\0' && !IsBlank(text[length])) {
    return false;
  }
  *rest = SkipBlanks(text + length);
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads one byte written as one or two hex digits; advances *text past it.
bool TakeHexByte(const char** text, std::uint8_t* value) {
  const char* p = *text;
  int high = HexDigit(p[0]);
  if (high < 0) {
    return false;
  }
  int low = HexDigit(p[1]);
  int byte = low < 0 ? high : high * 16 + low;
  p += low < 0 ? 1 : 2;
  if (*p != '\0' && !IsBlank(*p)) {
    return false;
  }
  *value = static_cast<std::uint8_t>(byte);
  *text = SkipBlanks(p);
  return true;
}

// Reads hex bytes up to the end of the text; false on anything else.
bool TakeHexBytes(const char* text, std::uint8_t* bytes, int capacity, int* count) {
  *count = 0;
  while (*text != '\0') {
    if (*count == capacity || !TakeHexByte(&text, &bytes[*count])) {
      return false;
    }
    ++*count;
  }
  return *count > 0;
}

bool TakeDecimal(const char* text, unsigned* value) {
  if (*text < '0' || *text > '9') {
    return false;
  }
  char* end = nullptr;
  unsigned long parsed = std::strtoul(text, &end, 10);
  if (*SkipBlanks(end) != '\0' || parsed > 3600000UL) {
    return false;
  }
  *value = static_cast<unsigned>(parsed);
  return true;
}

Outcome Write(QvnServer* server, const std::uint8_t* bytes, int count) {
  int code = QvnServerWrite(server, bytes, count);
  if (code != 0) {
    ComplainCode("writing to the port failed", code);
    return Outcome::Failed;
  }
  return Outcome::Done;
}

Outcome SendStatus(QvnServer* server, std::uint8_t status) {
  const std::uint8_t bytes[2] = {ESCAPE, status};
  return Write(server, bytes, 2);
}

Outcome SendOneStatus(QvnServer* server, const char* arguments) {
  std::uint8_t status = 0;
  if (!TakeHexByte(&arguments, &status) || *arguments != '\0') {
    Complain("status needs one hex byte, e.g. status 02", "");
    return Outcome::Failed;
  }
  return SendStatus(server, status);
}

Outcome SendRaw(QvnServer* server, const char* arguments) {
  static std::uint8_t bytes[RAW_CAPACITY];
  int count = 0;
  if (!TakeHexBytes(arguments, bytes, RAW_CAPACITY, &count)) {
    Complain("raw needs hex bytes, e.g. raw FF 02", "");
    return Outcome::Failed;
  }
  return Write(server, bytes, count);
}

Outcome Sleep(const char* arguments) {
  unsigned milliseconds = 0;
  if (!TakeDecimal(arguments, &milliseconds)) {
    Complain("sleep needs milliseconds, e.g. sleep 100", "");
    return Outcome::Failed;
  }
  PlatformSleepMs(milliseconds);
  return Outcome::Done;
}

Outcome RunCommand(QvnServer* server, const char* line) {
  const char* rest = nullptr;
  if (TakeWord(line, "on", &rest) && *rest == '\0') return SendStatus(server, STATUS_PTT_ON);
  if (TakeWord(line, "off", &rest) && *rest == '\0') return SendStatus(server, STATUS_PTT_OFF);
  if (TakeWord(line, "status", &rest)) return SendOneStatus(server, rest);
  if (TakeWord(line, "raw", &rest)) return SendRaw(server, rest);
  if (TakeWord(line, "sleep", &rest)) return Sleep(rest);
  if (TakeWord(line, "quit", &rest) && *rest == '\0') return Outcome::Quit;
  Complain("unknown command: ", line);
  return Outcome::Failed;
}

void StripLineEnd(char* line) {
  std::size_t length = std::strlen(line);
  while (length > 0 && IsBlank(line[length - 1])) {
    line[--length] = '\0';
  }
}

// Standard input is a script of commands.
void RunScript(QvnServer* server) {
  static char line[LINE_SIZE];
  while (std::fgets(line, LINE_SIZE, stdin) != nullptr) {
    StripLineEnd(line);
    const char* command = SkipBlanks(line);
    if (*command == '\0') {
      continue;
    }
    Outcome outcome = RunCommand(server, command);
    Say(outcome == Outcome::Failed ? "error" : "ok");
    if (outcome == Outcome::Quit) {
      return;
    }
  }
}

void ShowPtt(int on) {
  std::fputs(on != 0 ? "PTT on\r\n" : "PTT off\r\n", stdout);
  std::fflush(stdout);
}

// Standard input is a terminal: every key toggles PTT, q quits.
void RunKeyboard(QvnServer* server) {
  std::fputs("Press a key to toggle PTT, q to quit\r\n", stdout);
  int on = 0;
  ShowPtt(on);
  for (;;) {
    int key = PlatformReadKey();
    if (key < 0 || key == 'q' || key == 'Q' || key == CTRL_C) {
      return;
    }
    on = 1 - on;
    SendStatus(server, on != 0 ? STATUS_PTT_ON : STATUS_PTT_OFF);
    ShowPtt(on);
  }
}

}  // namespace

int main(int argc, char** argv) {
  PlatformPrepareConsole();
  if (argc != 2 || argv[1][0] == '\0') {
    Complain("usage: qvnsim NAME  (offers the QVN virtual port NAME)", "");
    return 2;
  }
  static QvnServer server;
  int code = QvnServerListen(&server, argv[1]);
  if (code == QVN_ALREADY_OFFERED) {
    Complain("the port is already offered (by another qvnsim, or QVN): ", argv[1]);
    return 1;
  }
  if (code != 0) {
    ComplainCode("cannot offer the port", code);
    return 1;
  }
  QvnServerCloseOnSignals(&server);
  Say("ready");
  code = QvnServerAccept(&server);
  if (code != 0) {
    ComplainCode("no client opened the port", code);
    QvnServerClose(&server);
    return 1;
  }
  bool keyboard = PlatformConsoleIsTerminal();
  if (keyboard) {
    // A key pressed while nobody listened (an early q) is not acted on now.
    DiscardTypedKeys();
  }
  Say("connected");
  if (keyboard) {
    RunKeyboard(&server);
  } else {
    RunScript(&server);
  }
  QvnServerClose(&server);
  return 0;
}
