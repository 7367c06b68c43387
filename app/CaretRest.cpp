#include "app/CaretRest.h"

#include <QCoreApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QStyleHints>
#include <algorithm>

namespace kvl {

CaretRest::CaretRest(QObject* parent, int restAfterMs)
    : QObject(parent), restAfterMs_(std::max(restAfterMs, 1)) {
  QStyleHints* hints = QGuiApplication::styleHints();
  flashTime_ = hints->cursorFlashTime();
  if (flashTime_ <= 0) return;
  // The desktop may change its period while the program runs; resting
  // carets take it when they blink again.
  connect(hints, &QStyleHints::cursorFlashTimeChanged, this, [this](int ms) {
    if (setting_ || ms <= 0) return;
    flashTime_ = ms;
    if (resting_) setFlashTime(0);
  });
  // The spell is checked when it may have ended, not put off at every key:
  // input only notes its time.
  spell_.setSingleShot(true);
  connect(&spell_, &QTimer::timeout, this, &CaretRest::look);
  sinceInput_.start();
  spell_.start(restAfterMs_);
  QCoreApplication::instance()->installEventFilter(this);
}

CaretRest::~CaretRest() {
  if (resting_) setFlashTime(flashTime_);
}

bool CaretRest::eventFilter(QObject*, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
    case QEvent::InputMethod:
      sinceInput_.restart();
      if (resting_) {
        resting_ = false;
        setFlashTime(flashTime_);
        spell_.start(restAfterMs_);
      }
      break;
    default:
      break;
  }
  return false;
}

void CaretRest::look() {
  const qint64 left = restAfterMs_ - sinceInput_.elapsed();
  if (left > 0) {
    spell_.start(int(left));
    return;
  }
  resting_ = true;
  setFlashTime(0);  // Qt's fields then show their caret without blinking
}

void CaretRest::setFlashTime(int ms) {
  setting_ = true;
  QGuiApplication::styleHints()->setCursorFlashTime(ms);
  setting_ = false;
}

}  // namespace kvl
