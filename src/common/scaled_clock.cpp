#include "common/scaled_clock.h"

#include <algorithm>
#include <cmath>

#include "common/precise_sleep.h"

namespace quorvel {

namespace {
// Scaled waits last fractions of a millisecond, far below Windows' default
// timer tick, so they go through the real clock's precise sleep as well.
void SleepFor(std::chrono::nanoseconds length) {
  SleepUntil(std::chrono::steady_clock::now() + length);
}
}  // namespace

bool IsUsableTimeScale(double scale) {
  return std::isfinite(scale) && scale >= kMinTimeScale && scale <= 1.0;
}

ScaledClock::ScaledClock(double scale)
    : scale_(IsUsableTimeScale(scale) ? scale : 1.0), epoch_(std::chrono::steady_clock::now()) {}

Millis ScaledClock::Now() const {
  const std::chrono::duration<double, std::milli> real = std::chrono::steady_clock::now() - epoch_;
  // Flooring keeps Now() monotonic and never ahead of the waits that were really made.
  return Millis{static_cast<Millis::rep>(std::floor(real.count() / scale_))};
}

std::chrono::microseconds ScaledClock::PreciseNow() const {
  const std::chrono::duration<double, std::micro> real =
      std::chrono::steady_clock::now() - epoch_;
  return std::chrono::microseconds{
      static_cast<std::chrono::microseconds::rep>(std::floor(real.count() / scale_))};
}

std::chrono::nanoseconds ScaledClock::RealLength(Millis virtualLength) const {
  const double nanos = static_cast<double>(virtualLength.count()) * 1e6 * scale_;
  // Rounded up, so a scaled wait is never shorter than asked for in virtual time.
  return std::chrono::nanoseconds{static_cast<std::chrono::nanoseconds::rep>(std::ceil(nanos))};
}

void ScaledClock::Sleep(Millis duration) {
  if (duration.count() <= 0) return;
  // Sleep to a deadline in virtual time rather than for a real length, so that
  // rounding never lets Now() advance by less than `duration`.
  const Millis deadline = Now() + duration;
  SleepFor(RealLength(duration));
  while (Now() < deadline) SleepFor(RealLength(Millis{1}));
}

void ScaledClock::WaitUntil(Millis deadline, const std::function<void()>& pump) {
  for (;;) {
    if (pump) pump();
    const Millis now = Now();
    if (now >= deadline) return;
    SleepFor(std::min<std::chrono::nanoseconds>(RealLength(deadline - now), kPumpSlice));
  }
}

}  // namespace quorvel
