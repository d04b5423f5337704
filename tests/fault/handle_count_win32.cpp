// handle_count NAME: prints, for each running process whose program file is
// NAME, how many handles it has open, one process a line: "PID COUNT".
//
// The fault tests run the Windows build under Wine, where a process's Unix
// descriptors do not show its handles (a named pipe, for one, is the
// wineserver's alone).
// windows.h comes first: tlhelp32.h needs its types.
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on

#include <cstdio>

#include "tests/open_handles.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: handle_count NAME.exe\n");
    return 2;
  }
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "handle_count: no list of processes\n");
    return 1;
  }
  int status = 0;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
    if (_stricmp(entry.szExeFile, argv[1]) != 0) {
      continue;
    }
    int count = HandleCountOf(entry.th32ProcessID);
    if (count < 0) {
      std::fprintf(stderr, "handle_count: the handle table cannot be read\n");
      status = 1;
    }
    std::printf("%lu %d\n", static_cast<unsigned long>(entry.th32ProcessID), count);
  }
  CloseHandle(snapshot);
  return status;
}
