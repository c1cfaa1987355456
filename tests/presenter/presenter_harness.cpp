#include "presenter_harness.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "backends/backends.h"

namespace quorvel::testing {

MessageResult RecordingView::ShowMessageBox(const MessageBoxRequest& request) {
  boxes.push_back(request);
  if (onBox) onBox();
  if (boxAnswers.empty()) return MessageResult::kOk;
  const MessageResult answer = boxAnswers.front();
  boxAnswers.pop_front();
  return answer;
}

std::optional<std::string> RecordingView::ChooseFile(std::string_view) {
  if (fileAnswers.empty()) return std::nullopt;
  std::optional<std::string> answer = fileAnswers.front();
  fileAnswers.pop_front();
  return answer;
}

void RecordingView::Post(std::function<void()> call) {
  {
    const std::lock_guard lock(mutex_);
    calls_.push_back(std::move(call));
  }
  posted_.notify_one();
}

void RecordingView::ServeUntil(const std::function<bool()>& finished) {
  // `finished` may turn true without a post (a call that blocks elsewhere), so
  // it is asked again every few milliseconds.
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!finished()) {
    std::function<void()> call;
    {
      std::unique_lock lock(mutex_);
      posted_.wait_for(lock, std::chrono::milliseconds(5), [this] { return !calls_.empty(); });
      if (calls_.empty()) {
        if (std::chrono::steady_clock::now() < giveUp) continue;
        ADD_FAILURE() << "nothing happened for 20 s";
        return;
      }
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    call();
  }
}

PresenterHarness::PresenterHarness(
    std::string_view backend,
    const std::function<std::unique_ptr<VisaLibrary>(VisaLibrary&)>& wrap) {
  std::string error;
  visa_ = MakeVisaLibrary(backend, clock, &error);
  sim_ = dynamic_cast<SimVisa*>(visa_.get());
  if (sim_ == nullptr) throw std::runtime_error("no simulated meter: " + error);
  if (wrap) wrapper_ = wrap(*visa_);
  WindowSetup setup{.visa = wrapper_ ? *wrapper_ : *visa_,
                    .clock = clock,
                    .files = files,
                    .backend = std::string(backend)};
  setup.meterAccessHint = [this] { return accessHint; };
  presenter_ = std::make_unique<WindowPresenter>(std::move(setup), view);
}

PresenterHarness::~PresenterHarness() = default;

void PresenterHarness::Start() {
  presenter_->Start();
  Settle();
}

void PresenterHarness::Settle() {
  view.ServeUntil([this] { return !presenter_->running(); });
}

void PresenterHarness::Select(const std::string& file) {
  view.fileAnswers.push_back(file.empty() ? std::nullopt : std::optional(file));
  presenter_->OnSelect();
}

}  // namespace quorvel::testing
