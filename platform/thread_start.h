// Carrying a thread entry and its record through the one pointer that
// pthread_create and _beginthread pass to a new thread, without the heap:
// a small fixed pool of start records that both platforms share.
#pragma once

#include <atomic>

#include "platform/platform.h"

struct ThreadStart {
  std::atomic<bool> InUse;
  ThreadEntry Entry;
  void* Record;
};

// A free start record holding entry and record, or nullptr if none is free.
ThreadStart* TakeThreadStart(ThreadEntry entry, void* record);
// Gives back a record whose thread could not be started.
void ReleaseThreadStart(ThreadStart* start);
// In the new thread: frees the record, then runs its entry.
void RunThreadStart(ThreadStart* start);
