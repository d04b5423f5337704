#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/test_support.h"

namespace {

struct ParseCase {
  const char* Title;
  std::vector<std::string> Arguments;  // after the program name
  CommandLineOutcome Outcome;
  int PairCount;
  int RefusedArgument;
  RunOptions Options = {};
};

CommandLine Parse(const std::vector<std::string>& arguments) {
  std::vector<const char*> argv{"tarnwick"};
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  static CommandLine parsed;
  ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &parsed);
  return parsed;
}

void CheckParse(const ParseCase& c) {
  SCOPED_TRACE(c.Title);
  CommandLine parsed = Parse(c.Arguments);
  EXPECT_EQ(parsed.Outcome, c.Outcome);
  EXPECT_EQ(parsed.PairCount, c.PairCount);
  EXPECT_EQ(parsed.RefusedArgument, c.RefusedArgument);
  EXPECT_EQ(parsed.Options.FailSafe, c.Options.FailSafe);
  EXPECT_EQ(parsed.Options.Reopen, c.Options.Reopen);
  EXPECT_EQ(parsed.Options.Timestamps, c.Options.Timestamps);
  EXPECT_EQ(parsed.Options.TxTimeoutSeconds, c.Options.TxTimeoutSeconds);
  EXPECT_EQ(parsed.Options.Verbose, c.Options.Verbose);
  EXPECT_EQ(parsed.Options.Vfo, c.Options.Vfo);
}

std::uint32_t AddressBytes(unsigned a, unsigned b, unsigned c, unsigned d) {
  std::uint32_t address = 0;
  unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                            static_cast<unsigned char>(c), static_cast<unsigned char>(d)};
  std::memcpy(&address, bytes, sizeof address);
  return address;
}

std::uint16_t PortBytes(unsigned port) {
  std::uint16_t value = 0;
  unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                            static_cast<unsigned char>(port & 0xFF)};
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

const std::string PORT_63(63, 'p');
const std::string PORT_64(64, 'p');
const std::string ADDRESS_163 = "127.0.0.1:" + std::string(153, '4');
const std::string ADDRESS_164 = "127.0.0.1:" + std::string(154, '4');

TEST(CommandLine, OutcomesAndPairCounts) {
  const ParseCase cases[] = {
      {"no argument", {}, CommandLineOutcome::Usage, 0, 0},
      {"one argument", {"com10"}, CommandLineOutcome::Usage, 0, 0},
      {"one pair", {"com10", "127.0.0.1:4532"}, CommandLineOutcome::Accepted, 1, 0},
      {"third argument ignored", {"a", "127.0.0.1:1", "b"}, CommandLineOutcome::Accepted, 1, 0},
      {"two pairs", {"a", "127.0.0.1:1", "b", "127.0.0.1:2"}, CommandLineOutcome::Accepted, 2, 0},
      {"four pairs and a spare",
       {"a", "1", "b", "2", "c", "3", "d", "4", "e"},
       CommandLineOutcome::Accepted,
       4,
       0},
      {"five pairs",
       {"a", "1", "b", "2", "c", "3", "d", "4", "e", "5"},
       CommandLineOutcome::TooManyPorts,
       0,
       0},
      {"63-character port", {PORT_63, "127.0.0.1:1"}, CommandLineOutcome::Accepted, 1, 0},
      {"64-character port", {PORT_64, "127.0.0.1:1"}, CommandLineOutcome::PortNameTooLong, 0, 1},
      {"long port in the third pair",
       {"a", "1", "b", "2", PORT_64, "3"},
       CommandLineOutcome::PortNameTooLong,
       0,
       5},
      {"163-character address", {"a", ADDRESS_163}, CommandLineOutcome::Accepted, 1, 0},
      {"164-character address", {"a", ADDRESS_164}, CommandLineOutcome::AddressTooLong, 0, 2},
  };
  for (const ParseCase& c : cases) {
    CheckParse(c);
  }
}

TEST(CommandLine, OptionsStandAnywhereAndThePairsAreTheRest) {
  const RunOptions none{0, 0, 0, 0, 0, 0};
  const RunOptions failSafe{1, 0, 0, 0, 0, 0};
  const RunOptions all{1, 1, 1, 0, 1, 1};
  const ParseCase cases[] = {
      {"before the pairs",
       {"--fail-safe", "com1", "127.0.0.1:1"},
       CommandLineOutcome::Accepted,
       1,
       0,
       failSafe},
      // Not a partnerless last argument: an option, which must not be dropped.
      {"after the pairs",
       {"com1", "127.0.0.1:1", "--fail-safe"},
       CommandLineOutcome::Accepted,
       1,
       0,
       failSafe},
      {"between a port and its address",
       {"com1", "--reopen", "127.0.0.1:1", "--timestamps", "--verbose", "--fail-safe", "--vfo"},
       CommandLineOutcome::Accepted,
       1,
       0,
       all},
      {"given twice",
       {"--fail-safe", "--fail-safe", "a", "1"},
       CommandLineOutcome::Accepted,
       1,
       0,
       failSafe},
      {"no option", {"a", "1", "b"}, CommandLineOutcome::Accepted, 1, 0, none},
      {"options are not pairs", {"--fail-safe", "com1"}, CommandLineOutcome::Usage, 0, 0, none},
      {"only options", {"--reopen", "--timestamps"}, CommandLineOutcome::Usage, 0, 0, none},
      {"unknown",
       {"--bogus", "com1", "127.0.0.1:1"},
       CommandLineOutcome::UnknownOption,
       0,
       1,
       none},
      {"unknown after the pairs", {"a", "1", "--"}, CommandLineOutcome::UnknownOption, 0, 3, none},
      {"the first unknown is named",
       {"--x", "a", "--y", "1"},
       CommandLineOutcome::UnknownOption,
       0,
       1,
       none},
      {"spelled with a value",
       {"--reopen=1", "a", "1"},
       CommandLineOutcome::UnknownOption,
       0,
       1,
       none},
      {"in capitals", {"--HELP"}, CommandLineOutcome::UnknownOption, 0, 1, none},
      {"unknown before too few pairs", {"--x"}, CommandLineOutcome::UnknownOption, 0, 1, none},
      {"one dash is a port name", {"-x", "127.0.0.1:1"}, CommandLineOutcome::Accepted, 1, 0, none},
      {"--help", {"--help"}, CommandLineOutcome::Help, 0, 0, none},
      {"-h", {"a", "1", "-h"}, CommandLineOutcome::Help, 0, 0, none},
      {"/?", {"/?"}, CommandLineOutcome::Help, 0, 0, none},
      {"--version", {"--version"}, CommandLineOutcome::Version, 0, 0, none},
      {"-V", {"-V", "a"}, CommandLineOutcome::Version, 0, 0, none},
      {"help wins over an unknown option",
       {"--bogus", "--help"},
       CommandLineOutcome::Help,
       0,
       0,
       none},
      {"version wins over a refused argument",
       {PORT_64, "1", "--version"},
       CommandLineOutcome::Version,
       0,
       0,
       none},
      {"version wins over too many pairs",
       {"a", "1", "b", "2", "c", "3", "d", "4", "e", "5", "-V"},
       CommandLineOutcome::Version,
       0,
       0,
       none},
      {"the first of help and version wins",
       {"--version", "--help"},
       CommandLineOutcome::Version,
       0,
       0,
       none},
      {"a refusal names its argument's place in argv",
       {"a", "--reopen", "1", PORT_64, "2"},
       CommandLineOutcome::PortNameTooLong,
       0,
       4,
       none},
      {"a time-out",
       {"--tx-timeout=90", "a", "1"},
       CommandLineOutcome::Accepted,
       1,
       0,
       RunOptions{0, 0, 0, 90, 0, 0}},
      {"the last time-out stands",
       {"a", "--tx-timeout=86400", "1", "--tx-timeout=1"},
       CommandLineOutcome::Accepted,
       1,
       0,
       RunOptions{0, 0, 0, 1, 0, 0}},
      {"a time-out needs its value",
       {"--tx-timeout", "a", "1"},
       CommandLineOutcome::BadValue,
       0,
       1,
       none},
      {"a bad value is refused even when it is not the last",
       {"a", "1", "--tx-timeout=0", "--tx-timeout=5"},
       CommandLineOutcome::BadValue,
       0,
       3,
       none},
      {"a bad value before an unknown option",
       {"--tx-timeout=abc", "--bogus"},
       CommandLineOutcome::BadValue,
       0,
       1,
       none},
      {"four pairs and options",
       {"a", "1", "b", "2", "--reopen", "c", "3", "d", "4"},
       CommandLineOutcome::Accepted,
       4,
       0,
       RunOptions{0, 1, 0, 0, 0, 0}},
  };
  for (const ParseCase& c : cases) {
    CheckParse(c);
  }
}

TEST(CommandLine, TimeOutSecondsAreDecimalDigitsFrom1To86400) {
  for (const char* bad : {"--tx-timeout=", "--tx-timeout=0", "--tx-timeout=-5", "--tx-timeout=abc",
                          "--tx-timeout=86401", "--tx-timeout=+5", "--tx-timeout=5s",
                          "--tx-timeout= 5", "--tx-timeout=99999999999999"}) {
    EXPECT_EQ(Parse({bad, "a", "1"}).Outcome, CommandLineOutcome::BadValue) << bad;
  }
  EXPECT_EQ(Parse({"--tx-timeout=007", "a", "1"}).Options.TxTimeoutSeconds, 7);
  EXPECT_EQ(Parse({"--tx-timeoutx=5", "a", "1"}).Outcome, CommandLineOutcome::UnknownOption);
  StartCapture();
  const char* argv[] = {"tarnwick", "--tx-timeout=-5"};
  PrintRefusal(Parse({"--tx-timeout=-5"}), argv);
  StopCapture();
  EXPECT_EQ(Captured(), "Bad value for --tx-timeout (1 to 86400 seconds): --tx-timeout=-5\r\n");
}

TEST(CommandLine, PairsBetweenOptionsKeepTheirOrder) {
  CommandLine parsed = Parse(
      {"--timestamps", "com1", "127.0.0.1:1", "--reopen", "com2", "127.0.0.1:2", "--fail-safe"});
  ASSERT_EQ(parsed.Outcome, CommandLineOutcome::Accepted);
  ASSERT_EQ(parsed.PairCount, 2);
  EXPECT_STREQ(parsed.PortNames[0], "com1");
  EXPECT_STREQ(parsed.AddrText[0], "127.0.0.1:1");
  EXPECT_STREQ(parsed.PortNames[1], "com2");
  EXPECT_STREQ(parsed.AddrText[1], "127.0.0.1:2");
  EXPECT_EQ(parsed.Destination[1].PortNetworkOrder, PortBytes(2));
}

TEST(CommandLine, HelpShowsEveryOptionOnLinesOfItsOwn) {
  StartCapture();
  PrintHelp();
  StopCapture();
  std::string help = Captured();
  for (const char* option : {"--fail-safe", "--reopen", "--timestamps", "--tx-timeout=SECONDS",
                             "--verbose", "--vfo", "--help", "-h", "/?", "--version", "-V"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  // Whole lines, each ended by CR LF, that fit an 80-column console.
  ASSERT_GE(help.size(), 2u);
  EXPECT_EQ(help.substr(help.size() - 2), "\r\n");
  std::size_t start = 0;
  while (start < help.size()) {
    std::size_t end = help.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_LT(end - start, 80u) << help.substr(start, end - start);
    EXPECT_EQ(help.substr(start, end - start).find('\n'), std::string::npos);
    start = end + 2;
  }
}

struct AddressCase {
  const char* Address;
  HostKind Kind;
  std::uint32_t Ipv4;  // HostKind::Ipv4
  const char* Host;    // HostKind::Name and Literal
  unsigned Port;
};

TEST(CommandLine, AddressConversion) {
  const AddressCase cases[] = {
      // What the standard IPv4 conversion takes is used as it gives it.
      {"127.0.0.1:4532", HostKind::Ipv4, AddressBytes(127, 0, 0, 1), "", 4532},
      {"127.1:4532", HostKind::Ipv4, AddressBytes(127, 0, 0, 1), "", 4532},  // short form
      {"0x7f.1:4532", HostKind::Ipv4, AddressBytes(127, 0, 0, 1), "", 4532},
      {"127.0.0.1:abc", HostKind::Ipv4, AddressBytes(127, 0, 0, 1), "", 0},
      {"127.0.0.1:70000", HostKind::Ipv4, AddressBytes(127, 0, 0, 1), "", 4464},
      {"255.255.255.255:4532", HostKind::Ipv4, 0xFFFFFFFFu, "", 4532},
      {"0xffffffff:4532", HostKind::Ipv4, 0xFFFFFFFFu, "", 4532},
      // Any other host is a name, looked up when the link connects.
      {"nohost:4532", HostKind::Name, 0, "nohost", 4532},
      {"localhost:4532", HostKind::Name, 0, "localhost", 4532},
      {"1.2.3.256:4532", HostKind::Name, 0, "1.2.3.256", 4532},
      {":4532", HostKind::Name, 0, "", 4532},
      {"::1:4532", HostKind::Name, 0, "", 0},  // split at the first colon, as ever
      // A literal in brackets: the port follows the bracket's colon.
      {"[::1]:4532", HostKind::Literal, 0, "::1", 4532},
      {"[fe80::1%lo]:7", HostKind::Literal, 0, "fe80::1%lo", 7},
      {"[127.0.0.1]:4532", HostKind::Literal, 0, "127.0.0.1", 4532},
      {"[]:4532", HostKind::Literal, 0, "", 4532},
      // No port: every connect fails.
      {"[::1]", HostKind::NoPort, 0, "", 0},
      {"[::1]4532", HostKind::NoPort, 0, "", 0},
      {"[::1:4532", HostKind::NoPort, 0, "", 0},
      {"127.0.0.1", HostKind::NoPort, 0, "", 0},
      {"", HostKind::NoPort, 0, "", 0},
  };
  for (const AddressCase& c : cases) {
    SCOPED_TRACE(c.Address);
    CommandLine parsed = Parse({"com10", c.Address});
    ASSERT_EQ(parsed.Outcome, CommandLineOutcome::Accepted);
    EXPECT_STREQ(parsed.AddrText[0], c.Address);
    const LinkDestination& destination = parsed.Destination[0];
    EXPECT_EQ(destination.Kind, c.Kind);
    EXPECT_EQ(destination.Ipv4NetworkOrder, c.Ipv4);
    EXPECT_STREQ(destination.Host, c.Host);
    EXPECT_EQ(destination.PortNetworkOrder, PortBytes(c.Port));
  }
}

TEST(CommandLine, InstallFillsTablesAndKeepsEmptySlots) {
  ResetTables();
  Links[2].DecidedPtt.store(1);
  CommandLine parsed =
      Parse({"com10", "127.0.0.1:4532", "", "127.0.0.1:4533", "--reopen", "vp3", "x", "--verbose"});
  ASSERT_EQ(parsed.Outcome, CommandLineOutcome::Accepted);
  InstallCommandLine(parsed);
  EXPECT_EQ(Options.Reopen, 1);
  EXPECT_EQ(Options.FailSafe, 0);
  EXPECT_STREQ(PortNames[0], "com10");
  EXPECT_FALSE(SlotInUse(1));  // an empty port argument leaves its slot empty
  EXPECT_STREQ(Links[1].AddrText, "127.0.0.1:4533");
  EXPECT_STREQ(PortNames[2], "vp3");
  EXPECT_FALSE(SlotInUse(3));
  for (const HamlibLink& link : Links) {
    EXPECT_EQ(link.Sock.load(), NO_SOCKET);
    EXPECT_EQ(link.Connected.load(), 0);
    EXPECT_EQ(link.DecidedPtt.load(), PTT_UNDECIDED);  // nothing decided at start-up
    // Each link is told what its options ask of it.
    EXPECT_EQ(link.Settings.ReadAnswers, 1);
    EXPECT_EQ(link.Settings.FailSafe, 0);
  }
}

TEST(CommandLine, RefusalsNameTheArgumentAndTheLimit) {
  struct RefusalCase {
    std::vector<std::string> Arguments;
    std::string Message;
  };
  const RefusalCase cases[] = {
      {{PORT_64, "127.0.0.1:1"}, "Port name too long (at most 63 characters): " + PORT_64 + "\r\n"},
      {{"a", ADDRESS_164}, "Address too long (at most 163 characters): " + ADDRESS_164 + "\r\n"},
      {{"a", "1", "b", "2", "c", "3", "d", "4", "e", "5"}, "Too many ports (at most 4)\r\n"},
      {{"a", "1", "--bogus"}, "Unknown option: --bogus\r\n"},
  };
  for (const RefusalCase& c : cases) {
    std::vector<const char*> argv{"tarnwick"};
    for (const std::string& argument : c.Arguments) {
      argv.push_back(argument.c_str());
    }
    CommandLine parsed;
    ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &parsed);
    StartCapture();
    PrintRefusal(parsed, argv.data());
    StopCapture();
    EXPECT_EQ(Captured(), c.Message);
  }
}

TEST(CommandLine, AHugeArgumentIsRefusedOnOneWholeLine) {
  const std::string huge(100000, 'x');
  const char* argv[] = {"tarnwick", huge.c_str(), "127.0.0.1:1"};
  CommandLine parsed;
  ParseCommandLine(3, argv, &parsed);
  ASSERT_EQ(parsed.Outcome, CommandLineOutcome::PortNameTooLong);
  StartCapture();
  PrintRefusal(parsed, argv);
  StopCapture();
  std::string line = Captured();
  ASSERT_GE(line.size(), 2u);
  EXPECT_EQ(line.compare(0, 44, "Port name too long (at most 63 characters): "), 0);
  EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
  EXPECT_EQ(line.find('\n'), line.size() - 1);
}

}  // namespace
