#include "commands/CommandHistory.h"

#include <algorithm>

namespace kvl {

void CommandHistory::add(const std::string& line) {
  if (line.empty()) return;
  auto old = std::find(lines_.begin(), lines_.end(), line);
  if (old != lines_.end()) lines_.erase(old);
  lines_.push_front(line);
  if (lines_.size() > kLimit) lines_.pop_back();
}

std::optional<std::string> CommandHistory::Walk::older(const CommandHistory& history,
                                                       const std::string& typed) {
  if (steps_ >= history.size()) return std::nullopt;
  if (steps_ == 0) typed_ = typed;
  return history.at(steps_++);
}

std::optional<std::string> CommandHistory::Walk::newer(const CommandHistory& history) {
  if (steps_ == 0) return std::nullopt;
  --steps_;
  if (steps_ == 0) return typed_;
  return history.at(std::min(steps_, history.size()) - 1);
}

void CommandHistory::Walk::reset() {
  steps_ = 0;
  typed_.clear();
}

}  // namespace kvl
