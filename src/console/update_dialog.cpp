#include "console/update_dialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
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
#include "presenter/window_layout.h"
#include "console/log_edit.h"
#include "console/qt_text.h"
#include "console/status_strip.h"
#include "console/transfer_progress_bar.h"

#ifdef Q_OS_WIN
#define NOMINMAX
#include <windows.h>

#include <string>
#endif

namespace quorvel {

namespace {

// The strip's icon sits at its left.
constexpr int kStatusIconWidth = 14;

QRect ToPixels(const DialogUnits& units, const UnitRect& area) {
  return units.Rect(area.x, area.y, area.width, area.height);
}

// The real save-file chooser for Save Log..., starting in the home folder.
std::optional<std::string> ChooseRealLogFile(QWidget* owner) {
  const QString path = QFileDialog::getSaveFileName(
      owner, ToQString(kSaveLogCaption), QDir::home().filePath(ToQString(kSaveLogDefaultName)),
      ToQString(kSaveLogFilter));
  if (path.isEmpty()) return std::nullopt;
  return path.toStdString();
}

#ifdef Q_OS_WIN
// The About entry's command in the window's system menu.
constexpr UINT kAboutCommandId = 0x0010;
#endif

// Catches a quit request while messages are being served. The request is
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

UpdateDialog::UpdateDialog(VisaLibrary& visa, Clock& clock, FileSystem& files, ConsoleHooks hooks,
                           QWidget* parent)
    : UpdateDialog(WindowSetup{.visa = visa, .clock = clock, .files = files, .backend = {}},
                   std::move(hooks), parent) {}

UpdateDialog::UpdateDialog(WindowSetup setup, ConsoleHooks hooks, QWidget* parent)
    : QDialog(parent), hooks_(std::move(hooks)) {
  if (!hooks_.showMessageBox) hooks_.showMessageBox = ShowRealMessageBox;
  if (!hooks_.chooseFile) hooks_.chooseFile = ChooseFirmwareFile;
  if (!hooks_.chooseLogFile) hooks_.chooseLogFile = ChooseRealLogFile;
  if (!setup.meterAccessHint) setup.meterAccessHint = hooks_.meterAccessHint;

  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMaximizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setWindowTitle(ToQString(kDialogCaption));
  setWindowIcon(AppIcon());
  BuildLayout();
  InstallAboutEntry();
  presenter_ = std::make_unique<WindowPresenter>(std::move(setup), *this);
  Draw(presenter_->model());

  lookAgain_ = new QTimer(this);
  lookAgain_->setInterval(kTickMs);
  connect(lookAgain_, &QTimer::timeout, this, [this] { presenter_->OnTick(); });
}

UpdateDialog::~UpdateDialog() {
  // The presenter waits for a run still going; the widgets stay until then.
  presenter_.reset();
}

void UpdateDialog::BuildLayout() {
  // The designed size is the smallest; whatever the window grows by goes to the log.
  const QSize designed = ToPixels(DialogUnits::ForFont(font()), kClientArea).size();
  setMinimumSize(designed);
  resize(designed);

  meterLabel_ = new QLabel(ToQString(kMeterLabel), this);
  meterChooser_ = new QComboBox(this);
  meterChooser_->setAccessibleName(QStringLiteral("Meter to update"));
  meterLabel_->setBuddy(meterChooser_);
  connect(meterChooser_, &QComboBox::activated, this,
          [this](int index) { presenter_->OnMeterChosen(static_cast<std::size_t>(index)); });
  meterText_ = new QLabel(this);
  meterText_->setAccessibleName(QStringLiteral("Meter"));
  meterText_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  log_ = new LogEdit(this);
  log_->setAccessibleName(QStringLiteral("Log"));
  connect(log_, &LogEdit::saveRequested, this, [this] { presenter_->OnSaveLog(); });

  statusIcon_ = new QLabel(this);
  statusIcon_->setAlignment(Qt::AlignCenter);
  status_ = new QLabel(this);
  status_->setAccessibleName(QStringLiteral("Status"));
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  status_->setWordWrap(true);
  status_->setMargin(2);

  progressBar_ = new TransferProgressBar(this);
  progressBar_->setAccessibleName(QStringLiteral("Transfer progress"));

  select_ = new QPushButton(QStringLiteral("Select"), this);
  connect(select_, &QPushButton::clicked, this, [this] { presenter_->OnSelect(); });
  exit_ = new QPushButton(QStringLiteral("Exit"), this);
  connect(exit_, &QPushButton::clicked, this, [this] { presenter_->OnExit(); });

  PlaceControls();
  setTabOrder(log_, meterChooser_);
  setTabOrder(meterChooser_, select_);
  setTabOrder(select_, exit_);
  log_->setFocus();
}

// The designed layout, stretched: the log takes the extra width and height,
// the strip and bar stay under it, the buttons stay centred at the bottom
// (one button alone in the middle).
void UpdateDialog::PlaceControls() {
  const DialogUnits units = DialogUnits::ForFont(font());
  const QSize designed = ToPixels(units, kClientArea).size();
  const int wider = std::max(0, width() - designed.width());
  const int taller = std::max(0, height() - designed.height());

  meterLabel_->setGeometry(ToPixels(units, kMeterLabelArea));
  meterChooser_->setGeometry(ToPixels(units, kMeterChooserArea));
  UnitRect meterText = kMeterTextArea;
  if (!meterChooser_->isHidden()) {
    meterText.width -= kMeterTextBesideChooser - meterText.x;
    meterText.x = kMeterTextBesideChooser;
  }
  meterText_->setGeometry(ToPixels(units, meterText).adjusted(0, 0, wider, 0));

  QRect logArea = ToPixels(units, kLogArea).adjusted(0, 0, wider, taller);
  QRect statusArea = ToPixels(units, kStatusArea).adjusted(0, taller, wider, taller);
  const int iconWidth = units.X(kStatusIconWidth);
  // A sentence that needs more lines takes them from the log, never cut off.
  const int needed = status_->heightForWidth(statusArea.width() - iconWidth);
  if (needed > statusArea.height()) statusArea.setTop(statusArea.bottom() - needed);
  if (!status_->isHidden()) logArea.setBottom(statusArea.top() - 1);
  log_->setGeometry(logArea);
  statusIcon_->setGeometry(statusArea.adjusted(0, 0, iconWidth - statusArea.width(), 0));
  status_->setGeometry(statusArea.adjusted(iconWidth, 0, 0, 0));
  progressBar_->PlaceAt(ToPixels(units, kProgressArea).adjusted(0, taller, wider, taller));

  QRect select = ToPixels(units, kSelectArea).translated(wider / 2, taller);
  QRect exit = ToPixels(units, kExitArea).translated(wider / 2, taller);
  const int middle = width() / 2;
  if (select_->isHidden()) exit.moveLeft(middle - exit.width() / 2);
  if (exit_->isHidden()) select.moveLeft(middle - select.width() / 2);
  select_->setGeometry(select);
  exit_->setGeometry(exit);
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
  AboutBox about(this, AboutLines(&presenter_->setup()));
  about.exec();
}

QPushButton& UpdateDialog::button(ConsoleButton which) {
  return which == ConsoleButton::kSelect ? *select_ : *exit_;
}

const QLabel& UpdateDialog::statusStrip() const { return *status_; }

void UpdateDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (startupDone_) return;
  startupDone_ = true;
  presenter_->Start();
  lookAgain_->start();
}

void UpdateDialog::reject() {}

void UpdateDialog::closeEvent(QCloseEvent* event) {
  if (presenter_ == nullptr || presenter_->MayClose()) {
    event->accept();
  } else {
    event->ignore();
  }
}

void UpdateDialog::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  PaintGradient(painter, width(), height(), palette().color(QPalette::Window).lightnessF() < 0.5);
}

// --- WindowView ---------------------------------------------------------------

void UpdateDialog::Draw(const WindowModel& model) {
  log_->ShowText(model.log, model.transcript);
  log_->SetSaveEnabled(model.saveLogEnabled);
  for (const ConsoleButton which : {ConsoleButton::kSelect, ConsoleButton::kExit}) {
    const ButtonModel& shown = which == ConsoleButton::kSelect ? model.select : model.exit;
    QPushButton& widget = button(which);
    widget.setText(ToQString(shown.caption));
    widget.setEnabled(shown.enabled);
    widget.setHidden(!shown.visible);
    widget.setDefault(which == model.defaultButton);
  }
  progressBar_->Show(model.progress);
  ShowStrip(*statusIcon_, *status_, model.strip);
  ShowMeterLine(model.meter);
  PlaceControls();
  emit modelDrawn();
}

void UpdateDialog::ShowMeterLine(const MeterLineModel& line) {
  const bool shown = !line.text.empty() || line.showsChooser();
  meterLabel_->setHidden(!shown);
  meterText_->setHidden(line.text.empty());
  meterText_->setText(ToQString(line.text));
  meterChooser_->setHidden(!line.showsChooser());
  meterChooser_->setEnabled(line.chooserEnabled);
  QStringList entries;
  for (const std::string& entry : line.entries) entries << ToQString(entry);
  QStringList listed;
  for (int i = 0; i < meterChooser_->count(); ++i) listed << meterChooser_->itemText(i);
  if (listed != entries) {
    meterChooser_->clear();
    meterChooser_->addItems(entries);
  }
  if (line.showsChooser()) meterChooser_->setCurrentIndex(static_cast<int>(line.chosen));
}

MessageResult UpdateDialog::ShowMessageBox(const MessageBoxRequest& request) {
  QWidget* owner = request.owner == MessageOwner::kDialog ? this : nullptr;
  return hooks_.showMessageBox(owner, request);
}

std::optional<std::string> UpdateDialog::ChooseFile(std::string_view filter) {
  return hooks_.chooseFile(this, filter);
}

std::optional<std::string> UpdateDialog::ChooseLogFile() { return hooks_.chooseLogFile(this); }

std::optional<std::string> UpdateDialog::WriteTextFile(const std::string& path,
                                                       const std::string& text) {
  QSaveFile file(QString::fromStdString(path));
  const bool saved = file.open(QIODevice::WriteOnly) &&
                     file.write(text.data(), static_cast<qint64>(text.size())) ==
                         static_cast<qint64>(text.size()) &&
                     file.commit();
  if (saved) return std::nullopt;
  return file.errorString().toStdString();
}

void UpdateDialog::Post(std::function<void()> call) {
  QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

void UpdateDialog::ServeUntil(const std::function<bool()>& finished) {
  const QuitCatcher quit;
  while (!finished()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

bool UpdateDialog::PumpMessages() {
  const QuitCatcher quit;
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  return !quit.caught();
}

void UpdateDialog::CloseWindow() {
  lookAgain_->stop();
  done(QDialog::Accepted);
}

}  // namespace quorvel
