#include "serial/LineSettings.h"

#include <charconv>

namespace kvl {

namespace {

struct SpeedRow {
  std::uint32_t baud;
  speed_t speed;
};

constexpr SpeedRow kStandardSpeeds[] = {
    {50, B50},          {75, B75},           {110, B110},         {134, B134},
    {150, B150},        {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},      {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},      {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},  {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},  {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

LinePlan Refuse(const char* why) {
  LinePlan plan;
  plan.refusal = why;
  return plan;
}

}  // namespace

speed_t StandardSpeed(std::uint32_t baud) {
  for (const SpeedRow& row : kStandardSpeeds)
    if (row.baud == baud) return row.speed;
  return B0;
}

std::uint32_t LineBaud(const LineSettings& c) {
  std::uint32_t value = 0;
  const char* first = c.baudText.data();
  const char* last = first + c.baudText.size();
  while (first < last && *first == ' ') ++first;
  while (last > first && last[-1] == ' ') --last;
  auto [end, error] = std::from_chars(first, last, value);
  if (error != std::errc() || end != last) return 0;  // refused at opening
  return value;
}

// The whole mapping, setting by setting:
//
//   baud text           a decimal number: standard constant, else
//                       termios2/BOTHER; 0 or no number refused
//   byteSize 5..8       CS5..CS8; anything else refused
//   parity index        none; odd PARENB|PARODD; even PARENB;
//                       mark PARENB|CMSPAR|PARODD; space PARENB|CMSPAR
//   stop bits index     1: -; 1.5: CSTOPB with 5 data bits, refused otherwise;
//                       2: CSTOPB, refused with 5 data bits
//   parity (check)      with errorChar: INPCK|PARMRK (below); alone: no
//                       check, bytes come as received (as Windows delivers
//                       them; INPCK alone would turn them into 0x00)
//   ctsFlow             CRTSCTS
//   dsrFlow             refused (no DSR flow control on Linux)
//   "DTR Enable"        DTR raised after opening; "DTR Handshake" refused;
//                       any other text: DTR dropped
//   dsrSensitivity      reader drops bytes while DSR is off
//   txContinueOnXoff    no Linux meaning; accepted
//   outX / inX          IXON / IXOFF (never IXANY), xonChar/xoffChar in
//                       VSTART/VSTOP; refused with a character 0 (termios
//                       reads 0 as "disabled")
//   xonChar = xoffChar  refused (as the Windows driver refuses it)
//   errorChar           with parity: PARMRK, reader puts the error character
//                       for marked bytes; without parity nothing is checked
//   nullDiscard         reader drops zero bytes
//   "RTS Enable"        RTS raised after opening; any text not named here:
//                       RTS dropped
//   "RTS Handshake"     with ctsFlow: CRTSCTS; alone refused (Linux has no
//                       input-only hardware flow control: CRTSCTS would
//                       hold output for CTS too)
//   "RTS Toggle"        driver's RS-485 mode (refused where it has none)
//   abortOnError, xonLim, xoffLim, eofChar, evtChar: accepted, no meaning
//
// The characters are bytes: a value is taken modulo 256, as the controls'
// record always took it.
namespace {

// Data bits, parity and stop bits into c_cflag; the refusal, or nullptr.
const char* PlanFraming(const LineSettings& c, LinePlan& plan) {
  const auto bits = std::uint8_t(c.byteSize);
  switch (bits) {
    case 5: plan.cflag |= CS5; break;
    case 6: plan.cflag |= CS6; break;
    case 7: plan.cflag |= CS7; break;
    case 8: plan.cflag |= CS8; break;
    default: return "data bits";
  }
  switch (std::uint8_t(c.parityIndex)) {
    case kNoParity: break;
    case kOddParity: plan.cflag |= PARENB | PARODD; break;
    case kEvenParity: plan.cflag |= PARENB; break;
    case kMarkParity: plan.cflag |= PARENB | CMSPAR | PARODD; break;
    case kSpaceParity: plan.cflag |= PARENB | CMSPAR; break;
    default: return "parity";
  }
  switch (std::uint8_t(c.stopBitsIndex)) {
    case kOneStopBit: break;
    case kOne5StopBits:
      if (bits != 5) return "1.5 stop bits need 5 data bits";
      plan.cflag |= CSTOPB;
      break;
    case kTwoStopBits:
      if (bits == 5) return "2 stop bits with 5 data bits";
      plan.cflag |= CSTOPB;
      break;
    default: return "stop bits";
  }
  return nullptr;
}

// DTR after opening; the refusal, or nullptr.
const char* PlanDtr(const LineSettings& c, LinePlan& plan) {
  if (c.dtrText == "DTR Handshake") return "DTR handshake";
  plan.dtr = c.dtrText == "DTR Enable" ? LineAction::Raise : LineAction::Drop;
  return nullptr;
}

// RTS after opening, and the hardware flow control it takes part in; the
// refusal, or nullptr.
const char* PlanRts(const LineSettings& c, LinePlan& plan) {
  plan.rts = c.rtsText == "RTS Enable" ? LineAction::Raise : LineAction::Drop;
  if (c.rtsText == "RTS Handshake") {
    if (!c.ctsFlow) return "RTS handshake without CTS flow";
    plan.rts = LineAction::Driver;
    plan.cflag |= CRTSCTS;
  }
  if (c.rtsText == "RTS Toggle") {
    plan.rts = LineAction::Driver;
    plan.rs485Toggle = true;
  }
  return nullptr;
}

// Software flow control and the reader's input rules; the refusal, or
// nullptr.
const char* PlanInput(const LineSettings& c, LinePlan& plan) {
  const auto xon = std::uint8_t(c.xonChar), xoff = std::uint8_t(c.xoffChar);
  plan.dsrSensitive = c.dsrSensitivity;
  if (xon == xoff) return "XON and XOFF are the same character";
  if ((c.outX || c.inX) && (xon == 0 || xoff == 0)) return "XON/XOFF flow control with a character 0";
  if (c.outX) plan.iflag |= IXON;
  if (c.inX) plan.iflag |= IXOFF;
  plan.startChar = xon;
  plan.stopChar = xoff;
  if (c.errorChar && c.parity) {
    plan.iflag |= INPCK | PARMRK;
    plan.replaceMarked = true;
  }
  plan.errorChar = std::uint8_t(c.errorCharValue);
  plan.dropNull = c.nullDiscard;
  return nullptr;
}

}  // namespace

LinePlan PlanLine(const LineSettings& c) {
  LinePlan plan;
  // Checked in this order: settings with several faults get the refusal of
  // the first.
  const std::uint32_t baud = LineBaud(c);
  if (baud == 0) return Refuse("baud rate 0");
  plan.baud = baud;
  plan.speed = StandardSpeed(baud);
  plan.customBaud = plan.speed == B0;
  if (const char* why = PlanFraming(c, plan)) return Refuse(why);
  if (c.ctsFlow) plan.cflag |= CRTSCTS;
  if (c.dsrFlow) return Refuse("DSR flow control");
  if (const char* why = PlanDtr(c, plan)) return Refuse(why);
  if (const char* why = PlanInput(c, plan)) return Refuse(why);
  if (const char* why = PlanRts(c, plan)) return Refuse(why);
  plan.accepted = true;
  return plan;
}

void ApplyLinePlan(const LinePlan& plan, termios& t) {
  // Raw mode: no input or output processing, no echo, no signals.
  t.c_iflag &= ~(IGNBRK | BRKINT | IGNPAR | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXANY |
                 IMAXBEL | kPlannedIflags);
  t.c_oflag &= ~OPOST;
  t.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  t.c_cflag &= ~kPlannedCflags;
  t.c_cflag |= CLOCAL | CREAD | HUPCL;
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;

  t.c_cflag |= plan.cflag;
  t.c_iflag |= plan.iflag;
  t.c_cc[VSTART] = plan.startChar;
  t.c_cc[VSTOP] = plan.stopChar;

  // A custom rate goes in through termios2 afterwards; until then the port
  // runs at a standard rate near it.
  const speed_t speed = plan.customBaud ? B38400 : plan.speed;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
}

void RxFilter::Reset(const LinePlan& plan) {
  mark_ = Mark::None;
  dropNull_ = plan.dropNull;
  dsrSensitive_ = plan.dsrSensitive;
  replaceMarked_ = plan.replaceMarked;
  errorChar_ = plan.errorChar;
}

std::size_t RxFilter::Apply(unsigned char* bytes, std::size_t count, bool dsrOn) {
  const bool gated = dsrSensitive_ && !dsrOn;
  if (!gated && !dropNull_ && !replaceMarked_) return count;

  std::size_t out = 0;
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char b = bytes[i];
    if (replaceMarked_) {
      if (mark_ == Mark::None && b == 0xFF) {
        mark_ = Mark::Escape;
        continue;
      }
      if (mark_ == Mark::Escape) {
        if (b == 0x00) {
          mark_ = Mark::Bad;
          continue;
        }
        // 0xFF 0xFF is a received 0xFF (nothing else can follow 0xFF).
        mark_ = Mark::None;
      } else if (mark_ == Mark::Bad) {
        // 0xFF 0x00 x: x arrived with a parity or framing error (or a break).
        mark_ = Mark::None;
        b = errorChar_;
      }
    }
    // The marking is followed even while DSR gates the bytes, so a sequence
    // that DSR going on splits is still read right.
    if (gated || (dropNull_ && b == 0)) continue;
    bytes[out++] = b;
  }
  return out;
}

bool DriverCanDo(const std::string& driver, const LineSettings& settings) {
  struct Limits {
    const char* driver;
    std::uint32_t minBaud;  // the largest divisor's rate
    int minByteSize;
  };
  // FTDI chips: 3 MHz over at most 16383.875; 7 or 8 data bits only.
  static constexpr Limits kLimits[] = {{"ftdi_sio", 183, 7}};
  for (const Limits& l : kLimits)
    if (driver == l.driver) return LineBaud(settings) >= l.minBaud && std::uint8_t(settings.byteSize) >= l.minByteSize;
  return true;
}

}  // namespace kvl
