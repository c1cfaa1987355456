#pragma once
// The progress log pane. Only the program writes to it: the operator can move
// the caret, select and copy, but typed characters, pasting, cutting and
// deleting are swallowed so the log always shows what the update reported.
#include <QPlainTextEdit>
#include <string>
#include <string_view>

#include "common/operator_console.h"

class QMenu;

namespace quorvel {

class LogEdit final : public QPlainTextEdit {
  Q_OBJECT

 public:
  explicit LogEdit(QWidget* parent = nullptr);

  // Shows `log` (lines joined with "\r\n") and keeps `transcript` (every line
  // since the window opened) for Save Log...; a changed log leaves the caret
  // and the view at its end.
  void ShowText(const std::string& log, const std::string& transcript);

  // The log as the program wrote it, lines joined with "\r\n".
  const std::string& logText() const { return log_; }
  // Every line written since the window opened, those cleared since included.
  const std::string& transcriptText() const { return transcript_; }

  // The right-click menu: Copy, Select All, Save Log..., then the actions
  // added to the pane (About). The caller owns it.
  QMenu* CreateContextMenu();
  // Save Log... is offered only while this is true.
  void SetSaveEnabled(bool enabled) { saveEnabled_ = enabled; }

  // The pane's font: an Arial-like sans serif, 16 pixels, normal weight.
  static QFont LogFont();

 signals:
  void saveRequested();

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  bool canInsertFromMimeData(const QMimeData* source) const override;
  void insertFromMimeData(const QMimeData* source) override;

 private:
  void ShowLog();

  std::string log_;
  std::string transcript_;
  bool saveEnabled_ = true;
};

}  // namespace quorvel
