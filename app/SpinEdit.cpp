#include "app/SpinEdit.h"

#include <QKeyEvent>
#include <QLineEdit>

namespace kvl {

TSpinEdit::TSpinEdit(QWidget* parent) : QSpinBox(parent) {
  setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
  setKeyboardTracking(false);
}

QValidator::State TSpinEdit::validate(QString& input, int&) const {
  if (input.isEmpty()) return QValidator::Intermediate;
  for (QChar c : input)
    if (!c.isDigit() || c.unicode() > '9') return QValidator::Invalid;
  if (input.size() > 9) return QValidator::Invalid;
  int v = input.toInt();
  return v >= minimum() && v <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
}

void TSpinEdit::fixup(QString& input) const {
  if (input.isEmpty()) {
    input = QString::number(minimum());
    return;
  }
  int v = input.toInt();
  input = QString::number(qBound(minimum(), v, maximum()));
}

int TSpinEdit::valueFromText(const QString& text) const {
  if (text.isEmpty()) return minimum();
  return qBound(minimum(), text.toInt(), maximum());
}

void TSpinEdit::settleEmpty() {
  if (lineEdit()->text().isEmpty()) {
    lineEdit()->setText(QString::number(minimum()));
    interpretText();
  }
}

void TSpinEdit::focusOutEvent(QFocusEvent* event) {
  settleEmpty();
  QSpinBox::focusOutEvent(event);
}

void TSpinEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) settleEmpty();
  QSpinBox::keyPressEvent(event);
}

int TSpinEdit::currentValue() const {
  const QString text = lineEdit()->text();
  return valueFromText(text);
}

}  // namespace kvl
