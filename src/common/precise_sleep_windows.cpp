// windows.h first: timeapi.h builds on its types.
#include <windows.h>
// (this comment keeps the include sorter from moving windows.h down)
#include <timeapi.h>

#include <algorithm>

#include "common/precise_sleep.h"

namespace quorvel {

namespace {

// Not in every MinGW header yet; the value is fixed by the Windows API
// (Windows 10 1803 and later).
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
constexpr DWORD CREATE_WAITABLE_TIMER_HIGH_RESOLUTION = 0x00000002;
#endif

// One waitable timer per thread. A high-resolution timer fires within about
// half a millisecond of its due time whatever the system tick. Where Windows
// has none, an ordinary timer is used and the system timer resolution is raised
// to 1 ms for the length of each wait, then given back: a raised resolution
// costs the whole machine power, so it is never kept between waits.
class WaitTimer {
 public:
  WaitTimer() {
    handle_ = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                     TIMER_ALL_ACCESS);
    highResolution_ = handle_ != nullptr;
    if (!handle_) handle_ = CreateWaitableTimerExW(nullptr, nullptr, 0, TIMER_ALL_ACCESS);
  }
  ~WaitTimer() {
    if (handle_) CloseHandle(handle_);
  }
  WaitTimer(const WaitTimer&) = delete;
  WaitTimer& operator=(const WaitTimer&) = delete;

  void Wait(std::chrono::nanoseconds duration) {
    // Due times count in 100 ns units; a negative one is relative to now.
    const auto units =
        std::chrono::duration_cast<std::chrono::duration<LONGLONG, std::ratio<1, 10000000>>>(
            duration);
    LARGE_INTEGER due{};
    due.QuadPart = -std::max<LONGLONG>(units.count(), 1);
    const bool raise = !highResolution_;
    if (raise) timeBeginPeriod(1);
    if (handle_ && SetWaitableTimer(handle_, &due, 0, nullptr, nullptr, FALSE)) {
      WaitForSingleObject(handle_, INFINITE);
    } else {
      Sleep(static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(duration).count()));
    }
    if (raise) timeEndPeriod(1);
  }

 private:
  HANDLE handle_ = nullptr;
  bool highResolution_ = false;
};

}  // namespace

void SleepUntil(std::chrono::steady_clock::time_point target) {
  thread_local WaitTimer timer;
  // A timer may fire a little early against steady_clock; wait out the rest.
  for (auto now = std::chrono::steady_clock::now(); now < target;
       now = std::chrono::steady_clock::now()) {
    timer.Wait(target - now);
  }
}

}  // namespace quorvel
