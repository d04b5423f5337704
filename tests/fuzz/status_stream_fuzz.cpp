// Fuzzes the virtual-port stream decoder against the plain reference
// reading: for any bytes, cut into reads anywhere, the decoder must send the
// same commands and end with the same LastStatus as the reference, and must
// read nothing beyond the bytes a read delivered.
//
// Input: byte 0 is the port's LastStatus before the stream; the low four
// bits of byte 1 are the number n of read sizes that follow (1 to 80 bytes
// each, the monitor's read buffer, used in turn); the rest is the stream.
// With n = 0 the whole stream is one read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "ptt/status_stream.h"
#include "tests/status_stream_reference.h"

namespace {

constexpr int PORT_SLOT = 3;
constexpr int MAX_READ_SIZES = 16;
constexpr std::uint8_t BUFFER_PATTERN = 0xA5;

std::vector<int> Sent;
int WrongSlots = 0;

void RecordDecision(void* /*context*/, int slot, int pttOn) {
  if (slot != PORT_SLOT) {
    ++WrongSlots;
  }
  Sent.push_back(pttOn);
}

struct Split {
  std::uint8_t InitialStatus;
  int ReadSizes[MAX_READ_SIZES];
  int ReadSizeCount;
  const std::uint8_t* Stream;
  std::size_t Length;
};

bool ReadSplit(const std::uint8_t* data, std::size_t size, Split* split) {
  if (size < 2) {
    return false;
  }
  split->InitialStatus = data[0];
  split->ReadSizeCount = data[1] & 0x0F;
  std::size_t header = 2 + static_cast<std::size_t>(split->ReadSizeCount);
  if (size < header) {
    return false;
  }
  for (int i = 0; i < split->ReadSizeCount; ++i) {
    split->ReadSizes[i] = 1 + data[2 + i] % READ_BUFFER_SIZE;
  }
  split->Stream = data + header;
  split->Length = size - header;
  return true;
}

// Everything but the decoder's own two fields is set to values it must not
// change.
MonitoredPort PreparedPort(std::uint8_t initialStatus) {
  MonitoredPort port{};
  port.Slot = PORT_SLOT;
  port.Handle = 77;
  port.IsComPort = 0;
  port.Active = 1;
  std::memset(port.ReadBuffer, BUFFER_PATTERN, sizeof port.ReadBuffer);
  port.LastStatus = initialStatus;
  return port;
}

// Hands one read to the decoder in a buffer of exactly its size, so that
// AddressSanitizer sees any byte read past its end.
void DecodeRead(const std::uint8_t* bytes, int count, MonitoredPort* port) {
  std::unique_ptr<std::uint8_t[]> read(new std::uint8_t[static_cast<std::size_t>(count)]);
  std::memcpy(read.get(), bytes, static_cast<std::size_t>(count));
  DecodeStatusStream(read.get(), count, port, RecordDecision, nullptr);
}

void DecodeInReads(const Split& split, MonitoredPort* port) {
  std::size_t at = 0;
  int next = 0;
  while (at < split.Length) {
    std::size_t want = split.Length - at;
    if (split.ReadSizeCount > 0) {
      want = static_cast<std::size_t>(split.ReadSizes[next]);
      next = (next + 1) % split.ReadSizeCount;
    }
    std::size_t count = want < split.Length - at ? want : split.Length - at;
    DecodeRead(split.Stream + at, static_cast<int>(count), port);
    at += count;
  }
}

[[noreturn]] void Fail(const char* what, const ReferenceResult& expected,
                       const MonitoredPort& port) {
  std::fprintf(stderr, "status stream decoder: %s\n", what);
  std::fprintf(stderr, "  sent %zu commands, reference %zu; LastStatus %02X, reference %02X\n",
               Sent.size(), expected.Commands.size(), port.LastStatus, expected.LastStatus);
  std::abort();
}

bool OtherFieldsUntouched(const MonitoredPort& port) {
  for (std::uint8_t byte : port.ReadBuffer) {
    if (byte != BUFFER_PATTERN) {
      return false;
    }
  }
  return port.Slot == PORT_SLOT && port.Handle == 77 && port.IsComPort == 0 && port.Active == 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Split split{};
  if (!ReadSplit(data, size, &split)) {
    return 0;
  }
  Sent.clear();
  WrongSlots = 0;
  MonitoredPort port = PreparedPort(split.InitialStatus);
  DecodeInReads(split, &port);
  ReferenceResult expected = ReferenceDecode(split.Stream, split.Length, split.InitialStatus);
  if (Sent != expected.Commands) {
    Fail("commands differ from the reference", expected, port);
  }
  if (port.LastStatus != expected.LastStatus) {
    Fail("LastStatus differs from the reference", expected, port);
  }
  if (WrongSlots != 0) {
    Fail("a command went to another port's link", expected, port);
  }
  if (!OtherFieldsUntouched(port)) {
    Fail("the decoder changed a field of the port that is not its own", expected, port);
  }
  // An escape that ended the stream must still be waiting: one more read
  // with a changed status byte acts exactly when the reference says so.
  std::uint8_t next = expected.LastStatus == 0x02 ? 0x00 : 0x02;
  std::vector<std::uint8_t> extended(split.Stream, split.Stream + split.Length);
  extended.push_back(next);
  DecodeRead(&next, 1, &port);
  expected = ReferenceDecode(extended.data(), extended.size(), split.InitialStatus);
  if (Sent != expected.Commands || port.LastStatus != expected.LastStatus) {
    Fail("an escape at the end of the stream was not kept for the next read", expected, port);
  }
  return 0;
}
