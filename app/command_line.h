// The command line: options, then the pairs of port name and rigctl server
// address. The grammar lives here alone. Parsing is a pure function: it
// prints nothing and exits nothing, so every case can be tested.
//
//   tarnwick [OPTION...] PORT HOST:PORT [PORT HOST:PORT ...]
//
// Every argument that begins with "--", wherever it stands, is an option,
// and so are exactly "-h", "-V" and "/?". The other arguments are the pairs.
// An option with a value takes it after "=" in the same argument.
#pragma once

#include "app/tables.h"

enum class CommandLineOutcome {
  Accepted,
  Usage,            // fewer than two arguments besides the options
  Help,             // --help, -h or /?: wins over everything else
  Version,          // --version or -V: wins over everything else
  UnknownOption,    // RefusedArgument names it
  BadValue,         // an option's value; RefusedArgument names it
  PortNameTooLong,  // RefusedArgument names it
  AddressTooLong,   // RefusedArgument names it
  TooManyPorts,
};

struct CommandLine {
  CommandLineOutcome Outcome;
  int RefusedArgument;  // index into argv of the refused argument, or 0
  int PairCount;
  RunOptions Options;
  char PortNames[MAX_PORTS][PORT_NAME_SIZE];
  char AddrText[MAX_PORTS][ADDR_TEXT_SIZE];
  LinkDestination Destination[MAX_PORTS];
};

// Whether an argument is an option rather than a port name or an address.
bool IsOptionArgument(const char* argument);

// Reads argv[1..]. The pairs are the arguments that are not options, in
// order; a last one without a partner is ignored. Fills *result
// completely, whatever the outcome.
void ParseCommandLine(int argc, const char* const* argv, CommandLine* result);

// Copies an accepted command line into PortNames, Links and Options, each
// link in its starting state with its settings, and sets the console's
// time stamps. Runs before any thread starts.
void InstallCommandLine(const CommandLine& commandLine);

// Prints the refusal of a command line that was not accepted (nothing for
// Accepted, Usage, Help and Version).
void PrintRefusal(const CommandLine& commandLine, const char* const* argv);

// The usage with every option and what it does (--help).
void PrintHelp();
// "Tarnwick <version>" (--version).
void PrintVersion();

// Converts a decimal port as atoi does and keeps its low 16 bits, in
// network byte order.
std::uint16_t PortToNetworkOrder(const char* text);
