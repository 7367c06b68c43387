// One console pane: a read-only view of a ConsoleText that draws only the
// rows on screen, so that it stays fast however much the device has sent.
// The engineer can select (mouse, Ctrl+A), copy (Ctrl+C) and scroll.
#pragma once

#include <QAbstractScrollArea>
#include <QTimer>
#include <cstdint>
#include <string_view>

#include "app/ConsoleText.h"

namespace kvl {

class ConsolePane : public QAbstractScrollArea {
  Q_OBJECT
 public:
  explicit ConsolePane(QWidget* parent = nullptr);

  // Appends Windows-1251 text at the end in the given colour, as plain text,
  // and shows the end (the caret stands there with nothing selected).
  void appendRun(std::uint32_t colour, std::string_view bytes);
  // Empties the pane.
  void clearPane();

  const ConsoleText& content() const { return text_; }
  QString toPlainText() const;

  bool hasSelection() const { return anchor_ != caret_; }
  QString selectedText() const;
  void selectAll();
  void copy() const;
  // The pane is read-only: nothing to undo, cut, paste or delete.
  bool isReadOnly() const { return true; }
  void undo() {}
  void cut() {}
  void paste() {}

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void updateScrollBars();
  void refresh();
  std::size_t positionAt(const QPoint& viewportPoint) const;
  int lineHeight() const;

  ConsoleText text_;
  std::size_t anchor_ = 0;
  std::size_t caret_ = 0;
  // Appends are shown at most every few milliseconds: a device that floods
  // the line costs one redraw per interval, not one per received block.
  QTimer refresh_;
  bool followEnd_ = false;
};

}  // namespace kvl
