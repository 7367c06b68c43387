// Fuzz target: how received bytes are shown.
//
// Input: the first byte picks the hex switch and where the bytes are split
// into two receptions; the rest are the received bytes.
//
// Checked on every input:
//  - the text pane gets the bytes minus bytes 0..9, in order, appended after
//    what it held;
//  - the hex pane gets two upper-case hex digits per byte that decode back to
//    the bytes, appended after what it held, and nothing when hex is off;
//  - rendering in two receptions gives what one reception gives.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/Hex.h"
#include "app/RxDisplay.h"

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;  // lower case is not what the pane shows
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t control = data[0];
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool wantHex = (control & 1) != 0;
  const std::size_t split = bytes.empty() ? 0 : (control >> 1) % (bytes.size() + 1);

  const std::string paneBefore = "pane\r\n";
  const std::string hexBefore = "0D0A";
  std::string display = paneBefore;
  std::string hex = hexBefore;
  // What the receive path does with one reception.
  auto render = [wantHex](std::string_view part, std::string& d, std::string& h) {
    kvl::AppendRxDisplay(d, part);
    if (wantHex) kvl::AppendHexDigits(h, part);
  };
  render(bytes, display, hex);

  std::string expectedDisplay = paneBefore;
  for (char c : bytes)
    if (static_cast<unsigned char>(c) > 9) expectedDisplay += c;
  Check(display == expectedDisplay, "text pane gets the bytes minus 0..9");

  if (!wantHex) {
    Check(hex == hexBefore, "no hex text when hex is off");
  } else {
    Check(hex.size() == hexBefore.size() + 2 * bytes.size(), "two hex digits per byte");
    Check(hex.compare(0, hexBefore.size(), hexBefore) == 0, "hex is appended");
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const int hi = HexValue(hex[hexBefore.size() + 2 * i]);
      const int lo = HexValue(hex[hexBefore.size() + 2 * i + 1]);
      Check(hi >= 0 && lo >= 0, "hex digits are 0-9, A-F");
      Check(hi * 16 + lo == static_cast<unsigned char>(bytes[i]), "hex decodes back to the bytes");
    }
    Check(hex.substr(hexBefore.size()) == kvl::HexDigits(bytes), "HexDigits gives the pane's digits");
  }

  // Two receptions show the same as one.
  std::string display2 = paneBefore;
  std::string hex2 = hexBefore;
  render(bytes.substr(0, split), display2, hex2);
  render(bytes.substr(split), display2, hex2);
  Check(display2 == display && hex2 == hex, "split reception renders the same");
  return 0;
}
