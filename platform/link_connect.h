// Connecting a link, shared by both platforms: a numeric IPv4 host is
// connected to at once, as it always was; a name or a literal is looked up
// at each attempt and each address found is tried in turn until one
// connects. What differs between the platforms is below: each
// platform_*.cpp gives it.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// One socket address, IPv4 or IPv6, as the platform's sockaddr lays it out.
struct SocketAddress {
  std::int32_t Length;
  alignas(8) unsigned char Bytes[32];
};

// The most addresses of one host that an attempt tries.
constexpr int MAX_HOST_ADDRESSES = 16;

// The numeric IPv4 destination (all zero but its family for an address
// without its port).
void NumericAddress(const LinkDestination* destination, SocketAddress* kept);
// Looks the host up and gives its first addresses with the destination's
// port. False, with the resolver's code noted as the last socket error,
// when the lookup fails or finds no address.
bool LookUpHost(const LinkDestination* destination, SocketAddress* addresses, int capacity,
                int* count);
// Notes a lookup that found nothing as the last socket error: the
// resolver's code, or the platform's "host not found" when the resolver
// was not asked or gave no address that a link can use.
void NoteLookupFailure(int resolverCode);
// A TCP socket for the address's family with the link's options, or
// NO_SOCKET with the error noted.
SocketHandle MakeLinkSocket(const SocketAddress* address);
// Notes code as the last socket error again.
void RestoreSocketError(int code);
// Connects, blocking; false with the error noted.
bool ConnectSocket(SocketHandle sock, const SocketAddress* address);
// Notes the error of a connect to an address without its port: the one a
// connect to the all-zero address gives on Windows.
void NoteNoPortError();
