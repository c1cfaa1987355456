#pragma once
// Shows transfer progress on standard output: a redrawn bar with bytes,
// percentage and time left on a terminal, or plain "Progress: NN%" lines
// (one per whole percent, never one per frame) when the output is a file or pipe.
#include <optional>
#include <ostream>
#include <string>

#include "common/clock.h"
#include "common/operator_console.h"

namespace quorvel::cli {

// Whole percent of the current image sent, 0..100; nothing for an empty image.
std::optional<int> PercentSent(const ProgressReport& report);

// "0:42", "12:05", "1:02:03"; "--:--" when unknown.
std::string FormatTimeLeft(std::optional<Millis> timeLeft);

// Time left at the rate seen so far; nothing before a rate is known.
std::optional<Millis> EstimateTimeLeft(const ProgressReport& report, Millis elapsed);

// One line of the terminal bar, without carriage return or line feed.
std::string FormatProgressBar(const ProgressReport& report, std::optional<Millis> timeLeft);

// What a run waits for, in one line: "Waiting for the meter to restart in
// update mode (0:05 left)", the time left where known; empty when the wait is over.
std::string WaitingText(const WaitingReport& report, bool withTimeLeft);

class ProgressDisplay {
 public:
  // `wallClock` measures the operator's real time for the time-left estimate.
  ProgressDisplay(std::ostream& out, bool terminal, const Clock& wallClock);

  void Report(const ProgressReport& report);
  // On a terminal a status line redrawn in place; otherwise one line per phase.
  void Waiting(const WaitingReport& report);
  // Ends a bar line in progress so that other output starts on a fresh line.
  void BreakLine();

 private:
  void StartImageIfNew(const ProgressReport& report);
  void ShowBar(const ProgressReport& report);
  void ShowPercentLine(const ProgressReport& report);

  std::ostream& out_;
  bool terminal_;
  const Clock& wallClock_;
  int image_ = 0;  // the image being shown; 0 before the first report
  Millis imageStart_{0};
  int lastPercent_ = -1;
  bool barOnScreen_ = false;
  MeterWait shownWait_ = MeterWait::kNone;
};

}  // namespace quorvel::cli
