#include "console_win32/update_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "common/utf8_path.h"
#include "common/wide_text.h"
#include "console/console_texts.h"
#include "console/gradient.h"
#include "console/progress_text.h"
#include "console_win32/resource_ids.h"
#include "console_win32/win32_dialogs.h"
#include "update/update_report.h"

namespace quorvel::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"QuorvelUpdateWindow";

// The window's layout in dialog units, as the Linux window's.
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

// Control ids; IDOK and IDCANCEL are what Enter and Esc send.
constexpr int kLogId = 100;
constexpr int kStatusId = 101;
constexpr int kProgressId = 102;
constexpr int kSelectId = IDOK;
constexpr int kExitId = 103;
constexpr UINT_PTR kLogSubclassId = 1;

// The log's menu entries.
enum MenuCommand : UINT { kCopy = 1, kSelectAll, kSaveLog, kAbout };

// Posted once the window shows: the search for the meter follows at once.
constexpr UINT kStartDiscovery = WM_APP + 1;

constexpr int kLogFontPixels = 16;  // at 96 dpi; an Arial-like sans serif
constexpr int kSmallestBarTextPixels = 8;
constexpr int kBarTextMarginPixels = 3;  // the bar's frame above and below the text
// A light chunk under dark text keeps the text readable on both sides of its edge.
constexpr COLORREF kChunkColour = RGB(0x9c, 0xca, 0xf0);

std::wstring Wide(std::string_view text) { return WideFromUtf8(text).value_or(std::wstring()); }

// Why the last press of Select failed, as a sentence; empty when nothing failed.
std::string FailureReason(const UpdateReport& report) {
  if (report.outcome == UpdateOutcome::kInstalled) return {};
  std::string text = TransferFailureText(report);
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
  return text;
}

HFONT MessageFont(UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof(metrics);
  if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
    return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  }
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

HFONT SansSerifFont(int pixels) {
  LOGFONTW font{};
  font.lfHeight = -pixels;
  font.lfWeight = FW_NORMAL;
  font.lfCharSet = DEFAULT_CHARSET;
  font.lfQuality = CLEARTYPE_QUALITY;
  font.lfPitchAndFamily = VARIABLE_PITCH | FF_SWISS;
  wcscpy_s(font.lfFaceName, L"Arial");
  return CreateFontIndirectW(&font);
}

void ReleaseFont(HFONT& font) {
  if (font != nullptr && font != GetStockObject(DEFAULT_GUI_FONT)) DeleteObject(font);
  font = nullptr;
}

}  // namespace

UpdateWindow::UpdateWindow(HINSTANCE instance, WindowServices services)
    : instance_(instance),
      services_(std::move(services)),
      procedures_{services_.visa, *this, services_.clock, services_.files},
      white_(CreateSolidBrush(RGB(255, 255, 255))) {}

UpdateWindow::~UpdateWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
  ReleaseFont(font_);
  ReleaseFont(logFont_);
  ReleaseFont(barFont_);
  DeleteObject(white_);
}

int UpdateWindow::Run(int showCommand) {
  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = &UpdateWindow::WindowProc;
  windowClass.hInstance = instance_;
  windowClass.hIcon = LoadIconW(instance_, MAKEINTRESOURCEW(QUORVEL_ICON_ID));
  windowClass.hIconSm = windowClass.hIcon;
  windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  windowClass.lpszClassName = kWindowClass;
  RegisterClassExW(&windowClass);

  const std::wstring title = Wide(kDialogCaption);
  // Sized once the dpi is known (UseDpi); the maximise box as on Linux, no minimise box.
  window_ = CreateWindowExW(WS_EX_CONTROLPARENT, kWindowClass, title.c_str(),
                            WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MAXIMIZEBOX |
                                WS_CLIPCHILDREN,
                            CW_USEDEFAULT, CW_USEDEFAULT, 100, 100, nullptr, nullptr, instance_, this);
  if (window_ == nullptr) return 1;
  CreateControls();
  UseDpi(GetDpiForWindow(window_));
  ShowWindow(window_, showCommand);
  ::UpdateWindow(window_);
  AppendLog(kLookingForMeter);
  PostMessageW(window_, kStartDiscovery, 0, 0);

  MSG message;
  while (!ended_ && GetMessageW(&message, nullptr, 0, 0) > 0) Dispatch(message);
  return 0;
}

// Tab, Enter and Esc work as in a dialog; the rest goes to the window procedure.
bool UpdateWindow::Dispatch(MSG& message) {
  if (window_ != nullptr && IsDialogMessageW(window_, &message)) return true;
  TranslateMessage(&message);
  DispatchMessageW(&message);
  return true;
}

void UpdateWindow::CreateControls() {
  const auto child = [this](const wchar_t* type, DWORD style, int id, const wchar_t* text = L"") {
    return CreateWindowExW(0, type, text, WS_CHILD | style, 0, 0, 0, 0, window_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  };
  log_ = child(WC_EDITW,
               WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
               kLogId);
  SetWindowSubclass(log_, &UpdateWindow::LogProc, kLogSubclassId, reinterpret_cast<DWORD_PTR>(this));
  status_ = child(WC_STATICW, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS | SS_NOTIFY, kStatusId);
  progress_ = child(WC_STATICW, SS_OWNERDRAW, kProgressId);
  select_ = child(WC_BUTTONW, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, kSelectId, L"Select");
  // Nothing to select before the meter has been looked for.
  EnableWindow(select_, FALSE);
  exit_ = child(WC_BUTTONW, WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, kExitId, L"Exit");
  SetFocus(log_);
}

// Fonts and sizes for the monitor's dpi; the designed size is the smallest.
void UpdateWindow::UseDpi(UINT dpi) {
  dpi_ = dpi == 0 ? USER_DEFAULT_SCREEN_DPI : dpi;
  ReleaseFont(font_);
  ReleaseFont(logFont_);
  ReleaseFont(barFont_);
  font_ = MessageFont(dpi_);
  logFont_ = SansSerifFont(MulDiv(kLogFontPixels, static_cast<int>(dpi_), USER_DEFAULT_SCREEN_DPI));

  HDC dc = GetDC(window_);
  const HGDIOBJ previous = SelectObject(dc, font_);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SIZE letters{};
  GetTextExtentPoint32W(dc, L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz", 52, &letters);
  SelectObject(dc, previous);
  ReleaseDC(window_, dc);
  unitX_ = std::max(1, static_cast<int>((letters.cx / 26 + 1) / 2));
  unitY_ = std::max(1, static_cast<int>(metrics.tmHeight));

  const int barHeight = MulDiv(kProgressArea.height, unitY_, 8);
  barFont_ = SansSerifFont(std::max(kSmallestBarTextPixels, barHeight - kBarTextMarginPixels));
  for (HWND control : {status_, select_, exit_}) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  SendMessageW(log_, WM_SETFONT, reinterpret_cast<WPARAM>(logFont_), TRUE);

  RECT frame{0, 0, MulDiv(kClientArea.width, unitX_, 4), MulDiv(kClientArea.height, unitY_, 8)};
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_EXSTYLE)), dpi_);
  RECT now{};
  GetWindowRect(window_, &now);
  const int width = std::max<int>(now.right - now.left, frame.right - frame.left);
  const int height = std::max<int>(now.bottom - now.top, frame.bottom - frame.top);
  SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  PlaceControls();
}

// The designed layout, stretched: the log takes the extra width and height,
// the strip and bar stay under it, the buttons stay centred at the bottom.
void UpdateWindow::PlaceControls() {
  const auto pixels = [this](const UnitRect& area) {
    return RECT{MulDiv(area.x, unitX_, 4), MulDiv(area.y, unitY_, 8),
                MulDiv(area.x + area.width, unitX_, 4), MulDiv(area.y + area.height, unitY_, 8)};
  };
  RECT client{};
  GetClientRect(window_, &client);
  const RECT designed = pixels(kClientArea);
  const int wider = std::max<int>(0, client.right - designed.right);
  const int taller = std::max<int>(0, client.bottom - designed.bottom);
  const auto place = [](HWND control, RECT area) {
    MoveWindow(control, area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
  };
  RECT logArea = pixels(kLogArea);
  logArea.right += wider;
  logArea.bottom += taller;
  RECT statusArea = pixels(kStatusArea);
  OffsetRect(&statusArea, 0, taller);
  statusArea.right += wider;
  if (IsWindowVisible(status_)) logArea.bottom = statusArea.top;
  RECT barArea = pixels(kProgressArea);
  OffsetRect(&barArea, 0, taller);
  barArea.right += wider;
  RECT selectArea = pixels(kSelectArea);
  OffsetRect(&selectArea, wider / 2, taller);
  RECT exitArea = pixels(kExitArea);
  OffsetRect(&exitArea, wider / 2, taller);
  place(log_, logArea);
  place(status_, statusArea);
  place(progress_, barArea);
  place(select_, selectArea);
  place(exit_, exitArea);
  InvalidateRect(window_, nullptr, TRUE);
}

void UpdateWindow::PaintBackground(HDC dc) {
  RECT client{};
  GetClientRect(window_, &client);
  if (client.bottom <= 0) return;
  for (int band = 0, y = 0; y < client.bottom; ++band, y += kGradientBandHeight) {
    const int grey = GradientBandGrey(band, client.bottom);
    const RECT bandArea{0, y, client.right, y + kGradientBandHeight};
    HBRUSH brush = CreateSolidBrush(RGB(grey, grey, grey));
    FillRect(dc, &bandArea, brush);
    DeleteObject(brush);
  }
}

// The transfer bar: the chunk, then the bar's text centred over it.
void UpdateWindow::DrawProgressBar(const DRAWITEMSTRUCT& item) {
  HDC dc = item.hDC;
  RECT area = item.rcItem;
  FillRect(dc, &area, white_);
  FrameRect(dc, &area, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
  RECT chunk = area;
  InflateRect(&chunk, -1, -1);
  chunk.right = chunk.left + MulDiv(chunk.right - chunk.left, progressPercent_, 100);
  HBRUSH chunkBrush = CreateSolidBrush(kChunkColour);
  FillRect(dc, &chunk, chunkBrush);
  DeleteObject(chunkBrush);
  const std::wstring text = Wide(progressText_);
  const HGDIOBJ previous = SelectObject(dc, barFont_);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
  SelectObject(dc, previous);
}

LRESULT CALLBACK UpdateWindow::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* creation = reinterpret_cast<const CREATESTRUCTW*>(lParam);
    auto* self = static_cast<UpdateWindow*>(creation->lpCreateParams);
    self->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  }
  auto* self = reinterpret_cast<UpdateWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr || self->window_ != window) return DefWindowProcW(window, message, wParam, lParam);
  return self->Handle(message, wParam, lParam);
}

LRESULT UpdateWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_ERASEBKGND:
      PaintBackground(reinterpret_cast<HDC>(wParam));
      return 1;
    case WM_SIZE:
      PlaceControls();
      return 0;
    case WM_GETMINMAXINFO: {
      // Today's designed size is the smallest the window gets.
      RECT frame{0, 0, MulDiv(kClientArea.width, unitX_, 4), MulDiv(kClientArea.height, unitY_, 8)};
      AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE)), FALSE,
                               static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_EXSTYLE)), dpi_);
      auto* limits = reinterpret_cast<MINMAXINFO*>(lParam);
      limits->ptMinTrackSize = {frame.right - frame.left, frame.bottom - frame.top};
      return 0;
    }
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      SetWindowPos(window_, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      UseDpi(HIWORD(wParam));
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      // The read-only log and the strip keep a white ground, as on Linux.
      HDC dc = reinterpret_cast<HDC>(wParam);
      SetBkColor(dc, RGB(255, 255, 255));
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(white_);
    }
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlID == static_cast<UINT>(kProgressId)) DrawProgressBar(*item);
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case kSelectId:
          if (IsWindowEnabled(select_) && IsWindowVisible(select_)) OnSelect();
          return 0;
        case kExitId:
          OnExit();
          return 0;
        default:
          return 0;  // Esc (IDCANCEL) leaves the window only through Exit, as on Linux
      }
    case WM_CLOSE:
      // The close box, like Esc, does nothing: the window is left through Exit.
      if (exitConfirmed_) End();
      return 0;
    case kStartDiscovery:
      RunStartupDiscovery();
      return 0;
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

// The log: right-click (or Shift+F10) opens its menu, and no caret blinks in it.
LRESULT CALLBACK UpdateWindow::LogProc(HWND log, UINT message, WPARAM wParam, LPARAM lParam,
                                       UINT_PTR, DWORD_PTR self) {
  switch (message) {
    case WM_CONTEXTMENU: {
      POINT at{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      if (at.x == -1 && at.y == -1) {  // from the keyboard: at the log's corner
        at = {0, 0};
        ClientToScreen(log, &at);
      }
      reinterpret_cast<UpdateWindow*>(self)->ShowLogMenu(at);
      return 0;
    }
    case WM_SETFOCUS: {
      const LRESULT result = DefSubclassProc(log, message, wParam, lParam);
      DestroyCaret();
      return result;
    }
    case WM_GETDLGCODE: {
      // Tab, Enter and Esc belong to the window: Tab moves on, Enter presses
      // the default button, Esc goes to the window's cancel handling.
      const LRESULT code = DefSubclassProc(log, message, wParam, lParam);
      const auto* key = reinterpret_cast<const MSG*>(lParam);
      const bool windowKey = key != nullptr && key->message == WM_KEYDOWN &&
                             (key->wParam == VK_TAB || key->wParam == VK_RETURN || key->wParam == VK_ESCAPE);
      return windowKey ? code & ~(DLGC_WANTALLKEYS | DLGC_WANTMESSAGE | DLGC_WANTTAB) : code;
    }
    default:
      return DefSubclassProc(log, message, wParam, lParam);
  }
}

void UpdateWindow::ShowLogMenu(POINT at) {
  HMENU menu = CreatePopupMenu();
  DWORD start = 0;
  DWORD end = 0;
  SendMessageW(log_, EM_GETSEL, reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
  const std::wstring copy = Wide(kCopyMenuText);
  const std::wstring selectAll = Wide(kSelectAllMenuText);
  const std::wstring save = Wide(kSaveLogMenuText);
  const std::wstring about = Wide(kAboutMenuText);
  AppendMenuW(menu, MF_STRING | (start != end ? 0 : MF_GRAYED), kCopy, copy.c_str());
  AppendMenuW(menu, MF_STRING, kSelectAll, selectAll.c_str());
  // Saving opens a modal chooser, which would hold up an update's pacing.
  AppendMenuW(menu, MF_STRING | (busy_ ? MF_GRAYED : 0), kSaveLog, save.c_str());
  AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
  AppendMenuW(menu, MF_STRING, kAbout, about.c_str());
  const UINT chosen = static_cast<UINT>(
      TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr));
  DestroyMenu(menu);
  switch (chosen) {
    case kCopy:
      SendMessageW(log_, WM_COPY, 0, 0);
      break;
    case kSelectAll:
      SendMessageW(log_, EM_SETSEL, 0, -1);
      break;
    case kSaveLog:
      OnSaveLog();
      break;
    case kAbout:
      ShowAbout();
      break;
    default:
      break;
  }
}

void UpdateWindow::ShowAbout() { ShowAboutBox(window_, instance_); }

// --- start-up and the buttons ------------------------------------------------

void UpdateWindow::RunStartupDiscovery() {
  // The search's waits pump messages, so the window paints and answers meanwhile.
  busy_ = true;
  DiscoverInstrument(procedures_, state_.session, state_.readyForUpdate);
  busy_ = false;
  EndIfExitConfirmed();
}

void UpdateWindow::OnSelect() {
  if (busy_) return;  // an update never starts twice
  busy_ = true;
  ShowFailureReason({});
  // Continue only looks for the meter again; it must not be pressed meanwhile.
  if (!state_.readyForUpdate) EnableWindow(select_, FALSE);
  chosenFile_.reset();
  RunImageUpdate(procedures_, state_);
  busy_ = false;
  // The log stays as the procedure left it; the reason it cleared away shows here.
  ShowFailureReason(FailureReason(state_.report));
  if (services_.selectFinished) services_.selectFinished(state_.report, chosenFile_);
  chosenFile_.reset();
  EndIfExitConfirmed();
}

void UpdateWindow::OnExit() {
  const MessageBoxRequest question{std::string(kExitQuestion), std::string(kExitCaption),
                                   MessageIcon::kQuestion, MessageButtons::kOkCancel,
                                   MessageOwner::kDialog};
  if (ShowMessageBox(question) != MessageResult::kOk) return;
  CloseSessionsForExit(state_);
  exitConfirmed_ = true;
  // Exit stays usable while an update waits for the meter; that run stops at
  // its next wait, and the window closes when it has come back.
  if (!busy_) End();
}

// Exit was confirmed while a procedure ran: what it opened since is closed too.
void UpdateWindow::EndIfExitConfirmed() {
  if (!exitConfirmed_) return;
  CloseSessionsForExit(state_);
  End();
}

void UpdateWindow::End() {
  if (ended_) return;
  ended_ = true;
  DestroyWindow(window_);
  window_ = nullptr;
  PostQuitMessage(0);
}

void UpdateWindow::ShowFailureReason(const std::string& reason) {
  SetWindowTextW(status_, Wide(reason).c_str());
  ShowWindow(status_, reason.empty() ? SW_HIDE : SW_SHOW);
  PlaceControls();
}

void UpdateWindow::OnSaveLog() {
  if (busy_) return;
  if (const std::optional<std::string> path = ChooseLogFile(window_)) SaveLog(*path);
}

// The session's whole log, written beside the target first so that a failed
// write never leaves half a file under the chosen name.
bool UpdateWindow::SaveLog(const std::string& path) {
  const std::filesystem::path target = PathFromUtf8(path);
  std::filesystem::path partial = target;
  partial += ".partial";
  bool saved = false;
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    const std::string& text = transcript_.str();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.write("\r\n", 2);
    out.close();
    saved = static_cast<bool>(out);
  }
  std::error_code error;
  if (saved) std::filesystem::rename(partial, target, error);
  if (!saved || error) {
    std::filesystem::remove(partial, error);
    const DWORD code = GetLastError();
    ShowMessageBox({.text = std::string(kSaveLogFailed) + " " + path + ": " +
                            std::system_category().message(static_cast<int>(code)),
                    .caption = std::string(kSaveLogCaption),
                    .icon = MessageIcon::kWarning,
                    .buttons = MessageButtons::kOk,
                    .owner = MessageOwner::kDialog});
    return false;
  }
  return true;
}

HWND UpdateWindow::Button(ConsoleButton which) const {
  return which == ConsoleButton::kSelect ? select_ : exit_;
}

// --- OperatorConsole ---------------------------------------------------------

void UpdateWindow::AppendLog(std::string_view text) {
  logText_.Append(text);
  transcript_.Append(text);
  ShowLog();
  PumpMessages();
}

void UpdateWindow::ClearLog() {
  logText_.Clear();
  ShowLog();
}

// The text, with the view at its end.
void UpdateWindow::ShowLog() {
  if (log_ == nullptr) return;
  SetWindowTextW(log_, Wide(logText_.str()).c_str());
  const LRESULT length = GetWindowTextLengthW(log_);
  SendMessageW(log_, EM_SETSEL, static_cast<WPARAM>(length), length);
  SendMessageW(log_, EM_SCROLLCARET, 0, 0);
}

bool UpdateWindow::PumpMessages() {
  MSG message;
  bool quitMet = false;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    // A quit request is consumed: an update must not lose its window underneath it.
    if (message.message == WM_QUIT) {
      quitMet = true;
      continue;
    }
    Dispatch(message);
  }
  return !quitMet;
}

void UpdateWindow::SetButtonCaption(ConsoleButton which, std::string_view caption) {
  SetWindowTextW(Button(which), Wide(caption).c_str());
}

void UpdateWindow::EnableButton(ConsoleButton which, bool enabled) {
  EnableWindow(Button(which), enabled ? TRUE : FALSE);
}

void UpdateWindow::ShowButton(ConsoleButton which, bool visible) {
  ShowWindow(Button(which), visible ? SW_SHOW : SW_HIDE);
}

MessageResult UpdateWindow::ShowMessageBox(const MessageBoxRequest& request) {
  return ShowMessage(request.owner == MessageOwner::kDialog ? window_ : nullptr, request);
}

std::optional<std::string> UpdateWindow::ChooseFile(std::string_view filter) {
  if (exitConfirmed_) return std::nullopt;  // leaving: nothing more to choose
  chosenFile_ = ChooseFileToOpen(window_, filter);
  return chosenFile_;
}

void UpdateWindow::Repaint() { InvalidateRect(window_, nullptr, TRUE); }

void UpdateWindow::ReportProgress(const ProgressReport& report) {
  if (report.finished) {
    ShowWindow(progress_, SW_HIDE);
    return;
  }
  progressPercent_ = ProgressPercent(report);
  progressText_ = DescribeProgress(report);
  // The bar's text is its window text too, for screen readers and tests.
  SetWindowTextW(progress_, Wide(progressText_).c_str());
  ShowWindow(progress_, SW_SHOW);
  InvalidateRect(progress_, nullptr, FALSE);
  ::UpdateWindow(progress_);
}

}  // namespace quorvel::win32
