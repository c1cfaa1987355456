#pragma once
// The window's presenter on the simulated meter in virtual time, drawn by a
// view that records what it was told and answers the operator's questions.
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "firmware/file_source.h"
#include "presenter/window_presenter.h"
#include "presenter/window_view.h"
#include "sim/sim_visa.h"

namespace quorvel::testing {

class RecordingView final : public WindowView {
 public:
  void Draw(const WindowModel& model) override { drawn = model; }
  MessageResult ShowMessageBox(const MessageBoxRequest& request) override;
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  std::optional<std::string> ChooseLogFile() override { return std::nullopt; }
  std::optional<std::string> WriteTextFile(const std::string&, const std::string&) override {
    return std::nullopt;
  }
  void Post(std::function<void()> call) override;
  // Runs posted calls on the test's thread; fails the test after 20 s of nothing.
  void ServeUntil(const std::function<bool()>& finished) override;
  void CloseWindow() override { closed = true; }
  void StartupFinished(bool meterReady) override { startups.push_back(meterReady); }
  void SelectFinished(UpdateOutcome outcome) override { outcomes.push_back(outcome); }

  WindowModel drawn;
  std::vector<MessageBoxRequest> boxes;
  std::deque<MessageResult> boxAnswers;                // OK when none is queued
  std::deque<std::optional<std::string>> fileAnswers;  // cancelled when none is queued
  std::function<void()> onBox;                         // runs when a box is asked
  std::vector<bool> startups;
  std::vector<UpdateOutcome> outcomes;
  bool closed = false;

 private:
  std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> calls_;
};

class PresenterHarness {
 public:
  // `wrap`, when given, puts a decorator between the presenter and the meter.
  explicit PresenterHarness(
      std::string_view backend = "sim",
      const std::function<std::unique_ptr<VisaLibrary>(VisaLibrary&)>& wrap = {});
  ~PresenterHarness();

  // Start, then serve until the first search is over.
  void Start();
  // Serves until nothing runs any more.
  void Settle();
  // Select with `file` answered in the chooser (cancelled when empty).
  void Select(const std::string& file = {});

  WindowPresenter& presenter() { return *presenter_; }
  const WindowModel& model() const { return view.drawn; }
  SimVisa& sim() { return *sim_; }

  VirtualClock clock;
  DiskFileSystem files;
  RecordingView view;
  std::string accessHint;

 private:
  std::unique_ptr<VisaLibrary> visa_;
  SimVisa* sim_ = nullptr;
  std::unique_ptr<VisaLibrary> wrapper_;
  std::unique_ptr<WindowPresenter> presenter_;
};

}  // namespace quorvel::testing
