#pragma once
// The main window drawn with Qt: the meter line, the log, the strip, the
// progress bar and the Select and Exit buttons. It decides nothing: the
// presenter tells it what to show, and it passes clicks and keys on.
#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/operator_console.h"
#include "presenter/window_presenter.h"
#include "presenter/window_view.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;

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

class UpdateDialog final : public QDialog, public WindowView {
  Q_OBJECT

 public:
  UpdateDialog(WindowSetup setup, ConsoleHooks hooks = {}, QWidget* parent = nullptr);
  // On a backend whose name is not known (tests, benchmarks): no history.
  UpdateDialog(VisaLibrary& visa, Clock& clock, FileSystem& files, ConsoleHooks hooks = {},
               QWidget* parent = nullptr);
  ~UpdateDialog() override;

  // WindowView
  void Draw(const WindowModel& model) override;
  MessageResult ShowMessageBox(const MessageBoxRequest& request) override;
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  std::optional<std::string> ChooseLogFile() override;
  std::optional<std::string> WriteTextFile(const std::string& path,
                                           const std::string& text) override;
  void Post(std::function<void()> call) override;
  void ServeUntil(const std::function<bool()>& finished) override;
  void CloseWindow() override;
  void StartupFinished(bool meterReady) override { emit startupDiscoveryFinished(meterReady); }
  void SelectFinished(UpdateOutcome outcome) override { emit selectFinished(outcome); }
  void ProgressShown(int percent) override { emit progressShown(percent); }

  // Processes pending window messages. False when a quit request was met (it
  // is consumed and ends this pump).
  bool PumpMessages();

  WindowPresenter& presenter() { return *presenter_; }
  const DialogState& state() const { return presenter_->state(); }
  const LogEdit& log() const { return *log_; }
  LogEdit& log() { return *log_; }
  QPushButton& button(ConsoleButton which);
  const TransferProgressBar& progressBar() const { return *progressBar_; }
  // The strip under the log: what happened and what to do next.
  const QLabel& statusStrip() const;
  const QLabel& meterLine() const { return *meterText_; }
  const QComboBox& meterChooser() const { return *meterChooser_; }
  QComboBox& meterChooser() { return *meterChooser_; }

  // Esc: the window is left only through the Exit button.
  void reject() override;

 signals:
  // The search for the meter that follows the window's first appearance is over.
  void startupDiscoveryFinished(bool meterReady);
  // A press of Select has been handled completely.
  void selectFinished(quorvel::UpdateOutcome outcome);
  void progressShown(int percent);
  // The window has just drawn the presenter's model (demonstrations watch the strip).
  void modelDrawn();

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
  void ShowMeterLine(const MeterLineModel& line);

  ConsoleHooks hooks_;
  std::unique_ptr<WindowPresenter> presenter_;
  LogEdit* log_ = nullptr;
  QLabel* meterLabel_ = nullptr;
  QComboBox* meterChooser_ = nullptr;
  QLabel* meterText_ = nullptr;
  QPushButton* select_ = nullptr;
  QPushButton* exit_ = nullptr;
  TransferProgressBar* progressBar_ = nullptr;
  QLabel* statusIcon_ = nullptr;
  QLabel* status_ = nullptr;
  QTimer* lookAgain_ = nullptr;
  bool startupDone_ = false;
};

}  // namespace quorvel
