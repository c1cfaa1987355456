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
#include <optional>
#include <string>
#include <vector>

#include "common/clock.h"
#include "presenter/window_model.h"
#include "presenter/window_view.h"
#include "update/update_procedures.h"

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
  std::string programVersion{};
  // Why an attached meter may still not open (udev); empty when nothing to add.
  std::function<std::string()> meterAccessHint{};
  // Where every attempt is recorded; no history when empty.
  std::optional<std::string> historyPath{};
};

class WindowPresenter {
 public:
  // How often the window looks again while no meter is found.
  static constexpr Millis kLookAgainEvery{3000};

  WindowPresenter(WindowSetup setup, WindowView& view);
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
  bool MayClose() const { return leaving_; }

  const WindowModel& model() const { return model_; }
  // The session and the last report; read only while nothing runs.
  const DialogState& state() const { return state_; }
  bool running() const { return running_; }
  // About: version, backend, VISA library, licence, documentation.
  std::vector<std::string> AboutLines() const;

 private:
  class WorkerConsole;

  WindowSetup setup_;
  WindowView& view_;
  WindowModel model_;
  DialogState state_;
  std::unique_ptr<WorkerConsole> console_;
  std::unique_ptr<WorkerThread> worker_;
  bool running_ = false;
  bool leaving_ = false;
  std::atomic<bool> stopRequested_{false};
  Millis lastLook_{0};
};

}  // namespace quorvel
