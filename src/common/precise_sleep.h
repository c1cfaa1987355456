#pragma once
// The real clock's only way to pass time. Frame gaps are 100 ms and must not
// come out much longer: a plain sleep on Windows ends on the next 15.6 ms
// timer tick, which would stretch every gap towards 109 ms or more.
#include <chrono>

namespace quorvel {

// Returns no earlier than `target`, without spinning.
void SleepUntil(std::chrono::steady_clock::time_point target);

}  // namespace quorvel
