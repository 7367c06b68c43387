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

}  // namespace kvl
