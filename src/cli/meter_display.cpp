#include "cli/meter_display.h"

#include "cli/commands.h"
#include "cli/meter_text.h"
#include "common/printable_text.h"

namespace quorvel::cli {

MeterDisplay::MeterDisplay(std::ostream& out, std::ostream& err, const Clock& wallClock,
                           std::string fileName, MeterDisplayOptions options)
    : out_(out),
      err_(err),
      fileName_(std::move(fileName)),
      options_(options),
      progress_(out, options.outputIsTerminal, wallClock) {}

void MeterDisplay::Line(std::size_t, std::string_view text) {
  if (!options_.showLog) return;
  progress_.BreakLine();
  out_ << LogLineText(text) << '\n' << std::flush;
}

void MeterDisplay::Message(std::size_t, const MessageBoxRequest& box, MessageResult answer) {
  progress_.BreakLine();
  out_ << std::flush;  // keep the order of log lines and messages when both go to one terminal
  err_ << PrintableText(box.caption) << ": " << PrintableText(box.text) << '\n';
  if (box.buttons == MessageButtons::kOkCancel) {
    err_ << (answer == MessageResult::kOk ? "(answered OK: --yes was given)"
                                          : "(answered Cancel; --yes answers OK)")
         << '\n';
  }
  err_ << std::flush;
}

void MeterDisplay::Refused(std::size_t meter, const FileRefusal& refusal) {
  if (!refusal.logLines.empty()) return;
  Message(meter, {.text = refusal.text, .caption = "Quorvel", .owner = MessageOwner::kNone},
          MessageResult::kOk);
}

void MeterDisplay::Identified(std::size_t, const MeterRecord& meter) {
  if (!options_.announce) return;
  const ProcessorVersions versions = ProcessorVersionsOf(meter.versions);
  out_ << "Meter " << PrintableField(meter.resource) << ", serial "
       << PrintableField(WithoutTrailingNewline(meter.serial)) << ", DSP "
       << PrintableField(versions.dsp) << ", Panel " << PrintableField(versions.panel)
       << ", MSP 430 " << PrintableField(versions.msp430) << '\n'
       << std::flush;
}

// Said only once the file passed its check: a refused file never switches the meter.
void MeterDisplay::FileAccepted(std::size_t) {
  if (!options_.announce) return;
  out_ << "Updating it with \"" << PrintableField(fileName_)
       << "\"; the meter switches to update mode and takes a few seconds to come back.\n"
       << std::flush;
}

void MeterDisplay::Progress(std::size_t, const ProgressReport& report) {
  if (options_.showProgress) progress_.Report(report);
}

void MeterDisplay::Waiting(std::size_t, const WaitingReport& report) {
  if (options_.showProgress) progress_.Waiting(report);
}

void MeterDisplay::HistoryNotWritten(std::size_t, std::string_view problem) {
  err_ << kProgramName << "the update history was not written: " << problem << '\n' << std::flush;
}

}  // namespace quorvel::cli
