#include "console/status_strip.h"

#include <QLabel>
#include <QStyle>
#include <algorithm>
#include <cmath>

#include "console/qt_text.h"

namespace quorvel {

namespace {

constexpr int kIconPixels = 16;

// Deep text on a pale band for a light window; pale text on a deep band for
// a dark one. Each pair is well above the 4.5 : 1 that small text needs.
struct KindColours {
  QRgb lightText, lightBand, darkText, darkBand;
};
constexpr KindColours kInfo{0x0d3c61, 0xe3f0fb, 0xbbdefb, 0x17324a};
constexpr KindColours kSuccess{0x1b5e20, 0xe3f4e4, 0xb9f6ca, 0x163a1a};
constexpr KindColours kFailure{0x8e1111, 0xfde6e6, 0xffcdd2, 0x4a1515};
constexpr KindColours kWarning{0x6d4c00, 0xfff4d6, 0xffe082, 0x43350d};

const KindColours& ColoursOf(StripKind kind) {
  switch (kind) {
    case StripKind::kSuccess:
      return kSuccess;
    case StripKind::kFailure:
      return kFailure;
    case StripKind::kWarning:
      return kWarning;
    case StripKind::kInfo:
      break;
  }
  return kInfo;
}

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
  const KindColours& colours = ColoursOf(kind);
  const bool dark = palette.color(QPalette::Window).lightnessF() < 0.5;
  return dark ? StripLook{QColor(colours.darkText), QColor(colours.darkBand)}
              : StripLook{QColor(colours.lightText), QColor(colours.lightBand)};
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
