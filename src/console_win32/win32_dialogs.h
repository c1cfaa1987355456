#pragma once
// The window's modal questions with the system's own boxes and choosers.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "common/operator_console.h"

namespace quorvel::win32 {

// UTF-8 text for the system's wide calls; text that is not UTF-8 shows as nothing.
std::wstring Wide(std::string_view text);

// The chooser's filter from the pattern list "label|patterns|label|patterns||":
// every '|' becomes the NUL the chooser expects. Empty when the list is not
// valid UTF-8 or does not end in "||", so the chooser gets no filter rather
// than one read past its end.
std::wstring ChooserFilter(std::string_view filter);

// Warning or question icon, OK or OK/Cancel; `owner` may be null.
MessageResult ShowMessage(HWND owner, const MessageBoxRequest& request);

// An existing file, with the filter's first entry selected; nothing when the
// operator cancels.
std::optional<std::string> ChooseFileToOpen(HWND owner, std::string_view filter);

// Where Save Log... writes; nothing when the operator cancels.
std::optional<std::string> ChooseLogFile(HWND owner);

// The About box: the program's icon and `text`.
void ShowAboutBox(HWND owner, HINSTANCE instance, const std::string& text);

}  // namespace quorvel::win32
