#pragma once
// The About box: the program's icon, the lines the presenter gives and OK.
#include <QDialog>
#include <string>
#include <vector>

#include "presenter/window_presenter.h"

namespace quorvel {

class AboutBox final : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr,
                    const std::vector<std::string>& lines = AboutLines(nullptr));
};

}  // namespace quorvel
