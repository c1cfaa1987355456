#include "console/transfer_progress_bar.h"

#include <QColor>
#include <QFont>
#include <QPalette>
#include <algorithm>
#include <QString>

#include "console/progress_text.h"

namespace quorvel {

namespace {
constexpr int kSmallestTextPixels = 8;
constexpr int kTextMarginPixels = 3;  // the bar's frame above and below the text
constexpr QRgb kChunkColour = 0x9ccaf0;
}  // namespace

TransferProgressBar::TransferProgressBar(QWidget* parent) : QProgressBar(parent) {
  setRange(0, 100);
  setTextVisible(true);
  setAlignment(Qt::AlignCenter);
  // A light chunk under dark text keeps the text readable on both sides of
  // the chunk's edge.
  QPalette colours = palette();
  colours.setColor(QPalette::Highlight, QColor(kChunkColour));
  colours.setColor(QPalette::HighlightedText, colours.color(QPalette::WindowText));
  setPalette(colours);
  hide();
}

void TransferProgressBar::PlaceAt(const QRect& area) {
  QProgressBar::setGeometry(area);
  QFont small = font();
  small.setPixelSize(std::max(kSmallestTextPixels, area.height() - kTextMarginPixels));
  setFont(small);
}

void TransferProgressBar::ShowReport(const ProgressReport& report) {
  if (report.finished) {
    hide();
    return;
  }
  setValue(ProgressPercent(report));
  setFormat(QString::fromStdString(DescribeProgress(report)));
  show();
  repaint();
}

}  // namespace quorvel
