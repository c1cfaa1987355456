#include "common/clock.h"

#include <algorithm>

#include "common/precise_sleep.h"

namespace quorvel {

SteadyClock::SteadyClock() : epoch_(std::chrono::steady_clock::now()) {}

Millis SteadyClock::Now() const {
  return std::chrono::duration_cast<Millis>(std::chrono::steady_clock::now() - epoch_);
}

std::chrono::microseconds SteadyClock::PreciseNow() const {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                               epoch_);
}

void SteadyClock::Sleep(Millis duration) {
  if (duration.count() > 0) SleepUntil(std::chrono::steady_clock::now() + duration);
}

void SteadyClock::WaitUntil(Millis deadline, const std::function<void()>& pump) {
  PumpUntil(epoch_ + deadline, pump);
}

void SteadyClock::PumpedWait(Millis duration, const std::function<void()>& pump) {
  PumpUntil(std::chrono::steady_clock::now() + duration, pump);
}

void SteadyClock::PumpUntil(std::chrono::steady_clock::time_point target,
                            const std::function<void()>& pump) {
  for (;;) {
    if (pump) pump();
    const auto now = std::chrono::steady_clock::now();
    if (now >= target) return;
    SleepUntil(std::min(target, now + kPumpSlice));
  }
}

void VirtualClock::Sleep(Millis duration) {
  if (duration.count() > 0) now_ += duration;
}

void VirtualClock::WaitUntil(Millis deadline, const std::function<void()>& pump) {
  if (pump) pump();
  now_ = std::max(now_, deadline);
}

}  // namespace quorvel
