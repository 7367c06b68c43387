// What a user sees of an X server: when its screen changes (the DAMAGE
// extension on the root window, so every window's drawing counts), and keys
// typed as a user types them (XTEST). For the screen-latency benchmark on an
// Xvfb of its own; knows nothing of the program it watches.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct xcb_connection_t;

namespace kvlbench {

class ScreenWatch {
 public:
  using Clock = std::chrono::steady_clock;

  // Connects to `display` twice: one connection only receives the screen's
  // changes (a thread of its own stamps each at once), the other types and
  // looks at windows. error() says why when it cannot.
  explicit ScreenWatch(const std::string& display);
  ~ScreenWatch();
  ScreenWatch(const ScreenWatch&) = delete;
  ScreenWatch& operator=(const ScreenWatch&) = delete;

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  // The first change of the screen after `after`, waiting for it until
  // `deadline`.
  std::optional<Clock::time_point> firstChangeAfter(Clock::time_point after, Clock::time_point deadline);
  // Waits until the screen has not changed for `still`; false when it kept
  // changing until `deadline`.
  bool waitStill(Clock::duration still, Clock::time_point deadline);
  // The changes seen from `from` on, in time order.
  std::vector<Clock::time_point> changesSince(Clock::time_point from);
  Clock::time_point lastChange();

  // Gives the keyboard to the largest top-level window shown, with the
  // pointer in its middle; false when no window is shown.
  bool focusLargestWindow();
  // Types `text` as key presses: letters (capitals with Shift), digits,
  // space; '\r' is Return. `control` holds Control down meanwhile.
  bool type(const std::string& text, bool control = false);

 private:
  void watch();
  unsigned keycodeOf(unsigned keysym) const;
  void key(unsigned keycode, bool press);

  std::string error_;
  xcb_connection_t* events_ = nullptr;  // the screen's changes only
  xcb_connection_t* input_ = nullptr;   // keys, focus, window queries
  unsigned root_ = 0;
  unsigned damage_ = 0;
  std::uint8_t damageEvent_ = 0;
  std::vector<std::vector<unsigned>> keysyms_;  // by keycode - minKeycode_
  unsigned minKeycode_ = 0;
  int stopPipe_[2] = {-1, -1};
  std::thread thread_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Clock::time_point> changes_;
};

}  // namespace kvlbench
