// The line settings of a serial port, as the port controls give them, and
// what they mean on a Linux serial port: one pure function turns them into
// termios bits, the reader's input rules and the line actions after
// opening, or refuses them as a driver would.
#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvl {

// The line settings: the values the main window reads from its port
// controls, as they stand there. The defaults are the window's initial values.
struct LineSettings {
  std::string baudText = "115200";  // text of the selected baud-rate item
  int parityIndex = 0;              // 0 NOPARITY .. 4 SPACEPARITY
  int stopBitsIndex = 0;            // 0 one, 1 one and a half, 2 two
  bool parity = false;
  bool ctsFlow = false;
  bool dsrFlow = false;
  bool dsrSensitivity = false;
  bool txContinueOnXoff = false;
  bool outX = false;
  bool inX = false;
  bool errorChar = false;
  bool nullDiscard = false;
  bool abortOnError = false;
  std::string dtrText = "DTR Enable";  // "DTR Disable" / "DTR Enable" / "DTR Handshake"
  std::string rtsText = "RTS Enable";  // "RTS Disable" / "RTS Enable" / "RTS Handshake" / "RTS Toggle"
  int xonLim = 1;
  int xoffLim = 1;
  int byteSize = 8;
  int xonChar = 2;
  int xoffChar = 3;
  int errorCharValue = 0;
  int eofChar = 4;
  int evtChar = 7;
  bool operator==(const LineSettings&) const = default;
};

// Parity and stop-bit codes of the Win32 record.
inline constexpr std::uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2,
                              kMarkParity = 3, kSpaceParity = 4;
inline constexpr std::uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

// The rate of the settings: the baud-rate text as a decimal number, 0 when
// it is none (refused at opening).
std::uint32_t LineBaud(const LineSettings& settings);

// What to do with DTR or RTS once the port is open.
enum class LineAction : std::uint8_t { Drop, Raise, Driver };

struct LinePlan {
  bool accepted = false;
  const char* refusal = "";  // why not, when !accepted (for diagnostics)

  std::uint32_t baud = 0;
  speed_t speed = B0;         // standard speed constant, or B0 when customBaud
  bool customBaud = false;    // rate set through termios2 after the rest

  tcflag_t cflag = 0;         // bits of kPlannedCflags
  tcflag_t iflag = 0;         // bits of kPlannedIflags
  cc_t startChar = 0;         // VSTART (XON)
  cc_t stopChar = 0;          // VSTOP (XOFF)

  // Done by the reader, not the driver.
  bool dropNull = false;       // "Null": zero bytes are discarded
  bool dsrSensitive = false;   // "DSR Sensitivity": bytes dropped while DSR off
  bool replaceMarked = false;  // "Error Char" + "PARITY": marked bytes replaced
  std::uint8_t errorChar = 0;

  LineAction dtr = LineAction::Raise;
  LineAction rts = LineAction::Raise;
  bool rs485Toggle = false;    // "RTS Toggle": RTS follows sending (RS-485 mode)
};

// termios bits that a plan decides; everything else of c_cflag and c_iflag
// comes from raw mode or stays as the port had it.
inline constexpr tcflag_t kPlannedCflags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
inline constexpr tcflag_t kPlannedIflags = INPCK | PARMRK | IXON | IXOFF;

// The mapping from line settings to Linux.
LinePlan PlanLine(const LineSettings& settings);

// Whether the chips of a driver can do the rate and character size of the
// line settings. Some drivers take what their chips cannot do without a
// word: Linux's FTDI driver passes 5 data bits on as a quirk value, and for
// a rate below 183 baud programs a divisor the chip reads as another rate.
bool DriverCanDo(const std::string& driver, const LineSettings& settings);

// Raw mode (CLOCAL, CREAD, HUPCL, VMIN 1, VTIME 0) plus the plan's bits and
// speed, on top of the port's current settings.
void ApplyLinePlan(const LinePlan& plan, termios& settings);

// The standard speed constant of a rate, or B0 when there is none.
speed_t StandardSpeed(std::uint32_t baud);

// The reader's input rules of a plan, applied to each block read from the
// port. Bytes marked bad by the driver arrive as 0xFF 0x00 x (a real 0xFF as
// 0xFF 0xFF); the marking may be split across reads, hence the state.
class RxFilter {
 public:
  void Reset(const LinePlan& plan);
  // Filters bytes[0..count) in place and returns how many remain. dsrOn is the
  // DSR line's state while this block arrived.
  std::size_t Apply(unsigned char* bytes, std::size_t count, bool dsrOn);

 private:
  enum class Mark : std::uint8_t { None, Escape, Bad };
  Mark mark_ = Mark::None;
  bool dropNull_ = false;
  bool dsrSensitive_ = false;
  bool replaceMarked_ = false;
  unsigned char errorChar_ = 0;
};

}  // namespace kvl
