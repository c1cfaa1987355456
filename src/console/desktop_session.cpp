#include "console/desktop_session.h"

#include <algorithm>
#include <string_view>

namespace quorvel {

namespace {

bool IsSet(const char* value) { return value != nullptr && *value != '\0'; }

// The value of "-name value" or "--name value" on the command line; empty when absent.
std::string OptionValue(const std::vector<std::string>& arguments, std::string_view name) {
  for (std::size_t i = 1; i + 1 < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (argument.starts_with("--")) argument.remove_prefix(1);
    if (argument.starts_with('-') && argument.substr(1) == name) return arguments[i + 1];
  }
  return {};
}

// The X11 and Wayland platforms need a display server; every other one Qt
// offers (offscreen, minimal, vnc, eglfs, linuxfb, ...) draws without one.
bool NeedsDisplayServer(std::string_view platform) {
  return platform.starts_with("xcb") || platform.starts_with("wayland");
}

}  // namespace

bool HasDesktopSession(const std::vector<std::string>& arguments,
                       const std::function<const char*(const char*)>& environment) {
#if defined(_WIN32) || defined(__APPLE__)
  (void)arguments;
  (void)environment;
  return true;
#else
  std::string platforms = OptionValue(arguments, "platform");
  if (platforms.empty() && IsSet(environment("QT_QPA_PLATFORM"))) {
    platforms = environment("QT_QPA_PLATFORM");
  }
  // Qt tries a list "a;b" in order; its options follow a colon.
  for (std::size_t start = 0; start < platforms.size();) {
    const std::size_t end = std::min(platforms.find(';', start), platforms.size());
    const std::string_view entry = std::string_view(platforms).substr(start, end - start);
    const std::string_view name = entry.substr(0, entry.find(':'));
    if (!name.empty() && !NeedsDisplayServer(name)) return true;
    start = end + 1;
  }
  return IsSet(environment("DISPLAY")) || IsSet(environment("WAYLAND_DISPLAY")) ||
         !OptionValue(arguments, "display").empty();
#endif
}

}  // namespace quorvel
