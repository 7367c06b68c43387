// The link session: which link owns the device (ActiveLink), the port scan,
// selecting and closing a serial port, a device that goes away under an open
// port, the TCP connect sequence and its events, the two send queues and the
// session log. Plain C++: it drives the link objects (serial/uCom,
// net/TcpConnection, core/SendQueue, app/Reception, app/SessionLog) and
// returns what the window is to show as Steps, in the order it is shown. The
// window reads its controls into LinkControls, calls one function and
// renders the steps; it decides nothing of the links itself.
#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "app/SessionLog.h"
#include "commands/Commands.h"
#include "core/SendQueue.h"
#include "net/TcpConnection.h"
#include "serial/uCom.h"

namespace kvl {

// The status bar's panels that show something, by their place in the bar
// (panels 1, 2 and 9 stay empty).
enum class Panel : int { Dcd = 0, Dtr = 3, Dsr = 4, Rts = 5, Cts = 6, Ri = 7, Port = 8 };

// The controls (or sets of them) a step switches.
enum class Control : std::uint8_t {
  PortButton,      // the button of port n
  SerialCommands,  // the command controls of the serial link
  NetCommands,     // the command controls of the TCP link
  NetClose,        // the controls a closed connection switches off
  Dtr,             // the DTR box
  Rts,             // the RTS box
  Connect,         // the "Connect" box
};

// One thing the window shows or does, in the order the session says it.
struct Step {
  enum Kind : std::uint8_t {
    Text,           // text in colour to the text pane
    Report,         // a grey line of the window's own (AppendReport)
    Hex,            // text in colour to the hex pane
    PanelText,      // panel shows text (UTF-8)
    Enable,         // control (n for a port button) enabled when on
    Check,          // control (n for a port button) checked when on
    Hint,           // the hint of port n: its device and problem
    ErrorBox,       // an error box: text (UTF-8) and detail (the locale's text)
    SourcePort,     // the source-port field shows text
    LineEvents,     // modem-line changes of a batch: lineEvents, lineChanges,
                    // lineStates, and in n the modem status read with them
    ForgetLines,    // the line states still to show belong to a closed port
    ComWriteWatch,  // on: the port's writability flushes the queue; off: not
    SendWatch,      // on: the timer that reports a stalled queue runs; off: stops
    WatchSocket,    // on: readiness notifiers (off) for socket n; off: none
    ArmRead,        // the socket's read notifier is on again
    ArmWrite,       // the socket's write notifier is on again
    PostSockEvent,  // event (FD_*) of socket n with error, posted
    ParseReply,     // the reply parser gets RxText
    LogOpen,        // the session log opens: file text, header detail
    LogWrite,       // a second link's header text goes to the open log
    LogClose,       // the session log closes
  };
  Kind kind = Text;
  std::uint32_t colour = 0;
  std::string text{};
  std::string detail{};
  Panel panel = Panel::Port;
  Control control = Control::PortButton;
  int n = 0;
  bool on = false;
  int event = 0;
  int error = 0;
  PortProblem problem{};
  std::uint32_t lineEvents = 0;
  std::uint32_t lineChanges[kLineCount] = {};
  int lineStates = -1;
};
using Steps = std::vector<Step>;

// What the window's controls say when a call is made.
struct LinkControls {
  LineSettings line;            // the line settings of the port controls
  bool netOn = false;           // "Check Net"
  bool connectChecked = false;  // "Connect"
  bool viewHex = false;         // "View hex"
  bool viewTime = false;        // "View time"
  bool csd = false;             // "pCSD"
  bool scan = false;            // "Scan"
};

// The fields a connect reads, as the engineer typed them (UTF-8).
struct ConnectFields {
  std::string sourcePort;
  std::string remoteHost;
  std::string remotePort;
};

// One line of the local address list.
struct AddressLine {
  std::string text;  // Windows-1251
  bool ticked = false;
};

// What a click into the address list leaves in it.
struct AddressChoice {
  enum Kind { Untick, KeepChosen } kind = Untick;
  std::vector<bool> keep;  // KeepChosen: the lines that stay; the others go blank
};

class LinkSession {
 public:
  // post tells the window that the serial reader has something to take.
  explicit LinkSession(std::function<void()> post);
  ~LinkSession();
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;

  // --- Serial link.
  // Start-up: the records get the line settings and every port is probed.
  Steps start(const LinkControls& c);
  // The press on port button n: selects, deselects or switches ports.
  Steps selectPort(int n, const LinkControls& c);
  // A line setting changed: a port that refused the settings before may
  // take these.
  Steps lineSettingsChanged(const LinkControls& c);
  // The DTR or RTS box shows on.
  Steps setLine(Control line, bool on);
  // The reader has bytes, line events or the device's going away.
  Steps comReceived(const LinkControls& c) {
    return comReceived(c, [&c] { return c; });
  }
  // The same, for a window whose controls cost a read: view holds the
  // boxes only (the line settings left as they are), and readAll reads
  // every control, which only closing a port that went away needs.
  Steps comReceived(const LinkControls& view, const std::function<LinkControls()>& readAll);
  // The port takes data again.
  Steps flushCom();
  // One tick of the port scan: the next port is probed while no link owns
  // the device.
  Steps scan(const LinkControls& c);
  bool comOpen() const { return ComPort.Handle >= 0; }
  // The scan probes a port at the next tick (when it is on): no link owns
  // the device.
  bool scanProbes() const;
  // The last take found the ring full: the driver most likely holds more,
  // which the reader hands over within a moment of the take.
  bool comMoreComing() const { return comRingWasFull_; }

  // --- The timer's tick: the scan, and the reply parser once the device
  // has been quiet for RxQuietTicks ticks.
  Steps tick(const LinkControls& c);

  // --- Sending: a command to the link of route; Link::None sends nothing.
  Steps send(const std::string& text, Link route, const LinkControls& c);
  // A queue that stopped taking data is said; the watch stops when both
  // queues are empty.
  Steps watchQueues();

  // --- TCP link.
  // The local address list, with the line of a socket open from the chosen
  // address ticked (added when its interface has gone); none when the
  // system refuses sockets.
  Steps listAddresses(std::optional<std::vector<AddressLine>>& lines);
  // A click into the address list, with the lines as they stand now.
  Steps chooseAddress(const std::vector<AddressLine>& lines, const std::string& sourcePort,
                      const LinkControls& c, AddressChoice& choice);
  // "Connect" changed.
  Steps connectToggled(const ConnectFields& fields, const LinkControls& c);
  // An event of socket sock (FD_READ, FD_CONNECT, FD_CLOSE).
  Steps sockEvent(int sock, int event, const LinkControls& c);
  // The client socket is writable.
  Steps sockWritable();

  // --- The window closes: a connected link ends, what the port received is
  // shown and the serial session's log ends.
  Steps close(const LinkControls& c);
  // The window goes: the port closes, what waits is dropped unsaid.
  void end();

  // --- The session log: what the text pane showed. The log opens and
  // closes in turn with what is shown: the window hands the Log steps back
  // when it comes to them.
  bool logOpen() const { return log_.isOpen(); }
  Steps logShown(const std::string& shown);
  Steps applyLog(const Step& step);
  const SessionLog& log() const { return log_; }

  // The steps a call left when it was cut short by an exception.
  Steps takeSteps();

  TcpConnection& tcp() { return tcp_; }
  std::size_t comWaiting() const { return comQueue_.waiting(); }
  std::size_t sockWaiting() const { return tcp_.queue().waiting(); }

 private:
  // What a call shows.
  void say(std::uint32_t colour, const std::string& text);
  void report(const std::string& text);
  void panel(Panel p, const std::string& text);
  void control(Step::Kind kind, Control c, bool on, int n = 0);
  void errorBox(const std::string& utf8, const std::string& detail = {});
  void add(Step step) { steps_.push_back(std::move(step)); }

  // Serial.
  // Every port probed with the record's settings, its button switched once.
  void probeAll();
  // The press on port n's button (selectPort), also for a hang-up.
  void pressPort(int n, const LinkControls& c);
  void flushComQueue();
  void scanNext(const LinkControls& c);
  void deselect();
  void openSelected(int n, const LinkControls& c);
  void notSelected(int n);
  void clearLinePanels();
  // The device went away under the open port.
  void hangUp(const LinkControls& c);
  // A block taken from the port, by the serial reception rule.
  void showComBytes(const std::string& bytes, const LinkControls& c);
  // Closes the open port: what it received is shown, the command under way
  // may finish, and what did not go out is said.
  bool closeComPort(const LinkControls& c);
  void sendCom(const std::string& text, const LinkControls& c);
  // The hint of port n, and the first lack of permission of a port in the
  // pane.
  void notePortProblem(int n, const PortProblem& problem);
  // After an opening of port n with the window's settings: whether they
  // were refused, and which they were.
  void noteRefusal(int n);
  // The problem a port's hint keeps while the scan finds the port: the
  // refusal of the line settings that the controls still hold.
  PortProblem keptPortProblem(int n, const LineSettings& line) const;
  std::string comName() const;

  // TCP.
  void sendTcp(const std::string& text, const LinkControls& c);
  void flushSock();
  bool readPortField(const std::string& text, sockaddr_in& addr, bool advance);
  // Releases the client socket (shut down first when shutdown is true):
  // its notifiers, what waits to be sent (said), the log.
  void closeClientSock(bool shutdown);
  void disconnectClient();
  void connectClient(const ConnectFields& fields);
  bool openClient();
  bool bindClient(const ConnectFields& fields);
  bool aimClient(const ConnectFields& fields);
  void startConnect();
  void failConnectStep();
  void sockReadable(const LinkControls& c);
  void sockConnected();
  void tcpConnected();
  void tcpConnectFailed(int error);
  void sockClosed();

  // Both links.
  // Says what a link's end left unsent: the commands that waited, the bytes
  // its driver threw away, a command cut in the middle.
  void reportUnsent(SendQueue& queue, const std::string& who, std::size_t discarded, const char* peer);
  // False, with the refusal said, when the queue cannot take the command.
  bool queueCommand(SendQueue& queue, const std::string& who, const std::string& wire);
  enum LogLink : unsigned { kLogSerial = 1, kLogTcp = 2 };
  void startLog(LogLink link, const std::string& linkName);
  void endLog(LogLink link);
  void logFailed();

  Steps steps_;  // what the call under way shows
  std::function<void()> post_;
  SendQueue comQueue_;
  bool comRingWasFull_ = false;  // the last take found the ring full
  std::vector<int> comWriteFailSaid_;           // errors of writes said since the port opened
  std::array<bool, 17> permissionReported_{};   // per port, 1..16
  std::array<bool, 17> portEnabled_{};          // per port, 1..16: its button is on
  // Per port, 1..16: the line settings it refused when last opened with the
  // window's settings, until they change.
  std::array<std::optional<LineSettings>, 17> refusedSettings_{};
  TcpConnection tcp_;
  SessionLog log_;
  unsigned logLinks_ = 0;
};

}  // namespace kvl
