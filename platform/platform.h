// The services Tarnwick needs from the operating system: threads, sleeping,
// console output, a small lock and TCP sockets. One implementation per
// platform (platform_linux.cpp, platform_win32.cpp) is chosen by the build;
// no other part of Tarnwick includes an operating-system header. Single
// keys from a terminal are in keyboard.h. What the tools and tests stand in
// with is in testbed/, of which this folder knows nothing.
#pragma once

#include <cstddef>
#include <cstdint>

// Socket handles are pointer-sized on Windows (SOCKET) and int on POSIX.
using SocketHandle = std::intptr_t;

// "No socket". POSIX descriptor 0 is a valid socket when standard input is
// closed, so the invalid handle (-1; INVALID_SOCKET on Windows) marks it.
constexpr SocketHandle NO_SOCKET = -1;

// Where a link connects, read from its address on the command line.
//   Ipv4:    a host that the standard IPv4 conversion (inet_addr's) takes,
//            dotted or one of its shorter numeric forms; connected to as is.
//   Name:    any other host: looked up at each connection attempt, and each
//            address found, IPv4 or IPv6, tried in turn.
//   Literal: the address in brackets ("[::1]:4532"): read as a numeric
//            address, IPv6 or IPv4, never looked up as a name.
//   NoPort:  an address without its port (no colon, or nothing after the
//            bracket): every connect fails, as it always has.
enum class HostKind : std::int32_t { NoPort, Ipv4, Name, Literal };

constexpr int HOST_TEXT_SIZE = 164;  // a host is part of a 163-character address

struct LinkDestination {
  HostKind Kind;
  std::uint16_t PortNetworkOrder;
  std::uint32_t Ipv4NetworkOrder;  // Ipv4 only
  char Host[HOST_TEXT_SIZE];       // Name and Literal: the host as typed
};

// Room for a pthread_mutex_t or an SRWLOCK; each platform checks that its
// lock fits.
struct PlatformLock {
  alignas(8) unsigned char Storage[64];
};

// Room for a pthread_cond_t or a CONDITION_VARIABLE.
struct PlatformCondition {
  alignas(8) unsigned char Storage[64];
};

// What waiting for a socket found: a combination of these bits, 0 on a
// timeout, or SOCKET_WAIT_FAILED.
constexpr int SOCKET_READABLE = 1;
constexpr int SOCKET_EXCEPTION = 2;
constexpr int SOCKET_WAIT_FAILED = -1;

// --- process -------------------------------------------------------------
// Standard output in binary mode, so messages reach it byte for byte. On
// POSIX SIGPIPE is ignored from here on: output that nobody reads any more
// loses its messages, and never ends the process.
void PlatformPrepareConsole();
// Socket start-up and what the platform needs before the first thread.
void PlatformStartup();
// The standard IPv4 conversion, inet_addr's: true when it takes the text,
// with the address in network byte order. Unlike inet_addr it tells the
// address 255.255.255.255 from a text that is no address.
bool PlatformParseIpv4(const char* text, std::uint32_t* addressNetworkOrder);
// One character from standard input: on a terminal, the next key press,
// without waiting for Enter.
int PlatformReadConsoleCharacter();
[[noreturn]] void PlatformExit(int status);

// --- the way out ---------------------------------------------------------
// What to do when Tarnwick is being stopped.
using StopAction = void (*)();
// From now on, each event that stops Tarnwick first runs action on a thread
// where it may take locks and send, then ends the process as the event would
// have without it. POSIX: SIGINT, SIGTERM, SIGHUP and SIGQUIT, except those
// ignored when the process started, which stay ignored; they are blocked
// here and waited for by a thread of their own. Windows: Ctrl+C,
// Ctrl+Break, closing the console, log-off and shut-down. Call before the
// first thread starts. Returns 0, or the platform's error code with
// everything as it was.
int PlatformRunOnStop(StopAction action);

// --- threads and time ----------------------------------------------------
using ThreadEntry = void (*)(void* record);
// Starts a detached thread. Returns 0, or the platform's error code when
// it could not be started.
int PlatformStartThread(ThreadEntry entry, void* record);
// Raises the calling thread above the normal priority, for the thread that
// carries PTT and sleeps until a port completes: Windows
// THREAD_PRIORITY_HIGHEST (any user may, within the normal class); Linux
// the thread's own nice value to RAISED_THREAD_NICE, where the process may
// (root, CAP_SYS_NICE or RLIMIT_NICE). Returns 0, or the platform's code
// when the system refused (Linux: EPERM or EACCES), the thread then going
// on at its priority.
int PlatformRaiseThreadPriority();
// Whether the calling thread runs at the priority that call gives.
bool PlatformThreadPriorityRaised();
constexpr int RAISED_THREAD_NICE = -10;
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
// Writes the bytes whole to standard output with the system's own write (no
// buffer of the runtime library's), waiting as long as the output cannot
// take them. Bytes that cannot be written (a closed output) are dropped.
void PlatformWriteConsole(const char* bytes, std::size_t count);

// --- lock ----------------------------------------------------------------
void PlatformLockInit(PlatformLock* lock);
void PlatformLockAcquire(PlatformLock* lock);
void PlatformLockRelease(PlatformLock* lock);
void PlatformConditionInit(PlatformCondition* condition);
// Sleeps, without a timeout, until the condition is signalled; the lock is
// held on entry and again on return. May return without a signal.
void PlatformConditionWait(PlatformCondition* condition, PlatformLock* lock);
void PlatformConditionSignal(PlatformCondition* condition);

// --- TCP sockets ---------------------------------------------------------
// Each call that fails reports the platform's error code through
// PlatformLastSocketError().
int PlatformLastSocketError();
enum class ConnectOutcome { Connected, NoSocket, Failed };
// Makes a TCP socket with the link's options (SO_REUSEADDR and TCP_NODELAY;
// on POSIX also a receive low-water mark, so that the worker wakes once for
// many discarded replies) and connects it to the destination; blocking.
// A name or a literal is looked up first, and a socket is made for each
// address found until one connects. Connected: *sock is the connected
// socket. NoSocket: no socket could be made. Failed: the last connect
// failed, or the lookup did, with the resolver's own code (Windows: WSA
// codes such as 11001, WSAHOST_NOT_FOUND; POSIX: getaddrinfo's EAI values
// such as -2, EAI_NONAME). The code is PlatformLastSocketError()'s.
ConnectOutcome PlatformConnectLink(const LinkDestination* destination, SocketHandle* sock);
void PlatformSetNonBlocking(SocketHandle sock);
// For a link whose answers are read: each reply wakes its waiter as it
// comes (POSIX: no low-water mark; Windows' select does so already).
void PlatformWakeForEachReply(SocketHandle sock);
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
