#include "bench/rig_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr char REPLY[] = "RPRT 0\n";
constexpr int REPLY_LENGTH = sizeof REPLY - 1;

char StateOfLine(const char* line, int length) {
  if (length == 3 && line[0] == 'T' && line[1] == ' ' && (line[2] == '0' || line[2] == '1')) {
    return line[2];
  }
  return '?';
}

void Answer(int fd, int count) {
  static char replies[RIG_RECEIVE_MAX * REPLY_LENGTH];
  std::size_t length = 0;
  for (int i = 0; i < count; ++i) {
    std::memcpy(replies + length, REPLY, REPLY_LENGTH);
    length += REPLY_LENGTH;
  }
  send(fd, replies, length, MSG_NOSIGNAL);
}

}  // namespace

bool RigListen(RigServer* server) {
  server->Fd = -1;
  server->LineLength = 0;
  server->Listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (server->Listener < 0 ||
      bind(server->Listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(server->Listener, 1) != 0 ||
      getsockname(server->Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return false;
  }
  server->Port = ntohs(address.sin_port);
  return true;
}

bool RigAccept(RigServer* server, int timeoutMs) {
  pollfd entry{server->Listener, POLLIN, 0};
  if (poll(&entry, 1, timeoutMs) != 1) {
    return false;
  }
  server->Fd = accept4(server->Listener, nullptr, nullptr, SOCK_CLOEXEC);
  int one = 1;
  // The replies go out at once, as a rigctl server's do.
  setsockopt(server->Fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return server->Fd >= 0;
}

int RigReceive(RigServer* server, char* states) {
  char bytes[RIG_RECEIVE_MAX];
  ssize_t got = recv(server->Fd, bytes, sizeof bytes, MSG_DONTWAIT);
  if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
    return -1;
  }
  int lines = 0;
  for (ssize_t i = 0; i < got; ++i) {
    if (bytes[i] == '\n') {
      states[lines++] = StateOfLine(server->Line, server->LineLength);
      server->LineLength = 0;
    } else if (server->LineLength < static_cast<int>(sizeof server->Line)) {
      server->Line[server->LineLength++] = bytes[i];
    }
  }
  if (lines > 0) {
    Answer(server->Fd, lines);
  }
  return lines;
}

void RigClose(RigServer* server) {
  if (server->Fd >= 0) {
    close(server->Fd);
  }
  if (server->Listener >= 0) {
    close(server->Listener);
  }
  server->Fd = -1;
  server->Listener = -1;
}
