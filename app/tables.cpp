#include "app/tables.h"

char PortNames[MAX_PORTS][PORT_NAME_SIZE];
HamlibLink Links[MAX_PORTS];
RunOptions Options;
