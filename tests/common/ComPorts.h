// The "Com ports" section of a test's settings file: every COM number mapped,
// those in `ports` to the given device paths, all others to no device, so
// that no test ever reaches a real port.
#pragma once

#include <map>
#include <string>

namespace kvltest {

inline std::string ComPortsSection(const std::map<int, std::string>& ports = {}) {
  std::string s = "[Com ports]\r\n";
  for (int n = 1; n <= 16; ++n) {
    const auto it = ports.find(n);
    s += "COM" + std::to_string(n) + ":=" + (it == ports.end() ? std::string() : it->second) + "\r\n";
  }
  return s;
}

}  // namespace kvltest
