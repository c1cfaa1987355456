#pragma once
// The slim bar under the log that follows a transfer; hidden when idle.
#include <QProgressBar>

#include "common/operator_console.h"

namespace quorvel {

class TransferProgressBar final : public QProgressBar {
  Q_OBJECT

 public:
  explicit TransferProgressBar(QWidget* parent = nullptr);

  // The bar is one slim text line high; its text shrinks to fit.
  void PlaceAt(const QRect& area);

  // Shows the report and paints at once: the data phase does not pump
  // messages, so a scheduled repaint would only appear after the transfer.
  void ShowReport(const ProgressReport& report);
};

}  // namespace quorvel
