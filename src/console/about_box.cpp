#include "console/about_box.h"

#include <QLabel>
#include <QPushButton>
#include <QString>
#include <algorithm>

#include "console/app_icon.h"
#include "console/console_texts.h"
#include "console/dialog_units.h"
#include "console/qt_text.h"

namespace quorvel {

namespace {
constexpr int kTextLeft = 40;         // right of the icon
constexpr int kShortTextWidth = 150;  // the first line stops short of OK
constexpr int kTextWidth = 201;
constexpr int kLineHeight = 10;
constexpr int kLineGap = 5;
}  // namespace

AboutBox::AboutBox(QWidget* parent, const std::vector<std::string>& lines) : QDialog(parent) {
  const DialogUnits units = DialogUnits::ForFont(font());
  setWindowTitle(ToQString(kAboutCaption));

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setGeometry(units.X(7), units.Y(7), 32, 32);

  // One line under the other; a long one (a library's path) widens the box.
  int right = units.X(kTextLeft + kTextWidth);
  int y = 10;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    auto* label = new QLabel(ToQString(lines[i]), this);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    const int width = i == 0 ? kShortTextWidth : kTextWidth;
    QRect area = units.Rect(kTextLeft, y, width, kLineHeight);
    area.setWidth(std::max(area.width(), label->sizeHint().width()));
    area.setHeight(std::max(area.height(), label->sizeHint().height()));
    label->setGeometry(area);
    right = std::max(right, area.right());
    y += i == 0 ? kLineHeight + kLineGap : kLineHeight + 2;
  }

  auto* ok = new QPushButton(tr("OK"), this);
  const QRect okArea = units.Rect(196, 7, 45, 14);
  ok->setGeometry(okArea.translated(right - units.X(kTextLeft + kTextWidth), 0));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  setFixedSize(right + units.X(7), std::max(units.Y(56), units.Y(y + 7 - 2)));
}

}  // namespace quorvel
