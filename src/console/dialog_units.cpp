#include "console/dialog_units.h"

#include <QFont>
#include <QFontMetrics>
#include <QString>
#include <cstdint>

namespace quorvel {

int ScaleRounded(int value, int numerator, int denominator) {
  const std::int64_t product = std::int64_t{value} * numerator;
  const std::int64_t half = denominator / 2;
  const std::int64_t rounded =
      product >= 0 ? (product + half) / denominator : (product - half) / denominator;
  return static_cast<int>(rounded);
}

DialogUnits::DialogUnits(int averageCharWidth, int fontHeight)
    : averageCharWidth_(averageCharWidth), fontHeight_(fontHeight) {}

DialogUnits DialogUnits::ForFont(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return DialogUnits((letters / 26 + 1) / 2, metrics.height());
}

int DialogUnits::X(int units) const { return ScaleRounded(units, averageCharWidth_, 4); }
int DialogUnits::Y(int units) const { return ScaleRounded(units, fontHeight_, 8); }

QRect DialogUnits::Rect(int x, int y, int width, int height) const {
  return {X(x), Y(y), X(width), Y(height)};
}

QSize DialogUnits::Size(int width, int height) const { return {X(width), Y(height)}; }

}  // namespace quorvel
