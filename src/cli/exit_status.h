#pragma once
// The exit statuses of quorvel-cli. Scripts rely on these numbers: keep them
// stable and keep docs/cli.md and the --help footer in step.
#include <string_view>
#include <vector>

#include "update/update_procedures.h"

namespace quorvel::cli {

enum class ExitStatus : int {
  kSuccess = 0,         // the meter accepted every image; info: the file would pass
  kFailure = 1,         // anything not covered below (backend could not start, ...)
  kBadArguments = 2,    // command line, backend name or knobs not usable
  kFileRefused = 3,     // the file was refused or could not be read; nothing was sent
  kNoMeter = 4,         // no meter where one was needed
  kTransferFailed = 5,  // the meter did not accept the image
  kWrongMode = 6,       // the meter is in update mode and must be power-cycled first
  kNotVerified = 7,     // --verify: the update was accepted, but the meter did not come back
                        // running the file's versions
  kStopped = 130,       // Ctrl+C: stopped between frames, meter left in update mode
};

constexpr int ToInt(ExitStatus status) { return static_cast<int>(status); }

// How one run of the update procedure maps to the program's exit status.
ExitStatus ExitStatusFor(UpdateOutcome outcome);

// The exit status one meter's result stands for: its outcome's, except that
// a meter the run switched to update mode and did not update is a failed
// update (5), whatever stopped the run before the meter took the file, and
// an unverified update is 7.
ExitStatus ExitStatusOf(const UpdateReport& report);
// The worse of two statuses, from mildest: 0, 3, 6, 4, 7, 1, 5, 130.
ExitStatus WorseExitStatus(ExitStatus a, ExitStatus b);
// The worst of them: 0 only when some meter was updated and every meter
// succeeded; a run whose every meter was skipped in update mode is 6.
ExitStatus WorstExitStatus(const std::vector<UpdateReport>& reports);

// One line for the --help footer and the documentation.
std::string_view ExitStatusTable();

}  // namespace quorvel::cli
