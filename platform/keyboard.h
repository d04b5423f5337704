// Single keys from a terminal, for a tool driven from the keyboard (qvnsim):
// Tarnwick itself only waits for one character, PlatformReadConsoleCharacter.
// Implemented in platform_posix.cpp and platform_win32.cpp.
#pragma once

// Whether standard input is a terminal, and one key press read from it
// without waiting for Enter (-1 at end of input).
bool PlatformConsoleIsTerminal();
int PlatformReadKey();
// Throws away the keys typed on the terminal and not read yet.
void PlatformDiscardTypedKeys();
