#include "app/LinkSession.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <utility>

#include "app/PortHint.h"
#include "app/Reception.h"
#include "app/RxDisplay.h"
#include "app/Util.h"
#include "core/Colours.h"
#include "core/Cp1251.h"
#include "net/NetLink.h"
#include "net/TcpLink.h"
#include "settings/Settings.h"

namespace kvl {
namespace {

std::string Num(int n) { return std::to_string(n); }

std::tm LocalNow() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace

LinkSession::LinkSession(std::function<void()> post) : post_(std::move(post)) {}

LinkSession::~LinkSession() = default;

Steps LinkSession::takeSteps() { return std::exchange(steps_, {}); }

// --- What a call shows.

void LinkSession::say(std::uint32_t colour, const std::string& text) {
  Step s;
  s.kind = Step::Text;
  s.colour = colour;
  s.text = text;
  add(std::move(s));
}

void LinkSession::report(const std::string& text) {
  Step s;
  s.kind = Step::Report;
  s.text = text;
  add(std::move(s));
}

void LinkSession::panel(Panel p, const std::string& text) {
  Step s;
  s.kind = Step::PanelText;
  s.panel = p;
  s.text = text;
  add(std::move(s));
}

void LinkSession::control(Step::Kind kind, Control c, bool on, int n) {
  Step s;
  s.kind = kind;
  s.control = c;
  s.on = on;
  s.n = n;
  if (kind == Step::Enable && c == Control::PortButton) portEnabled_[size_t(n)] = on;
  add(std::move(s));
}

void LinkSession::errorBox(const std::string& utf8, const std::string& detail) {
  Step s;
  s.kind = Step::ErrorBox;
  s.text = utf8;
  s.detail = detail;
  add(std::move(s));
}

// --- Serial link: probing and the scan.

Steps LinkSession::start(const LinkControls& c) {
  ComBuildDcb(ComPort, c.line);
  probeAll();
  ComBuildDcb(ProbePort, c.line);
  return takeSteps();
}

void LinkSession::probeAll() {
  // Each button is switched once, to what its probe found: a button that
  // stays enabled keeps the keyboard focus.
  for (int n = 1; n <= 16; ++n) control(Step::Check, Control::PortButton, false, n);
  for (int n = 1; n <= 16; ++n) {
    bool present = false;
    try {
      if (ComOpen(n, ComPort)) {
        ComClose(ComPort);
        present = true;
        refusedSettings_[size_t(n)].reset();
        add({.kind = Step::Hint, .n = n});
      } else {
        notePortProblem(n, ComPort.problem);
        noteRefusal(n);
      }
    } catch (...) {
      // A port that cannot be probed counts as absent.
    }
    control(Step::Enable, Control::PortButton, present, n);
  }
}

void LinkSession::notePortProblem(int n, const PortProblem& problem) {
  add({.kind = Step::Hint, .n = n, .problem = problem});
  // A missing group membership is what a new user most likely meets; it is
  // said once per port where it cannot be missed.
  if (problem.fault == PortFault::NoPermission && !permissionReported_[size_t(n)]) {
    permissionReported_[size_t(n)] = true;
    report(" COM " + Num(n) + ": " + LocaleToCp1251(PortProblemText(problem, {})) + "\r\n");
  }
}

void LinkSession::noteRefusal(int n) {
  if (ComPort.problem.fault == PortFault::Refused)
    refusedSettings_[size_t(n)] = ComPort.Settings;
  else
    refusedSettings_[size_t(n)].reset();
}

PortProblem LinkSession::keptPortProblem(int n, const LineSettings& line) const {
  PortProblem problem;
  if (refusedSettings_[size_t(n)] && *refusedSettings_[size_t(n)] == line) problem.fault = PortFault::Refused;
  return problem;
}

Steps LinkSession::lineSettingsChanged(const LinkControls& c) {
  for (int n = 1; n <= 16; ++n) {
    if (!refusedSettings_[size_t(n)] || keptPortProblem(n, c.line).fault == PortFault::Refused) continue;
    // The port was there and free when it refused: with other settings it
    // may be opened again.
    refusedSettings_[size_t(n)].reset();
    add({.kind = Step::Hint, .n = n});
    if (ActiveLink != 0) control(Step::Enable, Control::PortButton, true, n);
  }
  return takeSteps();
}

bool LinkSession::scanProbes() const { return ActiveLink == -1; }

Steps LinkSession::tick(const LinkControls& c) {
  if (c.scan) scanNext(c);
  if (RxQuietTicks > 0) {
    --RxQuietTicks;
    return takeSteps();
  }
  add({.kind = Step::ParseReply});
  return takeSteps();
}

Steps LinkSession::scan(const LinkControls& c) {
  scanNext(c);
  return takeSteps();
}

void LinkSession::scanNext(const LinkControls& c) {
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
      const PortProblem kept = keptPortProblem(k, c.line);
      present = kept.fault == PortFault::None;
      add({.kind = Step::Hint, .n = k, .problem = kept});
    } else {
      notePortProblem(k, ProbePort.problem);
    }
  } catch (...) {
  }
  // Switched once, so that a port button that stays enabled keeps the focus.
  control(Step::Enable, Control::PortButton, present, k);
}

// --- Serial link: selecting a port.

Steps LinkSession::selectPort(int n, const LinkControls& c) {
  pressPort(n, c);
  return takeSteps();
}

void LinkSession::pressPort(int n, const LinkControls& c) {
  control(Step::Enable, Control::SerialCommands, false);
  if (c.netOn) control(Step::Enable, Control::Connect, true);
  panel(Panel::Port, "");
  add({.kind = Step::ForgetLines});  // states of the lines of the port about to close
  if (ComPort.Handle >= 0) {
    panel(Panel::Port, " COM closing");
    const int m = ComPort.PortNumber;
    if (!closeComPort(c)) return;
    report(" COM " + Num(m) + " is closed\r\n");
    endLog(kLogSerial);
    panel(Panel::Port, "");
  }
  ComBuildDcb(ComPort, c.line);
  probeAll();
  if (ActiveLink == n) {  // the selected port's button: deselect
    deselect();
    return;
  }
  ActiveLink = n;
  if (!portEnabled_[size_t(n)]) {
    notSelected(n);
    ComPort.PortNumber = 0;
    ActiveLink = -1;
    return;
  }
  openSelected(n, c);
}

void LinkSession::deselect() {
  ComPort.PortNumber = 0;
  ActiveLink = -1;
  control(Step::Check, Control::Dtr, false);
  control(Step::Check, Control::Rts, false);
  report(" COM not selected\r\n");
  clearLinePanels();
  panel(Panel::Port, " COM not selected");
}

void LinkSession::notSelected(int n) {
  // A port that refused the line settings says so: the hint alone would
  // leave the engineer guessing.
  if (refusedSettings_[size_t(n)]) report(" COM " + Num(n) + ": the port does not take these line settings\r\n");
  report(" COM not selected\r\n");
  panel(Panel::Port, " COM not selected");
}

void LinkSession::clearLinePanels() {
  for (Panel p : {Panel::Dtr, Panel::Dsr, Panel::Rts, Panel::Cts}) panel(p, "");
}

void LinkSession::openSelected(int n, const LinkControls& c) {
  panel(Panel::Port, " Opening COM");
  try {
    ComOpen(n, ComPort);
  } catch (...) {
  }
  panel(Panel::Port, "");
  if (ComPort.Handle == -1) {
    notePortProblem(n, ComPort.problem);
    noteRefusal(n);
    control(Step::Check, Control::Dtr, false);
    control(Step::Check, Control::Rts, false);
    clearLinePanels();
    ComPort.PortNumber = 0;
    ActiveLink = -1;
    return notSelected(n);
  }
  startLog(kLogSerial, "COM " + Num(n) + " " + ComDevicePath(n) + " " + std::to_string(LineBaud(ComPort.Settings)));
  report(" COM " + Num(n) + " is active\r\n\r\n");
  panel(Panel::Port, " COM " + Num(n) + " [active]");
  control(Step::Check, Control::PortButton, true, n);
  control(Step::Check, Control::Dtr, true);
  panel(Panel::Dtr, "DTR");
  control(Step::Check, Control::Rts, true);
  panel(Panel::Rts, "RTS");
  const std::uint32_t status = ComModemStatus(ComPort);
  panel(Panel::Dsr, status & MS_DSR_ON ? "DSR" : "");
  panel(Panel::Cts, status & MS_CTS_ON ? "CTS" : "");
  if (!ComStartReader(ComPort, post_)) {
    closeComPort(c);
    endLog(kLogSerial);
    return;
  }
  control(Step::Enable, Control::SerialCommands, true);
  if (c.netOn) control(Step::Enable, Control::Connect, false);
}

Steps LinkSession::setLine(Control line, bool on) {
  if (ComPort.Handle == -1) return takeSteps();
  const bool dtr = line == Control::Dtr;
  ComEscape(ComPort, dtr ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS));
  panel(dtr ? Panel::Dtr : Panel::Rts, on ? (dtr ? "DTR" : "RTS") : "");
  return takeSteps();
}

// --- Serial link: what arrives, and the device going away.

Steps LinkSession::comReceived(const LinkControls& view, const std::function<LinkControls()>& readAll) {
  const RxBatch batch = ComTakeRx(ComPort);
  comRingWasFull_ = batch.bytes.size() >= kRingSize - 1;
  showComBytes(batch.bytes, view);
  if (batch.events & kLineEvents) {
    Step s{.kind = Step::LineEvents, .n = int(ComModemStatus(ComPort))};
    s.lineEvents = batch.events;
    std::copy(std::begin(batch.lineChanges), std::end(batch.lineChanges), s.lineChanges);
    s.lineStates = batch.lineStates;
    add(std::move(s));
  }
  if (batch.hungUp) hangUp(readAll());
  return takeSteps();
}

void LinkSession::showComBytes(const std::string& bytes, const LinkControls& c) {
  // Each block the window takes is stamped with the time it takes it.
  if (bytes.empty()) return;
  const RxRule rule = SerialRxRule(c.viewTime ? RxTimeStamp(LocalNow()) : std::string());
  const RxShown shown = Receive(bytes, rule, c.viewHex);
  if (!shown.hex.empty()) add({.kind = Step::Hex, .colour = kGrey, .text = shown.hex});
  say(kNavy, shown.text);
  NoteReception(shown.rxText);
}

void LinkSession::hangUp(const LinkControls& c) {
  // The device went away under an open port: close it as a press on its
  // button would, so that the scan takes over again. The port may no longer
  // be the selected link: a TCP connection made meanwhile took ActiveLink
  // (0) and, once ended, left it at -1; the port is still open all the same.
  const int n = ComPort.PortNumber;
  if (ComPort.Handle < 0 || n < 1 || n > 16) return;
  if (ActiveLink != 0) {
    ActiveLink = n;  // the open port is the selected one: its press deselects it
    return pressPort(n, c);
  }
  // The TCP link owns the device and the port buttons stay off while it
  // does: only the port goes, with what shows its state.
  if (!closeComPort(c)) return;
  report(" COM " + Num(n) + " is closed\r\n");
  endLog(kLogSerial);
  panel(Panel::Port, " COM not selected");
  ComPort.PortNumber = 0;
  control(Step::Check, Control::PortButton, false, n);
  control(Step::Check, Control::Dtr, false);
  control(Step::Check, Control::Rts, false);
  clearLinePanels();
  control(Step::Enable, Control::SerialCommands, false);
  control(Step::Enable, Control::NetCommands, true);
}

bool LinkSession::closeComPort(const LinkControls& c) {
  add({.kind = Step::ComWriteWatch, .on = false});
  comWriteFailSaid_.clear();
  // A command cut in the middle would leave its first part in the device's
  // line buffer, glued to whatever comes next: the one under way gets the
  // time the driver gets for its output to finish; none is begun.
  const auto deadline = std::chrono::steady_clock::now() + kComDrainLimit;
  comQueue_.finishUnderWay(
      [deadline](const char* data, std::size_t n) { return ComWriteBefore(ComPort, data, n, deadline); },
      SendQueue::Clock::now());
  // What arrived up to now, the answer to that command too, is shown.
  if (ComPort.Handle >= 0) showComBytes(ComTakeRest(ComPort).bytes, c);
  if (!ComClose(ComPort)) return false;
  reportUnsent(comQueue_, comName(), ComPort.outputDiscarded, "the device");
  return true;
}

std::string LinkSession::comName() const { return " COM " + Num(ComPort.PortNumber); }

// --- Sending.

Steps LinkSession::send(const std::string& text, Link route, const LinkControls& c) {
  if (route == Link::Serial) sendCom(text, c);
  if (route == Link::Tcp) sendTcp(text, c);
  return takeSteps();
}

void LinkSession::sendCom(const std::string& text, const LinkControls& c) {
  // A command that no port would take is not echoed as if sent.
  if (ComPort.Handle < 0) return report(" COM not selected\r\n");
  // A command the queue refuses shows the refusal instead of its echo.
  if (!queueCommand(comQueue_, comName(), WireText(text, Link::Serial, c.csd))) return;
  report(SerialEcho(text));
  flushComQueue();
}

Steps LinkSession::flushCom() {
  flushComQueue();
  return takeSteps();
}

void LinkSession::flushComQueue() {
  if (comQueue_.empty() || ComPort.Handle < 0) return;
  const SendQueue::FlushResult r = comQueue_.flush(
      [](const char* data, std::size_t n) { return ComWriteSome(ComPort, data, n); }, SendQueue::Clock::now());
  if (r.drained) report("\r\n" + comName() + ": the device takes data again, all sent\r\n");
  if (r.error != 0) {
    // The port refuses data (the device went away, an I/O error): what
    // waits is dropped; each kind of failure is said once while the port
    // stays open.
    const std::size_t dropped = comQueue_.drop();
    if (std::find(comWriteFailSaid_.begin(), comWriteFailSaid_.end(), r.error) == comWriteFailSaid_.end()) {
      comWriteFailSaid_.push_back(r.error);
      report("\r\n" + comName() + ": write failed: " + LocaleToCp1251(std::strerror(r.error)) + ", " +
             std::to_string(dropped) + " bytes not sent\r\n");
    }
  }
  // The rest goes when the port can take it.
  add({.kind = Step::ComWriteWatch, .n = ComPort.Handle, .on = !comQueue_.empty()});
  if (!comQueue_.empty()) add({.kind = Step::SendWatch, .on = true});
}

void LinkSession::reportUnsent(SendQueue& queue, const std::string& who, std::size_t discarded,
                               const char* peer) {
  const SendQueue::Cut cut = queue.cutBy(discarded);
  if (const std::size_t dropped = queue.drop())
    report("\r\n" + who + ": " + std::to_string(dropped) + " bytes not sent, dropped\r\n");
  if (discarded > 0)
    report("\r\n" + who + ": " + std::to_string(discarded) + " bytes that the driver held were not sent, discarded\r\n");
  if (cut.size > 0)
    report("\r\n" + who + ": the command of " + std::to_string(cut.size) + " bytes was cut after " +
           std::to_string(cut.sent) + " bytes: " + peer + " may hold a partial line\r\n");
}

bool LinkSession::queueCommand(SendQueue& queue, const std::string& who, const std::string& wire) {
  if (queue.push(wire, SendQueue::Clock::now())) return true;
  report("\r\n" + who + ": " + std::to_string(queue.waiting()) + " bytes wait already; this command of " +
         std::to_string(wire.size()) + " bytes is not sent\r\n");
  return false;
}

Steps LinkSession::watchQueues() {
  const auto now = SendQueue::Clock::now();
  if (comQueue_.stalled(now))
    report("\r\n" + comName() + ": the device is not taking data, " + std::to_string(comQueue_.waiting()) +
           " bytes wait\r\n");
  if (tcp_.queue().stalled(now))
    report("\r\n Server: the server is not taking data, " + std::to_string(tcp_.queue().waiting()) +
           " bytes wait\r\n");
  if (comQueue_.empty() && tcp_.queue().empty()) add({.kind = Step::SendWatch, .on = false});
  return takeSteps();
}

// --- The window closes.

Steps LinkSession::close(const LinkControls& c) {
  // A connected link is ended; an open serial port is left to the end of
  // the program, but what it received is shown and logged now, while the
  // log is still open.
  if (c.connectChecked && tcp_.socket() != 0) closeClientSock(true);
  if (ComPort.Handle >= 0) showComBytes(ComTakeRest(ComPort).bytes, c);
  endLog(kLogSerial);
  return takeSteps();
}

void LinkSession::end() {
  // The reader posts to the window: it ends, and the port gets its settings
  // back, before the window goes. What waits to be sent goes too.
  comQueue_.drop();
  ComClose(ComPort);
  tcp_.close();
  log_.close();
  logLinks_ = 0;
  steps_.clear();
}

// --- The session log.

void LinkSession::startLog(LogLink link, const std::string& linkName) {
  const std::tm local = LocalNow();
  if (logLinks_ != 0) {
    // A second link opens while the first is logged: its session starts
    // in the same file.
    logLinks_ |= link;
    add({.kind = Step::LogWrite, .text = SessionLogHeader(local, linkName)});
    return;
  }
  const std::string setting = LogFileFromSettingsFile(SettingsFileName());
  if (setting.empty()) return;
  // The setting is Windows-1251 text; file names are in the locale's encoding.
  const std::string path = SessionLogPath(Cp1251ToLocale(setting), SettingsFileName(), local);
  logLinks_ |= link;
  add({.kind = Step::LogOpen, .text = path, .detail = SessionLogHeader(local, linkName)});
}

void LinkSession::endLog(LogLink link) {
  if (logLinks_ == 0) return;
  logLinks_ &= ~unsigned(link);
  if (logLinks_ == 0) add({.kind = Step::LogClose});
}

Steps LinkSession::applyLog(const Step& step) {
  if (step.kind == Step::LogClose) log_.close();
  if (step.kind == Step::LogWrite && log_.isOpen() && !log_.write(step.text)) logFailed();
  if (step.kind == Step::LogOpen && !log_.open(step.text, step.detail)) logFailed();
  return takeSteps();
}

Steps LinkSession::logShown(const std::string& shown) {
  if (!shown.empty() && log_.isOpen() && !log_.write(shown)) logFailed();
  return takeSteps();
}

void LinkSession::logFailed() {
  // Logging stops until a link opens again; the link itself carries on.
  log_.close();
  logLinks_ = 0;
  report(" Log file " + LocaleToCp1251(log_.path()) + ": " + LocaleToCp1251(log_.error()) + "\r\n");
}

}  // namespace kvl
