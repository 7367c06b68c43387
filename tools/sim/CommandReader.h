// Splits the byte stream from the terminal into command lines, the way the
// modem's command parser does: a line ends at "\r", "\n" or "\r\n"; bytes
// that arrive without a line end make a command once the line has been
// quiet for a short pause (the one-click commands carry no line end). The
// prompt prefix "cKVL>" always starts a new command. The clock is passed in
// so that callers (and tests) decide what "now" is.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kvl::sim {

struct ReceivedCommand {
  std::string text;      // the line as received, prefix included, no line end
  bool tooLong = false;  // the line exceeded the limit; its bytes were dropped
  bool operator==(const ReceivedCommand&) const = default;
};

class CommandReader {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kDefaultPause{150};
  static constexpr std::size_t kDefaultMaxCommand = 4096;

  explicit CommandReader(std::chrono::milliseconds pause = kDefaultPause,
                         std::size_t maxCommand = kDefaultMaxCommand);

  // Takes received bytes; returns the commands they complete. A partial line
  // that has been quiet for the pause before these bytes came is completed
  // first.
  std::vector<ReceivedCommand> feed(std::string_view bytes, Clock::time_point now);

  // Completes a partial line once it has been quiet for the pause.
  std::vector<ReceivedCommand> poll(Clock::time_point now);

  // When poll() should next be called; empty while no partial line waits.
  std::optional<Clock::time_point> deadline() const;

  bool hasPartial() const { return !buf_.empty() || overflow_; }
  std::size_t partialSize() const { return buf_.size(); }
  void reset();

 private:
  void finish(std::vector<ReceivedCommand>& out);

  std::chrono::milliseconds pause_;
  std::size_t max_;
  std::string buf_;
  std::string tail_;  // last bytes of an over-long line, to spot a prefix
  bool overflow_ = false;
  Clock::time_point last_{};
};

}  // namespace kvl::sim
