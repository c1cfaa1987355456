#pragma once
// The main window's presenter: decides everything the window shows and
// enables, and what Select, Exit and the meter chooser do. The update runs on
// a worker thread the presenter owns, so the window serves its messages even
// while a VISA call blocks for its whole time-out; whatever needs the
// operator (message boxes, the file chooser) is asked on the UI thread, in
// the order the procedure asks.
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "fleet/verify_update.h"
#include "presenter/window_model.h"
#include "presenter/window_view.h"
#include "update/update_procedures.h"
#include "visa/resource_filter_visa.h"

namespace quorvel {

class FileSystem;
class VisaLibrary;
class WorkerThread;

struct WindowSetup {
  VisaLibrary& visa;
  Clock& clock;
  FileSystem& files;
  std::string backend;            // as chosen: "sim", "usbtmc", "system:path=..."
  std::string visaLibraryPath{};  // the loaded VISA library, for the system backend
  std::string documentation{};    // where the documentation is installed
  // Added to "USBTMC device not found.": why an attached meter may still not
  // open, or where to find out. Called on the worker thread.
  std::function<std::string()> meterAccessHint{};
  // Where every attempt is recorded; no history when empty.
  std::optional<std::string> historyPath{};
  // Told when the history could not be written. Called on the worker thread.
  std::function<void(const std::string&)> historyProblem{};
};

// What an installed window program adds to its backend: why an attached meter
// may not be found (the backend's access hint and the doctor), the user's
// update history, and the history's problems on standard error.
void AddInstalledProgramParts(WindowSetup& setup);

// About: version, what it does, backend (and the VISA library), licence and
// documentation; the first two lines only when nothing else is known.
std::vector<std::string> AboutLines(const WindowSetup* setup);

class WindowPresenter {
 public:
  // How often the window looks again while no meter is found.
  static constexpr Millis kLookAgainEvery{3000};

  // `view` outlives the presenter. Call on the UI thread.
  WindowPresenter(WindowSetup setup, WindowView& view);
  // Waits for a run still going (it has been asked to stop).
  ~WindowPresenter();
  WindowPresenter(const WindowPresenter&) = delete;
  WindowPresenter& operator=(const WindowPresenter&) = delete;

  // The front end calls these on its UI thread.

  // The window has appeared: the meter is looked for.
  void Start();
  // Select (or Continue). Returns when the press has been handled; the view
  // serves its messages meanwhile.
  void OnSelect();
  // Exit (or OK): asks, then leaves once nothing runs any more.
  void OnExit();
  // The operator picked another meter in the chooser.
  void OnMeterChosen(std::size_t index);
  // Called a few times a second: looks again for a meter plugged in late.
  void OnTick();
  // Save Log... from the log's menu.
  void OnSaveLog();
  // Esc and the close box: the window is left only through Exit.
  bool MayClose() const { return leaving_ && !running_; }

  const WindowModel& model() const { return model_; }
  // The session and the last report; read only while nothing runs.
  const DialogState& state() const { return state_; }
  bool running() const { return running_; }
  const WindowSetup& setup() const { return setup_; }
  // The console the procedures report through. Tests may call it on the UI
  // thread too; it then acts at once.
  OperatorConsole& console();

 private:
  class WorkerConsole;
  friend class WorkerConsole;

  // Runs `work` on the worker, then `then` on the UI thread.
  void Launch(std::function<void()> work, std::function<void()> then);
  // The same, returning when `then` has run.
  void RunToEnd(std::function<void()> work, std::function<void()> then);
  // Runs `call` on the UI thread and waits for it; at once when already there.
  void OnUiThread(const std::function<void()>& call);

  // Worker side.
  void Search();
  void LookAgain();
  void Select();
  std::vector<std::string> ListMeters();
  void PinChosenMeter(const std::vector<std::string>& found);
  void IdentifyChosenMeter();
  void RecordAttempt();

  // UI side.
  void AfterSearch();
  void AfterSelect();
  void ShowMeters();
  void Draw();
  void Log(std::string_view line);

  WindowSetup setup_;
  WindowView& view_;
  const std::thread::id uiThread_;
  WindowModel model_;
  LogText log_;
  LogText transcript_;

  // The meter every search finds: the chosen one when there are several.
  std::mutex chosenMutex_;
  std::string chosenSerial_;
  ResourceFilterVisa chosenMeter_;

  std::unique_ptr<WorkerConsole> console_;
  Services services_;
  DialogState state_;

  // Written on the worker during a run, read on the UI thread after it.
  std::vector<std::string> found_;
  std::optional<MeterSummary> identified_;
  std::optional<std::string> chosenFile_;
  std::optional<ExpectedVersions> fileVersions_;
  std::string accessHint_;  // what the last search that found nothing added to its box

  bool running_ = false;
  bool leaving_ = false;
  bool started_ = false;
  bool lookingAgain_ = false;      // no meter: the window looks again now and then
  bool leftInUpdateMode_ = false;  // the last update left the meter in update mode
  Millis lastLook_{0};
  std::atomic<bool> stopRequested_{false};
  std::unique_ptr<WorkerThread> worker_;  // last: ends first, while the rest still stands
};

}  // namespace quorvel
