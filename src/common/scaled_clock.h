#pragma once
// A clock that runs the simulated meter's world faster than real time, for
// demonstrations and tests. Every wait of the procedures sleeps `scale` times
// its length, and Now() reports real elapsed time divided by `scale`, so the
// procedures and the simulated meter (which reads the same clock) both see
// the full virtual waits: a 100 ms frame gap is still 100 ms to the meter.
#include <chrono>

#include "common/clock.h"

namespace quorvel {

class ScaledClock final : public Clock {
 public:
  // `scale` must lie in (0, 1]; IsUsableTimeScale tells.
  explicit ScaledClock(double scale);

  Millis Now() const override;
  std::chrono::microseconds PreciseNow() const override;
  void Sleep(Millis duration) override;
  void WaitUntil(Millis deadline, const std::function<void()>& pump) override;

 private:
  std::chrono::nanoseconds RealLength(Millis virtualLength) const;

  double scale_;
  std::chrono::steady_clock::time_point epoch_;
};

// The smallest scale accepted: below it a 100 ms frame gap would shrink under
// the operating system's sleep resolution and the pacing would be noise.
inline constexpr double kMinTimeScale = 0.001;

bool IsUsableTimeScale(double scale);

}  // namespace quorvel
