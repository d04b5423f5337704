#include "app/command_line.h"

#include <cstdlib>
#include <cstring>

#include "app/settings.h"
#include "app/version.h"
#include "core/console.h"

namespace {

enum class OptionKind { Flag, Seconds, Help, Version };

// One option: its spellings, how the help shows it, and what it does.
struct OptionEntry {
  const char* Spellings[3];  // unused spellings are nullptr
  const char* Shown;
  const char* Purpose;
  OptionKind Kind;
  int RunOptions::*Field;  // what a Flag turns on, or where Seconds go
};

// Seconds: a whole number of them, decimal digits only.
constexpr int MIN_SECONDS = 1;
constexpr int MAX_SECONDS = 86400;

const OptionEntry OptionTable[] = {
    {{"--fail-safe", nullptr, nullptr},
     "--fail-safe",
     "release PTT on exit or a port's stop; resend on connect",
     OptionKind::Flag,
     &RunOptions::FailSafe},
    {{"--reopen", nullptr, nullptr},
     "--reopen",
     "retry a port that failed or stopped, every 16 seconds",
     OptionKind::Flag,
     &RunOptions::Reopen},
    {{"--timestamps", nullptr, nullptr},
     "--timestamps",
     "begin every message with the local date and time",
     OptionKind::Flag,
     &RunOptions::Timestamps},
    {{"--tx-timeout", nullptr, nullptr},
     "--tx-timeout=SECONDS",
     "release PTT held on for SECONDS (1 to 86400)",
     OptionKind::Seconds,
     &RunOptions::TxTimeoutSeconds},
    {{"--verbose", nullptr, nullptr},
     "--verbose",
     "show each PTT change and each command refused",
     OptionKind::Flag,
     &RunOptions::Verbose},
    {{"--vfo", nullptr, nullptr},
     "--vfo",
     "send each command with the VFO currVFO (rigctld --vfo)",
     OptionKind::Flag,
     &RunOptions::Vfo},
    {{"--help", "-h", "/?"},
     "-h, --help, /?",
     "show this help and exit",
     OptionKind::Help,
     nullptr},
    {{"--version", "-V", nullptr},
     "-V, --version",
     "show the version and exit",
     OptionKind::Version,
     nullptr},
};

// Copies text into a buffer of the given size if it fits with its zero.
bool CopyIfFits(char* target, std::size_t size, const char* text) {
  std::size_t length = std::strlen(text);
  if (length >= size) {
    return false;
  }
  std::memcpy(target, text, length + 1);
  return true;
}

static_assert(HOST_TEXT_SIZE >= ADDR_TEXT_SIZE, "a host fits, whatever the address");

// A refused argument is shown up to this length, so its line stays whole.
constexpr int SHOWN_ARGUMENT_LENGTH = 300;

// Whether the argument is this spelling of the option: whole, or for an
// option with a value, followed by its "=" (a bare one is a missing value).
bool Spells(const OptionEntry& entry, const char* spelling, const char* argument) {
  std::size_t length = std::strlen(spelling);
  if (std::strncmp(spelling, argument, length) != 0) {
    return false;
  }
  return argument[length] == '\0' || (entry.Kind == OptionKind::Seconds && argument[length] == '=');
}

const OptionEntry* FindOption(const char* argument) {
  for (const OptionEntry& entry : OptionTable) {
    for (const char* spelling : entry.Spellings) {
      if (spelling != nullptr && Spells(entry, spelling, argument)) {
        return &entry;
      }
    }
  }
  return nullptr;
}

// The seconds after "=": decimal digits only, MIN_SECONDS to MAX_SECONDS.
// Returns 0 for anything else.
int ReadSeconds(const char* argument) {
  const char* equals = std::strchr(argument, '=');
  if (equals == nullptr || equals[1] == '\0') {
    return 0;
  }
  long seconds = 0;
  for (const char* digit = equals + 1; *digit != '\0'; ++digit) {
    if (*digit < '0' || *digit > '9' || seconds > MAX_SECONDS) {
      return 0;
    }
    seconds = seconds * 10 + (*digit - '0');
  }
  return seconds >= MIN_SECONDS && seconds <= MAX_SECONDS ? static_cast<int>(seconds) : 0;
}

// The arguments that are not options: how many, and where the first ones
// stand in argv (more than the pairs can use are only counted).
struct Positionals {
  int Count;
  int Index[2 * MAX_PORTS + 1];
};

// What the options on the line say, and which arguments are the pairs.
struct OptionScan {
  const OptionEntry* Winner;  // the first --help or --version
  // The first option refused (unknown, or its value bad), or 0.
  CommandLineOutcome Refusal;
  int RefusedArgument;
  RunOptions Options;
  Positionals Pairs;
};

void RefuseOption(int index, CommandLineOutcome refusal, OptionScan* scan) {
  if (scan->RefusedArgument == 0) {
    scan->RefusedArgument = index;
    scan->Refusal = refusal;
  }
}

void NoteOption(int index, const char* argument, OptionScan* scan) {
  const OptionEntry* entry = FindOption(argument);
  if (entry == nullptr) {
    RefuseOption(index, CommandLineOutcome::UnknownOption, scan);
  } else if (entry->Kind == OptionKind::Flag) {
    scan->Options.*(entry->Field) = 1;
  } else if (entry->Kind == OptionKind::Seconds) {
    int seconds = ReadSeconds(argument);
    if (seconds == 0) {
      RefuseOption(index, CommandLineOutcome::BadValue, scan);
    }
    scan->Options.*(entry->Field) = seconds;  // given twice, the last stands
  } else if (scan->Winner == nullptr) {
    scan->Winner = entry;
  }
}

void ScanArguments(int argc, const char* const* argv, OptionScan* scan) {
  std::memset(scan, 0, sizeof *scan);
  Positionals& pairs = scan->Pairs;
  for (int i = 1; i < argc; ++i) {
    if (IsOptionArgument(argv[i])) {
      NoteOption(i, argv[i], scan);
      continue;
    }
    if (pairs.Count < static_cast<int>(sizeof pairs.Index / sizeof pairs.Index[0])) {
      pairs.Index[pairs.Count] = i;
    }
    ++pairs.Count;
  }
}

// Where the host ends and the port begins: "[HOST]:PORT" for a literal
// address, which may hold colons itself; otherwise HOST:PORT split at the
// first colon, as it always was. nullptr when there is no port.
const char* FindPortColon(const char* address) {
  if (address[0] == '[') {
    const char* bracket = std::strchr(address, ']');
    return bracket != nullptr && bracket[1] == ':' ? bracket + 1 : nullptr;
  }
  return std::strchr(address, ':');
}

// An address without its port leaves the destination NoPort and all zero:
// every connect of this link fails.
void ParseDestination(const char* address, LinkDestination* destination) {
  const char* colon = FindPortColon(address);
  if (colon == nullptr) {
    return;
  }
  bool literal = address[0] == '[';
  const char* host = literal ? address + 1 : address;
  std::size_t hostLength = static_cast<std::size_t>(colon - host) - (literal ? 1 : 0);
  std::memcpy(destination->Host, host, hostLength);
  destination->Host[hostLength] = '\0';
  destination->PortNetworkOrder = PortToNetworkOrder(colon + 1);
  if (literal) {
    destination->Kind = HostKind::Literal;
  } else if (PlatformParseIpv4(destination->Host, &destination->Ipv4NetworkOrder)) {
    // Used as the standard conversion gives it, as it always was.
    destination->Kind = HostKind::Ipv4;
    std::memset(destination->Host, 0, sizeof destination->Host);
  } else {
    destination->Kind = HostKind::Name;
  }
}

void Refuse(CommandLine* result, CommandLineOutcome outcome, int argument) {
  std::memset(result, 0, sizeof *result);
  result->Outcome = outcome;
  result->RefusedArgument = argument;
}

// Copies the pairs into the tables; false, with the refusal in *result,
// when an argument does not fit.
bool ReadPairs(const char* const* argv, const Positionals& positionals, CommandLine* result) {
  int pairs = positionals.Count / 2;
  const int* pair = positionals.Index;
  for (int k = 0; k < pairs; ++k, pair += 2) {
    int portArg = pair[0];
    int addressArg = pair[1];
    if (!CopyIfFits(result->PortNames[k], PORT_NAME_SIZE, argv[portArg])) {
      Refuse(result, CommandLineOutcome::PortNameTooLong, portArg);
      return false;
    }
    if (!CopyIfFits(result->AddrText[k], ADDR_TEXT_SIZE, argv[addressArg])) {
      Refuse(result, CommandLineOutcome::AddressTooLong, addressArg);
      return false;
    }
    ParseDestination(argv[addressArg], &result->Destination[k]);
  }
  result->PairCount = pairs;
  return true;
}

}  // namespace

bool IsOptionArgument(const char* argument) {
  return std::strncmp(argument, "--", 2) == 0 || std::strcmp(argument, "-h") == 0 ||
         std::strcmp(argument, "-V") == 0 || std::strcmp(argument, "/?") == 0;
}

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
  OptionScan scan;
  ScanArguments(argc, argv, &scan);
  if (scan.Winner != nullptr) {
    result->Outcome = scan.Winner->Kind == OptionKind::Help ? CommandLineOutcome::Help
                                                            : CommandLineOutcome::Version;
    return;
  }
  if (scan.RefusedArgument != 0) {
    Refuse(result, scan.Refusal, scan.RefusedArgument);
    return;
  }
  if (scan.Pairs.Count < 2) {
    result->Outcome = CommandLineOutcome::Usage;
    return;
  }
  if (scan.Pairs.Count / 2 > MAX_PORTS) {
    result->Outcome = CommandLineOutcome::TooManyPorts;
    return;
  }
  if (ReadPairs(argv, scan.Pairs, result)) {
    result->Options = scan.Options;
    result->Outcome = CommandLineOutcome::Accepted;
  }
}

void InstallCommandLine(const CommandLine& commandLine) {
  Options = commandLine.Options;
  SetTimestamps(Options.Timestamps != 0);
  LinkSettings settings = LinkSettingsFrom(Options);
  for (int k = 0; k < MAX_PORTS; ++k) {
    std::memcpy(PortNames[k], commandLine.PortNames[k], PORT_NAME_SIZE);
    InitLink(&Links[k], commandLine.AddrText[k], commandLine.Destination[k], settings);
  }
}

void PrintRefusal(const CommandLine& commandLine, const char* const* argv) {
  switch (commandLine.Outcome) {
    case CommandLineOutcome::UnknownOption:
      Print("Unknown option: %.*s\r\n", SHOWN_ARGUMENT_LENGTH, argv[commandLine.RefusedArgument]);
      break;
    case CommandLineOutcome::BadValue:
      Print("Bad value for --tx-timeout (%d to %d seconds): %.*s\r\n", MIN_SECONDS, MAX_SECONDS,
            SHOWN_ARGUMENT_LENGTH, argv[commandLine.RefusedArgument]);
      break;
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
    case CommandLineOutcome::Help:
    case CommandLineOutcome::Version:
      break;
  }
}

void PrintHelp() {
  Print("Tarnwick %s - carries PTT from serial-port lines to rigctl servers\r\n", TARNWICK_VERSION);
  Print("Usage: tarnwick [OPTION...] PORT HOST:PORT [PORT HOST:PORT ...]\r\n");
  Print(
      "  Up to %d pairs of a port (a QVN virtual port, or a COM port whose CTS line is\r\n"
      "  PTT) and the address of the rigctl server that gets its PTT changes, for\r\n"
      "  example: tarnwick com10 127.0.0.1:4532\r\n",
      MAX_PORTS);
  Print("Options:\r\n");
  for (const OptionEntry& entry : OptionTable) {
    Print("  %-22s%s\r\n", entry.Shown, entry.Purpose);
  }
}

void PrintVersion() { Print("Tarnwick %s\r\n", TARNWICK_VERSION); }
