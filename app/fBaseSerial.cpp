// The engineer's side of the serial link: probing and scanning the ports,
// the port buttons, the DTR and RTS boxes, "Full", sending and the receive
// path into the panes.
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QStringList>
#include <QTextDocument>
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <iterator>

#include "app/PortHint.h"
#include "app/Reception.h"
#include "app/RxDisplay.h"
#include "app/SpinEdit.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "net/TcpConnection.h"
#include "ui/ErrorReporter.h"
#include "commands/Commands.h"
#include "core/Colours.h"
#include "core/Cp1251.h"
#include "core/Hex.h"
#include "serial/PortUse.h"
#include "serial/uCom.h"
#include "ui/QtText.h"
#include "ui/WindowMessages.h"

namespace kvl {
namespace {

std::string Num(int n) { return std::to_string(n); }

// Time stamp of a received burst: the locale's time format, no date.
std::string TimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return RxTimeStamp(local);
}

PortControls ControlsOf(const TBaseform& f) {
  PortControls c;
  c.baudText = ToCp1251(f.CBBaudrate->currentText());
  c.parityIndex = f.CBParity->currentIndex();
  c.stopBitsIndex = f.CBStopBits->currentIndex();
  c.parity = f.ChBxParity->isChecked();
  c.ctsFlow = f.ChBxCtsFlow->isChecked();
  c.dsrFlow = f.ChBxDsrFlow->isChecked();
  c.dsrSensitivity = f.ChBxDsrSensitivity->isChecked();
  c.txContinueOnXoff = f.ChBxTXContinueOnXoff->isChecked();
  c.outX = f.ChBxOutX->isChecked();
  c.inX = f.ChBxInX->isChecked();
  c.errorChar = f.ChBxErrorChar->isChecked();
  c.nullDiscard = f.ChBxNull->isChecked();
  c.abortOnError = f.ChBxAbortOnError->isChecked();
  c.dtrText = ToCp1251(f.CBcDtr->currentText());
  c.rtsText = ToCp1251(f.CBcRts->currentText());
  c.xonLim = f.SpEdXonLim->currentValue();
  c.xoffLim = f.SpEdXoffLim->currentValue();
  c.byteSize = f.SpEdByteSize->currentValue();
  c.xonChar = f.SpEdXonChar->currentValue();
  c.xoffChar = f.SpEdXoffChar->currentValue();
  c.errorCharValue = f.SpEdErrorChar->currentValue();
  c.eofChar = f.SpEdEofChar->currentValue();
  c.evtChar = f.SpEdEvtChar->currentValue();
  return c;
}

}  // namespace

void TBaseform::buildDcbFromControls(TComPort& port) { ComBuildDcb(port, ControlsOf(*this)); }

Dcb TBaseform::lineSettings() const { return BuildDcb(ControlsOf(*this)); }

void TBaseform::showPortHint(int n, const PortProblem& problem) {
  // First line the device; then why it is unavailable, if it is; then the
  // adapter's own name and its stable by-id name, which tell two adapters
  // apart when their numbers swap.
  const std::string path = ComDevicePath(n);
  QString hint;
  if (path.empty()) {
    hint = QStringLiteral("COM %1: no device").arg(n);
  } else {
    const PortAdapter adapter = DescribePortAdapter(path);
    QStringList lines{FromCp1251(path)};
    if (problem.fault != PortFault::None) lines << QString::fromLocal8Bit(PortProblemText(problem, adapter));
    if (adapter.usb) lines << QString::fromUtf8(PortAdapterText(adapter));
    if (!adapter.byId.empty()) lines << QString::fromUtf8(adapter.byId);
    hint = lines.join(QLatin1Char('\n'));
  }
  // Names from the system and the settings file are shown as they are,
  // never read as markup.
  if (Qt::mightBeRichText(hint)) hint = Qt::convertFromPlainText(hint, Qt::WhiteSpaceNormal);
  BtnCom[size_t(n)]->setToolTip(hint);
}

void TBaseform::notePortProblem(int n, const PortProblem& problem) {
  showPortHint(n, problem);
  // A missing group membership is what a new user most likely meets; it is
  // said once per port where it cannot be missed.
  if (problem.fault == PortFault::NoPermission && !permissionReported_[size_t(n)]) {
    permissionReported_[size_t(n)] = true;
    AppendReport(" COM " + Num(n) + ": " + LocaleToCp1251(PortProblemText(problem, {})) + "\r\n");
  }
}

void TBaseform::noteRefusal(int n) {
  if (ComPort.problem.fault == PortFault::Refused)
    refusedSettings_[size_t(n)] = ComPort.Dcb;
  else
    refusedSettings_[size_t(n)].reset();
}

PortProblem TBaseform::keptPortProblem(int n) const {
  PortProblem problem;
  if (refusedSettings_[size_t(n)] && *refusedSettings_[size_t(n)] == lineSettings())
    problem.fault = PortFault::Refused;
  return problem;
}

void TBaseform::lineSettingsChanged() {
  for (int n = 1; n <= 16; ++n) {
    if (!refusedSettings_[size_t(n)] || keptPortProblem(n).fault == PortFault::Refused) continue;
    // The port was there and free when it refused: with other settings it
    // may be opened again.
    refusedSettings_[size_t(n)].reset();
    showPortHint(n, PortProblem{});
    if (ActiveLink != 0) BtnCom[size_t(n)]->setEnabled(true);
  }
}

void TBaseform::CheckComPort() {
  // Each button is switched once, to what its probe found: a button that
  // stays enabled keeps the keyboard focus.
  for (int n = 1; n <= 16; ++n) BtnCom[size_t(n)]->setChecked(false);
  for (int n = 1; n <= 16; ++n) {
    bool present = false;
    try {
      if (ComOpen(n, ComPort)) {
        ComClose(ComPort);
        present = true;
        refusedSettings_[size_t(n)].reset();
        showPortHint(n, PortProblem{});
      } else {
        notePortProblem(n, ComPort.problem);
        noteRefusal(n);
      }
    } catch (...) {
      // A port that cannot be probed counts as absent.
    }
    BtnCom[size_t(n)]->setEnabled(present);
  }
}

void TBaseform::cNewComPort() {
  if (ActiveLink != -1) return;
  const int k = ScanIndex;
  ScanIndex = ScanIndex >= 16 ? 1 : ScanIndex + 1;
  // A port of ours still open after the TCP link took over and let go
  // again: it is not probed, and its button stays usable to close it.
  if (ComPort.Handle >= 0 && ComPort.PortNumber == k) return;
  bool present = false;
  try {
    if (ComOpen(k, ProbePort)) {
      ComClose(ProbePort);
      // The scan's own settings are those of start-up: a port that refused
      // the window's settings stays off, and says why, while they stand.
      const PortProblem kept = keptPortProblem(k);
      present = kept.fault == PortFault::None;
      showPortHint(k, kept);
    } else {
      notePortProblem(k, ProbePort.problem);
    }
  } catch (...) {
  }
  // Switched once, so that a port button that stays enabled keeps the focus.
  BtnCom[size_t(k)]->setEnabled(present);
}

void TBaseform::BtnComClick(QObject* sender) {
  auto* button = qobject_cast<QPushButton*>(sender);
  const int n = button ? button->property("tag").toInt() : 0;
  if (n < 1 || n > 16 || BtnCom[size_t(n)] != button) return;

  for (QWidget* w : SerialCommandControls) w->setEnabled(false);
  if (ChBxIniNet->isChecked()) ChBxS1Conn->setEnabled(true);
  setPanelText(Panel::Port, QString());
  lineSteps_.clear();  // states of the lines of the port about to close

  if (ComPort.Handle >= 0) {
    setPanelText(Panel::Port, QStringLiteral(" COM closing"));
    const int m = ComPort.PortNumber;
    if (!closeComPort()) return;
    AppendReport(" COM " + Num(m) + " is closed\r\n");
    endSessionLog(kLogSerial);
    setPanelText(Panel::Port, QString());
  }
  buildDcbFromControls(ComPort);
  CheckComPort();

  auto notSelected = [this, n] {
    // A port that refused the line settings says so: the hint alone would
    // leave the engineer guessing.
    if (refusedSettings_[size_t(n)])
      AppendReport(" COM " + Num(n) + ": the port does not take these line settings\r\n");
    AppendReport(" COM not selected\r\n");
    setPanelText(Panel::Port, QStringLiteral(" COM not selected"));
  };
  auto clearLines = [this] {
    ChBxDTR->setChecked(false);
    ChBxRTS->setChecked(false);
    clearLinePanels();
  };

  if (ActiveLink == n) {  // the selected port's button: deselect
    ComPort.PortNumber = 0;
    ActiveLink = -1;
    ChBxDTR->setChecked(false);
    ChBxRTS->setChecked(false);
    AppendReport(" COM not selected\r\n");
    clearLinePanels();
    setPanelText(Panel::Port, QStringLiteral(" COM not selected"));
    return;
  }
  ActiveLink = n;
  if (!BtnCom[size_t(n)]->isEnabled()) {
    notSelected();
    ComPort.PortNumber = 0;
    ActiveLink = -1;
    return;
  }
  setPanelText(Panel::Port, QStringLiteral(" Opening COM"));
  try {
    ComOpen(n, ComPort);
  } catch (...) {
  }
  setPanelText(Panel::Port, QString());
  if (ComPort.Handle == -1) {
    notePortProblem(n, ComPort.problem);
    noteRefusal(n);
    clearLines();
    ComPort.PortNumber = 0;
    ActiveLink = -1;
    notSelected();
    return;
  }
  startSessionLog(kLogSerial, "COM " + Num(n) + " " + ComDevicePath(n) + " " +
                                  std::to_string(ComPort.Dcb.BaudRate));
  AppendReport(" COM " + Num(n) + " is active\r\n\r\n");
  setPanelText(Panel::Port, QStringLiteral(" COM %1 [active]").arg(n));
  BtnCom[size_t(n)]->setChecked(true);
  ChBxDTR->setChecked(true);
  setPanelText(Panel::Dtr, QStringLiteral("DTR"));
  ChBxRTS->setChecked(true);
  setPanelText(Panel::Rts, QStringLiteral("RTS"));
  const std::uint32_t status = ComModemStatus(ComPort);
  setPanelText(Panel::Dsr, status & MS_DSR_ON ? QStringLiteral("DSR") : QString());
  setPanelText(Panel::Cts, status & MS_CTS_ON ? QStringLiteral("CTS") : QString());

  if (!ComStartReader(ComPort, [this] { QCoreApplication::postEvent(this, new QEvent(WM_COM_RX)); })) {
    closeComPort();
    endSessionLog(kLogSerial);
    return;
  }
  for (QWidget* w : SerialCommandControls) w->setEnabled(true);
  if (ChBxIniNet->isChecked()) ChBxS1Conn->setEnabled(false);
}

void TBaseform::clearLinePanels() {
  for (Panel p : {Panel::Dtr, Panel::Dsr, Panel::Rts, Panel::Cts}) setPanelText(p, QString());
}

void TBaseform::ChBxDTRClick() {
  if (ComPort.Handle == -1) return;
  if (ChBxDTR->isChecked()) {
    ComEscape(ComPort, SETDTR);
    setPanelText(Panel::Dtr, QStringLiteral("DTR"));
  } else {
    ComEscape(ComPort, CLRDTR);
    setPanelText(Panel::Dtr, QString());
  }
}

void TBaseform::ChBxRTSClick() {
  if (ComPort.Handle == -1) return;
  if (ChBxRTS->isChecked()) {
    ComEscape(ComPort, SETRTS);
    setPanelText(Panel::Rts, QStringLiteral("RTS"));
  } else {
    ComEscape(ComPort, CLRRTS);
    setPanelText(Panel::Rts, QString());
  }
}

void TBaseform::ChBxFullComClick() {
  const bool full = ChBxFullCom->isChecked();
  for (QWidget* w : DcbControls) w->setEnabled(full);
}

void TBaseform::RxRender() {
  const RxBatch batch = ComTakeRx(ComPort);
  showComBytes(batch.bytes);
  if (batch.events & kLineEvents) showLineEvents(batch.events, batch.lineChanges, batch.lineStates);
  if (batch.hungUp) closeOnHangUp();
}

void TBaseform::showComBytes(const std::string& bytes) {
  // Each block the window takes is stamped with the time it takes it.
  if (bytes.empty()) return;
  const RxRule rule = SerialRxRule(ChBxVtim->isChecked() ? TimeStamp() : std::string());
  showReception(Receive(bytes, rule, ChBxVhex->isChecked()));
}

void TBaseform::showComRest() {
  // Before a port closes, what it received is shown, logged and given to
  // the reply parser: what the reader has read and what the driver holds.
  if (ComPort.Handle < 0) return;
  showComBytes(ComTakeRest(ComPort).bytes);
}

void TBaseform::showLineEvents(std::uint32_t events, const std::uint32_t (&changes)[4], int states) {
  const std::uint32_t status = ComModemStatus(ComPort);
  struct Line {
    std::uint32_t event, bit;
    Panel panel;
    const char* label;
    LineIndex index;
  };
  static constexpr Line kLines[] = {{EV_RLSD, MS_RLSD_ON, Panel::Dcd, "DCD", kLineDcd},
                                    {EV_DSR, MS_DSR_ON, Panel::Dsr, "DSR", kLineDsr},
                                    {EV_CTS, MS_CTS_ON, Panel::Cts, "CTS", kLineCts},
                                    {EV_RING, MS_RING_ON, Panel::Ri, "RI", kLineRing}};
  std::vector<bool> steps[std::size(kLines)];
  std::size_t longest = 0;
  for (std::size_t i = 0; i < std::size(kLines); ++i) {
    const Line& l = kLines[i];
    if (!(events & l.event)) continue;
    // What the panel shows once the states already waiting are shown.
    bool shown = !panelText(int(l.panel)).isEmpty();
    for (const LineStep& s : lineSteps_)
      if (s.panel == l.panel) shown = !s.text.isEmpty();
    // Counted changes end in the state read with their counts; the state
    // read now may hold a change whose count comes with the next batch.
    const bool now = changes[l.index] != 0 && states >= 0 ? (states >> l.index) & 1 : (status & l.bit) != 0;
    steps[i] = LineSteps(shown, now, changes[l.index]);
    longest = std::max(longest, steps[i].size());
  }
  // Lines that changed together stay together: their last states are
  // shown at the same turn.
  for (std::size_t turn = 0; turn < longest; ++turn)
    for (std::size_t i = 0; i < std::size(kLines); ++i)
      if (turn + steps[i].size() >= longest)
        lineSteps_.push_back({kLines[i].panel, steps[i][turn + steps[i].size() - longest]
                                                   ? QString::fromLatin1(kLines[i].label)
                                                   : QString()});
  if (!lineStepDue_) showLineStep();
}

void TBaseform::showLineStep() {
  lineStepDue_ = false;
  // A port closed meanwhile took its lines' states with it.
  if (ComPort.Handle < 0) lineSteps_.clear();
  if (lineSteps_.empty()) return;
  // One state per panel per turn, the lines of one change together.
  std::size_t taken = 0;
  std::vector<Panel> done;
  while (taken < lineSteps_.size() &&
         std::find(done.begin(), done.end(), lineSteps_[taken].panel) == done.end()) {
    setPanelText(lineSteps_[taken].panel, lineSteps_[taken].text);
    done.push_back(lineSteps_[taken].panel);
    ++taken;
  }
  lineSteps_.erase(lineSteps_.begin(), lineSteps_.begin() + std::ptrdiff_t(taken));
  if (!lineSteps_.empty() && !lineStepDue_) {
    lineStepDue_ = true;
    QTimer::singleShot(0, this, [this] { showLineStep(); });
  }
}

void TBaseform::closeOnHangUp() {
  // The device went away under an open port: close it as a press on its
  // button would, so that the scan takes over again. The port may no longer
  // be the selected link: a TCP connection made meanwhile took ActiveLink
  // (0) and, once ended, left it at -1; the port is still open all the same.
  const int n = ComPort.PortNumber;
  if (ComPort.Handle < 0 || n < 1 || n > 16) return;
  if (ActiveLink == 0) {
    // The TCP link owns the device and the port buttons stay off while it
    // does: only the port goes, with what shows its state.
    if (!closeComPort()) return;
    AppendReport(" COM " + Num(n) + " is closed\r\n");
    endSessionLog(kLogSerial);
    setPanelText(Panel::Port, QStringLiteral(" COM not selected"));
    ComPort.PortNumber = 0;
    BtnCom[size_t(n)]->setChecked(false);
    ChBxDTR->setChecked(false);
    ChBxRTS->setChecked(false);
    clearLinePanels();
    for (QWidget* w : SerialCommandControls) w->setEnabled(false);
    for (QWidget* w : NetCommandControls) w->setEnabled(true);
    return;
  }
  ActiveLink = n;  // the open port is the selected one: its press deselects it
  BtnComClick(BtnCom[size_t(n)]);
}

std::string TBaseform::comName() const { return " COM " + Num(ComPort.PortNumber); }

void TBaseform::ComWriteText(const std::string& text) {
  // A command that no port would take is not echoed as if sent.
  if (ComPort.Handle < 0) {
    AppendReport(" COM not selected\r\n");
    return;
  }
  // A command the queue refuses shows the refusal instead of its echo.
  if (!queueCommand(comQueue_, comName(), WireText(text, Link::Serial, ChpCSD->isChecked()))) return;
  AppendReport(SerialEcho(text));
  flushComQueue();
}

void TBaseform::flushComQueue() {
  if (comQueue_.empty() || ComPort.Handle < 0) return;
  const SendQueue::FlushResult r = comQueue_.flush(
      [](const char* data, std::size_t n) { return ComWriteSome(ComPort, data, n); },
      SendQueue::Clock::now());
  if (r.drained) AppendReport("\r\n" + comName() + ": the device takes data again, all sent\r\n");
  if (r.error != 0) {
    // The port refuses data (the device went away, an I/O error): what
    // waits is dropped; each kind of failure is said once while the port
    // stays open.
    const std::size_t dropped = comQueue_.drop();
    if (std::find(comWriteFailSaid_.begin(), comWriteFailSaid_.end(), r.error) == comWriteFailSaid_.end()) {
      comWriteFailSaid_.push_back(r.error);
      AppendReport("\r\n" + comName() + ": write failed: " + LocaleToCp1251(std::strerror(r.error)) +
                            ", " + std::to_string(dropped) + " bytes not sent\r\n");
    }
  }
  if (comQueue_.empty()) {
    delete comWriteNotifier_;
    comWriteNotifier_ = nullptr;
    return;
  }
  // The rest goes when the port can take it.
  if (!comWriteNotifier_) {
    comWriteNotifier_ = new QSocketNotifier(ComPort.Handle, QSocketNotifier::Write, this);
    connect(comWriteNotifier_, &QSocketNotifier::activated, this, [this] { Guarded([&] { flushComQueue(); }); });
  }
  comWriteNotifier_->setEnabled(true);
  sendWatch_->start();
}

bool TBaseform::closeComPort() {
  delete comWriteNotifier_;
  comWriteNotifier_ = nullptr;
  comWriteFailSaid_.clear();
  // A command cut in the middle would leave its first part in the device's
  // line buffer, glued to whatever comes next: the one under way gets the
  // time the driver gets for its output to finish; none is begun.
  const auto deadline = std::chrono::steady_clock::now() + kComDrainLimit;
  comQueue_.finishUnderWay(
      [deadline](const char* data, std::size_t n) { return ComWriteBefore(ComPort, data, n, deadline); },
      SendQueue::Clock::now());
  // What arrived up to now, the answer to that command too, is shown.
  showComRest();
  if (!ComClose(ComPort)) return false;
  reportUnsent(comQueue_, comName(), ComPort.outputDiscarded, "the device");
  return true;
}

void TBaseform::reportUnsent(SendQueue& queue, const std::string& who, std::size_t discarded, const char* peer) {
  const SendQueue::Cut cut = queue.cutBy(discarded);
  if (const std::size_t dropped = queue.drop())
    AppendReport("\r\n" + who + ": " + std::to_string(dropped) + " bytes not sent, dropped\r\n");
  if (discarded > 0)
    AppendReport("\r\n" + who + ": " + std::to_string(discarded) +
                 " bytes that the driver held were not sent, discarded\r\n");
  if (cut.size > 0)
    AppendReport("\r\n" + who + ": the command of " + std::to_string(cut.size) + " bytes was cut after " +
                 std::to_string(cut.sent) + " bytes: " + peer + " may hold a partial line\r\n");
}

bool TBaseform::queueCommand(SendQueue& queue, const std::string& who, const std::string& wire) {
  if (queue.push(wire, SendQueue::Clock::now())) return true;
  AppendReport("\r\n" + who + ": " + std::to_string(queue.waiting()) +
                        " bytes wait already; this command of " + std::to_string(wire.size()) +
                        " bytes is not sent\r\n");
  return false;
}

void TBaseform::watchSendQueues() {
  const auto now = SendQueue::Clock::now();
  if (comQueue_.stalled(now))
    AppendReport("\r\n" + comName() + ": the device is not taking data, " +
                          std::to_string(comQueue_.waiting()) + " bytes wait\r\n");
  if (tcp_->queue().stalled(now))
    AppendReport("\r\n Server: the server is not taking data, " +
                          std::to_string(tcp_->queue().waiting()) + " bytes wait\r\n");
  if (comQueue_.empty() && tcp_->queue().empty()) sendWatch_->stop();
}

}  // namespace kvl
