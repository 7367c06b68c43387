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

#include "app/SessionLog.h"
#include "commands/CommandHistory.h"
#include "commands/Commands.h"
#include "core/SendQueue.h"
#include "serial/uCom.h"

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
class TcpConnection;
struct RxShown;

// The status bar's panels that show something, by their place in the bar
// (panels 1, 2 and 9 stay empty).
enum class Panel : int { Dcd = 0, Dtr = 3, Dsr = 4, Rts = 5, Cts = 6, Ri = 7, Port = 8 };

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
  // ComBuildDcb of the record with the line settings of the port controls.
  void buildDcbFromControls(TComPort& port);
  // The line settings the port controls stand for now.
  Dcb lineSettings() const;
  // A line setting changed: a port that refused the settings before may
  // take these, and its hint no longer gives that reason.
  void lineSettingsChanged();
  void CheckComPort();
  void cNewComPort();
  void BtnComClick(QObject* sender);
  void ChBxDTRClick();
  void ChBxRTSClick();
  void ChBxFullComClick();
  void RxRender();
  // Shows a block taken from the serial port by the serial text rule.
  void showComBytes(const std::string& bytes);
  // Shows what the open port received and has not shown yet; the port
  // stays open (its reader ends).
  void showComRest();
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
  const SessionLog& sessionLog() const { return sessionLog_; }

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

  // The TCP link's state, as the connection object holds it: an address
  // is chosen, the client socket (0: none), the chosen local address.
 private:
  std::unique_ptr<TcpConnection> tcp_;

 public:
  const bool& LocalAddrChosen;
  const int& ClientSock;
  const sockaddr_in& LocalAddr;

  // Bytes waiting to go out on the serial link and on the TCP link.
  std::size_t comWaiting() const { return comQueue_.waiting(); }
  std::size_t sockWaiting() const;

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
  void closeOnHangUp();
  // Clears the panels of the lines DTR, DSR, RTS and CTS.
  void clearLinePanels();
  // The modem-line panels of a batch's line events: every counted change
  // is shown, one state per turn of the event loop (showLineStep), so that
  // a short pulse is drawn too and the changes keep their order.
  void showLineEvents(std::uint32_t events, const std::uint32_t (&changes)[4], int states);
  void showLineStep();
  struct LineStep {
    Panel panel;
    QString text;
  };
  std::vector<LineStep> lineSteps_;  // states still to show, oldest first
  bool lineStepDue_ = false;          // showLineStep is queued
  void loadSettingsInto();
  // The hint of port button n: its device, why it is unavailable (when the
  // problem says so) and the adapter behind it.
  void showPortHint(int n, const PortProblem& problem);
  // showPortHint, and the first lack of permission of a port in the pane.
  // A port that refuses the line settings is remembered with them.
  void notePortProblem(int n, const PortProblem& problem);
  // After an opening of port n with the window's settings: whether they
  // were refused, and which they were.
  void noteRefusal(int n);
  // The problem a port's hint keeps while the scan finds the port: the
  // refusal of the line settings that the controls still hold.
  PortProblem keptPortProblem(int n) const;
  // Closes the open port: what it received is shown, the command under
  // way may finish, and what did not go out is said.
  bool closeComPort();
  // Says what a link's end left unsent: the commands that waited, the
  // bytes its driver threw away, a command cut in the middle.
  void reportUnsent(SendQueue& queue, const std::string& who, std::size_t discarded, const char* peer);
  bool readPortField(QLineEdit* field, sockaddr_in& addr, bool advance);
  // Releases the client socket (shut down first when shutdown is true):
  // its notifiers, what waits to be sent (said in the pane), the log.
  void closeClientSock(bool shutdown);
  void watchClientSock();
  // The branches of ChBxS1ConnClick and the steps of connecting; a step
  // that fails has said why and unchecked "Connect".
  void refuseConnect();
  void disconnectClient();
  void connectClient();
  bool openClient();
  bool bindClient();
  bool aimClient();
  void startConnect();
  // The three events of SockEvent and the outcomes of the connect event.
  void sockReadable();
  void sockConnected();
  void sockClosed();
  void tcpConnected();
  void tcpConnectFailed(int error);
  // A reception of either link, as Receive rendered it: the hex pane, the
  // text pane, RxText and the countdown.
  void showReception(const RxShown& shown);
  // A connect step failed: the socket is released and "Connect" unchecked,
  // so that the next check tries again.
  void failConnectStep();
  // The outgoing queues: written whenever the port or socket takes data,
  // dropped (with how much, in the pane) when the link ends.
  // False, with the refusal said, when the queue cannot take the command.
  bool queueCommand(SendQueue& queue, const std::string& who, const std::string& wire);
  void flushComQueue();
  void flushSockQueue();
  void watchSendQueues();
  std::string comName() const;
  // The links a session log serves; it closes when neither is open.
  enum LogLink : unsigned { kLogSerial = 1, kLogTcp = 2 };
  void startSessionLog(LogLink link, const std::string& linkName);
  void endSessionLog(LogLink link);
  void sessionLogFailed();

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
  // Readiness of ClientSock, turned into the link's events.
  QSocketNotifier* readNotifier_ = nullptr;
  QSocketNotifier* writeNotifier_ = nullptr;
  // Commands waiting for the serial port and for the server; the port's
  // writability; the timer that reports a link that stopped taking data.
  SendQueue comQueue_;
  QSocketNotifier* comWriteNotifier_ = nullptr;
  QTimer* sendWatch_ = nullptr;
  FrameClock* frameClock_ = nullptr;
  std::vector<int> comWriteFailSaid_;  // errors of writes said since the port opened
  std::array<bool, 17> permissionReported_{};  // per port, 1..16
  // Per port, 1..16: the line settings it refused when last opened with
  // the window's settings, until they change.
  std::array<std::optional<Dcb>, 17> refusedSettings_{};
  SessionLog sessionLog_;
  unsigned logLinks_ = 0;
  std::map<OneClick, QPushButton*> oneClickButtons_;  // one per button row of OneClickGroup
  CommandHistory commandHistory_;
  std::array<CommandHistory::Walk, 6> historyWalks_{};  // one per command line, 1..5
};

}  // namespace kvl
