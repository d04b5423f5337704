// Every message Tarnwick prints goes through Print, which formats it and
// hands it whole to one sink: standard output, or a test's capture. Once
// the output writer runs, messages reach the sink through its queue (see
// output_queue.h), and nothing that prints ever waits for the output.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/output_queue.h"

using ConsoleSink = OutputSink;

#if defined(__GNUC__)
#define TARNWICK_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define TARNWICK_PRINTF(f, a)
#endif

void Print(const char* format, ...) TARNWICK_PRINTF(1, 2);

// As Print, but the writer is not woken for it: it is written with the next
// message that wakes the writer, or at the next WakeOutputWriter. For the
// monitor, whose wake-up call would otherwise keep the rigctl server that
// its command has just woken from the processor.
void PrintLater(const char* format, ...) TARNWICK_PRINTF(1, 2);
void WakeOutputWriter();

// Replaces the sink; nullptr restores standard output.
void SetConsoleSink(ConsoleSink sink);

// --timestamps: from now on every message begins with the local date and
// time it was made.
void SetTimestamps(bool stamped);

// Starts the output writer: from now on messages are queued for it. When
// it cannot start, every message is still written at once. Returns 0, or
// the platform's error code.
int StartOutputWriter();

// Waits until every queued message has been written, or until the
// monotonic clock reaches deadlineMicros. Returns whether all was written.
bool FlushOutput(std::int64_t deadlineMicros);
