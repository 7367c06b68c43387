// Start-up, closing, the timer, the window's own messages, the console
// handlers and the session log.
#include <QAbstractItemView>
#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
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
  buildDcbFromControls(ComPort);
  CheckComPort();
  buildDcbFromControls(ProbePort);
  Timer->start();
  Guarded([&] { LoadSettings(); });
}

void TBaseform::FormActivate() {
  Guarded([&] { LoadSettings(); });
}

void TBaseform::FormClose() {
  // A connected link is ended; an open serial port is left to the end of
  // the program (the destructor), but what it received is shown and
  // logged now, while the log is still open.
  if (ChBxS1Conn->isChecked() && ClientSock != 0) closeClientSock(true);
  showComRest();
  endSessionLog(kLogSerial);
}

TBaseform::~TBaseform() {
  // The reader posts to this window: it ends, and the port gets its
  // settings back, before the window goes. What waits to be sent goes
  // with the window.
  delete comWriteNotifier_;
  comWriteNotifier_ = nullptr;
  comQueue_.drop();
  ComClose(ComPort);
  closeClientSock(false);  // drops what waits to be sent, unsaid
}

void TBaseform::TimerTimer() {
  if (ChBxScan->isChecked()) cNewComPort();
  if (RxQuietTicks > 0) {
    --RxQuietTicks;
    return;
  }
  if (simSetform_) simSetform_->ParseDeviceReply(RxText);
}

// An append never moves the keyboard focus: the pane follows its end
// without it, and the engineer keeps working with the keyboard (typing,
// tabbing through the buttons) while the device talks.
void TBaseform::showReception(const RxShown& shown) {
  if (!shown.hex.empty()) AppendHex(kGrey, shown.hex);
  AppendText(kNavy, shown.text);
  NoteReception(shown.rxText);
}

bool TBaseform::AppendText(std::uint32_t colour, const std::string& text) {
  if (!sessionLog_.isOpen()) {
    cRichEd->appendRun(colour, text);
    return true;
  }
  std::string shown;
  cRichEd->appendRun(colour, text, &shown);
  if (!shown.empty() && !sessionLog_.write(shown)) sessionLogFailed();
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

void TBaseform::startSessionLog(LogLink link, const std::string& linkName) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  if (sessionLog_.isOpen()) {
    // A second link opens while the first is logged: its session starts
    // in the same file.
    logLinks_ |= link;
    if (!sessionLog_.write(SessionLogHeader(local, linkName))) sessionLogFailed();
    return;
  }
  const std::string setting = LogFileFromSettingsFile(SettingsFileName());
  if (setting.empty()) return;
  // The setting is Windows-1251 text; file names are in the locale's encoding.
  const QByteArray name = FromCp1251(setting).toLocal8Bit();
  const std::string path = SessionLogPath(std::string_view(name.constData(), size_t(name.size())),
                                          SettingsFileName(), local);
  if (!sessionLog_.open(path, SessionLogHeader(local, linkName))) return sessionLogFailed();
  logLinks_ |= link;
}

void TBaseform::endSessionLog(LogLink link) {
  logLinks_ &= ~unsigned(link);
  if (logLinks_ == 0) sessionLog_.close();
}

void TBaseform::sessionLogFailed() {
  // Logging stops until a link opens again; the link itself carries on.
  sessionLog_.close();
  logLinks_ = 0;
  const std::string& path = sessionLog_.path();
  AppendReport(" Log file " + LocaleToCp1251(path) + ": " + LocaleToCp1251(sessionLog_.error()) +
                        "\r\n");
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
