#include "presenter/window_presenter.h"

#include <algorithm>
#include <condition_variable>
#include <iostream>
#include <utility>

#include "backends/backends.h"
#include "common/utf8_path.h"
#include "firmware/file_source.h"
#include "history/attempt_record.h"
#include "history/history_file.h"
#include "instrument/instrument_session.h"
#include "presenter/progress_text.h"
#include "presenter/window_sentences.h"
#include "presenter/window_texts.h"
#include "presenter/worker_thread.h"
#include "visa/visa_handle.h"

namespace quorvel {

namespace {

// The chooser lists at most this many meters; a bench holds a few.
constexpr ViUInt32 kMostListedMeters = 32;

ButtonModel& ButtonOf(WindowModel& model, ConsoleButton which) {
  return which == ConsoleButton::kSelect ? model.select : model.exit;
}

}  // namespace

// The procedures' console. Every call comes from the worker and is carried
// out on the UI thread while the worker waits, so the model has one writer
// and the operator is asked in the procedure's order.
class WindowPresenter::WorkerConsole final : public OperatorConsole {
 public:
  explicit WorkerConsole(WindowPresenter& presenter) : p_(presenter) {}

  void AppendLog(std::string_view text) override {
    p_.OnUiThread([&] { p_.Log(text); });
  }
  void ClearLog() override {
    p_.OnUiThread([&] {
      p_.log_.Clear();
      p_.model_.log.clear();
      p_.Draw();
    });
  }
  // Every pump lets the UI thread catch up with what it was told so far.
  bool PumpMessages() override {
    p_.OnUiThread([] {});
    return true;
  }
  void SetButtonCaption(ConsoleButton button, std::string_view caption) override {
    p_.OnUiThread([&] {
      ButtonOf(p_.model_, button).caption = caption;
      p_.Draw();
    });
  }
  void EnableButton(ConsoleButton button, bool enabled) override {
    p_.OnUiThread([&] {
      ButtonOf(p_.model_, button).enabled = enabled;
      p_.Draw();
    });
  }
  void ShowButton(ConsoleButton button, bool visible) override {
    p_.OnUiThread([&] {
      ButtonOf(p_.model_, button).visible = visible;
      p_.Draw();
    });
  }
  MessageResult ShowMessageBox(const MessageBoxRequest& request) override {
    // Looking again for a meter plugged in late repeats no box: the operator
    // was told once, and the strip keeps saying it.
    if (quiet_) return MessageResult::kOk;
    MessageResult answer = MessageResult::kCancel;
    p_.OnUiThread([&] {
      p_.Draw();  // the box appears over the window as it stands
      answer = p_.view_.ShowMessageBox(request);
    });
    return answer;
  }
  std::optional<std::string> ChooseFile(std::string_view filter) override {
    std::optional<std::string> chosen;
    p_.OnUiThread([&] {
      if (p_.stopRequested_) return;  // leaving: nothing more to choose
      p_.Draw();
      chosen = p_.view_.ChooseFile(filter);
      // From here the meter is switched and restarts: the bar shows that
      // something is under way until the first frame goes out.
      if (chosen) p_.model_.progress = {.visible = true, .busy = true};
      p_.Draw();
    });
    p_.chosenFile_ = chosen;
    return chosen;
  }
  void Repaint() override {
    p_.OnUiThread([&] { p_.Draw(); });
  }
  void ReportProgress(const ProgressReport& report) override {
    p_.OnUiThread([&] {
      if (report.finished) {
        p_.model_.progress = {};
        p_.Draw();
        return;
      }
      const int percent = ProgressPercent(report);
      p_.model_.progress = {.visible = true, .percent = percent, .text = DescribeProgress(report)};
      p_.Draw();
      p_.view_.ProgressShown(percent);
    });
  }
  void ShowWaiting(const WaitingReport& report) override {
    p_.OnUiThread([&] {
      p_.model_.strip = {WaitingSentence(report), StripKind::kInfo};
      if (report.what != MeterWait::kNone) p_.model_.progress = {.visible = true, .busy = true};
      p_.Draw();
    });
  }
  bool StopRequested() override { return p_.stopRequested_; }
  std::string MeterAccessHint() override {
    p_.accessHint_ = p_.setup_.meterAccessHint ? p_.setup_.meterAccessHint() : std::string();
    return p_.accessHint_;
  }

  // Worker side: boxes are answered OK without being shown while this is true.
  void SetQuiet(bool quiet) { quiet_ = quiet; }

 private:
  WindowPresenter& p_;
  bool quiet_ = false;
};

void AddInstalledProgramParts(WindowSetup& setup) {
  if (!setup.meterAccessHint) {
    setup.meterAccessHint = [backend = setup.backend] {
      const std::string access = MeterAccessHint(backend);
      return access.empty() ? std::string(kAskTheDoctor)
                            : access + "\n\n" + std::string(kAskTheDoctor);
    };
  }
  // Every attempt goes into the update history, as the command line's do.
  if (const auto historyPath = DefaultHistoryPath()) setup.historyPath = Utf8FromPath(*historyPath);
  setup.historyProblem = [](const std::string& problem) {
    std::cerr << "quorvel: the update history was not written: " << problem << "\n";
  };
}

std::vector<std::string> AboutLines(const WindowSetup* setup) {
  std::vector<std::string> lines = {std::string(kAboutVersionLine), std::string(kAboutNotice)};
  if (setup == nullptr) return lines;
  std::string backend = "VISA backend: " + setup->backend;
  if (!setup->visaLibraryPath.empty()) backend += " (" + setup->visaLibraryPath + ")";
  lines.push_back(std::move(backend));
  lines.emplace_back(kAboutLicence);
  if (!setup->documentation.empty()) lines.push_back("Documentation: " + setup->documentation);
  return lines;
}

WindowPresenter::WindowPresenter(WindowSetup setup, WindowView& view)
    : setup_(std::move(setup)),
      view_(view),
      uiThread_(std::this_thread::get_id()),
      chosenMeter_(setup_.visa,
                   [this](std::string_view resource) {
                     const std::lock_guard lock(chosenMutex_);
                     return chosenSerial_.empty() || SerialOfResource(resource) == chosenSerial_;
                   }),
      console_(std::make_unique<WorkerConsole>(*this)),
      services_{chosenMeter_, *console_, setup_.clock, setup_.files},
      worker_(std::make_unique<WorkerThread>()) {}

WindowPresenter::~WindowPresenter() {
  stopRequested_ = true;
  if (running_) view_.ServeUntil([this] { return !running_; });
  worker_.reset();
}

OperatorConsole& WindowPresenter::console() { return *console_; }

// --- running on the worker -----------------------------------------------------

void WindowPresenter::OnUiThread(const std::function<void()>& call) {
  if (std::this_thread::get_id() == uiThread_) {
    call();
    return;
  }
  std::mutex mutex;
  std::condition_variable doneSignal;
  bool done = false;
  view_.Post([&] {
    call();
    const std::lock_guard lock(mutex);
    done = true;
    doneSignal.notify_one();
  });
  std::unique_lock lock(mutex);
  doneSignal.wait(lock, [&] { return done; });
}

void WindowPresenter::Launch(std::function<void()> work, std::function<void()> then) {
  running_ = true;
  Draw();
  worker_->Run([this, work = std::move(work), then = std::move(then)] {
    work();
    // Exit was confirmed meanwhile: what the run opened is closed here, on
    // the thread that used it.
    if (stopRequested_) CloseSessionsForExit(state_);
    view_.Post([this, then] {
      running_ = false;
      if (then) then();
      Draw();
      if (leaving_) view_.CloseWindow();
    });
  });
}

void WindowPresenter::RunToEnd(std::function<void()> work, std::function<void()> then) {
  bool ended = false;
  Launch(std::move(work), [&ended, then = std::move(then)] {
    if (then) then();
    ended = true;
  });
  view_.ServeUntil([&ended] { return ended; });
}

// --- the presses -------------------------------------------------------------------

void WindowPresenter::Start() {
  if (started_) return;
  started_ = true;
  Log(kLookingForMeter);
  Launch([this] { Search(); },
         [this] {
           AfterSearch();
           view_.StartupFinished(state_.readyForUpdate);
         });
}

void WindowPresenter::OnSelect() {
  if (running_ || leaving_ || !model_.select.enabled || !model_.select.visible) return;
  model_.strip = {};
  // Continue only looks for the meter again; it must not be pressed meanwhile.
  if (!state_.readyForUpdate) model_.select.enabled = false;
  RunToEnd([this] { Select(); }, [this] { AfterSelect(); });
}

void WindowPresenter::OnExit() {
  if (leaving_) return;
  const MessageBoxRequest question{std::string(kExitQuestion), std::string(kExitCaption),
                                   MessageIcon::kQuestion, MessageButtons::kOkCancel,
                                   MessageOwner::kDialog};
  if (view_.ShowMessageBox(question) != MessageResult::kOk) return;
  leaving_ = true;
  stopRequested_ = true;
  // A run still going owns the sessions: it stops at its next wait, closes
  // them and the window goes when it has come back.
  if (running_) return;
  RunToEnd([this] { CloseSessionsForExit(state_); }, {});
}

void WindowPresenter::OnMeterChosen(std::size_t index) {
  if (running_ || leaving_ || index >= model_.meter.meters.size() || index == model_.meter.chosen) {
    return;
  }
  {
    const std::lock_guard lock(chosenMutex_);
    chosenSerial_ = model_.meter.meters[index].serial;
  }
  model_.meter.chosen = index;
  model_.select.enabled = false;
  model_.strip = {};
  // The session belongs to the meter chosen before: it is searched for again.
  Launch(
      [this] {
        CloseSessionsForExit(state_);
        Search();
      },
      [this] { AfterSearch(); });
}

void WindowPresenter::OnTick() {
  if (running_ || leaving_ || !lookingAgain_) return;
  const Millis now = setup_.clock.Now();
  if (now - lastLook_ < kLookAgainEvery) return;
  lastLook_ = now;
  Launch([this] { LookAgain(); }, [this] { AfterSearch(); });
}

void WindowPresenter::OnSaveLog() {
  if (running_) return;  // a modal chooser would hold up the update's pacing
  const std::optional<std::string> path = view_.ChooseLogFile();
  if (!path) return;
  const std::optional<std::string> problem = view_.WriteTextFile(*path, model_.transcript + "\r\n");
  if (!problem) return;
  view_.ShowMessageBox({.text = std::string(kSaveLogFailed) + " " + *path + ": " + *problem,
                        .caption = std::string(kSaveLogCaption),
                        .icon = MessageIcon::kWarning,
                        .buttons = MessageButtons::kOk,
                        .owner = MessageOwner::kDialog});
}

// --- the worker's steps --------------------------------------------------------------

// Every meter attached, in the order the library finds them; the session's
// own search then finds only the chosen one.
std::vector<std::string> WindowPresenter::ListMeters() {
  const VisaHandle manager = OpenResourceManager(setup_.visa);
  if (manager.empty()) return {};
  const std::deque<std::string> names =
      FindAllResources(setup_.visa, manager.get(), kDialogSearchExpression, kMostListedMeters);
  return {names.begin(), names.end()};
}

// With several meters one is always pinned (the first found, until the
// operator picks another), so Select never updates a meter the window did
// not name. With one meter nothing is pinned: a meter swapped for another
// is found as before.
void WindowPresenter::PinChosenMeter(const std::vector<std::string>& found) {
  const std::lock_guard lock(chosenMutex_);
  if (found.size() < 2) {
    chosenSerial_.clear();
    return;
  }
  const bool stillThere = std::any_of(found.begin(), found.end(), [this](const std::string& name) {
    return SerialOfResource(name) == chosenSerial_;
  });
  if (!stillThere) chosenSerial_ = SerialOfResource(found.front());
}

void WindowPresenter::IdentifyChosenMeter() {
  identified_.reset();
  if (!state_.readyForUpdate || stopRequested_) return;
  const MeterIdentity identity = ReadIdentity(services_, state_.session);
  identified_ =
      SummarizeMeter(state_.session.resource, identity.answered ? identity.reply : std::string());
}

void WindowPresenter::Search() {
  accessHint_.clear();
  found_ = ListMeters();
  PinChosenMeter(found_);
  DiscoverInstrument(services_, state_.session, state_.readyForUpdate);
  IdentifyChosenMeter();
}

// Quietly: the box that says no meter was found came with the first search.
void WindowPresenter::LookAgain() {
  std::vector<std::string> found = ListMeters();
  if (found.empty()) return;
  found_ = std::move(found);
  PinChosenMeter(found_);
  console_->SetQuiet(true);
  DiscoverInstrument(services_, state_.session, state_.readyForUpdate);
  console_->SetQuiet(false);
  IdentifyChosenMeter();
}

void WindowPresenter::Select() {
  chosenFile_.reset();
  fileVersions_.reset();
  const bool searches = !state_.readyForUpdate;
  if (searches) {
    accessHint_.clear();
    found_ = ListMeters();
    PinChosenMeter(found_);
  }
  RunImageUpdate(services_, state_);
  if (searches) {
    IdentifyChosenMeter();
  } else if (!state_.report.identityBefore.empty()) {
    identified_ = SummarizeMeter(state_.report.resource, state_.report.identityBefore);
  }
  if (chosenFile_) fileVersions_ = ExpectedVersionsOf(setup_.files, *chosenFile_);
  RecordAttempt();
}

// Every attempt goes into the update history, as the command line's do.
void WindowPresenter::RecordAttempt() {
  if (!chosenFile_ || !setup_.historyPath) return;
  HistoryFile history(*setup_.historyPath);
  // The reason in the words the operator saw: the meter's status, the
  // refusal, else the warning the procedure ended with.
  const UpdateReport& report = state_.report;
  std::string reason = TransferFailureText(report);
  if (reason.empty()) reason = report.reason;
  if (reason.empty() && report.outcome != UpdateOutcome::kInstalled) reason = report.notice;
  std::string problem;
  if (!RecordSelectAttempt(history, {"quorvel", std::string(kProgramVersion), setup_.backend},
                           report, setup_.files, *chosenFile_, std::move(reason), &problem) &&
      setup_.historyProblem) {
    setup_.historyProblem(problem);
  }
}

// --- back on the UI thread -------------------------------------------------------------

void WindowPresenter::AfterSearch() {
  ShowMeters();
  model_.strip =
      StripAfterSearch(state_.readyForUpdate, identified_, leftInUpdateMode_, accessHint_);
  if (identified_ && !identified_->inUpdateMode) leftInUpdateMode_ = false;
  lookingAgain_ = !state_.readyForUpdate;
  lastLook_ = setup_.clock.Now();
}

void WindowPresenter::AfterSelect() {
  const UpdateReport& report = state_.report;
  model_.progress = {};
  if (report.outcome == UpdateOutcome::kRediscovered) {
    AfterSearch();
  } else {
    ShowMeters();
    lookingAgain_ = false;
    model_.strip = StripAfterRun({.report = report,
                                  .file = fileVersions_,
                                  .meter = identified_,
                                  .accessHint = accessHint_,
                                  .leftInUpdateMode = leftInUpdateMode_,
                                  .meterReady = state_.readyForUpdate});
  }
  if (report.switchedToUpdateMode) leftInUpdateMode_ = LeavesUpdateMode(report);
  view_.SelectFinished(report.outcome);
}

void WindowPresenter::ShowMeters() {
  MeterLineModel& line = model_.meter;
  line = {};
  if (found_.size() > 1) {
    std::string chosen;
    {
      const std::lock_guard lock(chosenMutex_);
      chosen = chosenSerial_;
    }
    for (const std::string& resource : found_) {
      line.meters.push_back(SummarizeMeter(resource, {}));
      line.entries.push_back(line.meters.back().serial);
      if (line.meters.back().serial == chosen) line.chosen = line.meters.size() - 1;
    }
  }
  if (identified_) {
    if (line.meters.empty()) {
      line.meters.push_back(*identified_);
    } else {
      line.meters[line.chosen] = *identified_;
    }
    line.text = MeterLineText(*identified_, setup_.backend, !line.showsChooser());
  }
}

void WindowPresenter::Log(std::string_view line) {
  log_.Append(line);
  transcript_.Append(line);
  model_.log = log_.str();
  model_.transcript = transcript_.str();
  Draw();
}

void WindowPresenter::Draw() {
  model_.saveLogEnabled = !running_;
  // Enter presses Select while it can be pressed, else Exit.
  model_.defaultButton = model_.select.visible && model_.select.enabled ? ConsoleButton::kSelect
                                                                        : ConsoleButton::kExit;
  model_.meter.chooserEnabled = !running_ && !leaving_;
  view_.Draw(model_);
}

}  // namespace quorvel
