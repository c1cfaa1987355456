#include "console/app_icon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

namespace quorvel {

QIcon AppIcon() {
  QSvgRenderer drawing(QStringLiteral(":/quorvel/quorvel.svg"));
  QIcon icon;
  if (!drawing.isValid()) return icon;
  for (const int size : {16, 24, 32, 48, 64, 128, 256}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    drawing.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

}  // namespace quorvel
