#include "presenter/window_presenter.h"

#include "presenter/worker_thread.h"

namespace quorvel {

// Answers the procedures' console calls from the worker thread.
class WindowPresenter::WorkerConsole {};

WindowPresenter::WindowPresenter(WindowSetup setup, WindowView& view)
    : setup_(std::move(setup)), view_(view) {}

WindowPresenter::~WindowPresenter() = default;

void WindowPresenter::Start() { view_.Draw(model_); }
void WindowPresenter::OnSelect() {}
void WindowPresenter::OnExit() {}
void WindowPresenter::OnMeterChosen(std::size_t) {}
void WindowPresenter::OnTick() {}
void WindowPresenter::OnSaveLog() {}
std::vector<std::string> WindowPresenter::AboutLines() const { return {}; }

}  // namespace quorvel
