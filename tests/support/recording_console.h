#pragma once
// An OperatorConsole for tests: records everything the procedures show and
// answers message boxes and the file chooser from scripted replies.
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "common/operator_console.h"

namespace quorvel::testing {

struct ButtonState {
  std::string caption;
  bool enabled = true;
  bool visible = true;
  bool operator==(const ButtonState&) const = default;
};

class RecordingConsole : public OperatorConsole {
 public:
  RecordingConsole();

  void AppendLog(std::string_view text) override;
  void ClearLog() override;
  bool PumpMessages() override;
  void SetButtonCaption(ConsoleButton button, std::string_view caption) override;
  void EnableButton(ConsoleButton button, bool enabled) override;
  void ShowButton(ConsoleButton button, bool visible) override;
  MessageResult ShowMessageBox(const MessageBoxRequest& request) override;
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  void Repaint() override;
  void ReportProgress(const ProgressReport& report) override;
  void ShowWaiting(const WaitingReport& report) override;
  bool StopRequested() override { return stopRequested || (stopWhen && stopWhen()); }

  // Scripted answers. The chooser answers with the next queued path (nullopt =
  // cancel); message boxes answer with the next queued result, kOk by default.
  std::deque<std::optional<std::string>> chooserAnswers;
  std::deque<MessageResult> messageBoxAnswers;
  bool stopRequested = false;
  std::function<bool()> stopWhen;  // asked on every look at the stop request
  // Called on every pump; tests use it to press buttons re-entrantly.
  std::function<void()> onPump;

  // What was shown.
  LogText log;                           // the pane's current text
  std::vector<std::string> appended;     // every AppendLog text, ever
  std::vector<MessageBoxRequest> messageBoxes;
  std::vector<std::string> chooserFilters;
  std::vector<ProgressReport> progress;
  // Every wait for the meter told, with the console's time when a clock is given.
  struct Waiting {
    MeterWait what;
    std::chrono::milliseconds left;
    std::chrono::milliseconds at;
    bool operator==(const Waiting&) const = default;
  };
  std::vector<Waiting> waits;
  std::function<std::chrono::milliseconds()> now;
  int pumpCount = 0;
  int repaintCount = 0;
  int clearCount = 0;

  ButtonState select;
  ButtonState exit;
  const ButtonState& button(ConsoleButton b) const { return b == ConsoleButton::kSelect ? select : exit; }

  // The log's current lines, split at "\r\n".
  std::vector<std::string> LogLines() const;

 private:
  ButtonState& mutableButton(ConsoleButton b) { return b == ConsoleButton::kSelect ? select : exit; }
};

}  // namespace quorvel::testing
