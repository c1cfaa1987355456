#include "cli/progress_display.h"

#include <gtest/gtest.h>

#include <limits>
#include <sstream>

namespace quorvel::cli {
namespace {

ProgressReport Sent(std::uint64_t sent, std::uint64_t total, int image = 1, int imageCount = 1) {
  ProgressReport report;
  report.bytesSent = sent;
  report.bytesTotal = total;
  report.image = image;
  report.imageCount = imageCount;
  return report;
}

TEST(PercentSent, IsWholePercentRoundedDownAndOnlyHundredAtTheEnd) {
  constexpr auto kHuge = std::numeric_limits<std::uint64_t>::max();
  const struct {
    std::uint64_t sent, total;
    std::optional<int> percent;
  } cases[] = {
      {0, 0, std::nullopt},  // an image without payload has no percentage
      {0, 4096, 0},           {29, 100, 29},     {240, 4096, 5}, {4095, 4096, 99},
      {4096, 4096, 100},      {5000, 4096, 100},  // more than announced is still the end
      {kHuge - 1, kHuge, 99},                     // no overflow on absurd sizes
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PercentSent(Sent(c.sent, c.total)), c.percent) << c.sent << "/" << c.total;
  }
}

TEST(TimeLeft, IsEstimatedFromTheRateSoFarAndPrintedInMinutesAndSeconds) {
  EXPECT_EQ(EstimateTimeLeft(Sent(0, 4800), Millis{1000}), std::nullopt);
  EXPECT_EQ(EstimateTimeLeft(Sent(2400, 4800), Millis{0}), std::nullopt);
  EXPECT_EQ(EstimateTimeLeft(Sent(2400, 4800), Millis{1000}), Millis{1000});
  EXPECT_EQ(EstimateTimeLeft(Sent(240, 4800), Millis{100}), Millis{1900});
  EXPECT_EQ(EstimateTimeLeft(Sent(4800, 4800), Millis{2000}), Millis{0});

  const struct {
    std::optional<Millis> left;
    const char* text;
  } formats[] = {
      {std::nullopt, "--:--"},      {Millis{0}, "0:00"},          {Millis{1}, "0:01"},
      {Millis{59000}, "0:59"},      {Millis{61000}, "1:01"},      {Millis{3599000}, "59:59"},
      {Millis{3600000}, "1:00:00"}, {Millis{3723000}, "1:02:03"},
  };
  for (const auto& f : formats) EXPECT_EQ(FormatTimeLeft(f.left), f.text);
}

TEST(ProgressBar, ShowsImageBytesPercentageAndTimeLeft) {
  EXPECT_EQ(FormatProgressBar(Sent(2048, 4096), Millis{5000}),
            "[###############---------------] 2048/4096 bytes  50%  0:05 left");
  EXPECT_EQ(FormatProgressBar(Sent(4096, 4096, 2, 3), Millis{0}),
            "Image 2/3 [##############################] 4096/4096 bytes 100%  0:00 left");
}

TEST(ProgressDisplay, WritesOnePercentLinePerWholePercentWhenNotATerminal) {
  std::ostringstream out;
  VirtualClock clock;
  ProgressDisplay display(out, /*terminal=*/false, clock);
  // 1000 frames of 1 byte: ten reports fall on each whole percent.
  for (std::uint64_t sent = 1; sent <= 1000; ++sent) display.Report(Sent(sent, 1000));
  std::istringstream lines(out.str());
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    EXPECT_EQ(line, "Progress: " + std::to_string(count) + "%");
    ++count;
  }
  EXPECT_EQ(count, 101);
}

TEST(ProgressDisplay, StartsAfreshForEachImageOfAPackage) {
  std::ostringstream out;
  VirtualClock clock;
  ProgressDisplay display(out, false, clock);
  display.Report(Sent(100, 100, 1, 2));
  display.Report(Sent(50, 100, 2, 2));
  display.Report(Sent(100, 100, 2, 2));
  EXPECT_EQ(out.str(),
            "Progress: 100% (image 1 of 2)\n"
            "Progress: 50% (image 2 of 2)\n"
            "Progress: 100% (image 2 of 2)\n");
}

TEST(ProgressDisplay, RedrawsOneBarLineOnATerminalAndEndsItBeforeOtherOutput) {
  std::ostringstream out;
  VirtualClock clock;
  ProgressDisplay display(out, true, clock);
  display.Report(Sent(240, 480));
  clock.Advance(Millis{100});
  display.Report(Sent(480, 480));
  display.BreakLine();
  display.BreakLine();  // only one line end, however often asked
  const std::string text = out.str();
  EXPECT_EQ(text.find('\n'), text.size() - 1);
  EXPECT_NE(text.find("\r\x1b[2K[###############"), std::string::npos);
  EXPECT_NE(text.find("480/480 bytes 100%  0:00 left"), std::string::npos);
}

TEST(ProgressDisplay, EndsTheBarWhenTheTransferFinishesAndKeepsItsLastState) {
  std::ostringstream out;
  VirtualClock clock;
  ProgressDisplay display(out, true, clock);
  display.Report(Sent(100, 200));
  ProgressReport over;  // the procedures say "over" with an otherwise empty report
  over.finished = true;
  display.Report(over);
  EXPECT_EQ(out.str().back(), '\n');
  EXPECT_EQ(out.str().find("0/0 bytes"), std::string::npos) << out.str();

  std::ostringstream plain;
  ProgressDisplay lines(plain, false, clock);
  lines.Report(Sent(200, 200));
  lines.Report(over);
  EXPECT_EQ(plain.str(), "Progress: 100%\n");
}

// Between the switch and the first frame the meter is silent for about 14 s:
// a pipe gets one line per phase, a terminal one status line redrawn in place
// that the progress bar then takes over.
TEST(ProgressDisplay, SaysWhatTheRunWaitsForOncePerPhase) {
  const WaitingReport waits[] = {{MeterWait::kSwitching, Millis{2000}},
                                 {MeterWait::kSwitching, Millis{1000}},
                                 {MeterWait::kRestarting, Millis{5000}},
                                 {MeterWait::kReconnecting, Millis{0}},
                                 {MeterWait::kNone, Millis{0}}};
  const struct {
    bool terminal;
    std::string expected;
  } cases[] = {
      {false,
       "Waiting for the meter to switch to update mode...\n"
       "Waiting for the meter to restart in update mode...\n"
       "Looking for the meter in update mode...\n"
       "Progress: 50%\n"},
      {true,
       "\r\x1b[2KWaiting for the meter to switch to update mode (0:02 left)"
       "\r\x1b[2KWaiting for the meter to switch to update mode (0:01 left)"
       "\r\x1b[2KWaiting for the meter to restart in update mode (0:05 left)"
       "\r\x1b[2KLooking for the meter in update mode"
       "\r\x1b[2K"},
  };
  for (const auto& c : cases) {
    std::ostringstream out;
    VirtualClock clock;
    ProgressDisplay display(out, c.terminal, clock);
    for (const WaitingReport& wait : waits) display.Waiting(wait);
    display.Report(Sent(50, 100));
    EXPECT_TRUE(out.str().starts_with(c.expected)) << c.terminal << "\n" << out.str();
    EXPECT_EQ(out.str().find('\n', c.expected.size()), std::string::npos)
        << "the bar starts on the status line's place";
  }
}

}  // namespace
}  // namespace quorvel::cli
