#pragma once
// Turning untrusted text (meter replies, names read from files) into text that
// is safe to print on a terminal.
#include <string>
#include <string_view>

#include "common/utf8.h"

namespace quorvel {

// Copies `text` with every byte that could steer a terminal written as \xNN:
// C0 controls but line feed and tab, DEL, C1 controls, and every byte that is
// not part of well-formed UTF-8. Well-formed UTF-8 (a file name with accents)
// passes unchanged.
std::string PrintableText(std::string_view text);

// As PrintableText, with line feeds written as \n too: for one-line fields.
std::string PrintableField(std::string_view text);

// A message as one line, for a field of a listing: each run of line ends
// becomes one space, everything else as PrintableField.
std::string OneLineText(std::string_view text);

// A log text as the log pane shows it: its "\r\n" separators become line
// feeds, everything else as PrintableText.
std::string LogLineText(std::string_view text);

}  // namespace quorvel
