// The keys typed on qvnsim's terminal before Tarnwick opened its port,
// which qvnsim throws away rather than act on them late.
#pragma once

// Throws away the keys typed on the terminal and not read yet.
void DiscardTypedKeys();
