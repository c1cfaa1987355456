#pragma once
// What `update FILE` shows of its one meter: the meter and the file before
// the transfer, the progress, and with --transcript the log lines exactly as
// the window's log pane would show them. Message boxes go to standard error
// with the answer the run gave.
#include <ostream>
#include <string>

#include "cli/progress_display.h"
#include "fleet/meter_pipeline.h"

namespace quorvel::cli {

struct MeterDisplayOptions {
  bool outputIsTerminal = false;  // draw a progress bar instead of percent lines
  bool announce = true;           // the meter and the file before the transfer
  bool showLog = true;            // the window's log lines (--transcript)
  bool showProgress = true;       // off with -q
};

class MeterDisplay final : public FleetObserver {
 public:
  MeterDisplay(std::ostream& out, std::ostream& err, const Clock& wallClock, std::string fileName,
               MeterDisplayOptions options);

  void Line(std::size_t meter, std::string_view text) override;
  void Message(std::size_t meter, const MessageBoxRequest& box, MessageResult answer) override;
  // Only a refusal's message box, on standard error: the window's log lines
  // tell the operator to press Exit, which a terminal has not; the outcome
  // line says the cause.
  void Refused(std::size_t meter, const FileRefusal& refusal) override;
  void Identified(std::size_t meter, const MeterRecord& record) override;
  void FileAccepted(std::size_t meter) override;
  void Progress(std::size_t meter, const ProgressReport& report) override;
  void Waiting(std::size_t meter, const WaitingReport& report) override;
  void HistoryNotWritten(std::size_t meter, std::string_view problem) override;
  void Finished(std::size_t, const UpdateReport&) override {}

 private:
  std::ostream& out_;
  std::ostream& err_;
  std::string fileName_;
  MeterDisplayOptions options_;
  ProgressDisplay progress_;
};

}  // namespace quorvel::cli
