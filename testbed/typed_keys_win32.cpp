// Windows: the console's input buffer.
#include <windows.h>

#include "testbed/typed_keys.h"

void DiscardTypedKeys() { FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE)); }
