#include "console/log_edit.h"

#include <QContextMenuEvent>
#include <QFont>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QString>
#include <QTextCursor>

#include "console/console_texts.h"
#include "console/qt_text.h"

namespace quorvel {

namespace {

// Keys that reach the dialog instead: Enter presses the default button, Esc
// goes to the dialog's cancel handling.
bool BelongsToDialog(const QKeyEvent& event) {
  switch (event.key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Escape:
      return true;
    default:
      return false;
  }
}

bool IsHarmlessShortcut(const QKeyEvent& event) {
  return event.matches(QKeySequence::Copy) || event.matches(QKeySequence::SelectAll);
}

// Keys that would change the text without producing a character.
bool EditsText(const QKeyEvent& event) {
  static constexpr QKeySequence::StandardKey kEditing[] = {
      QKeySequence::Cut,           QKeySequence::Paste,           QKeySequence::Undo,
      QKeySequence::Redo,          QKeySequence::Delete,          QKeySequence::Backspace,
      QKeySequence::DeleteEndOfWord, QKeySequence::DeleteStartOfWord,
      QKeySequence::DeleteEndOfLine, QKeySequence::DeleteCompleteLine,
      QKeySequence::InsertLineSeparator, QKeySequence::InsertParagraphSeparator};
  for (const auto key : kEditing) {
    if (event.matches(key)) return true;
  }
  return event.key() == Qt::Key_Delete || event.key() == Qt::Key_Backspace;
}

QString ToDisplay(const std::string& text) {
  // The editor keeps lines split at '\n'; the log's "\r\n" stays in log_.
  QString shown = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return shown;
}

}  // namespace

LogEdit::LogEdit(QWidget* parent) : QPlainTextEdit(parent) {
  setFont(LogFont());
  setFrameShape(QFrame::NoFrame);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setTabChangesFocus(true);
  setUndoRedoEnabled(false);
  setAcceptDrops(false);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  setContextMenuPolicy(Qt::DefaultContextMenu);
  // The operator can move through the log and select, but nothing may be
  // typed: no blinking caret invites it.
  setCursorWidth(0);
}

QFont LogEdit::LogFont() {
  QFont font(QStringLiteral("Arial"));
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(16);
  font.setWeight(QFont::Normal);
  font.setItalic(false);
  font.setUnderline(false);
  font.setStrikeOut(false);
  return font;
}

void LogEdit::ShowText(const std::string& log, const std::string& transcript) {
  transcript_ = transcript;
  if (log == log_) return;
  log_ = log;
  ShowLog();
}

QMenu* LogEdit::CreateContextMenu() {
  auto* menu = new QMenu(this);
  QAction* copy = menu->addAction(ToQString(kCopyMenuText), this, &QPlainTextEdit::copy);
  copy->setEnabled(textCursor().hasSelection());
  menu->addAction(ToQString(kSelectAllMenuText), this, &QPlainTextEdit::selectAll);
  QAction* save = menu->addAction(ToQString(kSaveLogMenuText), this, &LogEdit::saveRequested);
  save->setEnabled(saveEnabled_);
  if (!actions().isEmpty()) {
    menu->addSeparator();
    menu->addActions(actions());
  }
  return menu;
}

void LogEdit::contextMenuEvent(QContextMenuEvent* event) {
  QMenu* menu = CreateContextMenu();
  menu->setAttribute(Qt::WA_DeleteOnClose);
  menu->popup(event->globalPos());
}

void LogEdit::ShowLog() {
  setPlainText(ToDisplay(log_));
  moveCursor(QTextCursor::End);
  ensureCursorVisible();
}

void LogEdit::keyPressEvent(QKeyEvent* event) {
  if (BelongsToDialog(*event)) {
    event->ignore();
    return;
  }
  if (IsHarmlessShortcut(*event)) {
    QPlainTextEdit::keyPressEvent(event);
    return;
  }
  if (!event->text().isEmpty() || EditsText(*event)) {
    event->accept();  // swallowed: the log is the program's, not the operator's
    return;
  }
  QPlainTextEdit::keyPressEvent(event);  // caret movement, selection, scrolling
}

void LogEdit::inputMethodEvent(QInputMethodEvent* event) { event->accept(); }

bool LogEdit::canInsertFromMimeData(const QMimeData*) const { return false; }

void LogEdit::insertFromMimeData(const QMimeData*) {}

}  // namespace quorvel
