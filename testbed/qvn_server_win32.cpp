// Windows: a QVN virtual port is a named pipe, "\\.\pipe\QVN<name>". One
// pipe handle serves as both the offer and the connection.
#include <windows.h>

#include <cstdio>

#include "testbed/qvn_server.h"

namespace {

static_assert(QVN_PATH_SIZE >= 96, "the prefix, a 63-character name and the zero fit");
constexpr DWORD PIPE_BUFFER_SIZE = 4096;
constexpr std::intptr_t NO_HANDLE = -1;

HANDLE PipeOf(const QvnServer* server) { return reinterpret_cast<HANDLE>(server->Listener); }

}  // namespace

int QvnServerListen(QvnServer* server, const char* name) {
  server->Listener = NO_HANDLE;
  server->Connection = NO_HANDLE;
  char* path = server->Path;
  int length = std::snprintf(path, QVN_PATH_SIZE, "\\\\.\\pipe\\QVN%s", name);
  if (length < 0 || length >= QVN_PATH_SIZE) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  HANDLE pipe =
      CreateNamedPipeA(path, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1,
                       PIPE_BUFFER_SIZE, PIPE_BUFFER_SIZE, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    // A pipe of one instance that another server already has.
    DWORD error = GetLastError();
    return error == ERROR_PIPE_BUSY ? QVN_ALREADY_OFFERED : static_cast<int>(error);
  }
  server->Listener = reinterpret_cast<std::intptr_t>(pipe);
  return 0;
}

int QvnServerAccept(QvnServer* server) {
  if (server->Listener == NO_HANDLE) {
    return ERROR_INVALID_HANDLE;
  }
  // A client that opened the pipe before this call is already connected.
  if (!ConnectNamedPipe(PipeOf(server), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
    return static_cast<int>(GetLastError());
  }
  server->Connection = server->Listener;
  return 0;
}

int QvnServerWrite(QvnServer* server, const std::uint8_t* bytes, int count) {
  if (server->Connection == NO_HANDLE) {
    return ERROR_PIPE_NOT_CONNECTED;
  }
  while (count > 0) {
    DWORD written = 0;
    if (!WriteFile(PipeOf(server), bytes, static_cast<DWORD>(count), &written, nullptr)) {
      return static_cast<int>(GetLastError());
    }
    bytes += written;
    count -= static_cast<int>(written);
  }
  return 0;
}

void QvnServerClose(QvnServer* server) {
  // Closing, not disconnecting: the client still reads what was written,
  // then sees the pipe broken, as when QVN itself goes away.
  if (server->Listener != NO_HANDLE) {
    CloseHandle(PipeOf(server));
  }
  server->Listener = NO_HANDLE;
  server->Connection = NO_HANDLE;
}

void QvnServerCloseOnSignals(const QvnServer*) {}
