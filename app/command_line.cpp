#include "app/command_line.h"

#include <cstdlib>
#include <cstring>

#include "app/console.h"

namespace {

// Copies text into a buffer of the given size if it fits with its zero.
bool CopyIfFits(char* target, std::size_t size, const char* text) {
  std::size_t length = std::strlen(text);
  if (length >= size) {
    return false;
  }
  std::memcpy(target, text, length + 1);
  return true;
}

// A refused argument is shown up to this length, so its line stays whole.
constexpr int SHOWN_ARGUMENT_LENGTH = 300;

int PairCountOf(int argc) { return (argc - 1) / 2; }

void ParseDestination(const char* address, Ipv4Destination* destination) {
  const char* colon = std::strchr(address, ':');
  if (colon == nullptr) {
    return;  // stays all zero: every connect of this link fails
  }
  char host[ADDR_TEXT_SIZE];
  std::size_t hostLength = static_cast<std::size_t>(colon - address);
  std::memcpy(host, address, hostLength);
  host[hostLength] = '\0';
  destination->Family = PlatformAddressFamilyInet();
  destination->AddressNetworkOrder = PlatformInetAddr(host);
  destination->PortNetworkOrder = PortToNetworkOrder(colon + 1);
}

}  // namespace

std::uint16_t PortToNetworkOrder(const char* text) {
  // strtol reads the same digits as atoi and gives the same value wherever
  // atoi's is defined; unlike atoi it is defined for any input, including a
  // number too large for an int.
  auto port = static_cast<std::uint16_t>(std::strtol(text, nullptr, 10));
  // Network byte order is big-endian whatever the host's order is.
  std::uint16_t networkOrder = 0;
  auto* bytes = reinterpret_cast<unsigned char*>(&networkOrder);
  bytes[0] = static_cast<unsigned char>(port >> 8);
  bytes[1] = static_cast<unsigned char>(port & 0xFF);
  return networkOrder;
}

void ParseCommandLine(int argc, const char* const* argv, CommandLine* result) {
  std::memset(result, 0, sizeof *result);
  if (argc < 3) {
    result->Outcome = CommandLineOutcome::Usage;
    return;
  }
  int pairs = PairCountOf(argc);
  if (pairs > MAX_PORTS) {
    result->Outcome = CommandLineOutcome::TooManyPorts;
    return;
  }
  for (int k = 0; k < pairs; ++k) {
    int portArg = 2 * k + 1;
    int addressArg = 2 * k + 2;
    if (!CopyIfFits(result->PortNames[k], PORT_NAME_SIZE, argv[portArg])) {
      std::memset(result, 0, sizeof *result);
      result->Outcome = CommandLineOutcome::PortNameTooLong;
      result->RefusedArgument = portArg;
      return;
    }
    if (!CopyIfFits(result->AddrText[k], ADDR_TEXT_SIZE, argv[addressArg])) {
      std::memset(result, 0, sizeof *result);
      result->Outcome = CommandLineOutcome::AddressTooLong;
      result->RefusedArgument = addressArg;
      return;
    }
    ParseDestination(argv[addressArg], &result->Destination[k]);
  }
  result->PairCount = pairs;
  result->Outcome = CommandLineOutcome::Accepted;
}

void InstallCommandLine(const CommandLine& commandLine) {
  for (int k = 0; k < MAX_PORTS; ++k) {
    std::memcpy(PortNames[k], commandLine.PortNames[k], PORT_NAME_SIZE);
    HamlibLink& link = Links[k];
    std::memcpy(link.AddrText, commandLine.AddrText[k], ADDR_TEXT_SIZE);
    link.Destination = commandLine.Destination[k];
    link.Sock.store(NO_SOCKET);
    PlatformLockInit(&link.SendLock);
  }
}

void PrintRefusal(const CommandLine& commandLine, const char* const* argv) {
  switch (commandLine.Outcome) {
    case CommandLineOutcome::PortNameTooLong:
      Print("Port name too long (at most %d characters): %.*s\r\n", PORT_NAME_SIZE - 1,
            SHOWN_ARGUMENT_LENGTH, argv[commandLine.RefusedArgument]);
      break;
    case CommandLineOutcome::AddressTooLong:
      Print("Address too long (at most %d characters): %.*s\r\n", ADDR_TEXT_SIZE - 1,
            SHOWN_ARGUMENT_LENGTH, argv[commandLine.RefusedArgument]);
      break;
    case CommandLineOutcome::TooManyPorts:
      Print("Too many ports (at most %d)\r\n", MAX_PORTS);
      break;
    case CommandLineOutcome::Accepted:
    case CommandLineOutcome::Usage:
      break;
  }
}
