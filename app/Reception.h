// What a reception on either link puts where: the text pane, the hex pane
// and RxText. The links differ in two rules only: the serial link may put a
// time stamp before each burst and leaves bytes 0 to 9 out of the text; the
// TCP link leaves NUL out of the panes but gives RxText every byte. Plain
// C++; the window's two receive paths call Receive and append.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kvl {

struct RxRule {
  std::string stamp;              // put before the text ("View time"), or empty
  bool dropLowControls = false;   // serial: bytes 0..9 leave the text and RxText
  bool rxTextAsShown = false;     // serial: RxText gets the text (stamp included)
};
inline RxRule SerialRxRule(std::string stamp) { return {std::move(stamp), true, true}; }
inline RxRule TcpRxRule() { return {}; }

struct RxShown {
  std::string text;    // for the text pane, in navy
  std::string hex;     // for the hex pane, in grey: digit pairs and "\r\n"; empty while it is off
  std::string rxText;  // for RxText
};

RxShown Receive(std::string_view bytes, const RxRule& rule, bool viewHex);

// The states (true on) a modem line's panel shows, one after the other, for
// the line's changes since the window last looked: from what the panel
// shows, every change the driver counted, in order, ending with the line's
// state now. A count that does not fit (the panel missed a change before)
// loses one change rather than invent one; no count (sampled lines) gives
// the state now alone. At most kMaxLineSteps, a line that chatters keeping
// its last ones.
inline constexpr std::uint32_t kMaxLineSteps = 64;
std::vector<bool> LineSteps(bool shown, bool now, std::uint32_t changes);

}  // namespace kvl
