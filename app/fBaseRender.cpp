// What the link session says, shown: the panes' appends (and through them
// the session log), the status panels, the control sets, the port hints,
// the notifiers and the window's own events.
#include <QAbstractButton>
#include <QCheckBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include "app/ConsolePane.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "core/Colours.h"
#include "simset/fSimSet.h"
#include "ui/ErrorReporter.h"
#include "ui/WindowMessages.h"

namespace kvl {

void TBaseform::render(const Steps& steps) {
  for (const Step& s : steps) renderStep(s);
}

void TBaseform::renderStep(const Step& s) {
  switch (s.kind) {
    case Step::Text: AppendText(s.colour, s.text); return;
    case Step::Report: AppendReport(s.text); return;
    case Step::Hex: AppendHex(s.colour, s.text); return;
    case Step::PanelText: return setPanelText(s.panel, QString::fromUtf8(s.text));
    case Step::Enable:
    case Step::Check: return switchControl(s);
    case Step::Hint: return showPortHint(s.n, s.problem);
    case Step::ErrorBox: return ErrorBox(QString::fromUtf8(s.text) + QString::fromLocal8Bit(s.detail));
    case Step::SourcePort: return EdtSPort->setText(QString::fromUtf8(s.text));
    case Step::LineEvents: return showLineEvents(s);
    case Step::ForgetLines: return lineSteps_.clear();
    case Step::ComWriteWatch: return watchComWrite(s.on, s.n);
    case Step::SendWatch: return s.on ? sendWatch_->start() : sendWatch_->stop();
    case Step::WatchSocket: return watchClientSock(s.on, s.n);
    case Step::ArmRead:
      if (readNotifier_) readNotifier_->setEnabled(true);
      return;
    case Step::ArmWrite:
      if (writeNotifier_) writeNotifier_->setEnabled(true);
      return;
    case Step::PostSockEvent: return QCoreApplication::postEvent(this, new SockEventMsg(s.n, s.event, s.error));
    case Step::ParseReply:
      if (simSetform_) simSetform_->ParseDeviceReply(RxText);
      return;
    case Step::LogOpen:
    case Step::LogWrite:
    case Step::LogClose: return render(session_->applyLog(s));
  }
}

void TBaseform::switchControl(const Step& s) {
  auto set = [&s](QWidget* w) {
    if (s.kind == Step::Enable)
      w->setEnabled(s.on);
    else
      static_cast<QAbstractButton*>(w)->setChecked(s.on);
  };
  auto setAll = [&set](const QList<QWidget*>& ws) {
    for (QWidget* w : ws) set(w);
  };
  switch (s.control) {
    case Control::PortButton: return set(BtnCom[size_t(s.n)]);
    case Control::SerialCommands: return setAll(SerialCommandControls);
    case Control::NetCommands: return setAll(NetCommandControls);
    case Control::NetClose: return setAll(NetCloseControls);
    case Control::Dtr: return set(ChBxDTR);
    case Control::Rts: return set(ChBxRTS);
    case Control::Connect: return set(ChBxS1Conn);
  }
}

// An append never moves the keyboard focus: the pane follows its end
// without it, and the engineer keeps working with the keyboard (typing,
// tabbing through the buttons) while the device talks. What the text pane
// shows goes to the session log while one is open.
bool TBaseform::AppendText(std::uint32_t colour, const std::string& text) {
  if (!session_->logOpen()) {
    cRichEd->appendRun(colour, text);
    return true;
  }
  std::string shown;
  cRichEd->appendRun(colour, text, &shown);
  render(session_->logShown(shown));
  return true;
}

bool TBaseform::AppendReport(const std::string& text) {
  // Only the pane (and the session log, which records what it shows) gets
  // the line break; RxText and the device's bytes stay as they came.
  const ConsoleText& shown = cRichEd->content();
  const bool midLine = shown.size() > 0 && shown.at(shown.size() - 1) != ConsoleText::kBreak;
  const bool ownBreak = !text.empty() && (text.front() == '\r' || text.front() == '\n');
  return AppendText(kGrey, midLine && !ownBreak ? "\r\n" + text : text);
}

bool TBaseform::AppendHex(std::uint32_t colour, const std::string& text) {
  bRichEd->appendRun(colour, text);
  return true;
}

}  // namespace kvl
