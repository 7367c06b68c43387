// The console panes, the popup menu and the timer's hand-over of received
// text to the reply parser.
#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QDate>
#include <QGlyphRun>
#include <QPainter>
#include <QRawFont>
#include <QRegularExpression>
#include <QScreen>
#include <QScrollBar>
#include <QStyleHints>
#include <QClipboard>
#include <QPushButton>
#include <QRadioButton>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <set>

#include "TestSupport.h"
#include "app/CaretRest.h"
#include "app/ConsolePane.h"
#include "app/FrameClock.h"
#include "app/PaneScrollBar.h"
#include "app/GlyphBlitter.h"
#include "core/Colours.h"
#include "ui/WinColour.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "simset/fSimSet.h"
#include "tests/common/Files.h"
#include "ui/QtText.h"
#include "ui/WindowMessages.h"

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

  // A row the glyph blitter composes is, pixel for pixel, the row Qt draws
  // with the same glyphs at the same positions, glyphs sharing pixels
  // included.
  void blittedRowsAreWhatQtDraws_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("step");  // pen advance per glyph, 1/64 pixel
    QTest::addColumn<bool>("bold");
    QTest::addColumn<int>("format");
    QTest::addColumn<QColor>("colour");
    QTest::addColumn<QColor>("background");
    const QColor cream(255, 251, 240);
    QTest::newRow("digits on cream") << "0123456789 +CSQ: 17,99" << 461 << true
                                     << int(QImage::Format_RGB32) << QColor(0, 0, 128) << cream;
    QTest::newRow("Cyrillic, premultiplied") << QString::fromUtf8("ОК Ответ: ёЁЖЩщ") << 517 << false
                                             << int(QImage::Format_ARGB32_Premultiplied) << QColor(128, 128, 128)
                                             << cream;
    QTest::newRow("glyphs sharing pixels") << "WWmm@@##__jj" << 301 << true << int(QImage::Format_RGB32)
                                           << QColor(200, 0, 0) << cream;
    QTest::newRow("light on dark") << "AT+CREG? 0,1 OK" << 470 << false << int(QImage::Format_RGB32)
                                   << QColor(230, 230, 230) << QColor(30, 30, 30);
  }
  void blittedRowsAreWhatQtDraws() {
    QFETCH(QString, text);
    QFETCH(int, step);
    QFETCH(bool, bold);
    QFETCH(int, format);
    QFETCH(QColor, colour);
    QFETCH(QColor, background);
    QFont font = w->main->cRichEd->font();
    font.setBold(bold);
    const QRawFont raw = QRawFont::fromFont(font);
    const QFontMetrics fm(font);
    const QList<quint32> glyphs = raw.glyphIndexesForString(text);
    std::vector<std::uint64_t> x64;
    QList<QPointF> positions;
    for (qsizetype i = 0; i < glyphs.size(); ++i) {
      x64.push_back(std::uint64_t(130 + i * step));
      positions.append(QPointF(qreal(x64.back()) / 64, 0));
    }
    const int width = int(x64.back() / 64) + 40;
    const auto fmt = QImage::Format(format);
    QImage drawn(width, fm.lineSpacing(), fmt);
    drawn.fill(background);
    {
      QPainter p(&drawn);
      p.setPen(colour);
      QGlyphRun run;
      run.setRawFont(raw);
      run.setGlyphIndexes(glyphs);
      run.setPositions(positions);
      p.drawGlyphRun(QPointF(0, fm.ascent()), run);
    }
    kvl::GlyphBlitter blitter;
    blitter.reset(raw, fm.lineSpacing(), fm.ascent(), fmt);
    // In one call, and in three as a row that grows is drawn.
    for (const std::size_t pieces : {std::size_t(1), std::size_t(3)}) {
      QImage blitted(width, fm.lineSpacing(), fmt);
      blitted.fill(background);
      std::size_t drawnTo = 0;
      for (std::size_t k = 0; k < pieces; ++k) {
        const std::size_t from = x64.size() * k / pieces, to = x64.size() * (k + 1) / pieces;
        QVERIFY(blitter.drawRow(blitted, glyphs.data() + from, x64.data() + from, to - from, colour.rgba(),
                                background.rgba(), &drawnTo));
      }
      int differ = 0;
      for (int y = 0; y < drawn.height(); ++y)
        for (int x = 0; x < width; ++x) differ += drawn.pixel(x, y) != blitted.pixel(x, y);
      QCOMPARE(differ, 0);
    }
  }

  // The pane's scroll bar, drawn in bands, is pixel for pixel the bar Qt
  // draws in one go.
  void scrollBarInBandsIsTheWholeBar_data() {
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("value");
    QTest::newRow("handle at the top") << 500 << 0;
    QTest::newRow("handle across bands") << 500 << 437;
    QTest::newRow("handle at the end") << 500 << 1000;
    QTest::newRow("one band") << 60 << 500;
  }
  void scrollBarInBandsIsTheWholeBar() {
    QFETCH(int, height);
    QFETCH(int, value);
    QStyle* bandedStyle = w->main->cRichEd->verticalScrollBar()->style();
    QVERIFY(bandedStyle != QApplication::style());
    QScrollBar plain(Qt::Vertical), banded(Qt::Vertical);
    banded.setStyle(bandedStyle);
    for (QScrollBar* bar : {&plain, &banded}) {
      bar->resize(16, height);
      bar->setRange(0, 1000);
      bar->setPageStep(40);
      bar->setValue(value);
    }
    QCOMPARE(banded.grab().toImage(), plain.grab().toImage());
  }

  // A creeping handle is drawn again only in the bands it meets; the bar on
  // the screen is then the bar drawn whole.
  void creepingHandleLeavesTheWholeBar() {
    kvl::PaneScrollBar bar;
    bar.resize(16, 500);
    bar.setRange(0, 1000);
    bar.setPageStep(200);
    bar.setValue(1000);
    bar.show();
    QVERIFY(QTest::qWaitForWindowExposed(&bar));
    const auto onScreen = [&bar] {
      return bar.screen()->grabWindow(bar.winId()).toImage().convertToFormat(QImage::Format_RGB32);
    };
    for (int end : {1200, 1500, 1900}) {
      const QImage before = onScreen();
      bar.setArriving(true);
      bar.setRange(0, end);
      bar.setValue(end);
      bar.setArriving(false);
      QTRY_VERIFY_WITH_TIMEOUT(onScreen() != before, 5000);
      QCOMPARE(onScreen(), bar.grab().toImage().convertToFormat(QImage::Format_RGB32));
    }
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

  // An append never moves the focus, whatever control has it, so the
  // keyboard works while the device talks; a click into a pane focuses it.
  void appendNeverMovesTheFocus_data() {
    QTest::addColumn<QString>("holder");
    QTest::newRow("command line") << "EdCmdLn2";
    QTest::newRow("address field") << "edtRHost";
    QTest::newRow("drop-down list") << "CBBaudrate";
    QTest::newRow("check-list") << "ChBxIPs";
    QTest::newRow("check box") << "ChBxVhex";
    QTest::newRow("button") << "ButtonReset";
  }
  void appendNeverMovesTheFocus() {
    QFETCH(QString, holder);
    const bool keeps = true;
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
    QTest::mouseClick(w->main->cRichEd->viewport(), Qt::LeftButton);
    QVERIFY(w->main->cRichEd->hasFocus());
  }

  // Tab reaches a port button, and the flat button shows that it has the
  // keyboard focus.
  void portButtonShowsTheKeyboardFocus() {
    Pty com1;
    w.reset();
    dir = std::make_unique<WorkDir>(std::map<int, std::string>{{1, com1.path()}});
    w = std::make_unique<Windows>();
    w->main->Timer->stop();
    QPushButton* button = w->main->BtnCom[1];
    QVERIFY(button->isEnabled());
    w->main->show();
    w->main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w->main));
    const QImage plain = button->grab().toImage();
    for (int i = 0; i < 200 && !button->hasFocus(); ++i) {
      QWidget* at = QApplication::focusWidget();
      QTest::keyClick(at ? at : w->main, Qt::Key_Tab);
    }
    QVERIFY(button->hasFocus());
    QVERIFY(button->grab().toImage() != plain);
    // The scan probing it, and Space opening it, leave the focus there.
    for (int tick = 0; tick < 16; ++tick) w->main->cNewComPort();
    QVERIFY(button->hasFocus());
    QTest::keyClick(button, Qt::Key_Space);
    QCOMPARE(kvl::ActiveLink, 1);
    QVERIFY(button->hasFocus());
  }

  // A dark desktop theme: the find bar and the fields take its colours, the
  // panes keep their light background under dark text; all stays readable.
  void darkThemeLeavesEveryTextReadable() {
    const QPalette light = QApplication::palette();
    QPalette dark(QColor(53, 53, 53));
    dark.setColor(QPalette::Base, QColor(35, 35, 35));
    dark.setColor(QPalette::Text, Qt::white);
    dark.setColor(QPalette::WindowText, Qt::white);
    QApplication::setPalette(dark);
    w = std::make_unique<Windows>();
    w->main->cRichEd->openFind();
    auto readable = [](const QWidget* x) {
      const QPalette& p = x->palette();
      return std::abs(p.color(QPalette::Base).lightness() - p.color(QPalette::Text).lightness()) >= 96;
    };
    const auto* find = w->main->cRichEd->findChild<QLineEdit*>(QStringLiteral("findEdit"));
    const auto* matchCase = w->main->cRichEd->findChild<QCheckBox*>(QStringLiteral("findCase"));
    QVERIFY(find && matchCase);
    QCOMPARE(find->palette().color(QPalette::Base), dark.color(QPalette::Base));
    QCOMPARE(matchCase->palette().color(QPalette::Base), dark.color(QPalette::Base));
    QCOMPARE(w->main->cRichEd->palette().color(QPalette::Base), QColor(255, 251, 240));
    for (const QWidget* x : {static_cast<const QWidget*>(find), static_cast<const QWidget*>(matchCase),
                             static_cast<const QWidget*>(w->main->cRichEd), static_cast<const QWidget*>(w->main->bRichEd),
                             static_cast<const QWidget*>(w->main->EdCmdLn[1]), static_cast<const QWidget*>(w->main->EdCmdLn[4])})
      QVERIFY2(readable(x), qPrintable(x->objectName()));
    w.reset();
    QApplication::setPalette(light);
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

  // Scrolled away from the end, or holding a selection, the engineer reads
  // while text keeps arriving; back at the end (or Ctrl+End) the pane follows.
  void viewHeldWhileReadingBack() {
    w->main->show();
    kvl::ConsolePane* pane = w->main->cRichEd;
    QScrollBar* v = pane->verticalScrollBar();
    auto append = [&](int lines) {
      const int before = v->maximum();
      for (int i = 0; i < lines; ++i) w->main->AppendText(kNavy, "telemetry 12.5V\r\n");
      return WaitFor([&] { return v->maximum() > before; });
    };
    QVERIFY(append(300));
    QCOMPARE(v->value(), v->maximum());
    v->setValue(10);  // the engineer scrolls up
    QVERIFY(append(50));
    QCOMPARE(v->value(), 10);
    v->setValue(v->maximum());  // and back to the end
    QVERIFY(append(50));
    QCOMPARE(v->value(), v->maximum());
    // A selection at the end holds both itself and the view.
    const std::size_t end = pane->content().size();
    pane->setSelection(end - 10, end - 2);
    const int held = v->value();
    QVERIFY(append(50));
    QCOMPARE(v->value(), held);
    QCOMPARE(pane->selectionStart(), end - 10);
    QCOMPARE(pane->selectionEnd(), end - 2);
    QTest::keyClick(pane, Qt::Key_End, Qt::ControlModifier);
    QVERIFY(!pane->hasSelection());
    QVERIFY(append(50));
    QCOMPARE(v->value(), v->maximum());
    QCOMPARE(pane->caretPosition(), pane->content().size());
  }

  // A device's text is drawn in the next display frame, whether or not
  // the engineer just pressed a key: at once after a quiet frame, and at
  // most a frame later while text keeps coming.
  void textIsDrawnInTheNextFrame() {
    w->main->show();
    QScrollBar* v = w->main->cRichEd->verticalScrollBar();
    kvl::FrameClock* clock = w->main->findChild<kvl::FrameClock*>();
    QVERIFY(clock);
    for (int i = 0; i < 300; ++i) w->main->AppendText(kNavy, "telemetry 12.5V\r\n");
    QVERIFY(WaitFor([&] { return v->maximum() > 0 && clock->msToFrame() < 0; }));
    for (int answer = 0; answer < 3; ++answer) {
      const int before = v->maximum();
      w->main->AppendText(kNavy, "OK\r\n");
      const int due = clock->msToFrame();
      QVERIFY2(due >= 0 && due <= int(kvl::FrameClock::kFrameInterval.count()), qPrintable(QString::number(due)));
      QVERIFY(WaitFor([&] { return v->maximum() > before; }));
    }
  }

  // While rows stream in, the scroll bar's handle creeping waits for the
  // text to pause; then the bar is drawn where the handle now is.
  void scrollBarCatchesUpWhenTextPauses() {
    w->main->show();
    QScrollBar* v = w->main->cRichEd->verticalScrollBar();
    struct Paints : QObject {
      int atValue = -1;
      bool eventFilter(QObject* bar, QEvent* e) override {
        if (e->type() == QEvent::Paint) atValue = static_cast<QScrollBar*>(bar)->value();
        return false;
      }
    } paints;
    v->installEventFilter(&paints);
    for (int i = 0; i < 200; ++i) w->main->AppendText(kNavy, "telemetry 12.5V\r\n");
    QVERIFY(WaitFor([&] { return v->maximum() > 0 && paints.atValue == v->maximum(); }));
    for (int row = 0; row < 20; ++row) {
      const int before = v->maximum();
      w->main->AppendText(kNavy, "telemetry 12.5V\r\n");
      QVERIFY(WaitFor([&] { return v->maximum() > before; }));
    }
    QVERIFY(WaitFor([&] { return paints.atValue == v->maximum(); }));
  }

  // A due frame waits, kBurstWait at most, for the rest of a burst that
  // filled the reader's ring: the burst's last part draws it at once, and
  // without one the wait ends by itself.
  void burstIsDrawnOnceWhole() {
    w->main->show();
    kvl::FrameClock* clock = w->main->findChild<kvl::FrameClock*>();
    QVERIFY(clock);
    const int wait = int(kvl::FrameClock::kBurstWait.count());
    // Within a reception's pass an append only notes the pane; the pass's
    // end draws it at once when the frame is due, with no timer between.
    QScrollBar* v = w->main->cRichEd->verticalScrollBar();
    QVERIFY(WaitFor([&] { return clock->msToFrame() < 0; }));
    QElapsedTimer quiet;
    quiet.start();
    QVERIFY(WaitFor([&] { return quiet.elapsed() > kvl::FrameClock::kFrameInterval.count(); }));
    const int before = v->maximum();
    clock->beginPass();
    for (int i = 0; i < 100; ++i) w->main->AppendText(kNavy, "telemetry 12.5V\r\n");
    QCOMPARE(clock->msToFrame(), -1);
    QCOMPARE(v->maximum(), before);
    clock->runDue(false);
    QVERIFY(v->maximum() > before);
    QCOMPARE(clock->msToFrame(), -1);
    for (const bool restComes : {true, false}) {
      QVERIFY(WaitFor([&] { return clock->msToFrame() < 0; }));
      QElapsedTimer idle;
      idle.start();
      QVERIFY(WaitFor([&] { return idle.elapsed() > kvl::FrameClock::kFrameInterval.count(); }));
      w->main->AppendText(kNavy, std::string(2047, 'x'));
      QCOMPARE(clock->msToFrame(), 0);
      clock->runDue(true);
      const int held = clock->msToFrame();
      QVERIFY2(held > 0 && held <= wait, qPrintable(QString::number(held)));
      w->main->AppendText(kNavy, std::string(2047, 'y'));
      clock->runDue(true);  // a second full part does not put the frame off again
      QVERIFY(clock->msToFrame() <= held);
      if (restComes) {
        w->main->AppendText(kNavy, "z\r\n");
        clock->runDue(false);
        QCOMPARE(clock->msToFrame(), -1);
      } else {
        QVERIFY(WaitFor([&] { return clock->msToFrame() < 0; }));
      }
    }
  }

  // The carets rest after a spell without input and blink again at once
  // at the engineer's next key or click; closing gives the desktop's
  // blinking back.
  void caretsRestWithoutInput_data() {
    QTest::addColumn<bool>("key");
    QTest::newRow("key") << true;
    QTest::newRow("mouse button") << false;
  }
  void caretsRestWithoutInput() {
    QFETCH(bool, key);
    QStyleHints* hints = QGuiApplication::styleHints();
    const int desktop = hints->cursorFlashTime();
    QVERIFY(desktop > 0);
    QLineEdit* field = w->main->findChild<QLineEdit*>("EdCmdLn1");
    QVERIFY(field);
    {
      kvl::CaretRest rest(nullptr, 50);
      QVERIFY(WaitFor([&] { return hints->cursorFlashTime() == 0; }));
      QVERIFY(rest.resting());
      if (key)
        QTest::keyClick(field, Qt::Key_End);
      else
        QTest::mouseClick(field, Qt::LeftButton);
      QCOMPARE(hints->cursorFlashTime(), desktop);
      QVERIFY(WaitFor([&] { return hints->cursorFlashTime() == 0; }));
    }
    QCOMPARE(hints->cursorFlashTime(), desktop);
  }

  // A long line takes as many rows as the pane's width needs, each row
  // within the pane, and takes new rows when the window is resized.
  void longLinesWrapAtThePaneWidth() {
    w->main->show();
    QVERIFY(QTest::qWaitForWindowExposed(w->main));
    kvl::ConsolePane* pane = w->main->cRichEd;
    QCOMPARE(pane->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
    w->main->AppendText(kNavy, std::string(1000, 'x') + "\r\nOK\r\n");
    // Rows of the long line, or 0 with the fault in `problem`.
    QString problem;
    auto checkRows = [&]() -> std::size_t {
      const kvl::ConsoleText& t = pane->content();
      const auto widths = t.widths();
      // Widths in pixels; the pane keeps them in subpixels.
      const double sub = kvl::ConsolePane::kSubpixels;
      const double widest = *std::max_element(widths.begin(), widths.end()) / sub;
      const double room = pane->viewport()->width() - 6;  // inside the margins
      const std::uint64_t lineWidth = 1000 * std::uint64_t(widths['x']);
      const std::size_t rows = std::size_t((lineWidth + t.rowWidth() - 1) / t.rowWidth());
      if (t.rowCount() != rows + 2)  // the long line, "OK", the empty last line
        problem = QString("%1 rows, not %2").arg(t.rowCount()).arg(rows + 2);
      for (std::size_t r = 0; r < rows && problem.isEmpty(); ++r) {
        const double width = t.widthOf(t.rowStart(r), t.rowEnd(r)) / sub;
        if (width > room || (r + 1 < rows && width <= room - 2 * widest))
          problem = QString("row %1 is %2 wide in %3").arg(r).arg(width).arg(room);
      }
      return problem.isEmpty() ? rows : 0;
    };
    const std::size_t wide = checkRows();
    QVERIFY2(wide > 1, qPrintable(problem));
    const int before = pane->viewport()->width();
    w->main->resize(760, 729);
    QVERIFY(WaitFor([&] { return pane->viewport()->width() < before; }));
    const std::size_t narrow = checkRows();
    QVERIFY2(narrow > wide, qPrintable(problem));
  }

  void findSelectsMatchesInTurn() {
    w->main->show();
    w->main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w->main));
    kvl::ConsolePane* pane = w->main->cRichEd;
    w->main->AppendText(kNavy, "alpha OK beta ok gamma Ok\r\n");
    // The popup menu's entry opens the find bar of the pane it opened on.
    w->main->PopupTarget = pane;
    w->main->itemFind->trigger();
    auto* edit = pane->findChild<QLineEdit*>("findEdit");
    QVERIFY(edit && edit->isVisible() && edit->hasFocus());
    QTest::keyClicks(edit, "ok");
    QTest::keyClick(edit, Qt::Key_Return);
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(pane->selectionStart(), size_t(14));  // the second of three, either case
    QCOMPARE(pane->selectedText(), QStringLiteral("ok"));
    QTest::keyClick(edit, Qt::Key_F3);
    QCOMPARE(pane->selectionStart(), size_t(23));
    QTest::keyClick(edit, Qt::Key_F3, Qt::ShiftModifier);
    QCOMPARE(pane->selectionStart(), size_t(14));
    QTest::keyClick(edit, Qt::Key_Escape);
    QVERIFY(!edit->isVisible());
    QVERIFY(pane->hasFocus());
    // Ctrl+F in the hex pane opens that pane's own bar.
    QTest::keyClick(w->main->bRichEd, Qt::Key_F, Qt::ControlModifier);
    auto* hexEdit = w->main->bRichEd->findChild<QLineEdit*>("findEdit");
    QVERIFY(hexEdit && hexEdit->isVisible());
  }

  // Ctrl+F works wherever the keyboard is in the window: in the pane that
  // has it, otherwise in the text pane. The first search from the end says
  // nothing of starting at the top; a real wrap does. The field keeps its
  // width, some 20 characters at least, whatever the bar says.
  void findFromAnywhere_data() {
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QString>("pane");
    QTest::newRow("command line") << "EdCmdLn2" << "cRichEd";
    QTest::newRow("button") << "ButtonReset" << "cRichEd";
    QTest::newRow("text pane") << "cRichEd" << "cRichEd";
    QTest::newRow("hex pane") << "bRichEd" << "bRichEd";
  }
  void findFromAnywhere() {
    QFETCH(QString, holder);
    QFETCH(QString, pane);
    w->main->show();
    w->main->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w->main));
    w->main->AppendText(kNavy, "alpha OK beta ok\r\n");
    w->main->AppendHex(kGrey, "alpha OK beta ok\r\n");
    auto* target = w->main->findChild<kvl::ConsolePane*>(pane);
    QWidget* field = w->main->findChild<QWidget*>(holder);
    field->setFocus();
    QVERIFY(field->hasFocus());
    QTest::keyClick(field, Qt::Key_F, Qt::ControlModifier);
    auto* edit = target->findChild<QLineEdit*>("findEdit");
    auto* status = target->findChild<QLabel*>("findStatus");
    QVERIFY(edit && edit->isVisible() && edit->hasFocus());
    const int width = edit->width();
    QVERIFY(width >= edit->fontMetrics().averageCharWidth() * 20);
    QTest::keyClicks(edit, "ok");
    const QStringList said{"", "", "From the top"};
    const QList<size_t> at{6, 14, 6};
    for (int i = 0; i < 3; ++i) {
      QTest::keyClick(edit, Qt::Key_Return);
      QCOMPARE(target->selectionStart(), at[i]);
      QCOMPARE(status->text(), said[i]);
    }
    QTest::keyClicks(edit, "nowhere");
    QTest::keyClick(edit, Qt::Key_Return);
    QCOMPARE(status->text(), QStringLiteral("Not found"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);  // the bar lays out anew
    QCOMPARE(edit->width(), width);
  }

  // Shift with the arrows, Page and Home/End keys selects; the keys start
  // from the top of the text (Ctrl+Home).
  void keyboardSelection_data() {
    QTest::addColumn<QList<int>>("keys");  // key | modifiers
    QTest::addColumn<QString>("selected");
    const int shift = int(Qt::ShiftModifier);
    QTest::newRow("Shift+Right twice") << QList<int>{Qt::Key_Right | shift, Qt::Key_Right | shift} << "ab";
    QTest::newRow("Shift+Down") << QList<int>{Qt::Key_Right, Qt::Key_Down | shift} << "bc\nd";
    QTest::newRow("Shift+End") << QList<int>{Qt::Key_Right, Qt::Key_End | shift} << "bc";
    QTest::newRow("Shift+Home back") << QList<int>{Qt::Key_Down, Qt::Key_Right, Qt::Key_Home | shift}
                                     << "d";
    QTest::newRow("Shift+PageDown") << QList<int>{Qt::Key_PageDown | shift} << "abc\ndef\n";
    QTest::newRow("Ctrl+Shift+End") << QList<int>{Qt::Key_Down, Qt::Key_End | shift | int(Qt::ControlModifier)}
                                    << "def\nghi";
    QTest::newRow("a move drops the selection") << QList<int>{Qt::Key_Right | shift, Qt::Key_Right} << "";
  }
  void keyboardSelection() {
    QFETCH(QList<int>, keys);
    QFETCH(QString, selected);
    w->main->show();
    kvl::ConsolePane* pane = w->main->cRichEd;
    w->main->AppendText(kNavy, "abc\r\ndef\r\nghi");
    QTest::keyClick(pane, Qt::Key_Home, Qt::ControlModifier);
    for (const int k : keys)
      QTest::keyClick(pane, Qt::Key(k & ~int(Qt::KeyboardModifierMask)),
                      Qt::KeyboardModifiers(k & int(Qt::KeyboardModifierMask)));
    QCOMPARE(pane->selectedText(), selected);
    QCOMPARE(pane->followsEnd(), selected.isEmpty());  // a selection holds the view
  }

  void screenReadersReadThePane() {
    w->main->AppendText(kNavy, "OK\r\n\xCE\xCA");
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w->main->cRichEd);
    QVERIFY(a && a->textInterface());
    QVERIFY(a->state().readOnly);
    QAccessibleTextInterface* text = a->textInterface();
    QCOMPARE(text->characterCount(), 5);
    QCOMPARE(text->text(0, 5), QString::fromUtf8("OK\nОК"));
    int start = 0, end = 0;
    QCOMPARE(text->textAtOffset(4, QAccessible::LineBoundary, &start, &end), QString::fromUtf8("ОК"));
    QCOMPARE(start, 3);
    QCOMPARE(end, 5);
  }

  // The session log: a header, then byte for byte what the text pane shows
  // while the port is open; a log that cannot be opened costs one grey line.
  void sessionLogRecordsWhatThePaneShows_data() {
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("failure");  // after the file's name; %1 the directory; empty: it opens
    QTest::newRow("pattern beside the settings file") << "kvl-%Y.log" << "";
    QTest::newRow("folder that does not exist yet") << "logs/kvl-%Y.log" << "";
    QTest::newRow("folder that cannot be made")
        << "zel .ini/logs/kvl.log" << "cannot make the folder %1/zel .ini/logs: Not a directory";
  }
  void sessionLogRecordsWhatThePaneShows() {
    QFETCH(QString, setting);
    QFETCH(QString, failure);
    const bool opens = failure.isEmpty();
    Pty com3;
    WorkDir logged({{3, com3.path()}}, FirstRunSections() + "[Log]\r\nFile:=" + setting.toStdString() + "\r\n");
    Windows again;
    kvl::TBaseform& f = *again.main;
    f.Timer->stop();
    f.BtnCom[3]->click();
    QCOMPARE(kvl::ActiveLink, 3);
    com3.write("OK\r\n\xCE\xCA\r");
    QVERIFY(WaitFor([&] { return PaneText(f).contains(QString::fromUtf8("ОК")); }));
    f.ComWriteText("AT\r\n");
    f.BtnCom[3]->click();  // closes the port, and the log
    QCOMPARE(kvl::ActiveLink, -1);
    const QString file = logged.path() + "/" + setting.replace("%Y", QString::number(QDate::currentDate().year()));
    std::string shown = kvl::ToCp1251(PaneText(f));
    for (std::size_t at = 0; (at = shown.find('\n', at)) != std::string::npos; at += 2) shown.insert(at, 1, '\r');
    if (!opens) {
      QVERIFY(!QFile::exists(file));
      QCOMPARE(PaneColourOf(f, " Log file " + file + ": " + failure.arg(logged.path()) + "\r\n"), QColor(128, 128, 128));
      QVERIFY(PaneText(f).contains(" COM 3 is active"));
      return;
    }
    const std::string log = kvltest::Slurp(file.toStdString());
    const std::string header = log.substr(0, log.find("\r\n") + 2);
    QVERIFY2(QRegularExpression("^=== \\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d COM 3 " +
                                QRegularExpression::escape(QString::fromStdString(com3.path())) +
                                " 115200\r\n$")
                 .match(QString::fromStdString(header))
                 .hasMatch(),
             header.c_str());
    // Everything up to the port's closing report; what follows it is no
    // longer logged.
    QCOMPARE(log.substr(header.size()) + " COM not selected\r\n", shown);
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

  // A tick due within kTickEarly of a reception's end runs at that end,
  // after the reception set the countdown, and the next one is a whole
  // interval later; a reception far from the tick leaves it to its time.
  void aTickNearAReceptionRunsWithIt() {
    kvl::FrameClock* clock = w->main->findChild<kvl::FrameClock*>();
    QVERIFY(clock);
    QTimer* tick = clock->tick();
    const int early = int(kvl::FrameClock::kTickEarly.count());
    int ticks = 0;
    const QMetaObject::Connection counted =
        QObject::connect(clock, &kvl::FrameClock::ticked, clock, [&] { ++ticks; });
    bool near = false;
    for (int attempt = 0; attempt < 20 && !near; ++attempt) {
      ticks = 0;
      tick->start();
      const int far = tick->remainingTime();
      clock->beginPass();
      clock->runDue();
      if (far > early) QCOMPARE(ticks, 0);
      // The timer ticking on its own first means this machine was too slow
      // to see the tick's last kTickEarly: another try.
      QVERIFY(WaitFor([&] { return ticks > 0 || tick->remainingTime() <= early; }));
      if (ticks > 0) continue;
      near = true;
      kvl::NoteReception("OK\r\n");
      clock->beginPass();
      clock->runDue();
      QCOMPARE(ticks, 1);
      QCOMPARE(kvl::RxQuietTicks, std::uint8_t(2));
      QVERIFY(tick->remainingTime() > int(kvl::FrameClock::kTickInterval.count()) - early);
    }
    QVERIFY(near);
    tick->stop();
    QObject::disconnect(counted);
  }

  // The reader's posts take no memory from the heap: a slot comes back
  // when the window deletes its event.
  void receptionPostsReuseTheirSlots() {
    std::vector<std::unique_ptr<kvl::ComRxMsg>> posts;
    for (int i = 0; i <= kvl::ComRxMsg::kSlots; ++i) posts.emplace_back(new kvl::ComRxMsg);
    std::set<const void*> kept;
    for (int i = 0; i < kvl::ComRxMsg::kSlots; ++i) kept.insert(posts[size_t(i)].get());
    QCOMPARE(int(kept.size()), kvl::ComRxMsg::kSlots);
    posts.clear();
    for (int round = 0; round < 3; ++round) {
      const std::unique_ptr<QEvent> post(new kvl::ComRxMsg);
      QVERIFY(kept.count(post.get()));
      QCOMPARE(post->type(), kvl::WM_COM_RX);
    }
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
