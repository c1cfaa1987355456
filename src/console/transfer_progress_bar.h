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

  // Shows the report and paints at once, so the bar keeps up with the frames
  // even when the next pump is a whole frame gap away.
  void ShowReport(const ProgressReport& report);
};

}  // namespace quorvel
