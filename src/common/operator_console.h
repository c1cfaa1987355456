#pragma once
// The operator-console seam: everything the procedures show to or ask of the
// operator. The Qt dialog, the CLI and the tests' recorder implement it, so the
// instrument link and the update procedures know no toolkit.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

enum class ConsoleButton { kSelect, kExit };

enum class MessageIcon { kWarning, kQuestion };
enum class MessageButtons { kOk, kOkCancel };
enum class MessageOwner { kDialog, kNone };  // owned by the main window, or by no window
enum class MessageResult { kOk, kCancel };

struct MessageBoxRequest {
  std::string text;
  std::string caption;
  MessageIcon icon = MessageIcon::kWarning;
  MessageButtons buttons = MessageButtons::kOk;
  MessageOwner owner = MessageOwner::kDialog;
};

// How far a transfer has come. Sent as frames go out; purely informative.
struct ProgressReport {
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesTotal = 0;  // of the current image
  int image = 1;                 // 1-based
  int imageCount = 1;
  bool finished = false;         // the transfer phase is over (success or not)
};

// What a run waits for when it waits for the meter rather than for the pace:
// between "system:update" and the first frame the meter takes 10-15 s to
// restart, and the operator should see why nothing moves.
enum class MeterWait {
  kNone,          // the wait is over; frames go out again
  kSwitching,     // the meter takes "system:update" and leaves the bus
  kRestarting,    // the meter restarts in update mode
  kReconnecting,  // the meter is looked for again
};

struct WaitingReport {
  MeterWait what = MeterWait::kNone;
  std::chrono::milliseconds left{0};  // how long the wait may still last; 0 when not known
};

// The file chooser's filter, as the Windows-style pattern list
// "label|patterns|label|patterns||".
inline constexpr std::string_view kFirmwareFileFilter =
    "Meter Update Files (*.pak;*.bin)|*.pak;*.bin|Meter Binary Files(*.bin)|*.bin||";

class OperatorConsole {
 public:
  virtual ~OperatorConsole() = default;

  // Adds one line to the log (lines are joined with "\r\n"; see LogText) and
  // pumps messages so the window repaints before the caller goes on.
  virtual void AppendLog(std::string_view text) = 0;
  virtual void ClearLog() = 0;
  // Processes pending window messages. False when a quit request was met
  // (it is consumed and ends this pump); callers may ignore the result.
  virtual bool PumpMessages() = 0;

  virtual void SetButtonCaption(ConsoleButton button, std::string_view caption) = 0;
  virtual void EnableButton(ConsoleButton button, bool enabled) = 0;
  virtual void ShowButton(ConsoleButton button, bool visible) = 0;

  // Modal message box; returns the button pressed.
  virtual MessageResult ShowMessageBox(const MessageBoxRequest& request) = 0;
  // Modal open-file chooser; the chosen full path, or nothing when cancelled.
  virtual std::optional<std::string> ChooseFile(std::string_view filter) = 0;
  // Invalidates the whole window (background included) so it repaints.
  virtual void Repaint() = 0;
  virtual void ReportProgress(const ProgressReport& report) = 0;
  // Told when a wait for the meter begins and when it is over (kNone).
  virtual void ShowWaiting(const WaitingReport& /*report*/) {}
  // True once the operator asked to stop (the CLI's Ctrl+C). The data phase
  // checks it between frames, so a frame is never cut in half.
  virtual bool StopRequested() { return false; }
  // Told with "not found": why an attached meter may still not be usable
  // (this user may not open it); empty when there is nothing to add.
  virtual std::string MeterAccessHint() { return {}; }
};

// The log pane's text model: lines separated by "\r\n", no separator before the
// first line; texts are appended unchanged (a text that begins or ends with
// "\r\n" makes a blank line).
class LogText {
 public:
  void Append(std::string_view line) {
    if (!text_.empty()) text_ += "\r\n";
    text_ += line;
  }
  void Clear() { text_.clear(); }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
};

}  // namespace quorvel
