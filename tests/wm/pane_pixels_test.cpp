// On a real X server the console pane draws straight into its own X window
// (scrolling by a copy inside the server); here the pixels the server holds
// for it are compared with those of a pane drawn through Qt's window buffer,
// after each step of a session: rows arriving one by one, a burst that
// jumps, a line growing in pieces, a selection, scrolling back, rows
// scrolling while a window lies over the pane.
#include <QGuiApplication>
#include <QScreen>
#include <QScrollBar>
#include <QTest>
#include <QWindow>
#include <functional>
#include <string>

#include "app/ConsolePane.h"
#include "tests/gui/TestSupport.h"

namespace {

std::string Rows(int from, int count) {
  std::string s;
  for (int i = from; i < from + count; ++i)
    s += "row " + std::to_string(i) + " " + std::string(std::size_t(i % 70), char('a' + i % 26)) + "\r\n";
  return s;
}

QImage Pixels(kvl::ConsolePane& pane) {
  return pane.viewport()->screen()->grabWindow(pane.viewport()->winId()).toImage().convertToFormat(
      QImage::Format_RGB32);
}

}  // namespace

class PanePixelsTest : public QObject {
  Q_OBJECT
 private slots:
  void drawnStraightAsThroughQt();
};

void PanePixelsTest::drawnStraightAsThroughQt() {
  if (QGuiApplication::platformName() != "xcb") QSKIP("needs an X server");
  kvl::ConsolePane direct;
  qputenv("KVL_PANE_VIA_QT", "1");
  kvl::ConsolePane buffered;
  qunsetenv("KVL_PANE_VIA_QT");
  for (auto [pane, x] : {std::pair{&direct, 10}, std::pair{&buffered, 500}}) {
    pane->setGeometry(x, 10, 420, 300);
    pane->show();
    QVERIFY(QTest::qWaitForWindowExposed(pane));
  }
  QVERIFY(direct.viewport()->testAttribute(Qt::WA_PaintOnScreen));
  QVERIFY(!buffered.viewport()->testAttribute(Qt::WA_PaintOnScreen));

  // Each step is done to both panes at once, so that both see text arrive
  // at the same pace (a pane that follows a fast stream jumps).
  kvl::ConsolePane* const panes[] = {&direct, &buffered};
  const auto both = [&](const std::function<void(kvl::ConsolePane&)>& f) {
    for (kvl::ConsolePane* p : panes) f(*p);
  };
  const std::pair<const char*, std::function<void()>> steps[] = {
      {"first rows", [&] { both([](kvl::ConsolePane& p) { p.appendRun(0x000080, Rows(0, 5)); }); }},
      {"rows one by one past the page",
       [&] {
         for (int i = 5; i < 40; ++i) {
           both([i](kvl::ConsolePane& p) { p.appendRun(0x000080, Rows(i, 1)); });
           QTest::qWait(20);
         }
       }},
      {"a burst that jumps", [&] { both([](kvl::ConsolePane& p) { p.appendRun(0x008000, Rows(40, 300)); }); }},
      {"a line growing in pieces",
       [&] {
         for (const char* piece : {"AT+", "CSQ", ": 17,", "0", "\r\nOK\r\n"}) {
           both([piece](kvl::ConsolePane& p) { p.appendRun(0x800000, piece); });
           QTest::qWait(20);
         }
       }},
      {"a selection",
       [&] { both([](kvl::ConsolePane& p) { p.setSelection(p.content().size() - 30, p.content().size() - 5); }); }},
      {"scrolled back", [&] { both([](kvl::ConsolePane& p) { p.verticalScrollBar()->setValue(10); }); }},
      {"rows arriving while scrolled back",
       [&] { both([](kvl::ConsolePane& p) { p.appendRun(0x000080, Rows(340, 20)); }); }},
      {"back at the end", [&] { both([](kvl::ConsolePane& p) { p.followEnd(); }); }},
      {"rows scrolling under a window over the pane",
       [&] {
         // What moves out from under the window must be drawn again.
         QWidget cover(nullptr, Qt::ToolTip | Qt::FramelessWindowHint | Qt::X11BypassWindowManagerHint);
         cover.setGeometry(QRect(direct.viewport()->mapToGlobal(QPoint(0, 120)), QSize(200, 60)));
         cover.show();
         QVERIFY(QTest::qWaitForWindowExposed(&cover));
         QTest::qWait(50);
         for (int i = 360; i < 372; ++i) {
           both([i](kvl::ConsolePane& p) { p.appendRun(0x000080, Rows(i, 1)); });
           QTest::qWait(20);
         }
       }},
  };
  for (const auto& [name, step] : steps) {
    step();
    QImage a, b;
    const bool same = kvltest::WaitFor([&] {
      a = Pixels(direct);
      b = Pixels(buffered);
      return !a.isNull() && a == b;
    });
    if (!same) {
      a.save(QString("pane-direct-%1.png").arg(name));
      b.save(QString("pane-buffered-%1.png").arg(name));
    }
    QVERIFY2(same, qPrintable(QString("%1: top rows %2 and %3").arg(name).arg(direct.topRow()).arg(buffered.topRow())));
  }
}

QTEST_MAIN(PanePixelsTest)
#include "pane_pixels_test.moc"
