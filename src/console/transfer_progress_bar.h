#pragma once
// The bar under the log that follows a transfer, or shows that the window
// waits for the meter; hidden when idle.
#include <QProgressBar>

#include "presenter/window_model.h"

namespace quorvel {

class TransferProgressBar final : public QProgressBar {
  Q_OBJECT

 public:
  explicit TransferProgressBar(QWidget* parent = nullptr);

  void PlaceAt(const QRect& area);

  // Shows the model and paints at once, so the bar keeps up with the frames
  // even when the next pump is a whole frame gap away.
  void Show(const ProgressModel& progress);
};

}  // namespace quorvel
