#pragma once
// What the progress bar says about a running transfer.
#include <string>

#include "common/clock.h"
#include "common/operator_console.h"

namespace quorvel {

// Whole percent of the current image sent, 0..100. An image of unknown (zero)
// size counts as done once the transfer phase is over.
int ProgressPercent(const ProgressReport& report);

// Time the rest of the current image needs at the meter's pace: one frame of
// up to 240 bytes every 100 ms.
Millis EstimateTimeLeft(const ProgressReport& report);

// One line for the bar, e.g. "Image 2 of 3 · 45% · 10800 of 24000 bytes · 0:06 left";
// single images leave out the image count.
std::string DescribeProgress(const ProgressReport& report);

}  // namespace quorvel
