// The main window as created: every control with its kind, caption, items,
// initial value, enabled state and hint.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSpinBox>
#include <QStatusBar>
#include <QTest>
#include <QTimer>

#include "TestSupport.h"
#include "app/ConsolePane.h"
#include "app/fBase.h"
#include "commands/Commands.h"
#include "ui/QtText.h"

using namespace kvltest;
using kvl::TBaseform;

class LayoutTest : public QObject {
  Q_OBJECT
  std::unique_ptr<WorkDir> dir;
  std::unique_ptr<Windows> w;

 private slots:
  // One window for all cases; the cases that change it come last.
  void initTestCase() {
    dir = std::make_unique<WorkDir>();
    w = std::make_unique<Windows>();
  }
  void cleanupTestCase() {
    w.reset();
    dir.reset();
  }

  void window() {
    QCOMPARE(w->main->windowTitle(), QStringLiteral(" KVL service program v.1.04"));
    QCOMPARE(w->main->size(), QSize(970, 729));  // before the first showing
    QVERIFY(!w->main->windowIcon().isNull());
    QCOMPARE(w->main->windowIcon().pixmap(32, 32).size(), QSize(32, 32));
    QCOMPARE(w->main->sPanel->width(), 344);
    QCOMPARE(w->main->GrBxIni->height(), 326);
    QCOMPARE(w->main->GrBxCmdL->height(), 153);
    QCOMPARE(w->main->bRichEd->height(), 58);
    QCOMPARE(w->main->cVPanel->height(), 26);
    QCOMPARE(w->main->iPanel->height(), 23);
    QCOMPARE(w->main->Timer->interval(), 500);
    QVERIFY(w->main->Timer->isActive());
    // The command-line group's caption starts with a Cyrillic Es.
    QCOMPARE(w->main->GrBxCmdL->title(), QStringLiteral(" \u0421ommand line  "));
  }

  void controls_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<QString>("value");  // checked state, selection or value
    auto row = [](const char* name, const char* kind, const char* caption, bool enabled,
                  const char* value = "") {
      QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(kind)
                          << QString::fromUtf8(caption) << enabled << QString::fromLatin1(value);
    };
    row("ChBxVhex", "check", "View in HEX", true, "0");
    row("ButtonReset", "button", "Clean", true);
    row("ChBxVtim", "check", "View time", true, "0");
    for (int n = 1; n <= 16; ++n) {
      static QByteArray names[17], captions[17];
      names[n] = "BtnCom" + QByteArray::number(n);
      captions[n] = "COM " + QByteArray::number(n);
      row(names[n].constData(), "button", captions[n].constData(), false, "0");
    }
    row("ChBxScan", "check", "Scan", true, "1");
    row("ChBxFullCom", "check", "Full", true, "0");
    row("CBBaudrate", "combo", "", true, "115200");
    row("LbBrate", "label", "bRate", true);
    row("CBStopBits", "combo", "", false, "1 STOPBIT");
    row("CBParity", "combo", "", false, "NOPARITY");
    row("SpEdXonLim", "spin", "", false, "1");
    row("SpEdXoffLim", "spin", "", false, "1");
    row("SpEdByteSize", "spin", "", false, "8");
    row("SpEdXonChar", "spin", "", false, "2");
    row("SpEdXoffChar", "spin", "", false, "3");
    row("SpEdErrorChar", "spin", "", false, "0");
    row("SpEdEofChar", "spin", "", false, "4");
    row("SpEdEvtChar", "spin", "", false, "7");
    row("LbXonLim", "label", "XonLim", false);
    row("LbXoffLim", "label", "XoffLim", false);
    row("LbByteSize", "label", "ByteSize", false);
    row("LbXonChar", "label", "XonChar", false);
    row("LbXoffChar", "label", "XoffChar", false);
    row("LbErrorChar", "label", "ErrorChar", false);
    row("LbEofChar", "label", "EofChar", false);
    row("LbEvtChar", "label", "EvtChar", false);
    row("ChBxParity", "check", "PARITY", false, "0");
    row("ChBxCtsFlow", "check", "CTS Folow", false, "0");
    row("ChBxDsrFlow", "check", "DSR Folow", false, "0");
    row("CBcDtr", "combo", "", false, "DTR Enable");
    row("ChBxDsrSensitivity", "check", "DSR Sensitivity", false, "0");
    row("ChBxTXContinueOnXoff", "check", "TX Cont. OnXoff", false, "0");
    row("ChBxOutX", "check", "Out X", false, "0");
    row("ChBxInX", "check", "In X", false, "0");
    row("ChBxErrorChar", "check", "Error Char", false, "0");
    row("ChBxNull", "check", "Null", false, "0");
    row("CBcRts", "combo", "", false, "RTS Enable");
    row("ChBxAbortOnError", "check", "Abort On Error", false, "0");
    row("ChBxDTR", "check", "DTR", true, "0");
    row("ChBxRTS", "check", "RTS", true, "0");
    row("LHostIp", "label", "Host IP: ", true);
    row("ChBxIPs", "list", "", true);
    row("LHostPort", "label", "sPort:", true);
    row("EdtSPort", "edit", "", true);
    row("LRemHost", "label", "Remote IP: ", true);
    row("edtRHost", "edit", "", true);
    row("LRemPort", "label", "rPort: ", true);
    row("EdtRPort", "edit", "", true);
    row("ChBxIniNet", "check", "Check Net", true, "0");
    row("ChBxS1Conn", "check", "Connect", false, "0");
    for (const char* e : {"EdApn1", "EdLogin1", "EdPassw1", "EdApn2", "EdLogin2", "EdPassw2",
                          "EdtConfPort", "EdtConfPort2", "edtRepHost", "edtRepPort"})
      row(e, "edit", "", false);
    row("CBConfBaud", "combo", "", false, "");
    row("CBConfBaud2", "combo", "", false, "");
    row("LReport", "label", "Report", true);
    row("LRepIP", "label", "IP: ", true);
    row("LRepPort", "label", "Port: ", true);
    for (int n = 1; n <= 5; ++n) {
      static QByteArray e[6], r[6];
      e[n] = "EdCmdLn" + QByteArray::number(n);
      r[n] = "S1RB" + QByteArray::number(n);
      row(e[n].constData(), "edit", "", n <= 3);
      row(r[n].constData(), "radio", "", n <= 3, n == 1 ? "1" : "0");
    }
    row("ChBxDwl", "check", "Dwl", true, "0");
    row("ChpCSD", "check", "pCSD", true, "0");
    row("ChBxCR1", "check", "CR", true, "1");
    row("ChBxLF1", "check", "LF", true, "1");
    row("BtnSendCmd", "button", "Send", false);
  }

  void controls() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, caption);
    QFETCH(bool, enabled);
    QFETCH(QString, value);
    QWidget* c = w->main->findChild<QWidget*>(name);
    QVERIFY2(c, qPrintable(name));
    QCOMPARE(c->isEnabled(), enabled);
    if (kind == "check") {
      auto* b = qobject_cast<QCheckBox*>(c);
      QVERIFY(b);
      QCOMPARE(b->text(), caption);
      QCOMPARE(b->isChecked(), value == "1");
    } else if (kind == "radio") {
      auto* b = qobject_cast<QRadioButton*>(c);
      QVERIFY(b);
      QCOMPARE(b->text(), caption);
      QCOMPARE(b->isChecked(), value == "1");
    } else if (kind == "button") {
      auto* b = qobject_cast<QPushButton*>(c);
      QVERIFY(b);
      QCOMPARE(b->text(), caption);
      if (!value.isEmpty()) QCOMPARE(b->isChecked(), value == "1");
    } else if (kind == "label") {
      auto* l = qobject_cast<QLabel*>(c);
      QVERIFY(l);
      QCOMPARE(l->text(), caption);
    } else if (kind == "combo") {
      auto* b = qobject_cast<QComboBox*>(c);
      QVERIFY(b);
      QVERIFY(!b->isEditable());
      QCOMPARE(b->currentText(), value);
    } else if (kind == "spin") {
      auto* s = qobject_cast<QSpinBox*>(c);
      QVERIFY(s);
      QCOMPARE(QString::number(s->value()), value);
    } else if (kind == "edit") {
      QVERIFY(qobject_cast<QLineEdit*>(c));
    } else if (kind == "list") {
      QVERIFY(qobject_cast<QListWidget*>(c));
    }
  }

  // Each button of the one-click group as its row draws it, disabled until
  // a link opens.
  void oneClickButtons() {
    for (const kvl::GroupControl& row : kvl::OneClickGroup()) {
      if (!row.isButton()) continue;
      QPushButton* b = w->main->oneClickButton(row.id);
      QCOMPARE(b->objectName(), kvl::FromCp1251(row.name));
      QCOMPARE(b->text(), kvl::FromCp1251(row.caption));
      QCOMPARE(b->toolTip(), kvl::FromCp1251(row.hint));
      QCOMPARE(b->geometry(), QRect(row.place.x, row.place.y, row.place.w, row.place.h));
      const bool inReport = row.place.frame == kvl::Frame::Report;
      QCOMPARE(b->parentWidget(), inReport ? static_cast<QWidget*>(w->main->GrBxRep) : w->main->GrBxCmd);
      QVERIFY(!b->isEnabled());
    }
  }

  void listItemsAndRanges() {
    auto items = [&](const char* name) {
      QStringList out;
      auto* c = w->main->findChild<QComboBox*>(QLatin1String(name));
      for (int i = 0; i < c->count(); ++i) out << c->itemText(i);
      return out;
    };
    QCOMPARE(items("CBBaudrate"),
             QStringList({"110", "300", "600", "1200", "2400", "4800", "9600", "14400", "19200",
                          "28800", "38400", "56000", "57600", "115200", "128000", "256000",
                          "460800", "921600"}));
    QCOMPARE(items("CBStopBits"), QStringList({"1 STOPBIT", "1.5 STOPBITS", "2 STOPBITS"}));
    QCOMPARE(items("CBParity"),
             QStringList({"NOPARITY", "ODDPARITY", "EVENPARITY", "MARKPARITY", "SPACEPARITY"}));
    QCOMPARE(items("CBcDtr"), QStringList({"DTR Disable", "DTR Enable", "DTR Handshake"}));
    QCOMPARE(items("CBcRts"),
             QStringList({"RTS Disable", "RTS Enable", "RTS Handshake", "RTS Toggle"}));
    const QStringList rates = {"1200",  "2400",   "4800",   "9600",   "19200", "38400",
                               "57600", "115200", "230400", "460800", "921600"};
    QCOMPARE(items("CBConfBaud"), rates);
    QCOMPARE(items("CBConfBaud2"), rates);
    struct R { const char* name; int min, max; };
    for (R r : {R{"SpEdXonLim", 1, 65535}, R{"SpEdXoffLim", 1, 65535}, R{"SpEdByteSize", 5, 8},
                R{"SpEdXonChar", 0, 255}, R{"SpEdXoffChar", 0, 255}, R{"SpEdErrorChar", 0, 255},
                R{"SpEdEofChar", 0, 255}, R{"SpEdEvtChar", 0, 255}}) {
      auto* s = w->main->findChild<QSpinBox*>(QLatin1String(r.name));
      QCOMPARE(s->minimum(), r.min);
      QCOMPARE(s->maximum(), r.max);
    }
    for (int n = 1; n <= 16; ++n) {
      QPushButton* b = w->main->BtnCom[size_t(n)];
      QVERIFY(b->isCheckable());
      QVERIFY(b->isFlat());
      QCOMPARE(b->property("tag").toInt(), n);
      QCOMPARE(b->size(), QSize(43, 16));
      QCOMPARE(b->cursor().shape(), Qt::PointingHandCursor);
    }
  }

  void hintsOnlyWhereGiven() {
    // Controls with a hint: the line-setting controls, the fields of the
    // one-click group, its buttons whose row gives one, and "Dwl"; the port
    // buttons show the device they stand for; "pCSD" has a hint of our own.
    // Nothing else.
    QStringList withHint = {
        "CBStopBits", "CBParity", "SpEdXonLim", "SpEdXoffLim", "SpEdByteSize", "SpEdXonChar",
        "SpEdXoffChar", "SpEdErrorChar", "SpEdEofChar", "SpEdEvtChar", "ChBxParity",
        "ChBxCtsFlow", "ChBxDsrFlow", "CBcDtr", "ChBxDsrSensitivity", "ChBxTXContinueOnXoff",
        "ChBxOutX", "ChBxInX", "ChBxErrorChar", "ChBxNull", "CBcRts", "ChBxAbortOnError",
        "EdApn1", "EdLogin1", "EdPassw1", "EdApn2", "EdLogin2", "EdPassw2", "CBConfBaud",
        "CBConfBaud2", "EdtConfPort", "EdtConfPort2", "edtRepHost", "edtRepPort", "ChBxDwl",
        "ChpCSD"};
    for (const kvl::GroupControl& row : kvl::OneClickGroup())
      if (row.isButton() && !row.hint.empty()) withHint << kvl::FromCp1251(row.name);
    for (QWidget* c : w->main->findChildren<QWidget*>()) {
      const QString name = c->objectName();
      if (name.isEmpty() || name.startsWith("BtnCom") || name.startsWith("qt_") ||
          c->window() != w->main)
        continue;
      QVERIFY2(withHint.contains(name) != c->toolTip().isEmpty(), qPrintable(name));
    }
    QCOMPARE(w->main->findChild<QWidget*>("CBParity")->toolTip(),
             QStringLiteral("The parity scheme to be used."));
    // With every COM number mapped to nothing, each button says so.
    QVERIFY(w->main->BtnCom[3]->toolTip().contains("no device"));
  }

  void statusBarAndMenu() {
    const int widths[10] = {50, 50, 50, 50, 50, 50, 50, 50, 150, 200};
    for (int i = 0; i < 10; ++i) {
      QCOMPARE(w->main->StatusPanels[size_t(i)]->width(), widths[i]);
      QVERIFY(w->main->panelText(i).isEmpty());
    }
    const QList<QAction*> actions = w->main->PopupMenu->actions();
    QStringList names, captions;
    QList<bool> enabled;
    for (QAction* a : actions) {
      names << a->objectName();
      captions << a->text();
      enabled << a->isEnabled();
    }
    // The standard items first, in their order; then our own "Find...".
    QCOMPARE(names, QStringList({"itemUndo", "N2", "itemCut", "itemCopy", "itemPaste",
                                 "itemDelete", "N7", "itemSelectAll", "N9", "itemFind"}));
    QCOMPARE(captions, QStringList({"Undo", "", "Cut", "Copy", "Paste", "Delete", "", "Select All",
                                    "", "Find..."}));
    QCOMPARE(enabled,
             QList<bool>({false, false, false, true, false, false, false, true, false, true}));
    QCOMPARE(w->main->itemCopy->toolTip(),
             QString::fromUtf8("Копировать выделенный текст в буфер обмена"));
    QCOMPARE(w->main->itemSelectAll->toolTip(), QString::fromUtf8("Выделить весь текст"));
  }

  void controlSets() {
    // The group's controls in each set, in the order of its rows.
    const std::pair<const QList<QWidget*>&, unsigned> sets[] = {
        {w->main->SerialCommandControls, kvl::kSerialSet},
        {w->main->NetCommandControls, kvl::kNetSet},
        {w->main->NetCloseControls, kvl::kNetCloseSet}};
    for (const auto& [controls, set] : sets) {
      QStringList names, rows;
      for (QWidget* c : controls) names << (c ? c->objectName() : QStringLiteral("<null>"));
      for (const kvl::GroupControl& row : kvl::OneClickGroup())
        if (row.sets & set) rows << kvl::FromCp1251(row.name);
      QCOMPARE(names, rows);
    }
    QCOMPARE(w->main->DcbControls.size(), 30);
  }

  void fullAndScanSwitchTheLineSettings() {
    w->main->ChBxFullCom->click();
    for (QWidget* c : w->main->DcbControls) QVERIFY(c->isEnabled());
    QVERIFY(w->main->CBBaudrate->isEnabled());
    w->main->ChBxScan->click();  // re-applies "Full"
    for (QWidget* c : w->main->DcbControls) QVERIFY(c->isEnabled());
    w->main->ChBxFullCom->click();
    for (QWidget* c : w->main->DcbControls) QVERIFY(!c->isEnabled());
    QVERIFY(w->main->CBBaudrate->isEnabled());
  }

  void spinEditKeepsItsRange() {
    w->main->ChBxFullCom->click();
    w->main->show();
    w->main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w->main));
    auto* s = w->main->findChild<QSpinBox*>("SpEdByteSize");
    s->setFocus();
    s->selectAll();
    QTest::keyClicks(s, "9");
    w->main->findChild<QWidget*>("SpEdXonChar")->setFocus();  // leaving the field
    QCOMPARE(s->value(), 8);
    auto* c = w->main->findChild<QSpinBox*>("SpEdXonChar");
    c->selectAll();
    QTest::keyClicks(c, "300");
    s->setFocus();
    QCOMPARE(c->value(), 255);
    c->setFocus();
    c->selectAll();
    QTest::keyClick(c, Qt::Key_Backspace);
    QTest::keyClicks(c, "a-");  // letters and signs do not go in
    s->setFocus();
    QCOMPARE(c->value(), 0);  // an empty field reads as the minimum
  }

  // Showing changes the window (the first activation loads the settings):
  // these cases come last.
  void shownWindowHasItsOuterSizeCentredInTheAvailableArea() {
    TBaseform* f = w->main;
    f->show();
    QVERIFY(QTest::qWaitForWindowExposed(f));
    const QRect available = f->screen()->availableGeometry();
    QVERIFY(available.width() >= 970 && available.height() >= 729);
    QCOMPARE(f->frameGeometry().size(), QSize(970, 729));
    QCOMPARE(f->frameGeometry().center(), available.center());
    QVERIFY(f->size() != f->frameGeometry().size());  // the test screen draws frames
    QCOMPARE(f->sPanelScroll->width(), 344);
    QCOMPARE(f->sPanelScroll->verticalScrollBar()->maximum(), 0);
  }

  void lowScreenFitsTheWindowAndScrollsTheRightColumn() {
    // A 1366 x 768 laptop leaves about 700 pixels: the window fits them and
    // the right-hand column scrolls, so the command lines and "Send" stay
    // within reach.
    TBaseform* f = w->main;
    const QRect laptop(0, 27, 1366, 600);
    f->placeWindow(laptop);
    QTRY_VERIFY(laptop.contains(f->frameGeometry()));
    QCOMPARE(f->frameGeometry().height(), 600);
    QScrollBar* bar = f->sPanelScroll->verticalScrollBar();
    QTRY_VERIFY(bar->maximum() > 0);
    QCOMPARE(f->sPanel->width(), 344);
    f->sPanelScroll->ensureWidgetVisible(f->BtnSendCmd);
    const QRect sendAt(f->BtnSendCmd->mapTo(f->sPanelScroll->viewport(), QPoint(0, 0)),
                       f->BtnSendCmd->size());
    QVERIFY(f->sPanelScroll->viewport()->rect().contains(sendAt));
    // Back on a large screen the column needs no scrolling.
    f->placeWindow(f->screen()->availableGeometry());
    QTRY_COMPARE(bar->maximum(), 0);
    QTRY_COMPARE(f->sPanelScroll->width(), 344);
    QCOMPARE(f->frameGeometry().size(), QSize(970, 729));
  }
};

QTEST_MAIN(LayoutTest)
#include "layout_test.moc"
