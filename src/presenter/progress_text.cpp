#include "presenter/progress_text.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "instrument/wire_format.h"

namespace quorvel {

namespace {
// Every data frame is preceded by this wait, so it sets the transfer's pace.
constexpr Millis kFrameInterval{100};
constexpr std::string_view kSeparator = " \u00b7 ";

std::uint64_t BytesLeft(const ProgressReport& report) {
  return report.bytesSent >= report.bytesTotal ? 0 : report.bytesTotal - report.bytesSent;
}

std::string FormatMinutesSeconds(Millis duration) {
  // Rounded up: a transfer with a few frames to go is not "0:00 left".
  const auto seconds = std::chrono::ceil<std::chrono::seconds>(duration).count();
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld", static_cast<long long>(seconds / 60),
                static_cast<long long>(seconds % 60));
  return text;
}
}  // namespace

int ProgressPercent(const ProgressReport& report) {
  if (report.bytesTotal == 0) return report.finished ? 100 : 0;
  const std::uint64_t sent = std::min(report.bytesSent, report.bytesTotal);
  // In floating point so that no image size can overflow the product.
  return static_cast<int>(static_cast<double>(sent) * 100.0 /
                          static_cast<double>(report.bytesTotal));
}

Millis EstimateTimeLeft(const ProgressReport& report) {
  if (report.finished) return Millis{0};
  const std::uint64_t frames = (BytesLeft(report) + kMaxDataFrame - 1) / kMaxDataFrame;
  return kFrameInterval * static_cast<std::int64_t>(frames);
}

std::string DescribeProgress(const ProgressReport& report) {
  std::string text;
  if (report.imageCount > 1) {
    text += "Image " + std::to_string(report.image) + " of " +
            std::to_string(report.imageCount);
    text += kSeparator;
  }
  text += std::to_string(ProgressPercent(report)) + "%";
  text += kSeparator;
  text += std::to_string(std::min(report.bytesSent, report.bytesTotal)) + " of " +
          std::to_string(report.bytesTotal) + " bytes";
  text += kSeparator;
  text += FormatMinutesSeconds(EstimateTimeLeft(report)) + " left";
  return text;
}

}  // namespace quorvel
