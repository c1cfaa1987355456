#pragma once
// `list` and `identify`: a meter as text and as JSON.
#include <string>

#include "common/json_text.h"
#include "instrument/meter_query.h"

namespace quorvel::cli {

std::string RenderMeterText(const MeterRecord& meter);

// The meter as JSON: resource, opened, identity, serial, identified, mode and
// versions (null when the meter reported none).
Json MeterJson(const MeterRecord& meter);

// The versions as `list`, `identify` and `update --json` give them: dsp,
// panel and msp430; null when the meter reported none.
Json VersionsJson(const MeterVersions& versions);

// A reply without the line end the meter sends after it.
std::string WithoutTrailingNewline(std::string text);

}  // namespace quorvel::cli
