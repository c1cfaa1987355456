#include "console/transfer_progress_bar.h"

#include <QColor>
#include <QPalette>
#include <QString>

namespace quorvel {

namespace {
constexpr QRgb kChunkColour = 0x9ccaf0;
constexpr QRgb kGrooveColour = 0xf4f4f4;
}  // namespace

TransferProgressBar::TransferProgressBar(QWidget* parent) : QProgressBar(parent) {
  setRange(0, 100);
  setTextVisible(true);
  setAlignment(Qt::AlignCenter);
  // A light chunk in a light groove under dark text keeps the text readable
  // on both sides of the chunk's edge, in a dark palette too.
  QPalette colours = palette();
  colours.setColor(QPalette::Base, QColor(kGrooveColour));
  colours.setColor(QPalette::Window, QColor(kGrooveColour));
  colours.setColor(QPalette::Highlight, QColor(kChunkColour));
  colours.setColor(QPalette::HighlightedText, QColor(Qt::black));
  colours.setColor(QPalette::Text, QColor(Qt::black));
  setPalette(colours);
  hide();
}

void TransferProgressBar::PlaceAt(const QRect& area) { QProgressBar::setGeometry(area); }

void TransferProgressBar::Show(const ProgressModel& progress) {
  if (!progress.visible) {
    hide();
    return;
  }
  // A range of 0..0 is the style's own busy indicator.
  setRange(0, progress.busy ? 0 : 100);
  if (!progress.busy) setValue(progress.percent);
  setFormat(QString::fromStdString(progress.text));
  show();
  repaint();
}

}  // namespace quorvel
