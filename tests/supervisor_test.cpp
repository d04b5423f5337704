#include "app/supervisor.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "tests/test_support.h"

namespace {

std::vector<int> Started;  // slots, in the order their workers were started

bool RecordStart(HamlibLink* link) {
  Started.push_back(static_cast<int>(link - Links));
  link->WorkerActive.store(1);
  return true;
}

class Supervisor : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetTables();
    Started.clear();
  }

  static void UseSlot(int k) { std::strcpy(PortNames[k], "vp"); }

  // Ticks until slot k's worker starts; returns the ticks taken, or -1.
  static int TicksUntilStart(int k, int limit) {
    for (int tick = 1; tick <= limit; ++tick) {
      std::size_t before = Started.size();
      SupervisorTick(RecordStart);
      for (std::size_t i = before; i < Started.size(); ++i) {
        if (Started[i] == k) {
          return tick;
        }
      }
    }
    return -1;
  }

  static void WorkerEnds(int k) { Links[k].WorkerActive.store(0); }
};

TEST_F(Supervisor, StartUpStartsOneWorkerPerSlotInUse) {
  UseSlot(0);
  UseSlot(2);
  UseSlot(3);
  StartAllLinkWorkers(RecordStart);
  EXPECT_EQ(Started, (std::vector<int>{0, 2, 3}));
}

TEST_F(Supervisor, UnconnectedLinkIsRestartedEvery16Ticks) {
  UseSlot(1);
  EXPECT_EQ(TicksUntilStart(1, 100), 16);
  EXPECT_EQ(Links[1].RetryTicks, 0);
  WorkerEnds(1);
  EXPECT_EQ(TicksUntilStart(1, 100), 16);
  EXPECT_EQ(Started, (std::vector<int>{1, 1}));
}

TEST_F(Supervisor, EmptySlotIsNeverStarted) {
  UseSlot(0);
  for (int tick = 0; tick < 64; ++tick) {
    SupervisorTick(RecordStart);
    WorkerEnds(0);
  }
  EXPECT_EQ(Started, (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(Links[1].RetryTicks, 0);
}

TEST_F(Supervisor, CountFreezesWhileConnectedAndResumesAfterTheLoss) {
  UseSlot(0);
  for (int tick = 0; tick < 5; ++tick) {
    SupervisorTick(RecordStart);
  }
  Links[0].Connected.store(1);  // connected after 5 ticks of trying
  for (int tick = 0; tick < 100; ++tick) {
    SupervisorTick(RecordStart);
  }
  EXPECT_TRUE(Started.empty());
  EXPECT_EQ(Links[0].RetryTicks, 5);
  Links[0].Connected.store(0);  // the connection ends
  EXPECT_EQ(TicksUntilStart(0, 100), 11);
  WorkerEnds(0);
  EXPECT_EQ(TicksUntilStart(0, 100), 16);
}

TEST_F(Supervisor, RestartWaitsForTheActiveWorkerToEnd) {
  UseSlot(0);
  Links[0].WorkerActive.store(1);  // a connect that hangs for a long time
  EXPECT_EQ(TicksUntilStart(0, 40), -1);
  WorkerEnds(0);
  EXPECT_EQ(TicksUntilStart(0, 40), 1);  // due since tick 16: starts at once
  WorkerEnds(0);
  EXPECT_EQ(TicksUntilStart(0, 40), 16);
}

TEST_F(Supervisor, SlotsAreCountedIndependently) {
  UseSlot(0);
  UseSlot(3);
  for (int tick = 0; tick < 8; ++tick) {
    SupervisorTick(RecordStart);
  }
  Links[3].Connected.store(1);
  for (int tick = 0; tick < 8; ++tick) {
    SupervisorTick(RecordStart);
  }
  EXPECT_EQ(Started, (std::vector<int>{0}));
  EXPECT_EQ(Links[3].RetryTicks, 8);
}

}  // namespace
