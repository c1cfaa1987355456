#include "console/updater_app.h"

#include <QCommandLineParser>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QTimer>
#include <cstdlib>
#include <iostream>
#include <memory>

#include "common/clock.h"
#include "console/console_texts.h"
#include "console/file_chooser.h"
#include "console/qt_text.h"
#include "console/transfer_progress_bar.h"
#include "firmware/file_source.h"
#include "backends/open_backend.h"
#include "common/message_text.h"
#include "visa/tracing_visa.h"
#include "visa/visa_library.h"

namespace quorvel {

namespace {

constexpr std::string_view kStartupErrorCaption = kProgramName;

// Demonstrations and screenshots: once the meter is ready the run presses
// Select by itself and answers the file chooser with a given file, and it
// tells on standard output how far it has come ("demo: ready",
// "demo: progress 40 <the bar's text>", "demo: finished", ...).
class DemoRun {
 public:
  explicit DemoRun(std::string path) : path_(std::move(path)) {}

  void Wrap(ConsoleHooks& hooks) {
    hooks.chooseFile = [this, chooser = hooks.chooseFile](QWidget* owner,
                                                          std::string_view filter) {
      if (answered_) return chooser(owner, filter);
      answered_ = true;
      return std::optional<std::string>(path_);
    };
    hooks.showMessageBox = [box = hooks.showMessageBox](QWidget* owner,
                                                        const MessageBoxRequest& request) {
      Tell("message " + request.text);
      return box(owner, request);
    };
  }

  void Attach(UpdateDialog& dialog) {
    QObject::connect(&dialog, &UpdateDialog::startupDiscoveryFinished, &dialog,
                     [&dialog](bool ready) {
                       Tell(ready ? "ready" : "no meter");
                       if (!ready) return;
                       // Long enough for a screenshot of the ready window.
                       QTimer::singleShot(kPauseBeforeSelectMs, &dialog, [&dialog] {
                         dialog.button(ConsoleButton::kSelect).click();
                       });
                     });
    QObject::connect(&dialog, &UpdateDialog::progressShown, &dialog,
                     [this, &dialog](int percent) {
                       const std::string text = dialog.progressBar().format().toStdString();
                       if (text == lastProgress_) return;
                       lastProgress_ = text;
                       Tell("progress " + std::to_string(percent) + " " + text);
                     });
    QObject::connect(&dialog, &UpdateDialog::selectFinished, &dialog,
                     [](UpdateOutcome) { Tell("finished"); });
    QObject::connect(&dialog, &UpdateDialog::modelDrawn, &dialog, [this, &dialog] {
      const WindowModel& model = dialog.presenter().model();
      if (model.strip.text != lastStrip_) {
        lastStrip_ = model.strip.text;
        if (!lastStrip_.empty()) Tell("strip " + lastStrip_);
      }
      if (model.progress.busy != lastBusy_) {
        lastBusy_ = model.progress.busy;
        if (lastBusy_) Tell("busy");
      }
    });
  }

 private:
  static constexpr int kPauseBeforeSelectMs = 2000;

  static void Tell(const std::string& what) { std::cout << "demo: " << what << std::endl; }

  std::string path_;
  bool answered_ = false;
  std::string lastProgress_;
  std::string lastStrip_;
  bool lastBusy_ = false;
};

std::optional<std::string> OptionValue(const QCommandLineParser& parser,
                                       const QCommandLineOption& option) {
  if (!parser.isSet(option)) return std::nullopt;
  return parser.value(option).toStdString();
}

}  // namespace

UpdaterApp::UpdaterApp(ConsoleHooks hooks) : hooks_(std::move(hooks)) {
  if (!hooks_.showMessageBox) hooks_.showMessageBox = ShowRealMessageBox;
  if (!hooks_.chooseFile) hooks_.chooseFile = ChooseFirmwareFile;
}

// The program's options, defined once for both readings of the command line.
struct ProgramOptions {
  ProgramOptions() {
    parser.setApplicationDescription(
        QStringLiteral("Updates the firmware of a USBTMC multimeter."));
    parser.addOption(visa);
    parser.addOption(demoFile);
    parser.addOption(trace);
  }

  QCommandLineParser parser;
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption visa{
      QStringLiteral("visa"),
      QStringLiteral("VISA backend: sim[:knob=value,...] for the simulated meter, usbtmc, or "
                     "system[:path=FILE] for an installed VISA library. "
                     "Default: the %1 environment variable, else %2.")
          .arg(ToQString(kVisaBackendVariable), ToQString(kDefaultVisaBackend)),
      QStringLiteral("name")};
  const QCommandLineOption demoFile{
      QStringLiteral("demo-file"),
      QStringLiteral("For demonstrations: once the meter is ready, press Select by itself, "
                     "answer the file chooser with <path> and report progress on standard "
                     "output."),
      QStringLiteral("path")};
  const QCommandLineOption trace{
      QStringLiteral("trace"),
      QStringLiteral("Write every VISA call to <file>, with times and bytes, for support. "
                     "Default: the %1 environment variable, else no trace.")
          .arg(ToQString(kTraceEnvironmentVariable)),
      QStringLiteral("file")};
};

std::optional<int> UpdaterApp::AnswerInfoRequest(const QStringList& arguments) {
  ProgramOptions options;
  options.parser.parse(arguments);  // errors are reported by Run, with Qt's own options removed
  if (options.parser.isSet(options.help)) {
    std::cout << options.parser.helpText().toStdString();
    return 0;
  }
  if (options.parser.isSet(options.version)) {
    std::cout << "quorvel " << kVersionText << "\n";
    return 0;
  }
  return std::nullopt;
}

int UpdaterApp::Run(const QStringList& arguments) {
  if (const auto answered = AnswerInfoRequest(arguments)) return *answered;
  ProgramOptions options;
  QCommandLineParser& parser = options.parser;
  if (!parser.parse(arguments) || !parser.positionalArguments().isEmpty()) {
    const QString problem = parser.errorText().isEmpty()
                                ? QStringLiteral("unexpected argument: %1")
                                      .arg(parser.positionalArguments().join(u' '))
                                : parser.errorText();
    std::cerr << "quorvel: " << problem.toStdString() << "\n"
              << "Try 'quorvel --help'.\n";
    return kExitBadArguments;
  }

  const std::string backend =
      ChooseVisaBackend(OptionValue(parser, options.visa), std::getenv(kVisaBackendVariable));
  std::string error;
  std::optional<OpenedBackend> opened = OpenBackend(
      {.name = backend,
       .traceFile = ChooseTraceFile(OptionValue(parser, options.trace),
                                    std::getenv(kTraceEnvironmentVariable)),
       .traceHeading = "quorvel " + std::string(kVersionText) + ", backend \"" + backend + "\""},
      &error);
  if (!opened) {
    ReportStartupError(error);
    return kExitBadArguments;
  }
  Clock& clock = *opened->clock;
  VisaLibrary& visa = *opened->visa;

  DiskFileSystem files;
  ConsoleHooks hooks = hooks_;
  std::optional<DemoRun> demo;
  if (parser.isSet(options.demoFile)) {
    const QByteArray absolute =
        QFile::encodeName(QFileInfo(parser.value(options.demoFile)).absoluteFilePath());
    demo.emplace(std::string(absolute.constData(), static_cast<std::size_t>(absolute.size())));
    demo->Wrap(hooks);
  }
  WindowSetup setup{.visa = visa, .clock = clock, .files = files, .backend = backend};
  setup.visaLibraryPath = opened->loadedLibrary;
  setup.documentation = kDocumentationPlace;
  setup.meterAccessHint = hooks.meterAccessHint;
  AddInstalledProgramParts(setup);
  UpdateDialog dialog(std::move(setup), std::move(hooks));
  if (demo) demo->Attach(dialog);
  dialog.exec();
  return 0;
}

void UpdaterApp::ReportStartupError(const std::string& message) {
  std::cerr << "quorvel: " << message << "\n";
  hooks_.showMessageBox(nullptr, MessageBoxRequest{AsSentence(message), std::string(kStartupErrorCaption),
                                                   MessageIcon::kWarning, MessageButtons::kOk,
                                                   MessageOwner::kNone});
}

}  // namespace quorvel
