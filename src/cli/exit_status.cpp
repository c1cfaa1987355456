#include "cli/exit_status.h"

namespace quorvel::cli {

ExitStatus ExitStatusFor(UpdateOutcome outcome) {
  switch (outcome) {
    case UpdateOutcome::kInstalled:
      return ExitStatus::kSuccess;
    case UpdateOutcome::kFileRefused:
    case UpdateOutcome::kFileNotOpened:
      return ExitStatus::kFileRefused;
    case UpdateOutcome::kRediscovered:  // the procedure found no ready meter
    case UpdateOutcome::kNoMeter:
      return ExitStatus::kNoMeter;
    case UpdateOutcome::kTransferFailed:
      return ExitStatus::kTransferFailed;
    case UpdateOutcome::kUnconfirmed:  // accepted, not confirmed: as if not verified
      return ExitStatus::kNotVerified;
    case UpdateOutcome::kWrongMode:
      return ExitStatus::kWrongMode;
    case UpdateOutcome::kStopped:
    case UpdateOutcome::kChooserCancelled:  // the CLI's chooser only cancels on Ctrl+C
      return ExitStatus::kStopped;
  }
  return ExitStatus::kFailure;
}

std::string_view ExitStatusTable() {
  return "Exit status:\n"
         "  0    success (update: the meter accepted every image; info: the file passed every check made)\n"
         "  1    other failure (output not written, VISA resource manager not opened)\n"
         "  2    bad arguments, unknown backend or knob, several meters without --resource\n"
         "  3    file refused, unreadable or missing; no image data was sent\n"
         "  4    no meter found\n"
         "  5    transfer failed: the meter did not accept the image\n"
         "  6    meter in update mode: recycle its power and try again\n"
         "  7    accepted, but not confirmed: an image got no reply to its end frame (unless\n"
         "       --verify then saw the file's versions), or --verify did not see them\n"
         "  130  stopped by Ctrl+C: before the switch to update mode the meter is unchanged;\n"
         "       after it, the meter is left in update mode (the outcome names the images it accepted)\n";
}

}  // namespace quorvel::cli
