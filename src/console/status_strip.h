#pragma once
// How the strip under the log looks for each kind of message: an icon and a
// tinted band whose text keeps its contrast in a light and in a dark palette.
#include <QColor>
#include <QIcon>
#include <QPalette>

#include "presenter/window_model.h"

class QLabel;
class QStyle;

namespace quorvel {

struct StripLook {
  QColor text;
  QColor background;
};

// The colours for `kind` against a window drawn with `palette`.
StripLook LookOf(StripKind kind, const QPalette& palette);

// The standard icon that goes with `kind`.
QIcon IconOf(StripKind kind, const QStyle& style);

// WCAG contrast ratio of two colours, 1 (none) to 21 (black on white).
double ContrastRatio(const QColor& a, const QColor& b);

// Shows `strip` in the two labels: `icon` left of `text`; both hidden when
// the strip says nothing.
void ShowStrip(QLabel& icon, QLabel& text, const StripModel& strip);

}  // namespace quorvel
