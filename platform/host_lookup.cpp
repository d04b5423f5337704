// Looking a link's host up, the same on both platforms: getaddrinfo and the
// socket address records are laid out alike in Winsock and POSIX.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstddef>
#include <cstring>

#include "platform/link_connect.h"

namespace {

// Keeps an IPv4 or IPv6 address, with the port put in: it sits at the same
// place in both.
bool KeepAddress(const addrinfo* found, std::uint16_t portNetworkOrder, SocketAddress* kept) {
  static_assert(sizeof(sockaddr_in6) <= sizeof kept->Bytes, "an IPv6 address fits");
  static_assert(offsetof(sockaddr_in, sin_port) == offsetof(sockaddr_in6, sin6_port),
                "the port sits at the same place");
  if ((found->ai_family != AF_INET && found->ai_family != AF_INET6) ||
      found->ai_addrlen > sizeof kept->Bytes) {
    return false;
  }
  std::memcpy(kept->Bytes, found->ai_addr, found->ai_addrlen);
  std::memcpy(kept->Bytes + offsetof(sockaddr_in, sin_port), &portNetworkOrder,
              sizeof portNetworkOrder);
  kept->Length = static_cast<std::int32_t>(found->ai_addrlen);
  return true;
}

}  // namespace

void NumericAddress(const LinkDestination* destination, SocketAddress* kept) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = destination->PortNetworkOrder;
  address.sin_addr.s_addr = destination->Ipv4NetworkOrder;
  std::memcpy(kept->Bytes, &address, sizeof address);
  kept->Length = sizeof address;
}

// An empty host is no name: it is not found without asking the resolver,
// whose answer for it differs from one system to the next (Windows gives
// this machine's own addresses). A literal is read as a number, never
// looked up.
bool LookUpHost(const LinkDestination* destination, SocketAddress* addresses, int capacity,
                int* count) {
  *count = 0;
  addrinfo* found = nullptr;
  int code = 0;
  if (destination->Host[0] != '\0') {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = destination->Kind == HostKind::Literal ? AI_NUMERICHOST : 0;
    code = getaddrinfo(destination->Host, nullptr, &hints, &found);
  }
  for (addrinfo* each = found; each != nullptr && *count < capacity; each = each->ai_next) {
    if (KeepAddress(each, destination->PortNetworkOrder, &addresses[*count])) {
      ++*count;
    }
  }
  if (found != nullptr) {
    freeaddrinfo(found);
  }
  if (*count == 0) {
    NoteLookupFailure(code);
    return false;
  }
  return true;
}
