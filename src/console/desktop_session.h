#pragma once
// Whether the window has somewhere to appear. Asked before the QApplication
// exists: without a display Qt aborts the process with no word of why.
#include <functional>
#include <string>
#include <vector>

namespace quorvel {

inline constexpr int kExitNoDesktop = 1;

// `arguments` is the whole command line; `environment` reads a variable
// (null when unset). True when a display is named (DISPLAY, WAYLAND_DISPLAY,
// -display) or a platform that needs none was asked for (-platform offscreen,
// QT_QPA_PLATFORM=vnc, ...). Always true where the desktop is not optional.
bool HasDesktopSession(const std::vector<std::string>& arguments,
                       const std::function<const char*(const char*)>& environment);

}  // namespace quorvel
