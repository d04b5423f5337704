// The services Tarnwick needs from the operating system: threads, sleeping,
// console output, a small lock and TCP sockets. One implementation per
// platform (platform_posix.cpp, platform_win32.cpp) is chosen by the build;
// nothing outside this folder includes an operating-system header.
#pragma once

#include <cstddef>
#include <cstdint>

// Socket handles are pointer-sized on Windows (SOCKET) and int on POSIX.
using SocketHandle = std::intptr_t;

// "No socket". POSIX descriptor 0 is a valid socket when standard input is
// closed, so the invalid handle (-1; INVALID_SOCKET on Windows) marks it.
constexpr SocketHandle NO_SOCKET = -1;

// An IPv4 socket address laid out like sockaddr_in: family, port and
// address in network byte order, eight zero bytes.
struct Ipv4Destination {
  std::uint16_t Family;
  std::uint16_t PortNetworkOrder;
  std::uint32_t AddressNetworkOrder;
  std::uint8_t Zero[8];
};

// Room for a pthread_mutex_t or an SRWLOCK; each platform checks that its
// lock fits.
struct PlatformLock {
  alignas(8) unsigned char Storage[64];
};

// What waiting for a socket found: a combination of these bits, 0 on a
// timeout, or SOCKET_WAIT_FAILED.
constexpr int SOCKET_READABLE = 1;
constexpr int SOCKET_EXCEPTION = 2;
constexpr int SOCKET_WAIT_FAILED = -1;

// --- process -------------------------------------------------------------
// Standard output in binary mode, so messages reach it byte for byte.
void PlatformPrepareConsole();
// Socket start-up and what the platform needs before the first thread.
void PlatformStartup();
std::uint16_t PlatformAddressFamilyInet();
std::uint32_t PlatformInetAddr(const char* text);
// One character from standard input: on a terminal, the next key press,
// without waiting for Enter.
int PlatformReadConsoleCharacter();
// Whether standard input is a terminal, and one key press read from it
// without waiting for Enter (-1 at end of input).
bool PlatformConsoleIsTerminal();
int PlatformReadKey();
[[noreturn]] void PlatformExit(int status);

// --- the way out ---------------------------------------------------------
// What to do when Tarnwick is being stopped.
using StopAction = void (*)();
// From now on, each event that stops Tarnwick first runs action on a thread
// where it may take locks and send, then ends the process as the event would
// have without it. POSIX: SIGINT, SIGTERM and SIGHUP, except those ignored
// when the process started, which stay ignored; they are blocked here and
// waited for by a thread of their own. Windows: Ctrl+C, Ctrl+Break, closing
// the console, log-off and shut-down. Call before the first thread starts.
// Returns false, with everything as it was, when it cannot.
bool PlatformRunOnStop(StopAction action);

// --- threads and time ----------------------------------------------------
using ThreadEntry = void (*)(void* record);
// Starts a detached thread; returns false if it could not be started.
bool PlatformStartThread(ThreadEntry entry, void* record);
void PlatformSleepMs(unsigned milliseconds);
// A monotonic clock in microseconds, for measurements.
std::int64_t PlatformMonotonicMicros();

// The local date and time, to the second, as the system's clock and time
// zone give it.
struct LocalDateTime {
  int Year;
  int Month;  // 1 to 12
  int Day;    // 1 to 31
  int Hour;
  int Minute;
  int Second;
};
void PlatformLocalTime(LocalDateTime* now);

// --- console -------------------------------------------------------------
// Writes the bytes whole to standard output and flushes them at once.
void PlatformWriteConsole(const char* bytes, std::size_t count);

// --- lock ----------------------------------------------------------------
void PlatformLockInit(PlatformLock* lock);
void PlatformLockAcquire(PlatformLock* lock);
void PlatformLockRelease(PlatformLock* lock);

// --- TCP sockets ---------------------------------------------------------
// Each call that fails reports the platform's error code through
// PlatformLastSocketError().
int PlatformLastSocketError();
SocketHandle PlatformTcpSocket();
// SO_REUSEADDR and TCP_NODELAY; on POSIX also a receive low-water mark, so
// that the worker wakes once for many discarded replies.
void PlatformSetLinkOptions(SocketHandle sock);
bool PlatformConnect(SocketHandle sock, const Ipv4Destination* destination);
void PlatformSetNonBlocking(SocketHandle sock);
// Waits until the socket is readable (data, close or error) or reports an
// exception (out-of-band data), or the timeout passes.
int PlatformWaitSocket(SocketHandle sock, int timeoutMs);
// recv: bytes received, 0 when the peer closed, -1 on any error.
int PlatformReceive(SocketHandle sock, char* buffer, int capacity);
// recv without waiting: bytes received, 0 when the peer closed, -1 on any
// error, RECEIVED_NOTHING_YET when nothing has arrived.
constexpr int RECEIVED_NOTHING_YET = -2;
int PlatformReceiveNow(SocketHandle sock, char* buffer, int capacity);
// One send that never blocks and never raises a signal: bytes sent or -1.
int PlatformSendNow(SocketHandle sock, const char* bytes, int count);
void PlatformCloseSocket(SocketHandle sock);
// Ends the sending side: the peer reads the end of the stream after what
// was sent.
void PlatformShutdownSending(SocketHandle sock);
// Makes the socket's close a reset (SO_LINGER on with time 0), which
// discards what is still queued for sending, and shuts its receiving side.
// On POSIX that wakes a thread waiting on the socket, which then reads the
// end of the connection; Windows' select is not woken that way, and its
// waiter finds out at its next timeout.
void PlatformAbortConnection(SocketHandle sock);

// --- loopback servers, for the tools and tests ---------------------------
// Listens on 127.0.0.1; port 0 picks a free port, reported in *boundPort.
// receiveBuffer > 0 sets SO_RCVBUF before listening.
SocketHandle PlatformListenLoopback(std::uint16_t port, std::uint16_t* boundPort,
                                    int receiveBuffer);
// Waits at most timeoutMs for a connection; NO_SOCKET if none came.
SocketHandle PlatformAccept(SocketHandle listener, int timeoutMs);
// Waits at most timeoutMs for data: bytes, 0 on close, -1 on error or timeout.
int PlatformReceiveTimed(SocketHandle sock, char* buffer, int capacity, int timeoutMs);
// Blocking send of all bytes; outOfBand sends them as urgent data.
bool PlatformSendAll(SocketHandle sock, const char* bytes, int count, bool outOfBand);
// Connects to 127.0.0.1:port with TCP_NODELAY, blocking; NO_SOCKET on failure.
SocketHandle PlatformConnectLoopback(std::uint16_t port);
