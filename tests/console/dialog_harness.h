#pragma once
// A main window on the simulated meter in virtual time, with its message
// boxes and file chooser answered by the test.
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/clock.h"
#include "common/operator_console.h"
#include "console/update_dialog.h"
#include "firmware/file_source.h"
#include "sim/sim_visa.h"

namespace quorvel::testing {

struct ShownMessageBox {
  MessageBoxRequest request;
  bool ownedByDialog = false;
};

class DialogHarness {
 public:
  explicit DialogHarness(std::string_view backend = "sim");
  ~DialogHarness();

  // Shows the window and waits until its first search for the meter is over.
  void Start();

  UpdateDialog& dialog() { return *dialog_; }
  SimVisa& sim() { return *sim_; }
  const std::string& logText() const;
  std::vector<std::string> LogLines() const;
  ConsoleHooks Hooks();

  VirtualClock clock;
  DiskFileSystem files;
  // Answers, in order; message boxes answer OK and the chooser cancels when
  // nothing is queued.
  std::deque<MessageResult> boxAnswers;
  std::deque<std::optional<std::string>> chooserAnswers;
  // Runs when the chooser is asked, before it answers.
  std::function<void()> onChooser;

  std::vector<ShownMessageBox> boxes;
  std::vector<std::string> chooserFilters;
  std::vector<int> percentsShown;
  std::vector<std::string> progressTexts;  // the bar's text at each report
  std::optional<UpdateOutcome> lastOutcome;

 private:
  std::unique_ptr<VisaLibrary> visa_;
  SimVisa* sim_ = nullptr;
  std::unique_ptr<UpdateDialog> dialog_;
  bool started_ = false;
};

std::vector<std::string> SplitLogLines(const std::string& text);

}  // namespace quorvel::testing
