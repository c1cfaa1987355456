#pragma once
// The Qt program's own fixed texts: the window frame, its menus and the file
// dialogs. What the presenter decides to say lives in presenter/window_texts.h.
#include <string_view>

#include "common/version.h"
#include "presenter/window_texts.h"

namespace quorvel {

inline constexpr std::string_view kDialogCaption = "Quorvel ( USBTMC ) Version " QUORVEL_VERSION;

inline constexpr std::string_view kAboutCaption = "About Quorvel";  // kProgramName
// The About entry of the window menu; an empty text adds no entry.
inline constexpr std::string_view kAboutMenuText = "&About Quorvel...";

#ifdef QUORVEL_DOC_DIR
// Where About sends the operator for more.
inline constexpr std::string_view kDocumentationPlace = QUORVEL_DOC_DIR " and man quorvel";
#endif

// The log's right-click menu.
inline constexpr std::string_view kCopyMenuText = "&Copy";
inline constexpr std::string_view kSelectAllMenuText = "Select &All";
inline constexpr std::string_view kSaveLogMenuText = "Save Log...";
inline constexpr std::string_view kSaveLogDefaultName = "quorvel-log.txt";
inline constexpr std::string_view kSaveLogFilter = "Text files (*.txt);;All files (*)";

// Said instead of starting when there is no display to open the window on.
inline constexpr std::string_view kNeedsDesktopSession =
    "quorvel needs a desktop session; for a terminal use quorvel-cli";

}  // namespace quorvel
