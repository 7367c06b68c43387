// Benchmarks through the real main window (offscreen): receiving, start-up
// with large settings files, sending to a device that refuses data; and the
// program at a real line's rate on a real X server (Xvfb), in a process of
// its own. Every figure is a rate or a ratio measured side by side in the
// same run.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <pty.h>
#include <malloc.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <termios.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QClipboard>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/ConsolePane.h"
#include "core/Colours.h"
#include "ui/WinColour.h"
#include "app/Startup.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "serial/PortUse.h"
#include "serial/uCom.h"
#include "simset/fSimSet.h"
#include "ui/ErrorReporter.h"
#include "tests/common/ComPorts.h"
#include "tests/common/FirstRunFile.h"
#include "tests/common/PtyPair.h"
#include "tests/common/ScratchTree.h"

using namespace std::chrono;

namespace {

struct Row {
  std::string name, value, goal, verdict;
};
std::vector<Row> rows;

void Report(const std::string& name, const std::string& value, const std::string& goal, bool met) {
  rows.push_back({name, value, goal, met ? "met" : "MISSED"});
  std::fprintf(stderr, "  %-44s %-28s %s\n", name.c_str(), value.c_str(), met ? "" : "(missed)");
}

std::string Fmt(const char* f, double v) {
  char b[64];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

std::uint64_t Fnv(const char* p, size_t n, std::uint64_t h = 1469598103934665603ull) {
  for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<unsigned char>(p[i])) * 1099511628211ull;
  return h;
}

// Printable lines of 80 characters: every byte reaches the text pane.
std::string Lines(size_t size) {
  std::string s;
  s.reserve(size);
  unsigned x = 12345;
  while (s.size() < size) {
    for (int i = 0; i < 78 && s.size() < size; ++i) {
      x = x * 1103515245 + 12345;
      s += char('!' + (x >> 16) % 90);
    }
    if (s.size() < size) s += '\r';
    if (s.size() < size) s += '\n';
  }
  return s;
}

double CpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long StatusKb(const char* field) {
  QFile f("/proc/self/status");
  f.open(QIODevice::ReadOnly);
  for (const QByteArray& line : f.readAll().split('\n'))
    if (line.startsWith(field)) return line.mid(qsizetype(std::strlen(field))).trimmed().split(' ').first().toLong();
  return 0;
}

// Starts the process's peak resident size afresh from what is resident now.
void ResetPeak() {
  QFile f("/proc/self/clear_refs");
  if (f.open(QIODevice::WriteOnly)) f.write("5");
}

constexpr double kMiB = 1024.0 * 1024.0;

using Pty = kvltest::PtyPair;

void WriteAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::write(fd, data.data() + done, std::min<size_t>(65536, data.size() - done));
    if (n > 0) done += size_t(n);
  }
}

// The physical limit: a plain reader (cat-like, 64 KB reads) in a process
// of its own draining a pseudo-terminal while this one writes.
double SeparateReaderRate(size_t bytes) {
  Pty p;
  const std::string data = Lines(bytes);
  const pid_t reader = fork();
  if (reader == 0) {
    static char buf[65536];
    size_t got = 0;
    while (got < bytes) {
      const ssize_t n = ::read(p.slave(), buf, sizeof buf);
      if (n > 0) got += size_t(n);
      else if (n < 0 && errno != EINTR) _exit(1);
    }
    _exit(0);
  }
  auto t0 = steady_clock::now();
  WriteAll(p.master(), data);
  int status = 0;
  waitpid(reader, &status, 0);
  return bytes / duration<double>(steady_clock::now() - t0).count();
}

// The same reader in this process, on a thread of its own.
double PlainReaderRate(size_t bytes) {
  Pty p;
  const std::string data = Lines(bytes);
  auto t0 = steady_clock::now();
  std::thread writer([&] { WriteAll(p.master(), data); });
  std::vector<char> buf(65536);
  size_t got = 0;
  while (got < data.size()) {
    ssize_t n = ::read(p.slave(), buf.data(), buf.size());
    if (n > 0) got += size_t(n);
  }
  writer.join();
  return got / duration<double>(steady_clock::now() - t0).count();
}

// What the text pane shows of received lines: CR LF is one line break.
std::string ShownOf(const std::string& data) {
  std::string shown;
  shown.reserve(data.size());
  for (char c : data)
    if (c != '\r') shown += c;
  return shown;
}

// Everything arrived: the pane shows all of it, and the parser's batch holds
// the newest bytes of it (a batch keeps at most its newest part).
bool Received(const kvl::TBaseform& f, const std::string& data, const std::string& expectPane) {
  const kvl::ConsoleText& pane = f.cRichEd->content();
  const std::string& batch = kvl::RxText;
  return pane.size() == expectPane.size() &&
         Fnv(pane.bytes(0, pane.size()).data(), pane.size()) ==
             Fnv(expectPane.data(), expectPane.size()) &&
         !batch.empty() && batch.size() <= data.size() &&
         data.compare(data.size() - batch.size(), batch.size(), batch) == 0;
}

struct Throughput {
  double rate = 0;
  bool complete = false;
  double worstTickMs = 0;
};

// Bytes pushed through a pseudo-terminal into the real main window.
Throughput WindowRate(kvl::TBaseform& f, const std::string& path, int masterFd, const std::string& data,
                      bool hex) {
  (void)path;
  Throughput r;
  f.ButtonResetClick();
  f.ChBxVhex->setChecked(hex);
  kvl::RxText.clear();
  const std::string expectPane = ShownOf(data);
  // The program's own tick is what the engineer feels; measure its lateness.
  QElapsedTimer sinceTick;
  sinceTick.start();
  double worst = 0;
  QTimer probe;
  probe.setInterval(500);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    worst = std::max(worst, sinceTick.nsecsElapsed() / 1e6 - 500.0);
    sinceTick.restart();
  });
  probe.start();
  auto t0 = steady_clock::now();
  std::thread writer([&] { WriteAll(masterFd, data); });
  while (f.cRichEd->content().size() < expectPane.size())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  const double secs = duration<double>(steady_clock::now() - t0).count();
  writer.join();
  probe.stop();
  r.rate = data.size() / secs;
  r.complete = Received(f, data, expectPane);
  r.worstTickMs = std::max(0.0, worst);
  return r;
}

struct MemoryUse {
  double processPerMb = 0;  // peak growth of the whole process per MB shown
  double rxTextPerMb = 0;   // what the parser's batch RxText holds at the end
  bool complete = false;
};

// Peak resident growth of the process while `data` arrives through the
// window (hex off, the program's own timer stopped so the parser's batch
// grows as it does during a flood that never pauses).
MemoryUse ReceiveMemory(kvl::TBaseform& f, int masterFd, const std::string& data) {
  f.ButtonResetClick();
  f.ChBxVhex->setChecked(false);
  kvl::RxText.clear();
  kvl::RxText.shrink_to_fit();
  QCoreApplication::processEvents();
  malloc_trim(0);
  ResetPeak();
  const std::string expectPane = ShownOf(data);
  const long before = StatusKb("VmRSS:");
  std::thread writer([&] { WriteAll(masterFd, data); });
  while (f.cRichEd->content().size() < expectPane.size())
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  writer.join();
  QTest::qWait(100);  // the last redraw
  const long peak = std::max(StatusKb("VmHWM:"), StatusKb("VmRSS:"));
  MemoryUse m;
  const double shown = double(f.cRichEd->content().size()) / kMiB;
  m.processPerMb = (peak - before) / 1024.0 / shown;
  m.rxTextPerMb = double(kvl::RxText.size()) / kMiB / shown;
  m.complete = Received(f, data, expectPane);
  return m;
}

// Peak resident growth while the text pane alone takes `data` in received
// blocks of 2047 bytes.
double PaneMemoryPerMb(kvl::TBaseform& f, const std::string& data) {
  f.ButtonResetClick();
  kvl::RxText.clear();
  kvl::RxText.shrink_to_fit();
  QCoreApplication::processEvents();
  malloc_trim(0);
  ResetPeak();
  const long before = StatusKb("VmRSS:");
  for (size_t at = 0; at < data.size(); at += 2047) {
    f.AppendText(kvl::kNavy, data.substr(at, 2047));
    if (at % (1u << 20) < 2047) QCoreApplication::processEvents();
  }
  QTest::qWait(100);
  const long peak = std::max(StatusKb("VmHWM:"), StatusKb("VmRSS:"));
  return (peak - before) / 1024.0 / (double(f.cRichEd->content().size()) / kMiB);
}

// Start-up as the program does it (main window, SIM window, the first
// showing's activation) in a directory whose settings file is `content`
// padded with comment lines to `size` bytes; the "Com ports" section maps
// every COM number to nothing. Returns seconds.
// Messages of the program are counted, not shown as boxes.
struct QuietReporter : kvl::ErrorReporter {
  void errorBox(const QString&) override { ++count; }
  void generalError(const QString&) override { ++count; }
  int count = 0;
};

double StartupSeconds(const std::string& content, size_t size) {
  QuietReporter quiet;

  QTemporaryDir dir;
  const QString previous = QDir::currentPath();
  QDir::setCurrent(dir.path());
  {
    std::string file = kvltest::ComPortsSection() + content;
    std::string pad = ";" + std::string(78, '-') + "\r\n";
    while (file.size() + pad.size() <= size) file += pad;
    if (file.size() < size) file += std::string(size - file.size(), ';');
    QFile ini(dir.path() + "/zel .ini");
    ini.open(QIODevice::WriteOnly);
    ini.write(file.data(), qint64(file.size()));
  }
  kvl::ResetProgramState();
  kvl::ErrorReporter* previousReporter = kvl::SetErrorReporter(&quiet);
  auto t0 = steady_clock::now();
  auto* main = new kvl::TBaseform;
  auto* sim = new kvl::TSimSetform(main);
  main->setSimSetform(sim);
  main->FormActivate();
  const double secs = duration<double>(steady_clock::now() - t0).count();
  delete main;
  QDir::setCurrent(previous);
  kvl::SetErrorReporter(previousReporter);
  return secs;
}

// Worst lateness of a 10 ms probe timer while the engineer sends commands
// of 2000 bytes, one every 10 ms for 3 s, to a device that reads nothing
// (its pseudo-terminal's buffers fill, then the rest waits in the queue);
// and whether everything arrives whole once the device reads.
struct RefusedSend {
  double worstMs = 0;
  bool complete = false;
  std::size_t waitedMax = 0;
};
RefusedSend SendToRefusingDevice(kvl::TBaseform& f, int masterFd) {
  RefusedSend r;
  f.ButtonResetClick();
  QElapsedTimer sinceTick;
  sinceTick.start();
  QTimer probe;
  probe.setInterval(10);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    r.worstMs = std::max(r.worstMs, sinceTick.nsecsElapsed() / 1e6 - 10.0);
    sinceTick.restart();
  });
  probe.start();
  std::string expected;
  int i = 0;
  QTimer sender;
  sender.setInterval(10);
  QObject::connect(&sender, &QTimer::timeout, [&] {
    const std::string text = std::to_string(i++) + ":" + std::string(1990, 'c') + "\r\n";
    f.ComWriteText(text);
    expected += text;
    r.waitedMax = std::max(r.waitedMax, f.comWaiting());
  });
  sender.start();
  QTest::qWait(3000);
  sender.stop();
  // The device reads again.
  std::string got;
  std::vector<char> buf(65536);
  (void)QTest::qWaitFor([&] {
    ssize_t n;
    while ((n = ::read(masterFd, buf.data(), buf.size())) > 0) got.append(buf.data(), size_t(n));
    return got.size() >= expected.size();
  }, 20000);
  probe.stop();
  r.worstMs = std::max(0.0, r.worstMs);
  r.complete = got == expected;
  return r;
}

// ---------------------------------------------------------------------------
// Paced runs: a real line's rate on a real X server.

// CPU seconds a process has used so far (user and system), from /proc.
double ProcessCpu(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  const size_t close = all.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(all.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The process and every process below it.
std::vector<pid_t> ProcessTree(pid_t root) {
  std::vector<pid_t> tree{root};
  std::error_code ignored;
  for (size_t i = 0; i < tree.size(); ++i)
    for (const auto& e : std::filesystem::directory_iterator("/proc", ignored)) {
      const std::string name = e.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream f(e.path() / "stat");
      std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
      const size_t close = all.rfind(')');
      if (close == std::string::npos) continue;
      std::istringstream rest(all.substr(close + 2));
      std::string state;
      long ppid = 0;
      rest >> state >> ppid;
      if (ppid == tree[i]) tree.push_back(pid_t(std::stol(name)));
    }
  return tree;
}

// Times each thread of the processes has gone to sleep and been woken
// again (a wake-up costs more than most of the work one does on a virtual
// machine), by thread id.
std::map<pid_t, long> TreeSwitches(const std::vector<pid_t>& tree) {
  std::map<pid_t, long> out;
  std::error_code ignored;
  for (pid_t pid : tree)
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored)) {
      std::ifstream f(task.path() / "status");
      std::string line;
      while (std::getline(f, line))
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
          out[pid_t(std::stol(task.path().filename().string()))] = std::stol(line.substr(24));
    }
  return out;
}

// The switches since `before` of the threads that are still there: a thread
// that ended meanwhile (Qt's pool lets idle threads go) takes its count with
// it, and only woke to end.
long SwitchesSince(const std::map<pid_t, long>& before, const std::map<pid_t, long>& now) {
  long sum = 0;
  for (const auto& [tid, count] : now) {
    const auto was = before.find(tid);
    sum += count - (was == before.end() ? 0 : was->second);
  }
  return sum;
}

double TreeCpu(const std::vector<pid_t>& tree) {
  double sum = 0;
  for (pid_t p : tree) sum += ProcessCpu(p);
  return sum;
}

bool OnPath(const char* program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':'))
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  return false;
}

pid_t Spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, int stdoutFd = -1) {
  const pid_t pid = fork();
  if (pid == 0) {
    for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
    if (stdoutFd >= 0) dup2(stdoutFd, 1);
    const int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) dup2(devnull, 2);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

void Stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// An Xvfb of the benchmark's own, on a display number nobody uses.
struct XServer {
  pid_t pid = -1;
  std::string display;
  XServer() {
    for (int n = 91; n < 140; ++n) {
      const std::string sock = "/tmp/.X11-unix/X" + std::to_string(n);
      const std::string lock = "/tmp/.X" + std::to_string(n) + "-lock";
      if (::access(sock.c_str(), F_OK) == 0 || ::access(lock.c_str(), F_OK) == 0) continue;
      display = ":" + std::to_string(n);
      pid = Spawn({"Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset"}, {});
      for (int i = 0; i < 250 && ::access(sock.c_str(), F_OK) != 0; ++i)
        std::this_thread::sleep_for(milliseconds(20));
      if (::access(sock.c_str(), F_OK) == 0) return;
      Stop(pid);
      pid = -1;
    }
  }
  ~XServer() { Stop(pid); }
  bool ok() const { return pid > 0; }
};

struct PacedCpu {
  double program = -1, xserver = -1;
  long wakes = 0;  // the program's sleeps in the measured time
  double total() const { return program + xserver; }
};

// Writes 80-character lines into the pty at `rate` bytes a second, in 50 ms
// slices as a line delivers them, for `seconds`, and measures the CPU that
// `tree()` (the receiving program) and the X server use meanwhile.
template <typename Tree>
PacedCpu PaceAndMeasure(int masterFd, double rate, double seconds, pid_t xserver, Tree tree) {
  const std::string data = Lines(size_t(rate * seconds) + 4096);
  // Start-up settles first. Without a window manager the main window looks
  // for its frame for ten seconds (on a desktop the frame ends the looks
  // within half a second); the stream is measured after that.
  std::this_thread::sleep_for(milliseconds(10500));
  const std::vector<pid_t> processes = tree();
  PacedCpu r;
  const double p0 = TreeCpu(processes), x0 = ProcessCpu(xserver);
  const std::map<pid_t, long> w0 = TreeSwitches(processes);
  const auto t0 = steady_clock::now();
  const int slices = int(seconds * 20);
  size_t sent = 0;
  for (int i = 1; i <= slices; ++i) {
    std::this_thread::sleep_until(t0 + milliseconds(50 * i));
    const size_t due = size_t(rate * 0.05 * i);
    const ssize_t n = ::write(masterFd, data.data() + sent, due - sent);
    if (n > 0) sent += size_t(n);
  }
  std::this_thread::sleep_for(milliseconds(300));  // the last slice is shown
  r.program = TreeCpu(processes) - p0;
  r.wakes = SwitchesSince(w0, TreeSwitches(processes));
  r.xserver = ProcessCpu(xserver) - x0;
  return r;
}

// This program's main window in a process of its own on the X server, its
// COM3 the pty's slave; -1 times when it does not come up.
PacedCpu PacedTerminal(const XServer& x, double rate, double seconds) {
  Pty com;
  const std::string slave = com.path();
  com.closeSlave();  // the terminal is the only one holding the port
  int ready[2];
  if (pipe(ready) != 0) return {};
  const pid_t child = Spawn({"/proc/self/exe", "paced-child", slave},
                            {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb"}, ready[1]);
  ::close(ready[1]);
  char c = 0;
  const bool up = ::read(ready[0], &c, 1) == 1 && c == 'R';
  ::close(ready[0]);
  PacedCpu r;
  if (up) r = PaceAndMeasure(com.master(), rate, seconds, x.pid, [child] { return std::vector<pid_t>{child}; });
  Stop(child);
  return r;
}

// picocom inside xterm on the same X server, reading the same kind of pty.
PacedCpu PacedPicocom(const XServer& x, double rate, double seconds) {
  Pty com;
  const std::string slave = com.path();
  com.closeSlave();
  const pid_t xterm = Spawn({"xterm", "-e", "picocom", "-q", slave}, {"DISPLAY=" + x.display});
  PacedCpu r = PaceAndMeasure(com.master(), rate, seconds, x.pid, [xterm] { return ProcessTree(xterm); });
  Stop(xterm);
  return r;
}

// The child of a paced run: the real main window on the X server, COM3
// open; says 'R' on stdout when it is, then runs until it is stopped.
int PacedChild(int argc, char** argv, const std::string& slave) {
  kvl::PrepareDisplay();
  QApplication app(argc, argv);
  const kvltest::ScratchLockDir locks;
  QTemporaryDir dir;
  QDir::setCurrent(dir.path());
  {
    QFile ini(dir.path() + "/zel .ini");
    ini.open(QIODevice::WriteOnly);
    const std::string s = kvltest::ComPortsSection({{3, slave}});
    ini.write(s.data(), qint64(s.size()));
  }
  kvl::Application program;
  kvl::TBaseform& f = *program.mainWindow();
  QTest::qWait(200);
  f.BtnCom[3]->click();
  if (kvl::ActiveLink != 3) return 1;
  signal(SIGTERM, [](int) { _exit(0); });
  if (::write(1, "R", 1) != 1) return 1;
  return app.exec();
}

// ---------------------------------------------------------------------------
// 200 MB shown: memory, find, Select All + Copy.

// A device's log as a pane holds it after days: time stamps, counters and
// the same report words again and again, made a block at a time.
class DeviceLog {
 public:
  std::string next(size_t size) {
    std::string s;
    while (s.size() < size) {
      char line[160];
      const unsigned n = n_++;
      std::snprintf(line, sizeof line, "[%02u:%02u:%02u] +CSQ: %u,0 GPRS OK, report %u sent, %u bytes\r\n",
                    n / 3600 % 24, n / 60 % 60, n % 60, n * 7 % 32, n, n * 131 % 100000);
      s += line;
    }
    return s;
  }

 private:
  unsigned n_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "paced-child") return PacedChild(argc, argv, argv[2]);
  signal(SIGPIPE, SIG_IGN);
  // The paced runs come first, while this process is small and quiet.
  if (argc <= 1) {
    const XServer x;
    const bool withPicocom = OnPath("xterm") && OnPath("picocom");
    struct Reference {
      double rate;
      const char* name;
      double program, xserver;  // picocom inside xterm, measured on the reference machine
    };
    const double seconds = 20;
    for (const Reference& ref : {Reference{960, "960 B/s (9600 baud)", 0.07, 0.06},
                                 Reference{11520, "11520 B/s (115200 baud)", 0.13, 0.09}}) {
      if (!x.ok()) {
        Report(std::string("paced ") + ref.name, "Xvfb did not start", "measured", false);
        continue;
      }
      const PacedCpu ours = PacedTerminal(x, ref.rate, seconds);
      if (ours.program < 0) {
        Report(std::string("paced ") + ref.name, "the terminal did not come up", "measured", false);
        continue;
      }
      const std::string value = Fmt("%.2f", ours.program) + " + " + Fmt("%.2f", ours.xserver) + " (X) s, " +
                                std::to_string(ours.wakes) + " wake-ups";
      if (withPicocom) {
        const PacedCpu theirs = PacedPicocom(x, ref.rate, seconds);
        Report(std::string("paced ") + ref.name + ", CPU per 20 s", value, "reported", true);
        Report("  picocom inside xterm, same run",
               Fmt("%.2f", theirs.program) + " + " + Fmt("%.2f", theirs.xserver) + " (X) s, " +
                   std::to_string(theirs.wakes) + " wake-ups",
               "reported", true);
        const double ratio = ours.total() / std::max(theirs.total(), 0.01);
        Report("  ratio (program + X server)", Fmt("%.2fx", ratio), "<= 1x", ratio <= 1.0);
      } else {
        const double theirs = ref.program + ref.xserver;
        Report(std::string("paced ") + ref.name + ", CPU per 20 s", value, "reported", true);
        Report("  picocom inside xterm", "not installed: not run", "", true);
        const double ratio = ours.total() / theirs;
        Report("  ratio to its figures measured before (" + Fmt("%.2f", ref.program) + " + " +
                   Fmt("%.2f", ref.xserver) + " s)",
               Fmt("%.2fx", ratio), "<= 1x", ratio <= 1.0);
      }
    }
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const kvltest::ScratchLockDir locks;  // the port's lock file goes here, not to /run/lock
  // Start-up with a large settings file, before anything else runs.
  const double startSmall = StartupSeconds(kvltest::kFirstRunFile, 0);
  const double startMiB = StartupSeconds(kvltest::kFirstRunFile, 1u << 20);
  const double start50 = StartupSeconds(kvltest::kFirstRunFile, 50u << 20);
  QTemporaryDir dir;
  QDir::setCurrent(dir.path());
  Pty com3;
  {
    QFile ini(dir.path() + "/zel .ini");
    ini.open(QIODevice::WriteOnly);
    const std::string s = kvltest::ComPortsSection({{3, com3.path()}});
    ini.write(s.data(), qint64(s.size()));
  }
  kvl::Application program;
  kvl::TBaseform& f = *program.mainWindow();
  f.Timer->stop();  // the parser does not take RxText; the probe timer stands in for the tick
  f.BtnCom[3]->click();
  if (kvl::ActiveLink != 3) {
    std::fprintf(stderr, "could not open the benchmark port\n");
    return 1;
  }
  std::fprintf(stderr, "Running benchmarks...\n");
  Report("start-up, settings file of 1 KB", Fmt("%.0f ms", startSmall * 1e3), "reference", true);
  Report("start-up, settings file of 1 MiB", Fmt("%.0f ms", startMiB * 1e3), "< 500 ms", startMiB < 0.5);
  Report("start-up, settings file of 50 MB (not read)", Fmt("%.0f ms", start50 * 1e3), "< 500 ms", start50 < 0.5);

  // Memory, first, while the process holds nothing else.
  {
    const std::string sixteen = Lines(16u << 20);
    const MemoryUse m = ReceiveMemory(f, com3.master(), sixteen);
    Report("peak growth while 16 MB are received, per MB shown",
           Fmt("%.2f MB", m.processPerMb) + (m.complete ? "" : ", LOST"), "<= 1.5 MB, nothing lost",
           m.complete && m.processPerMb <= 1.5);
    Report("  of which the parser's batch RxText holds", Fmt("%.2f MB", m.rxTextPerMb), "reported", true);
    const double pane = PaneMemoryPerMb(f, sixteen);
    Report("peak growth of the text pane taking 16 MB, per MB shown", Fmt("%.2f MB", pane), "<= 1.5 MB",
           pane <= 1.5);
    f.ButtonResetClick();
  }

  // 200 MB shown: memory, find to the last match, Select All + Copy.
  if (argc <= 1) {
    f.ButtonResetClick();
    kvl::RxText.clear();
    kvl::RxText.shrink_to_fit();
    QCoreApplication::processEvents();
    malloc_trim(0);
    const long before = StatusKb("VmRSS:");
    DeviceLog log;
    const size_t total = 200u << 20;
    while (f.cRichEd->content().size() < total) {
      const std::string block = log.next(1u << 20);
      for (size_t at = 0; at < block.size(); at += 2047) f.AppendText(kvl::kNavy, block.substr(at, 2047));
      QCoreApplication::processEvents();
    }
    f.AppendText(kvl::kNavy, "the last report\r\n");
    QTest::qWait(100);
    kvl::ConsolePane& pane = *f.cRichEd;
    const double shownMb = double(pane.content().size()) / kMiB;
    const double perMb = (StatusKb("VmRSS:") - before) / 1024.0 / shownMb;
    Report("resident memory per MB after 200 MB shown", Fmt("%.3f MB", perMb) + Fmt(" (%.0f MB shown)", shownMb),
           "<= 0.3 MB", perMb <= 0.3);
    Report("  of which the text, compressed", Fmt("%.3f MB", pane.content().packedBytes() / kMiB / shownMb),
           "reported", true);

    pane.setSelection(0, 0);
    pane.openFind();
    auto* findEdit = pane.findChild<QLineEdit*>("findEdit");
    findEdit->setText("THE LAST REPORT");
    auto t0 = steady_clock::now();
    const bool found = pane.findNext(true);
    const double findSecs = duration<double>(steady_clock::now() - t0).count();
    const bool last = found && pane.selectionEnd() + 1 == pane.content().size();
    Report("find to the last match over 200 MB", Fmt("%.2f s", findSecs) + (last ? "" : ", NOT FOUND"), "< 1 s",
           last && findSecs < 1.0);

    pane.selectAll();
    QCoreApplication::processEvents();
    malloc_trim(0);
    ResetPeak();
    const long beforeCopy = StatusKb("VmRSS:");
    t0 = steady_clock::now();
    pane.copy();
    const double copySecs = duration<double>(steady_clock::now() - t0).count();
    const long peak = std::max(StatusKb("VmHWM:"), StatusKb("VmRSS:"));
    const double growth = (peak - beforeCopy) / 1024.0 / shownMb;
    const bool whole = QApplication::clipboard()->text().size() == qsizetype(pane.content().size());
    Report("Select All + Copy of 200 MB", Fmt("%.2f s", copySecs) + (whole ? "" : ", INCOMPLETE"), "< 3 s",
           whole && copySecs < 3.0);
    Report("  peak growth, per MB of text", Fmt("%.2f MB", growth), "<= 3 MB", growth <= 3.0);
    QApplication::clipboard()->clear();
    f.ButtonResetClick();
    QCoreApplication::processEvents();
    malloc_trim(0);
  }

  // `kvl-bench flood`: the hex-off flood alone, four times, with what it
  // cost the process (to look into the flood's cost with a profiler).
  if (argc > 1 && std::string(argv[1]) == "flood") {
    const std::string data = Lines(32u << 20);
    for (int i = 0; i < 4; ++i) {
      rusage before{}, after{};
      getrusage(RUSAGE_SELF, &before);
      const Throughput t = WindowRate(f, com3.path(), com3.master(), data, false);
      getrusage(RUSAGE_SELF, &after);
      const auto secs = [](timeval a, timeval b) {
        return double(b.tv_sec - a.tv_sec) + double(b.tv_usec - a.tv_usec) / 1e6;
      };
      std::printf("flood %.1f MB/s%s, CPU %.2f s user + %.2f s system, %ld sleeps, %ld preemptions\n", t.rate / 1e6,
                  t.complete ? "" : " LOST", secs(before.ru_utime, after.ru_utime),
                  secs(before.ru_stime, after.ru_stime), after.ru_nvcsw - before.ru_nvcsw,
                  after.ru_nivcsw - before.ru_nivcsw);
    }
    return 0;
  }
  // Receive throughput.
  const size_t flood = (argc > 1 ? 8u : 32u) << 20;
  const std::string data = Lines(flood);
  // The limit is the best of three runs: a reader that another program's
  // work delays says nothing about the limit.
  double separate = 0;
  for (int i = 0; i < 3; ++i) separate = std::max(separate, SeparateReaderRate(flood));
  const double plain = PlainReaderRate(flood);
  Report("plain reader of a pty, a process of its own (best of 3)", Fmt("%.1f MB/s", separate / 1e6), "reference",
         true);
  Report("plain reader of a pty, a thread of this one", Fmt("%.1f MB/s", plain / 1e6), "reported", true);
  Throughput off = WindowRate(f, com3.path(), com3.master(), data, false);
  Report("window, hex off", Fmt("%.1f MB/s", off.rate / 1e6) + (off.complete ? ", complete" : ", LOST"),
         ">= 10 MB/s, nothing lost", off.rate >= 10e6 && off.complete);
  Report("  ratio to the plain reader process", Fmt("%.2f", off.rate / separate), ">= 0.5",
         off.rate / separate >= 0.5);
  Report("  ratio to 921600 baud (92160 B/s)", Fmt("%.0fx", off.rate / 92160.0), ">= 100x", off.rate / 92160.0 >= 100);
  Throughput on = WindowRate(f, com3.path(), com3.master(), Lines(8u << 20), true);
  Report("window, hex on", Fmt("%.1f MB/s", on.rate / 1e6) + (on.complete ? ", complete" : ", LOST"),
         "nothing lost", on.complete);
  Report("  hex on / hex off", Fmt("%.2f", on.rate / off.rate), ">= 0.33", on.rate / off.rate >= 1.0 / 3);
  const double worstTick = std::max(off.worstTickMs, on.worstTickMs);
  Report("largest delay of a 500 ms tick while flooding", Fmt("%.0f ms", worstTick), "< 100 ms", worstTick < 100);

  if (argc > 1 && std::string(argv[1]) == "throughput") return 0;

  // Append cost against pane size.
  f.ButtonResetClick();
  f.ChBxVhex->setChecked(false);
  const std::string chunk = Lines(2000);
  auto appendCost = [&] {
    const int n = 200;
    auto t0 = steady_clock::now();
    for (int i = 0; i < n; ++i) f.AppendText(kvl::kNavy, chunk);
    return duration<double>(steady_clock::now() - t0).count() / n;
  };
  const std::string megabyte = Lines(1u << 20);
  auto fillTo = [&](size_t mb) {
    while (size_t(f.cRichEd->content().size()) < mb * 1000000) f.AppendText(kvl::kNavy, megabyte);
  };
  kvl::RxText.clear();
  kvl::RxText.shrink_to_fit();
  malloc_trim(0);  // what earlier floods freed no longer counts as resident
  const long rssBefore = StatusKb("VmRSS:");
  const double c0 = appendCost();
  fillTo(1);
  const double c1 = appendCost();
  fillTo(10);
  const double c10 = appendCost();
  fillTo(50);
  const double c50 = appendCost();
  Report("append of 2 KB, empty pane", Fmt("%.1f us", c0 * 1e6), "reference", true);
  Report("  after 1 MB / 10 MB (ratio)", Fmt("%.2f", c1 / c0) + " / " + Fmt("%.2f", c10 / c0), "", true);
  Report("  after 50 MB (ratio)", Fmt("%.2f", c50 / c0), "<= 1.5", c50 / c0 <= 1.5);
  const double mbInPane = f.cRichEd->content().size() / 1e6;
  const long rss = StatusKb("VmRSS:");
  Report("resident memory per MB of pane content", Fmt("%.2f MB", (rss - rssBefore) / 1024.0 / mbInPane),
         "reported", true);
  f.ButtonResetClick();

  // Long lines against short ones.
  auto pushMegabyte = [&](const std::string& block) {
    f.ButtonResetClick();
    auto t0 = steady_clock::now();
    for (size_t at = 0; at < block.size(); at += 2047) f.AppendText(kvl::kNavy, block.substr(at, 2047));
    QCoreApplication::processEvents();
    return duration<double>(steady_clock::now() - t0).count();
  };
  const std::string shortLines = Lines(1u << 20);
  const std::string longLine(1u << 20, 'x');
  const double tShort = pushMegabyte(shortLines);
  const double tLong = pushMegabyte(longLine);
  Report("1 MB without a line break vs 80-char lines", Fmt("%.2fx", tLong / tShort), "<= 2x", tLong / tShort <= 2);
  f.ButtonResetClick();

  // Idle: a port open and the TCP link connected, nothing arriving.
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(listener, 1);
  socklen_t len = sizeof a;
  getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  f.ChBxIniNet->setChecked(true);
  for (int i = 0; i < f.ChBxIPs->count(); ++i)
    if (f.ChBxIPs->item(i)->text() == "127.0.0.1") f.ChBxIPs->item(i)->setCheckState(Qt::Checked);
  f.EdtSPort->setText("0");
  f.edtRHost->setText("127.0.0.1");
  f.EdtRPort->setText(QString::number(ntohs(a.sin_port)));
  f.EdtSPort->setText(QString::number(40000 + getpid() % 20000));
  f.ChBxS1Conn->setChecked(true);
  int peer = ::accept(listener, nullptr, nullptr);
  if (!QTest::qWaitFor([] { return kvl::ActiveLink == 0; }, 5000)) std::fprintf(stderr, "TCP link did not connect\n");
  f.Timer->start();
  const double cpu0 = CpuSeconds();
  auto t0 = steady_clock::now();
  {
    // Only the program's own timers and descriptors wake the loop.
    QEventLoop idleLoop;
    QTimer::singleShot(10000, &idleLoop, &QEventLoop::quit);
    idleLoop.exec();
  }
  const double idle = (CpuSeconds() - cpu0) / duration<double>(steady_clock::now() - t0).count();
  Report("idle CPU, port open and TCP connected", Fmt("%.2f %% of a core", idle * 100), "< 0.5 %", idle < 0.005);
  ::close(peer);
  ::close(listener);

  // The in-use check that comes before every probe of a present port: for
  // a free port it reads the open descriptors of every process it may see
  // (all, as root).
  {
    const Pty spare;
    std::size_t processes = 0, descriptors = 0;
    std::error_code ignored;
    for (const auto& p : std::filesystem::directory_iterator("/proc", ignored)) {
      const std::string name = p.path().filename().string();
      if (name.find_first_not_of("0123456789") != std::string::npos) continue;
      ++processes;
      for (auto it = std::filesystem::directory_iterator(p.path() / "fd", ignored);
           it != std::filesystem::directory_iterator(); it.increment(ignored))
        ++descriptors;
    }
    const int n = 50;
    auto c0 = steady_clock::now();
    for (int i = 0; i < n; ++i) (void)kvl::FindPortHolder(spare.path());
    const double check = duration<double>(steady_clock::now() - c0).count() / n;
    Report("in-use check before a probe", Fmt("%.2f ms", check * 1e3) + " (" + std::to_string(processes) +
                                              " processes, " + std::to_string(descriptors) + " descriptors)",
           "< 50 ms (a tenth of a scan tick)", check < 0.05);
    Report("  per descriptor", Fmt("%.2f us", descriptors ? check * 1e6 / double(descriptors) : 0.0), "", true);
  }

  // Sending to a device that takes nothing: the window never waits on it.
  {
    ::fcntl(com3.master(), F_SETFL, ::fcntl(com3.master(), F_GETFL) | O_NONBLOCK);
    char drain[65536];
    while (::read(com3.master(), drain, sizeof drain) > 0) {
    }
    const RefusedSend r = SendToRefusingDevice(f, com3.master());
    Report("worst GUI stall while a device refuses data", Fmt("%.0f ms", r.worstMs) + (r.complete ? ", all arrived" : ", LOST"),
           "< 100 ms, nothing lost", r.worstMs < 100 && r.complete);
    Report("  most bytes waiting in the queue", Fmt("%.0f KB", double(r.waitedMax) / 1024), "reported", true);
  }

  std::printf("\n| measure | value | goal | |\n|---|---|---|---|\n");
  for (const Row& r : rows)
    std::printf("| %s | %s | %s | %s |\n", r.name.c_str(), r.value.c_str(), r.goal.c_str(),
                r.goal.empty() ? "" : r.verdict.c_str());
  return 0;
}
