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

  // Adds one line ("\r\n" between lines) and leaves the caret and the view at
  // the end of the text.
  void AppendLine(std::string_view text);
  void ClearLines();

  // The log as the program wrote it, lines joined with "\r\n".
  const std::string& logText() const { return log_.str(); }
  // Every line written since the window opened, those cleared since included.
  const std::string& transcriptText() const { return transcript_.str(); }

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

  LogText log_;
  LogText transcript_;
  bool saveEnabled_ = true;
};

}  // namespace quorvel
