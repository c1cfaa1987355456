#include "cli/progress_display.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace quorvel::cli {

namespace {

constexpr int kBarWidth = 30;
// Erases the terminal line the cursor is on and returns to its start.
constexpr const char* kEraseLine = "\r\x1b[2K";

std::string ImagePrefix(const ProgressReport& report) {
  if (report.imageCount <= 1) return {};
  return "Image " + std::to_string(report.image) + "/" + std::to_string(report.imageCount) + " ";
}

}  // namespace

std::optional<int> PercentSent(const ProgressReport& report) {
  if (report.bytesTotal == 0) return std::nullopt;
  if (report.bytesSent >= report.bytesTotal) return 100;
  constexpr std::uint64_t kExactLimit = std::numeric_limits<std::uint64_t>::max() / 100;
  if (report.bytesSent <= kExactLimit) {
    return static_cast<int>(report.bytesSent * 100 / report.bytesTotal);
  }
  // Sizes beyond any real file: coarser, never 100 before the end.
  return static_cast<int>(
      std::min<std::uint64_t>(99, report.bytesSent / (report.bytesTotal / 100)));
}

std::optional<Millis> EstimateTimeLeft(const ProgressReport& report, Millis elapsed) {
  if (report.bytesTotal == 0) return std::nullopt;
  if (report.bytesSent >= report.bytesTotal) return Millis{0};
  if (report.bytesSent == 0 || elapsed.count() <= 0) return std::nullopt;
  const double perByte =
      static_cast<double>(elapsed.count()) / static_cast<double>(report.bytesSent);
  const double left = perByte * static_cast<double>(report.bytesTotal - report.bytesSent);
  return Millis{static_cast<Millis::rep>(left)};
}

std::string FormatTimeLeft(std::optional<Millis> timeLeft) {
  if (!timeLeft) return "--:--";
  const long long total = (timeLeft->count() + 999) / 1000;  // whole seconds, rounded up
  const long long hours = total / 3600;
  const long long minutes = (total / 60) % 60;
  const long long seconds = total % 60;
  char text[32];
  if (hours > 0) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", hours, minutes, seconds);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", minutes, seconds);
  }
  return text;
}

std::string FormatProgressBar(const ProgressReport& report, std::optional<Millis> timeLeft) {
  const int percent = PercentSent(report).value_or(0);
  const int filled = percent * kBarWidth / 100;
  std::string bar = ImagePrefix(report) + "[";
  bar.append(static_cast<std::size_t>(filled), '#');
  bar.append(static_cast<std::size_t>(kBarWidth - filled), '-');
  char numbers[96];
  std::snprintf(numbers, sizeof numbers, "] %llu/%llu bytes %3d%%  %s left",
                static_cast<unsigned long long>(report.bytesSent),
                static_cast<unsigned long long>(report.bytesTotal), percent,
                FormatTimeLeft(timeLeft).c_str());
  return bar + numbers;
}

std::string WaitingText(const WaitingReport& report, bool withTimeLeft) {
  std::string text;
  switch (report.what) {
    case MeterWait::kNone: return {};
    case MeterWait::kSwitching: text = "Waiting for the meter to switch to update mode"; break;
    case MeterWait::kRestarting: text = "Waiting for the meter to restart in update mode"; break;
    case MeterWait::kReconnecting: text = "Looking for the meter in update mode"; break;
  }
  if (withTimeLeft && report.left > Millis{0}) {
    text += " (" + FormatTimeLeft(report.left) + " left)";
  }
  return text;
}

ProgressDisplay::ProgressDisplay(std::ostream& out, bool terminal, const Clock& wallClock)
    : out_(out), terminal_(terminal), wallClock_(wallClock) {}

void ProgressDisplay::StartImageIfNew(const ProgressReport& report) {
  if (report.image == image_) return;
  BreakLine();
  image_ = report.image;
  imageStart_ = wallClock_.Now();
  lastPercent_ = -1;
}

void ProgressDisplay::Report(const ProgressReport& report) {
  if (report.finished && report.bytesTotal == 0) {
    // "The transfer is over" without counts: the bar keeps its last state.
    BreakLine();
    return;
  }
  StartImageIfNew(report);
  if (terminal_) {
    ShowBar(report);
  } else {
    ShowPercentLine(report);
  }
  if (report.finished) BreakLine();
}

void ProgressDisplay::ShowBar(const ProgressReport& report) {
  const auto timeLeft = EstimateTimeLeft(report, wallClock_.Now() - imageStart_);
  out_ << kEraseLine << FormatProgressBar(report, timeLeft) << std::flush;
  barOnScreen_ = true;
}

void ProgressDisplay::ShowPercentLine(const ProgressReport& report) {
  const std::optional<int> percent = PercentSent(report);
  if (!percent || *percent == lastPercent_) return;
  lastPercent_ = *percent;
  out_ << "Progress: " << *percent << '%';
  if (report.imageCount > 1)
    out_ << " (image " << report.image << " of " << report.imageCount << ')';
  out_ << '\n' << std::flush;
}

void ProgressDisplay::Waiting(const WaitingReport& report) {
  if (terminal_) {
    // The status line is replaced by the next one, or erased when the wait is over.
    out_ << kEraseLine << WaitingText(report, true) << std::flush;
    barOnScreen_ = report.what != MeterWait::kNone;
  } else if (report.what != shownWait_ && report.what != MeterWait::kNone) {
    out_ << WaitingText(report, false) << "...\n" << std::flush;
  }
  shownWait_ = report.what;
}

void ProgressDisplay::BreakLine() {
  if (!barOnScreen_) return;
  out_ << '\n' << std::flush;
  barOnScreen_ = false;
}

}  // namespace quorvel::cli
