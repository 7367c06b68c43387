// One console pane: a read-only text view that grows by coloured runs.
#pragma once

#include <QPlainTextEdit>
#include <cstdint>
#include <string_view>

namespace kvl {

// Windows colour values (red in the low byte, blue in the high byte).
inline constexpr std::uint32_t kNavy = 0x800000;
inline constexpr std::uint32_t kGrey = 0x808080;
inline constexpr std::uint32_t kLime = 0x00FF00;

QColor WinColour(std::uint32_t colour);

class ConsolePane : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit ConsolePane(QWidget* parent = nullptr);

  // Appends Windows-1251 text at the end in the given colour, as plain text.
  // "\r\n", a lone "\r" and a lone "\n" each make one line break, also when
  // a pair is split between two appends. The cost does not depend on how
  // much the pane already holds.
  void appendRun(std::uint32_t colour, std::string_view bytes);
  // Empties the pane.
  void clearPane();

 private:
  bool endsInCR_ = false;
};

}  // namespace kvl
