#include "common/scaled_clock.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvel {
namespace {

using std::chrono::steady_clock;

TEST(ScaledClock, SleepsAScaledRealTimeButReportsTheWholeVirtualWait) {
  ScaledClock clock(0.01);
  const auto realStart = steady_clock::now();
  const Millis start = clock.Now();
  clock.Sleep(Millis{3000});
  const auto real = steady_clock::now() - realStart;
  EXPECT_GE(clock.Now() - start, Millis{3000});
  EXPECT_GE(real, std::chrono::milliseconds{30});
  EXPECT_LT(real, std::chrono::milliseconds{1500});  // 30 ms asked; generous for a busy machine
}

TEST(ScaledClock, PacedSleepsKeepTheirVirtualGapsDespiteRounding) {
  // The simulated meter flags frames closer than 95 ms apart; paced 100 ms
  // sleeps must never look shorter than that through the scaled clock.
  ScaledClock clock(0.001);
  Millis previous = clock.Now();
  for (int frame = 0; frame < 50; ++frame) {
    clock.Sleep(Millis{100});
    const Millis now = clock.Now();
    ASSERT_GE(now - previous, Millis{100}) << "frame " << frame;
    previous = now;
  }
}

TEST(ScaledClock, WaitUntilPumpsMeanwhileAndReturnsNoEarlierThanTheDeadline) {
  ScaledClock clock(0.01);
  int pumps = 0;
  const Millis deadline = clock.Now() + Millis{2000};
  clock.WaitUntil(deadline, [&] { ++pumps; });
  EXPECT_GE(clock.Now(), deadline);
  EXPECT_GE(pumps, 2);  // 20 ms of real waiting in 5 ms slices
}

TEST(ScaledClock, TimeScaleMustBeAUsableFraction) {
  const struct {
    double scale;
    bool usable;
  } cases[] = {
      {0.01, true},
      {kMinTimeScale, true},
      {1.0, true},
      {0.5, true},
      {0.0, false},
      {-0.1, false},
      {0.0005, false},
      {1.5, false},
      {std::numeric_limits<double>::quiet_NaN(), false},
      {std::numeric_limits<double>::infinity(), false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsUsableTimeScale(c.scale), c.usable) << c.scale;
}

}  // namespace
}  // namespace quorvel
