#pragma once
// The main window: the log, the Select and Exit buttons and the dialog's
// connection to the meter. It is the operator console the update procedures
// report through.
#include <QDialog>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/operator_console.h"
#include "update/update_procedures.h"

class QLabel;
class QPushButton;

namespace quorvel {

class Clock;
class FileSystem;
class LogEdit;
class TransferProgressBar;
class VisaLibrary;

// The modal questions the window asks. Tests answer them without a real modal
// loop; empty members fall back to the real message box and file chooser.
struct ConsoleHooks {
  // `owner` is null for a box owned by no window.
  std::function<MessageResult(QWidget* owner, const MessageBoxRequest& request)> showMessageBox;
  std::function<std::optional<std::string>(QWidget* owner, std::string_view filter)> chooseFile;
  // Where Save Log... writes; nothing when the operator cancels.
  std::function<std::optional<std::string>(QWidget* owner)> chooseLogFile;
  // Added to "USBTMC device not found." (see OperatorConsole::MeterAccessHint).
  std::function<std::string()> meterAccessHint;
};

// The real message box: warning or question icon, OK or OK/Cancel.
MessageResult ShowRealMessageBox(QWidget* owner, const MessageBoxRequest& request);

class UpdateDialog final : public QDialog, public OperatorConsole {
  Q_OBJECT

 public:
  UpdateDialog(VisaLibrary& visa, Clock& clock, FileSystem& files, ConsoleHooks hooks = {},
               QWidget* parent = nullptr);
  ~UpdateDialog() override;

  // OperatorConsole
  void AppendLog(std::string_view text) override;
  void ClearLog() override;
  bool PumpMessages() override;
  void SetButtonCaption(ConsoleButton button, std::string_view caption) override;
  void EnableButton(ConsoleButton button, bool enabled) override;
  void ShowButton(ConsoleButton button, bool visible) override;
  MessageResult ShowMessageBox(const MessageBoxRequest& request) override;
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  void Repaint() override;
  void ReportProgress(const ProgressReport& report) override;
  std::string MeterAccessHint() override;
  // Once Exit is confirmed, a procedure still running stops at its next wait.
  bool StopRequested() override { return exitConfirmed_; }

  const DialogState& state() const { return state_; }
  const LogEdit& log() const { return *log_; }
  LogEdit& log() { return *log_; }
  QPushButton& button(ConsoleButton which);
  const TransferProgressBar& progressBar() const { return *progressBar_; }
  // The strip under the log that tells why the last update failed; hidden
  // otherwise.
  const QLabel& statusStrip() const { return *status_; }

  // Writes the session's whole log to `path`; false (and the operator told)
  // when it could not be written.
  bool SaveLog(const std::string& path);

  // Esc: the window is left only through the Exit button.
  void reject() override;

 signals:
  // The search for the meter that follows the window's first appearance is over.
  void startupDiscoveryFinished(bool meterReady);
  // A press of Select has been handled completely.
  void selectFinished(quorvel::UpdateOutcome outcome);
  void progressShown(int percent);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
#ifdef Q_OS_WIN
  bool nativeEvent(const QByteArray& eventType, void* message, qintptr* result) override;
#endif

 private:
  void BuildLayout();
  void PlaceControls();
  void InstallAboutEntry();
  void ShowAbout();
  void RunStartupDiscovery();
  void OnSelect();
  void OnExit();
  void OnSaveLog();
  void ShowFailureReason(const std::string& reason);
  void SetBusy(bool busy);
  void EndDialogIfExitConfirmed();
  void EndDialog();

  DialogState state_;
  Services services_;
  ConsoleHooks hooks_;
  LogEdit* log_ = nullptr;
  QPushButton* select_ = nullptr;
  QPushButton* exit_ = nullptr;
  TransferProgressBar* progressBar_ = nullptr;
  QLabel* status_ = nullptr;
  bool startupDone_ = false;
  // A procedure (the first search or a press of Select) runs; it owns the
  // window until it comes back, which a confirmed Exit hastens.
  bool busy_ = false;
  bool exitConfirmed_ = false;
};

}  // namespace quorvel
