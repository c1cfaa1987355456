#pragma once
// Waits that keep the window alive and answer the operator's stop request (the
// CLI's Ctrl+C) quickly, however long they are.
#include "common/clock.h"

namespace quorvel {

class OperatorConsole;

// A stop request is seen within this long during any wait.
inline constexpr Millis kStopCheckInterval{100};

// A wait of `duration` that pumps the console's messages meanwhile, taken in
// slices of at most kStopCheckInterval. True when it lasted the whole
// duration, false when it ended early because the operator asked to stop.
bool WaitUnlessStopped(Clock& clock, OperatorConsole& console, Millis duration);

// A wait of `duration` that pumps the console's messages but is never cut
// short: the meter needs the whole of it.
void WaitPumping(Clock& clock, OperatorConsole& console, Millis duration);

}  // namespace quorvel
