// Fuzzes the command-line parser. The input is the arguments after the
// program name, separated by zero bytes (an empty input is no argument).
// Arguments that begin with "--" are options wherever they stand. Every
// argument and the argv array sit in heap blocks of exactly their
// size and the result in one of its own, so AddressSanitizer sees any read
// or write past them. Each outcome is checked against a plain reading of
// the limits, and each table against the arguments it came from.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "core/console.h"

namespace {

struct Arguments {
  std::vector<std::unique_ptr<char[]>> Texts;
  std::unique_ptr<const char*[]> Argv;
  int Argc;
};

std::unique_ptr<char[]> CopyText(const std::uint8_t* bytes, std::size_t length) {
  std::unique_ptr<char[]> text(new char[length + 1]);
  std::memcpy(text.get(), bytes, length);
  text[length] = '\0';
  return text;
}

constexpr char PROGRAM_NAME[] = "tarnwick";

void BuildArguments(const std::uint8_t* data, std::size_t size, Arguments* arguments) {
  arguments->Texts.push_back(
      CopyText(reinterpret_cast<const std::uint8_t*>(PROGRAM_NAME), sizeof PROGRAM_NAME - 1));
  if (size > 0) {
    std::size_t start = 0;
    for (std::size_t i = 0; i <= size; ++i) {
      if (i == size || data[i] == 0) {
        arguments->Texts.push_back(CopyText(data + start, i - start));
        start = i + 1;
      }
    }
  }
  arguments->Argc = static_cast<int>(arguments->Texts.size());
  arguments->Argv = std::make_unique<const char*[]>(arguments->Texts.size() + 1);
  for (std::size_t i = 0; i < arguments->Texts.size(); ++i) {
    arguments->Argv[i] = arguments->Texts[i].get();
  }
  arguments->Argv[arguments->Texts.size()] = nullptr;
}

// The longest arguments the tables hold.
constexpr std::size_t LONGEST_PORT_NAME = 63;
constexpr std::size_t LONGEST_ADDRESS = 163;

struct Expected {
  CommandLineOutcome Outcome;
  int RefusedArgument;
  int PairCount;
  RunOptions Options;
  std::vector<int> Pairs;  // argv indexes of the arguments that are not options
};

enum class Spelling {
  NotAnOption,
  Unknown,
  Help,
  Version,
  FailSafe,
  Reopen,
  Timestamps,
  Verbose,
  Vfo,
  TxTimeout,
  BadTxTimeout
};

// The seconds of "--tx-timeout=N", read plainly: digits only, their value
// from 1 to 86400 (leading zeros allowed); 0 for anything else.
int TxTimeoutSeconds(const std::string& argument) {
  const std::string prefix = "--tx-timeout=";
  if (argument.compare(0, prefix.size(), prefix) != 0) {
    return 0;
  }
  std::string digits = argument.substr(prefix.size());
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) {
    return 0;
  }
  digits.erase(0, digits.find_first_not_of('0'));
  if (digits.size() > 5) {
    return 0;
  }
  int seconds = digits.empty() ? 0 : std::stoi(digits);
  return seconds <= 86400 ? seconds : 0;
}

Spelling SpellingOf(const std::string& argument) {
  if (argument == "--help" || argument == "-h" || argument == "/?") return Spelling::Help;
  if (argument == "--version" || argument == "-V") return Spelling::Version;
  if (argument == "--fail-safe") return Spelling::FailSafe;
  if (argument == "--reopen") return Spelling::Reopen;
  if (argument == "--timestamps") return Spelling::Timestamps;
  if (argument == "--verbose") return Spelling::Verbose;
  if (argument == "--vfo") return Spelling::Vfo;
  if (argument == "--tx-timeout" || argument.compare(0, 13, "--tx-timeout=") == 0) {
    return TxTimeoutSeconds(argument) != 0 ? Spelling::TxTimeout : Spelling::BadTxTimeout;
  }
  return argument.compare(0, 2, "--") == 0 ? Spelling::Unknown : Spelling::NotAnOption;
}

// The grammar read plainly: the first --help or --version wins; then the
// first unknown option, or option with a bad value, is refused; the rest
// are the pairs, with too few of them, too many, and the first that does
// not fit its table, in that order. The last time-out given stands.
Expected ExpectedOutcome(int argc, const char* const* argv) {
  Expected expected{CommandLineOutcome::Accepted, 0, 0, RunOptions{}, {}};
  int unknown = 0;
  CommandLineOutcome refusal = CommandLineOutcome::UnknownOption;
  for (int i = 1; i < argc; ++i) {
    switch (SpellingOf(argv[i])) {
      case Spelling::Help:
        return {CommandLineOutcome::Help, 0, 0, RunOptions{}, {}};
      case Spelling::Version:
        return {CommandLineOutcome::Version, 0, 0, RunOptions{}, {}};
      case Spelling::Unknown:
      case Spelling::BadTxTimeout:
        if (unknown == 0) {
          unknown = i;
          refusal = SpellingOf(argv[i]) == Spelling::Unknown ? CommandLineOutcome::UnknownOption
                                                             : CommandLineOutcome::BadValue;
        }
        break;
      case Spelling::TxTimeout:
        expected.Options.TxTimeoutSeconds = TxTimeoutSeconds(argv[i]);
        break;
      case Spelling::FailSafe:
        expected.Options.FailSafe = 1;
        break;
      case Spelling::Reopen:
        expected.Options.Reopen = 1;
        break;
      case Spelling::Timestamps:
        expected.Options.Timestamps = 1;
        break;
      case Spelling::Verbose:
        expected.Options.Verbose = 1;
        break;
      case Spelling::Vfo:
        expected.Options.Vfo = 1;
        break;
      case Spelling::NotAnOption:
        expected.Pairs.push_back(i);
        break;
    }
  }
  if (unknown != 0) {
    return {refusal, unknown, 0, RunOptions{}, {}};
  }
  if (expected.Pairs.size() < 2) {
    return {CommandLineOutcome::Usage, 0, 0, RunOptions{}, {}};
  }
  int pairs = static_cast<int>(expected.Pairs.size() / 2);
  if (pairs > MAX_PORTS) {
    return {CommandLineOutcome::TooManyPorts, 0, 0, RunOptions{}, {}};
  }
  for (int k = 0; k < pairs; ++k) {
    int port = expected.Pairs[2 * k];
    int address = expected.Pairs[2 * k + 1];
    if (std::strlen(argv[port]) > LONGEST_PORT_NAME) {
      return {CommandLineOutcome::PortNameTooLong, port, 0, RunOptions{}, {}};
    }
    if (std::strlen(argv[address]) > LONGEST_ADDRESS) {
      return {CommandLineOutcome::AddressTooLong, address, 0, RunOptions{}, {}};
    }
  }
  expected.PairCount = pairs;
  return expected;
}

[[noreturn]] void Fail(const char* what, int argc, const CommandLine& parsed) {
  std::fprintf(stderr, "command line (%d arguments): %s; outcome %d, refused %d, pairs %d\n",
               argc - 1, what, static_cast<int>(parsed.Outcome), parsed.RefusedArgument,
               parsed.PairCount);
  std::abort();
}

bool AllZero(const void* bytes, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(bytes);
  for (std::size_t i = 0; i < size; ++i) {
    if (p[i] != 0) {
      return false;
    }
  }
  return true;
}

bool EmptyEntry(const CommandLine& parsed, int k) {
  return AllZero(parsed.PortNames[k], PORT_NAME_SIZE) &&
         AllZero(parsed.AddrText[k], ADDR_TEXT_SIZE) &&
         AllZero(&parsed.Destination[k], sizeof parsed.Destination[k]);
}

// A copy that ends within its table and says what the argument says.
bool HoldsText(const char* table, std::size_t size, const char* argument) {
  return std::memchr(table, '\0', size) != nullptr && std::strcmp(table, argument) == 0;
}

// The destination an address should give, read plainly: "[HOST]:PORT" is
// a literal; otherwise the address splits at its first colon, and a host
// that inet_aton takes (the conversion inet_addr makes, which cannot tell
// 255.255.255.255 from a failure) is an IPv4 address, any other a name.
// Without a port the destination is all zero.
bool DestinationFits(const LinkDestination& destination, const char* address) {
  const std::string text(address);
  std::string host;
  std::string port;
  HostKind kind = HostKind::NoPort;
  if (!text.empty() && text[0] == '[') {
    std::size_t bracket = text.find(']');
    if (bracket != std::string::npos && bracket + 1 < text.size() && text[bracket + 1] == ':') {
      kind = HostKind::Literal;
      host = text.substr(1, bracket - 1);
      port = text.substr(bracket + 2);
    }
  } else if (text.find(':') != std::string::npos) {
    std::size_t colon = text.find(':');
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    in_addr numeric{};
    kind = inet_aton(host.c_str(), &numeric) != 0 ? HostKind::Ipv4 : HostKind::Name;
  }
  if (kind == HostKind::NoPort) {
    return AllZero(&destination, sizeof destination);
  }
  // The port as atoi reads it (strtol: the same, and defined for numbers
  // too large for an int), low 16 bits, most significant byte first.
  auto portValue = static_cast<unsigned>(std::strtol(port.c_str(), nullptr, 10)) & 0xFFFFu;
  const auto* portBytes = reinterpret_cast<const unsigned char*>(&destination.PortNetworkOrder);
  bool portFits = portBytes[0] == (portValue >> 8) && portBytes[1] == (portValue & 0xFFu);
  const std::string expectedHost = kind == HostKind::Ipv4 ? std::string() : host;
  std::uint32_t expectedIpv4 = kind == HostKind::Ipv4 ? inet_addr(host.c_str()) : 0;
  return destination.Kind == kind && portFits && destination.Ipv4NetworkOrder == expectedIpv4 &&
         HoldsText(destination.Host, HOST_TEXT_SIZE, expectedHost.c_str()) &&
         AllZero(destination.Host + expectedHost.size(), HOST_TEXT_SIZE - expectedHost.size());
}

bool SameDestination(const LinkDestination& a, const LinkDestination& b) {
  return a.Kind == b.Kind && a.PortNetworkOrder == b.PortNetworkOrder &&
         a.Ipv4NetworkOrder == b.Ipv4NetworkOrder &&
         std::memcmp(a.Host, b.Host, HOST_TEXT_SIZE) == 0;
}

void CheckEntries(int argc, const char* const* argv, const Expected& expected,
                  const CommandLine& parsed) {
  for (int k = 0; k < MAX_PORTS; ++k) {
    if (k >= parsed.PairCount) {
      if (!EmptyEntry(parsed, k)) {
        Fail("an entry beyond the pairs is not empty", argc, parsed);
      }
      continue;
    }
    const char* port = argv[expected.Pairs[2 * k]];
    const char* address = argv[expected.Pairs[2 * k + 1]];
    if (!HoldsText(parsed.PortNames[k], PORT_NAME_SIZE, port)) {
      Fail("a port name is not its argument, zero-terminated in its table", argc, parsed);
    }
    if (!HoldsText(parsed.AddrText[k], ADDR_TEXT_SIZE, address)) {
      Fail("an address is not its argument, zero-terminated in its table", argc, parsed);
    }
    if (!DestinationFits(parsed.Destination[k], address)) {
      Fail("a destination does not match its address", argc, parsed);
    }
  }
}

std::string Printed;

void CaptureSink(const char* bytes, std::size_t count) { Printed.append(bytes, count); }

// The refusal line: the limit and the refused argument (its first 300
// characters), or the pair limit; nothing for the other outcomes.
std::string ExpectedRefusal(const CommandLine& parsed, const char* const* argv) {
  std::string shown;
  if (parsed.RefusedArgument > 0) {
    shown = std::string(argv[parsed.RefusedArgument]).substr(0, 300);
  }
  switch (parsed.Outcome) {
    case CommandLineOutcome::PortNameTooLong:
      return "Port name too long (at most 63 characters): " + shown + "\r\n";
    case CommandLineOutcome::AddressTooLong:
      return "Address too long (at most 163 characters): " + shown + "\r\n";
    case CommandLineOutcome::TooManyPorts:
      return "Too many ports (at most 4)\r\n";
    case CommandLineOutcome::UnknownOption:
      return "Unknown option: " + shown + "\r\n";
    case CommandLineOutcome::BadValue:
      return "Bad value for --tx-timeout (1 to 86400 seconds): " + shown + "\r\n";
    default:
      return "";
  }
}

void CheckRefusal(int argc, const char* const* argv, const CommandLine& parsed) {
  Printed.clear();
  SetConsoleSink(CaptureSink);
  PrintRefusal(parsed, argv);
  SetConsoleSink(nullptr);
  if (Printed != ExpectedRefusal(parsed, argv)) {
    Fail("the refusal line is not the expected one", argc, parsed);
  }
}

void CheckInstalled(int argc, const CommandLine& parsed) {
  InstallCommandLine(parsed);
  for (int k = 0; k < MAX_PORTS; ++k) {
    if (std::memcmp(PortNames[k], parsed.PortNames[k], PORT_NAME_SIZE) != 0 ||
        std::memcmp(Links[k].AddrText, parsed.AddrText[k], ADDR_TEXT_SIZE) != 0 ||
        !SameDestination(Links[k].Destination, parsed.Destination[k]) ||
        Links[k].Sock.load() != NO_SOCKET) {
      Fail("the installed tables differ from the command line", argc, parsed);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Arguments arguments{};
  BuildArguments(data, size, &arguments);
  int argc = arguments.Argc;
  const char* const* argv = arguments.Argv.get();

  // Each input stands for a process of its own: no option of an earlier
  // accepted line may be in force (--timestamps would stamp the refusal).
  Options = RunOptions{};
  SetTimestamps(false);

  // Garbage first: the parser must fill the whole result, whatever it decides.
  auto parsed = std::make_unique<CommandLine>();
  std::memset(parsed.get(), 0xA5, sizeof(CommandLine));
  ParseCommandLine(argc, argv, parsed.get());

  Expected expected = ExpectedOutcome(argc, argv);
  if (parsed->Outcome != expected.Outcome) {
    Fail("wrong outcome", argc, *parsed);
  }
  if (parsed->RefusedArgument != expected.RefusedArgument) {
    Fail("wrong refused argument", argc, *parsed);
  }
  if (parsed->PairCount != expected.PairCount || parsed->PairCount > MAX_PORTS) {
    Fail("wrong pair count", argc, *parsed);
  }
  const RunOptions& options = parsed->Options;
  if (options.FailSafe != expected.Options.FailSafe || options.Reopen != expected.Options.Reopen ||
      options.Timestamps != expected.Options.Timestamps ||
      options.TxTimeoutSeconds != expected.Options.TxTimeoutSeconds ||
      options.Verbose != expected.Options.Verbose || options.Vfo != expected.Options.Vfo) {
    Fail("wrong options", argc, *parsed);
  }
  CheckEntries(argc, argv, expected, *parsed);
  CheckRefusal(argc, argv, *parsed);
  if (parsed->Outcome == CommandLineOutcome::Accepted) {
    CheckInstalled(argc, *parsed);
  }
  return 0;
}
