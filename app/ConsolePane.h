// One console pane: a read-only view of a ConsoleText that wraps its lines
// at the pane's width and draws only the rows on screen, so that it stays
// fast however much the device has sent. While it follows its end, new rows
// move the pixels already drawn up and only the rows that changed are drawn;
// a row is drawn from a table of the font's glyph for each byte value, so
// nothing is shaped again when it is drawn again.
//
// The pane follows its end while the engineer leaves it there: appends show
// the new end. Scrolled away from the end, or holding a selection, the view
// and the selection stay put while text keeps arriving; scrolling back to
// the end (or Ctrl+End) follows again.
//
// The engineer selects with the mouse or the keyboard (Shift with the
// arrows, Page keys, Home/End; Ctrl+A), copies (Ctrl+C; a mouse selection
// also becomes the X11 primary selection) and finds text (Ctrl+F opens the
// find bar; Enter or F3 finds the next match, Shift+F3 the previous, Esc
// closes the bar). Screen readers read the pane through its accessible text
// interface.
//
// The pane's parts: the view (scrolling, following the end, the selection,
// keys and mouse) in ConsolePane.cpp; the rows drawn by app/PaneRenderer;
// the find bar in app/PaneFind.cpp; the scroll bar in app/PaneScrollBar;
// the screen readers' interface in app/PaneAccessible.
#pragma once

#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QKeySequence>
#include <QPointer>
#include <QRegion>
#include <climits>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/ConsoleText.h"
#include "app/PaneRenderer.h"
#include "app/PaneScreen.h"

class QCheckBox;
class QFrame;
class QLabel;
class QLineEdit;

namespace kvl {

class FrameClock;

// A position or count of the pane's text as Qt's int, which a pane holding
// more than 2 GB of text would overflow.
inline int ClampToInt(std::size_t v) { return v > std::size_t(INT_MAX) ? INT_MAX : int(v); }

class ConsolePane : public QAbstractScrollArea {
  Q_OBJECT
 public:
  // The text's widths are kept in 1/kSubpixels of a pixel: characters are
  // drawn at fractional positions, and rows are cut by what is drawn.
  static constexpr int kSubpixels = PaneRenderer::kSubpixels;

  explicit ConsolePane(QWidget* parent = nullptr);
  ~ConsolePane() override;

  // Appends Windows-1251 text at the end in the given colour, as plain text.
  // While the pane follows its end, the caret goes to the new end with
  // nothing selected and the end is shown. When shownCrlf is given, what
  // the pane shows of the text is appended to it, line breaks as CR LF.
  void appendRun(std::uint32_t colour, std::string_view bytes, std::string* shownCrlf = nullptr);
  // Empties the pane; it follows its end again.
  void clearPane();

  const ConsoleText& content() const { return text_; }
  QString toPlainText() const;

  bool hasSelection() const { return anchor_ != caret_; }
  std::size_t selectionStart() const { return std::min(anchor_, caret_); }
  std::size_t selectionEnd() const { return std::max(anchor_, caret_); }
  std::size_t caretPosition() const { return caret_; }
  QString selectedText() const;
  void selectAll();
  // Selects [anchor, caret) (or puts the caret at caret when they are
  // equal) and scrolls the caret into view.
  void setSelection(std::size_t anchor, std::size_t caret);
  void copy() const;
  // The pane is read-only: nothing to undo, cut, paste or delete.
  bool isReadOnly() const { return true; }
  void undo() {}
  void cut() {}
  void paste() {}

  // Whether appends show the new end: the view stands at the end and
  // nothing is selected.
  bool followsEnd() const { return following_; }
  // Follows the end again, as Ctrl+End does: the selection goes, the caret
  // and the view go to the end (the engineer sent something and wants to
  // see what comes of it).
  void followEnd();
  // The row shown at the top of the pane.
  std::size_t topRow() const;
  // Rows that fit in the pane.
  int pageRows() const;

  // Opens the find bar (its field gets the focus, its text selected).
  void openFind();
  // Finds the find bar's text after the selection (forward) or before it,
  // starting again at the other end of the text when nothing is left; the
  // match is selected and scrolled into view. False when there is none.
  bool findNext(bool forward);

  // Where the caret or a character is drawn, in viewport coordinates (for
  // the accessible interface).
  QRect characterRect(std::size_t pos) const;
  std::size_t positionAt(const QPoint& viewportPoint) const;
  void scrollToPosition(std::size_t pos);

  // The clock whose frames draw this pane (by default one shared by panes
  // outside a main window).
  void setFrameClock(FrameClock* clock);
  // Draws what arrived since the last frame; called by the frame clock.
  void refresh();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool event(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  // Enter, F3 and Esc in the find bar's field (app/PaneFind.cpp).
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QFont drawFont() const;
  QString textOf(std::size_t from, std::size_t to) const;
  void measureFont();
  void relayout();
  void updateScrollBars();
  void updateFollowing();
  void moveCaret(std::size_t pos, bool extend);
  // Where a key's move takes the caret (a page key scrolls the page too).
  std::size_t moveTarget(QKeySequence::StandardKey move);
  // The position rows below (or above) row, at the x the caret keeps.
  std::size_t rowMove(std::size_t row, long rows);
  void ensureVisible(std::size_t pos);
  std::size_t positionInRow(std::size_t row, std::uint64_t x) const;
  // The find bar (app/PaneFind.cpp).
  void buildFindBar();
  void placeFindBar();
  void closeFind();
  void setPrimarySelection() const;
  void selectionChanged();

  FrameClock& frameClock() const;
  // Sets the blank rows below the end (tail_) for a pane that follows it,
  // by the pace rows arrive at (app/PaneFollow).
  void placeEnd();
  // Blank rows below the end at the scroll bar's end (while rows stream in).
  int tail_ = 0;
  QElapsedTimer rateSince_;
  std::size_t rateRows_ = 0;
  int rowsPerSecond_ = 0;

  QPointer<FrameClock> clock_;
  ConsoleText text_;
  std::size_t anchor_ = 0;
  std::size_t caret_ = 0;
  // x the caret keeps while it moves up and down (in subpixels), or -1.
  std::int64_t preferredX_ = -1;
  bool following_ = true;
  // Whether the pane has the keyboard focus, as its focus events said:
  // asked at every arrival, where hasFocus() would search the window.
  bool focused_ = false;
  // The viewport's device pixel ratio, as of its last paint, resize or
  // change of screen.
  qreal pixelRatio_ = 1;
  // The scroll bar is being set by the pane itself, not by the engineer.
  bool adjusting_ = false;
  bool mouseSelecting_ = false;
  // Text drawn when the pane last refreshed for appends: from the row that
  // held its end on, rows are drawn again.
  std::size_t sizeShown_ = 0;
  std::size_t announced_ = 0;      // text told to screen readers so far
  int maxCharWidth_ = 1;  // in subpixels
  int lineHeight_ = 1;
  // Draws the rows; it keeps the font's glyphs and the glyphs drawn so far.
  PaneRenderer renderer_;
  // Asks for a part of the viewport to be drawn again.
  void redraw(const QRegion& area);
  // Scrolls to and draws what arrived since the last frame.
  void showArrived();
  // Draws what waits (unpainted_) straight on the display, when it is seen.
  void paintNow();
  PaneRenderer::View shown() const;
  // The viewport's X window, when the pane draws straight on the display,
  // and what has been asked of it and not drawn yet (it moves with a
  // scroll).
  PaneScreen screen_;
  QRegion unpainted_;
  bool refreshing_ = false;  // in refresh(), which draws what waits at its end

  QFrame* findBar_ = nullptr;
  QLineEdit* findEdit_ = nullptr;
  QCheckBox* findCase_ = nullptr;
  QLabel* findStatus_ = nullptr;
};

}  // namespace kvl
