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

// Virtual time that remembers the longest stretch the window's thread spent in
// waits that pump no messages: in real time the window would be frozen then.
class WatchedClock final : public Clock {
 public:
  Millis Now() const override { return time_.Now(); }
  void Sleep(Millis duration) override;
  void WaitUntil(Millis deadline, const std::function<void()>& pump) override;
  // Time passing outside the program (the operator recycling the meter's power).
  void Advance(Millis duration) { time_.Advance(duration); }

  Millis longestUnpumped() const { return longestUnpumped_; }

 private:
  VirtualClock time_;
  Millis unpumped_{0};
  Millis longestUnpumped_{0};
};

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

  WatchedClock clock;
  DiskFileSystem files;
  // What the window adds to "not found" about an attached meter it may not open.
  std::string meterAccessHint;
  // Where Save Log... writes; cancelled when empty.
  std::string logFileAnswer;
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
