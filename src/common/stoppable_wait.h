#pragma once
// Waits that answer the operator's stop request (the CLI's Ctrl+C) quickly,
// however long they are.
#include "common/clock.h"

namespace quorvel {

class OperatorConsole;

// A stop request is seen within this long during any wait.
inline constexpr Millis kStopCheckInterval{100};

// A plain wait of `duration` (nothing is pumped), taken in slices of at most
// kStopCheckInterval. True when it lasted the whole duration, false when it
// ended early because the operator asked to stop.
bool WaitUnlessStopped(Clock& clock, OperatorConsole& console, Millis duration);

}  // namespace quorvel
