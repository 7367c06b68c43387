// Opening, closing, writing and reading through pseudo-terminals mapped to
// COM numbers; ports of other programs, lock files and permissions; modem
// lines and a held output queue through fakes of the OS table.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "serial/SerialOs.h"
#include "serial/uCom.h"
#include "tests/common/Files.h"
#include "tests/common/Holder.h"
#include "tests/common/ScratchTree.h"

using namespace kvl;
using namespace kvltest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// No test of this program may reach a real port, nor the machine's lock
// directory.
const bool kNoRealPorts = (SetComPathResolver([](int) { return std::string(); }), true);
const ScratchLockDir kLocks;

template <typename Pred>
bool WaitUntil(Pred pred) {
  const auto deadline = Clock::now() + 10s;
  while (!pred()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

double CpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

std::size_t Unread(const TComPort& port) {
  return (port.WriteIndex.load() - port.ReadIndex.load()) & (kRingSize - 1);
}

class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    paths[3] = name;
    SetComPathResolver([this](int n) { return paths.count(n) ? paths[n] : std::string(); });
    ComBuildDcb(port, LineSettings{});
  }
  void TearDown() override {
    ComClose(port);
    // Every fake goes with its test (a line wait left gated on a closed
    // pipe would hold the next test's line watcher).
    Os = RealSerialOs();
    kLocks.Use();
    SetComPathResolver([](int) { return std::string(); });
    if (master >= 0) close(master);
    close(slave);
  }
  bool OpenWith(const LineSettings& c) {
    ComBuildDcb(port, c);
    return ComOpen(3, port);
  }
  bool StartReader() {
    return ComStartReader(port, [this] {
      { std::lock_guard lock(m); ++posts; }
      cv.notify_all();
    });
  }
  void Send(const std::string& bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  termios Settings() const {
    termios t{};
    tcgetattr(slave, &t);
    return t;
  }
  // Takes from the ring into `taken`, as the GUI does on each post, until
  // pred holds.
  template <typename Pred>
  bool TakeUntil(Pred pred) {
    const auto deadline = Clock::now() + 20s;
    for (;;) {
      std::unique_lock lock(m);
      const int seen = posts;
      lock.unlock();
      RxBatch b = ComTakeRx(port);
      taken.bytes += b.bytes;
      taken.events |= b.events;
      for (int i = 0; i < kLineCount; ++i) taken.lineChanges[i] += b.lineChanges[i];
      if (b.lineStates >= 0) taken.lineStates = b.lineStates;
      taken.hungUp |= b.hungUp;
      if (pred()) return true;
      if (Clock::now() > deadline) return false;
      lock.lock();
      cv.wait_for(lock, 100ms, [&] { return posts > seen; });
    }
  }
  // Bytes of every value in a scrambled order, and a thread that writes
  // them to the far end in 64 KB blocks.
  static std::string Noise(std::size_t size, std::uint32_t seed) {
    std::string bytes(size, '\0');
    for (char& ch : bytes) ch = char((seed = seed * 1103515245 + 12345) >> 23);
    return bytes;
  }
  std::thread Flood(const std::string& bytes) {
    return std::thread([this, &bytes] {
      for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(master, bytes.data() + done, std::min<std::size_t>(65536, bytes.size() - done));
        if (n <= 0) break;
        done += std::size_t(n);
      }
    });
  }
  std::string TakeBytes(std::size_t count) {
    taken = {};
    TakeUntil([&] { return taken.bytes.size() >= count; });
    return taken.bytes;
  }

  int master = -1, slave = -1;
  std::map<int, std::string> paths;
  TComPort port;
  RxBatch taken;
  std::mutex m;
  std::condition_variable cv;
  int posts = 0;
};

// ---------------------------------------------------------------------------
// Opening and closing

TEST_F(SerialPort, PortGetsTheLineSettings) {
  LineSettings c;
  c.parityIndex = kOddParity;
  c.stopBitsIndex = kTwoStopBits;
  c.ctsFlow = c.outX = c.inX = c.parity = c.errorChar = true;
  c.baudText = "9600";
  ASSERT_TRUE(OpenWith(c));
  // A pseudo-terminal keeps all but PARENB and CSIZE (it has no framing).
  const termios t = Settings();
  EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL),
            tcflag_t(PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD | HUPCL));
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | INPCK | PARMRK | ICRNL),
            tcflag_t(IXON | IXOFF | INPCK | PARMRK));
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO), 0u);
  EXPECT_EQ(t.c_cc[VSTART] * 256 + t.c_cc[VSTOP], 2 * 256 + 3);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
  EXPECT_EQ(fcntl(port.Handle, F_GETFD), FD_CLOEXEC);
}

TEST_F(SerialPort, ParityChangeAcrossReopeningLeavesNoStaleBit) {
  LineSettings c;
  c.parityIndex = kMarkParity;
  ASSERT_TRUE(OpenWith(c));
  EXPECT_EQ(Settings().c_cflag & (PARODD | CMSPAR), tcflag_t(PARODD | CMSPAR));
  ASSERT_TRUE(ComClose(port));
  c.parityIndex = kEvenParity;
  ASSERT_TRUE(OpenWith(c));
  EXPECT_EQ(Settings().c_cflag & (PARODD | CMSPAR), 0u);
}

TEST_F(SerialPort, CustomRateAndFiveBitsWithOneAndAHalfStop) {
  LineSettings c;
  c.baudText = "56000";
  c.byteSize = 5;
  c.stopBitsIndex = kOne5StopBits;
  ASSERT_TRUE(OpenWith(c));
  std::uint32_t baud = 0;
  ASSERT_EQ(KernelGetCustomBaud(slave, &baud), 0);
  EXPECT_EQ(baud, 56000u);
  EXPECT_TRUE(Settings().c_cflag & CSTOPB);
}

TEST_F(SerialPort, ClosingPutsBackTheEarlierSettings) {
  ASSERT_EQ(KernelSetCustomBaud(slave, 14400), 0);
  const termios before = Settings();
  LineSettings c;
  c.parityIndex = kSpaceParity;
  c.ctsFlow = c.inX = true;
  c.baudText = "128000";
  ASSERT_TRUE(OpenWith(c));
  ASSERT_TRUE(ComClose(port));
  EXPECT_EQ(port.Handle, -1);
  const termios after = Settings();
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  EXPECT_EQ(after.c_oflag, before.c_oflag);
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof before.c_cc));
  std::uint32_t baud = 0;
  EXPECT_EQ(KernelGetCustomBaud(slave, &baud), 0);
  EXPECT_EQ(baud, 14400u);
}

TEST_F(SerialPort, RefusedSettingsFailTheOpeningAndLeaveThePortAsFound) {
  const termios before = Settings();
  const auto refused = [&](auto change) {
    LineSettings c;
    change(c);
    const bool opened = OpenWith(c);
    const bool closed = port.Handle == -1 && port.problem.fault == PortFault::Refused;
    ComClose(port);
    return !opened && closed;
  };
  EXPECT_TRUE(refused([](LineSettings& c) { c.byteSize = 5; c.stopBitsIndex = kTwoStopBits; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.stopBitsIndex = kOne5StopBits; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.dtrText = "DTR Handshake"; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.dsrFlow = true; }));
  EXPECT_TRUE(refused([](LineSettings& c) { c.rtsText = "RTS Toggle"; }));  // no RS-485 on a pty
  EXPECT_EQ(Settings().c_lflag, before.c_lflag);
  EXPECT_TRUE(OpenWith(LineSettings{}));  // nothing was left locked
}

// A 16550 behind the pseudo-terminal: serial_core reports its UART type and
// clock (115200 = 1.8432 MHz / 16), and the line runs at that over the
// nearest whole divisor, whatever rate the driver reports back.
int UartIoctl(int fd, unsigned long request, void* argument) {
  if (request != TIOCGSERIAL) return RealSerialOs().ioctl(fd, request, argument);
  auto* info = static_cast<serial_struct*>(argument);
  *info = serial_struct{};
  info->type = PORT_16550A;
  info->baud_base = 115200;
  return 0;
}

TEST_F(SerialPort, RateAUartCannotDivideExactlyIsARefusal) {
  Os.ioctl = UartIoctl;
  struct Case {
    const char* baud;
    bool opens;  // 56000 would run at 57600, 128000 and above at 115200
  };
  for (const Case& c : {Case{"110", true}, Case{"14400", true}, Case{"56000", false}, Case{"57600", true},
                        Case{"115200", true}, Case{"128000", false}, Case{"921600", false}}) {
    LineSettings controls;
    controls.baudText = c.baud;
    EXPECT_EQ(OpenWith(controls), c.opens) << c.baud;
    if (!c.opens) {
      EXPECT_EQ(port.problem.fault, PortFault::Refused) << c.baud;
    }
    ComClose(port);
  }
  // A driver without a UART type keeps its own read-back: 56000 stands.
  Os.ioctl = RealSerialOs().ioctl;
  LineSettings controls;
  controls.baudText = "56000";
  EXPECT_TRUE(OpenWith(controls));
}

// A USB adapter's driver in place of the pseudo-terminal's: it keeps the
// character size and parity it is given, except 5 and 6 bits, for which it
// puts 8 back (as Linux's FTDI driver does).
termios adapterSettings{};
bool adapterSet = false;

int AdapterStat(const char* path, struct stat* info) {
  const int r = RealSerialOs().stat(path, info);
  if (r == 0 && S_ISCHR(info->st_mode)) info->st_rdev = makedev(188, 0);  // ttyUSB0
  return r;
}

int AdapterSetAttr(int fd, int when, const termios* settings) {
  adapterSettings = *settings;
  const tcflag_t size = settings->c_cflag & CSIZE;
  if (size == CS5 || size == CS6) adapterSettings.c_cflag = (settings->c_cflag & ~CSIZE) | CS8;
  adapterSet = true;
  return RealSerialOs().tcsetattr(fd, when, settings);
}

int AdapterGetAttr(int fd, termios* settings) {
  const int r = RealSerialOs().tcgetattr(fd, settings);
  if (r == 0 && adapterSet)
    settings->c_cflag = (settings->c_cflag & ~(CSIZE | PARENB)) | (adapterSettings.c_cflag & (CSIZE | PARENB));
  return r;
}

TEST_F(SerialPort, CharacterSizeTheDriverPutsBackIsARefusal) {
  Os.stat = AdapterStat;
  Os.tcsetattr = AdapterSetAttr;
  Os.tcgetattr = AdapterGetAttr;
  adapterSet = false;
  struct Case {
    int bits;
    int parity;
    bool opens;
  };
  for (const Case& c : {Case{8, kEvenParity, true}, Case{7, kOddParity, true}, Case{6, kNoParity, false},
                        Case{5, kOddParity, false}}) {
    LineSettings controls;
    controls.byteSize = c.bits;
    controls.parityIndex = c.parity;
    EXPECT_EQ(OpenWith(controls), c.opens) << c.bits << " bits";
    EXPECT_EQ(port.problem.fault, c.opens ? PortFault::None : PortFault::Refused) << c.bits << " bits";
    ComClose(port);
  }
}

TEST_F(SerialPort, OpeningAnOpenRecordChangesOnlyThePortNumber) {
  ASSERT_TRUE(ComOpen(3, port));
  const int fd = port.Handle;
  EXPECT_FALSE(ComOpen(7, port));
  EXPECT_EQ(port.PortNumber, 7);
  EXPECT_EQ(port.Handle, fd);
}

TEST_F(SerialPort, MissingDeviceFailsAndTheNextOpeningWorks) {
  paths[5] = "/nonexistent/tty";
  EXPECT_FALSE(ComOpen(5, port));
  EXPECT_EQ(port.problem.fault, PortFault::NoDevice);
  EXPECT_FALSE(ComOpen(6, port));  // no device for COM6
  EXPECT_EQ(port.problem.fault, PortFault::NoDevice);
  EXPECT_EQ(port.Handle, -1);
  EXPECT_TRUE(ComOpen(3, port));
  EXPECT_EQ(port.problem.fault, PortFault::None);
}

TEST_F(SerialPort, PortLockedByAnotherProgramStaysShut) {
  const int other = open(paths[3].c_str(), O_RDWR | O_NOCTTY);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_FALSE(ComOpen(3, port));
  EXPECT_EQ(port.Handle, -1);
  EXPECT_EQ(port.problem.fault, PortFault::InUse);
  close(other);
  EXPECT_TRUE(ComOpen(3, port));
}

// The errno of opening path in a child that gave up root (0: it opened).
int OpenAsNobody(const std::string& path) {
  int fds[2];
  if (pipe(fds) != 0) return -1;
  if (fork() == 0) {
    int result = 0;
    if (setgid(65534) != 0 || setuid(65534) != 0) result = -2;
    else if (open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK) < 0) result = errno;
    (void)!write(fds[1], &result, sizeof result);
    _exit(0);
  }
  close(fds[1]);
  int result = -3;
  (void)!read(fds[0], &result, sizeof result);
  close(fds[0]);
  wait(nullptr);
  return result;
}

TEST_F(SerialPort, ExclusiveModeKeepsOthersOutUntilClosed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  ASSERT_EQ(fchmod(slave, 0666), 0);
  ASSERT_EQ(OpenAsNobody(paths[3]), 0);
  ASSERT_TRUE(ComOpen(3, port));
  EXPECT_EQ(OpenAsNobody(paths[3]), EBUSY);
  ASSERT_TRUE(ComClose(port));
  EXPECT_EQ(OpenAsNobody(paths[3]), 0);
}

std::string TenCharPid(long pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return text;
}

std::vector<std::string> FilesIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ignored))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

int RefuseCreate(const char*, int, mode_t) {
  errno = EACCES;
  return -1;
}

// A lock directory with the sticky bit: others' files cannot be removed.
int StickyUnlink(const char* path) {
  if (std::string(path).find("/LCK..") != std::string::npos) {
    errno = EPERM;
    return -1;
  }
  return RealSerialOs().unlink(path);
}

TEST_F(SerialPort, LockFileWithOurNumberWhileOpen) {
  ScratchTree tree;
  const std::string lockName = "LCK.." + DeviceName(paths[3]);
  const std::string run = tree.root() + "/run/lock", var = tree.root() + "/var/lock";
  const std::string ours = TenCharPid(getpid()), stale = TenCharPid(INT_MAX - 1);
  struct Case {
    const char* what;
    std::vector<std::string> dirs;
    std::function<void()> setUp;
    std::string inRun, inVar;        // the lock files while the port is open ("" none)
    std::string inRunAfterClosing;
  } cases[] = {
      {"one directory", {run}, [] {}, ours, "", ""},
      {"two separate directories", {run, var}, [&] { tree.dir("var/lock"); }, ours, ours, ""},
      {"the second a link to the first", {run, var},
       [&] { std::filesystem::create_directory_symlink(run, var); }, ours, ours, ""},
      {"a stale lock in the way", {run}, [&] { Spit(run + "/" + lockName, stale); }, ours, "", ""},
      {"a stale lock we may not remove", {run},
       [&] {
         Spit(run + "/" + lockName, stale);
         Os.unlink = StickyUnlink;
       },
       stale, "", stale},
      {"no lock directory exists", {tree.root() + "/none"}, [] {}, "", "", ""},
      {"lock directory not writable", {run}, [] { Os.create = RefuseCreate; }, "", "", ""},
  };
  const auto contents = [](const std::string& dir, const std::string& name) {
    const std::vector<std::string> files = FilesIn(dir);
    if (files.empty()) return std::string();
    return files == std::vector<std::string>{name} ? Slurp(dir + "/" + name) : "other files: " + files[0];
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(tree.root() + "/run");
    std::filesystem::remove_all(tree.root() + "/var");
    tree.dir("run/lock");
    tree.dir("var");
    PortUsePlaces places;
    places.lockDirs = c.dirs;
    SetPortUsePlaces(places);
    c.setUp();
    ASSERT_TRUE(ComOpen(3, port));
    EXPECT_EQ(contents(run, lockName), c.inRun);  // and no temporary file left
    EXPECT_EQ(contents(var, lockName), c.inVar);
    ASSERT_TRUE(ComClose(port));
    EXPECT_EQ(contents(run, lockName), c.inRunAfterClosing);
    EXPECT_EQ(contents(var, lockName), "");
    Os.ioctl = RealSerialOs().ioctl;
    Os.tcflush = RealSerialOs().tcflush;
  }
}

TEST_F(SerialPort, PortOfAnotherProgramIsNotTouched) {
  ScratchTree tree;
  termios raw = Settings();
  cfmakeraw(&raw);
  ASSERT_EQ(tcsetattr(slave, TCSANOW, &raw), 0);
  const std::string lockFile = kLocks.dir() + "/LCK.." + DeviceName(paths[3]);
  std::unique_ptr<Holder> holder;
  struct Case {
    const char* what;
    std::function<void()> setUp;
    bool exclusive;
  } cases[] = {
      {"live lock file", [&] { Spit(lockFile, TenCharPid(1)); }, false},
      {"process holding it open without a lock", [&] { holder = std::make_unique<Holder>(paths[3]); }, false},
      {"exclusive flag set by a process that cannot be seen",
       [&] {
         ASSERT_EQ(ioctl(slave, TIOCEXCL), 0);
         PortUsePlaces blind;
         blind.lockDirs = {kLocks.dir()};
         blind.proc = tree.dir("proc");
         SetPortUsePlaces(blind);
       },
       true},
  };
  const std::string queued = "queued for the other program";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.setUp();
    ASSERT_TRUE(!holder || holder->ready());
    const termios before = Settings();
    Send(queued);
    EXPECT_FALSE(ComOpen(3, port));
    EXPECT_EQ(port.Handle, -1);
    EXPECT_EQ(port.problem.fault, PortFault::InUse);
    EXPECT_EQ(port.problem.holder.pid, holder ? holder->pid() : c.exclusive ? 0 : 1);
    EXPECT_FALSE(std::filesystem::exists(lockFile) && Slurp(lockFile) == TenCharPid(getpid()));
    // Nothing taken, flushed, changed or cleared.
    EXPECT_EQ(Settings().c_lflag, before.c_lflag);
    EXPECT_EQ(Settings().c_cflag, before.c_cflag);
    int exclusive = -1;
    EXPECT_EQ(ioctl(slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, c.exclusive ? 1 : 0);
    if (holder) {
      const Holder::Report got = holder->finish(queued.size());
      EXPECT_EQ(got.count, queued.size());
      EXPECT_EQ(got.checksum, Fnv(kFnvStart, reinterpret_cast<const unsigned char*>(queued.data()), queued.size()));
    } else {
      int waiting = 0;
      EXPECT_TRUE(WaitUntil([&] { return ioctl(slave, FIONREAD, &waiting) == 0 && waiting == int(queued.size()); }));
    }

    // Once the other program is gone the port opens again.
    holder.reset();
    std::filesystem::remove(lockFile);
    ioctl(slave, TIOCNXCL);
    kLocks.Use();
    tcflush(slave, TCIFLUSH);
    ASSERT_TRUE(ComOpen(3, port));
    ComClose(port);
  }
}

TEST_F(SerialPort, PermissionRefusalNamesTheDevicesGroup) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  ASSERT_EQ(fchmod(slave, 0660), 0);
  ASSERT_EQ(fchown(slave, 0, 5), 0);  // group tty
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t child = fork();
  if (child == 0) {
    char answer[64] = {};
    if (setgid(65534) == 0 && setuid(65534) == 0 && !ComOpen(3, port))
      std::snprintf(answer, sizeof answer, "%d %s", int(port.problem.fault), port.problem.group.c_str());
    (void)!write(fds[1], answer, sizeof answer);
    _exit(0);
  }
  close(fds[1]);
  char answer[64] = {};
  ASSERT_EQ(read(fds[0], answer, sizeof answer), ssize_t(sizeof answer));
  close(fds[0]);
  waitpid(child, nullptr, 0);
  EXPECT_EQ(std::string(answer), std::to_string(int(PortFault::NoPermission)) + " " + Os.groupName(5));
}

// ---------------------------------------------------------------------------
// Reader and receive ring

TEST_F(SerialPort, BurstAcrossTheRingEndArrivesInOrder) {
  ASSERT_TRUE(ComOpen(3, port));
  port.ReadIndex = 2000;
  port.WriteIndex = 2000;
  ASSERT_TRUE(StartReader());
  std::string burst;
  for (int i = 0; i < 100; ++i) burst += char(i + 10);
  Send(burst);
  EXPECT_EQ(TakeBytes(burst.size()), burst);
  EXPECT_EQ(port.WriteIndex, 52);
  EXPECT_EQ(port.LastEvents & EV_RXCHAR, EV_RXCHAR);
}

// The reader's decision after each pass: what it stored or saw goes to the
// window at once, however soon after the last post and however little; a
// full ring keeps the port out of the wait; the time bounds only the wait
// for the next sample of the lines.
TEST(HandOver, WhatIsReadGoesAtOnce) {
  const auto t0 = Clock::time_point{} + 1h;
  struct Case {
    const char* what;
    ComReaderPass pass;
    Clock::time_point now;
    ComHandOver expected;
  };
  const Case cases[] = {
      {"one byte", {1, 0, 1, false, {}}, t0, {true, true, -1}},
      {"a byte a millisecond after the last", {1, 0, 2, false, {}}, t0 + 1ms, {true, true, -1}},
      {"a block while the window has not taken the last", {80, 0, 1500, false, {}}, t0 + 5ms, {true, true, -1}},
      {"nothing read", {0, 0, 0, false, {}}, t0, {false, true, -1}},
      {"a line event alone", {0, EV_DSR, 0, false, {}}, t0, {true, true, -1}},
      {"the ring filled", {2047, 0, kRingSize - 1, false, {}}, t0, {true, false, -1}},
      {"the ring still full", {0, 0, kRingSize - 1, false, {}}, t0, {false, false, -1}},
      {"sampling: the next sample is due in 7 ms", {5, 0, 5, true, t0 + 7ms}, t0, {true, true, 7}},
      {"sampling: a sample overdue", {0, 0, 0, true, t0 - 3ms}, t0, {false, true, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const ComHandOver h = ComHandOverOf(c.pass, c.now);
    EXPECT_EQ(h.post, c.expected.post);
    EXPECT_EQ(h.readPort, c.expected.readPort);
    EXPECT_EQ(h.waitMs, c.expected.waitMs);
  }
}

// A close takes what the reader stored and what the driver still holds:
// here a ring's worth and more, with the ring full and the reader waiting
// for room.
TEST_F(SerialPort, TakeRestLeavesNothingBehind) {
  ASSERT_TRUE(ComOpen(3, port));
  ASSERT_TRUE(StartReader());
  const std::string sent = Noise(3000, 99);
  Send(sent);
  ASSERT_TRUE(WaitUntil([&] { return Unread(port) == kRingSize - 1; }));
  const RxBatch rest = ComTakeRest(port);
  EXPECT_FALSE(port.ReaderThread.joinable());
  EXPECT_TRUE(rest.bytes == sent);
  EXPECT_EQ(port.Handle >= 0, true);  // the port itself is closed by ComClose
  EXPECT_TRUE(ComClose(port));
}

TEST_F(SerialPort, FloodWithSlowConsumerArrivesCompleteAndInOrder) {
  ASSERT_TRUE(ComOpen(3, port));
  ASSERT_TRUE(StartReader());
  constexpr std::size_t kTotal = 4 << 20;
  const std::string sent = Noise(kTotal, 12345);
  std::thread writer = Flood(sent);
  // The first takes wait until the ring is full, so the reader has to wait
  // for room again and again.
  std::string got;
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(WaitUntil([&] { return Unread(port) == kRingSize - 1; }));
    got += ComTakeRx(port).bytes;
  }
  got += TakeBytes(kTotal - got.size());
  writer.join();
  auto checksum = [](const std::string& s) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char ch : s) h = (h ^ ch) * 1099511628211ull;
    return h;
  };
  EXPECT_EQ(got.size(), kTotal);
  EXPECT_EQ(checksum(got), checksum(sent));
}

// The window takes a flood as it does, on each post: every byte arrives
// once and in order, and the post that brings the last bytes is not lost.
TEST_F(SerialPort, FloodTakenOnEachPostArrivesCompleteAndInOrder) {
  ASSERT_TRUE(ComOpen(3, port));
  ASSERT_TRUE(StartReader());
  constexpr std::size_t kTotal = 8 << 20;
  const std::string sent = Noise(kTotal, 777);
  std::thread writer = Flood(sent);
  std::string got;
  got.reserve(kTotal);
  int seen = 0;
  while (got.size() < kTotal) {
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, 20s, [&] { return posts > seen; })) break;
    seen = posts;
    lock.unlock();
    got += ComTakeRx(port).bytes;
  }
  writer.join();
  ASSERT_EQ(got.size(), kTotal);
  EXPECT_TRUE(got == sent);
}

TEST_F(SerialPort, OtherSideClosingIsAHangUpWithoutBusyLoop) {
  ASSERT_TRUE(ComOpen(3, port));
  ASSERT_TRUE(StartReader());
  // A hang-up discards what the port still holds, so the bytes come first.
  Send("bye");
  ASSERT_EQ(TakeBytes(3), "bye");
  const double cpu = CpuSeconds();
  close(master);
  master = -1;
  taken = {};
  ASSERT_TRUE(TakeUntil([&] { return taken.hungUp; }));
  ASSERT_TRUE(WaitUntil([&] { return !port.readerRunning; }));
  EXPECT_LT(CpuSeconds() - cpu, 0.5);
  EXPECT_TRUE(ComClose(port));
  EXPECT_EQ(port.Handle, -1);
}

TEST_F(SerialPort, CloseEndsAndJoinsTheReaderEvenWithTheRingFull) {
  ASSERT_TRUE(ComOpen(3, port));
  ASSERT_TRUE(StartReader());
  Send(std::string(3000, 'z'));
  ASSERT_TRUE(WaitUntil([&] { return Unread(port) == kRingSize - 1; }));
  EXPECT_TRUE(ComClose(port));
  EXPECT_FALSE(port.ReaderThread.joinable());
  EXPECT_FALSE(port.readerRunning);
  EXPECT_TRUE(port.StopFlag);

  // A closed record is left alone.
  port.StopFlag = false;
  EXPECT_TRUE(ComClose(port));
  EXPECT_FALSE(port.StopFlag);
  // The record serves a new opening with a new reader.
  ComBuildDcb(port, LineSettings{});
  ASSERT_TRUE(ComOpen(3, port));
  ASSERT_TRUE(StartReader());
  Send("again");
  EXPECT_EQ(TakeBytes(5), "again");
}

// ---------------------------------------------------------------------------
// Through fakes of the OS table

std::atomic<int> fakeLines{0}, drivenLines{0}, linesRead{0}, portFd{-1};
std::atomic<std::size_t> portBytesRead{0};

int FakeModemGet(int, int* lines) {
  *lines = fakeLines;
  ++linesRead;
  return 0;
}

int FakeModemSet(int, int lines, bool on) {
  on ? drivenLines.fetch_or(lines) : drivenLines.fetch_and(~lines);
  return 0;
}


ssize_t CountingRead(int fd, void* buffer, size_t count) {
  const ssize_t n = RealSerialOs().read(fd, buffer, count);
  if (fd == portFd && n > 0) {
    portBytesRead += std::size_t(n);
  }
  return n;
}

// Counts the reads of the open port from here on.
void CountReadsOf(const TComPort& port) {
  portFd = port.Handle.load();
  portBytesRead = 0;
  Os.read = CountingRead;
}

class SerialFakeOs : public SerialPort {
 protected:
  void SetUp() override {
    SerialPort::SetUp();
    fakeLines = drivenLines = linesRead = 0;
    Os.modemGet = FakeModemGet;
    Os.modemSet = FakeModemSet;
  }
};

TEST_F(SerialFakeOs, LinesDrivenAtOpeningAndByHand) {
  ASSERT_TRUE(ComOpen(3, port));
  EXPECT_EQ(drivenLines, TIOCM_DTR | TIOCM_RTS);
  ComEscape(port, CLRDTR);
  EXPECT_EQ(drivenLines, TIOCM_RTS);
  ComEscape(port, CLRRTS);
  ComEscape(port, SETDTR);
  EXPECT_EQ(drivenLines, TIOCM_DTR);
  ComClose(port);

  LineSettings c;
  c.dtrText = "DTR Disable";
  c.rtsText = "RTS Disable";
  drivenLines = TIOCM_DTR | TIOCM_RTS;
  ASSERT_TRUE(OpenWith(c));
  EXPECT_EQ(drivenLines, 0);
  fakeLines = TIOCM_CTS | TIOCM_CAR | TIOCM_RNG;
  EXPECT_EQ(ComModemStatus(port), MS_CTS_ON | MS_RLSD_ON | MS_RING_ON);
  fakeLines = TIOCM_DSR;
  EXPECT_EQ(ComModemStatus(port), MS_DSR_ON);
}

std::atomic<std::uint32_t> countCts{0}, countDsr{0}, countRing{0}, countDcd{0};
std::atomic<int> lineWaits{0};
int gate[2] = {-1, -1};  // a byte written here ends one line wait

int FakeLineCounts(int, LineCounts* counts) {
  counts->cts = countCts;
  counts->dsr = countDsr;
  counts->ring = countRing;
  counts->dcd = countDcd;
  return 0;
}

// Blocks as the driver's wait does; only a signal or the gate ends it.
int GatedLineWait(int, int) {
  ++lineWaits;
  pollfd p{gate[0], POLLIN, 0};
  if (::poll(&p, 1, -1) < 0) return -1;
  char byte;
  (void)!::read(gate[0], &byte, 1);
  return 0;
}

int LineWaitUnsupported(int, int) {
  errno = EINVAL;
  return -1;
}

int LineWaitThatNeverWaits(int, int) { return 0; }

TEST_F(SerialFakeOs, LineChangesAreSampledWhereTheDriverCannotWait) {
  const struct {
    const char* what;
    void (*setUp)();
  } cases[] = {
      {"no change counters (as on a pseudo-terminal)", [] {}},
      {"counters but no wait",
       [] {
         Os.lineCounts = FakeLineCounts;
         Os.waitLineChange = LineWaitUnsupported;
       }},
      {"a wait that returns at once with nothing counted",
       [] {
         Os.lineCounts = FakeLineCounts;
         Os.waitLineChange = LineWaitThatNeverWaits;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.setUp();
    fakeLines = 0;
    linesRead = 0;
    taken = {};
    ComBuildDcb(port, LineSettings{});
    ASSERT_TRUE(ComOpen(3, port));
    ASSERT_TRUE(StartReader());
    // Changes count from the reader's first look at the lines.
    ASSERT_TRUE(WaitUntil([] { return linesRead > 0; }));
    fakeLines = TIOCM_CTS;
    ASSERT_TRUE(TakeUntil([&] { return taken.events != 0; }));
    EXPECT_EQ(taken.events, EV_CTS);

    taken.events = 0;
    fakeLines = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
    ASSERT_TRUE(TakeUntil([&] { return taken.events == (EV_DSR | EV_RLSD | EV_RING); }));
    taken.events = 0;
    fakeLines = TIOCM_CTS | TIOCM_CAR;
    ASSERT_TRUE(TakeUntil([&] { return taken.events == (EV_DSR | EV_RING); }));
    EXPECT_TRUE(taken.bytes.empty());
    EXPECT_FALSE(taken.hungUp);
    ASSERT_TRUE(ComClose(port));
  }
}

TEST_F(SerialFakeOs, CountedChangesAreEventsEvenWhenTheLineIsBack) {
  ASSERT_EQ(pipe(gate), 0);
  countCts = countDsr = countRing = countDcd = 0;
  lineWaits = 0;
  Os.lineCounts = FakeLineCounts;
  Os.waitLineChange = GatedLineWait;
  ASSERT_TRUE(ComOpen(3, port));
  ASSERT_TRUE(StartReader());
  ASSERT_TRUE(WaitUntil([] { return lineWaits == 1 && linesRead == 1; }));
  // DSR and the ring indicator pulsed on and off before the watcher looked
  // again: the lines read as before, the counters tell.
  countDsr += 2;
  countRing += 2;
  ASSERT_EQ(write(gate[1], "g", 1), 1);
  ASSERT_TRUE(TakeUntil([&] { return taken.events == (EV_DSR | EV_RING); }));
  // The batch counts them, so that the window can show the pulse.
  EXPECT_EQ(taken.lineChanges[kLineDsr], 2u);
  EXPECT_EQ(taken.lineChanges[kLineRing], 2u);
  EXPECT_EQ(taken.lineChanges[kLineDcd], 0u);
  ASSERT_TRUE(WaitUntil([] { return lineWaits == 2; }));
  EXPECT_EQ(taken.lineStates, 0);
  taken.events = 0;
  ++countCts;
  ++countDcd;
  fakeLines = TIOCM_CTS | TIOCM_CAR;
  ASSERT_EQ(write(gate[1], "g", 1), 1);
  ASSERT_TRUE(TakeUntil([&] { return taken.events == (EV_CTS | EV_RLSD); }));
  // With the state the lines were in when the counts were read.
  EXPECT_EQ(taken.lineStates, (1 << kLineCts) | (1 << kLineDcd));
  // Each change counted once, however many takes there were.
  EXPECT_EQ(taken.lineChanges[kLineCts], 1u);
  EXPECT_EQ(taken.lineChanges[kLineDcd], 1u);
  EXPECT_EQ(taken.lineChanges[kLineDsr], 2u);
  ASSERT_TRUE(WaitUntil([] { return lineWaits == 3; }));
  // Waiting costs nothing: the lines were read at the start and with the
  // counts of each of the two changes (before and after the counts), and
  // never sampled.
  EXPECT_EQ(linesRead, 5);

  // Closing gets the watcher out of its wait.
  const auto start = Clock::now();
  EXPECT_TRUE(ComClose(port));
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_FALSE(port.lineThread.joinable());
  EXPECT_FALSE(port.lineWatching);
  close(gate[0]);
  close(gate[1]);
}

int DsrOnOnceDataIsRead(int, int* lines) {
  *lines = portBytesRead > 0 ? TIOCM_DSR : 0;
  ++linesRead;
  return 0;
}

TEST_F(SerialFakeOs, DsrChangeSeenWithDataIsAnEvent) {
  LineSettings c;
  c.dsrSensitivity = true;
  ASSERT_TRUE(OpenWith(c));
  CountReadsOf(port);
  // DSR comes on with the data, so the first to see it is the look at DSR
  // that the data's "DSR Sensitivity" takes, not the sampling.
  Os.modemGet = DsrOnOnceDataIsRead;
  ASSERT_TRUE(StartReader());
  Send("x");
  ASSERT_TRUE(TakeUntil([&] { return (taken.events & EV_DSR) != 0; }));
  EXPECT_EQ(taken.bytes, "x");
}

TEST_F(SerialFakeOs, DsrSensitivityDropsBytesWhileDsrIsOff) {
  LineSettings c;
  c.dsrSensitivity = true;
  ASSERT_TRUE(OpenWith(c));
  CountReadsOf(port);
  ASSERT_TRUE(StartReader());
  Send("lost");
  ASSERT_TRUE(WaitUntil([&] { return portBytesRead == 4; }));
  fakeLines = TIOCM_DSR;
  Send("kept");
  EXPECT_EQ(TakeBytes(4), "kept");
}

std::atomic<int> outputFlushes{0};

int StuckOutputIoctl(int fd, unsigned long request, void* argument) {
  if (request != TIOCOUTQ) return RealSerialOs().ioctl(fd, request, argument);
  *static_cast<int*>(argument) = 100;  // never drains
  return 0;
}

int CountingFlush(int fd, int queues) {
  if (queues == TCOFLUSH) ++outputFlushes;
  return RealSerialOs().tcflush(fd, queues);
}

TEST_F(SerialFakeOs, CloseDiscardsOutputThatWillNotDrain) {
  ASSERT_TRUE(ComOpen(3, port));
  outputFlushes = 0;
  Os.ioctl = StuckOutputIoctl;
  Os.tcflush = CountingFlush;
  const auto start = Clock::now();
  EXPECT_TRUE(ComClose(port));
  EXPECT_LT(Clock::now() - start, 5s);
  EXPECT_EQ(outputFlushes, 1);
  EXPECT_EQ(port.outputDiscarded, 100u);  // what the driver held, counted before the flush
  (void)kNoRealPorts;
}

// A slow line (110 baud) with a full driver queue: held off, or leaving a
// byte at a time. Closing discards the rest within a second, instead of the
// minutes the text would need.
std::atomic<int> slowQueue{0};
std::atomic<int> slowStep{0};
int SlowOutputIoctl(int fd, unsigned long request, void* argument) {
  if (request != TIOCOUTQ) return RealSerialOs().ioctl(fd, request, argument);
  *static_cast<int*>(argument) = slowQueue -= slowStep;
  return 0;
}

TEST_F(SerialFakeOs, CloseOfASlowLineWaitsAtMostASecond) {
  for (const int step : {0, 1}) {
    port.Settings.baudText = "110";
    ASSERT_TRUE(ComOpen(3, port));
    outputFlushes = 0;
    slowQueue = 4096 + step;
    slowStep = step;
    Os.ioctl = SlowOutputIoctl;
    Os.tcflush = CountingFlush;
    const auto start = Clock::now();
    EXPECT_TRUE(ComClose(port));
    EXPECT_LT(Clock::now() - start, 1500ms) << "step " << step;
    EXPECT_EQ(outputFlushes, 1);
    Os.ioctl = RealSerialOs().ioctl;
    Os.tcflush = RealSerialOs().tcflush;
  }
}

}  // namespace
