// The tables that every thread shares: the port names, the links and the
// options. Slot k of PortNames is paired with link k for the life of the
// process.
#pragma once

#include "app/options.h"
#include "link/hamlib_link.h"

constexpr int MAX_PORTS = 4;
constexpr int PORT_NAME_SIZE = 64;  // 63 characters and the zero

extern char PortNames[MAX_PORTS][PORT_NAME_SIZE];
extern HamlibLink Links[MAX_PORTS];

inline bool SlotInUse(int slot) { return PortNames[slot][0] != '\0'; }
