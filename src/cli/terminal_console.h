#pragma once
// The operator console of the command line: with --transcript the log lines
// go to standard output exactly as the window's log pane would show them;
// message boxes go to standard error, and the file chooser answers with the
// file given on the command line.
#include <optional>
#include <ostream>
#include <string>

#include "cli/progress_display.h"
#include "common/operator_console.h"

namespace quorvel::cli {

struct TerminalConsoleOptions {
  bool outputIsTerminal = false;  // draw a progress bar instead of percent lines
  bool answerYes = false;         // --yes: question boxes are answered OK
  bool showLog = true;            // the window's log lines (--transcript)
  bool showProgress = true;       // off with -q
};

class TerminalConsole final : public OperatorConsole {
 public:
  TerminalConsole(std::ostream& out, std::ostream& err, const Clock& wallClock,
                  TerminalConsoleOptions options);

  // The path the file chooser answers with.
  void SetChosenFile(std::string path) { chosenFile_ = std::move(path); }

  void AppendLog(std::string_view text) override;
  // The window would empty its pane; a transcript keeps what was said.
  void ClearLog() override {}
  bool PumpMessages() override { return true; }
  void SetButtonCaption(ConsoleButton, std::string_view) override {}
  void EnableButton(ConsoleButton, bool) override {}
  void ShowButton(ConsoleButton, bool) override {}
  MessageResult ShowMessageBox(const MessageBoxRequest& request) override;
  // Answers with the chosen file; after Ctrl+C it cancels, so that an update
  // stopped before the file was chosen leaves the meter untouched.
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  void Repaint() override {}
  void ReportProgress(const ProgressReport& report) override;
  bool StopRequested() override;

 private:
  std::ostream& out_;
  std::ostream& err_;
  TerminalConsoleOptions options_;
  ProgressDisplay progress_;
  std::optional<std::string> chosenFile_;
};

}  // namespace quorvel::cli
