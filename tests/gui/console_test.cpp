// The console panes, the popup menu and the timer's hand-over of received
// text to the reply parser.
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QPushButton>
#include <QRadioButton>
#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include "TestSupport.h"
#include "app/ConsolePane.h"
#include "core/Colours.h"
#include "ui/WinColour.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "simset/fSimSet.h"

using namespace kvltest;
using kvl::kGrey;
using kvl::kNavy;

namespace {

// The runs of a pane: (text, colour) in order.
QList<QPair<QString, QColor>> Runs(kvl::ConsolePane* pane) {
  QList<QPair<QString, QColor>> out;
  for (const auto& [text, colour] : pane->content().runTexts())
    out << qMakePair(QString::fromStdU16String(text), kvl::WinColour(colour));
  return out;
}

}  // namespace

class ConsoleTest : public QObject {
  Q_OBJECT
  std::unique_ptr<WorkDir> dir;
  std::unique_ptr<Windows> w;

 private slots:
  void init() {
    dir = std::make_unique<WorkDir>();
    w = std::make_unique<Windows>();
    w->main->Timer->stop();  // ticks are driven by hand here
  }
  void cleanup() {
    w.reset();
    dir.reset();
  }

  void appendsMakeRunsInCallOrder() {
    w->main->AppendText(kGrey, "To Com: x");
    w->main->AppendText(kNavy, "OK");
    const auto runs = Runs(w->main->cRichEd);
    QCOMPARE(runs.size(), 2);
    QCOMPARE(runs[0].first, QStringLiteral("To Com: x"));
    QCOMPARE(runs[0].second, QColor(128, 128, 128));
    QCOMPARE(runs[1].first, QStringLiteral("OK"));
    QCOMPARE(runs[1].second, QColor(0, 0, 128));
    w->main->AppendHex(kGrey, "4F4B\r\n");
    QCOMPARE(PaneText(*w->main, true), QStringLiteral("4F4B\n"));
  }

  void lineBreaksAndMarkup_data() {
    QTest::addColumn<QStringList>("appends");
    QTest::addColumn<QString>("shown");
    QTest::newRow("crlf is one break") << QStringList{"a\r\nb"} << "a\nb";
    QTest::newRow("lone cr and lf") << QStringList{"a\rb\nc"} << "a\nb\nc";
    QTest::newRow("pair split over two appends") << QStringList{"a\r", "\nb"} << "a\nb";
    QTest::newRow("two crs are two breaks") << QStringList{"a\r", "\rb"} << "a\n\nb";
    QTest::newRow("markup shown as is") << QStringList{"<b>x</b> &amp;"} << "<b>x</b> &amp;";
    QTest::newRow("empty append") << QStringList{"x", ""} << "x";
  }
  void lineBreaksAndMarkup() {
    QFETCH(QStringList, appends);
    QFETCH(QString, shown);
    for (const QString& a : appends) w->main->AppendText(kNavy, a.toStdString());
    QCOMPARE(PaneText(*w->main), shown);
  }

  void cyrillicArrivesAsWindows1251() {
    w->main->AppendText(kNavy, "\xCE\xCA");  // "ОК" in Windows-1251
    QCOMPARE(PaneText(*w->main), QString::fromUtf8("ОК"));
  }

  // An append never takes the focus from a control the engineer types into
  // or picks from; from anything else it moves the focus to its pane.
  void appendKeepsAnEditFieldsFocus_data() {
    QTest::addColumn<QString>("holder");
    QTest::addColumn<bool>("keeps");
    QTest::newRow("command line") << "EdCmdLn2" << true;
    QTest::newRow("address field") << "edtRHost" << true;
    QTest::newRow("drop-down list") << "CBBaudrate" << true;
    QTest::newRow("check-list") << "ChBxIPs" << true;
    QTest::newRow("check box") << "ChBxVhex" << false;
    QTest::newRow("button") << "ButtonReset" << false;
  }
  void appendKeepsAnEditFieldsFocus() {
    QFETCH(QString, holder);
    QFETCH(bool, keeps);
    w->main->show();
    w->main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w->main));
    QWidget* field = w->main->findChild<QWidget*>(holder);
    QVERIFY(field);
    field->setFocus();
    QVERIFY(field->hasFocus());
    w->main->AppendText(kNavy, "");
    QCOMPARE(field->hasFocus(), keeps);
    QCOMPARE(w->main->cRichEd->hasFocus(), !keeps);
    QVERIFY(PaneText(*w->main).isEmpty());
    w->main->AppendHex(kGrey, "00\r\n");
    QCOMPARE(field->hasFocus(), keeps);
    QCOMPARE(w->main->bRichEd->hasFocus(), !keeps);
  }

  void cleanEmptiesBothPanes() {
    w->main->AppendText(kNavy, "abc");
    w->main->AppendHex(kGrey, "616263\r\n");
    kvl::RxText = "abc";
    w->main->ButtonReset->click();
    QVERIFY(PaneText(*w->main).isEmpty());
    QVERIFY(PaneText(*w->main, true).isEmpty());
    QCOMPARE(kvl::RxText, std::string("abc"));  // received text is not touched
  }

  void copyFollowsTheSelectionOfThePaneTheMenuOpenedOn() {
    w->main->AppendText(kNavy, "text pane");
    w->main->AppendHex(kGrey, "6865780D0A\r\n");
    w->main->PopupTarget = w->main->bRichEd;
    w->main->PopupMenuPopup();
    QVERIFY(!w->main->itemCopy->isEnabled());
    w->main->itemSelectAll->trigger();
    w->main->PopupMenuPopup();
    QVERIFY(w->main->itemCopy->isEnabled());
    w->main->itemCopy->trigger();
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("6865780D0A\n"));
    // The text pane has no selection of its own.
    w->main->PopupTarget = w->main->cRichEd;
    w->main->PopupMenuPopup();
    QVERIFY(!w->main->itemCopy->isEnabled());
    // The items that would edit a read-only pane stay disabled.
    for (QAction* a : {w->main->itemUndo, w->main->itemCut, w->main->itemPaste, w->main->itemDelete})
      QVERIFY(!a->isEnabled());
  }

  void timerHandsTextOverOnTheFourthQuietTick() {
    // A schedule reply makes the hand-over visible in the SIM window.
    kvl::NoteReception("Bit registers work on SIM2\r\nSIM2 = 1 -->\r\n");
    QCOMPARE(kvl::RxQuietTicks, std::uint8_t(3));
    for (int tick = 1; tick <= 3; ++tick) {
      w->main->TimerTimer();
      QVERIFY(!kvl::RxText.empty());
    }
    QVERIFY(!w->sim->RBSim2[0]->isChecked());
    w->main->TimerTimer();  // the fourth tick
    QVERIFY(kvl::RxText.empty());
    QVERIFY(w->sim->RBSim2[0]->isChecked());
  }

  void noHandOverWhileDataKeepsComing() {
    for (int second = 0; second < 6; ++second) {
      kvl::NoteReception("tick\r\n");
      w->main->TimerTimer();
      w->main->TimerTimer();
      QVERIFY(!kvl::RxText.empty());
    }
    QCOMPARE(kvl::RxText.size(), size_t(36));
  }

  void scanOffStillCountsDown() {
    w->main->ChBxScan->setChecked(false);
    kvl::NoteReception("x");
    for (int i = 0; i < 4; ++i) w->main->TimerTimer();
    QVERIFY(kvl::RxText.empty());
  }

  void formCreateStartsTheTimerAndReadsSettingsTwice() {
    WorkDir fresh;
    Windows again;
    QVERIFY(again.main->Timer->isActive());
    QCOMPARE(again.main->loadSettingsCount(), 1);
    QVERIFY(again.main->EdtSPort->text().isEmpty());  // first run: defaults written, fields empty
    again.main->show();
    QCOMPARE(again.main->loadSettingsCount(), 2);
    QCOMPARE(again.main->EdtSPort->text(), QStringLiteral("10000"));
  }
};

QTEST_MAIN(ConsoleTest)
#include "console_test.moc"
