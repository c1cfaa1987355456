#pragma once
// The one line an update ends with: what happened, why, and what to do next,
// from the procedure's report (never from its log).
#include <string>

#include "update/update_report.h"

namespace quorvel::cli {

enum class OutcomeTone { kGood, kBad, kStopped };

struct OutcomeLine {
  OutcomeTone tone = OutcomeTone::kBad;
  std::string verdict;  // "Updated", "Update failed", ...
  std::string text;     // the rest: what happened and why, then what to do next
};

// The line for `report`; its file name and reason are escaped here.
OutcomeLine DescribeOutcome(const UpdateReport& report);

// The line as printed, with the verdict in colour when `colour` is set.
std::string RenderOutcomeLine(const OutcomeLine& line, bool colour);

// Colour only on a terminal, and never when NO_COLOR is set and not empty.
bool UseColour(bool outputIsTerminal, const char* noColorVariable);

}  // namespace quorvel::cli
