#include "core/console.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_support.h"

namespace {

std::vector<std::string> Writes;  // each hand-over to the sink, as it came

void RecordWrite(const char* bytes, std::size_t count) { Writes.emplace_back(bytes, count); }

// "YYYY-MM-DD HH:MM:SS " for a time, in local time (the tests run on one
// thread).
std::string StampOf(std::time_t when) {
  char text[32];
  // cppcheck-suppress localtimeCalled
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S ", std::localtime(&when));
  return text;
}

class ConsoleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTables();
    Writes.clear();
    SetConsoleSink(RecordWrite);
  }
  void TearDown() override {
    SetConsoleSink(nullptr);
    SetTimestamps(false);  // other suites print without time stamps
  }
};

TEST_F(ConsoleTest, WithoutTheOptionMessagesAreAsTheyWere) {
  Print("Connected to HAMLIB socket Addr %s\r\n", "127.0.0.1:4532");
  EXPECT_EQ(Writes,
            (std::vector<std::string>{"Connected to HAMLIB socket Addr 127.0.0.1:4532\r\n"}));
}

TEST_F(ConsoleTest, TimestampsBeginEveryMessageWithTheLocalTimeInOneWrite) {
  SetTimestamps(true);
  std::time_t before = std::time(nullptr);
  Print("Connected to HAMLIB socket Addr %s\r\n", "127.0.0.1:4532");
  Print("HAMLIB Select failed %d r\n", 10038);
  std::time_t after = std::time(nullptr);
  ASSERT_EQ(Writes.size(), 2U);
  const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d ([\s\S]*))");
  std::smatch parts;
  ASSERT_TRUE(std::regex_match(Writes[0], parts, stamped)) << Writes[0];
  EXPECT_EQ(parts[1].str(), "Connected to HAMLIB socket Addr 127.0.0.1:4532\r\n");
  ASSERT_TRUE(std::regex_match(Writes[1], parts, stamped)) << Writes[1];
  EXPECT_EQ(parts[1].str(), "HAMLIB Select failed 10038 r\n");
  // The local time of the moment, read the C library's way: a second may
  // turn between the readings.
  for (const std::string& write : Writes) {
    std::string stamp = write.substr(0, 20);
    EXPECT_TRUE(stamp == StampOf(before) || stamp == StampOf(after)) << stamp;
  }
}

TEST_F(ConsoleTest, TimestampedLongestMessageIsWhole) {
  SetTimestamps(true);
  std::string address(163, 'x');
  Print("Connect Failed for HAMLIB socket - error code = %d Addr %s\r\n", -2147483647,
        address.c_str());
  ASSERT_EQ(Writes.size(), 1U);
  std::string expected =
      "Connect Failed for HAMLIB socket - error code = -2147483647 Addr " + address + "\r\n";
  EXPECT_EQ(Writes[0].size(), 20 + expected.size());
  EXPECT_EQ(Writes[0].substr(20), expected);
}

// Output that nobody reads: the sink waits while the test holds the lock.
std::mutex OutputHeld;
std::atomic<bool> SinkEntered{false};
std::string Written;  // the writer's alone until it has been joined

void WriteOnceLetGo(const char* bytes, std::size_t count) {
  SinkEntered.store(true);
  std::lock_guard<std::mutex> wait(OutputHeld);
  Written.append(bytes, count);
}

OutputQueue TestQueue;

bool QueueNumbered(int number, const char* stamp = "") {
  std::string message = stamp + std::string("message ") + std::to_string(number) + "\r\n";
  return QueueMessage(&TestQueue, message.data(), message.size(),
                      static_cast<int>(std::strlen(stamp)));
}

TEST(OutputQueueTest, OutputNotReadHoldsUpOnlyTheWriterAndWhatIsDroppedIsCounted) {
  InitOutputQueue(&TestQueue, WriteOnceLetGo);
  OutputHeld.lock();
  std::thread writer(RunOutputWriter, &TestQueue);
  ASSERT_TRUE(QueueNumbered(1));
  while (!SinkEntered.load()) {
    std::this_thread::yield();
  }
  // The writer is held in message 1: 64 more fit, the rest are dropped,
  // and none of it waits.
  std::int64_t started = PlatformMonotonicMicros();
  int queued = 0;
  for (int number = 2; number <= 100; ++number) {
    queued += QueueNumbered(number) ? 1 : 0;
  }
  EXPECT_LT(PlatformMonotonicMicros() - started, 100000) << "a message waited for the output";
  EXPECT_EQ(queued, OUTPUT_QUEUE_MESSAGES);
  OutputHeld.unlock();
  ASSERT_TRUE(WaitUntilWritten(&TestQueue, PlatformMonotonicMicros() + 5000000));
  ASSERT_TRUE(QueueNumbered(101, "STAMP "));
  ASSERT_TRUE(QueueNumbered(102));
  CloseOutputQueue(&TestQueue);
  writer.join();

  std::string expected;
  for (int number = 1; number <= 65; ++number) {
    expected += "message " + std::to_string(number) + "\r\n";
  }
  // Where messages are missing, dated as the one that follows them.
  expected += "STAMP Output not read - 35 messages not shown\r\nSTAMP message 101\r\n";
  expected += "message 102\r\n";
  EXPECT_EQ(Written, expected);
}

}  // namespace
