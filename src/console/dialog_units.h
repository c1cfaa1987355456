#pragma once
// The window layouts are drawn in dialog units so they scale with the font:
// one x unit is a quarter of the font's average character width, one y unit
// an eighth of its height.
#include <QRect>
#include <QSize>

class QFont;

namespace quorvel {

class DialogUnits {
 public:
  DialogUnits(int averageCharWidth, int fontHeight);
  // Measures the font the way the layouts were designed for: the average width
  // of the 52 Latin letters, rounded, and the full line height.
  static DialogUnits ForFont(const QFont& font);

  int X(int units) const;
  int Y(int units) const;
  QRect Rect(int x, int y, int width, int height) const;
  QSize Size(int width, int height) const;

 private:
  int averageCharWidth_;
  int fontHeight_;
};

// value * numerator / denominator rounded to the nearest integer, halves away
// from zero; denominator must be positive.
int ScaleRounded(int value, int numerator, int denominator);

}  // namespace quorvel
