#include "console/update_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QTimer>
#include <algorithm>

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
// The failure strip takes the log's last line while it is shown.
constexpr UnitRect kStatusArea{7, 77, 306, 10};
constexpr UnitRect kSelectArea{109, 95, 50, 14};
constexpr UnitRect kExitArea{170, 95, 45, 14};

QRect ToPixels(const DialogUnits& units, const UnitRect& area) {
  return units.Rect(area.x, area.y, area.width, area.height);
}

// Why the last press of Select failed, for the strip under the log: the
// report's own words, as a sentence. Empty when nothing failed.
std::string FailureReason(const UpdateReport& report) {
  if (report.outcome == UpdateOutcome::kInstalled) return {};
  std::string text = TransferFailureText(report);
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

// The real save-file chooser for Save Log..., starting in the home folder.
std::optional<std::string> ChooseRealLogFile(QWidget* owner) {
  const QString path = QFileDialog::getSaveFileName(
      owner, ToQString(kSaveLogCaption),
      QDir::home().filePath(ToQString(kSaveLogDefaultName)), ToQString(kSaveLogFilter));
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

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
  if (!hooks_.chooseLogFile) hooks_.chooseLogFile = ChooseRealLogFile;

  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(ToQString(kDialogCaption));
  setWindowIcon(AppIcon());
  BuildLayout();
  InstallAboutEntry();
}

UpdateDialog::~UpdateDialog() = default;

void UpdateDialog::BuildLayout() {
  // The designed size is the smallest; whatever the window grows by goes to the log.
  const QSize designed = ToPixels(DialogUnits::ForFont(font()), kClientArea).size();
  setMinimumSize(designed);
  resize(designed);

  log_ = new LogEdit(this);
  connect(log_, &LogEdit::saveRequested, this, &UpdateDialog::OnSaveLog);

  status_ = new QLabel(this);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status_->hide();

  progressBar_ = new TransferProgressBar(this);

  select_ = new QPushButton(QStringLiteral("Select"), this);
  select_->setDefault(true);
  // Nothing to select before the meter has been looked for.
  select_->setEnabled(false);
  connect(select_, &QPushButton::clicked, this, &UpdateDialog::OnSelect);

  exit_ = new QPushButton(QStringLiteral("Exit"), this);
  connect(exit_, &QPushButton::clicked, this, &UpdateDialog::OnExit);

  PlaceControls();
  setTabOrder(log_, select_);
  setTabOrder(select_, exit_);
  log_->setFocus();
}

// The designed layout, stretched: the log takes the extra width and height,
// the strip and bar stay under it, the buttons stay centred at the bottom.
void UpdateDialog::PlaceControls() {
  const DialogUnits units = DialogUnits::ForFont(font());
  const QSize designed = ToPixels(units, kClientArea).size();
  const int wider = std::max(0, width() - designed.width());
  const int taller = std::max(0, height() - designed.height());

  QRect logArea = ToPixels(units, kLogArea).adjusted(0, 0, wider, taller);
  const QRect statusArea = ToPixels(units, kStatusArea).adjusted(0, taller, wider, taller);
  if (!status_->isHidden()) logArea.setBottom(statusArea.top() - 1);
  log_->setGeometry(logArea);
  status_->setGeometry(statusArea);
  progressBar_->PlaceAt(ToPixels(units, kProgressArea).adjusted(0, taller, wider, taller));
  select_->setGeometry(ToPixels(units, kSelectArea).translated(wider / 2, taller));
  exit_->setGeometry(ToPixels(units, kExitArea).translated(wider / 2, taller));
}

void UpdateDialog::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  PlaceControls();
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
  log_->addAction(about);  // under the log's own entries
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

void UpdateDialog::RunStartupDiscovery() {
  // The search's waits pump messages, so the window paints and answers meanwhile.
  SetBusy(true);
  DiscoverInstrument(services_, state_.session, state_.readyForUpdate);
  SetBusy(false);
  emit startupDiscoveryFinished(state_.readyForUpdate);
  EndDialogIfExitConfirmed();
}

// --- the two buttons, Esc and the close box --------------------------------

void UpdateDialog::OnSelect() {
  if (busy_) return;  // an update never starts twice
  SetBusy(true);
  ShowFailureReason({});
  // Continue only looks for the meter again; it must not be pressed meanwhile.
  if (!state_.readyForUpdate) select_->setEnabled(false);
  const UpdateOutcome outcome = RunImageUpdate(services_, state_);
  SetBusy(false);
  // The log stays as the procedure left it; the reason it cleared away shows here.
  ShowFailureReason(FailureReason(state_.report));
  emit selectFinished(outcome);
  EndDialogIfExitConfirmed();
}

// Exit was confirmed while a procedure ran: it has stopped at its next wait.
// What it opened after Exit closed the sessions is closed too.
void UpdateDialog::EndDialogIfExitConfirmed() {
  if (!exitConfirmed_) return;
  CloseSessionsForExit(state_);
  EndDialog();
}

void UpdateDialog::SetBusy(bool busy) {
  busy_ = busy;
  // Saving opens a modal chooser, which would hold up the update's pacing.
  log_->SetSaveEnabled(!busy);
}

void UpdateDialog::ShowFailureReason(const std::string& reason) {
  status_->setText(ToQString(reason));
  status_->setToolTip(status_->text());
  status_->setHidden(reason.empty());
  PlaceControls();
}

void UpdateDialog::OnSaveLog() {
  if (busy_) return;
  if (const std::optional<std::string> path = hooks_.chooseLogFile(this)) SaveLog(*path);
}

bool UpdateDialog::SaveLog(const std::string& path) {
  QSaveFile file(QString::fromStdString(path));
  const std::string& text = log_->transcriptText();
  const bool saved = file.open(QIODevice::WriteOnly) &&
                     file.write(text.data(), static_cast<qint64>(text.size())) ==
                         static_cast<qint64>(text.size()) &&
                     file.write("\r\n", 2) == 2 && file.commit();
  if (!saved) {
    ShowMessageBox({.text = std::string(kSaveLogFailed) + " " + path + ": " +
                            file.errorString().toStdString(),
                    .caption = std::string(kSaveLogCaption),
                    .icon = MessageIcon::kWarning,
                    .buttons = MessageButtons::kOk,
                    .owner = MessageOwner::kDialog});
  }
  return saved;
}

void UpdateDialog::OnExit() {
  const MessageBoxRequest question{std::string(kExitQuestion), std::string(kExitCaption),
                                   MessageIcon::kQuestion, MessageButtons::kOkCancel,
                                   MessageOwner::kDialog};
  if (ShowMessageBox(question) != MessageResult::kOk) return;
  CloseSessionsForExit(state_);
  exitConfirmed_ = true;
  // Exit stays usable while an update waits for the meter. That run still
  // owns the window: it stops at its next wait (StopRequested), and the
  // window closes when it has come back.
  if (!busy_) EndDialog();
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
  if (exitConfirmed_) return std::nullopt;  // leaving: nothing more to choose
  return hooks_.chooseFile(this, filter);
}

void UpdateDialog::Repaint() { update(); }

std::string UpdateDialog::MeterAccessHint() {
  return hooks_.meterAccessHint ? hooks_.meterAccessHint() : std::string();
}

void UpdateDialog::ReportProgress(const ProgressReport& report) {
  progressBar_->ShowReport(report);
  if (!report.finished) emit progressShown(ProgressPercent(report));
}

}  // namespace quorvel
