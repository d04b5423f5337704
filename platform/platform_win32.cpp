// Windows: Winsock 2, _beginthread, SRW locks, the performance counter.
// winsock2.h comes first: windows.h before it would pull in the old winsock.h.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>
// clang-format on

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <process.h>

#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/keyboard.h"
#include "platform/link_connect.h"
#include "platform/platform.h"
#include "platform/stop_events_win32.h"
#include "platform/thread_start.h"

static_assert(sizeof(SRWLOCK) <= sizeof(PlatformLock::Storage), "lock fits");
static_assert(alignof(SRWLOCK) <= alignof(PlatformLock), "lock is aligned");
static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(PlatformCondition::Storage), "condition fits");
static_assert(sizeof(SocketHandle) == sizeof(SOCKET), "a SOCKET fits a SocketHandle");
static_assert(NO_SOCKET == static_cast<SocketHandle>(INVALID_SOCKET), "no socket is invalid");

namespace {

// getch's prefixes for function and arrow keys; the code after them is not
// a character.
bool IsExtendedKeyPrefix(int key) { return key == 0 || key == 0xE0; }

thread_local int LastSocketError = 0;

SOCKET Sock(SocketHandle sock) { return static_cast<SOCKET>(sock); }

SocketHandle Handle(SOCKET sock) { return static_cast<SocketHandle>(sock); }

SRWLOCK* SrwOf(PlatformLock* lock) { return reinterpret_cast<SRWLOCK*>(lock->Storage); }

CONDITION_VARIABLE* ConditionOf(PlatformCondition* condition) {
  return reinterpret_cast<CONDITION_VARIABLE*>(condition->Storage);
}

// Records the socket error of the call that just failed.
void NoteSocketError() { LastSocketError = WSAGetLastError(); }

void __cdecl RunThread(void* argument) { RunThreadStart(static_cast<ThreadStart*>(argument)); }

// What the console control handler runs before the process ends.
std::atomic<StopAction> OnStop{nullptr};

bool IsStopEvent(DWORD event) {
  return event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
         event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT;
}

// select's timeout; a negative wait means no timeout, as with poll.
timeval* TimeoutOf(int timeoutMs, timeval* storage) {
  if (timeoutMs < 0) {
    return nullptr;
  }
  storage->tv_sec = timeoutMs / 1000;
  storage->tv_usec = (timeoutMs % 1000) * 1000;
  return storage;
}

// Waits for one socket to become readable (and, if asked, to report an
// exception). Returns select's result; the sets say what was found.
int SelectOne(SOCKET sock, fd_set* readable, fd_set* exceptional, int timeoutMs) {
  FD_ZERO(readable);
  FD_SET(sock, readable);
  if (exceptional != nullptr) {
    FD_ZERO(exceptional);
    FD_SET(sock, exceptional);
  }
  timeval storage{};
  // Winsock ignores the first argument; it is given as BSD sockets expect.
  int result = select(static_cast<int>(sock + 1), readable, nullptr, exceptional,
                      TimeoutOf(timeoutMs, &storage));
  if (result == SOCKET_ERROR) {
    NoteSocketError();
  }
  return result;
}

void SetNoDelay(SOCKET sock) {
  BOOL one = TRUE;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

void SetReuseAddress(SOCKET sock) {
  BOOL one = TRUE;
  setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&one), sizeof one);
}

}  // namespace

void PlatformPrepareConsole() { _setmode(_fileno(stdout), _O_BINARY); }

void PlatformStartup() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 0), &data);
}

namespace {

// inet_addr answers INADDR_NONE both for a text that is no address and for
// 255.255.255.255 in any of its spellings. ntdll's parser, as lenient as
// inet_addr is, tells them apart; like inet_addr, it is content with an
// address followed by a space.
bool SpellsTheBroadcastAddress(const char* text) {
  LPSTR end = nullptr;
  IN_ADDR address{};
  return RtlIpv4StringToAddressA(text, FALSE, &end, &address) == 0 &&
         (*end == '\0' || *end == ' ') && address.s_addr == INADDR_NONE;
}

}  // namespace

bool PlatformParseIpv4(const char* text, std::uint32_t* addressNetworkOrder) {
  unsigned long address = inet_addr(text);
  if (address == INADDR_NONE && !SpellsTheBroadcastAddress(text)) {
    return false;
  }
  *addressNetworkOrder = static_cast<std::uint32_t>(address);
  return true;
}

int PlatformReadConsoleCharacter() {
  return PlatformConsoleIsTerminal() ? PlatformReadKey() : std::getchar();
}

// Only a console delivers key presses. NUL is a character device too, and
// _isatty says yes to it; reading it is the end of input, as getchar finds.
bool PlatformConsoleIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

int PlatformReadKey() {
  for (;;) {
    int key = _getch();
    if (!IsExtendedKeyPrefix(key)) {
      return key;
    }
    _getch();
  }
}

void PlatformExit(int status) { std::exit(status); }

BOOL WINAPI StopEventHandler(DWORD event) {
  StopAction action = OnStop.load();
  if (action != nullptr && IsStopEvent(event)) {
    action();
  }
  // The default handling ends the process, as it would have without us.
  return FALSE;
}

int PlatformRunOnStop(StopAction action) {
  OnStop.store(action);
  if (SetConsoleCtrlHandler(StopEventHandler, TRUE) == 0) {
    OnStop.store(nullptr);
    return static_cast<int>(GetLastError());
  }
  return 0;
}

// CreateThread's own code when it gave one; "cannot create another thread"
// otherwise (no start record free).
int PlatformStartThread(ThreadEntry entry, void* record) {
  ThreadStart* start = TakeThreadStart(entry, record);
  if (start == nullptr) {
    return ERROR_TOO_MANY_TCBS;
  }
  SetLastError(0);
  if (_beginthread(RunThread, 0, start) == static_cast<uintptr_t>(-1)) {
    DWORD error = GetLastError();
    ReleaseThreadStart(start);
    return error != 0 ? static_cast<int>(error) : ERROR_TOO_MANY_TCBS;
  }
  return 0;
}

int PlatformRaiseThreadPriority() {
  return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST) != 0
             ? 0
             : static_cast<int>(GetLastError());
}

bool PlatformThreadPriorityRaised() {
  return GetThreadPriority(GetCurrentThread()) == THREAD_PRIORITY_HIGHEST;
}

void PlatformSleepMs(unsigned milliseconds) { Sleep(milliseconds); }

std::int64_t PlatformMonotonicMicros() {
  LARGE_INTEGER frequency;
  LARGE_INTEGER count;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&count);
  // Whole seconds and the remainder apart, so that the product cannot overflow.
  std::int64_t seconds = count.QuadPart / frequency.QuadPart;
  std::int64_t rest = count.QuadPart % frequency.QuadPart;
  return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

void PlatformLocalTime(LocalDateTime* now) {
  SYSTEMTIME local;
  GetLocalTime(&local);
  *now = LocalDateTime{local.wYear, local.wMonth,  local.wDay,
                       local.wHour, local.wMinute, local.wSecond};
}

void PlatformWriteConsole(const char* bytes, std::size_t count) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  while (count > 0) {
    DWORD written = 0;
    DWORD chunk = count < 0x10000 ? static_cast<DWORD>(count) : 0x10000;
    if (WriteFile(output, bytes, chunk, &written, nullptr) == 0 || written == 0) {
      return;
    }
    bytes += written;
    count -= written;
  }
}

void PlatformLockInit(PlatformLock* lock) { InitializeSRWLock(SrwOf(lock)); }

void PlatformLockAcquire(PlatformLock* lock) { AcquireSRWLockExclusive(SrwOf(lock)); }

void PlatformLockRelease(PlatformLock* lock) { ReleaseSRWLockExclusive(SrwOf(lock)); }

void PlatformConditionInit(PlatformCondition* condition) {
  InitializeConditionVariable(ConditionOf(condition));
}

void PlatformConditionWait(PlatformCondition* condition, PlatformLock* lock) {
  SleepConditionVariableSRW(ConditionOf(condition), SrwOf(lock), INFINITE, 0);
}

void PlatformConditionSignal(PlatformCondition* condition) {
  WakeConditionVariable(ConditionOf(condition));
}

int PlatformLastSocketError() { return LastSocketError; }

namespace {

SOCKET MakeTcpSocket(int family) {
  SOCKET sock = socket(family, SOCK_STREAM, 0);
  if (sock == INVALID_SOCKET) {
    NoteSocketError();
  }
  return sock;
}

bool ConnectTo(SOCKET sock, const void* address, int length) {
  if (connect(sock, static_cast<const sockaddr*>(address), length) != 0) {
    NoteSocketError();
    return false;
  }
  return true;
}

ADDRESS_FAMILY FamilyOf(const SocketAddress* address) {
  ADDRESS_FAMILY family = 0;
  std::memcpy(&family, address->Bytes, sizeof family);
  return family;
}

}  // namespace

void RestoreSocketError(int code) { LastSocketError = code; }

void NoteLookupFailure(int resolverCode) {
  LastSocketError = resolverCode != 0 ? resolverCode : WSAHOST_NOT_FOUND;
}

SocketHandle MakeLinkSocket(const SocketAddress* address) {
  SOCKET sock = MakeTcpSocket(FamilyOf(address));
  if (sock == INVALID_SOCKET) {
    return NO_SOCKET;
  }
  SetReuseAddress(sock);
  SetNoDelay(sock);
  return Handle(sock);
}

bool ConnectSocket(SocketHandle sock, const SocketAddress* address) {
  return ConnectTo(Sock(sock), address->Bytes, address->Length);
}

// Windows refuses an address of another family, as the all-zero one of an
// address without its port is. Wine hands AF_UNSPEC on to Linux, where it
// means "dissolve the association" and succeeds: refused here for both.
void NoteNoPortError() { LastSocketError = WSAEAFNOSUPPORT; }

void PlatformSetNonBlocking(SocketHandle sock) {
  u_long one = 1;
  ioctlsocket(Sock(sock), FIONBIO, &one);
}

void PlatformWakeForEachReply(SocketHandle /*sock*/) {}

int PlatformWaitSocket(SocketHandle sock, int timeoutMs) {
  fd_set readable;
  fd_set exceptional;
  int result = SelectOne(Sock(sock), &readable, &exceptional, timeoutMs);
  if (result == SOCKET_ERROR) {
    return SOCKET_WAIT_FAILED;
  }
  int found = 0;
  if (FD_ISSET(Sock(sock), &readable)) {
    found |= SOCKET_READABLE;
  }
  if (FD_ISSET(Sock(sock), &exceptional)) {
    found |= SOCKET_EXCEPTION;
  }
  return found;
}

int PlatformReceive(SocketHandle sock, char* buffer, int capacity) {
  int received = recv(Sock(sock), buffer, capacity, 0);
  if (received == SOCKET_ERROR) {
    NoteSocketError();
    return -1;
  }
  return received;
}

int PlatformReceiveNow(SocketHandle sock, char* buffer, int capacity) {
  // A socket that is still blocking would wait in recv: select first.
  fd_set readable;
  int ready = SelectOne(Sock(sock), &readable, nullptr, 0);
  if (ready == SOCKET_ERROR) {
    return -1;
  }
  if (ready == 0) {
    return RECEIVED_NOTHING_YET;
  }
  int received = recv(Sock(sock), buffer, capacity, 0);
  if (received == SOCKET_ERROR) {
    NoteSocketError();
    // Another reader may have taken the bytes since select saw them.
    return LastSocketError == WSAEWOULDBLOCK ? RECEIVED_NOTHING_YET : -1;
  }
  return received;
}

int PlatformSendNow(SocketHandle sock, const char* bytes, int count) {
  // Winsock raises no signal on a broken connection, and the link's socket
  // is non-blocking once connected: flags 0 is enough.
  int sent = send(Sock(sock), bytes, count, 0);
  if (sent == SOCKET_ERROR) {
    NoteSocketError();
    return -1;
  }
  return sent;
}

void PlatformCloseSocket(SocketHandle sock) { closesocket(Sock(sock)); }

void PlatformShutdownSending(SocketHandle sock) { shutdown(Sock(sock), SD_SEND); }

void PlatformAbortConnection(SocketHandle sock) {
  linger reset{};
  reset.l_onoff = 1;
  reset.l_linger = 0;
  setsockopt(Sock(sock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
             sizeof reset);
  shutdown(Sock(sock), SD_RECEIVE);
}
