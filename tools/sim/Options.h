// Command-line options of kvl-sim.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/sim/DeviceModel.h"

namespace kvl::sim {

struct Options {
  bool help = false;
  bool pty = false;
  std::string link;                // symlink kept at this path to the pty's slave
  int tcpPort = -1;                // -1: no TCP; 0: any free port
  std::string bind = "127.0.0.1";  // listening address for TCP
  double telemetrySeconds = 0;     // 0: no telemetry
  std::string sendFile;
  std::optional<std::uint64_t> sendBytes;
  bool echo = false;
  bool verbose = false;
  std::string stateFile;  // state dump rewritten after every command
  std::optional<std::uint32_t> mask;
  std::vector<std::pair<int, PhoneEntry>> contacts;  // preset phonebook entries
  std::chrono::milliseconds pause = std::chrono::milliseconds(150);
};

// Parses the arguments (without the program name). On failure returns
// nothing and says why in `error`.
std::optional<Options> parseOptions(const std::vector<std::string>& args, std::string& error);

std::string usage(const std::string& program);

}  // namespace kvl::sim
