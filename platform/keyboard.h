// Single keys from a terminal: what Tarnwick's wait for a key after the
// usage text (PlatformReadConsoleCharacter) is made of, and what qvnsim
// reads when it is driven from the keyboard. Implemented in
// platform_linux.cpp and platform_win32.cpp.
#pragma once

// Whether standard input is a terminal, and one key press read from it
// without waiting for Enter (-1 at end of input).
bool PlatformConsoleIsTerminal();
int PlatformReadKey();
