// The tables that the command line fills: the port names, the links and the
// options. Slot k of PortNames is paired with link k for the life of the
// process. Only app/ reads them; every other part is handed what it needs
// when it starts.
#pragma once

#include "app/options.h"
#include "core/slots.h"
#include "link/hamlib_link.h"

extern char PortNames[MAX_PORTS][PORT_NAME_SIZE];
extern HamlibLink Links[MAX_PORTS];

inline bool SlotInUse(int slot) { return PortNames[slot][0] != '\0'; }
