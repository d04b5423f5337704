#include "core/output_queue.h"

#include <cstdio>
#include <cstring>

namespace {

// How often a wait for the writer looks again.
constexpr unsigned WRITTEN_POLL_MS = 5;

constexpr int NOTICE_SIZE = 96;

// Takes the oldest message into *message; waits while there is none.
// Returns false when the queue is closing and empty. The lock is held.
bool TakeOldest(OutputQueue* queue, QueuedMessage* message) {
  while (queue->Count == 0 && queue->Closing == 0) {
    PlatformConditionWait(&queue->Queued, &queue->Lock);
  }
  if (queue->Count == 0) {
    return false;
  }
  const QueuedMessage& oldest = queue->Messages[queue->Oldest];
  message->Length = oldest.Length;
  message->StampLength = oldest.StampLength;
  message->DroppedBefore = oldest.DroppedBefore;
  std::memcpy(message->Bytes, oldest.Bytes, static_cast<std::size_t>(oldest.Length));
  queue->Oldest = (queue->Oldest + 1) % OUTPUT_QUEUE_MESSAGES;
  queue->Count -= 1;
  queue->Writing = 1;
  return true;
}

// Says how many messages are missing, where they are missing, dated as the
// message that follows them.
void WriteDropNotice(OutputSink write, const QueuedMessage& message) {
  char notice[NOTICE_SIZE];
  int stamp = message.StampLength;
  std::memcpy(notice, message.Bytes, static_cast<std::size_t>(stamp));
  int length = std::snprintf(notice + stamp, sizeof notice - static_cast<std::size_t>(stamp),
                             "Output not read - %d messages not shown\r\n", message.DroppedBefore);
  if (length > 0) {
    write(notice, static_cast<std::size_t>(stamp) + static_cast<std::size_t>(length));
  }
}

}  // namespace

void InitOutputQueue(OutputQueue* queue, OutputSink write) {
  queue->Write = write;
  PlatformLockInit(&queue->Lock);
  PlatformConditionInit(&queue->Queued);
  queue->Oldest = 0;
  queue->Count = 0;
  queue->Dropped = 0;
  queue->Writing = 0;
  queue->Closing = 0;
}

bool QueueMessage(OutputQueue* queue, const char* bytes, std::size_t count, int stampLength,
                  bool wake) {
  if (count > static_cast<std::size_t>(OUTPUT_MESSAGE_SIZE)) {
    count = OUTPUT_MESSAGE_SIZE;
  }
  PlatformLockAcquire(&queue->Lock);
  bool queued = queue->Count < OUTPUT_QUEUE_MESSAGES;
  if (queued) {
    QueuedMessage& message =
        queue->Messages[(queue->Oldest + queue->Count) % OUTPUT_QUEUE_MESSAGES];
    message.Length = static_cast<std::int32_t>(count);
    message.StampLength = stampLength;
    message.DroppedBefore = queue->Dropped;
    std::memcpy(message.Bytes, bytes, count);
    queue->Count += 1;
    queue->Dropped = 0;
    if (wake) {
      PlatformConditionSignal(&queue->Queued);
    }
  } else {
    queue->Dropped += 1;
  }
  PlatformLockRelease(&queue->Lock);
  return queued;
}

// The message is copied out of the queue, so that the lock is never held
// while the output keeps the writer waiting.
void RunOutputWriter(void* record) {
  auto* queue = static_cast<OutputQueue*>(record);
  QueuedMessage message;
  for (;;) {
    PlatformLockAcquire(&queue->Lock);
    bool taken = TakeOldest(queue, &message);
    PlatformLockRelease(&queue->Lock);
    if (!taken) {
      return;
    }
    if (message.DroppedBefore > 0) {
      WriteDropNotice(queue->Write, message);
    }
    queue->Write(message.Bytes, static_cast<std::size_t>(message.Length));
    PlatformLockAcquire(&queue->Lock);
    queue->Writing = 0;
    PlatformLockRelease(&queue->Lock);
  }
}

bool WaitUntilWritten(OutputQueue* queue, std::int64_t deadlineMicros) {
  for (;;) {
    PlatformLockAcquire(&queue->Lock);
    bool written = queue->Count == 0 && queue->Writing == 0;
    PlatformLockRelease(&queue->Lock);
    if (written || PlatformMonotonicMicros() >= deadlineMicros) {
      return written;
    }
    PlatformSleepMs(WRITTEN_POLL_MS);
  }
}

void WakeOutputWriter(OutputQueue* queue) {
  PlatformLockAcquire(&queue->Lock);
  PlatformConditionSignal(&queue->Queued);
  PlatformLockRelease(&queue->Lock);
}

void CloseOutputQueue(OutputQueue* queue) {
  PlatformLockAcquire(&queue->Lock);
  queue->Closing = 1;
  PlatformConditionSignal(&queue->Queued);
  PlatformLockRelease(&queue->Lock);
}
