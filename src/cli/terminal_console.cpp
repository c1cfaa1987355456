#include "cli/terminal_console.h"

#include "cli/stop_signal.h"
#include "cli/text_output.h"

namespace quorvel::cli {

TerminalConsole::TerminalConsole(std::ostream& out, std::ostream& err, const Clock& wallClock,
                                 TerminalConsoleOptions options)
    : out_(out),
      err_(err),
      options_(options),
      progress_(out, options.outputIsTerminal, wallClock) {}

void TerminalConsole::AppendLog(std::string_view text) {
  if (!options_.showLog) return;
  progress_.BreakLine();
  out_ << LogLineText(text) << '\n' << std::flush;
}

MessageResult TerminalConsole::ShowMessageBox(const MessageBoxRequest& request) {
  progress_.BreakLine();
  out_ << std::flush;  // keep the order of log lines and messages when both go to one terminal
  err_ << PrintableText(request.caption) << ": " << PrintableText(request.text) << '\n';
  if (request.buttons != MessageButtons::kOkCancel) {
    err_ << std::flush;
    return MessageResult::kOk;
  }
  const bool ok = options_.answerYes && !StopWasRequested();
  err_ << (ok ? "(answered OK: --yes was given)" : "(answered Cancel; --yes answers OK)") << '\n'
       << std::flush;
  return ok ? MessageResult::kOk : MessageResult::kCancel;
}

std::optional<std::string> TerminalConsole::ChooseFile(std::string_view) {
  if (StopWasRequested()) return std::nullopt;
  return chosenFile_;
}

void TerminalConsole::ReportProgress(const ProgressReport& report) {
  if (options_.showProgress) progress_.Report(report);
}

bool TerminalConsole::StopRequested() { return StopWasRequested(); }

}  // namespace quorvel::cli
