#pragma once
// The progress log pane. Only the program writes to it: the operator can move
// the caret, select and copy, but typed characters, pasting, cutting and
// deleting are swallowed so the log always shows what the update reported.
#include <QPlainTextEdit>
#include <string>
#include <string_view>

#include "common/operator_console.h"

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

  // The pane's font: an Arial-like sans serif, 16 pixels, normal weight.
  static QFont LogFont();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void inputMethodEvent(QInputMethodEvent* event) override;
  bool canInsertFromMimeData(const QMimeData* source) const override;
  void insertFromMimeData(const QMimeData* source) override;

 private:
  void ShowLog();

  LogText log_;
};

}  // namespace quorvel
