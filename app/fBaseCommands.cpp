// Sending from the main window: the routing rule, the command lines, the
// pending command of the SIM settings window and the one-click commands.
#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "app/ConsolePane.h"
#include "app/fBase.h"
#include "commands/Commands.h"
#include "simset/SimState.h"
#include "simset/fSimSet.h"
#include "ui/ErrorReporter.h"
#include "ui/QtText.h"

namespace kvl {
namespace {

// The engineer's own send shows what comes of it: both panes follow their
// end again, even when a selection or a scroll held them.
void FollowEnds(TBaseform& f) {
  f.cRichEd->followEnd();
  f.bRichEd->followEnd();
}

// Setting a line edit's text clears its undo history, which otherwise keeps
// every long command sent for the rest of the session. The caret and the
// selection stay where they were.
void ClearUndoHistory(QLineEdit* line) {
  if (!line->isUndoAvailable() && !line->isRedoAvailable()) return;
  const int caret = line->cursorPosition();
  const int start = line->selectionStart();
  const int length = int(line->selectedText().size());
  line->setText(line->text());
  if (start < 0)
    line->setCursorPosition(caret);
  else if (caret == start)
    line->setSelection(start + length, -length);
  else
    line->setSelection(start, length);
}

}  // namespace

void TBaseform::RouteCommand(const std::string& text) {
  if (ChBxS1Conn->isChecked())
    SockSendText(text);
  else
    ComWriteText(text);
}

void TBaseform::BtnSendCmdClick() {
  std::array<std::string, 5> lines;
  std::array<bool, 5> selected{};
  for (int n = 1; n <= 5; ++n) {
    lines[size_t(n - 1)] = ToCp1251(EdCmdLn[size_t(n)]->text());
    selected[size_t(n - 1)] = S1RB[size_t(n)]->isChecked();
    if (selected[size_t(n - 1)]) {
      commandHistory_.add(lines[size_t(n - 1)]);
      ClearUndoHistory(EdCmdLn[size_t(n)]);
    }
  }
  for (auto& walk : historyWalks_) walk.reset();
  FollowEnds(*this);
  RouteCommand(ComposeCommandLine(lines, selected, ChBxCR1->isChecked(), ChBxLF1->isChecked()));
}

void TBaseform::commandLineEnter(int n) {
  // As a click would: the line is selected, and "Send" is pressed when it
  // can be.
  S1RB[size_t(n)]->setChecked(true);
  if (BtnSendCmd->isEnabled()) BtnSendCmd->click();
}

void TBaseform::commandLineHistory(int n, bool older) {
  QLineEdit* line = EdCmdLn[size_t(n)];
  CommandHistory::Walk& walk = historyWalks_[size_t(n)];
  const std::optional<std::string> text =
      older ? walk.older(commandHistory_, ToCp1251(line->text())) : walk.newer(commandHistory_);
  if (text) line->setText(FromCp1251(*text));
}

bool TBaseform::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    for (int n = 1; n <= 5; ++n) {
      if (watched != EdCmdLn[size_t(n)]) continue;
      const auto* key = static_cast<QKeyEvent*>(event);
      const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
      if (mods != Qt::NoModifier) break;
      switch (key->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
          Guarded([&] { commandLineEnter(n); });
          return true;
        case Qt::Key_Up:
        case Qt::Key_Down:
          Guarded([&] { commandLineHistory(n, key->key() == Qt::Key_Up); });
          return true;
        default:
          break;
      }
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TBaseform::ChBxDwlClick() {
  const bool on = ChBxDwl->isChecked();
  EdCmdLn[4]->setEnabled(on);
  EdCmdLn[5]->setEnabled(on);
  S1RB[4]->setEnabled(on);
  S1RB[5]->setEnabled(on);
  if (!on) S1RB[1]->setChecked(true);
}

void TBaseform::ChpCSDClick() {
  EdCmdLn[1]->setText(FromCp1251(CommandLine1ForPcsd(ChpCSD->isChecked())));
}

void TBaseform::sendPendingCommand() {
  if (!(PendingCmdFlags & 1)) return;
  PendingCmdFlags &= ~1u;
  FollowEnds(*this);
  RouteCommand(PendingCmd);
}

namespace {

OneClickFields ReadFields(const TBaseform& f) {
  OneClickFields x;
  x.apn1 = ToCp1251(f.EdApn1->text());
  x.login1 = ToCp1251(f.EdLogin1->text());
  x.passw1 = ToCp1251(f.EdPassw1->text());
  x.apn2 = ToCp1251(f.EdApn2->text());
  x.login2 = ToCp1251(f.EdLogin2->text());
  x.passw2 = ToCp1251(f.EdPassw2->text());
  x.confBaudIndex = f.CBConfBaud->currentIndex();
  x.confBaud2Index = f.CBConfBaud2->currentIndex();
  x.confPort = ToCp1251(f.EdtConfPort->text());
  x.confPort2 = ToCp1251(f.EdtConfPort2->text());
  x.repHost = ToCp1251(f.edtRepHost->text());
  x.repPort = ToCp1251(f.edtRepPort->text());
  return x;
}

}  // namespace

void TBaseform::oneClickClick(OneClick id) {
  if (id == OneClick::SimSet) return BtnSimSetClick();
  sendOneClick(id);
}

void TBaseform::sendOneClick(OneClick id) {
  const std::string text = ComposeOneClick(id, ReadFields(*this));
  FollowEnds(*this);
  const Link route = ResolveRoute(OneClickInfoOf(id).route, ChBxS1Conn->isChecked());
  act([&] { return session_->send(text, route, controls()); });
}

void TBaseform::BtnSimSetClick() {
  sendOneClick(OneClick::SimSet);
  if (!simSetform_) return;
  simSetform_->planRequested();  // "LogOn ActSim" brings the device's plan
  simSetform_->exec();
  // Closing the SIM settings window gives the focus back to this window,
  // which counts as its activation.
  FormActivate();
}

}  // namespace kvl
