#include "cli/outcome_line.h"

#include <gtest/gtest.h>

namespace quorvel::cli {
namespace {

UpdateReport Report(UpdateOutcome outcome, int image, int count, TransferStep step,
                    std::optional<std::uint8_t> status, bool switched = true,
                    std::string reason = {}) {
  UpdateReport report;
  report.file = "f\x1b.pak";
  report.outcome = outcome;
  report.image = image;
  report.imageCount = count;
  report.step = step;
  report.meterStatus = status;
  report.switchedToUpdateMode = switched;
  report.reason = std::move(reason);
  return report;
}

// The images the meter took, and those of them whose end frame it never answered.
UpdateReport WithImages(UpdateReport report, int accepted, std::vector<int> unconfirmed = {}) {
  report.imagesAccepted = accepted;
  report.imagesUnconfirmed = std::move(unconfirmed);
  return report;
}

TEST(OutcomeLine, SaysWhatHappenedWhyAndWhatToDoNext) {
  const struct {
    UpdateReport report;
    std::string line;
  } cases[] = {
      {Report(UpdateOutcome::kTransferFailed, 2, 3, TransferStep::kStatusRefused, '2'),
       "Update failed: the meter reported CHECKSUM_ERROR for image 2 of 3. Recycle the meter's "
       "power and try again."},
      {Report(UpdateOutcome::kTransferFailed, 1, 1, TransferStep::kStatusRefused, '?'),
       "Update failed: the meter reported status 0x3F for the image. Recycle the meter's power "
       "and try again."},
      {Report(UpdateOutcome::kNoMeter, 0, 3, TransferStep::kMeterLost, {}),
       "Update failed: the meter did not come back after its switch to update mode; it is left "
       "in update mode. Recycle the meter's power and try again."},
      {Report(UpdateOutcome::kNoMeter, 0, 1, TransferStep::kMeterLost, {}, false),
       "Update failed: the meter stopped answering before its switch to update mode. Check the "
       "cable and try again. To see why, run quorvel-cli doctor."},
      {Report(UpdateOutcome::kInstalled, 3, 3, TransferStep::kNone, {}),
       "Updated: the meter accepted \"f\\x1B.pak\" (3 images). Recycle the meter's power to start "
       "the new firmware."},
      // Without a reply to an end frame nothing says the meter installed the image.
      {WithImages(Report(UpdateOutcome::kUnconfirmed, 3, 3, TransferStep::kNone, {}), 3, {2, 3}),
       "Unconfirmed: the meter accepted the data of \"f\\x1B.pak\", but images 2 and 3 of 3 got "
       "no reply to their end frame; the versions after the power cycle (or --verify) tell "
       "whether the meter installed them. Recycle the meter's power to start the new firmware."},
      {Report(UpdateOutcome::kTransferFailed, 1, 1, TransferStep::kEndStatusNotRead, {}),
       "Update failed: the meter gave no reply to the end frame of the image. Recycle the meter's "
       "power and try again."},
      // A stop after the switch names what the meter already took.
      {WithImages(Report(UpdateOutcome::kStopped, 3, 3, TransferStep::kNone, {}), 2),
       "Stopped: by Ctrl+C after the meter accepted images 1 and 2 of 3; the meter is left in "
       "update mode. Recycle its power before the next attempt."},
      {WithImages(Report(UpdateOutcome::kStopped, 1, 3, TransferStep::kNone, {}), 0),
       "Stopped: by Ctrl+C; the meter is left in update mode. Recycle its power before the next "
       "attempt."},
      // Refused before the switch the meter needs nothing; after it, a power cycle.
      {Report(UpdateOutcome::kFileRefused, 0, 0, TransferStep::kNone, {}, false,
              "Firmware Update Not Possible (DSP).\nBinary file version is older."),
       "Refused: Firmware Update Not Possible (DSP). Binary file version is older. The meter was "
       "not touched; choose another file."},
      {Report(UpdateOutcome::kFileRefused, 0, 0, TransferStep::kNone, {}, true),
       "Refused: the update refused \"f\\x1B.pak\". Recycle the meter's power and try again."},
      // A reason that already says what to do is not told twice.
      {Report(UpdateOutcome::kNoMeter, 0, 0, TransferStep::kNone, {}, false,
              "The meter did not identify itself. Check the cable and try again."),
       "Not updated: The meter did not identify itself. Check the cable and try again. To see why, "
       "run quorvel-cli doctor."},
      {Report(UpdateOutcome::kNoMeter, 0, 0, TransferStep::kNone, {}, false),
       "Not updated: the meter was not found. Check the cable and try again. To see why, run "
       "quorvel-cli doctor."},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RenderOutcomeLine(DescribeOutcome(c.report), false), c.line);
  }
}

TEST(OutcomeLine, IsColouredOnlyOnATerminalWithoutNoColor) {
  EXPECT_TRUE(UseColour(true, nullptr));
  EXPECT_TRUE(UseColour(true, ""));
  EXPECT_FALSE(UseColour(true, "1"));
  EXPECT_FALSE(UseColour(false, nullptr));
  const OutcomeLine failed{OutcomeTone::kBad, "Update failed", "why."};
  EXPECT_EQ(RenderOutcomeLine(failed, true), "\x1b[1;31mUpdate failed\x1b[0m: why.");
}

}  // namespace
}  // namespace quorvel::cli
