#include "console_win32/win32_dialogs.h"

#include <commdlg.h>

#include <algorithm>
#include <vector>

#include "common/wide_text.h"
#include "console_win32/resource_ids.h"
#include "presenter/window_texts.h"

namespace quorvel::win32 {

namespace {

// Long enough for any path Windows accepts with the \\?\ prefix.
constexpr std::size_t kPathBufferChars = 32768;
constexpr std::string_view kLogFileFilter = "Text files (*.txt)|*.txt|All files (*)|*.*||";

std::optional<std::string> ChosenPath(const std::vector<wchar_t>& buffer) {
  const auto end = std::find(buffer.begin(), buffer.end(), L'\0');
  if (end == buffer.begin() || end == buffer.end()) return std::nullopt;
  return Utf8FromWide(std::wstring_view(buffer.data(), static_cast<std::size_t>(end - buffer.begin())));
}

}  // namespace

std::wstring Wide(std::string_view text) { return WideFromUtf8(text).value_or(std::wstring()); }

std::wstring ChooserFilter(std::string_view filter) {
  if (!filter.ends_with("||")) return {};
  std::wstring wide = Wide(filter);
  std::replace(wide.begin(), wide.end(), L'|', L'\0');
  return wide;
}

MessageResult ShowMessage(HWND owner, const MessageBoxRequest& request) {
  const UINT icon = request.icon == MessageIcon::kQuestion ? MB_ICONQUESTION : MB_ICONWARNING;
  const UINT buttons = request.buttons == MessageButtons::kOkCancel ? MB_OKCANCEL : MB_OK;
  const std::wstring text = Wide(request.text);
  const std::wstring caption = Wide(request.caption);
  // A box owned by no window still comes up in front of everything else.
  const UINT ownerless = owner == nullptr ? MB_SETFOREGROUND | MB_TASKMODAL : 0;
  const int pressed = MessageBoxW(owner, text.c_str(), caption.c_str(), icon | buttons | ownerless);
  return pressed == IDOK ? MessageResult::kOk : MessageResult::kCancel;
}

std::optional<std::string> ChooseFileToOpen(HWND owner, std::string_view filter) {
  const std::wstring patterns = ChooserFilter(filter);
  std::vector<wchar_t> path(kPathBufferChars, L'\0');
  OPENFILENAMEW request{};
  request.lStructSize = sizeof(request);
  request.hwndOwner = owner;
  request.lpstrFilter = patterns.empty() ? nullptr : patterns.c_str();
  request.nFilterIndex = 1;
  request.lpstrFile = path.data();
  request.nMaxFile = static_cast<DWORD>(path.size());
  request.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
  if (!GetOpenFileNameW(&request)) return std::nullopt;
  return ChosenPath(path);
}

std::optional<std::string> ChooseLogFile(HWND owner) {
  const std::wstring patterns = ChooserFilter(kLogFileFilter);
  const std::wstring caption = Wide(kSaveLogCaption);
  std::vector<wchar_t> path(kPathBufferChars, L'\0');
  const std::wstring name = Wide(kSaveLogDefaultName);
  std::copy(name.begin(), name.end(), path.begin());
  OPENFILENAMEW request{};
  request.lStructSize = sizeof(request);
  request.hwndOwner = owner;
  request.lpstrFilter = patterns.c_str();
  request.nFilterIndex = 1;
  request.lpstrFile = path.data();
  request.nMaxFile = static_cast<DWORD>(path.size());
  request.lpstrTitle = caption.c_str();
  request.lpstrDefExt = L"txt";
  request.Flags = OFN_OVERWRITEPROMPT | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_EXPLORER;
  if (!GetSaveFileNameW(&request)) return std::nullopt;
  return ChosenPath(path);
}

void ShowAboutBox(HWND owner, HINSTANCE instance, const std::string& lines) {
  const std::wstring text = Wide(lines);
  const std::wstring caption = Wide(kAboutCaption);
  MSGBOXPARAMSW box{};
  box.cbSize = sizeof(box);
  box.hwndOwner = owner;
  box.hInstance = instance;
  box.lpszText = text.c_str();
  box.lpszCaption = caption.c_str();
  box.dwStyle = MB_OK | MB_USERICON;
  box.lpszIcon = MAKEINTRESOURCEW(QUORVEL_ICON_ID);
  MessageBoxIndirectW(&box);
}

}  // namespace quorvel::win32
