#include "console/status_strip.h"

#include <QLabel>
#include <QStyle>
#include <algorithm>
#include <cmath>

#include "console/qt_text.h"
#include "presenter/window_layout.h"

namespace quorvel {

namespace {

constexpr int kIconPixels = 16;

double Luminance(const QColor& colour) {
  const auto channel = [](double value) {
    return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
         0.0722 * channel(colour.blueF());
}

}  // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
  const double lighter = std::max(Luminance(a), Luminance(b));
  const double darker = std::min(Luminance(a), Luminance(b));
  return (lighter + 0.05) / (darker + 0.05);
}

StripLook LookOf(StripKind kind, const QPalette& palette) {
  const StripColours colours = StripColoursOf(kind);
  const bool dark = palette.color(QPalette::Window).lightnessF() < 0.5;
  return dark ? StripLook{QColor(QRgb{colours.darkText}), QColor(QRgb{colours.darkBand})}
              : StripLook{QColor(QRgb{colours.lightText}), QColor(QRgb{colours.lightBand})};
}

QIcon IconOf(StripKind kind, const QStyle& style) {
  switch (kind) {
    case StripKind::kSuccess:
      return style.standardIcon(QStyle::SP_DialogApplyButton);
    case StripKind::kFailure:
      return style.standardIcon(QStyle::SP_MessageBoxCritical);
    case StripKind::kWarning:
      return style.standardIcon(QStyle::SP_MessageBoxWarning);
    case StripKind::kInfo:
      break;
  }
  return style.standardIcon(QStyle::SP_MessageBoxInformation);
}

void ShowStrip(QLabel& icon, QLabel& text, const StripModel& strip) {
  const bool shown = !strip.text.empty();
  icon.setHidden(!shown);
  text.setHidden(!shown);
  text.setText(ToQString(strip.text));
  text.setToolTip(text.text());
  if (!shown) return;
  const QWidget* window = text.parentWidget() != nullptr ? text.parentWidget() : &text;
  const StripLook look = LookOf(strip.kind, window->palette());
  for (QLabel* label : {&icon, &text}) {
    QPalette colours = label->palette();
    colours.setColor(QPalette::WindowText, look.text);
    colours.setColor(QPalette::Window, look.background);
    label->setPalette(colours);
    label->setAutoFillBackground(true);
  }
  icon.setPixmap(IconOf(strip.kind, *icon.style()).pixmap(kIconPixels, kIconPixels));
}

}  // namespace quorvel
