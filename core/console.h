// Every message Tarnwick prints goes through Print, which formats it and
// hands it whole to one sink: standard output, or a test's capture.
#pragma once

#include <cstddef>

using ConsoleSink = void (*)(const char* bytes, std::size_t count);

#if defined(__GNUC__)
#define TARNWICK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TARNWICK_PRINTF(f, a)
#endif

void Print(const char* format, ...) TARNWICK_PRINTF(1, 2);

// Replaces the sink; nullptr restores standard output.
void SetConsoleSink(ConsoleSink sink);
