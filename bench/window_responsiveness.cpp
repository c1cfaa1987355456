// Window responsiveness benchmark: real-clock updates through the main window
// on the simulated meter (offscreen unless QT_QPA_PLATFORM says otherwise).
// Run by hand:
//   build/release/bench/window_responsiveness
// A 10 ms timer watches the window's event loop; for a package update and a
// single-image update it prints the longest time the loop went unserviced and
// what the log said then. Every such gap is a moment the window neither
// repaints nor reacts to a click. Then the time from a confirmed Exit until
// the window is gone, when idle and while the meter is searched for,
// identified and switched to update mode. Last, a meter that never answers
// "*idn?" (sim:idn_slow_ms=25000): each identity read waits the whole 20 s
// time-out, and the window must go on serving meanwhile.
//   build/release/bench/window_responsiveness unanswered   (that part only)
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <memory>
#include <string>

#include "backends/backends.h"
#include "common/clock.h"
#include "console/log_edit.h"
#include "console/update_dialog.h"
#include "firmware/file_source.h"
#include "support/firmware_builder.h"

namespace quorvel {
namespace {

struct Stall {
  qint64 longestMs = 0;
  std::string logTail;  // the log's last line when the longest gap ended
};

std::string LastLine(const std::string& log) {
  const std::size_t at = log.rfind("\r\n");
  return at == std::string::npos ? log : log.substr(at + 2);
}

// Ticks every 10 ms and remembers the longest gap between two ticks.
class LoopWatch {
 public:
  explicit LoopWatch(const UpdateDialog& dialog) : dialog_(dialog) {
    timer_.setInterval(10);
    QObject::connect(&timer_, &QTimer::timeout, [this] { Tick(); });
  }
  void Start() {
    stall_ = {};
    since_.start();
    timer_.start();
  }
  Stall Stop() {
    timer_.stop();
    return stall_;
  }

 private:
  void Tick() {
    const qint64 gap = since_.restart();
    if (gap > stall_.longestMs) stall_ = {gap, LastLine(dialog_.log().logText())};
  }

  const UpdateDialog& dialog_;
  QTimer timer_;
  QElapsedTimer since_;
  Stall stall_;
};

// False when `done` did not come true within two minutes.
bool WaitFor(const std::function<bool()>& done) {
  QTimer wake;  // WaitForMoreEvents needs something to wake it
  wake.start(10);
  QElapsedTimer waited;
  waited.start();
  while (!done()) {
    if (waited.elapsed() > 120000) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

void Report(const char* what, const Stall& stall, qint64 totalMs) {
  std::printf("%-24s %6lld ms in all, longest unserviced gap %5lld ms (log: \"%s\")\n", what,
              static_cast<long long>(totalMs), static_cast<long long>(stall.longestMs),
              stall.logTail.c_str());
}

// Exit is pressed (and confirmed) `delayMs` after the window appears, or after
// Select when `pressSelect`; prints how long the window then takes to go.
void MeasureExit(const char* what, const std::string& file, bool pressSelect, int delayMs) {
  SteadyClock clock;
  std::string error;
  std::unique_ptr<VisaLibrary> visa = MakeVisaLibrary("sim", clock, &error);
  DiskFileSystem files;
  ConsoleHooks hooks;
  hooks.showMessageBox = [](QWidget*, const MessageBoxRequest&) { return MessageResult::kOk; };
  hooks.chooseFile = [&file](QWidget*, std::string_view) { return std::optional<std::string>(file); };
  UpdateDialog dialog(*visa, clock, files, hooks);
  bool ready = false;
  QObject::connect(&dialog, &UpdateDialog::startupDiscoveryFinished, [&ready](bool) { ready = true; });
  dialog.show();
  if (pressSelect) {
    WaitFor([&ready] { return ready; });
    QTimer::singleShot(0, &dialog, [&dialog] { dialog.button(ConsoleButton::kSelect).click(); });
  }
  QElapsedTimer sinceExit;
  QTimer::singleShot(delayMs, &dialog, [&dialog, &sinceExit] {
    sinceExit.start();
    dialog.button(ConsoleButton::kExit).click();
  });
  WaitFor([&sinceExit, &dialog] { return sinceExit.isValid() && !dialog.isVisible(); });
  std::printf("exit confirmed during %-26s window gone after %4lld ms\n", what,
              static_cast<long long>(sinceExit.elapsed()));
  std::printf("  log: %s\n", LastLine(dialog.log().logText()).c_str());
}

// The first search and a press of Select on a meter whose identity never
// comes: both block in a read for the session's whole time-out.
void MeasureUnansweredIdentity() {
  SteadyClock clock;
  std::string error;
  std::unique_ptr<VisaLibrary> visa = MakeVisaLibrary("sim:idn_slow_ms=25000", clock, &error);
  DiskFileSystem files;
  ConsoleHooks hooks;
  hooks.showMessageBox = [](QWidget*, const MessageBoxRequest&) { return MessageResult::kOk; };
  hooks.chooseFile = [](QWidget*, std::string_view) { return std::optional<std::string>(); };
  UpdateDialog dialog(*visa, clock, files, hooks);
  bool ready = false;
  bool finished = false;
  QObject::connect(&dialog, &UpdateDialog::startupDiscoveryFinished,
                   [&ready](bool) { ready = true; });
  QObject::connect(&dialog, &UpdateDialog::selectFinished,
                   [&finished](UpdateOutcome) { finished = true; });
  LoopWatch watch(dialog);
  QElapsedTimer total;
  total.start();
  watch.Start();
  dialog.show();
  WaitFor([&ready] { return ready; });
  Report("start-up, *idn? unanswered", watch.Stop(), total.elapsed());
  total.restart();
  watch.Start();
  QTimer::singleShot(0, &dialog, [&dialog] { dialog.button(ConsoleButton::kSelect).click(); });
  if (!WaitFor([&finished] { return finished; })) std::printf("select: no end\n");
  Report("select, *idn? unanswered", watch.Stop(), total.elapsed());
  std::printf("  log: %s\n", LastLine(dialog.log().logText()).c_str());
}

using testing::BinBuilder;
using testing::PakBuilder;
using testing::TempDir;

int Run(bool unansweredOnly) {
  if (unansweredOnly) {
    MeasureUnansweredIdentity();
    return 0;
  }
  TempDir dir;
  const std::string package = dir.Write(
      "bench.pak", PakBuilder()
                       .AddImage(BinBuilder().Version("01.21").Payload(700).WithCrc())
                       .AddImage(BinBuilder().Target(1).Version("06.00").Payload(400).WithCrc())
                       .AddImage(BinBuilder().Version("01.30").Payload(300).WithCrc())
                       .Bytes());
  const std::string image =
      dir.Write("bench.bin", BinBuilder().Version("01.21").Payload(700).WithCrc().Bytes());

  SteadyClock clock;
  std::string error;
  std::unique_ptr<VisaLibrary> visa = MakeVisaLibrary("sim", clock, &error);
  if (!visa) {
    std::fprintf(stderr, "no simulated meter: %s\n", error.c_str());
    return 1;
  }
  DiskFileSystem files;
  std::string chosen;
  ConsoleHooks hooks;
  hooks.showMessageBox = [](QWidget*, const MessageBoxRequest&) { return MessageResult::kOk; };
  hooks.chooseFile = [&chosen](QWidget*, std::string_view) {
    return std::optional<std::string>(chosen);
  };
  auto dialog = std::make_unique<UpdateDialog>(*visa, clock, files, hooks);
  bool ready = false;
  bool finished = false;
  QObject::connect(dialog.get(), &UpdateDialog::startupDiscoveryFinished,
                   [&ready](bool) { ready = true; });
  QObject::connect(dialog.get(), &UpdateDialog::selectFinished,
                   [&finished](UpdateOutcome) { finished = true; });

  LoopWatch watch(*dialog);
  QElapsedTimer total;
  total.start();
  watch.Start();
  dialog->show();
  WaitFor([&ready] { return ready; });
  Report("start-up discovery", watch.Stop(), total.elapsed());

  const auto update = [&](const char* what, const std::string& path) {
    chosen = path;
    finished = false;
    total.restart();
    watch.Start();
    QTimer::singleShot(0, dialog.get(), [&dialog] {
      dialog->button(ConsoleButton::kSelect).click();
    });
    if (!WaitFor([&finished] { return finished; })) std::printf("%s: no end\n", what);
    Report(what, watch.Stop(), total.elapsed());
    std::printf("  log: %s\n", dialog->log().logText().c_str());
    // The meter reboots by itself after its last image and comes back; then Continue.
    QElapsedTimer idle;
    idle.start();
    WaitFor([&idle] { return idle.elapsed() > 10000; });
    finished = false;
    total.restart();
    watch.Start();
    QTimer::singleShot(0, dialog.get(), [&dialog] {
      dialog->button(ConsoleButton::kSelect).click();
    });
    if (!WaitFor([&finished] { return finished; })) std::printf("continue: no end\n");
    Report("continue", watch.Stop(), total.elapsed());
  };
  // The image first: the package's newer versions would make it too old afterwards.
  update("single-image update", image);
  update("package update", package);

  total.restart();
  dialog->button(ConsoleButton::kExit).click();
  WaitFor([&dialog] { return !dialog->isVisible(); });
  const qint64 closed = total.elapsed();
  dialog.reset();
  visa.reset();
  std::printf("exit confirmed when idle: window gone after %lld ms, everything released after "
              "%lld ms\n",
              static_cast<long long>(closed), static_cast<long long>(total.elapsed()));

  MeasureExit("the first search", image, false, 300);
  MeasureExit("identification", image, true, 200);
  MeasureExit("the switch to update mode", image, true, 2500);
  MeasureUnansweredIdentity();
  return 0;
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  return quorvel::Run(argc > 1 && std::string(argv[1]) == "unanswered");
}
