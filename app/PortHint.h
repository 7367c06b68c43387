// What the engineer reads about a port in its button's hint: why it cannot
// be used, and which adapter stands behind it. Plain UTF-8 texts; the
// window shows them as plain text.
#pragma once

#include <string>

#include "serial/PortUse.h"

namespace kvl {

// The reason a port is unavailable, one line, followed by a line of advice
// where there is something to do about it (ModemManager); empty for
// PortFault::None.
std::string PortProblemText(const PortProblem& problem, const PortAdapter& adapter);

// "FTDI FT232R USB UART, serial A50285BI, 0403:6001"; empty for a device
// that is not a USB adapter.
std::string PortAdapterText(const PortAdapter& adapter);

// A udev rule that keeps ModemManager off this one device.
std::string ModemManagerRule(const PortAdapter& adapter);

}  // namespace kvl
