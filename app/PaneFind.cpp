// The console pane's find bar: built when first opened, placed at the
// pane's top right, and finding its text in the pane's text store forward
// or back, starting again at the other end.
#include <QApplication>
#include <QCheckBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <algorithm>
#include <optional>
#include <string>

#include "app/ConsolePane.h"
#include "ui/QtText.h"

namespace kvl {
namespace {

// The desktop's colours with every role set, so that none of the pane's
// own background reaches a widget that takes them.
QPalette DesktopPalette() {
  QPalette desktop;
  const QPalette app = QApplication::palette();
  for (int g = 0; g < QPalette::NColorGroups; ++g)
    for (int r = 0; r < QPalette::NColorRoles; ++r)
      if (r != QPalette::NoRole)
        desktop.setColor(QPalette::ColorGroup(g), QPalette::ColorRole(r),
                         app.color(QPalette::ColorGroup(g), QPalette::ColorRole(r)));
  return desktop;
}

QToolButton* FindButton(QWidget* bar, const char* name, const QString& caption, const QString& hint) {
  auto* b = new QToolButton(bar);
  b->setObjectName(QLatin1String(name));
  b->setText(caption);
  b->setToolTip(hint);
  b->setAutoRaise(true);
  b->setFocusPolicy(Qt::NoFocus);
  return b;
}

}  // namespace

void ConsolePane::buildFindBar() {
  findBar_ = new QFrame(this);
  findBar_->setObjectName(QStringLiteral("findBar"));
  findBar_->setFrameShape(QFrame::StyledPanel);
  findBar_->setAutoFillBackground(true);
  findBar_->setFont(QApplication::font());
  // The find bar takes the desktop's colours, not the pane's own.
  findBar_->setPalette(DesktopPalette());
  auto* row = new QHBoxLayout(findBar_);
  row->setContentsMargins(3, 2, 3, 2);
  row->setSpacing(3);
  findEdit_ = new QLineEdit(findBar_);
  findEdit_->setObjectName(QStringLiteral("findEdit"));
  findEdit_->setPlaceholderText(QStringLiteral("Find"));
  findEdit_->installEventFilter(this);
  QToolButton* previous =
      FindButton(findBar_, "findPrevious", QStringLiteral("\u25B2"), QStringLiteral("Previous match (Shift+F3)"));
  QToolButton* next =
      FindButton(findBar_, "findNext", QStringLiteral("\u25BC"), QStringLiteral("Next match (Enter, F3)"));
  findCase_ = new QCheckBox(QStringLiteral("Match case"), findBar_);
  findCase_->setObjectName(QStringLiteral("findCase"));
  findCase_->setFocusPolicy(Qt::NoFocus);
  findStatus_ = new QLabel(findBar_);
  findStatus_->setObjectName(QStringLiteral("findStatus"));
  findStatus_->setTextFormat(Qt::PlainText);
  // The status keeps the width of its longest text, so that it never takes
  // width from the field as it comes and goes.
  int statusWidth = 0;
  for (const char* said : {"Not found", "From the top", "From the end"})
    statusWidth = std::max(statusWidth, findStatus_->fontMetrics().horizontalAdvance(QLatin1String(said)));
  findStatus_->setFixedWidth(statusWidth + 2);
  // The field shows some 20 characters however narrow the pane.
  findEdit_->setMinimumWidth(findEdit_->fontMetrics().averageCharWidth() * 20);
  QToolButton* close = FindButton(findBar_, "findClose", QStringLiteral("\u2715"), QStringLiteral("Close (Esc)"));
  row->addWidget(findEdit_, 1);
  row->addWidget(previous);
  row->addWidget(next);
  row->addWidget(findCase_);
  row->addWidget(findStatus_);
  row->addWidget(close);
  connect(previous, &QToolButton::clicked, this, [this] { findNext(false); });
  connect(next, &QToolButton::clicked, this, [this] { findNext(true); });
  connect(close, &QToolButton::clicked, this, &ConsolePane::closeFind);
  connect(findEdit_, &QLineEdit::textEdited, findStatus_, &QLabel::clear);
  findBar_->hide();
}

void ConsolePane::placeFindBar() {
  if (!findBar_) return;
  const QRect area = viewport()->geometry();
  const int width = std::min(area.width(), std::max(findBar_->sizeHint().width(), 340));
  findBar_->setGeometry(area.right() + 1 - width, area.top(), width, findBar_->sizeHint().height());
}

void ConsolePane::openFind() {
  if (!findBar_) buildFindBar();
  placeFindBar();
  findBar_->show();
  findBar_->raise();
  findEdit_->setFocus(Qt::ShortcutFocusReason);
  findEdit_->selectAll();
}

void ConsolePane::closeFind() {
  if (!findBar_) return;
  findBar_->hide();
  setFocus(Qt::OtherFocusReason);
}

bool ConsolePane::findNext(bool forward) {
  const QString query = findEdit_ ? findEdit_->text() : QString();
  if (query.isEmpty()) return false;
  const std::string needle = ToCp1251(query);
  std::optional<ConsoleText::Range> match;
  bool wrapped = false;
  // A character that Windows-1251 lacks cannot stand in the pane.
  if (FromCp1251(needle) == query) {
    const bool matchCase = findCase_->isChecked();
    const std::size_t from = forward ? selectionEnd() : selectionStart();
    match = text_.find(needle, from, forward, matchCase);
    if (!match) {
      match = text_.find(needle, forward ? 0 : text_.size(), forward, matchCase);
      // Starting again at the other end is news only after a search that
      // passed some text: not from a bare caret at the end (the first
      // search of a pane that follows its end) or at the start.
      const bool fromEdge = !hasSelection() && from == (forward ? text_.size() : 0);
      wrapped = match.has_value() && !fromEdge;
    }
  }
  if (!match) {
    findStatus_->setText(QStringLiteral("Not found"));
    return false;
  }
  findStatus_->setText(wrapped ? (forward ? QStringLiteral("From the top") : QStringLiteral("From the end"))
                               : QString());
  setSelection(match->start, match->end);
  return true;
}

bool ConsolePane::eventFilter(QObject* watched, QEvent* event) {
  if (watched == findEdit_ && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
      findNext(!(key->modifiers() & Qt::ShiftModifier));
      return true;
    }
    if (key->matches(QKeySequence::FindNext) || key->matches(QKeySequence::FindPrevious)) {
      findNext(key->matches(QKeySequence::FindNext));
      return true;
    }
    if (key->key() == Qt::Key_Escape) {
      closeFind();
      return true;
    }
  }
  return QAbstractScrollArea::eventFilter(watched, event);
}

}  // namespace kvl
