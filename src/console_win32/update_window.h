#pragma once
// The main window on Windows: the log, the strip under it, the transfer bar
// and the Select and Exit buttons, drawn with user32 and gdi32. It is the
// operator console the update procedures report through, as the Qt window is.
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/operator_console.h"
#include "update/update_procedures.h"

namespace quorvel::win32 {

struct WindowServices {
  VisaLibrary& visa;
  Clock& clock;
  FileSystem& files;
  // Added to "USBTMC device not found." (see OperatorConsole::MeterAccessHint).
  std::string meterAccessHint;
  // Told after every press of Select that ended, with the file chosen (if any).
  std::function<void(const UpdateReport&, const std::optional<std::string>& file)> selectFinished;
};

class UpdateWindow final : public OperatorConsole {
 public:
  UpdateWindow(HINSTANCE instance, WindowServices services);
  ~UpdateWindow() override;
  UpdateWindow(const UpdateWindow&) = delete;
  UpdateWindow& operator=(const UpdateWindow&) = delete;

  // Shows the window and runs it until Exit is confirmed.
  int Run(int showCommand);

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
  std::string MeterAccessHint() override { return services_.meterAccessHint; }
  // Once Exit is confirmed, a procedure still running stops at its next wait.
  bool StopRequested() override { return exitConfirmed_; }

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK LogProc(HWND log, UINT message, WPARAM wParam, LPARAM lParam,
                                  UINT_PTR id, DWORD_PTR self);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  void CreateControls();
  void UseDpi(UINT dpi);
  void PlaceControls();
  void PaintBackground(HDC dc);
  void DrawProgressBar(const DRAWITEMSTRUCT& item);
  void ShowLogMenu(POINT at);
  void ShowAbout();

  void RunStartupDiscovery();
  void OnSelect();
  void OnExit();
  void OnSaveLog();
  bool SaveLog(const std::string& path);
  void ShowFailureReason(const std::string& reason);
  void EndIfExitConfirmed();
  void End();
  HWND Button(ConsoleButton which) const;
  void ShowLog();
  bool Dispatch(MSG& message);

  HINSTANCE instance_;
  WindowServices services_;
  DialogState state_;
  Services procedures_;
  HWND window_ = nullptr;
  HWND log_ = nullptr;
  HWND status_ = nullptr;
  HWND progress_ = nullptr;
  HWND select_ = nullptr;
  HWND exit_ = nullptr;
  HFONT font_ = nullptr;
  HFONT logFont_ = nullptr;
  HFONT barFont_ = nullptr;
  HBRUSH white_ = nullptr;
  UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
  int unitX_ = 6;  // the font's dialog base units, in pixels
  int unitY_ = 13;
  LogText logText_;
  LogText transcript_;
  std::string progressText_;
  int progressPercent_ = 0;
  std::optional<std::string> chosenFile_;
  bool busy_ = false;
  bool exitConfirmed_ = false;
  bool ended_ = false;
};

}  // namespace quorvel::win32
