#pragma once
// The Qt program's own fixed texts. The window's frame, menus and what the
// presenter decides to say, shared with the Windows window, live in
// presenter/window_texts.h.
#include <string_view>

#include "common/version.h"
#include "presenter/window_texts.h"

namespace quorvel {

#ifdef QUORVEL_DOC_DIR
// Where About sends the operator for more.
inline constexpr std::string_view kDocumentationPlace = QUORVEL_DOC_DIR " and man quorvel";
#endif

// The Save Log... chooser's filter, in Qt's words.
inline constexpr std::string_view kSaveLogFilter = "Text files (*.txt);;All files (*)";

// Said instead of starting when there is no display to open the window on.
inline constexpr std::string_view kNeedsDesktopSession =
    "quorvel needs a desktop session; for a terminal use quorvel-cli";

}  // namespace quorvel
