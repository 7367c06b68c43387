#include "app/ConsolePane.h"

#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>

#include "app/QtText.h"

namespace kvl {

QColor WinColour(std::uint32_t colour) {
  return QColor(int(colour & 0xFF), int((colour >> 8) & 0xFF), int((colour >> 16) & 0xFF));
}

ConsolePane::ConsolePane(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setUndoRedoEnabled(false);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setContextMenuPolicy(Qt::CustomContextMenu);
  // Device data are shown as they come: no rich-text interpretation at all.
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

void ConsolePane::appendRun(std::uint32_t colour, std::string_view bytes) {
  QString in = FromCp1251(bytes);
  QString text;
  text.reserve(in.size());
  qsizetype i = 0;
  if (endsInCR_ && !in.isEmpty() && in.front() == QLatin1Char('\n')) i = 1;  // rest of a CR LF pair
  for (; i < in.size(); ++i) {
    QChar ch = in[i];
    if (ch == QLatin1Char('\r')) {
      text += QLatin1Char('\n');
      if (i + 1 < in.size() && in[i + 1] == QLatin1Char('\n')) ++i;
    } else {
      text += ch;
    }
  }
  if (!in.isEmpty()) endsInCR_ = in.back() == QLatin1Char('\r');

  QTextCursor cursor(document());
  cursor.movePosition(QTextCursor::End);
  QTextCharFormat format;
  format.setForeground(WinColour(colour));
  cursor.setCharFormat(format);
  if (!text.isEmpty()) cursor.insertText(text, format);
  setTextCursor(cursor);
  QScrollBar* bar = verticalScrollBar();
  bar->setValue(bar->maximum());
}

void ConsolePane::clearPane() {
  clear();
  endsInCR_ = false;
}

}  // namespace kvl
