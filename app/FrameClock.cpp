#include "app/FrameClock.h"

#include <QCoreApplication>
#include <algorithm>
#include <utility>

#include "app/ConsolePane.h"

namespace kvl {

FrameClock::FrameClock(QObject* parent) : QObject(parent), tick_(this), frame_(this) {
  tick_.setObjectName(QStringLiteral("Timer"));
  tick_.setInterval(kTickInterval);
  connect(&tick_, &QTimer::timeout, this, &FrameClock::ticked);
  frame_.setSingleShot(true);
  frame_.setTimerType(Qt::PreciseTimer);
  connect(&frame_, &QTimer::timeout, this, &FrameClock::runFrame);
}

FrameClock& FrameClock::shared() {
  static QPointer<FrameClock> clock;
  if (!clock) clock = new FrameClock(QCoreApplication::instance());
  return *clock;
}

void FrameClock::requestFrame(ConsolePane* pane) {
  if (std::find(due_.begin(), due_.end(), pane) == due_.end()) due_.emplace_back(pane);
  if (inPass_ || frame_.isActive()) return;
  // Appends made in the same pass of the event loop share the frame: even
  // a frame that is due at once runs after them.
  frame_.start(msToDue());
}

int FrameClock::msToDue() const {
  const qint64 frameMs = kFrameInterval.count();
  const qint64 since = sinceFrame_.isValid() ? sinceFrame_.elapsed() : frameMs;
  return int(std::clamp<qint64>(frameMs - since, 0, frameMs));
}

void FrameClock::cancel(ConsolePane* pane) { due_.erase(std::remove(due_.begin(), due_.end(), pane), due_.end()); }

void FrameClock::runDue(bool moreComing) {
  if (inPass_ && tick_.isActive() && tick_.remainingTime() <= int(kTickEarly.count())) {
    tick_.start();
    emit ticked();
  }
  const bool passAsked = std::exchange(inPass_, false) && !due_.empty() && !frame_.isActive();
  if (passAsked) {
    // The pass's panes: drawn now when the frame is due, else when it is.
    const int ms = msToDue();
    if (ms > 0) {
      frame_.start(ms);
      return;
    }
    if (moreComing) return holdForBurst();
    runFrame();
    return;
  }
  if (!frame_.isActive()) return;
  if (moreComing) {
    if (!waitingForBurst_ && frame_.remainingTime() == 0) holdForBurst();
    return;
  }
  if (!waitingForBurst_ && frame_.remainingTime() > 0) return;
  frame_.stop();
  runFrame();
}

void FrameClock::holdForBurst() {
  waitingForBurst_ = true;
  frame_.start(int(kBurstWait.count()));
}

void FrameClock::runFrame() {
  waitingForBurst_ = false;
  sinceFrame_.start();
  std::vector<QPointer<ConsolePane>> due;
  due.swap(due_);
  for (const QPointer<ConsolePane>& pane : due)
    if (pane) pane->refresh();
}

}  // namespace kvl
