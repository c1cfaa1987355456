#include "console/update_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <QWindow>

#include "console/about_box.h"
#include "console/app_icon.h"
#include "console/console_texts.h"
#include "console/dialog_units.h"
#include "console/file_chooser.h"
#include "console/gradient.h"
#include "console/log_edit.h"
#include "console/progress_text.h"
#include "console/qt_text.h"
#include "console/transfer_progress_bar.h"

#ifdef Q_OS_WIN
#define NOMINMAX
#include <windows.h>

#include <string>
#endif

namespace quorvel {

namespace {

// The window's layout in dialog units.
struct UnitRect {
  int x, y, width, height;
};
constexpr UnitRect kClientArea{0, 0, 320, 116};
constexpr UnitRect kLogArea{7, 7, 306, 80};
// The slim progress bar sits right under the log, in the gap above the buttons.
constexpr UnitRect kProgressArea{7, 87, 306, 7};
constexpr UnitRect kSelectArea{109, 95, 50, 14};
constexpr UnitRect kExitArea{170, 95, 45, 14};

QRect ToPixels(const DialogUnits& units, const UnitRect& area) {
  return units.Rect(area.x, area.y, area.width, area.height);
}

// The window must be painted before the first discovery, whose waits do not
// pump messages; a window system that never reports it visible is not waited
// for longer than this.
constexpr qint64 kLongestWaitForScreenMs = 1000;

#ifdef Q_OS_WIN
// The About entry's command in the window's system menu.
constexpr UINT kAboutCommandId = 0x0010;
#endif

// Catches a quit request while messages are being pumped. The request is
// consumed: an update in progress must not lose its window underneath it.
class QuitCatcher final : public QObject {
 public:
  QuitCatcher() { QCoreApplication::instance()->installEventFilter(this); }
  ~QuitCatcher() override { QCoreApplication::instance()->removeEventFilter(this); }
  QuitCatcher(const QuitCatcher&) = delete;
  QuitCatcher& operator=(const QuitCatcher&) = delete;

  bool caught() const { return caught_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Quit && watched == QCoreApplication::instance()) {
      caught_ = true;
      return true;
    }
    return false;
  }

 private:
  bool caught_ = false;
};

}  // namespace

MessageResult ShowRealMessageBox(QWidget* owner, const MessageBoxRequest& request) {
  const QMessageBox::Icon icon =
      request.icon == MessageIcon::kQuestion ? QMessageBox::Question : QMessageBox::Warning;
  const QMessageBox::StandardButtons buttons = request.buttons == MessageButtons::kOkCancel
                                                   ? QMessageBox::Ok | QMessageBox::Cancel
                                                   : QMessageBox::Ok;
  QMessageBox box(icon, ToQString(request.caption), ToQString(request.text), buttons, owner);
  return box.exec() == QMessageBox::Ok ? MessageResult::kOk : MessageResult::kCancel;
}

UpdateDialog::UpdateDialog(VisaLibrary& visa, Clock& clock, FileSystem& files,
                           ConsoleHooks hooks, QWidget* parent)
    : QDialog(parent),
      services_{visa, static_cast<OperatorConsole&>(*this), clock, files},
      hooks_(std::move(hooks)) {
  if (!hooks_.showMessageBox) hooks_.showMessageBox = ShowRealMessageBox;
  if (!hooks_.chooseFile) hooks_.chooseFile = ChooseFirmwareFile;

  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(ToQString(kDialogCaption));
  setWindowIcon(AppIcon());
  BuildLayout();
  InstallAboutEntry();
}

UpdateDialog::~UpdateDialog() = default;

void UpdateDialog::BuildLayout() {
  const DialogUnits units = DialogUnits::ForFont(font());
  setFixedSize(ToPixels(units, kClientArea).size());

  log_ = new LogEdit(this);
  log_->setGeometry(ToPixels(units, kLogArea));

  progressBar_ = new TransferProgressBar(this);
  progressBar_->PlaceAt(ToPixels(units, kProgressArea));

  select_ = new QPushButton(QStringLiteral("Select"), this);
  select_->setGeometry(ToPixels(units, kSelectArea));
  select_->setDefault(true);
  // Nothing to select before the meter has been looked for.
  select_->setEnabled(false);
  connect(select_, &QPushButton::clicked, this, &UpdateDialog::OnSelect);

  exit_ = new QPushButton(QStringLiteral("Exit"), this);
  exit_->setGeometry(ToPixels(units, kExitArea));
  connect(exit_, &QPushButton::clicked, this, &UpdateDialog::OnExit);

  setTabOrder(log_, select_);
  setTabOrder(select_, exit_);
  log_->setFocus();
}

void UpdateDialog::InstallAboutEntry() {
  if (kAboutMenuText.empty()) return;
#ifdef Q_OS_WIN
  HMENU systemMenu = GetSystemMenu(reinterpret_cast<HWND>(winId()), FALSE);
  if (systemMenu == nullptr) return;
  const std::wstring text = ToQString(kAboutMenuText).toStdWString();
  AppendMenuW(systemMenu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(systemMenu, MF_STRING, kAboutCommandId, text.c_str());
#else
  // Without a window menu to extend, About sits in the window's context menu
  // and on F1.
  auto* about = new QAction(ToQString(kAboutMenuText), this);
  about->setShortcut(QKeySequence(Qt::Key_F1));
  connect(about, &QAction::triggered, this, &UpdateDialog::ShowAbout);
  addAction(about);
  setContextMenuPolicy(Qt::ActionsContextMenu);
#endif
}

#ifdef Q_OS_WIN
bool UpdateDialog::nativeEvent(const QByteArray& eventType, void* message, qintptr* result) {
  const auto* msg = static_cast<const MSG*>(message);
  if (msg->message == WM_SYSCOMMAND && (msg->wParam & 0xFFF0) == kAboutCommandId) {
    ShowAbout();
    *result = 0;
    return true;
  }
  return QDialog::nativeEvent(eventType, message, result);
}
#endif

void UpdateDialog::ShowAbout() {
  AboutBox about(this);
  about.exec();
}

QPushButton& UpdateDialog::button(ConsoleButton which) {
  return which == ConsoleButton::kSelect ? *select_ : *exit_;
}

// --- start-up -------------------------------------------------------------

void UpdateDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (startupDone_) return;
  startupDone_ = true;
  log_->AppendLine(kLookingForMeter);
  // The window comes up first; the search for the meter follows at once.
  QTimer::singleShot(0, this, &UpdateDialog::RunStartupDiscovery);
}

void UpdateDialog::WaitUntilOnScreen() {
  QElapsedTimer waited;
  waited.start();
  while (windowHandle() != nullptr && !windowHandle()->isExposed() &&
         waited.elapsed() < kLongestWaitForScreenMs) {
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    QThread::msleep(10);
  }
  repaint();
}

void UpdateDialog::RunStartupDiscovery() {
  WaitUntilOnScreen();
  DiscoverInstrument(services_, state_.session, state_.readyForUpdate);
  emit startupDiscoveryFinished(state_.readyForUpdate);
}

// --- the two buttons, Esc and the close box --------------------------------

void UpdateDialog::OnSelect() {
  if (selectRunning_) return;  // an update never starts twice
  selectRunning_ = true;
  const UpdateOutcome outcome = RunImageUpdate(services_, state_);
  selectRunning_ = false;
  emit selectFinished(outcome);
  if (exitConfirmed_) EndDialog();
}

void UpdateDialog::OnExit() {
  const MessageBoxRequest question{std::string(kExitQuestion), std::string(kExitCaption),
                                   MessageIcon::kQuestion, MessageButtons::kOkCancel,
                                   MessageOwner::kDialog};
  if (ShowMessageBox(question) != MessageResult::kOk) return;
  CloseSessionsForExit(services_, state_);
  exitConfirmed_ = true;
  // Exit stays usable while an update waits for the meter. That run still
  // owns the window: it closes when the run has come back.
  if (!selectRunning_) EndDialog();
}

void UpdateDialog::EndDialog() { done(QDialog::Accepted); }

void UpdateDialog::reject() {}

void UpdateDialog::closeEvent(QCloseEvent* event) {
  if (exitConfirmed_) {
    event->accept();
  } else {
    event->ignore();
  }
}

void UpdateDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintGradient(painter, width(), height());
}

// --- OperatorConsole ------------------------------------------------------

void UpdateDialog::AppendLog(std::string_view text) {
  log_->AppendLine(text);
  PumpMessages();
}

void UpdateDialog::ClearLog() { log_->ClearLines(); }

bool UpdateDialog::PumpMessages() {
  const QuitCatcher quit;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return !quit.caught();
}

void UpdateDialog::SetButtonCaption(ConsoleButton which, std::string_view caption) {
  button(which).setText(ToQString(caption));
}

void UpdateDialog::EnableButton(ConsoleButton which, bool enabled) {
  button(which).setEnabled(enabled);
}

void UpdateDialog::ShowButton(ConsoleButton which, bool visible) {
  button(which).setVisible(visible);
}

MessageResult UpdateDialog::ShowMessageBox(const MessageBoxRequest& request) {
  QWidget* owner = request.owner == MessageOwner::kDialog ? this : nullptr;
  return hooks_.showMessageBox(owner, request);
}

std::optional<std::string> UpdateDialog::ChooseFile(std::string_view filter) {
  return hooks_.chooseFile(this, filter);
}

void UpdateDialog::Repaint() { update(); }

void UpdateDialog::ReportProgress(const ProgressReport& report) {
  progressBar_->ShowReport(report);
  if (!report.finished) emit progressShown(ProgressPercent(report));
}

}  // namespace quorvel
