// Tarnwick's slots: each pairs one port with the rigctl link that carries
// its PTT, in the order of the command line, for the life of the process.
#pragma once

constexpr int MAX_PORTS = 4;
constexpr int PORT_NAME_SIZE = 64;  // 63 characters and the zero
