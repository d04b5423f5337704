// Windows: the console control handler that PlatformRunOnStop installs.
// Declared for the tests, which call it directly with the events a program
// cannot raise for itself (closing the console, log-off, shut-down).
#pragma once

#include <windows.h>

// Runs the stop action for Ctrl+C, Ctrl+Break, close, log-off and shut-down,
// then returns FALSE so that the default handling ends the process.
BOOL WINAPI StopEventHandler(DWORD event);
