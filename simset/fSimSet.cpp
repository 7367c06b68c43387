#include "simset/fSimSet.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QTime>
#include <QTimer>
#include <chrono>

#include "commands/Commands.h"
#include "core/Colours.h"
#include "simset/ReplyParser.h"
#include "simset/SimReadStatus.h"
#include "simset/SimState.h"
#include "ui/ErrorReporter.h"
#include "ui/FlatFocusButton.h"
#include "ui/MakeWidget.h"
#include "ui/QtText.h"
#include "ui/WinColour.h"
#include "ui/WindowMessages.h"

namespace kvl {
namespace {

QFont SansPixels(int pixels) {
  QFont f(QStringLiteral("MS Sans Serif"));
  f.setPixelSize(pixels);
  return f;
}

// The hour caption over the radio pairs. Its text is the caption as written;
// it is drawn word by word so that each two-digit hour stands centred over
// its cell (17 pixels apart) whatever the width of the font's digits.
class HourRuler : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    const QStringList words = text().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty()) return;
    p.drawText(QRect(0, 0, 40, height()), Qt::AlignLeft | Qt::AlignVCenter, QLatin1Char(' ') + words[0]);
    // Cell h starts 53 + 17 h pixels from the window's left edge; this label
    // stands 16 pixels right of it (group box at 8, label at 8 inside it).
    for (int h = 0; h + 1 < words.size() && h < 24; ++h)
      p.drawText(QRect(53 + 17 * h - 16, 0, 16, height()), Qt::AlignCenter, words[h + 1]);
  }
};

}  // namespace

TSimSetform::TSimSetform(QWidget* mainWindow) : QDialog(mainWindow), mainWindow_(mainWindow) {
  setObjectName(QStringLiteral("SimSetform"));
  setWindowTitle(QStringLiteral("SIM card's settings"));
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint);
  setFont(SansPixels(11));
  // The designed 552 by 171, and a line below the contacts for the status.
  setFixedSize(552, 190);
  setModal(true);

  buildScheduleGroup();
  buildContactsGroup();
  buildStatusLine();
  chainTabOrder();
  connectHandlers();
}

// The schedule: the hour ruler, the SIM captions, SET and ?, and below the
// ruler one sunken panel per hour holding its SIM1 and SIM2 radio buttons.
void TSimSetform::buildScheduleGroup() {
  GrBxTime = Make<QGroupBox>(this, QStringLiteral("GrBxTime"), QStringLiteral(" SIM card's schedule   "));
  GrBxTime->setGeometry(8, 4, 540, 77);
  GrBxTime->setFont(SansPixels(13));
  LWH = new HourRuler(GrBxTime);
  LWH->setObjectName(QStringLiteral("LWH"));
  LWH->setText(QStringLiteral(" Hour  00 01 02 03 04 05 06 07 08 09 10 11 12 13 14 15 16 17 18 19 "
                              "20 21 22 23"));
  LWH->setFont(SansPixels(13));
  LWH->setGeometry(8, 19, 452, 16);
  LSim1 = Make<QLabel>(GrBxTime, QStringLiteral("LSim1"), QStringLiteral("SIM1"));
  LSim1->move(10, 37);
  Sim2 = Make<QLabel>(GrBxTime, QStringLiteral("Sim2"), QStringLiteral("SIM2"));
  Sim2->move(10, 53);
  BtnSetH = Make<QPushButton>(GrBxTime, QStringLiteral("BtnSetH"), QStringLiteral("SET"));
  BtnSetH->setGeometry(460, 37, 40, 30);
  BtnSetH->setToolTip(QStringLiteral("Set SIM card's schedule"));
  BtnAskH = Make<QPushButton>(GrBxTime, QStringLiteral("BtnAskH"), QStringLiteral("?"));
  BtnAskH->setGeometry(504, 37, 26, 30);
  BtnAskH->setToolTip(QStringLiteral("Ask SIM card's schedule"));
  for (QPushButton* b : {BtnSetH, BtnAskH}) b->setAutoDefault(false);
  for (int h = 0; h < 24; ++h) {
    QFrame* panel = Make<QFrame>(this, QStringLiteral("H%1Panel").arg(h));
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setGeometry(53 + 17 * h, 39, 16, 34);
    QRadioButton* s1 = Make<QRadioButton>(panel, QStringLiteral("RB%1Sim1").arg(h));
    s1->setGeometry(1, 1, 14, 17);
    s1->setChecked(true);
    QRadioButton* s2 = Make<QRadioButton>(panel, QStringLiteral("RB%1Sim2").arg(h));
    s2->setGeometry(1, 17, 14, 17);
    HPanel[size_t(h)] = panel;
    RBSim1[size_t(h)] = s1;
    RBSim2[size_t(h)] = s2;
  }
}

// The contacts: four rows of label, number field and two name buttons, and
// the ? button.
void TSimSetform::buildContactsGroup() {
  GrBxModeSim = Make<QGroupBox>(this, QStringLiteral("GrBxModeSim"), QStringLiteral(" SIM card's contacts   "));
  GrBxModeSim->setGeometry(8, 88, 540, 80);
  const char* initial[4] = {"+380670000000", "+380500000000", "+380630000000", "+380680000000"};
  for (int n = 1; n <= 4; ++n) {
    // Contacts 1 and 2 stand in the left column, 3 and 4 in the right one.
    const bool right = n >= 3;
    const int top = (n % 2 == 1) ? 20 : 44;
    QLabel* l = Make<QLabel>(GrBxModeSim, QStringLiteral("LbC%1").arg(n), QString::number(n));
    l->move(right ? 240 : 12, top + 4);
    QLineEdit* e = Make<QLineEdit>(GrBxModeSim, QStringLiteral("EdC%1").arg(n), QString::fromLatin1(initial[n - 1]));
    e->setGeometry(right ? 250 : 22, top, 91, 21);
    QPushButton* sms = Make<FlatFocusButton>(GrBxModeSim, QStringLiteral("SpBtnSMSC%1").arg(n), QStringLiteral("SMSADM"));
    sms->setGeometry(right ? 344 : 117, top, 55, 21);
    QPushButton* csd = Make<FlatFocusButton>(GrBxModeSim, QStringLiteral("SpBtnCSDC%1").arg(n), QStringLiteral("CSDPCO"));
    csd->setGeometry(right ? 402 : 175, top, 55, 21);
    // The name buttons look like labels: a hint says what a click does, and
    // Tab reaches them (Space writes), while a click leaves the focus in
    // the number field.
    for (QPushButton* b : {sms, csd}) {
      b->setFlat(true);
      b->setCheckable(false);
      b->setFocusPolicy(Qt::TabFocus);
      b->setAutoDefault(false);
      b->setToolTip(QStringLiteral("Write contact %1 to the SIM as %2 (an empty number deletes contact %1)")
                        .arg(n)
                        .arg(b->text()));
      setLime(b, false);
    }
    LbC[size_t(n)] = l;
    EdC[size_t(n)] = e;
    SpBtnSMSC[size_t(n)] = sms;
    SpBtnCSDC[size_t(n)] = csd;
  }
  BtnAskC = Make<QPushButton>(GrBxModeSim, QStringLiteral("BtnAskC"), QStringLiteral("?"));
  BtnAskC->setGeometry(463, 26, 65, 30);
  BtnAskC->setToolTip(QStringLiteral("Ask SIM card's contacts  "));
  BtnAskC->setAutoDefault(false);
}

// The status line under the contacts and the timer for the changes it makes
// by itself as time passes.
void TSimSetform::buildStatusLine() {
  LbStatus = Make<QLabel>(this, QStringLiteral("LbStatus"));
  LbStatus->setTextFormat(Qt::PlainText);
  LbStatus->setGeometry(10, 170, 536, 17);
  statusTimer_ = new QTimer(this);
  statusTimer_->setObjectName(QStringLiteral("StatusTimer"));
  statusTimer_->setSingleShot(true);
  connect(statusTimer_, &QTimer::timeout, this, [this] { updateStatus(MonotonicMs()); });
  updateStatus(MonotonicMs());
}

// Tab order: the schedule buttons, the hours, then the contact rows, each
// its field and its two name buttons.
void TSimSetform::chainTabOrder() {
  // Each hour is one stop, at its selected button: the other button of the
  // panel takes the focus only by a click or by the arrow keys, which move
  // within the panel and select as they go.
  QWidget* previous = BtnSetH;
  auto chain = [&previous](QWidget* next) {
    QWidget::setTabOrder(previous, next);
    previous = next;
  };
  chain(BtnAskH);
  for (int h = 0; h < 24; ++h) {
    chain(RBSim1[size_t(h)]);
    chain(RBSim2[size_t(h)]);
    for (QRadioButton* b : {RBSim1[size_t(h)], RBSim2[size_t(h)]}) {
      connect(b, &QRadioButton::toggled, this, [this, h] { updateHourTabStop(h); });
    }
    updateHourTabStop(h);
  }
  for (int n = 1; n <= 4; ++n) {
    chain(EdC[size_t(n)]);
    chain(SpBtnSMSC[size_t(n)]);
    chain(SpBtnCSDC[size_t(n)]);
  }
  chain(BtnAskC);
}

void TSimSetform::connectHandlers() {
  auto on = [this](QPushButton* button, void (TSimSetform::*handler)()) {
    connect(button, &QPushButton::clicked, this,
            [this, handler] { Guarded([&] { (this->*handler)(); }); });
  };
  on(BtnAskH, &TSimSetform::BtnAskHClick);
  on(BtnSetH, &TSimSetform::BtnSetHClick);
  on(BtnAskC, &TSimSetform::BtnAskCClick);
  on(SpBtnSMSC[1], &TSimSetform::SpBtnSMSC1Click);
  on(SpBtnSMSC[2], &TSimSetform::SpBtnSMSC2Click);
  on(SpBtnSMSC[3], &TSimSetform::SpBtnSMSC3Click);
  on(SpBtnSMSC[4], &TSimSetform::SpBtnSMSC4Click);
  on(SpBtnCSDC[1], &TSimSetform::SpBtnCSDC1Click);
  on(SpBtnCSDC[2], &TSimSetform::SpBtnCSDC2Click);
  on(SpBtnCSDC[3], &TSimSetform::SpBtnCSDC3Click);
  on(SpBtnCSDC[4], &TSimSetform::SpBtnCSDC4Click);
}

void TSimSetform::updateHourTabStop(int hour) {
  for (QRadioButton* b : {RBSim1[size_t(hour)], RBSim2[size_t(hour)]})
    b->setFocusPolicy(b->isChecked() ? Qt::StrongFocus : Qt::ClickFocus);
}

void TSimSetform::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (mainWindow_) move(mainWindow_->geometry().center() - rect().center());
  FormActivate();
}

void TSimSetform::FormActivate() {
  bool asRead = true;
  for (int n = 1; n <= 4; ++n) {
    EdC[size_t(n)]->setText(FromCp1251(SimPhones[size_t(n - 1)]));
    asRead = asRead && EdC[size_t(n)]->text() == contactsRead_[size_t(n)];
  }
  // The numbers come from the settings file unless they are still those
  // the last phonebook reply showed.
  if (!asRead) status_.lost(SimReadStatus::Part::Contacts);
  updateStatus(MonotonicMs());
}

std::int64_t TSimSetform::MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void TSimSetform::updateStatus(std::int64_t nowMs) {
  LbStatus->setText(QString::fromStdString(status_.text(nowMs)));
  const std::int64_t next = status_.msUntilChange(nowMs);
  if (next >= 0)
    statusTimer_->start(std::chrono::milliseconds(next));
  else
    statusTimer_->stop();
}

void TSimSetform::planRequested() {
  status_.asked(SimReadStatus::Part::Plan, MonotonicMs());
  updateStatus(MonotonicMs());
}

void TSimSetform::sendCommand(const std::string& text) {
  PendingCmd = text;
  PendingCmdFlags = 1;
  if (mainWindow_) QCoreApplication::postEvent(mainWindow_, new QEvent(WM_COM_SEND));
}

std::uint32_t TSimSetform::scheduleMask() const {
  std::array<bool, 24> hours{};
  for (int h = 0; h < 24; ++h) hours[size_t(h)] = RBSim2[size_t(h)]->isChecked();
  return kvl::ScheduleMask(hours);
}

void TSimSetform::setScheduleMask(std::uint32_t mask) {
  const std::array<bool, 24> hours = ScheduleHours(mask);
  for (int h = 0; h < 24; ++h) (hours[size_t(h)] ? RBSim2 : RBSim1)[size_t(h)]->setChecked(true);
}

void TSimSetform::BtnAskHClick() {
  sendCommand(std::string(kScheduleAsk));
  planRequested();
}

void TSimSetform::BtnSetHClick() { sendCommand(ScheduleSetCommand(scheduleMask())); }

void TSimSetform::BtnAskCClick() {
  sendCommand(std::string(kPhonebookRead));
  // A new read: names lit by an earlier one are no longer known.
  for (int n = 1; n <= 4; ++n) {
    setLime(SpBtnSMSC[size_t(n)], false);
    setLime(SpBtnCSDC[size_t(n)], false);
  }
  status_.asked(SimReadStatus::Part::Contacts, MonotonicMs());
  updateStatus(MonotonicMs());
}

void TSimSetform::writeContact(int n, bool smsadm) {
  const ContactWrite w = ComposeContactWrite(
      n, smsadm ? ContactName::Smsadm : ContactName::Csdpco, ToCp1251(EdC[size_t(n)]->text()));
  sendCommand(w.command);
  setLime(SpBtnSMSC[size_t(n)], w.smsLime);
  setLime(SpBtnCSDC[size_t(n)], w.csdLime);
}

void TSimSetform::setLime(QPushButton* button, bool lime) {
  QPalette p = button->palette();
  const QColor colour = lime ? WinColour(kLime) : QApplication::palette().color(QPalette::WindowText);
  p.setColor(QPalette::ButtonText, colour);
  button->setPalette(p);
  button->setProperty("lime", lime);
}

void TSimSetform::ParseDeviceReply(std::string& rxText) {
  // Take the batch and empty RxText first, so that each batch is parsed once.
  const std::string text = std::move(rxText);
  rxText.clear();
  if (text.empty()) return;
  const ReplyResult result = kvl::ParseDeviceReply(text);
  applyReply(result);
  if (result.kind == ReplyResult::ScheduleError) ShowGeneralError(FromCp1251(result.errorMessage));
}

void TSimSetform::applyReply(const ReplyResult& result) {
  const std::string clock = QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString();
  switch (result.kind) {
    case ReplyResult::Schedule:
      setScheduleMask(result.mask);
      status_.replied(SimReadStatus::Part::Plan, true, clock);
      break;
    case ReplyResult::Phonebook:
      for (int n = 1; n <= 4; ++n) {
        const ReplyResult::Row& row = result.rows[size_t(n - 1)];
        if (!row.touched) continue;
        EdC[size_t(n)]->setText(FromCp1251(row.fieldText));
        setLime(SpBtnSMSC[size_t(n)], row.smsLime);
        setLime(SpBtnCSDC[size_t(n)], row.csdLime);
        if (row.updatePhone) SimPhones[size_t(n - 1)] = row.phone;
        contactsRead_[size_t(n)] = EdC[size_t(n)]->text();
      }
      status_.replied(SimReadStatus::Part::Contacts, result.complete, clock);
      break;
    case ReplyResult::ScheduleError:
      status_.replied(SimReadStatus::Part::Plan, false, clock);
      break;
    case ReplyResult::None:
      return;
  }
  updateStatus(MonotonicMs());
}

bool TSimSetform::isLime(const QPushButton* button) { return button->property("lime").toBool(); }

}  // namespace kvl
