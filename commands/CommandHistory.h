// The command lines sent in this session, newest first: Up and Down in a
// command line walk through them, as in a terminal. Plain C++; the window
// records each line "Send" sends and applies what a walk gives.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

namespace kvl {

class CommandHistory {
 public:
  static constexpr std::size_t kLimit = 50;

  // Records a sent line (Windows-1251, without its line ends): it becomes
  // the newest, an earlier copy of it is dropped, and beyond kLimit lines
  // the oldest goes. An empty line is not recorded.
  void add(const std::string& line);
  std::size_t size() const { return lines_.size(); }
  // Line i, 0 being the newest.
  const std::string& at(std::size_t i) const { return lines_[i]; }

  // One command line's walk through the history.
  class Walk {
   public:
    // Up: the next older line, or nothing at the oldest. The first step
    // keeps the text that was being typed, to come back to.
    std::optional<std::string> older(const CommandHistory& history, const std::string& typed);
    // Down: the next newer line; past the newest, the text that was being
    // typed; nothing when the walk has not begun.
    std::optional<std::string> newer(const CommandHistory& history);
    // Back to the start (the history changed, or the line was sent).
    void reset();

   private:
    std::size_t steps_ = 0;  // 0: not walking; n: showing line n - 1
    std::string typed_;
  };

 private:
  std::deque<std::string> lines_;
};

}  // namespace kvl
