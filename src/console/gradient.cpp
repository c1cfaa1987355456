#include "console/gradient.h"

#include <QColor>
#include <QPainter>

namespace quorvel {

void PaintGradient(QPainter& painter, int width, int height) {
  for (int band = 0, y = 0; y < height; ++band, y += kGradientBandHeight) {
    const int grey = GradientBandGrey(band, height);
    painter.fillRect(0, y, width, kGradientBandHeight, QColor(grey, grey, grey));
  }
}

}  // namespace quorvel
