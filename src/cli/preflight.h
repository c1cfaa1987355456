#pragma once
// The CLI's pre-flight: find -> identify -> judge. Before the update switches
// the meter to update mode, the file is judged against the meter's identity
// with the update's own rules and texts, so a file the meter would refuse
// never costs the operator a power cycle. (The window keeps its order.)
// A meter that is not found or in update mode is left to the update, which
// reports it in its own words.
#include <optional>
#include <string>

#include "cli/meter_query.h"
#include "update/file_check.h"

namespace quorvel::cli {

struct PreflightResult {
  std::optional<MeterRecord> meter;  // who the meter said it is, when one was found
  // Why the update must not start: the file it would refuse, or a meter that
  // did not identify itself (outcome kNoMeter).
  std::optional<FileRefusal> refusal;
};

// Touches the meter only with the identity and serial queries.
PreflightResult RunPreflight(Services& services, const std::string& path);

}  // namespace quorvel::cli
