#include "serial/RxDisplay.h"

namespace kvl {

void AppendRxDisplay(std::string& display, std::string_view bytes) {
  display.reserve(display.size() + bytes.size());
  for (const char c : bytes)
    if (static_cast<unsigned char>(c) >= 10) display += c;
}

}  // namespace kvl
