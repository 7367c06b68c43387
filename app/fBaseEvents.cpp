// Start-up, closing, the timer, the window's own messages, what the link
// session says (render), the panes' appends and the console handlers.
#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSocketNotifier>
#include <QTextEdit>
#include <QTimer>
#include <ctime>
#include <memory>
#include <utility>

#include "app/ConsolePane.h"
#include "app/Reception.h"
#include "app/SpinEdit.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "core/Colours.h"
#include "core/Cp1251.h"
#include "net/TcpConnection.h"
#include "net/TcpLink.h"
#include "serial/uCom.h"
#include "settings/Settings.h"
#include "simset/fSimSet.h"
#include "ui/ErrorReporter.h"
#include "ui/QtText.h"
#include "ui/WindowMessages.h"

namespace kvl {

void TBaseform::connectHandlers() {
  auto on = [this](auto* sender, auto signal, auto handler) {
    QObject::connect(sender, signal, this, [this, handler]() { Guarded([&] { (this->*handler)(); }); });
  };
  on(Timer, &QTimer::timeout, &TBaseform::TimerTimer);
  on(ButtonReset, &QPushButton::clicked, &TBaseform::ButtonResetClick);
  for (ConsolePane* pane : {cRichEd, bRichEd})
    connect(pane, &QWidget::customContextMenuRequested, this,
            [this, pane](const QPoint& pos) { showPopup(pane, pos); });
  on(itemUndo, &QAction::triggered, &TBaseform::itemUndoClick);
  on(itemCut, &QAction::triggered, &TBaseform::itemCutClick);
  on(itemCopy, &QAction::triggered, &TBaseform::itemCopyClick);
  on(itemPaste, &QAction::triggered, &TBaseform::itemPasteClick);
  on(itemDelete, &QAction::triggered, &TBaseform::itemDeleteClick);
  on(itemSelectAll, &QAction::triggered, &TBaseform::itemSelectAllClick);
  on(itemFind, &QAction::triggered, &TBaseform::itemFindClick);

  for (int n = 1; n <= 16; ++n) {
    QPushButton* b = BtnCom[size_t(n)];
    connect(b, &QPushButton::clicked, this, [this, b] { Guarded([&] { BtnComClick(b); }); });
  }
  // A check box's handler runs whenever its state changes, by a click or by
  // the program, as the handlers rely on.
  on(ChBxFullCom, &QCheckBox::toggled, &TBaseform::ChBxFullComClick);
  on(ChBxScan, &QCheckBox::toggled, &TBaseform::ChBxFullComClick);
  for (QCheckBox* c : {ChBxDTR, ChBxParity, ChBxCtsFlow, ChBxDsrFlow, ChBxDsrSensitivity,
                       ChBxTXContinueOnXoff, ChBxOutX, ChBxInX, ChBxErrorChar, ChBxNull,
                       ChBxAbortOnError})
    on(c, &QCheckBox::toggled, &TBaseform::ChBxDTRClick);
  on(ChBxRTS, &QCheckBox::toggled, &TBaseform::ChBxRTSClick);
  // Whatever line setting changes, a port's refusal of the old settings
  // no longer holds.
  for (QCheckBox* c : {ChBxParity, ChBxCtsFlow, ChBxDsrFlow, ChBxDsrSensitivity, ChBxTXContinueOnXoff,
                       ChBxOutX, ChBxInX, ChBxErrorChar, ChBxNull, ChBxAbortOnError})
    on(c, &QCheckBox::toggled, &TBaseform::lineSettingsChanged);
  for (QComboBox* c : {CBBaudrate, CBParity, CBStopBits, CBcDtr, CBcRts})
    on(c, &QComboBox::currentTextChanged, &TBaseform::lineSettingsChanged);
  for (TSpinEdit* e : {SpEdXonLim, SpEdXoffLim, SpEdByteSize, SpEdXonChar, SpEdXoffChar, SpEdErrorChar,
                       SpEdEofChar, SpEdEvtChar})
    on(e, &QSpinBox::textChanged, &TBaseform::lineSettingsChanged);

  on(ChBxIniNet, &QCheckBox::toggled, &TBaseform::ChBxIniNetClick);
  on(ChBxS1Conn, &QCheckBox::toggled, &TBaseform::ChBxS1ConnClick);
  connect(ChBxIPs, &QListWidget::itemChanged, this,
          [this](QListWidgetItem* item) { Guarded([&] { ChBxIPsClickCheck(item); }); });
  on(ChBxIPs, &QListWidget::itemClicked, &TBaseform::ChBxIPsClick);

  on(BtnSendCmd, &QPushButton::clicked, &TBaseform::BtnSendCmdClick);
  on(ChBxDwl, &QCheckBox::toggled, &TBaseform::ChBxDwlClick);
  on(ChpCSD, &QCheckBox::toggled, &TBaseform::ChpCSDClick);

}

void TBaseform::customEvent(QEvent* event) {
  switch (int(event->type())) {
    case WM_COM_RX:
      Guarded([&] { RxRender(); });
      break;
    case WM_COM_SEND:
      Guarded([&] { sendPendingCommand(); });
      break;
    case WM_SOCK_EVENT:
      Guarded([&] { SockEvent(static_cast<const SockEventMsg&>(*event)); });
      break;
    default:
      QWidget::customEvent(event);
  }
}

void TBaseform::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!firstShowDone_) {
    firstShowDone_ = true;
    if (screen()) placeWindow(screen()->availableGeometry());
    settlePlacement();
    FormActivate();
  }
}

void TBaseform::closeEvent(QCloseEvent* event) {
  Guarded([&] { FormClose(); });
  event->accept();
}

void TBaseform::FormCreate() {
  act([&] { return session_->start(controls()); });
  Timer->start();
  Guarded([&] { LoadSettings(); });
}

void TBaseform::FormActivate() {
  Guarded([&] { LoadSettings(); });
}

void TBaseform::FormClose() {
  act([&] { return session_->close(controls()); });
}

TBaseform::~TBaseform() {
  // The reader posts to this window: it ends, and the port gets its
  // settings back, before the window goes. What waits to be sent goes
  // with the window, unsaid.
  watchComWrite(false, -1);
  watchClientSock(false, 0);
  session_->end();
}

void TBaseform::TimerTimer() {
  act([&] { return session_->tick(controls()); });
}

void TBaseform::watchSendQueues() {
  act([&] { return session_->watchQueues(); });
}

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

void TBaseform::ButtonResetClick() {
  cRichEd->clearPane();
  bRichEd->clearPane();
}

void TBaseform::showPopup(ConsolePane* pane, const QPoint& pos) {
  PopupTarget = pane;
  PopupMenuPopup();
  PopupMenu->popup(pane->viewport()->mapToGlobal(pos));
}

void TBaseform::PopupMenuPopup() {
  itemCopy->setEnabled(PopupTarget && PopupTarget->hasSelection());
}

void TBaseform::itemUndoClick() {
  if (PopupTarget) PopupTarget->undo();
}
void TBaseform::itemCutClick() {
  if (PopupTarget) PopupTarget->cut();
}
void TBaseform::itemCopyClick() {
  if (PopupTarget) PopupTarget->copy();
}
void TBaseform::itemPasteClick() {
  if (PopupTarget) PopupTarget->paste();
}
void TBaseform::itemDeleteClick() {
  // The panes are read-only: there is nothing to delete from them.
}
void TBaseform::itemSelectAllClick() {
  if (PopupTarget) PopupTarget->selectAll();
}
void TBaseform::itemFindClick() {
  if (PopupTarget) PopupTarget->openFind();
}

}  // namespace kvl
