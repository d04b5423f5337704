// Reading the command line into port and link settings. A pure function:
// it prints nothing and exits nothing, so every case can be tested.
#pragma once

#include "app/tables.h"

enum class CommandLineOutcome {
  Accepted,
  Usage,            // fewer than two arguments
  PortNameTooLong,  // RefusedArgument names it
  AddressTooLong,   // RefusedArgument names it
  TooManyPorts,
};

struct CommandLine {
  CommandLineOutcome Outcome;
  int RefusedArgument;  // index into argv of the refused argument, or 0
  int PairCount;
  char PortNames[MAX_PORTS][PORT_NAME_SIZE];
  char AddrText[MAX_PORTS][ADDR_TEXT_SIZE];
  Ipv4Destination Destination[MAX_PORTS];
};

// Pairs are argv[1..]: port name, then host:port. A last argument without a
// partner is ignored. Fills *result completely, whatever the outcome.
void ParseCommandLine(int argc, const char* const* argv, CommandLine* result);

// Copies an accepted command line into PortNames and Links. Runs before any
// thread starts.
void InstallCommandLine(const CommandLine& commandLine);

// Prints the refusal of a command line that was not accepted (not Usage).
void PrintRefusal(const CommandLine& commandLine, const char* const* argv);

// Converts a decimal port as atoi does and keeps its low 16 bits, in
// network byte order.
std::uint16_t PortToNetworkOrder(const char* text);
