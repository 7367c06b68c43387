#include "app/RxDisplay.h"

#include "core/Cp1251.h"

namespace kvl {

void AppendRxDisplay(std::string& display, std::string_view bytes) {
  display.reserve(display.size() + bytes.size());
  for (const char c : bytes)
    if (static_cast<unsigned char>(c) >= 10) display += c;
}

std::string RxTimeStamp(const std::tm& localTime, const char* format) {
  char buf[128];
  const std::size_t len = std::strftime(buf, sizeof buf, format, &localTime);
  // strftime writes the locale's multibyte encoding (UTF-8 as a rule).
  return "[" + LocaleToCp1251(std::string_view(buf, len)) + "] ";
}

}  // namespace kvl
