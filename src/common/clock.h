#pragma once
// The clock seam: every wait of the procedures and every time reading of the
// simulated meter goes through a Clock, so tests can run minutes of paced
// frames in virtual time and still check each gap exactly.
#include <chrono>
#include <functional>

namespace quorvel {

using Millis = std::chrono::milliseconds;

// While a real-time clock waits and pumps, it sleeps in slices this long:
// short enough that the window answers promptly, long enough that waiting
// costs no CPU to speak of.
inline constexpr Millis kPumpSlice{5};

class Clock {
 public:
  virtual ~Clock() = default;

  // Time since the clock's own epoch. Monotonic.
  virtual Millis Now() const = 0;

  // Now() to the microsecond where the clock knows it; the I/O trace shows
  // tenths of a millisecond. A clock that counts whole milliseconds gives those.
  virtual std::chrono::microseconds PreciseNow() const { return Now(); }

  // A plain wait: nothing else runs meanwhile.
  virtual void Sleep(Millis duration) = 0;

  // Waits until Now() >= deadline, calling pump repeatedly meanwhile so that a
  // window stays alive. Returns no earlier than the deadline.
  virtual void WaitUntil(Millis deadline, const std::function<void()>& pump) = 0;

  // A wait of at least the given length that pumps meanwhile.
  virtual void PumpedWait(Millis duration, const std::function<void()>& pump) {
    WaitUntil(Now() + duration, pump);
  }
};

// Real time on std::chrono::steady_clock. Waits sleep; they never spin.
class SteadyClock final : public Clock {
 public:
  SteadyClock();
  Millis Now() const override;
  std::chrono::microseconds PreciseNow() const override;
  void Sleep(Millis duration) override;
  void WaitUntil(Millis deadline, const std::function<void()>& pump) override;
  // Measured from this very moment, not from the whole millisecond Now() reports,
  // so the wait is never shorter than asked.
  void PumpedWait(Millis duration, const std::function<void()>& pump) override;

 private:
  void PumpUntil(std::chrono::steady_clock::time_point target,
                 const std::function<void()>& pump);

  std::chrono::steady_clock::time_point epoch_;
};

// Virtual time for tests: every wait advances the time at once.
// WaitUntil pumps once, then jumps to the deadline.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(Millis start = Millis{0}) : now_(start) {}
  Millis Now() const override { return now_; }
  void Sleep(Millis duration) override;
  void WaitUntil(Millis deadline, const std::function<void()>& pump) override;
  void Advance(Millis duration) { Sleep(duration); }

 private:
  Millis now_;
};

}  // namespace quorvel
