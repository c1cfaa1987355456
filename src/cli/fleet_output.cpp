#include "cli/fleet_output.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <sstream>

#include "cli/meter_text.h"
#include "cli/progress_display.h"
#include "common/printable_text.h"

namespace quorvel::cli {

namespace {

// Moves the cursor to the start of the line `n` lines up.
std::string CursorUp(std::size_t n) { return "\x1b[" + std::to_string(n) + "F"; }
constexpr const char* kEraseLineInPlace = "\x1b[2K";

std::string OutcomeText(const UpdateReport& report) {
  std::string text(OutcomeName(report));
  if (report.verification != Verification::kNotAsked) text += ", " + report.verificationText;
  return text;
}

// The reason, printable, unless the outcome text already says it (a failed
// verification is both the outcome's second half and the reason).
std::string ReasonBeyondOutcome(const UpdateReport& report) {
  if (report.verification != Verification::kNotAsked && report.reason == report.verificationText) {
    return {};
  }
  return PrintableField(report.reason);
}

// In the shape `list` and `identify` give; null for a meter that reported
// none (not found, silent, or in update mode).
nlohmann::json VersionsBeforeJson(const UpdateReport& report) {
  const MeterVersions before = VersionsFromIdentity(report.identityBefore);
  if (IsWrongMode(before)) return nullptr;
  return VersionsJson(before);
}

}  // namespace

FleetDisplay::FleetDisplay(std::ostream& out, bool terminal, const Clock& wallClock,
                           std::vector<std::string> labels)
    : out_(out), terminal_(terminal), wallClock_(wallClock) {
  for (std::string& label : labels) {
    meters_.push_back({.label = PrintableField(label), .status = "waiting"});
  }
}

void FleetDisplay::Line(std::size_t meter, std::string_view text) {
  const std::lock_guard lock(mutex_);
  if (meter >= meters_.size()) return;
  MeterLine& line = meters_[meter];
  // Log texts may hold "\r\n" separators and blank lines; a status wants one line.
  std::string printable = LogLineText(text);
  printable.erase(std::remove(printable.begin(), printable.end(), '\n'), printable.end());
  if (terminal_) {
    if (!printable.empty()) line.status = printable;
    Redraw();
    return;
  }
  out_ << '[' << line.label << "] " << printable << '\n' << std::flush;
}

void FleetDisplay::Progress(std::size_t meter, const ProgressReport& report) {
  const std::lock_guard lock(mutex_);
  if (meter >= meters_.size()) return;
  MeterLine& line = meters_[meter];
  if (report.finished && report.bytesTotal == 0) {
    line.transferring = false;
    if (terminal_) Redraw();
    return;
  }
  if (!line.transferring || report.image != line.progress.image) {
    line.imageStart = wallClock_.Now();
    line.shownPercent = -1;
  }
  line.transferring = !report.finished;
  line.progress = report;
  const std::optional<int> percent = PercentSent(report);
  if (terminal_) {
    Redraw();
  } else if (percent && *percent != line.shownPercent) {
    line.shownPercent = *percent;
    out_ << '[' << line.label << "] Progress: " << *percent << '%';
    if (report.imageCount > 1) out_ << " (image " << report.image << " of " << report.imageCount << ')';
    out_ << '\n' << std::flush;
  }
}

void FleetDisplay::Waiting(std::size_t meter, const WaitingReport& report) {
  const std::lock_guard lock(mutex_);
  if (meter >= meters_.size()) return;
  MeterLine& line = meters_[meter];
  const bool newPhase = report.what != line.wait;
  line.wait = report.what;
  if (report.what == MeterWait::kNone) return;  // the next line or progress replaces it
  if (terminal_) {
    line.status = WaitingText(report, true);
    Redraw();
  } else if (newPhase) {
    out_ << '[' << line.label << "] " << WaitingText(report, false) << "...\n" << std::flush;
  }
}

void FleetDisplay::Finished(std::size_t meter, const UpdateReport& report) {
  const std::lock_guard lock(mutex_);
  if (meter >= meters_.size()) return;
  MeterLine& line = meters_[meter];
  line.transferring = false;
  const std::string reason = ReasonBeyondOutcome(report);
  line.status = OutcomeText(report) + (reason.empty() ? "" : ": " + reason);
  if (terminal_) {
    Redraw();
  } else {
    out_ << '[' << line.label << "] " << line.status << '\n' << std::flush;
  }
}

void FleetDisplay::Redraw() {
  if (drawn_) out_ << CursorUp(meters_.size());
  for (const MeterLine& line : meters_) {
    out_ << kEraseLineInPlace << line.label << "  ";
    if (line.transferring) {
      const auto timeLeft = EstimateTimeLeft(line.progress, wallClock_.Now() - line.imageStart);
      out_ << FormatProgressBar(line.progress, timeLeft);
    } else {
      out_ << line.status.substr(0, 100);
    }
    out_ << '\n';
  }
  out_ << std::flush;
  drawn_ = true;
}

std::string RenderFleetTable(const std::vector<UpdateReport>& reports) {
  std::vector<std::vector<std::string>> rows = {
      {"RESOURCE", "SERIAL", "BEFORE", "FILE", "OUTCOME", "REASON"}};
  for (const UpdateReport& report : reports) {
    rows.push_back({PrintableField(report.resource), PrintableField(report.serial),
                    PrintableField(report.versionsBefore), PrintableField(report.file),
                    OutcomeText(report), ReasonBeyondOutcome(report)});
  }
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::ostringstream out;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  }
  return out.str();
}

std::string RenderFleetJson(const std::vector<UpdateReport>& reports, int exitStatus) {
  nlohmann::json meters = nlohmann::json::array();
  for (const UpdateReport& report : reports) {
    nlohmann::json meter = {
        {"resource", report.resource},
        {"serial", report.serial},
        {"identityBefore", report.identityBefore},
        {"versionsBefore", VersionsBeforeJson(report)},
        {"file", report.file},
        {"fileSha256", report.fileSha256.empty() ? nlohmann::json()
                                                 : nlohmann::json(report.fileSha256)},
        {"outcome", OutcomeName(report)},
        {"succeeded", report.succeeded()},
        {"reason", report.reason},
        {"package", report.package},
        {"image", report.image},
        {"imageCount", report.imageCount},
        {"imagesAccepted", report.imagesAccepted},
        {"imagesUnconfirmed", report.imagesUnconfirmed},
        {"switchedToUpdateMode", report.switchedToUpdateMode},
        {"step", report.step == TransferStep::kNone ? nlohmann::json()
                                                    : nlohmann::json(StepName(report.step))},
        {"meterStatus", report.meterStatus ? nlohmann::json(report.MeterStatusText())
                                           : nlohmann::json()},
    };
    if (report.verification != Verification::kNotAsked) {
      meter["verification"] = report.verificationText;
      meter["identityAfter"] = report.identityAfter;
    }
    meters.push_back(std::move(meter));
  }
  const nlohmann::json whole = {{"meters", meters}, {"exitStatus", exitStatus}};
  // Bytes from the meter that are not UTF-8 are replaced, never a failure.
  return whole.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

}  // namespace quorvel::cli
