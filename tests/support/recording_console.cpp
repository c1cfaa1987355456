#include "support/recording_console.h"

namespace quorvel::testing {

RecordingConsole::RecordingConsole() {
  select.caption = "Select";
  exit.caption = "Exit";
}

void RecordingConsole::AppendLog(std::string_view text) {
  log.Append(text);
  appended.emplace_back(text);
  PumpMessages();
}

void RecordingConsole::ClearLog() {
  log.Clear();
  ++clearCount;
}

bool RecordingConsole::PumpMessages() {
  ++pumpCount;
  if (onPump) onPump();
  return true;
}

void RecordingConsole::SetButtonCaption(ConsoleButton button, std::string_view caption) {
  mutableButton(button).caption = std::string(caption);
}

void RecordingConsole::EnableButton(ConsoleButton button, bool enabled) {
  mutableButton(button).enabled = enabled;
}

void RecordingConsole::ShowButton(ConsoleButton button, bool visible) {
  mutableButton(button).visible = visible;
}

MessageResult RecordingConsole::ShowMessageBox(const MessageBoxRequest& request) {
  messageBoxes.push_back(request);
  if (messageBoxAnswers.empty()) return MessageResult::kOk;
  const MessageResult answer = messageBoxAnswers.front();
  messageBoxAnswers.pop_front();
  return answer;
}

std::optional<std::string> RecordingConsole::ChooseFile(std::string_view filter) {
  chooserFilters.emplace_back(filter);
  if (chooserAnswers.empty()) return std::nullopt;
  auto answer = chooserAnswers.front();
  chooserAnswers.pop_front();
  return answer;
}

void RecordingConsole::Repaint() { ++repaintCount; }

void RecordingConsole::ReportProgress(const ProgressReport& report) { progress.push_back(report); }

void RecordingConsole::ShowWaiting(const WaitingReport& report) {
  waits.push_back({report.what, report.left, now ? now() : std::chrono::milliseconds{0}});
}

std::vector<std::string> RecordingConsole::LogLines() const {
  std::vector<std::string> lines;
  const std::string& text = log.str();
  if (text.empty()) return lines;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, end - start));
    start = end + 2;
  }
}

}  // namespace quorvel::testing
