#include "bench/ptt_path.h"

#include <poll.h>
#include <time.h>

#include <algorithm>
#include <cstdio>

#include "bench/process_stats.h"

namespace {

constexpr std::uint8_t ESCAPE = 0xFF;
constexpr std::uint8_t PTT_BIT = 0x02;
constexpr std::uint8_t OTHER_BITS = 0x0D;  // three lines other than PTT

void AddByte(PortWrite* write, std::uint8_t byte) {
  if (write->Length < static_cast<int>(sizeof write->Bytes)) {
    write->Bytes[write->Length++] = byte;
  }
}

// Matches what arrived, at arrivedNs, against what was due.
void TakeArrivals(PttPath* path, std::int64_t arrivedNs) {
  char states[RIG_RECEIVE_MAX];
  int count = RigReceive(&path->Rig, states);
  if (count < 0) {
    path->Closed = true;
    return;
  }
  for (int i = 0; i < count; ++i) {
    ++path->Counts.Received;
    bool due = !path->Due.empty() && path->Due.front().State == states[i];
    if (!due) {
      ++path->Counts.OutOfOrder;
    } else if (path->Latencies != nullptr) {
      path->Latencies->push_back(arrivedNs - path->Due.front().WrittenNs);
    }
    if (!path->Due.empty()) {
      path->Due.pop_front();
    }
  }
}

bool AnythingDue(PttPath* const* paths, int count) {
  for (int i = 0; i < count; ++i) {
    if (!paths[i]->Due.empty() && !paths[i]->Closed) {
      return true;
    }
  }
  return false;
}

// One wait over the servers whose bridge is still connected, until the
// deadline at most; takes what arrived. Returns false when the time ran out.
bool TakeArrivalsBefore(PttPath* const* paths, int count, std::int64_t deadlineNs) {
  pollfd sources[8];
  PttPath* owners[8];
  int used = 0;
  for (int i = 0; i < count && used < 8; ++i) {
    if (!paths[i]->Closed) {
      owners[used] = paths[i];
      sources[used++] = pollfd{paths[i]->Rig.Fd, POLLIN, 0};
    }
  }
  std::int64_t leftNs = std::max<std::int64_t>(deadlineNs - MonotonicNs(), 0);
  timespec timeout{static_cast<time_t>(leftNs / 1000000000),
                   static_cast<long>(leftNs % 1000000000)};
  int ready = ppoll(sources, static_cast<nfds_t>(used), &timeout, nullptr);
  // A command counts as arrived when the wait finds it, before the server
  // answers: the answer may wake the bridge's reader, which then runs ahead
  // of the benchmark on a busy core.
  std::int64_t arrivedNs = MonotonicNs();
  for (int i = 0; i < used && ready > 0; ++i) {
    if (sources[i].revents != 0) {
      TakeArrivals(owners[i], arrivedNs);
    }
  }
  return ready > 0;
}

}  // namespace

namespace {

void ResetPath(PttPath* path, const char* name, bool isCom) {
  std::snprintf(path->Name, sizeof path->Name, "%s", name);
  path->IsCom = isCom;
  path->LastStatus = 0;
  path->Closed = false;
  path->Counts = ChangeCounts{};
  path->Latencies = nullptr;
}

}  // namespace

bool OfferPath(PttPath* path, const char* name) {
  ResetPath(path, name, false);
  return QvnServerListen(&path->Port, name) == 0 && RigListen(&path->Rig);
}

bool OfferComPath(PttPath* path, const char* directory) {
  if (ModemsimOpen(&path->Lines, directory) != 0) {
    return false;
  }
  ResetPath(path, path->Lines.SlavePath, true);
  return RigListen(&path->Rig);
}

// A COM port is opened without the benchmark knowing: its bridge has come
// once it has connected to the server.
bool AcceptBridge(PttPath* path, int timeoutMs) {
  if (path->IsCom) {
    return RigAccept(&path->Rig, timeoutMs);
  }
  pollfd entry{static_cast<int>(path->Port.Listener), POLLIN, 0};
  return poll(&entry, 1, timeoutMs) == 1 && QvnServerAccept(&path->Port) == 0 &&
         RigAccept(&path->Rig, timeoutMs);
}

void ClosePath(PttPath* path) {
  if (path->IsCom) {
    ModemsimClose(&path->Lines);
  } else {
    QvnServerClose(&path->Port);
  }
  RigClose(&path->Rig);
}

void AddData(PortWrite* write, std::uint8_t byte) {
  AddByte(write, byte);
  if (byte == ESCAPE) {
    AddByte(write, ESCAPE);
  }
}

void AddStatusChange(PortWrite* write, PttPath* path, std::uint8_t otherBits) {
  bool pttOn = (path->LastStatus & PTT_BIT) == 0;
  auto status = static_cast<std::uint8_t>((pttOn ? PTT_BIT : 0) | (otherBits & OTHER_BITS));
  AddByte(write, ESCAPE);
  AddByte(write, status);
  path->LastStatus = status;
  if (write->Changes < static_cast<int>(sizeof write->States)) {
    write->States[write->Changes++] = pttOn ? '1' : '0';
  }
}

bool WriteToPort(PttPath* path, PortWrite* write) {
  std::int64_t writtenNs = MonotonicNs();
  bool written = QvnServerWrite(&path->Port, write->Bytes, write->Length) == 0;
  for (int i = 0; i < write->Changes; ++i) {
    path->Due.push_back(DueCommand{write->States[i], writtenNs});
  }
  path->Counts.Sent += write->Changes;
  write->Length = 0;
  write->Changes = 0;
  return written;
}

std::int64_t ToggleCts(PttPath* path) {
  bool on = ModemsimLineLevel(path->Lines.State, MODEMSIM_CTS) == 0;
  std::int64_t toggledNs = MonotonicNs();
  path->Due.push_back(DueCommand{on ? '1' : '0', toggledNs});
  ModemsimSetLine(path->Lines.State, MODEMSIM_CTS, on ? 1 : 0);
  path->Counts.Sent += 1;
  return toggledNs;
}

void AwaitDueCommands(PttPath* const* paths, int count, int timeoutMs) {
  std::int64_t deadlineNs = MonotonicNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
  while (AnythingDue(paths, count) && TakeArrivalsBefore(paths, count, deadlineNs)) {
  }
  for (int i = 0; i < count; ++i) {
    paths[i]->Counts.Lost += static_cast<long>(paths[i]->Due.size());
    paths[i]->Due.clear();
  }
}

void TakeArrivalsUntil(PttPath* const* paths, int count, std::int64_t deadlineNs) {
  while (TakeArrivalsBefore(paths, count, deadlineNs)) {
  }
}

ChangeCounts TakeCounts(PttPath* path) {
  ChangeCounts counts = path->Counts;
  path->Counts = ChangeCounts{};
  return counts;
}

void AddCounts(ChangeCounts* total, const ChangeCounts& more) {
  total->Sent += more.Sent;
  total->Received += more.Received;
  total->Lost += more.Lost;
  total->OutOfOrder += more.OutOfOrder;
}
