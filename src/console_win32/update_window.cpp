#include "console_win32/update_window.h"

#include <commctrl.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "common/utf8_path.h"
#include "common/wide_text.h"
#include "console_win32/resource_ids.h"
#include "console_win32/win32_dialogs.h"
#include "presenter/window_gradient.h"
#include "presenter/window_layout.h"
#include "presenter/window_texts.h"

namespace quorvel::win32 {

namespace {

constexpr wchar_t kWindowClass[] = L"QuorvelUpdateWindow";

// The dropped-down list below the meter chooser.
constexpr int kChooserListPixels = 160;

// Control ids; IDOK and IDCANCEL are what Enter and Esc send.
constexpr int kLogId = 100;
constexpr int kStatusId = 101;
constexpr int kProgressId = 102;
constexpr int kSelectId = IDOK;
constexpr int kExitId = 103;
constexpr int kMeterLabelId = 104;
constexpr int kMeterChooserId = 105;
constexpr int kMeterTextId = 106;
constexpr UINT_PTR kLogSubclassId = 1;
constexpr UINT_PTR kTickTimerId = 1;

// The log's menu entries.
enum MenuCommand : UINT { kCopy = 1, kSelectAll, kSaveLog, kAbout };

// Calls posted from any thread wait in a queue; this message runs them.
constexpr UINT kRunPosted = WM_APP + 1;

constexpr int kLogFontPixels = 16;  // at 96 dpi; an Arial-like sans serif
constexpr int kSmallestBarTextPixels = 8;
constexpr int kBarTextMarginPixels = 3;  // the bar's frame above and below the text
// A light chunk under dark text keeps the text readable on both sides of its edge.
constexpr COLORREF kChunkColour = RGB(0x9c, 0xca, 0xf0);
constexpr COLORREF kBusyColour = RGB(0xd6, 0xe8, 0xf8);  // waiting: no share is known

COLORREF Colour(std::uint32_t rgb) {
  return RGB((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff);
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


UpdateWindow::UpdateWindow(HINSTANCE instance, WindowSetup setup)
    : instance_(instance), setup_(std::move(setup)), white_(CreateSolidBrush(RGB(255, 255, 255))) {}

UpdateWindow::~UpdateWindow() {
  // The presenter waits for a run still going; the controls stay until then.
  presenter_.reset();
  if (window_ != nullptr) DestroyWindow(window_);
  ReleaseFont(font_);
  ReleaseFont(logFont_);
  ReleaseFont(barFont_);
  DeleteObject(white_);
  if (stripBrush_ != nullptr) DeleteObject(stripBrush_);
  if (meterBrush_ != nullptr) DeleteObject(meterBrush_);
}

int UpdateWindow::Run(int showCommand) {
  if (!Create(showCommand)) return 1;
  presenter_ = std::make_unique<WindowPresenter>(setup_, *this);
  Draw(presenter_->model());
  presenter_->Start();
  SetTimer(window_, kTickTimerId, kTickMs, nullptr);
  MSG message;
  while (!closed_ && GetMessageW(&message, nullptr, 0, 0) > 0) Dispatch(message);
  KillTimer(window_, kTickTimerId);
  presenter_.reset();
  return 0;
}

bool UpdateWindow::Create(int showCommand) {
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
  if (window_ == nullptr) return false;
  CreateControls();
  UseDpi(GetDpiForWindow(window_));
  ShowWindow(window_, showCommand);
  ::UpdateWindow(window_);
  return true;
}

// Tab, Enter and Esc work as in a dialog; the rest goes to the window procedure.
void UpdateWindow::Dispatch(MSG& message) {
  if (window_ != nullptr && IsDialogMessageW(window_, &message)) return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}

void UpdateWindow::CreateControls() {
  const auto child = [this](const wchar_t* type, DWORD style, int id, const wchar_t* text = L"") {
    return CreateWindowExW(0, type, text, WS_CHILD | style, 0, 0, 0, 0, window_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  };
  const std::wstring meterLabel = Wide(kMeterLabel);
  meterLabel_ = child(WC_STATICW, SS_LEFT | SS_NOPREFIX, kMeterLabelId, meterLabel.c_str());
  meterChooser_ = child(WC_COMBOBOXW, WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, kMeterChooserId);
  meterText_ = child(WC_STATICW, SS_LEFT | SS_NOPREFIX | SS_ENDELLIPSIS, kMeterTextId);
  log_ = child(WC_EDITW,
               WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
               kLogId);
  SetWindowSubclass(log_, &UpdateWindow::LogProc, kLogSubclassId, reinterpret_cast<DWORD_PTR>(this));
  status_ = child(WC_STATICW, SS_LEFT | SS_NOPREFIX, kStatusId);
  progress_ = child(WC_STATICW, SS_OWNERDRAW, kProgressId);
  select_ = child(WC_BUTTONW, WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, kSelectId, L"Select");
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

  const RECT bar = Pixels(kProgressArea.x, kProgressArea.y, kProgressArea.width, kProgressArea.height);
  barFont_ = SansSerifFont(std::max(kSmallestBarTextPixels,
                                    static_cast<int>(bar.bottom - bar.top) - 2 * kBarTextMarginPixels));
  for (HWND control : {meterLabel_, meterChooser_, meterText_, status_, select_, exit_}) {
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  }
  SendMessageW(log_, WM_SETFONT, reinterpret_cast<WPARAM>(logFont_), TRUE);

  const SIZE smallest = MinimumFrame();
  RECT now{};
  GetWindowRect(window_, &now);
  const int width = std::max<int>(now.right - now.left, smallest.cx);
  const int height = std::max<int>(now.bottom - now.top, smallest.cy);
  SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  PlaceControls();
}

RECT UpdateWindow::Pixels(int x, int y, int width, int height) const {
  return RECT{MulDiv(x, unitX_, 4), MulDiv(y, unitY_, 8), MulDiv(x + width, unitX_, 4),
              MulDiv(y + height, unitY_, 8)};
}

// Today's designed size, frame included: the smallest the window gets.
SIZE UpdateWindow::MinimumFrame() const {
  RECT frame = Pixels(0, 0, kClientArea.width, kClientArea.height);
  AdjustWindowRectExForDpi(&frame, static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_STYLE)), FALSE,
                           static_cast<DWORD>(GetWindowLongPtrW(window_, GWL_EXSTYLE)), dpi_);
  return {frame.right - frame.left, frame.bottom - frame.top};
}

// The designed layout, stretched: the log takes the extra width and height,
// the strip and bar stay under it, the buttons stay centred at the bottom.
void UpdateWindow::PlaceControls() {
  const auto pixels = [this](const UnitRect& area) {
    return Pixels(area.x, area.y, area.width, area.height);
  };
  const auto place = [](HWND control, RECT area) {
    MoveWindow(control, area.left, area.top, area.right - area.left, area.bottom - area.top, TRUE);
  };
  RECT client{};
  GetClientRect(window_, &client);
  const RECT designed = pixels(kClientArea);
  const int wider = std::max<int>(0, client.right - designed.right);
  const int taller = std::max<int>(0, client.bottom - designed.bottom);

  place(meterLabel_, pixels(kMeterLabelArea));
  RECT chooser = pixels(kMeterChooserArea);
  chooser.bottom += MulDiv(kChooserListPixels, static_cast<int>(dpi_), USER_DEFAULT_SCREEN_DPI);
  place(meterChooser_, chooser);
  UnitRect meterText = kMeterTextArea;
  if (IsWindowVisible(meterChooser_)) {
    meterText.width -= kMeterTextBesideChooser - meterText.x;
    meterText.x = kMeterTextBesideChooser;
  }
  RECT meterTextArea = pixels(meterText);
  meterTextArea.right += wider;
  place(meterText_, meterTextArea);

  RECT logArea = pixels(kLogArea);
  logArea.right += wider;
  logArea.bottom += taller;
  RECT statusArea = pixels(kStatusArea);
  OffsetRect(&statusArea, 0, taller);
  statusArea.right += wider;
  // A sentence that needs more lines takes them from the log, never cut off.
  if (!shown_.strip.text.empty()) {
    const std::wstring text = Wide(shown_.strip.text);
    RECT needed{0, 0, statusArea.right - statusArea.left - 2 * kBarTextMarginPixels, 0};
    HDC dc = GetDC(window_);
    const HGDIOBJ previous = SelectObject(dc, font_);
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &needed,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    SelectObject(dc, previous);
    ReleaseDC(window_, dc);
    statusArea.top = std::min<LONG>(statusArea.top, statusArea.bottom - needed.bottom - 2);
    logArea.bottom = statusArea.top - 1;
  }
  place(log_, logArea);
  place(status_, statusArea);
  RECT barArea = pixels(kProgressArea);
  OffsetRect(&barArea, 0, taller);
  barArea.right += wider;
  place(progress_, barArea);

  RECT select = pixels(kSelectArea);
  OffsetRect(&select, wider / 2, taller);
  RECT exit = pixels(kExitArea);
  OffsetRect(&exit, wider / 2, taller);
  // A button left alone stands in the middle.
  const int middle = client.right / 2;
  if (!shown_.select.visible) OffsetRect(&exit, middle - (exit.left + exit.right) / 2, 0);
  if (!shown_.exit.visible) OffsetRect(&select, middle - (select.left + select.right) / 2, 0);
  place(select_, select);
  place(exit_, exit);
  // Moved controls keep their old pixels where their text now flows differently.
  RedrawWindow(window_, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
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

// The transfer bar: the chunk (the whole bar, pale, while the meter is waited
// for), then the bar's text centred over it.
void UpdateWindow::DrawProgressBar(const DRAWITEMSTRUCT& item) {
  const ProgressModel& progress = shown_.progress;
  HDC dc = item.hDC;
  RECT area = item.rcItem;
  FillRect(dc, &area, white_);
  FrameRect(dc, &area, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
  RECT chunk = area;
  InflateRect(&chunk, -1, -1);
  const int percent = progress.busy ? 100 : std::clamp(progress.percent, 0, 100);
  chunk.right = chunk.left + MulDiv(chunk.right - chunk.left, percent, 100);
  HBRUSH chunkBrush = CreateSolidBrush(progress.busy ? kBusyColour : kChunkColour);
  FillRect(dc, &chunk, chunkBrush);
  DeleteObject(chunkBrush);
  const std::wstring text = Wide(progress.text);
  const HGDIOBJ previous = SelectObject(dc, barFont_);
  SetBkMode(dc, TRANSPARENT);
  SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &area,
            DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
  SelectObject(dc, previous);
}

LRESULT UpdateWindow::StripColours(HDC dc) {
  // The light pair: this window has no dark palette.
  const auto colours = StripColoursOf(shown_.strip.kind);
  if (stripBrush_ != nullptr) DeleteObject(stripBrush_);
  stripBrush_ = CreateSolidBrush(Colour(colours.lightBand));
  SetBkColor(dc, Colour(colours.lightBand));
  SetTextColor(dc, Colour(colours.lightText));
  return reinterpret_cast<LRESULT>(stripBrush_);
}

// The meter line's words stand on the grey of the gradient band behind them.
LRESULT UpdateWindow::MeterLineColours(HDC dc, HWND control) {
  RECT client{};
  GetClientRect(window_, &client);
  RECT area{};
  GetWindowRect(control, &area);
  MapWindowPoints(nullptr, window_, reinterpret_cast<POINT*>(&area), 2);
  const int middle = (area.top + area.bottom) / 2;
  const int grey = GradientBandGrey(middle / kGradientBandHeight, std::max<int>(1, client.bottom));
  if (meterBrush_ != nullptr) DeleteObject(meterBrush_);
  meterBrush_ = CreateSolidBrush(RGB(grey, grey, grey));
  SetBkColor(dc, RGB(grey, grey, grey));
  SetTextColor(dc, RGB(0, 0, 0));
  return reinterpret_cast<LRESULT>(meterBrush_);
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
      const SIZE smallest = MinimumFrame();
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {smallest.cx, smallest.cy};
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
      HDC dc = reinterpret_cast<HDC>(wParam);
      if (reinterpret_cast<HWND>(lParam) == status_) return StripColours(dc);
      if (reinterpret_cast<HWND>(lParam) != log_) return MeterLineColours(dc, reinterpret_cast<HWND>(lParam));
      // The read-only log keeps a white ground, as on Linux.
      SetBkColor(dc, RGB(255, 255, 255));
      SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
      return reinterpret_cast<LRESULT>(white_);
    }
    case WM_DRAWITEM: {
      const auto* item = reinterpret_cast<const DRAWITEMSTRUCT*>(lParam);
      if (item->CtlID == static_cast<UINT>(kProgressId)) DrawProgressBar(*item);
      return TRUE;
    }
    case DM_GETDEFID:
      // What Enter presses, as the presenter says.
      return MAKELRESULT(shown_.defaultButton == ConsoleButton::kSelect ? kSelectId : kExitId,
                         DC_HASDEFID);
    case WM_COMMAND:
      return Command(LOWORD(wParam), HIWORD(wParam));
    case WM_TIMER:
      if (wParam == kTickTimerId && presenter_ != nullptr) presenter_->OnTick();
      return 0;
    case WM_CLOSE:
      // The close box, like Esc, leaves the window only once Exit was confirmed.
      if (presenter_ != nullptr && presenter_->MayClose()) CloseWindow();
      return 0;
    case kRunPosted:
      RunPosted();
      return 0;
    default:
      return DefWindowProcW(window_, message, wParam, lParam);
  }
}

LRESULT UpdateWindow::Command(WORD id, WORD notification) {
  if (presenter_ == nullptr) return 0;
  switch (id) {
    case kSelectId:
      if (shown_.select.enabled && shown_.select.visible) presenter_->OnSelect();
      return 0;
    case kExitId:
      if (shown_.exit.enabled && shown_.exit.visible) presenter_->OnExit();
      return 0;
    case kMeterChooserId:
      if (notification == CBN_SELCHANGE) {
        const LRESULT index = SendMessageW(meterChooser_, CB_GETCURSEL, 0, 0);
        if (index >= 0) presenter_->OnMeterChosen(static_cast<std::size_t>(index));
      }
      return 0;
    default:
      return 0;  // Esc (IDCANCEL) leaves the window only through Exit, as on Linux
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
  AppendMenuW(menu, MF_STRING | (shown_.saveLogEnabled ? 0 : MF_GRAYED), kSaveLog, save.c_str());
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
      if (presenter_ != nullptr) presenter_->OnSaveLog();
      break;
    case kAbout: {
      std::string text;
      for (const std::string& line : AboutLines(&setup_)) text += (text.empty() ? "" : "\n") + line;
      ShowAboutBox(window_, instance_, text);
      break;
    }
    default:
      break;
  }
}

// --- WindowView --------------------------------------------------------------

void UpdateWindow::Draw(const WindowModel& model) {
  if (window_ == nullptr) return;
  const bool logChanged = model.log != shown_.log;
  shown_ = model;
  if (logChanged) {
    // The text, with the view at its end.
    SetWindowTextW(log_, Wide(model.log).c_str());
    const LRESULT length = GetWindowTextLengthW(log_);
    SendMessageW(log_, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendMessageW(log_, EM_SCROLLCARET, 0, 0);
  }
  for (const ConsoleButton which : {ConsoleButton::kSelect, ConsoleButton::kExit}) {
    const ButtonModel& button = which == ConsoleButton::kSelect ? model.select : model.exit;
    HWND control = which == ConsoleButton::kSelect ? select_ : exit_;
    SetWindowTextW(control, Wide(button.caption).c_str());
    EnableWindow(control, button.enabled ? TRUE : FALSE);
    ShowWindow(control, button.visible ? SW_SHOW : SW_HIDE);
    SendMessageW(control, BM_SETSTYLE,
                 which == model.defaultButton ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON, TRUE);
  }
  SetWindowTextW(progress_, Wide(model.progress.text).c_str());  // for screen readers
  ShowWindow(progress_, model.progress.visible ? SW_SHOW : SW_HIDE);
  InvalidateRect(progress_, nullptr, FALSE);
  SetWindowTextW(status_, Wide(model.strip.text).c_str());
  ShowWindow(status_, model.strip.text.empty() ? SW_HIDE : SW_SHOW);
  ShowMeterLine(model.meter);
  PlaceControls();
}

void UpdateWindow::ShowMeterLine(const MeterLineModel& line) {
  const bool shown = !line.text.empty() || line.showsChooser();
  ShowWindow(meterLabel_, shown ? SW_SHOW : SW_HIDE);
  SetWindowTextW(meterText_, Wide(line.text).c_str());
  ShowWindow(meterText_, line.text.empty() ? SW_HIDE : SW_SHOW);
  ShowWindow(meterChooser_, line.showsChooser() ? SW_SHOW : SW_HIDE);
  EnableWindow(meterChooser_, line.chooserEnabled ? TRUE : FALSE);
  // The entries are set again only when they changed, so an open list stays open.
  bool same = SendMessageW(meterChooser_, CB_GETCOUNT, 0, 0) == static_cast<LRESULT>(line.entries.size());
  for (std::size_t i = 0; same && i < line.entries.size(); ++i) {
    const LRESULT length = SendMessageW(meterChooser_, CB_GETLBTEXTLEN, i, 0);
    std::wstring entry(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
    SendMessageW(meterChooser_, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(entry.data()));
    entry.resize(static_cast<std::size_t>(std::max<LRESULT>(length, 0)));
    same = entry == Wide(line.entries[i]);
  }
  if (!same) {
    SendMessageW(meterChooser_, CB_RESETCONTENT, 0, 0);
    for (const std::string& entry : line.entries) {
      SendMessageW(meterChooser_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(entry).c_str()));
    }
  }
  if (line.showsChooser()) SendMessageW(meterChooser_, CB_SETCURSEL, line.chosen, 0);
}

MessageResult UpdateWindow::ShowMessageBox(const MessageBoxRequest& request) {
  return ShowMessage(request.owner == MessageOwner::kDialog ? window_ : nullptr, request);
}

std::optional<std::string> UpdateWindow::ChooseFile(std::string_view filter) {
  return ChooseFileToOpen(window_, filter);
}

std::optional<std::string> UpdateWindow::ChooseLogFile() { return win32::ChooseLogFile(window_); }

// Written beside the target first, so that a failed write never leaves half a
// file under the chosen name.
std::optional<std::string> UpdateWindow::WriteTextFile(const std::string& path,
                                                       const std::string& text) {
  const std::filesystem::path target = PathFromUtf8(path);
  std::filesystem::path partial = target;
  partial += ".partial";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(partial, ignored);
      return std::string("it could not be written");
    }
  }
  std::error_code error;
  std::filesystem::rename(partial, target, error);
  if (!error) return std::nullopt;
  std::error_code ignored;
  std::filesystem::remove(partial, ignored);
  return error.message();
}

void UpdateWindow::Post(std::function<void()> call) {
  {
    const std::lock_guard<std::mutex> guard(postedMutex_);
    posted_.push_back(std::move(call));
  }
  PostMessageW(window_, kRunPosted, 0, 0);
}

void UpdateWindow::RunPosted() {
  for (;;) {
    std::function<void()> call;
    {
      const std::lock_guard<std::mutex> guard(postedMutex_);
      if (posted_.empty()) return;
      call = std::move(posted_.front());
      posted_.pop_front();
    }
    call();
  }
}

void UpdateWindow::ServeUntil(const std::function<bool()>& finished) {
  MSG message;
  while (!finished()) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == -1) return;
    // A quit request is consumed: a running update must not lose its window.
    if (got == 0) continue;
    Dispatch(message);
  }
}

void UpdateWindow::CloseWindow() {
  closed_ = true;
  ShowWindow(window_, SW_HIDE);
  PostMessageW(window_, WM_NULL, 0, 0);  // wakes the message loop so it sees the end
}

}  // namespace quorvel::win32
