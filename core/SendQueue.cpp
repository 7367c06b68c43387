#include "core/SendQueue.h"

#include <algorithm>
#include <cerrno>

namespace kvl {

bool SendQueue::push(std::string_view command, Clock::time_point now) {
  if (command.size() > limit_ - waiting_) return false;
  if (command.empty()) return true;
  if (waiting_ == 0) lastProgress_ = now;  // an idle link starts its wait now
  commands_.emplace_back(command);
  waiting_ += command.size();
  return true;
}

SendQueue::FlushResult SendQueue::flush(
    const std::function<ssize_t(const char*, std::size_t)>& write, Clock::time_point now) {
  FlushResult result;
  while (!commands_.empty()) {
    const std::string& front = commands_.front();
    const ssize_t n = write(front.data() + offset_, front.size() - offset_);
    if (n < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK) result.error = errno;
      break;
    }
    if (n == 0) break;
    const std::size_t taken = std::min(std::size_t(n), front.size() - offset_);
    offset_ += taken;
    waiting_ -= taken;
    lastProgress_ = now;
    if (offset_ == front.size()) {
      commands_.pop_front();
      offset_ = 0;
    }
  }
  if (commands_.empty() && stallReported_) {
    stallReported_ = false;
    result.drained = true;
  }
  return result;
}

bool SendQueue::stalled(Clock::time_point now) {
  if (empty() || stallReported_ || now - lastProgress_ < kStallTime) return false;
  stallReported_ = true;
  return true;
}

std::size_t SendQueue::drop() {
  const std::size_t dropped = waiting_;
  commands_.clear();
  offset_ = 0;
  waiting_ = 0;
  stallReported_ = false;
  return dropped;
}

}  // namespace kvl
