#pragma once
// `info`: the firmware file's report (update/firmware_report.h) as text or JSON.
#include <string>

#include "common/json_text.h"
#include "update/firmware_report.h"

namespace quorvel::cli {

std::string RenderReportText(const FileReport& report);
Json ReportJson(const FileReport& report);
std::string RenderReportJson(const FileReport& report);

}  // namespace quorvel::cli
