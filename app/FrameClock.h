// The main window's heartbeat: the half-second tick of its timer (the port
// scan, the reply parser's countdown) and the display frame in which the
// console panes draw what arrived.
//
// A pane asks for a frame whenever text is appended to it; it is drawn at
// once when the last frame is a frame's time ago or more, otherwise when
// that time is up. So a command's answer is on the screen within a frame
// of its arrival, and a device that talks without pause costs at most one
// drawing per frame, not one per block received. Nothing wakes the window
// while no pane waits for a frame.
//
// A tick that falls due within kTickEarly of a reception's end runs at
// that end, in the same wake-up, and the next tick is counted from there:
// a device that talks without pause then costs no wake-ups of the tick's
// own. The reply parser still runs between 1.5 and 2 seconds after the
// last reception: a tick run early runs after the reception set the
// countdown, so it counts as the first tick after it.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <chrono>
#include <vector>

namespace kvl {

class ConsolePane;

class FrameClock : public QObject {
  Q_OBJECT

 public:
  // The window's tick: the scan's pace and the unit of the reply parser's
  // countdown.
  static constexpr std::chrono::milliseconds kTickInterval{500};
  // A display frame (60 per second).
  static constexpr std::chrono::milliseconds kFrameInterval{16};
  // How long a due frame waits for the rest of a burst whose first part
  // filled the reader's ring: the rest is in the driver already and comes
  // with the next take, well within this.
  static constexpr std::chrono::milliseconds kBurstWait{4};
  // How early a tick may run to share a reception's wake-up.
  static constexpr std::chrono::milliseconds kTickEarly{100};

  explicit FrameClock(QObject* parent = nullptr);

  // The 500 ms timer (objectName "Timer"), not started. Its ticks are
  // handed on as ticked(), with those run early at a reception's end.
  QTimer* tick() { return &tick_; }

  // Has pane->refresh() called in the next frame.
  void requestFrame(ConsolePane* pane);
  // Opens a pass of appends that runDue() closes: a pane that asks for a
  // frame within it is only noted, and runDue() draws it or sets the
  // timer, so that a reception drawn at once costs no timer.
  void beginPass() { inPass_ = true; }
  void cancel(ConsolePane* pane);
  // Runs the frame now when it is due now (the last one is a frame's time
  // ago or more): called once the appends of a reception are made, so
  // that they are drawn in the same pass of the event loop. moreComing:
  // the reception is the first part of a burst whose rest follows at once;
  // a due frame then waits for it (at most kBurstWait), so that the burst
  // is drawn once, whole, not once in part and again a frame later.
  // Closes the pass that beginPass() opened; a tick due within kTickEarly
  // runs first, inside the pass, so that what it appends shares the frame.
  void runDue(bool moreComing = false);
  // Milliseconds until the next frame is drawn; -1 while none is asked for.
  int msToFrame() const { return frame_.isActive() ? frame_.remainingTime() : -1; }

  // The clock of panes that belong to no main window.
  static FrameClock& shared();

 signals:
  void ticked();

 private:
  void runFrame();
  // Puts a due frame off for the rest of a burst, kBurstWait at most.
  void holdForBurst();
  // Milliseconds until a frame is due, from the last one.
  int msToDue() const;

  QTimer tick_;
  QTimer frame_;
  QElapsedTimer sinceFrame_;
  bool waitingForBurst_ = false;
  bool inPass_ = false;
  std::vector<QPointer<ConsolePane>> due_;
};

}  // namespace kvl
