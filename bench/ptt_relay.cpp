// ptt_relay: the smallest bridge a separate process can be, the yardstick
// for Tarnwick's latency. It opens one virtual port, connects to one rigctl
// server and, for every status byte that changes, sends "T 1\n" or "T 0\n".
//
//   ptt_relay NAME PORT              blocking read on the port (the limit)
//   ptt_relay NAME PORT --poll-ms MS reads the PTT line every MS ms instead,
//                                    as a line-polling design does
//
// NAME is the virtual port (/tmp/QVN<NAME>), PORT the server's TCP port on
// 127.0.0.1. It runs until the port or the server closes.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int READ_SIZE = 80;  // what Tarnwick asks for in one read
constexpr std::uint8_t ESCAPE = 0xFF;
constexpr std::uint8_t PTT_BIT = 0x02;

struct Decoder {
  std::uint8_t LastStatus;  // starts at 0, as in Tarnwick
  bool EscapePending;
};

int ConnectVirtualPort(const char* name) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "/tmp/QVN%s", name);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectServer(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (fd >= 0 && (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0 ||
                  connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)) {
    close(fd);
    return -1;
  }
  return fd;
}

void SendPtt(int server, int on) {
  const char* command = on != 0 ? "T 1\n" : "T 0\n";
  send(server, command, 4, MSG_NOSIGNAL);
}

// Feeds bytes through the escape decoder; calls back for each status byte
// that differs from the last one.
template <typename OnStatus>
void Decode(Decoder* decoder, const std::uint8_t* bytes, int count, OnStatus onStatus) {
  for (int i = 0; i < count; ++i) {
    if (decoder->EscapePending) {
      decoder->EscapePending = false;
      if (bytes[i] != ESCAPE && bytes[i] != decoder->LastStatus) {
        decoder->LastStatus = bytes[i];
        onStatus(bytes[i]);
      }
    } else if (bytes[i] == ESCAPE) {
      decoder->EscapePending = true;
    }
  }
}

// The server's replies are read after the command has gone, off the
// measured path. Returns false once the server has closed.
bool DrainReplies(int server) {
  char buffer[512];
  for (;;) {
    ssize_t got = recv(server, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0) {
      return false;
    }
    if (got < 0) {
      return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
    }
  }
}

// The limit: sleep in read until bytes arrive, send at once.
void RelayBlocking(int port, int server) {
  Decoder decoder{};
  std::uint8_t buffer[READ_SIZE];
  for (;;) {
    ssize_t got = read(port, buffer, sizeof buffer);
    if (got <= 0) {
      return;
    }
    Decode(&decoder, buffer, static_cast<int>(got),
           [server](std::uint8_t status) { SendPtt(server, (status & PTT_BIT) != 0 ? 1 : 0); });
    if (!DrainReplies(server)) {
      return;
    }
  }
}

void SleepMs(int milliseconds) {
  timespec period{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
  while (nanosleep(&period, &period) != 0 && errno == EINTR) {
  }
}

// A line poller sees only the level of the line at each look: every period
// it takes in what arrived and sends the PTT state if it differs from the
// state it sent last.
void RelayPolling(int port, int server, int periodMs) {
  Decoder decoder{};
  int sentPtt = 0;
  std::uint8_t buffer[READ_SIZE];
  for (;;) {
    SleepMs(periodMs);
    ssize_t got;
    while ((got = recv(port, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      Decode(&decoder, buffer, static_cast<int>(got), [](std::uint8_t) {});
    }
    if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return;
    }
    int ptt = (decoder.LastStatus & PTT_BIT) != 0 ? 1 : 0;
    if (ptt != sentPtt) {
      SendPtt(server, ptt);
      sentPtt = ptt;
    }
    if (!DrainReplies(server)) {
      return;
    }
  }
}

}  // namespace

// A whole decimal number from 1 to 65535, and nothing else; 0 otherwise.
int SmallNumber(const char* text) {
  char* end = nullptr;
  long value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && value > 0 && value <= 65535 ? static_cast<int>(value) : 0;
}

int main(int argc, char** argv) {
  bool polling = argc == 5 && std::strcmp(argv[3], "--poll-ms") == 0;
  int serverPort = argc >= 3 ? SmallNumber(argv[2]) : 0;
  int periodMs = polling ? SmallNumber(argv[4]) : 0;
  if ((argc != 3 && !polling) || serverPort == 0 || (polling && periodMs == 0)) {
    std::fprintf(stderr, "usage: ptt_relay NAME PORT [--poll-ms MS]\n");
    return 2;
  }
  int port = ConnectVirtualPort(argv[1]);
  int server = port < 0 ? -1 : ConnectServer(serverPort);
  if (server < 0) {
    std::fprintf(stderr, "ptt_relay: cannot connect (code %d)\n", errno);
    return 1;
  }
  if (polling) {
    RelayPolling(port, server, periodMs);
  } else {
    RelayBlocking(port, server);
  }
  return 0;
}
