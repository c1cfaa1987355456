#pragma once
// Judging a firmware file against a meter's identity before anything is sent,
// with the update procedures' own rules and texts: the package update runs the
// package part itself before its switch; the CLI runs the whole check before
// the meter is switched at all (its pre-flight, the fleet's workers and
// `info --resource`), so that a file the meter would refuse costs no power cycle.
#include <optional>
#include <string>
#include <vector>

#include "firmware/file_source.h"
#include "firmware/image_header.h"
#include "firmware/loaded_firmware.h"
#include "update/update_report.h"

namespace quorvel {

struct FileRefusal {
  UpdateOutcome outcome = UpdateOutcome::kFileRefused;  // or kFileNotOpened
  // What the update tells the operator: the package update's message box, and
  // the first words of the single-image update's log lines.
  std::string text;
  // The single-image update's log lines, as the window writes them; empty for a package.
  std::vector<std::string> logLines;
};

// The package update's judgement of its examined header (image 3, or the last
// one) against the meter; the message box text when it refuses.
std::optional<std::string> JudgeExaminedPackageHeader(FirmwareFile& package,
                                                      const MeterVersions& meter);

// Why a file could not be taken into memory, as a refusal before the meter is touched.
FileRefusal RefusalOfLoad(const LoadFailure& failure);

// The whole check of a file in memory (a package when its name says so, else
// an image) against `meter`: nothing when the update would take it.
std::optional<FileRefusal> CheckFirmware(const LoadedFirmware& firmware, const MeterVersions& meter);

// The same for the file at `path`, read whole first.
std::optional<FileRefusal> CheckFileAgainstMeter(FileSystem& files, const std::string& path,
                                                 const MeterVersions& meter);

}  // namespace quorvel
