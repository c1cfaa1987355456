#pragma once
// What a front end implements for the presenter: draw the model, ask the
// operator (message box, file chooser) and run calls on its UI thread.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/operator_console.h"
#include "presenter/window_model.h"
#include "update/update_report.h"

namespace quorvel {

class WindowView {
 public:
  virtual ~WindowView() = default;

  // Called on the UI thread only, unless said otherwise.

  // Shows the whole model; called after every change.
  virtual void Draw(const WindowModel& model) = 0;
  // Modal message box; the button pressed.
  virtual MessageResult ShowMessageBox(const MessageBoxRequest& request) = 0;
  // Modal open-file chooser (starting in the folder last used); nothing when cancelled.
  virtual std::optional<std::string> ChooseFile(std::string_view filter) = 0;
  // Modal save-file chooser for Save Log...; nothing when cancelled.
  virtual std::optional<std::string> ChooseLogFile() = 0;
  // Writes `text` to `path` whole or not at all; the reason when it failed.
  virtual std::optional<std::string> WriteTextFile(const std::string& path,
                                                   const std::string& text) = 0;
  // Any thread: runs `call` on the UI thread soon, in the order posted.
  virtual void Post(std::function<void()> call) = 0;
  // Serves the UI's messages (paints, clicks, posted calls) until `finished`
  // is true; it is checked after every message. A quit request met meanwhile
  // is consumed: a running update must not lose its window.
  virtual void ServeUntil(const std::function<bool()>& finished) = 0;
  // Leaves the window (Exit was confirmed and nothing runs any more).
  virtual void CloseWindow() = 0;

  // For demonstrations and tests: what just happened.
  virtual void StartupFinished(bool /*meterReady*/) {}
  virtual void SelectFinished(UpdateOutcome /*outcome*/) {}
  virtual void ProgressShown(int /*percent*/) {}
};

}  // namespace quorvel
