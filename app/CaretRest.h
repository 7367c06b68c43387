// The text carets of the program's fields blink while the engineer works
// and rest, shown and still, after a spell without a key or a mouse button,
// as desktops do. A caret that blinks all day wakes the program twice a
// second and redraws its field for nobody: a command line holding the
// caret while a device streams costs more than the stream itself.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace kvl {

class CaretRest : public QObject {
 public:
  // How long the carets blink after the last key or mouse button.
  static constexpr int kRestAfterMs = 10000;

  // Watches the application's input; does nothing when the desktop's
  // carets do not blink at all.
  explicit CaretRest(QObject* parent = nullptr, int restAfterMs = kRestAfterMs);
  // Gives the carets the desktop's blinking back.
  ~CaretRest() override;

  bool resting() const { return resting_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void look();
  void setFlashTime(int ms);

  const int restAfterMs_;
  int flashTime_ = 0;  // the desktop's blinking period
  bool resting_ = false;
  bool setting_ = false;  // the change of the blinking period is our own
  QElapsedTimer sinceInput_;
  QTimer spell_;
};

}  // namespace kvl
