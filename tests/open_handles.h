// How many descriptors (Linux) or handles (Windows) a process has open:
// what a leak would raise.
#pragma once

// This process's; -1 when they cannot be counted.
int OpenHandleCount();

#if defined(_WIN32)
// The process with this id's, from the system's handle table, which Wine
// keeps as well (GetProcessHandleCount answers 0 under Wine); -1 when it
// cannot be read.
int HandleCountOf(unsigned long processId);
#endif
