// Windows: the guard is this program started again; it learns Tarnwick's
// end from an anonymous pipe, and holds a handle of Tarnwick's process.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "platform/guard.h"

namespace {

constexpr char WAY_OUT_BYTE = 'W';
// How long the guard waits, after the way out's byte, for Tarnwick to end.
constexpr DWORD AFTER_THE_WAY_OUT_MS = 400;
// What stands first in the guard's command line: the mark, then Tarnwick's
// process id, the pipe's reading end and Tarnwick's process handle.
constexpr char GUARD_MARK[] = "--fail-safe-guard=";
constexpr std::size_t COMMAND_LINE_SIZE = 32768;

// Tarnwick's side, written before any thread starts.
HANDLE WayOutPipe = nullptr;
HANDLE GuardProcess = nullptr;

// The guard's side.
HANDLE TarnwickEndPipe = nullptr;
HANDLE TarnwickProcess = nullptr;

// Where Tarnwick's own command line goes on after the program's name, which
// Windows quotes whole or ends at the first blank.
const char* AfterProgramName(const char* commandLine) {
  const char* at = commandLine;
  if (*at == '"') {
    const char* quote = std::strchr(at + 1, '"');
    at = quote != nullptr ? quote + 1 : at + std::strlen(at);
  } else {
    while (*at != '\0' && *at != ' ' && *at != '\t') {
      ++at;
    }
  }
  return at;
}

bool GuardCommandLine(HANDLE pipe, HANDLE process, char* line, std::size_t size) {
  char program[MAX_PATH] = {};
  DWORD length = GetModuleFileNameA(nullptr, program, sizeof program);
  if (length == 0 || length >= sizeof program) {
    return false;
  }
  int written = std::snprintf(line, size, "\"%s\" %s%lu,%llu,%llu%s", program, GUARD_MARK,
                              GetCurrentProcessId(), reinterpret_cast<unsigned long long>(pipe),
                              reinterpret_cast<unsigned long long>(process),
                              AfterProgramName(GetCommandLineA()));
  return written > 0 && static_cast<std::size_t>(written) < size;
}

void InheritStandardHandles(STARTUPINFOA* startup) {
  startup->dwFlags |= STARTF_USESTDHANDLES;
  startup->hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup->hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup->hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE handle : {startup->hStdInput, startup->hStdOutput, startup->hStdError}) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
  }
}

// Started outside Tarnwick's job where the job allows it, so that a job that
// ends Tarnwick's process alone leaves the guard; otherwise inside it.
bool CreateGuardProcess(char* commandLine, PROCESS_INFORMATION* info) {
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  InheritStandardHandles(&startup);
  if (CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, CREATE_BREAKAWAY_FROM_JOB,
                     nullptr, nullptr, &startup, info) != 0) {
    return true;
  }
  return GetLastError() == ERROR_ACCESS_DENIED &&
         CreateProcessA(nullptr, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                        info) != 0;
}

// Ctrl+C and Ctrl+Break are Tarnwick's to take. Closing the console, log-off
// and shut-down end the guard once this returns: it waits, and the guard
// ends itself once Tarnwick has ended and it has done its part.
BOOL WINAPI GuardConsoleEvent(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    return TRUE;
  }
  Sleep(INFINITE);
  return TRUE;
}

bool ReadMark(const char* argument, DWORD* processId, HANDLE* pipe, HANDLE* process) {
  std::size_t markLength = sizeof GUARD_MARK - 1;
  if (std::strncmp(argument, GUARD_MARK, markLength) != 0) {
    return false;
  }
  unsigned long id = 0;
  unsigned long long pipeValue = 0;
  unsigned long long processValue = 0;
  char end = 0;
  if (std::sscanf(argument + markLength, "%lu,%llu,%llu%c", &id, &pipeValue, &processValue, &end) !=
      3) {
    return false;
  }
  *processId = id;
  *pipe = reinterpret_cast<HANDLE>(pipeValue);
  *process = reinterpret_cast<HANDLE>(processValue);
  return true;
}

}  // namespace

int PlatformStartGuard(GuardBody /*body: the guard's main runs it*/) {
  SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (CreatePipe(&readEnd, &writeEnd, &inherited, 0) == 0) {
    return static_cast<int>(GetLastError());
  }
  // The guard holds no writing end: the pipe ends when Tarnwick does.
  SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
  HANDLE self = nullptr;
  static char commandLine[COMMAND_LINE_SIZE];
  PROCESS_INFORMATION info{};
  bool started =
      DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self,
                      SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, TRUE, 0) != 0 &&
      GuardCommandLine(readEnd, self, commandLine, sizeof commandLine) &&
      CreateGuardProcess(commandLine, &info);
  DWORD error = started ? 0 : GetLastError();
  CloseHandle(readEnd);
  if (self != nullptr) {
    CloseHandle(self);
  }
  if (!started) {
    CloseHandle(writeEnd);
    return error != 0 ? static_cast<int>(error) : ERROR_BAD_ARGUMENTS;
  }
  CloseHandle(info.hThread);
  GuardProcess = info.hProcess;
  WayOutPipe = writeEnd;
  return 0;
}

void PlatformTellGuardOfTheWayOut() {
  if (WayOutPipe != nullptr) {
    DWORD written = 0;
    WriteFile(WayOutPipe, &WAY_OUT_BYTE, 1, &written, nullptr);
  }
}

bool PlatformGuardHasEnded() {
  return GuardProcess != nullptr && WaitForSingleObject(GuardProcess, 0) == WAIT_OBJECT_0;
}

// The mark counts only with what Tarnwick handed down behind it: a pipe,
// and a handle of the process whose id it names.
bool PlatformIsGuardStart(int* argc, char*** argv) {
  DWORD processId = 0;
  HANDLE pipe = nullptr;
  HANDLE process = nullptr;
  if (*argc < 2 || !ReadMark((*argv)[1], &processId, &pipe, &process) ||
      GetFileType(pipe) != FILE_TYPE_PIPE || processId == 0 || GetProcessId(process) != processId) {
    return false;
  }
  TarnwickEndPipe = pipe;
  TarnwickProcess = process;
  SetConsoleCtrlHandler(GuardConsoleEvent, TRUE);
  (*argv)[1] = (*argv)[0];
  *argv += 1;
  *argc -= 1;
  return true;
}

TarnwickEnd PlatformAwaitTarnwickEnd() {
  char byte = 0;
  DWORD got = 0;
  if (ReadFile(TarnwickEndPipe, &byte, 1, &got, nullptr) == 0 || got != 1 || byte != WAY_OUT_BYTE) {
    return TarnwickEnd::Abruptly;
  }
  WaitForSingleObject(TarnwickProcess, AFTER_THE_WAY_OUT_MS);
  return TarnwickEnd::ByTheWayOut;
}

void PlatformEndGuard() { ExitProcess(0); }

int PlatformTimedOutError() { return WSAETIMEDOUT; }
