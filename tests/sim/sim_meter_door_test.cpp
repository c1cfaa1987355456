// The meter model as any door sees it, without VISA in between.
#include <gtest/gtest.h>

#include "sim/sim_bench.h"
#include "sim/sim_meter.h"

namespace quorvel::testing {
namespace {

SimConfig Knobs(std::string_view knobs) {
  std::string error;
  auto config = SimConfig::Parse(knobs, &error);
  EXPECT_TRUE(config.has_value()) << error;
  return config.value_or(SimConfig{});
}

TEST(SimMeterDoor, ReadOutcomesTellNothingFromAnEmptyAnswer) {
  const SimConfig config = Knobs("mode=update,status1=none");
  VirtualClock clock;
  SimMeter meter(config, 0, clock);

  const ReadResult idle = meter.Reply(240, Millis{500});
  EXPECT_EQ(idle.outcome, ReadOutcome::TimedOut);
  EXPECT_EQ(idle.waited, Millis{500});
  EXPECT_EQ(clock.Now(), Millis{0}) << "the model never sleeps";

  meter.Receive(WithCrc(Pattern(20)));
  const ReadResult empty = meter.Reply(240, Millis{500});
  EXPECT_EQ(empty.outcome, ReadOutcome::Answered);
  EXPECT_TRUE(empty.bytes.empty());
  EXPECT_EQ(empty.waited, Millis{0});
}

TEST(SimMeterDoor, EachDepartureStartsANewGeneration) {
  const SimConfig config = Knobs("reenumerate_ms=100");
  VirtualClock clock;
  SimMeter meter(config, 0, clock);
  const std::uint64_t first = meter.generation();

  meter.Receive(ToBytes("system:update\n"));
  EXPECT_FALSE(meter.IsPresent());
  EXPECT_EQ(meter.Receive(ToBytes("*idn?\n")).delivered, false);
  EXPECT_EQ(meter.Reply(240, Millis{500}).outcome, ReadOutcome::OffBus);
  clock.Advance(Millis{100});
  EXPECT_TRUE(meter.IsPresent());
  const std::uint64_t second = meter.generation();
  EXPECT_NE(second, first);

  meter.PowerCycle();
  EXPECT_TRUE(meter.IsPresent());
  EXPECT_NE(meter.generation(), second);
}

}  // namespace
}  // namespace quorvel::testing
