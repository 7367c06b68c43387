// The outgoing queue of one link. A command is queued whole or not at all;
// the link writes from the front whenever its port or socket can take data,
// so a command is never cut and never glued to part of another, and the
// window never waits on the device. The queue also keeps the time of the
// last progress, so that a link that stops taking data is reported once and
// its recovery once more. Plain C++: the window owns one queue per link.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kvl {

class SendQueue {
 public:
  using Clock = std::chrono::steady_clock;
  // Bytes that may wait at most.
  static constexpr std::size_t kDefaultLimit = std::size_t(1) << 20;
  // Waiting this long without a byte taken counts as a link that stopped.
  static constexpr Clock::duration kStallTime = std::chrono::seconds(2);

  explicit SendQueue(std::size_t limit = kDefaultLimit) : limit_(limit), ends_{0} {}

  // Queues the command whole. False, with nothing queued, when it would
  // take the waiting bytes past the limit. An empty command is accepted and
  // takes no room.
  bool push(std::string_view command, Clock::time_point now);

  bool empty() const { return waiting_ == 0; }
  // Bytes not yet written.
  std::size_t waiting() const { return waiting_; }
  std::size_t limit() const { return limit_; }

  // What a write outcome means for the link.
  struct FlushResult {
    bool drained = false;  // emptied after its stall had been reported
    int error = 0;         // errno of a write that failed (not EAGAIN)
  };
  // Writes from the front until the queue is empty, the writer takes no
  // more (-1 with EAGAIN or EWOULDBLOCK, or 0) or fails. `write` gets the
  // rest of the front command only and returns the bytes taken, or -1 with
  // errno set. A failure leaves the queue as it was at that byte.
  FlushResult flush(const std::function<ssize_t(const char*, std::size_t)>& write,
                    Clock::time_point now);

  // True once per stall: bytes have waited kStallTime since the last byte
  // was taken (or since they were queued on an idle link).
  bool stalled(Clock::time_point now);

  // Writes the rest of the command under way (one the writer has begun to
  // take), and nothing after it, as flush() does.
  FlushResult finishUnderWay(const std::function<ssize_t(const char*, std::size_t)>& write,
                             Clock::time_point now);

  // A command that the end of a link cut: `size` bytes, of which the first
  // `sent` left; size 0 when no command was cut.
  struct Cut {
    std::size_t size = 0;
    std::size_t sent = 0;
    bool operator==(const Cut&) const = default;
  };
  // The command cut when the last `discarded` bytes handed to the writer
  // never leave (a driver that throws away what it holds) and what waits
  // here is dropped: the one in which the bytes that left stop, when they
  // stop inside it. A command whose first byte never left is not cut.
  Cut cutBy(std::size_t discarded) const;

  // Drops everything (and forgets what was handed to the writer); returns
  // how many bytes waited.
  std::size_t drop();

 private:
  FlushResult write_(const std::function<ssize_t(const char*, std::size_t)>& write, Clock::time_point now,
                     bool frontOnly);

  std::deque<std::string> commands_;
  std::size_t offset_ = 0;  // bytes of the front command already written
  std::size_t waiting_ = 0;
  std::size_t limit_;
  // Where the commands handed to the writer lately end, in the count of
  // all bytes handed to it (`handed_`), as far back as a driver may hold.
  std::deque<std::uint64_t> ends_;
  std::uint64_t handed_ = 0;
  Clock::time_point lastProgress_{};
  bool stallReported_ = false;
};

}  // namespace kvl
