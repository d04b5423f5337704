// Messages on their way to standard output. Whoever reports a message only
// puts it in a fixed queue, which never waits for the output; a writer
// thread of its own writes the messages, each whole and in the order made.
// Output that nobody reads (a pipe whose reader stopped, a console where a
// selection is being made) then holds up the writer alone, never the PTT
// road. When the queue is full the newest message is dropped and counted,
// and the next message written is preceded by the count.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

constexpr int OUTPUT_QUEUE_MESSAGES = 64;
constexpr int OUTPUT_MESSAGE_SIZE = 512;  // the longest message, time stamp included

// Where the writer puts the bytes: one call per message, which may wait.
using OutputSink = void (*)(const char* bytes, std::size_t count);

struct QueuedMessage {
  std::int32_t Length;
  std::int32_t StampLength;    // the time stamp that begins it, if any
  std::int32_t DroppedBefore;  // messages dropped just before this one was made
  char Bytes[OUTPUT_MESSAGE_SIZE];
};

// Every field is the queue's lock's.
struct OutputQueue {
  OutputSink Write;
  PlatformLock Lock;
  PlatformCondition Queued;  // a message came, or the queue is closing
  QueuedMessage Messages[OUTPUT_QUEUE_MESSAGES];
  int Oldest;
  int Count;
  int Dropped;  // since the last message queued
  int Writing;  // the writer holds a message it has not finished writing
  int Closing;
};

void InitOutputQueue(OutputQueue* queue, OutputSink write);

// Queues a message (at most OUTPUT_MESSAGE_SIZE bytes, of which the first
// stampLength are its time stamp) without waiting for the output, and wakes
// the writer unless told not to (see WakeOutputWriter). Returns false when
// the queue was full and the message was dropped.
bool QueueMessage(OutputQueue* queue, const char* bytes, std::size_t count, int stampLength,
                  bool wake = true);

// Wakes the writer for messages queued without waking it.
void WakeOutputWriter(OutputQueue* queue);

// Thread entry of the writer; record is its OutputQueue. Writes the messages
// as they come and sleeps, without a timeout, while there is none. Returns
// once the queue is closing and everything in it is written.
void RunOutputWriter(void* record);

// Whether everything queued has been written; waits for that until the
// monotonic clock reaches deadlineMicros at most.
bool WaitUntilWritten(OutputQueue* queue, std::int64_t deadlineMicros);

// The writer ends once everything queued is written.
void CloseOutputQueue(OutputQueue* queue);
