#include "core/SendQueue.h"

#include <algorithm>
#include <cerrno>

namespace kvl {

namespace {

// Bytes written whose commands are remembered: far more than any driver
// holds for output.
constexpr std::uint64_t kRememberedBytes = std::uint64_t(1) << 20;

}  // namespace

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
  return write_(write, now, false);
}

SendQueue::FlushResult SendQueue::finishUnderWay(
    const std::function<ssize_t(const char*, std::size_t)>& write, Clock::time_point now) {
  if (offset_ == 0) return {};
  return write_(write, now, true);
}

SendQueue::FlushResult SendQueue::write_(
    const std::function<ssize_t(const char*, std::size_t)>& write, Clock::time_point now,
    bool frontOnly) {
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
    handed_ += taken;
    lastProgress_ = now;
    if (offset_ == front.size()) {
      commands_.pop_front();
      offset_ = 0;
      ends_.push_back(handed_);
      while (ends_.size() > 1 && handed_ - ends_[1] > kRememberedBytes) ends_.pop_front();
      if (frontOnly) break;
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

SendQueue::Cut SendQueue::cutBy(std::size_t discarded) const {
  if (discarded > handed_) return {};
  const std::uint64_t left = handed_ - discarded;  // where the bytes that left stop
  // The command under way began where the last one handed whole ended.
  if (offset_ > 0) {
    const std::uint64_t start = handed_ - offset_;
    if (left > start) return {commands_.front().size(), std::size_t(left - start)};
  }
  for (std::size_t i = ends_.size(); i-- > 1;) {
    const std::uint64_t start = ends_[i - 1], end = ends_[i];
    if (left > start && left < end) return {std::size_t(end - start), std::size_t(left - start)};
    if (left >= end) return {};
  }
  return {};
}

std::size_t SendQueue::drop() {
  const std::size_t dropped = waiting_;
  commands_.clear();
  offset_ = 0;
  waiting_ = 0;
  stallReported_ = false;
  ends_.assign(1, handed_);
  return dropped;
}

}  // namespace kvl
