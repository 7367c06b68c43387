// The main window's controls: the layout of the panes, the port, socket,
// command and command-line groups, the status bar, the pane menu and the
// control sets that the links switch as a whole. The handlers are
// connected in fBaseEvents.cpp.
#include "app/fBase.h"
#include "ui/ErrorReporter.h"

#include <QAction>
#include <algorithm>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QPainter>
#include <QScreen>
#include <QShortcut>
#include <QStyleOptionFocusRect>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTimer>
#include <QWindow>
#include <QVBoxLayout>

#include "app/AppIcon.h"
#include "app/ConsolePane.h"
#include "app/FrameClock.h"
#include "app/SpinEdit.h"
#include "app/WindowPlacement.h"
#include "commands/Commands.h"
#include "net/TcpConnection.h"
#include "ui/FlatFocusButton.h"
#include "ui/MakeWidget.h"
#include "ui/QtText.h"

namespace kvl {
namespace {

// The right-hand column's width by design.
constexpr int kRightColumnWidth = 344;

QFont SansFont(bool bold = false) {
  QFont f(QStringLiteral("MS Sans Serif"));
  f.setPointSize(8);
  f.setBold(bold);
  return f;
}

QFont SerifFont(int pixelHeight) {
  QFont f(QStringLiteral("MS Serif"));
  f.setPixelSize(pixelHeight);
  return f;
}

void RegisterFontSubstitutes() {
  // The window's fonts come from Windows; Linux picks the nearest it has.
  QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                             {QStringLiteral("Liberation Sans"), QStringLiteral("Nimbus Sans"),
                              QStringLiteral("DejaVu Sans")});
  QFont::insertSubstitutions(QStringLiteral("MS Serif"),
                             {QStringLiteral("Liberation Serif"), QStringLiteral("Nimbus Roman"),
                              QStringLiteral("DejaVu Serif")});
}

QFrame* SunkenPanel(QWidget* parent, const char* name) {
  QFrame* f = Make<QFrame>(parent, name);
  f->setFrameShape(QFrame::Panel);
  f->setFrameShadow(QFrame::Sunken);
  return f;
}

// The right-hand column in a scroll area that is exactly as wide as the
// column, and wider by the scroll bar only while the column does not fit.
class ColumnScroll : public QScrollArea {
 public:
  explicit ColumnScroll(QWidget* parent) : QScrollArea(parent) {
    setFrameShape(QFrame::NoFrame);
    setWidgetResizable(true);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setFixedWidth(kRightColumnWidth);
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QScrollArea::resizeEvent(event);
    const bool fits = !widget() || widget()->minimumSizeHint().height() <= height();
    const int wanted = kRightColumnWidth + (fits ? 0 : verticalScrollBar()->sizeHint().width());
    if (width() != wanted) setFixedWidth(wanted);
  }
};

QComboBox* DropDown(QWidget* parent, const char* name, const QStringList& items, int selected) {
  QComboBox* c = Make<QComboBox>(parent, name);
  c->setEditable(false);
  c->addItems(items);
  c->setCurrentIndex(selected);
  c->setMaxVisibleItems(16);
  return c;
}

}  // namespace

void TBaseform::buildLayout() {
  RegisterFontSubstitutes();
  setFont(SansFont());
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);
  auto* top = new QHBoxLayout;
  top->setContentsMargins(0, 0, 0, 0);
  top->setSpacing(0);
  outer->addLayout(top, 1);

  // Left: the console.
  VPanel = Make<QWidget>(this, "VPanel");
  auto* left = new QVBoxLayout(VPanel);
  left->setContentsMargins(5, 5, 5, 5);
  left->setSpacing(0);
  cRichEd = Make<ConsolePane>(VPanel, "cRichEd");
  {
    // The panes keep their own colours in any desktop theme: a light
    // background, and dark text where a run has no colour of its own.
    QPalette p = cRichEd->palette();
    p.setColor(QPalette::Base, QColor(255, 251, 240));
    p.setColor(QPalette::Text, Qt::black);
    cRichEd->setPalette(p);
    cRichEd->setFont(SansFont(true));
  }
  bRichEd = Make<ConsolePane>(VPanel, "bRichEd");
  {
    QPalette p = bRichEd->palette();
    p.setColor(QPalette::Base, QColor(245, 252, 237));
    p.setColor(QPalette::Text, Qt::black);
    bRichEd->setPalette(p);
    bRichEd->setFixedHeight(58);
  }
  cVPanel = Make<QFrame>(VPanel, "cVPanel");
  cVPanel->setFixedHeight(26);
  auto* bar = new QHBoxLayout(cVPanel);
  bar->setContentsMargins(4, 2, 4, 2);
  ChBxVhex = Make<QCheckBox>(cVPanel, "ChBxVhex", QStringLiteral("View in HEX"));
  ButtonReset = Make<QPushButton>(cVPanel, "ButtonReset", QStringLiteral("Clean"));
  ChBxVtim = Make<QCheckBox>(cVPanel, "ChBxVtim", QStringLiteral("View time"));
  bar->addWidget(ChBxVhex);
  bar->addStretch(1);
  bar->addWidget(ButtonReset);
  bar->addStretch(1);
  bar->addWidget(ChBxVtim);
  left->addWidget(cRichEd, 1);
  left->addWidget(bRichEd);
  left->addWidget(cVPanel);
  top->addWidget(VPanel, 1);

  // Right: port and socket settings, one-click commands, command lines.
  sPanel = Make<QWidget>(this, "sPanel");
  sPanel->setFixedWidth(kRightColumnWidth);
  auto* right = new QVBoxLayout(sPanel);
  right->setContentsMargins(5, 5, 5, 5);
  right->setSpacing(0);
  GrBxIni = Make<QGroupBox>(sPanel, "GrBxIni", QStringLiteral(" Initialization "));
  GrBxIni->setFixedHeight(326);
  GrBxCmd = Make<QGroupBox>(sPanel, "GrBxCmd", QStringLiteral("One click command"));
  GrBxCmdL = Make<QGroupBox>(sPanel, "GrBxCmdL", QStringLiteral(" \u0421ommand line  "));
  GrBxCmdL->setFixedHeight(153);
  right->addWidget(GrBxIni);
  right->addWidget(GrBxCmd, 1);
  right->addWidget(GrBxCmdL);
  // On a screen too low for the column it scrolls, so that every control
  // stays within reach.
  sPanelScroll = new ColumnScroll(this);
  sPanelScroll->setObjectName(QStringLiteral("sPanelScroll"));
  sPanelScroll->setWidget(sPanel);
  top->addWidget(sPanelScroll);

  buildPortGroup();
  buildSocketGroup();
  buildCommandGroup();
  buildCommandLineGroup();
  buildStatusBar();
  outer->addWidget(iPanel);
  buildPopupMenu();
  buildControlSets();

  frameClock_ = new FrameClock(this);
  Timer = frameClock_->tick();
  cRichEd->setFrameClock(frameClock_);
  bRichEd->setFrameClock(frameClock_);
  // Looks at the outgoing queues while something waits in them.
  sendWatch_ = new QTimer(this);
  sendWatch_->setInterval(250);
  connect(sendWatch_, &QTimer::timeout, this, [this] { Guarded([&] { watchSendQueues(); }); });
}

void TBaseform::buildPortGroup() {
  GroupBoxControls = Make<QGroupBox>(GrBxIni, "GroupBoxControls", QStringLiteral(" Com  "));
  GroupBoxControls->setGeometry(4, 16, 326, 222);

  pNCom = SunkenPanel(GroupBoxControls, "pNCom");
  pNCom->setGeometry(5, 15, 98, 201);
  pDcbCom = SunkenPanel(GroupBoxControls, "pDcbCom");
  pDcbCom->setGeometry(106, 15, 106, 201);
  pDcbFCom = SunkenPanel(GroupBoxControls, "pDcbFCom");
  pDcbFCom->setGeometry(215, 15, 106, 182);

  const QFont buttonFont = SerifFont(8);
  const QFont smallFont = SerifFont(9);
  for (int n = 1; n <= 16; ++n) {
    QByteArray name = "BtnCom" + QByteArray::number(n);
    QPushButton* b = Make<FlatFocusButton>(pNCom, name.constData(), QStringLiteral("COM %1").arg(n));
    b->setCheckable(true);
    b->setFlat(true);
    b->setCursor(Qt::PointingHandCursor);
    b->setProperty("tag", n);
    b->setFont(buttonFont);
    b->setFocusPolicy(Qt::TabFocus);
    int row = (n - 1) / 2, col = (n - 1) % 2;
    b->setGeometry(4 + col * 47, 4 + row * 17, 43, 16);
    BtnCom[n] = b;
  }
  ChBxScan = Make<QCheckBox>(pNCom, "ChBxScan", QStringLiteral("Scan"));
  ChBxScan->setChecked(true);
  ChBxScan->setGeometry(4, 142, 45, 15);
  ChBxFullCom = Make<QCheckBox>(pNCom, "ChBxFullCom", QStringLiteral("Full"));
  ChBxFullCom->setGeometry(51, 142, 43, 15);
  CBBaudrate = DropDown(pNCom, "CBBaudrate",
                        {"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                         "28800", "38400", "56000", "57600", "115200", "128000", "256000",
                         "460800", "921600"},
                        13);
  CBBaudrate->setGeometry(4, 160, 62, 18);
  LbBrate = Make<QLabel>(pNCom, "LbBrate", QStringLiteral("bRate"));
  LbBrate->setGeometry(68, 162, 28, 14);
  CBStopBits = DropDown(pNCom, "CBStopBits", {"1 STOPBIT", "1.5 STOPBITS", "2 STOPBITS"}, 0);
  CBStopBits->setGeometry(4, 180, 90, 18);
  CBStopBits->setToolTip(QStringLiteral(
      "The number of stop bits to be used. The use of 5 data bits with 2 stop bits is an invalid "
      "combination, as is 6, 7, or 8 data bits with 1.5 stop bits."));
  for (QWidget* w : {static_cast<QWidget*>(ChBxScan), static_cast<QWidget*>(ChBxFullCom),
                     static_cast<QWidget*>(CBBaudrate), static_cast<QWidget*>(LbBrate),
                     static_cast<QWidget*>(CBStopBits)})
    w->setFont(smallFont);

  // Line values.
  CBParity = DropDown(pDcbCom, "CBParity",
                      {"NOPARITY", "ODDPARITY", "EVENPARITY", "MARKPARITY", "SPACEPARITY"}, 0);
  CBParity->setGeometry(4, 4, 98, 18);
  CBParity->setToolTip(QStringLiteral("The parity scheme to be used."));
  struct SpinDef {
    TSpinEdit** spin;
    QLabel** label;
    const char* name;
    const char* labelName;
    const char* caption;
    int min, max, value;
    const char* hint;
  };
  const SpinDef spins[] = {
      {&SpEdXonLim, &LbXonLim, "SpEdXonLim", "LbXonLim", "XonLim", 1, 65535, 1,
       "The minimum number of bytes in use allowed in the input buffer before flow control is "
       "activated to allow transmission by the sender."},
      {&SpEdXoffLim, &LbXoffLim, "SpEdXoffLim", "LbXoffLim", "XoffLim", 1, 65535, 1,
       "The minimum number of free bytes allowed in the input buffer before flow control is "
       "activated to inhibit the sender."},
      {&SpEdByteSize, &LbByteSize, "SpEdByteSize", "LbByteSize", "ByteSize", 5, 8, 8,
       "The number of bits in the bytes transmitted and received."},
      {&SpEdXonChar, &LbXonChar, "SpEdXonChar", "LbXonChar", "XonChar", 0, 255, 2,
       "The value of the XON character for both transmission and reception."},
      {&SpEdXoffChar, &LbXoffChar, "SpEdXoffChar", "LbXoffChar", "XoffChar", 0, 255, 3,
       "The value of the XOFF character for both transmission and reception."},
      {&SpEdErrorChar, &LbErrorChar, "SpEdErrorChar", "LbErrorChar", "ErrorChar", 0, 255, 0,
       "The value of the character used to replace bytes received with a parity error."},
      {&SpEdEofChar, &LbEofChar, "SpEdEofChar", "LbEofChar", "EofChar", 0, 255, 4,
       "The value of the character used to signal the end of data."},
      {&SpEdEvtChar, &LbEvtChar, "SpEdEvtChar", "LbEvtChar", "EvtChar", 0, 255, 7,
       "The value of the character used to signal an event."},
  };
  int y = 25;
  for (const SpinDef& d : spins) {
    TSpinEdit* s = Make<TSpinEdit>(pDcbCom, d.name);
    s->setRange(d.min, d.max);
    s->setValue(d.value);
    s->setGeometry(4, y, 50, 19);
    s->setToolTip(QString::fromLatin1(d.hint));
    s->setFont(smallFont);
    QLabel* l = Make<QLabel>(pDcbCom, d.labelName, QString::fromLatin1(d.caption));
    l->setGeometry(57, y + 3, 47, 14);
    l->setFont(smallFont);
    *d.spin = s;
    *d.label = l;
    y += 22;
  }
  CBParity->setFont(smallFont);

  // Line flags, top to bottom.
  auto check = [&](const char* name, const char* caption, const char* hint) {
    QCheckBox* c = Make<QCheckBox>(pDcbFCom, name, QString::fromLatin1(caption));
    c->setToolTip(QString::fromLatin1(hint));
    c->setFont(smallFont);
    return c;
  };
  ChBxParity = check("ChBxParity", "PARITY",
                     "If this member is TRUE, parity checking is performed and errors are reported.");
  ChBxCtsFlow = check("ChBxCtsFlow", "CTS Folow",
                      "If this member is TRUE, the CTS (clear-to-send) signal is monitored for output "
                      "flow control. If this member is TRUE and CTS is turned off, output is "
                      "suspended until CTS is sent again.");
  ChBxDsrFlow = check("ChBxDsrFlow", "DSR Folow",
                      "If this member is TRUE, the DSR (data-set-ready) signal is monitored for output "
                      "flow control. If this member is TRUE and DSR is turned off, output is "
                      "suspended until DSR is sent again.");
  CBcDtr = DropDown(pDcbFCom, "CBcDtr", {"DTR Disable", "DTR Enable", "DTR Handshake"}, 1);
  CBcDtr->setToolTip(QStringLiteral("The DTR (data-terminal-ready) flow control."));
  CBcDtr->setFont(smallFont);
  ChBxDsrSensitivity = check(
      "ChBxDsrSensitivity", "DSR Sensitivity",
      "If this member is TRUE, the communications driver is sensitive to the state of the DSR "
      "signal. The driver ignores any bytes received, unless the DSR modem input line is high.");
  ChBxTXContinueOnXoff = check(
      "ChBxTXContinueOnXoff", "TX Cont. OnXoff",
      "If this member is TRUE, transmission continues after the input buffer has come within "
      "XoffLim bytes of being full and the driver has transmitted the XoffChar character to stop "
      "receiving bytes. If this member is FALSE, transmission does not continue until the input "
      "buffer is within XonLim bytes of being empty and the driver has transmitted the XonChar "
      "character to resume reception.");
  ChBxOutX = check("ChBxOutX", "Out X",
                   "Indicates whether XON/XOFF flow control is used during transmission. If this "
                   "member is TRUE, transmission stops when the XoffChar character is received and "
                   "starts again when the XonChar character is received.");
  ChBxInX = check("ChBxInX", "In X",
                  "Indicates whether XON/XOFF flow control is used during reception. If this member "
                  "is TRUE, the XoffChar character is sent when the input buffer comes within "
                  "XoffLim bytes of being full, and the XonChar character is sent when the input "
                  "buffer comes within XonLim bytes of being empty.");
  ChBxErrorChar = check("ChBxErrorChar", "Error Char",
                        "Indicates whether bytes received with parity errors are replaced with the "
                        "character specified by the ErrorChar member. If this member is TRUE and the "
                        "fParity member is TRUE, replacement occurs.");
  ChBxNull = check("ChBxNull", "Null",
                   "If this member is TRUE, null bytes are discarded when received.");
  CBcRts = DropDown(pDcbFCom, "CBcRts",
                    {"RTS Disable", "RTS Enable", "RTS Handshake", "RTS Toggle"}, 1);
  CBcRts->setToolTip(QStringLiteral("The RTS (request-to-send) flow control."));
  CBcRts->setFont(smallFont);
  ChBxAbortOnError = check("ChBxAbortOnError", "Abort On Error",
                           "If this member is TRUE, the driver terminates all read and write "
                           "operations with an error status if an error occurs.");
  y = 3;
  for (QWidget* w : std::initializer_list<QWidget*>{
           ChBxParity, ChBxCtsFlow, ChBxDsrFlow, CBcDtr, ChBxDsrSensitivity, ChBxTXContinueOnXoff,
           ChBxOutX, ChBxInX, ChBxErrorChar, ChBxNull, CBcRts, ChBxAbortOnError}) {
    const bool combo = qobject_cast<QComboBox*>(w) != nullptr;
    w->setGeometry(3, y, 99, combo ? 17 : 13);
    y += combo ? 19 : 13;
  }
  // The flag boxes stand 13 pixels apart: their check marks are drawn to fit.
  const QString compact = QStringLiteral("QCheckBox::indicator { width: 9px; height: 9px; }");
  pDcbFCom->setStyleSheet(compact);
  pNCom->setStyleSheet(compact);
  ChBxDTR = Make<QCheckBox>(GroupBoxControls, "ChBxDTR", QStringLiteral("DTR"));
  ChBxDTR->setGeometry(217, 201, 45, 15);
  ChBxDTR->setFont(smallFont);
  ChBxRTS = Make<QCheckBox>(GroupBoxControls, "ChBxRTS", QStringLiteral("RTS"));
  ChBxRTS->setGeometry(268, 201, 45, 15);
  ChBxRTS->setFont(smallFont);
  ChBxDTR->setStyleSheet(compact);
  ChBxRTS->setStyleSheet(compact);

}

void TBaseform::buildSocketGroup() {
  GrBxS1 = Make<QGroupBox>(GrBxIni, "GrBxS1", QStringLiteral(" TCP socket  "));
  GrBxS1->setGeometry(4, 238, 326, 86);
  LHostIp = Make<QLabel>(GrBxS1, "LHostIp", QStringLiteral("Host IP: "));
  LHostIp->setGeometry(8, 16, 100, 14);
  ChBxIPs = Make<QListWidget>(GrBxS1, "ChBxIPs");
  ChBxIPs->setGeometry(8, 31, 104, 50);
  LHostPort = Make<QLabel>(GrBxS1, "LHostPort", QStringLiteral("sPort:"));
  LHostPort->setGeometry(118, 16, 38, 14);
  EdtSPort = Make<QLineEdit>(GrBxS1, "EdtSPort");
  EdtSPort->setGeometry(118, 31, 38, 21);
  LRemHost = Make<QLabel>(GrBxS1, "LRemHost", QStringLiteral("Remote IP: "));
  LRemHost->setGeometry(162, 16, 90, 14);
  edtRHost = Make<QLineEdit>(GrBxS1, "edtRHost");
  edtRHost->setGeometry(162, 31, 90, 21);
  LRemPort = Make<QLabel>(GrBxS1, "LRemPort", QStringLiteral("rPort: "));
  LRemPort->setGeometry(258, 16, 40, 14);
  EdtRPort = Make<QLineEdit>(GrBxS1, "EdtRPort");
  EdtRPort->setGeometry(258, 31, 37, 21);
  ChBxIniNet = Make<QCheckBox>(GrBxS1, "ChBxIniNet", QStringLiteral("Check Net"));
  ChBxIniNet->setGeometry(118, 60, 80, 17);
  ChBxS1Conn = Make<QCheckBox>(GrBxS1, "ChBxS1Conn", QStringLiteral("Connect"));
  ChBxS1Conn->setGeometry(210, 60, 80, 17);
  ChBxS1Conn->setEnabled(false);
}

void TBaseform::buildCommandGroup() {
  QWidget* g = GrBxCmd;
  const QFont bold = SansFont(true);
  auto edit = [&](const char* name, int x, int y, int w, const char* hint) {
    QLineEdit* e = Make<QLineEdit>(g, name);
    e->setGeometry(x, y, w, 21);
    e->setFont(bold);
    if (hint) e->setToolTip(QString::fromLatin1(hint));
    return e;
  };
  QStringList rates;
  for (std::string_view r : kConfBaudRates) rates << QString::fromLatin1(r.data(), qsizetype(r.size()));
  // Rows 21 high, 3 apart: the group fits the height the window leaves it
  // with a title bar (about 180).
  int y = 16;
  EdApn1 = edit("EdApn1", 6, y, 130, "Access Point Name SIM1");
  EdLogin1 = edit("EdLogin1", 138, y, 55, "Access Login SIM1");
  EdPassw1 = edit("EdPassw1", 195, y, 55, "Access Password SIM1");
  y = 40;
  EdApn2 = edit("EdApn2", 6, y, 130, "Access Point Name SIM2");
  EdLogin2 = edit("EdLogin2", 138, y, 55, "Access Login SIM2");
  EdPassw2 = edit("EdPassw2", 195, y, 55, "Access Password SIM2");
  auto baudRow = [&](bool first, int yy, QComboBox*& list, QLineEdit*& port) {
    list = DropDown(g, first ? "CBConfBaud" : "CBConfBaud2", rates, -1);
    list->setGeometry(6, yy, 71, 21);
    list->setFont(bold);
    list->setToolTip(QStringLiteral("Out port baudrate"));
    port = edit(first ? "EdtConfPort" : "EdtConfPort2", 170, yy, 55,
                first ? "Modem socket port 1" : "Modem socket port 2");
  };
  baudRow(true, 64, CBConfBaud, EdtConfPort);
  baudRow(false, 88, CBConfBaud2, EdtConfPort2);

  LReport = Make<QLabel>(g, "LReport", QStringLiteral("Report"));
  LReport->setGeometry(6, 121, 40, 16);
  GrBxRep = Make<QFrame>(g, "GrBxRep");
  GrBxRep->setFrameShape(QFrame::Box);
  GrBxRep->setFrameShadow(QFrame::Sunken);
  GrBxRep->setGeometry(48, 112, 278, 33);
  LRepIP = Make<QLabel>(GrBxRep, "LRepIP", QStringLiteral("IP: "));
  LRepIP->setGeometry(4, 9, 18, 14);
  edtRepHost = Make<QLineEdit>(GrBxRep, "edtRepHost");
  edtRepHost->setGeometry(22, 6, 90, 21);
  edtRepHost->setFont(bold);
  edtRepHost->setToolTip(QStringLiteral("AC report IP"));
  LRepPort = Make<QLabel>(GrBxRep, "LRepPort", QStringLiteral("Port: "));
  LRepPort->setGeometry(116, 9, 30, 14);
  edtRepPort = Make<QLineEdit>(GrBxRep, "edtRepPort");
  edtRepPort->setGeometry(146, 6, 55, 21);
  edtRepPort->setFont(bold);
  edtRepPort->setToolTip(QStringLiteral("AC report port"));
  buildOneClickButtons();
  GrBxCmd->setMinimumHeight(150 + 25 + 3);
}

void TBaseform::buildOneClickButtons() {
  // Every button of the group from its row: built, placed and connected.
  for (const GroupControl& row : OneClickGroup()) {
    if (!row.isButton()) continue;
    QWidget* frame = row.place.frame == Frame::Report ? static_cast<QWidget*>(GrBxRep) : GrBxCmd;
    const std::string name(row.name);
    auto* b = Make<QPushButton>(frame, name.c_str(), FromCp1251(row.caption));
    b->setGeometry(row.place.x, row.place.y, row.place.w, row.place.h);
    if (row.place.h != 21) b->setFixedHeight(row.place.h);
    if (!row.hint.empty()) b->setToolTip(FromCp1251(row.hint));
    const OneClick id = row.id;
    oneClickButtons_[id] = b;
    connect(b, &QPushButton::clicked, this, [this, id] { Guarded([&] { oneClickClick(id); }); });
  }
  // The keyboard walks the group row by row, left to right, wherever a
  // button was built.
  QList<QWidget*> order;
  for (QWidget* frame : {static_cast<QWidget*>(GrBxCmd), static_cast<QWidget*>(GrBxRep)})
    for (QWidget* w : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
      if (w->focusPolicy() & Qt::TabFocus) order << w;
  const auto at = [this](QWidget* w) { return w->mapTo(GrBxCmd, QPoint(0, 0)); };
  std::stable_sort(order.begin(), order.end(), [&](QWidget* a, QWidget* b) {
    const QPoint pa = at(a), pb = at(b);
    return pa.y() != pb.y() ? pa.y() < pb.y() : pa.x() < pb.x();
  });
  for (qsizetype i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void TBaseform::buildCommandLineGroup() {
  QWidget* g = GrBxCmdL;
  QFont bold = SansFont(true);
  for (int n = 1; n <= 5; ++n) {
    QByteArray name = "EdCmdLn" + QByteArray::number(n);
    QLineEdit* e = Make<QLineEdit>(g, name.constData());
    e->setGeometry(6, 16 + (n - 1) * 21, 303, 20);
    e->setFont(bold);
    QByteArray rbName = "S1RB" + QByteArray::number(n);
    QRadioButton* r = Make<QRadioButton>(g, rbName.constData());
    r->setGeometry(313, 18 + (n - 1) * 21, 16, 16);
    if (n >= 4) {
      // The download lines stand out in pale yellow; on a dark desktop
      // theme, in a yellow tint of its own field colour, under its text colour.
      QPalette p = e->palette();
      const QColor base = p.color(QPalette::Base);
      const auto tint = [](int c, int yellow) { return (c * 4 + yellow) / 5; };
      p.setColor(QPalette::Base, base.lightness() >= 128
                                     ? QColor(255, 255, 213)
                                     : QColor(tint(base.red(), 255), tint(base.green(), 255), tint(base.blue(), 0)));
      e->setPalette(p);
      e->setEnabled(false);
      r->setEnabled(false);
    }
    EdCmdLn[n] = e;
    S1RB[n] = r;
  }
  S1RB[1]->setChecked(true);
  const int y = 124;
  ChBxDwl = Make<QCheckBox>(g, "ChBxDwl", QStringLiteral("Dwl"));
  ChBxDwl->setGeometry(6, y + 3, 48, 17);
  ChBxDwl->setToolTip(QStringLiteral("Enable menu firmware update"));
  ChpCSD = Make<QCheckBox>(g, "ChpCSD", QStringLiteral("pCSD"));
  ChpCSD->setGeometry(58, y + 3, 56, 17);
  ChpCSD->setToolTip(QStringLiteral("Send commands with the \"cKVL>\" prompt over the serial port"));
  ChBxCR1 = Make<QCheckBox>(g, "ChBxCR1", QStringLiteral("CR"));
  ChBxCR1->setGeometry(120, y + 3, 42, 17);
  ChBxCR1->setChecked(true);
  ChBxLF1 = Make<QCheckBox>(g, "ChBxLF1", QStringLiteral("LF"));
  ChBxLF1->setGeometry(166, y + 3, 42, 17);
  ChBxLF1->setChecked(true);
  BtnSendCmd = Make<QPushButton>(g, "BtnSendCmd", QStringLiteral("Send"));
  BtnSendCmd->setGeometry(250, y, 74, 24);
  // Enter sends a line, Up and Down bring back the lines sent before.
  for (int n = 1; n <= 5; ++n) EdCmdLn[size_t(n)]->installEventFilter(this);
}

void TBaseform::buildControlSets() {
  // The command group's controls, in the order of its table.
  SerialCommandControls.clear();
  NetCommandControls.clear();
  NetCloseControls.clear();
  for (const GroupControl& row : OneClickGroup()) {
    QWidget* w = findChild<QWidget*>(FromCp1251(row.name));
    if (row.sets & kSerialSet) SerialCommandControls << w;
    if (row.sets & kNetSet) NetCommandControls << w;
    if (row.sets & kNetCloseSet) NetCloseControls << w;
  }
  DcbControls = {ChBxParity,   ChBxCtsFlow,  ChBxDsrFlow,  CBcDtr,        ChBxDsrSensitivity,
                 ChBxTXContinueOnXoff, ChBxOutX, ChBxInX,   ChBxErrorChar, ChBxNull,
                 CBcRts,       ChBxAbortOnError, SpEdXonLim, LbXonLim,   SpEdXoffLim,
                 LbXoffLim,    SpEdByteSize, LbByteSize,   CBParity,      CBStopBits,
                 SpEdXonChar,  LbXonChar,    SpEdXoffChar, LbXoffChar,    SpEdErrorChar,
                 LbErrorChar,  SpEdEofChar,  LbEofChar,    SpEdEvtChar,   LbEvtChar};
  // The command controls wait for a link; the line settings for "Full".
  for (QWidget* w : SerialCommandControls) w->setEnabled(false);
  for (QWidget* w : DcbControls) w->setEnabled(false);
}

void TBaseform::buildStatusBar() {
  iPanel = Make<QFrame>(this, "iPanel");
  iPanel->setFixedHeight(23);
  auto* l = new QHBoxLayout(iPanel);
  l->setContentsMargins(0, 0, 0, 0);
  StatusBar = Make<QStatusBar>(iPanel, "StatusBar");
  StatusBar->setSizeGripEnabled(false);
  l->addWidget(StatusBar);
  const int widths[10] = {50, 50, 50, 50, 50, 50, 50, 50, 150, 200};
  for (int i = 0; i < 10; ++i) {
    QLabel* p = new QLabel(StatusBar);
    p->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
    p->setFixedWidth(widths[i]);
    p->setFrameShape(QFrame::Panel);
    p->setFrameShadow(QFrame::Sunken);
    p->setTextFormat(Qt::PlainText);
    StatusBar->addWidget(p);
    StatusPanels[size_t(i)] = p;
  }
}

void TBaseform::buildPopupMenu() {
  PopupMenu = new QMenu(this);
  PopupMenu->setObjectName(QStringLiteral("PopupMenu"));
  PopupMenu->setToolTipsVisible(true);
  auto item = [&](const char* name, const char* caption, bool enabled, const char* hint) {
    QAction* a = PopupMenu->addAction(QString::fromLatin1(caption));
    a->setObjectName(QLatin1String(name));
    a->setEnabled(enabled);
    a->setToolTip(QString::fromUtf8(hint));
    a->setStatusTip(QString::fromUtf8(hint));
    return a;
  };
  auto separator = [&](const char* name) {
    QAction* a = PopupMenu->addSeparator();
    a->setObjectName(QLatin1String(name));
    a->setEnabled(false);
    return a;
  };
  itemUndo = item("itemUndo", "Undo", false, "Отменить последнюю операцию");
  N2 = separator("N2");
  itemCut = item("itemCut", "Cut", false, "Вырезать выделенный текст в буфер обмена");
  itemCopy = item("itemCopy", "Copy", true, "Копировать выделенный текст в буфер обмена");
  itemPaste = item("itemPaste", "Paste", false, "Вставить текст из буфера обмена в текущую позицию");
  itemDelete = item("itemDelete", "Delete", false, "Удалить выделенный текст");
  N7 = separator("N7");
  itemSelectAll = item("itemSelectAll", "Select All", true, "Выделить весь текст");
  // Our own entries follow the panes' standard ones.
  N9 = separator("N9");
  itemFind = item("itemFind", "Find...", true, "Найти текст в окне (Ctrl+F)");

  // Ctrl+F anywhere in the window finds in the pane that has the keyboard
  // (its find field included), otherwise in the text pane. A pane takes
  // its own Ctrl+F first (ConsolePane::event).
  auto* find = new QShortcut(QKeySequence::Find, this);
  find->setObjectName(QStringLiteral("FindShortcut"));
  connect(find, &QShortcut::activated, this, [this] {
    QWidget* focus = QApplication::focusWidget();
    (focus && bRichEd->isAncestorOf(focus) ? bRichEd : cRichEd)->openFind();
  });
}

}  // namespace kvl
