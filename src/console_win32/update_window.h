#pragma once
// The main window on Windows, drawn with user32 and gdi32: the meter line,
// the log, the strip under it, the transfer bar and the Select and Exit
// buttons. It draws the presenter's model and passes every press on; the
// presenter decides everything, as it does for the Qt window.
#include <windows.h>

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "presenter/window_presenter.h"
#include "presenter/window_view.h"

namespace quorvel::win32 {

class UpdateWindow final : public WindowView {
 public:
  UpdateWindow(HINSTANCE instance, WindowSetup setup);
  ~UpdateWindow() override;
  UpdateWindow(const UpdateWindow&) = delete;
  UpdateWindow& operator=(const UpdateWindow&) = delete;

  // Shows the window and serves it until Exit is confirmed.
  int Run(int showCommand);

  // WindowView
  void Draw(const WindowModel& model) override;
  MessageResult ShowMessageBox(const MessageBoxRequest& request) override;
  std::optional<std::string> ChooseFile(std::string_view filter) override;
  std::optional<std::string> ChooseLogFile() override;
  std::optional<std::string> WriteTextFile(const std::string& path, const std::string& text) override;
  void Post(std::function<void()> call) override;
  void ServeUntil(const std::function<bool()>& finished) override;
  void CloseWindow() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK LogProc(HWND log, UINT message, WPARAM wParam, LPARAM lParam,
                                  UINT_PTR id, DWORD_PTR self);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT Command(WORD id, WORD notification);
  bool Create(int showCommand);

  void CreateControls();
  void UseDpi(UINT dpi);
  RECT Pixels(int x, int y, int width, int height) const;
  SIZE MinimumFrame() const;
  void PlaceControls();
  void PaintBackground(HDC dc);
  void DrawProgressBar(const DRAWITEMSTRUCT& item);
  LRESULT StripColours(HDC dc);
  LRESULT MeterLineColours(HDC dc, HWND control);
  void ShowMeterLine(const MeterLineModel& line);
  void ShowLogMenu(POINT at);
  void RunPosted();
  void Dispatch(MSG& message);

  HINSTANCE instance_;
  WindowSetup setup_;
  std::unique_ptr<WindowPresenter> presenter_;
  WindowModel shown_;  // what is drawn now
  HWND window_ = nullptr;
  HWND meterLabel_ = nullptr;
  HWND meterChooser_ = nullptr;
  HWND meterText_ = nullptr;
  HWND log_ = nullptr;
  HWND status_ = nullptr;
  HWND progress_ = nullptr;
  HWND select_ = nullptr;
  HWND exit_ = nullptr;
  HFONT font_ = nullptr;
  HFONT logFont_ = nullptr;
  HFONT barFont_ = nullptr;
  HBRUSH white_ = nullptr;
  HBRUSH stripBrush_ = nullptr;
  HBRUSH meterBrush_ = nullptr;
  UINT dpi_ = USER_DEFAULT_SCREEN_DPI;
  int unitX_ = 6;  // the font's dialog base units, in pixels
  int unitY_ = 13;
  std::mutex postedMutex_;
  std::deque<std::function<void()>> posted_;
  bool closed_ = false;
};

}  // namespace quorvel::win32
