#pragma once
// The program's icon, drawn from the SVG built into the program.
#include <QIcon>

namespace quorvel {

// All the usual sizes rendered from the one drawing; empty if it is missing.
QIcon AppIcon();

}  // namespace quorvel
