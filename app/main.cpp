// Tarnwick: carries PTT from serial-port lines to rigctl servers.
#include "app/command_line.h"
#include "app/guard.h"
#include "app/settings.h"
#include "app/supervisor.h"
#include "app/way_out.h"
#include "core/console.h"
#include "link/rigctl_command.h"
#include "platform/guard.h"
#include "ptt/ptt_monitor.h"

namespace {

// The monitor's commands go out on the link paired with the port.
bool SendOnLink(int slot, int pttOn) { return SendPttCommand(&Links[slot], pttOn); }
bool SendReleaseOnLink(int slot, int /*pttOn: 0*/) { return SendOwedRelease(&Links[slot]); }

[[noreturn]] void ShowUsageAndExit() {
  Print(
      "Missing paramters - you need COM port and IP Address and rigctl port of QVN, eg \r\n"
      "  Tarnwick com10 192.168.1.64:4532\r\n\r\nPress any key to exit\r\n");
  PlatformReadConsoleCharacter();
  PlatformExit(0);
}

// A command line that is not accepted ends Tarnwick before it starts anything.
[[noreturn]] void EndWithoutStarting(const CommandLine& commandLine, const char* const* argv) {
  switch (commandLine.Outcome) {
    case CommandLineOutcome::Usage:
      ShowUsageAndExit();
    case CommandLineOutcome::Help:
      PrintHelp();
      PlatformExit(0);
    case CommandLineOutcome::Version:
      PrintVersion();
      PlatformExit(0);
    default:
      PrintRefusal(commandLine, argv);
      PlatformExit(1);
  }
}

[[noreturn]] void RefuseFailSafe(int error) {
  Print("--fail-safe cannot be set up (code %d)\r\n", error);
  TellGuardOfTheWayOut();
  PlatformExit(1);
}

// --fail-safe's guard, started before any thread and any link: without it
// a Tarnwick that is killed leaves keyed rigs keyed.
void StartGuardOrRefuse() {
  if (Options.FailSafe != 0) {
    int error = StartGuard();
    if (error != 0) {
      RefuseFailSafe(error);
    }
  }
}

// The way out is set up in every mode; without it --fail-safe would be a
// promise that nothing keeps, so it refuses to start instead.
void StartWayOutOrRefuse() {
  int error = StartWayOut();
  if (error != 0 && Options.FailSafe != 0) {
    RefuseFailSafe(error);
  }
}

}  // namespace

int main(int argc, char** argv) {
  PlatformPrepareConsole();
  bool guard = PlatformIsGuardStart(&argc, &argv);
  static CommandLine commandLine;
  ParseCommandLine(argc, argv, &commandLine);
  if (guard) {
    RunGuardOf(commandLine);
  }
  if (commandLine.Outcome != CommandLineOutcome::Accepted) {
    EndWithoutStarting(commandLine, argv);
  }
  PlatformStartup();
  InstallCommandLine(commandLine);
  StartGuardOrRefuse();
  // POSIX: the stop signals are blocked before any other thread starts.
  StartWayOutOrRefuse();
  StartOutputWriter();
  StartPttMonitor(MonitorSettingsFrom(Options), SendOnLink, SendReleaseOnLink);
  StartAllLinkWorkers(StartLinkWorker);
  PlatformSleepMs(2000);
  Print("Tarnwick running - Press ctrl/c to exit\r\n");
  RunSupervisor();
}
