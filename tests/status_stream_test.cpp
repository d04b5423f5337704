#include "ptt/status_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/status_stream_reference.h"

namespace {

std::vector<int> Sent;

void RecordDecision(void* /*context*/, int slot, int pttOn) {
  EXPECT_EQ(slot, 2);
  Sent.push_back(pttOn);
}

MonitoredPort FreshPort() {
  MonitoredPort port{};
  port.Slot = 2;
  return port;
}

void Feed(MonitoredPort* port, const std::vector<std::uint8_t>& bytes) {
  DecodeStatusStream(bytes.data(), static_cast<int>(bytes.size()), port, RecordDecision, nullptr);
}

struct Read {
  std::vector<std::uint8_t> Bytes;
  std::vector<int> Commands;
  std::uint8_t LastStatusAfter;
};

TEST(StatusStream, ReadsInSequence) {
  // Each read follows the one before it on the same port.
  const Read reads[] = {
      {{0x41, 0xFF, 0x02, 0x42}, {1}, 0x02},
      {{0xFF, 0x02}, {}, 0x02},   // unchanged: nothing sent
      {{0xFF, 0x03}, {1}, 0x03},  // other bits changed: state sent again
      {{0xFF, 0x01}, {0}, 0x01},
      {{0x10, 0x20, 0x30}, {}, 0x01},                           // data only
      {{0xFF, 0xFF, 0xFF, 0x02}, {1}, 0x02},                    // 0xFF 0xFF is data
      {{0xFF, 0x00, 0xFF, 0x02, 0xFF, 0x00}, {0, 1, 0}, 0x00},  // each acts in order
      {{0x55, 0xFF}, {}, 0x00},                                 // escape ends the read...
      {{0x02, 0x66}, {1}, 0x02},                                // ...and the next read completes it
      {{0xFF}, {}, 0x02},
      {{0xFF, 0x10}, {}, 0x02},  // split 0xFF 0xFF stays data
  };
  MonitoredPort port = FreshPort();
  int index = 0;
  for (const Read& read : reads) {
    SCOPED_TRACE(index++);
    Sent.clear();
    Feed(&port, read.Bytes);
    EXPECT_EQ(Sent, read.Commands);
    EXPECT_EQ(port.LastStatus, read.LastStatusAfter);
  }
}

TEST(StatusStream, FirstStatusOfZeroSendsNothing) {
  MonitoredPort port = FreshPort();
  Sent.clear();
  Feed(&port, {0xFF, 0x00, 0x01, 0x02});
  EXPECT_TRUE(Sent.empty());
  EXPECT_EQ(port.LastStatus, 0x00);
}

TEST(StatusStream, AgreesWithThePlainReadingWhereverTheReadsAreCut) {
  std::mt19937 random(20261208);
  // Few distinct values, so that escapes, repeats and changes are common.
  const std::uint8_t alphabet[] = {0xFF, 0xFF, 0xFF, 0x00, 0x02, 0x03, 0x01, 0x41};
  std::uniform_int_distribution<int> pick(0, sizeof alphabet - 1);
  std::uniform_int_distribution<int> lengthOf(0, 300);
  std::uniform_int_distribution<int> readSize(1, 80);
  for (int trial = 0; trial < 2000; ++trial) {
    std::vector<std::uint8_t> stream(static_cast<std::size_t>(lengthOf(random)));
    for (std::uint8_t& byte : stream) {
      byte = alphabet[pick(random)];
    }
    MonitoredPort port = FreshPort();
    Sent.clear();
    std::size_t at = 0;
    while (at < stream.size()) {
      std::size_t count =
          std::min<std::size_t>(static_cast<std::size_t>(readSize(random)), stream.size() - at);
      DecodeStatusStream(stream.data() + at, static_cast<int>(count), &port, RecordDecision,
                         nullptr);
      at += count;
    }
    ReferenceResult expected = ReferenceDecode(stream.data(), stream.size());
    ASSERT_EQ(Sent, expected.Commands) << "trial " << trial;
    ASSERT_EQ(port.LastStatus, expected.LastStatus) << "trial " << trial;
  }
}

}  // namespace
