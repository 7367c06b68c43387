// The main window: its construction, its placement on the screen and the
// status panels.
#include "app/fBase.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QScreen>
#include <QTimer>
#include <QWindow>
#include <algorithm>

#include "app/AppIcon.h"
#include "app/LinkSession.h"
#include "app/WindowPlacement.h"
#include "ui/WindowMessages.h"

namespace kvl {

TBaseform::TBaseform(QWidget* parent)
    : QWidget(parent),
      session_(std::make_unique<LinkSession>([this] { QCoreApplication::postEvent(this, new ComRxMsg); })),
      LocalAddrChosen(session_->tcp().addressChosenRef()),
      ClientSock(session_->tcp().socketRef()),
      LocalAddr(session_->tcp().local()) {
  setObjectName(QStringLiteral("Baseform"));
  setWindowTitle(QStringLiteral(" KVL service program v.1.04"));
  setWindowIcon(AppIcon());
  buildLayout();
  connectHandlers();
  // The size before the first showing; showing places the window for good.
  resize(kMainOuterWidth, kMainOuterHeight);
  FormCreate();
}


QMargins TBaseform::frameMargins() const {
  // The platform window knows the frame as soon as the window manager has
  // drawn it; the widget's own idea of it can lag behind.
  if (const QWindow* window = windowHandle()) return window->frameMargins();
  const QRect outer = frameGeometry(), inner = geometry();
  return QMargins(inner.left() - outer.left(), inner.top() - outer.top(),
                  outer.right() - inner.right(), outer.bottom() - inner.bottom());
}

QRect TBaseform::placedGeometry(const QRect& available) const {
  const QMargins frame = frameMargins();
  const PlaceRect client = PlaceMainWindow(
      {available.x(), available.y(), available.width(), available.height()},
      {frame.left(), frame.top(), frame.right(), frame.bottom()});
  return QRect(client.x, client.y, client.width, client.height);
}

void TBaseform::placeWindow(const QRect& available) {
  // A placement asked for ends the settling after the first showing.
  if (settleTimer_) settleTimer_->stop();
  setGeometry(placedGeometry(available));
}

namespace {
// How often a newly shown window looks whether it stands where it should.
constexpr int kSettleLookMs = 50;
}  // namespace

void TBaseform::settlePlacement() {
  // A window manager frames a new window a moment after it appears (later
  // still on a busy machine), without moving its client area, and may apply
  // its own placement on top of ours: the window is placed again with the
  // frame it really has until it has a frame and stands where it should for
  // a few looks in a row. Without a window manager no frame ever comes: the
  // looks grow further apart while the window stands still, and end after
  // ten seconds.
  if (!settleTimer_) settleTimer_ = new QTimer(this);
  settleTimer_->setInterval(kSettleLookMs);
  settleTimer_->disconnect();
  QElapsedTimer since;
  since.start();
  connect(settleTimer_, &QTimer::timeout, this, [this, since, steady = 0]() mutable {
    const QRect want = screen() ? placedGeometry(screen()->availableGeometry()) : geometry();
    if (geometry() != want) {
      setGeometry(want);
      steady = 0;
      settleTimer_->setInterval(kSettleLookMs);
    } else if (++steady >= 6) {
      settleTimer_->setInterval(std::min(2 * settleTimer_->interval(), 1000));
    }
    const bool framed = !frameMargins().isNull();
    if ((framed && steady >= 6) || since.elapsed() >= 10000) settleTimer_->stop();
  });
  settleTimer_->start();
}

QString TBaseform::panelText(int panel) const {
  return panel >= 0 && panel < 10 ? StatusPanels[size_t(panel)]->text() : QString();
}

void TBaseform::setPanelText(Panel panel, const QString& text) {
  // A panel is touched only when its text changes: line events arrive with
  // the data, and most leave the panel as it is.
  QLabel* label = StatusPanels[size_t(panel)];
  if (label->text() != text) label->setText(text);
}

}  // namespace kvl
