#pragma once
// The desktop program's own fixed texts. Everything the operator reads in the
// window frame, the About box and the Exit question is kept here.
#include <string_view>

#include "common/version.h"

namespace quorvel {

inline constexpr std::string_view kVersionText = kProgramVersion;
inline constexpr std::string_view kDialogCaption = "Quorvel ( USBTMC ) Version " QUORVEL_VERSION;

inline constexpr std::string_view kAboutCaption = "About Quorvel";
inline constexpr std::string_view kAboutVersionLine = "Quorvel Version " QUORVEL_VERSION;
inline constexpr std::string_view kAboutNotice = "Updates meter firmware over USBTMC.";
// Told beside "USBTMC device not found.": the command that finds out why.
inline constexpr std::string_view kAskTheDoctor = "To see why, run quorvel-cli doctor in a terminal.";
// The About entry of the window menu; an empty text adds no entry.
inline constexpr std::string_view kAboutMenuText = "&About Quorvel...";

inline constexpr std::string_view kExitQuestion = "Are you sure, you want to quit?";
inline constexpr std::string_view kExitCaption = "DMM firmware update";

// Shown while the first search for the meter runs; discovery clears it.
inline constexpr std::string_view kLookingForMeter = "Looking for the meter ...";

// The log's right-click menu.
inline constexpr std::string_view kCopyMenuText = "&Copy";
inline constexpr std::string_view kSelectAllMenuText = "Select &All";
inline constexpr std::string_view kSaveLogMenuText = "Save Log...";
inline constexpr std::string_view kSaveLogCaption = "Save Log";
inline constexpr std::string_view kSaveLogDefaultName = "quorvel-log.txt";
inline constexpr std::string_view kSaveLogFilter = "Text files (*.txt);;All files (*)";
inline constexpr std::string_view kSaveLogFailed = "The log could not be saved to";

// Said instead of starting when there is no display to open the window on.
inline constexpr std::string_view kNeedsDesktopSession =
    "quorvel needs a desktop session; for a terminal use quorvel-cli";

}  // namespace quorvel
