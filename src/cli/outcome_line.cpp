#include "cli/outcome_line.h"

#include <algorithm>

#include "common/printable_text.h"

namespace quorvel::cli {

namespace {

constexpr std::string_view kRecycleAndRetry = "Recycle the meter's power and try again.";
// Without a meter, what stands in the way is for doctor to find out.
constexpr std::string_view kAskTheDoctor = "To see why, run quorvel-cli doctor.";

std::string Images(int count) {
  return std::to_string(count) + (count == 1 ? " image" : " images");
}

// What to do after a run that did not install: a meter the run switched to
// update mode needs a power cycle whatever else went wrong.
std::string NextStep(const UpdateReport& report, std::string_view otherwise) {
  if (report.switchedToUpdateMode) return std::string(kRecycleAndRetry);
  return std::string(otherwise);
}

// " after the meter accepted images 1 and 2 of 3", or nothing when none went in.
std::string AfterAccepted(const UpdateReport& report) {
  const std::string accepted = AcceptedImagesText(report);
  return accepted.empty() ? std::string() : " after " + accepted;
}

// A reason as one printable sentence part.
std::string Reason(const std::string& text, std::string_view fallback) {
  std::string reason = OneLineText(text.empty() ? fallback : text);
  while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
  return reason;
}

}  // namespace

namespace {

OutcomeLine OutcomeWithoutDoctor(const UpdateReport& report) {
  const std::string file = "\"" + PrintableField(report.file) + "\"";
  switch (report.outcome) {
    case UpdateOutcome::kInstalled:
      return {OutcomeTone::kGood, "Updated",
              "the meter accepted " + file + " (" + Images(std::max(report.imageCount, 1)) +
                  "). Recycle the meter's power to start the new firmware."};
    case UpdateOutcome::kUnconfirmed:
      return {OutcomeTone::kBad, "Unconfirmed",
              "the meter accepted the data of " + file + ", but " + UnconfirmedText(report) +
                  ". Recycle the meter's power to start the new firmware."};
    case UpdateOutcome::kTransferFailed:
      return {OutcomeTone::kBad, "Update failed",
              Reason(TransferFailureText(report), "the meter did not accept the update") + ". " +
                  std::string(kRecycleAndRetry)};
    case UpdateOutcome::kStopped:
      return {OutcomeTone::kStopped, "Stopped",
              "by Ctrl+C" + AfterAccepted(report) +
                  "; the meter is left in update mode. Recycle its power before the next "
                  "attempt."};
    case UpdateOutcome::kChooserCancelled:
      return {OutcomeTone::kStopped, "Stopped", "before the update began; the meter is unchanged."};
    case UpdateOutcome::kWrongMode:
      return {OutcomeTone::kBad, "Not updated",
              "the meter is in update mode. " + std::string(kRecycleAndRetry)};
    case UpdateOutcome::kFileNotOpened:
      return {OutcomeTone::kBad, "Not updated",
              file + " could not be opened; no image data was sent. " +
                  NextStep(report, "The meter is unchanged.")};
    case UpdateOutcome::kFileRefused:
      return {OutcomeTone::kBad, "Refused",
              Reason(report.reason, "the update refused " + file) + ". " +
                  NextStep(report, "The meter was not touched; choose another file.")};
    case UpdateOutcome::kNoMeter:
    case UpdateOutcome::kRediscovered:
      break;
  }
  if (report.step == TransferStep::kMeterLost) {
    // Lost after the switch, the meter waits in update mode for its power cycle.
    const std::string stranded = report.switchedToUpdateMode ? "; it is left in update mode" : "";
    return {OutcomeTone::kBad, "Update failed",
            TransferFailureText(report) + stranded + ". " +
                NextStep(report, "Check the cable and try again.")};
  }
  if (!report.reason.empty()) {
    // A reason that already says what to do next ("... try again.") is not told twice.
    const bool saysWhatNext = report.reason.find("try again") != std::string::npos;
    return {OutcomeTone::kBad, "Not updated",
            Reason(report.reason, {}) + "." +
                (saysWhatNext && !report.switchedToUpdateMode
                     ? ""
                     : " " + NextStep(report, "Check the cable and try again."))};
  }
  return {OutcomeTone::kBad, "Not updated",
          "the meter was not found. " + NextStep(report, "Check the cable and try again.")};
}

}  // namespace

OutcomeLine DescribeOutcome(const UpdateReport& report) {
  OutcomeLine line = OutcomeWithoutDoctor(report);
  const bool noMeter = report.outcome == UpdateOutcome::kNoMeter ||
                       report.outcome == UpdateOutcome::kRediscovered;
  if (noMeter && !report.switchedToUpdateMode) line.text += " " + std::string(kAskTheDoctor);
  return line;
}

std::string RenderOutcomeLine(const OutcomeLine& line, bool colour) {
  if (!colour) return line.verdict + ": " + line.text;
  const char* const code = line.tone == OutcomeTone::kGood  ? "\x1b[1;32m"
                           : line.tone == OutcomeTone::kBad ? "\x1b[1;31m"
                                                            : "\x1b[1;33m";
  return std::string(code) + line.verdict + "\x1b[0m: " + line.text;
}

bool UseColour(bool outputIsTerminal, const char* noColorVariable) {
  const bool noColor = noColorVariable != nullptr && *noColorVariable != '\0';
  return outputIsTerminal && !noColor;
}

}  // namespace quorvel::cli
