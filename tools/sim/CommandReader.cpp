#include "tools/sim/CommandReader.h"

#include "tools/sim/DeviceModel.h"

namespace kvl::sim {

CommandReader::CommandReader(std::chrono::milliseconds pause, std::size_t maxCommand)
    : pause_(pause.count() > 0 ? pause : std::chrono::milliseconds(1)),
      max_(maxCommand > kPromptPrefix.size() ? maxCommand : kPromptPrefix.size() + 1) {}

void CommandReader::reset() {
  buf_.clear();
  tail_.clear();
  overflow_ = false;
}

void CommandReader::finish(std::vector<ReceivedCommand>& out) {
  // Bytes held beyond the limit (tail_ outside overflow) make the line too long.
  if (overflow_ || !tail_.empty())
    out.push_back({{}, true});
  else if (!buf_.empty())
    out.push_back({std::move(buf_), false});
  reset();
}

std::vector<ReceivedCommand> CommandReader::feed(std::string_view bytes, Clock::time_point now) {
  std::vector<ReceivedCommand> out;
  if (bytes.empty()) return out;
  if (hasPartial() && now - last_ >= pause_) finish(out);
  last_ = now;

  for (char c : bytes) {
    if (c == '\r' || c == '\n') {
      finish(out);
      continue;
    }
    if (overflow_) {
      // Still watch for a prompt prefix: it starts the next command.
      tail_.push_back(c);
      if (tail_.size() > kPromptPrefix.size()) tail_.erase(0, 1);
      if (tail_ == kPromptPrefix) {
        finish(out);
        buf_.assign(kPromptPrefix);
      }
      continue;
    }
    if (buf_.size() >= max_) {
      // The line is at the limit. A prompt prefix that began in its last
      // bytes would still save the command before it, so hold back up to a
      // prefix's length of further bytes in tail_ before giving up the line.
      tail_.push_back(c);
      const std::size_t fromBuf = kPromptPrefix.size() - tail_.size();
      if (c == kPromptPrefix.back() && tail_ == kPromptPrefix.substr(fromBuf) &&
          std::string_view(buf_).substr(buf_.size() - fromBuf) == kPromptPrefix.substr(0, fromBuf)) {
        buf_.resize(buf_.size() - fromBuf);
        tail_.clear();
        finish(out);
        buf_.assign(kPromptPrefix);
        continue;
      }
      if (tail_.size() == kPromptPrefix.size()) {
        // Too long for any command: drop it and everything up to its end.
        // tail_ goes on with the last bytes, to spot a prefix in the rest.
        buf_.clear();
        buf_.shrink_to_fit();
        overflow_ = true;
      }
      continue;
    }
    buf_.push_back(c);
    // A prompt prefix in the middle of a line starts the next command.
    if (c == kPromptPrefix.back() && buf_.size() > kPromptPrefix.size() &&
        std::string_view(buf_).substr(buf_.size() - kPromptPrefix.size()) == kPromptPrefix) {
      buf_.resize(buf_.size() - kPromptPrefix.size());
      finish(out);
      buf_.assign(kPromptPrefix);
    }
  }
  return out;
}

std::vector<ReceivedCommand> CommandReader::poll(Clock::time_point now) {
  std::vector<ReceivedCommand> out;
  if (hasPartial() && now - last_ >= pause_) finish(out);
  return out;
}

std::optional<CommandReader::Clock::time_point> CommandReader::deadline() const {
  if (!hasPartial()) return std::nullopt;
  return last_ + pause_;
}

}  // namespace kvl::sim
