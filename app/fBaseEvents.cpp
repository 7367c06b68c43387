// Start-up, closing, the timer, the window's own messages and the console
// handlers.
#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QTimer>

#include "app/ConsolePane.h"
#include "app/FrameClock.h"
#include "app/SpinEdit.h"
#include "app/fBase.h"
#include "simset/fSimSet.h"
#include "ui/ErrorReporter.h"
#include "ui/WindowMessages.h"

namespace kvl {

void TBaseform::connectHandlers() {
  auto on = [this](auto* sender, auto signal, auto handler) {
    QObject::connect(sender, signal, this, [this, handler]() { Guarded([&] { (this->*handler)(); }); });
  };
  on(frameClock_, &FrameClock::ticked, &TBaseform::TimerTimer);
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
  // The line settings are read only for a tick whose scan probes a port.
  act([&] { return session_->tick(controls(session_->scanProbes())); });
}

void TBaseform::watchSendQueues() {
  act([&] { return session_->watchQueues(); });
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
