#pragma once
// The About box: icon, program name and version, one line of notice, OK.
#include <QDialog>

namespace quorvel {

class AboutBox final : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace quorvel
