#include "console/gradient.h"

#include <QColor>
#include <QPainter>

namespace quorvel {

void PaintGradient(QPainter& painter, int width, int height, bool dark) {
  for (int band = 0, y = 0; y < height; ++band, y += kGradientBandHeight) {
    const int light = GradientBandGrey(band, height);
    const int grey = dark ? 255 - light : light;
    painter.fillRect(0, y, width, kGradientBandHeight, QColor(grey, grey, grey));
  }
}

}  // namespace quorvel
