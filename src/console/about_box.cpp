#include "console/about_box.h"

#include <QLabel>
#include <QPushButton>
#include <QString>

#include "console/app_icon.h"
#include "console/console_texts.h"
#include "console/dialog_units.h"
#include "console/qt_text.h"

namespace quorvel {

AboutBox::AboutBox(QWidget* parent) : QDialog(parent) {
  const DialogUnits units = DialogUnits::ForFont(font());
  setWindowTitle(ToQString(kAboutCaption));
  setFixedSize(units.Size(248, 56));

  auto* icon = new QLabel(this);
  icon->setPixmap(AppIcon().pixmap(32, 32));
  icon->setGeometry(units.X(7), units.Y(7), 32, 32);

  // The texts run to the OK button and, below it, to the right margin.
  auto* version = new QLabel(ToQString(kAboutVersionLine), this);
  version->setGeometry(units.Rect(40, 10, 150, 10));
  auto* notice = new QLabel(ToQString(kAboutNotice), this);
  notice->setGeometry(units.Rect(40, 25, 201, 10));

  auto* ok = new QPushButton(tr("OK"), this);
  ok->setGeometry(units.Rect(196, 7, 45, 14));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
}

}  // namespace quorvel
