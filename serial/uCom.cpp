// Port record, line settings, opening, closing, writing and the modem lines.
#include "serial/uCom.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <utility>

#include "serial/ComLineState.h"
#include "serial/SerialOs.h"

namespace kvl {

using Clock = std::chrono::steady_clock;

TComPort ComPort;
TComPort ProbePort;

TComPort::TComPort() : line(std::make_unique<ComLineState>()) {}

// A port still open when the record goes (at process exit) is closed here,
// which also ends its reader.
TComPort::~TComPort() { ComClose(*this); }

// ---------------------------------------------------------------------------
// Line settings

void ComBuildDcb(TComPort& port, const LineSettings& settings) {
  port.Handle.store(-1);
  port.ReadIndex.store(0);
  port.WriteIndex.store(0);
  port.Settings = settings;
}

// ---------------------------------------------------------------------------
// Which device is COM n

namespace {

std::function<std::string(int)>& Resolver() {
  static std::function<std::string(int)> resolver;
  return resolver;
}

}  // namespace

std::string DefaultComPath(int number) {
  if (number >= 1 && number <= 4) return "/dev/ttyS" + std::to_string(number - 1);
  if (number >= 5 && number <= 12) return "/dev/ttyUSB" + std::to_string(number - 5);
  if (number >= 13 && number <= 16) return "/dev/ttyACM" + std::to_string(number - 13);
  return {};
}

void SetComPathResolver(std::function<std::string(int)> resolver) {
  Resolver() = std::move(resolver);
}

std::string ComDevicePath(int number) {
  const auto& resolver = Resolver();
  return resolver ? resolver(number) : DefaultComPath(number);
}

// ---------------------------------------------------------------------------
// Opening and closing

namespace {

// A rate the line really runs at that is further than this from the one
// asked for counts as refused. The two ends of an asynchronous line may
// drift apart by about 2 % in all before the last bit of an 11-bit frame is
// sampled in the wrong bit; a terminal that took more than half of that for
// itself would leave the device too little. Chips with fractional divisors
// (an FTDI adapter) land within 0.3 % of every rate of the window's list,
// while a UART whose nearest whole divisor gives another rate (56000 on a
// 16550 runs at 57600, 2.9 % off) is refused rather than run silently at
// the other rate.
constexpr std::uint32_t kBaudTolerancePercent = 1;

// Output still queued at closing gets the time it needs plus this; a line
// held off by flow control has its output discarded after that.
constexpr auto kDrainMargin = std::chrono::milliseconds(250);
constexpr auto kDrainLimit = kComDrainLimit;

// Whether the device is a pseudo-terminal (UNIX 98 or BSD style), which has
// no line and so no character size or parity of its own.
bool IsPseudoTerminal(const std::string& path) {
  struct stat info {};
  if (Os.stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
  const unsigned kind = major(info.st_rdev);
  return (kind >= 136 && kind <= 143) || kind == 3;
}

// Whether the driver kept the settings that matter. A pseudo-terminal always
// reports 8 bits without parity while keeping the rest, so there PARENB and
// CSIZE are not compared; a real driver that cannot do a character size
// (an FTDI adapter has only 7 and 8 bits) puts its own back, and that is a
// refusal, not a port that runs silently at 8 bits.
bool SameLineBits(const termios& want, const termios& got, bool framing) {
  const tcflag_t kCompared = framing ? kPlannedCflags : kPlannedCflags & ~(PARENB | CSIZE);
  return (want.c_cflag & kCompared) == (got.c_cflag & kCompared) &&
         (want.c_iflag & kPlannedIflags) == (got.c_iflag & kPlannedIflags) &&
         cfgetospeed(&want) == cfgetospeed(&got);
}

// The rate a UART really runs at. The 8250 family (any driver that reports
// a UART type) divides its clock, baud_base, by the nearest whole divisor
// and yet reports the rate asked for back; a USB adapter or a
// pseudo-terminal reports no UART type, and its driver's read-back stands.
std::uint32_t UartRealRate(int fd, std::uint32_t baud) {
  serial_struct info{};
  if (baud == 0 || Os.ioctl(fd, TIOCGSERIAL, &info) < 0 || info.type == PORT_UNKNOWN || info.baud_base <= 0)
    return baud;
  const std::uint64_t base = std::uint64_t(info.baud_base);
  const std::uint64_t divisor = std::max<std::uint64_t>(1, (base + baud / 2) / baud);
  return std::uint32_t(base / divisor);
}

// RS-485 mode with RTS on while sending; remembers the driver's flags.
bool EnableRtsToggle(int fd, ComLineState& line) {
  serial_rs485 rs485{};
  if (Os.ioctl(fd, TIOCGRS485, &rs485) < 0) return false;
  line.rs485SavedFlags = rs485.flags;
  rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
  rs485.flags &= ~SER_RS485_RTS_AFTER_SEND;
  if (Os.ioctl(fd, TIOCSRS485, &rs485) < 0) return false;
  line.rs485Changed = true;
  return Os.ioctl(fd, TIOCGRS485, &rs485) == 0 && (rs485.flags & SER_RS485_ENABLED);
}

void RestoreRs485(int fd, const ComLineState& line) {
  serial_rs485 rs485{};
  if (Os.ioctl(fd, TIOCGRS485, &rs485) < 0) return;
  rs485.flags = line.rs485SavedFlags;
  (void)Os.ioctl(fd, TIOCSRS485, &rs485);
}

void SetLine(int fd, int line, LineAction action) {
  // A device without modem lines (a pseudo-terminal) refuses; that is fine.
  if (action != LineAction::Driver) (void)Os.modemSet(fd, line, action == LineAction::Raise);
}

bool Fail(TComPort& port, PortFault fault, int error = 0) {
  port.problem.fault = fault;
  port.problem.error = error;
  return false;
}

bool FailInUse(TComPort& port, PortHolder holder) {
  port.problem.fault = PortFault::InUse;
  // A holder that could not be seen is, on most desktops, ModemManager,
  // which takes every modem-like port it finds.
  if (holder.pid == 0 && holder.lockFile.empty()) port.problem.modemManagerRunning = ModemManagerRunning();
  holder.found = true;
  port.problem.holder = std::move(holder);
  return false;
}

// Why the device could not be opened.
bool FailOpen(TComPort& port, const std::string& path, int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case EIO:  // a port without hardware behind it (an unused ttyS, say)
      return Fail(port, PortFault::NoDevice, error);
    case EACCES:
    case EPERM: {
      struct stat info {};
      if (Os.stat(path.c_str(), &info) == 0) {
        port.problem.owner = Os.userName(info.st_uid);
        port.problem.group = Os.groupName(info.st_gid);
        port.problem.mode = info.st_mode & 07777;
        port.problem.modeKnown = true;
        port.problem.groupIsRoot = info.st_gid == 0;
      } else {
        port.problem.group = "dialout";
      }
      return Fail(port, PortFault::NoPermission, error);
    }
    case EBUSY:  // set exclusive by another program
      return FailInUse(port, {});
    default:
      return Fail(port, PortFault::System, error);
  }
}

// Everything after the descriptor is open; false (with the reason in
// port.problem) means the port cannot be used.
bool Configure(TComPort& port, int fd, const std::string& path) {
  ComLineState& line = *port.line;
  if (Os.flock(fd, LOCK_EX | LOCK_NB) < 0)
    return errno == EWOULDBLOCK ? FailInUse(port, {}) : Fail(port, PortFault::System, errno);
  line.locked = true;
  PortHolder holder;
  if (!TakeUucpLock(path, line.uucp, holder)) return FailInUse(port, std::move(holder));
  if (Os.ioctl(fd, TIOCEXCL, nullptr) < 0) return Fail(port, PortFault::System, errno);
  line.exclusive = true;
  if (Os.tcgetattr(fd, &line.saved) < 0) return Fail(port, PortFault::System, errno);
  line.savedValid = true;
  // A rate set through termios2 does not come back with the saved termios.
  if (KernelIsCustomBaud(line.saved.c_cflag) && Os.getCustomBaud(fd, &line.savedCustomBaud) < 0)
    line.savedCustomBaud = 0;

  port.wakeFd = Os.eventfd();
  port.roomFd = Os.eventfd();
  if (port.wakeFd < 0 || port.roomFd < 0) return Fail(port, PortFault::System, errno);
  port.eventMask.store(kComEventMask);

  // Purge: whatever waited in either direction is dropped.
  if (Os.tcflush(fd, TCIOFLUSH) < 0) return Fail(port, PortFault::System, errno);

  line.plan = PlanLine(port.Settings);
  const LinePlan& plan = line.plan;
  if (!plan.accepted) return Fail(port, PortFault::Refused);
  if (!DriverCanDo(PortDriverName(path), port.Settings)) return Fail(port, PortFault::Refused);

  termios want = line.saved;
  ApplyLinePlan(plan, want);
  if (Os.tcsetattr(fd, TCSANOW, &want) < 0)
    return Fail(port, errno == EINVAL ? PortFault::Refused : PortFault::System, errno);
  // tcsetattr succeeds when any part was taken: a setting the driver
  // dropped (mark parity on many UARTs, say) shows only on reading back.
  termios got{};
  if (Os.tcgetattr(fd, &got) < 0) return Fail(port, PortFault::System, errno);
  if (!SameLineBits(want, got, !IsPseudoTerminal(path))) return Fail(port, PortFault::Refused);

  std::uint32_t actual = plan.baud;
  if (plan.customBaud && (Os.setCustomBaud(fd, plan.baud) < 0 || Os.getCustomBaud(fd, &actual) < 0))
    return Fail(port, PortFault::Refused, errno);
  actual = UartRealRate(fd, actual);
  const std::uint64_t diff = actual > plan.baud ? actual - plan.baud : plan.baud - actual;
  if (diff * 100 > std::uint64_t{plan.baud} * kBaudTolerancePercent) return Fail(port, PortFault::Refused);

  if (plan.rs485Toggle && !EnableRtsToggle(fd, line)) return Fail(port, PortFault::Refused);
  SetLine(fd, TIOCM_DTR, plan.dtr);
  SetLine(fd, TIOCM_RTS, plan.rts);
  return true;
}

// Waits (bounded) for queued output to leave; discards it when the line
// will not take it in time. The window waits here: never longer than the
// text needs, never longer than kDrainMargin without a byte leaving, and
// never longer than kDrainLimit in all (a slow line at 110 baud would
// otherwise hold the window for minutes). Returns how many bytes it
// discarded.
std::size_t DrainOutput(int fd, std::uint32_t baud) {
  int queued = 0;
  if (Os.ioctl(fd, TIOCOUTQ, &queued) < 0 || queued <= 0) return 0;
  const auto needs = std::chrono::microseconds(std::uint64_t(queued) * 10'000'000 /
                                               std::max<std::uint32_t>(baud, 50));
  const auto start = Clock::now();
  const auto deadline = start + std::min<Clock::duration>(needs + kDrainMargin, kDrainLimit);
  auto lastProgress = start;
  while (queued > 0) {
    const auto now = Clock::now();
    if (now >= deadline || now - lastProgress >= kDrainMargin) {
      (void)Os.tcflush(fd, TCOFLUSH);
      return std::size_t(queued);
    }
    (void)Os.poll(nullptr, 0, 5);
    const int before = queued;
    if (Os.ioctl(fd, TIOCOUTQ, &queued) < 0) return 0;
    if (queued < before) lastProgress = Clock::now();
  }
  return 0;
}

// Ends the line watcher. It may be blocked in the driver's wait for a line
// change, which only a signal interrupts; a signal that comes just before
// it enters the wait is missed, so the signal is repeated until it is out.
void StopLineWatch(TComPort& port) {
  if (!port.lineThread.joinable()) return;
  for (int tries = 0; port.lineWatching.load() && tries < 5000; ++tries) {
    (void)Os.wakeThread(port.lineThread.native_handle());
    if (port.lineWatching.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  port.lineThread.join();
}

void CloseEventFd(int& fd) {
  if (fd >= 0) Os.close(fd);
  fd = -1;
}

// Gives the port back as it was found and closes it (also after a failed
// opening, from wherever Configure stopped).
void Release(TComPort& port, int fd) {
  ComLineState& line = *port.line;
  port.outputDiscarded = 0;
  if (line.savedValid) {
    port.outputDiscarded = DrainOutput(fd, LineBaud(port.Settings));
    if (line.rs485Changed) RestoreRs485(fd, line);
    (void)Os.tcsetattr(fd, TCSANOW, &line.saved);
    if (line.savedCustomBaud) (void)Os.setCustomBaud(fd, line.savedCustomBaud);
  }
  if (line.exclusive) (void)Os.ioctl(fd, TIOCNXCL, nullptr);
  if (line.locked) (void)Os.flock(fd, LOCK_UN);
  // Linux releases the descriptor even when close reports an error, so the
  // record counts as closed either way.
  (void)Os.close(fd);
  // The lock file goes last: the port is free only now.
  DropUucpLock(line.uucp);
  CloseEventFd(port.wakeFd);
  CloseEventFd(port.roomFd);
  port.eventMask.store(0);
  line.savedValid = line.locked = line.exclusive = line.rs485Changed = false;
  port.Handle.store(-1);
}

}  // namespace

bool ComOpen(int number, TComPort& port) {
  port.PortNumber = number;
  if (port.Handle.load() >= 0) return false;

  port.problem = {};

  const std::string path = ComDevicePath(number);
  if (path.empty()) return Fail(port, PortFault::NoDevice);
  // A port that another program uses is not even opened: purging it or
  // changing its settings would take bytes or settings from that program.
  if (PortHolder holder = FindPortHolder(path); holder.found) return FailInUse(port, std::move(holder));
  const int fd = Os.open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return FailOpen(port, path, errno);
  // Run as root, the opening succeeds on a port that another program made
  // exclusive (a flag of the tty, not of a descriptor): such a port is
  // closed again at once, untouched, so that its flag stays set.
  int exclusive = 0;
  if (Os.ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    (void)Os.close(fd);
    return FailInUse(port, {});
  }

  *port.line = ComLineState{};
  if (!Configure(port, fd, path)) {
    Release(port, fd);
    return false;
  }
  port.Handle.store(fd);
  return true;
}

bool ComClose(TComPort& port) {
  const int fd = port.Handle.load();
  if (fd < 0) return true;

  port.eventMask.store(0);
  ComStopReader(port);
  StopLineWatch(port);
  Release(port, fd);
  return true;
}

// ---------------------------------------------------------------------------
// Writing

ssize_t ComWriteSome(TComPort& port, const char* data, std::size_t count) {
  const int fd = port.Handle.load();
  if (fd < 0) {
    errno = EBADF;
    return -1;
  }
  return Os.write(fd, data, count);
}

ssize_t ComWriteBefore(TComPort& port, const char* data, std::size_t count, Clock::time_point deadline) {
  std::size_t taken = 0;
  auto lastProgress = Clock::now();
  while (taken < count) {
    const ssize_t n = ComWriteSome(port, data + taken, count - taken);
    const auto now = Clock::now();
    if (n > 0) {
      taken += std::size_t(n);
      lastProgress = now;
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    if (now >= deadline || now - lastProgress >= kDrainMargin) {
      errno = EAGAIN;
      break;
    }
    (void)Os.poll(nullptr, 0, 5);
  }
  return taken > 0 ? ssize_t(taken) : -1;
}

// ---------------------------------------------------------------------------
// Modem lines

std::uint32_t ComModemStatus(TComPort& port) {
  const int fd = port.Handle.load();
  int lines = 0;
  if (fd < 0 || Os.modemGet(fd, &lines) < 0) return 0;
  std::uint32_t status = 0;
  if (lines & TIOCM_CTS) status |= MS_CTS_ON;
  if (lines & TIOCM_DSR) status |= MS_DSR_ON;
  if (lines & TIOCM_RNG) status |= MS_RING_ON;
  if (lines & TIOCM_CAR) status |= MS_RLSD_ON;
  return status;
}

void ComEscape(TComPort& port, int function) {
  const int fd = port.Handle.load();
  if (fd < 0) return;
  switch (function) {
    case SETRTS: (void)Os.modemSet(fd, TIOCM_RTS, true); break;
    case CLRRTS: (void)Os.modemSet(fd, TIOCM_RTS, false); break;
    case SETDTR: (void)Os.modemSet(fd, TIOCM_DTR, true); break;
    case CLRDTR: (void)Os.modemSet(fd, TIOCM_DTR, false); break;
    default: break;
  }
}

}  // namespace kvl
