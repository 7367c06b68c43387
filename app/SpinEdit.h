// Spin edit of the line settings: digits only; a value typed beyond a bound
// goes back to that bound when the field is left; an empty field reads as
// the minimum.
#pragma once

#include <QSpinBox>

namespace kvl {

class TSpinEdit : public QSpinBox {
  Q_OBJECT
 public:
  explicit TSpinEdit(QWidget* parent = nullptr);

  // The value the field stands for right now, also while it is being typed.
  int currentValue() const;

 protected:
  QValidator::State validate(QString& input, int& pos) const override;
  void fixup(QString& input) const override;
  int valueFromText(const QString& text) const override;
  void focusOutEvent(QFocusEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void settleEmpty();
};

}  // namespace kvl
