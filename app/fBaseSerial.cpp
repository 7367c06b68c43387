// The engineer's side of the serial link: the port buttons, the line
// settings the port controls stand for, the DTR and RTS boxes, "Full", and
// the port's hints and modem-line panels as the session reports them.
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStringList>
#include <QTextDocument>
#include <QTimer>
#include <algorithm>
#include <iterator>

#include "app/FrameClock.h"
#include "app/PortHint.h"
#include "app/Reception.h"
#include "app/SpinEdit.h"
#include "app/fBase.h"
#include "serial/PortUse.h"
#include "ui/ErrorReporter.h"
#include "ui/QtText.h"

namespace kvl {
namespace {

LineSettings LineSettingsOf(const TBaseform& f) {
  LineSettings c;
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

LinkControls TBaseform::controls(bool withLine) const {
  LinkControls c;
  if (withLine) c.line = LineSettingsOf(*this);
  c.netOn = ChBxIniNet->isChecked();
  c.connectChecked = ChBxS1Conn->isChecked();
  c.viewHex = ChBxVhex->isChecked();
  c.viewTime = ChBxVtim->isChecked();
  c.csd = ChpCSD->isChecked();
  c.scan = ChBxScan->isChecked();
  return c;
}

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

void TBaseform::lineSettingsChanged() {
  act([&] { return session_->lineSettingsChanged(controls()); });
}

void TBaseform::cNewComPort() {
  act([&] { return session_->scan(controls()); });
}

void TBaseform::BtnComClick(QObject* sender) {
  auto* button = qobject_cast<QPushButton*>(sender);
  const int n = button ? button->property("tag").toInt() : 0;
  if (n < 1 || n > 16 || BtnCom[size_t(n)] != button) return;
  act([&] { return session_->selectPort(n, controls()); });
}

void TBaseform::ChBxDTRClick() {
  act([&] { return session_->setLine(Control::Dtr, ChBxDTR->isChecked()); });
}

void TBaseform::ChBxRTSClick() {
  act([&] { return session_->setLine(Control::Rts, ChBxRTS->isChecked()); });
}

void TBaseform::ChBxFullComClick() {
  const bool full = ChBxFullCom->isChecked();
  for (QWidget* w : DcbControls) w->setEnabled(full);
}

void TBaseform::RxRender() {
  // Bytes arrive many times a second: only the two boxes that say how they
  // are shown are read for them.
  frameClock_->beginPass();
  LinkControls view;
  view.viewHex = ChBxVhex->isChecked();
  view.viewTime = ChBxVtim->isChecked();
  act([&] { return session_->comReceived(view, [this] { return controls(); }); });
  frameClock_->runDue(session_->comMoreComing());
}

void TBaseform::ComWriteText(const std::string& text) {
  act([&] { return session_->send(text, Link::Serial, controls()); });
}

void TBaseform::watchComWrite(bool on, int fd) {
  if (!on) {
    delete comWriteNotifier_;
    comWriteNotifier_ = nullptr;
    return;
  }
  if (!comWriteNotifier_) {
    comWriteNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
    connect(comWriteNotifier_, &QSocketNotifier::activated, this,
            [this] { Guarded([&] { act([&] { return session_->flushCom(); }); }); });
  }
  comWriteNotifier_->setEnabled(true);
}

void TBaseform::showLineEvents(const Step& batch) {
  const std::uint32_t events = batch.lineEvents;
  const std::uint32_t(&changes)[kLineCount] = batch.lineChanges;
  const int states = batch.lineStates;
  const std::uint32_t status = std::uint32_t(batch.n);
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
  if (!session_->comOpen()) lineSteps_.clear();
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

}  // namespace kvl
