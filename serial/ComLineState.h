// Opening-time state of a port record, private to the serial layer.
#pragma once

#include <termios.h>

#include <cstdint>

#include "serial/LineSettings.h"
#include "serial/PortUse.h"

namespace kvl {

struct ComLineState {
  LinePlan plan;              // the Linux form of the record's Settings
  termios saved{};            // the port's settings before opening
  bool savedValid = false;
  std::uint32_t savedCustomBaud = 0;  // the port ran at a termios2 rate before
  bool locked = false;        // flock held
  UucpLock uucp;              // our lock files in the lock directories
  bool exclusive = false;     // TIOCEXCL set
  bool rs485Changed = false;  // RS-485 mode switched on for RTS toggle
  std::uint32_t rs485SavedFlags = 0;
  // The input rules of the plan with their state across reads: the reader
  // applies them while it runs, the last take at a close once it has ended.
  RxFilter filter;
};

}  // namespace kvl
