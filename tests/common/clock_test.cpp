// The clock seam: virtual time for tests, and the real clock's promise that a
// pumped wait is never shorter than asked.
#include <gtest/gtest.h>

#include "common/clock.h"

namespace quorvel {
namespace {

TEST(VirtualClockTest, WaitsAdvanceTimeAtOnceAndNeverBackwards) {
  VirtualClock clock(Millis{1000});
  clock.Sleep(Millis{250});
  EXPECT_EQ(clock.Now(), Millis{1250});
  clock.Sleep(Millis{-5});
  EXPECT_EQ(clock.Now(), Millis{1250});

  int pumps = 0;
  clock.WaitUntil(Millis{2000}, [&] { ++pumps; });
  EXPECT_EQ(clock.Now(), Millis{2000});
  EXPECT_EQ(pumps, 1);
  clock.WaitUntil(Millis{1500}, [&] { ++pumps; });  // a deadline already past
  EXPECT_EQ(clock.Now(), Millis{2000});
  clock.PumpedWait(Millis{100}, nullptr);
  EXPECT_EQ(clock.Now(), Millis{2100});
}

TEST(SteadyClockTest, PumpedWaitIsNeverShorterThanAskedAndPumps) {
  SteadyClock clock;
  int pumps = 0;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    clock.PumpedWait(Millis{20}, [&] { ++pumps; });
    EXPECT_GE(std::chrono::steady_clock::now() - start, Millis{20});
  }
  EXPECT_GE(pumps, 5);
}

}  // namespace
}  // namespace quorvel
