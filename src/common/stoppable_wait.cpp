#include "common/stoppable_wait.h"

#include <algorithm>

#include "common/operator_console.h"

namespace quorvel {

bool WaitUnlessStopped(Clock& clock, OperatorConsole& console, Millis duration) {
  for (Millis left = duration; left > Millis{0};) {
    if (console.StopRequested()) return false;
    const Millis slice = std::min(left, kStopCheckInterval);
    WaitPumping(clock, console, slice);
    left -= slice;
  }
  return !console.StopRequested();
}

void WaitPumping(Clock& clock, OperatorConsole& console, Millis duration) {
  if (duration.count() <= 0) return;
  clock.PumpedWait(duration, [&console] { console.PumpMessages(); });
}

}  // namespace quorvel
