#include "app/Reception.h"

#include "app/RxDisplay.h"
#include "core/Hex.h"

namespace kvl {

RxShown Receive(std::string_view bytes, const RxRule& rule, bool viewHex) {
  RxShown r;
  r.text = rule.stamp;
  if (rule.dropLowControls) {
    AppendRxDisplay(r.text, bytes);
  } else {
    // NUL never shows, so that what the pane shows does not depend on how
    // the data was split.
    r.text.reserve(r.text.size() + bytes.size());
    for (const char c : bytes)
      if (c != '\0') r.text += c;
  }
  if (viewHex) r.hex = HexDigits(bytes) + "\r\n";
  r.rxText = rule.rxTextAsShown ? r.text : std::string(bytes);
  return r;
}

std::vector<bool> LineSteps(bool shown, bool now, std::uint32_t changes) {
  std::uint32_t steps = changes;
  if ((steps % 2 == 1) != (shown != now)) steps = steps == 0 ? 1 : steps - 1;
  if (steps > kMaxLineSteps) steps = kMaxLineSteps - (steps - kMaxLineSteps) % 2;
  std::vector<bool> out(steps);
  for (std::uint32_t i = 0; i < steps; ++i) out[steps - 1 - i] = i % 2 == 0 ? now : !now;
  return out;
}

}  // namespace kvl
