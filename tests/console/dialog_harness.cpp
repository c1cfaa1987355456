#include "dialog_harness.h"

#include <gtest/gtest.h>

#include <QTest>
#include <algorithm>
#include <stdexcept>

#include "backends/backends.h"
#include "console/log_edit.h"
#include "console/transfer_progress_bar.h"

namespace quorvel::testing {

DialogHarness::DialogHarness(std::string_view backend) {
  std::string error;
  visa_ = MakeVisaLibrary(backend, clock, &error);
  if (visa_ == nullptr) throw std::runtime_error("no sim backend: " + error);
  sim_ = dynamic_cast<SimVisa*>(visa_.get());
  if (sim_ == nullptr) throw std::runtime_error("backend is not the simulated meter");
  dialog_ = std::make_unique<UpdateDialog>(*visa_, clock, files, Hooks());
  QObject::connect(dialog_.get(), &UpdateDialog::startupDiscoveryFinished, dialog_.get(),
                   [this](bool) { started_ = true; });
  QObject::connect(dialog_.get(), &UpdateDialog::progressShown, dialog_.get(),
                   [this](int percent) {
                     percentsShown.push_back(percent);
                     progressTexts.push_back(dialog_->progressBar().format().toStdString());
                   });
  QObject::connect(dialog_.get(), &UpdateDialog::selectFinished, dialog_.get(),
                   [this](UpdateOutcome outcome) { lastOutcome = outcome; });
}

DialogHarness::~DialogHarness() = default;

ConsoleHooks DialogHarness::Hooks() {
  ConsoleHooks hooks;
  hooks.showMessageBox = [this](QWidget* owner, const MessageBoxRequest& request) {
    boxes.push_back({request, owner == dialog_.get()});
    if (boxAnswers.empty()) return MessageResult::kOk;
    const MessageResult answer = boxAnswers.front();
    boxAnswers.pop_front();
    return answer;
  };
  hooks.chooseFile = [this](QWidget*, std::string_view filter) -> std::optional<std::string> {
    chooserFilters.emplace_back(filter);
    if (onChooser) onChooser();
    if (chooserAnswers.empty()) return std::nullopt;
    auto answer = chooserAnswers.front();
    chooserAnswers.pop_front();
    return answer;
  };
  hooks.chooseLogFile = [this](QWidget*) -> std::optional<std::string> {
    if (logFileAnswer.empty()) return std::nullopt;
    return logFileAnswer;
  };
  hooks.meterAccessHint = [this] { return meterAccessHint; };
  return hooks;
}

void WatchedClock::Sleep(Millis duration) {
  time_.Sleep(duration);
  if (duration.count() <= 0) return;
  unpumped_ += duration;
  longestUnpumped_ = std::max(longestUnpumped_, unpumped_);
}

void WatchedClock::WaitUntil(Millis deadline, const std::function<void()>& pump) {
  if (pump) unpumped_ = Millis{0};
  time_.WaitUntil(deadline, pump);
}

void DialogHarness::Start() {
  dialog_->show();
  ASSERT_TRUE(QTest::qWaitFor([this] { return started_; }, 5000))
      << "the first search for the meter did not finish";
}

const std::string& DialogHarness::logText() const { return dialog_->log().logText(); }

std::vector<std::string> DialogHarness::LogLines() const { return SplitLogLines(logText()); }

std::vector<std::string> SplitLogLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (true) {
    const std::size_t end = text.find("\r\n", start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return lines;
    start = end + 2;
  }
}

}  // namespace quorvel::testing
