// The console pane's accessible text interface (app/PaneAccessible.h): the
// text, the selection and the caret are the pane's own, and boundaries are
// found in its text store.
#include "app/PaneAccessible.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <algorithm>
#include <climits>
#include <utility>

#include "app/ConsolePane.h"
#include "ui/QtText.h"

namespace kvl {
namespace {

// The pane's text for screen readers: the whole text, the selection and the
// caret, and where each character is drawn.
class PaneAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit PaneAccessible(ConsolePane* pane) : QAccessibleWidget(pane, QAccessible::EditableText) {}

  void* interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface*>(this);
    return QAccessibleWidget::interface_cast(type);
  }
  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.multiLine = true;
    s.selectableText = true;
    return s;
  }

  void selection(int index, int* start, int* end) const override {
    *start = *end = 0;
    if (index == 0 && pane()->hasSelection()) {
      *start = ClampToInt(pane()->selectionStart());
      *end = ClampToInt(pane()->selectionEnd());
    }
  }
  int selectionCount() const override { return pane()->hasSelection() ? 1 : 0; }
  void addSelection(int start, int end) override { setSelection(0, start, end); }
  void removeSelection(int) override {
    pane()->setSelection(pane()->caretPosition(), pane()->caretPosition());
  }
  void setSelection(int, int start, int end) override {
    pane()->setSelection(Clamp(start), Clamp(end));
  }
  int cursorPosition() const override { return ClampToInt(pane()->caretPosition()); }
  void setCursorPosition(int position) override {
    pane()->setSelection(Clamp(position), Clamp(position));
  }

  QString text(int start, int end) const override {
    return FromCp1251(pane()->content().bytes(Clamp(start), Clamp(end)));
  }
  using QAccessibleWidget::text;
  int characterCount() const override { return ClampToInt(pane()->content().size()); }

  // Boundaries are found in the store itself: the default ones would decode
  // the whole text for every question.
  QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                       int* end) const override {
    const auto [s, e] = around(Clamp(offset), type);
    *start = ClampToInt(s);
    *end = ClampToInt(e);
    return text(*start, *end);
  }
  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                           int* end) const override {
    const std::size_t at = around(Clamp(offset), type).first;
    if (at == 0) {
      *start = *end = 0;
      return {};
    }
    return textAtOffset(int(at - 1), type, start, end);
  }
  QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int* start,
                          int* end) const override {
    const std::size_t at = around(Clamp(offset), type).second;
    if (at >= pane()->content().size()) {
      *start = *end = characterCount();
      return {};
    }
    return textAtOffset(int(at), type, start, end);
  }

  QRect characterRect(int offset) const override {
    const QRect r = pane()->characterRect(Clamp(offset));
    if (r.isNull()) return r;
    return QRect(pane()->viewport()->mapToGlobal(r.topLeft()), r.size());
  }
  int offsetAtPoint(const QPoint& point) const override {
    return ClampToInt(pane()->positionAt(pane()->viewport()->mapFromGlobal(point)));
  }
  void scrollToSubstring(int start, int end) override {
    pane()->scrollToPosition(Clamp(end));
    pane()->scrollToPosition(Clamp(start));
  }
  QString attributes(int offset, int* start, int* end) const override {
    *start = *end = offset;
    return {};
  }

 private:
  ConsolePane* pane() const { return static_cast<ConsolePane*>(widget()); }
  std::size_t Clamp(int v) const {
    return std::min(std::size_t(std::max(v, 0)), pane()->content().size());
  }
  std::pair<std::size_t, std::size_t> around(std::size_t pos,
                                             QAccessible::TextBoundaryType type) const {
    const ConsoleText& t = pane()->content();
    switch (type) {
      case QAccessible::CharBoundary:
        return {pos, std::min(pos + 1, t.size())};
      case QAccessible::WordBoundary: {
        const ConsoleText::Range w = t.wordAt(pos);
        if (w.start != w.end) return {w.start, w.end};
        return {pos, std::min(pos + 1, t.size())};
      }
      case QAccessible::NoBoundary:
        return {0, t.size()};
      default: {  // a line with its break; sentences and paragraphs alike
        const std::size_t line = t.lineOf(pos);
        const std::size_t end = t.lineEnd(line);
        return {t.lineStart(line), end < t.size() ? end + 1 : end};
      }
    }
  }
};

}  // namespace

QAccessibleInterface* PaneAccessibleFactory(const QString& className, QObject* object) {
  if (className == QLatin1String("kvl::ConsolePane") && object && object->isWidgetType())
    return new PaneAccessible(static_cast<ConsolePane*>(object));
  return nullptr;
}

}  // namespace kvl
