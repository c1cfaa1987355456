#include "cli/exit_status.h"

#include <algorithm>
#include <array>

namespace quorvel::cli {

namespace {

// From harmless to worst: the exit status of a run is that of its worst meter.
constexpr std::array kSeverity = {
    ExitStatus::kSuccess,     ExitStatus::kFileRefused,    ExitStatus::kWrongMode,
    ExitStatus::kNoMeter,     ExitStatus::kNotVerified,    ExitStatus::kFailure,
    ExitStatus::kTransferFailed, ExitStatus::kStopped};

std::size_t SeverityOf(ExitStatus status) {
  for (std::size_t i = 0; i < kSeverity.size(); ++i) {
    if (kSeverity[i] == status) return i;
  }
  return kSeverity.size();
}

}  // namespace

ExitStatus ExitStatusOf(const UpdateReport& report) {
  if (report.skipped) return ExitStatus::kSuccess;
  if (report.outcome == UpdateOutcome::kInstalled) {
    const bool unverified = report.verification != Verification::kNotAsked &&
                            report.verification != Verification::kVerified;
    return unverified ? ExitStatus::kNotVerified : ExitStatus::kSuccess;
  }
  // Data accepted without a final verdict: only the versions --verify sees settle it.
  if (report.outcome == UpdateOutcome::kUnconfirmed) {
    return report.verification == Verification::kVerified ? ExitStatus::kSuccess
                                                          : ExitStatus::kNotVerified;
  }
  const ExitStatus status = ExitStatusFor(report.outcome);
  // A meter stranded in update mode needs a power cycle: never a mild status.
  if (report.switchedToUpdateMode) return WorseExitStatus(status, ExitStatus::kTransferFailed);
  return status;
}

ExitStatus WorseExitStatus(ExitStatus a, ExitStatus b) {
  return SeverityOf(b) > SeverityOf(a) ? b : a;
}

ExitStatus WorstExitStatus(const std::vector<UpdateReport>& reports) {
  ExitStatus worst = ExitStatus::kSuccess;
  for (const UpdateReport& report : reports) worst = WorseExitStatus(worst, ExitStatusOf(report));
  // Nothing updated is no success: every meter was found in update mode.
  const bool allSkipped = !reports.empty() && std::ranges::all_of(reports, [](const UpdateReport& r) {
    return r.skipped;
  });
  return allSkipped ? ExitStatus::kWrongMode : worst;
}

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
         "  5    transfer failed: the meter did not accept the image, or is left in update mode\n"
         "  6    meter in update mode (update --all: every meter was): recycle its power and try again\n"
         "  7    accepted, but not confirmed: an image got no reply to its end frame (unless\n"
         "       --verify then saw the file's versions), or --verify did not see them\n"
         "  130  stopped by Ctrl+C: before the switch to update mode the meter is unchanged;\n"
         "       after it, the meter is left in update mode (the outcome names the images it accepted)\n";
}

}  // namespace quorvel::cli
