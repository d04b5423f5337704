// POSIX: the terminal's queue of input not read yet.
#include <termios.h>
#include <unistd.h>

#include "testbed/typed_keys.h"

void DiscardTypedKeys() { tcflush(STDIN_FILENO, TCIFLUSH); }
