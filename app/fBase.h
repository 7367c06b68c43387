// The main window: port selection, line settings, TCP link, console,
// one-click commands and command lines.
#pragma once

#include <netinet/in.h>

#include <QMargins>
#include <QWidget>
#include <array>
#include <map>
#include <memory>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/LinkSession.h"
#include "commands/CommandHistory.h"
#include "commands/Commands.h"

class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QMenu;
class QAction;
class QPushButton;
class QRadioButton;
class QScrollArea;
class QSocketNotifier;
class QStatusBar;
class QTimer;

namespace kvl {

class ConsolePane;
class FrameClock;
class SockEventMsg;
class TSimSetform;
class TSpinEdit;

class TBaseform : public QWidget {
  Q_OBJECT
 public:
  explicit TBaseform(QWidget* parent = nullptr);
  ~TBaseform() override;

  // The SIM settings window, created after the main window at start-up.
  void setSimSetform(TSimSetform* form) { simSetform_ = form; }
  TSimSetform* simSetform() const { return simSetform_; }

  // Console (the only way text reaches the panes). An append never moves
  // the keyboard focus; a click into a pane focuses it. What the text pane
  // shows also goes to the session log while one is open.
  bool AppendText(std::uint32_t colour, const std::string& text);
  bool AppendHex(std::uint32_t colour, const std::string& text);
  // A grey line of the window's own (a report, an echo): it starts on a
  // line of its own, after a line break when the pane's text stops
  // mid-line. The device's text is left as it came.
  bool AppendReport(const std::string& text);

  QString panelText(int panel) const;
  QString panelText(Panel panel) const { return panelText(int(panel)); }
  void setPanelText(Panel panel, const QString& text);

  // Places the window in an available screen area (without panels and
  // taskbar): outer size 970 x 729 with the frame the window manager draws,
  // cut to the area where that is smaller, centred in it. The first showing
  // places it on its screen.
  void placeWindow(const QRect& available);

  // Start-up and the timer.
  void FormCreate();
  void FormActivate();
  void FormClose();
  void TimerTimer();

  // Serial link.
  // A line setting changed: a port that refused the settings before may
  // take these, and its hint no longer gives that reason.
  void lineSettingsChanged();
  // One tick of the port scan.
  void cNewComPort();
  void BtnComClick(QObject* sender);
  void ChBxDTRClick();
  void ChBxRTSClick();
  void ChBxFullComClick();
  void RxRender();
  void ComWriteText(const std::string& text);

  // TCP link.
  bool IniSock();
  void ChBxIniNetClick();
  void ChBxIPsClickCheck(QListWidgetItem* item);
  void ChBxIPsClick();
  void ChBxS1ConnClick();
  void SockEvent(const SockEventMsg& msg);
  void SockSendText(const std::string& text);

  // Commands.
  void RouteCommand(const std::string& text);
  void BtnSendCmdClick();
  void ChBxDwlClick();
  void ChpCSDClick();
  // Handler of WM_COM_SEND: sends the SIM settings window's pending command.
  void sendPendingCommand();
  // A one-click button: its command, composed from the fields as they
  // stand, to the send operation of its route; "Sim Set" then opens the SIM
  // settings window.
  void oneClickClick(OneClick id);
  // The button the window built from the row of id.
  QPushButton* oneClickButton(OneClick id) const { return oneClickButtons_.at(id); }
  void BtnSimSetClick();
  void BtnRestartClick() { oneClickClick(OneClick::Restart); }

  // Settings.
  bool LoadSettings();

  // Console handlers.
  void ButtonResetClick();
  void PopupMenuPopup();
  void itemUndoClick();
  void itemCutClick();
  void itemCopyClick();
  void itemPasteClick();
  void itemDeleteClick();
  void itemSelectAllClick();
  void itemFindClick();

  // Keys of the command lines: Enter sends line n, Up and Down walk through
  // the lines sent in this session.
  void commandLineEnter(int n);
  void commandLineHistory(int n, bool older);
  const CommandHistory& commandHistory() const { return commandHistory_; }

  // The session log, while a link is open and the settings file names one.
  const SessionLog& sessionLog() const { return session_->log(); }

  // --- Controls, named as their objectName. ---
  QWidget* VPanel = nullptr;
  ConsolePane* cRichEd = nullptr;
  ConsolePane* bRichEd = nullptr;
  QFrame* cVPanel = nullptr;
  QCheckBox* ChBxVhex = nullptr;
  QPushButton* ButtonReset = nullptr;
  QCheckBox* ChBxVtim = nullptr;

  QWidget* sPanel = nullptr;
  QGroupBox* GrBxIni = nullptr;
  QGroupBox* GroupBoxControls = nullptr;
  QFrame* pNCom = nullptr;
  QFrame* pDcbCom = nullptr;
  QFrame* pDcbFCom = nullptr;
  std::array<QPushButton*, 17> BtnCom{};  // 1..16
  QCheckBox* ChBxScan = nullptr;
  QCheckBox* ChBxFullCom = nullptr;
  QComboBox* CBBaudrate = nullptr;
  QLabel* LbBrate = nullptr;
  QComboBox* CBStopBits = nullptr;
  QComboBox* CBParity = nullptr;
  TSpinEdit* SpEdXonLim = nullptr;
  TSpinEdit* SpEdXoffLim = nullptr;
  TSpinEdit* SpEdByteSize = nullptr;
  TSpinEdit* SpEdXonChar = nullptr;
  TSpinEdit* SpEdXoffChar = nullptr;
  TSpinEdit* SpEdErrorChar = nullptr;
  TSpinEdit* SpEdEofChar = nullptr;
  TSpinEdit* SpEdEvtChar = nullptr;
  QLabel* LbXonLim = nullptr;
  QLabel* LbXoffLim = nullptr;
  QLabel* LbByteSize = nullptr;
  QLabel* LbXonChar = nullptr;
  QLabel* LbXoffChar = nullptr;
  QLabel* LbErrorChar = nullptr;
  QLabel* LbEofChar = nullptr;
  QLabel* LbEvtChar = nullptr;
  QCheckBox* ChBxParity = nullptr;
  QCheckBox* ChBxCtsFlow = nullptr;
  QCheckBox* ChBxDsrFlow = nullptr;
  QComboBox* CBcDtr = nullptr;
  QCheckBox* ChBxDsrSensitivity = nullptr;
  QCheckBox* ChBxTXContinueOnXoff = nullptr;
  QCheckBox* ChBxOutX = nullptr;
  QCheckBox* ChBxInX = nullptr;
  QCheckBox* ChBxErrorChar = nullptr;
  QCheckBox* ChBxNull = nullptr;
  QComboBox* CBcRts = nullptr;
  QCheckBox* ChBxAbortOnError = nullptr;
  QCheckBox* ChBxDTR = nullptr;
  QCheckBox* ChBxRTS = nullptr;

  QGroupBox* GrBxS1 = nullptr;
  QLabel* LHostIp = nullptr;
  QListWidget* ChBxIPs = nullptr;
  QLabel* LHostPort = nullptr;
  QLineEdit* EdtSPort = nullptr;
  QLabel* LRemHost = nullptr;
  QLineEdit* edtRHost = nullptr;
  QLabel* LRemPort = nullptr;
  QLineEdit* EdtRPort = nullptr;
  QCheckBox* ChBxIniNet = nullptr;
  QCheckBox* ChBxS1Conn = nullptr;

  QGroupBox* GrBxCmd = nullptr;
  QLineEdit* EdApn1 = nullptr;
  QLineEdit* EdLogin1 = nullptr;
  QLineEdit* EdPassw1 = nullptr;
  QLineEdit* EdApn2 = nullptr;
  QLineEdit* EdLogin2 = nullptr;
  QLineEdit* EdPassw2 = nullptr;
  QComboBox* CBConfBaud = nullptr;
  QLineEdit* EdtConfPort = nullptr;
  QComboBox* CBConfBaud2 = nullptr;
  QLineEdit* EdtConfPort2 = nullptr;
  QLabel* LReport = nullptr;
  QFrame* GrBxRep = nullptr;
  QLabel* LRepIP = nullptr;
  QLineEdit* edtRepHost = nullptr;
  QLabel* LRepPort = nullptr;
  QLineEdit* edtRepPort = nullptr;

  QGroupBox* GrBxCmdL = nullptr;
  std::array<QLineEdit*, 6> EdCmdLn{};     // 1..5
  std::array<QRadioButton*, 6> S1RB{};     // 1..5
  QCheckBox* ChBxDwl = nullptr;
  QCheckBox* ChpCSD = nullptr;
  QCheckBox* ChBxCR1 = nullptr;
  QCheckBox* ChBxLF1 = nullptr;
  QPushButton* BtnSendCmd = nullptr;

  QFrame* iPanel = nullptr;
  QStatusBar* StatusBar = nullptr;
  std::array<QLabel*, 10> StatusPanels{};
  QScrollArea* sPanelScroll = nullptr;  // holds sPanel; scrolls on a low screen
  QTimer* Timer = nullptr;  // the frame clock's tick
  QMenu* PopupMenu = nullptr;
  QAction* itemUndo = nullptr;
  QAction* N2 = nullptr;
  QAction* itemCut = nullptr;
  QAction* itemCopy = nullptr;
  QAction* itemPaste = nullptr;
  QAction* itemDelete = nullptr;
  QAction* N7 = nullptr;
  QAction* itemSelectAll = nullptr;
  QAction* N9 = nullptr;
  QAction* itemFind = nullptr;
  ConsolePane* PopupTarget = nullptr;

  // Controls switched as a whole.
  QList<QWidget*> SerialCommandControls;  // 32
  QList<QWidget*> NetCommandControls;     // 24
  QList<QWidget*> NetCloseControls;       // 25
  QList<QWidget*> DcbControls;            // 30

  // The links' session; the TCP link's state, as its connection holds it:
  // an address is chosen, the client socket (0: none), the chosen local
  // address.
 private:
  std::unique_ptr<LinkSession> session_;

 public:
  const bool& LocalAddrChosen;
  const int& ClientSock;
  const sockaddr_in& LocalAddr;

  // Bytes waiting to go out on the serial link and on the TCP link.
  std::size_t comWaiting() const { return session_->comWaiting(); }
  std::size_t sockWaiting() const { return session_->sockWaiting(); }

  // How many times LoadSettings ran (start-up reads the file twice).
  int loadSettingsCount() const { return loadSettingsCount_; }

 protected:
  void customEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void buildLayout();
  void buildPortGroup();
  void buildSocketGroup();
  void buildCommandGroup();
  void buildOneClickButtons();
  void sendOneClick(OneClick id);
  void buildCommandLineGroup();
  void buildStatusBar();
  void buildPopupMenu();
  void buildControlSets();
  void connectHandlers();
  void showPopup(ConsolePane* pane, const QPoint& pos);
  // What the controls say to the session.
  // What the link session reads of the controls (the port controls' line
  // settings only withLine).
  LinkControls controls(bool withLine = true) const;
  ConnectFields connectFields() const;
  // Calls the session and shows what it says; what a call cut short by an
  // exception said is shown all the same.
  template <class Call>
  void act(Call&& call) {
    Steps steps;
    try {
      steps = call();
    } catch (...) {
      render(session_->takeSteps());
      throw;
    }
    render(steps);
  }
  void render(const Steps& steps);
  void renderStep(const Step& step);
  void switchControl(const Step& step);
  // The hint of port button n: its device, why it is unavailable (when the
  // problem says so) and the adapter behind it.
  void showPortHint(int n, const PortProblem& problem);
  // The modem-line panels of a batch's line events: every counted change
  // is shown, one state per turn of the event loop (showLineStep), so that
  // a short pulse is drawn too and the changes keep their order.
  void showLineEvents(const Step& batch);
  void showLineStep();
  struct LineStep {
    Panel panel;
    QString text;
  };
  std::vector<LineStep> lineSteps_;  // states still to show, oldest first
  bool lineStepDue_ = false;          // showLineStep is queued
  void loadSettingsInto();
  // The port's writability (fd) flushes its queue while on.
  void watchComWrite(bool on, int fd);
  // The readiness of the client socket becomes the link's events.
  void watchClientSock(bool on, int sock);
  void watchSendQueues();

  // The client geometry that placeWindow gives, with the frame the window
  // has now; settlePlacement keeps to it while a window manager frames the
  // new window.
  QMargins frameMargins() const;
  QRect placedGeometry(const QRect& available) const;
  void settlePlacement();
  QTimer* settleTimer_ = nullptr;

  TSimSetform* simSetform_ = nullptr;
  bool firstShowDone_ = false;
  int loadSettingsCount_ = 0;
  std::string settingsProblem_;  // what the last load said about the file
  // Readiness of ClientSock, turned into the link's events; the port's
  // writability; the timer that reports a link that stopped taking data.
  QSocketNotifier* readNotifier_ = nullptr;
  QSocketNotifier* writeNotifier_ = nullptr;
  QSocketNotifier* comWriteNotifier_ = nullptr;
  QTimer* sendWatch_ = nullptr;
  FrameClock* frameClock_ = nullptr;
  std::map<OneClick, QPushButton*> oneClickButtons_;  // one per button row of OneClickGroup
  CommandHistory commandHistory_;
  std::array<CommandHistory::Walk, 6> historyWalks_{};  // one per command line, 1..5
};

}  // namespace kvl
