/* com_relay: the smallest bridge from a COM port's CTS line to a rigctl
 * server that a separate process can be, the yardstick for Tarnwick's
 * latency on the COM road. It waits in the driver for a CTS or DSR change,
 * reads CTS and sends "T 1\n" or "T 0\n" at once, as Tarnwick does for each
 * line event.
 *
 *   com_relay PORT SERVER_PORT
 *
 * PORT is the serial device (Linux: a path such as /dev/pts/3, waited on
 * with TIOCMIWAIT) or the COM name (Windows: COM7, waited on with
 * WaitCommEvent); SERVER_PORT is the rigctl server's TCP port on 127.0.0.1.
 * It runs until the port or the server fails. The same source builds for
 * both, so that under Wine the Windows build can be measured beside
 * tarnwick.exe. */
#ifdef _WIN32
/* winsock2.h must come before windows.h: comments keep them in order. */
#include <winsock2.h>
/* The rest of the Windows API. */
#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* A whole decimal number from 1 to 65535, and nothing else; 0 otherwise. */
static int SmallNumber(const char* text) {
  char* end = NULL;
  long value = strtol(text, &end, 10);
  return end != text && *end == '\0' && value > 0 && value <= 65535 ? (int)value : 0;
}

static struct sockaddr_in Loopback(int port) {
  struct sockaddr_in address;
  memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_port = htons((unsigned short)port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

#ifdef _WIN32

typedef HANDLE Port;
typedef SOCKET Server;

static Port OpenPort(const char* name) {
  char path[96];
  snprintf(path, sizeof path, "\\\\.\\%s", name);
  HANDLE port = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
  if (port != INVALID_HANDLE_VALUE && !SetCommMask(port, EV_CTS | EV_DSR)) {
    CloseHandle(port);
    return INVALID_HANDLE_VALUE;
  }
  return port;
}

static int PortOpened(Port port) { return port != INVALID_HANDLE_VALUE; }

static int WaitForLineChange(Port port) {
  DWORD events = 0;
  return WaitCommEvent(port, &events, NULL) ? 0 : -1;
}

static int ReadCts(Port port) {
  DWORD status = 0;
  return GetCommModemStatus(port, &status) ? (status & MS_CTS_ON) != 0 : -1;
}

static Server ConnectServer(int portNumber) {
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    return INVALID_SOCKET;
  }
  SOCKET server = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  struct sockaddr_in address = Loopback(portNumber);
  BOOL one = TRUE;
  if (server != INVALID_SOCKET &&
      (setsockopt(server, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof one) != 0 ||
       connect(server, (struct sockaddr*)&address, sizeof address) != 0)) {
    closesocket(server);
    return INVALID_SOCKET;
  }
  return server;
}

static int ServerConnected(Server server) { return server != INVALID_SOCKET; }

static int SendCommand(Server server, const char* command) {
  return send(server, command, 4, 0) == 4 ? 0 : -1;
}

#else

typedef int Port;
typedef int Server;

static Port OpenPort(const char* path) { return open(path, O_RDWR | O_NOCTTY | O_CLOEXEC); }

static int PortOpened(Port port) { return port >= 0; }

static int WaitForLineChange(Port port) { return ioctl(port, TIOCMIWAIT, TIOCM_CTS | TIOCM_DSR); }

static int ReadCts(Port port) {
  int lines = 0;
  return ioctl(port, TIOCMGET, &lines) == 0 ? (lines & TIOCM_CTS) != 0 : -1;
}

static Server ConnectServer(int portNumber) {
  int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = Loopback(portNumber);
  int one = 1;
  if (server >= 0 && (setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
                      connect(server, (struct sockaddr*)&address, sizeof address) != 0)) {
    close(server);
    return -1;
  }
  return server;
}

static int ServerConnected(Server server) { return server >= 0; }

/* The server's replies are never read: 7 bytes a command, 70 kB for a
 * full run's 10,000, fit in the socket's receive buffer. */
static int SendCommand(Server server, const char* command) {
  return send(server, command, 4, MSG_NOSIGNAL) == 4 ? 0 : -1;
}

#endif

int main(int argc, char** argv) {
  int serverPort = argc == 3 ? SmallNumber(argv[2]) : 0;
  if (serverPort == 0) {
    fprintf(stderr, "usage: com_relay PORT SERVER_PORT\n");
    return 2;
  }
  Port port = OpenPort(argv[1]);
  if (!PortOpened(port)) {
    fprintf(stderr, "com_relay: cannot open %s\n", argv[1]);
    return 1;
  }
  Server server = ConnectServer(serverPort);
  if (!ServerConnected(server)) {
    fprintf(stderr, "com_relay: cannot connect to 127.0.0.1:%d\n", serverPort);
    return 1;
  }
  for (;;) {
    int cts;
    if (WaitForLineChange(port) != 0 || (cts = ReadCts(port)) < 0 ||
        SendCommand(server, cts != 0 ? "T 1\n" : "T 0\n") != 0) {
      return 1;
    }
  }
}
