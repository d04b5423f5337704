#include "platform/thread_start.h"

namespace {

// More than Tarnwick ever has starting at once: a record is free again as
// soon as its thread runs.
constexpr int START_SLOTS = 64;
ThreadStart StartSlots[START_SLOTS];

}  // namespace

ThreadStart* TakeThreadStart(ThreadEntry entry, void* record) {
  for (ThreadStart& start : StartSlots) {
    if (!start.InUse.exchange(true)) {
      start.Entry = entry;
      start.Record = record;
      return &start;
    }
  }
  return nullptr;
}

void ReleaseThreadStart(ThreadStart* start) { start->InUse.store(false); }

void RunThreadStart(ThreadStart* start) {
  // The thread's creation orders the writes of Entry and Record before
  // these reads; releasing InUse orders them before the next take.
  ThreadEntry entry = start->Entry;
  void* record = start->Record;
  start->InUse.store(false);
  entry(record);
}
