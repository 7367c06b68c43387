// Benchmarks through the real main window (offscreen): receiving, start-up
// with large settings files, sending to a device that refuses data; and what
// a user sees of the program on a real X server (Xvfb), in a process of its
// own: screen latency and CPU, beside picocom inside xterm. Every figure is
// a rate or a ratio measured side by side in the same run.
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
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
#include <QFontMetrics>
#include <QLineEdit>
#include <QListWidget>
#include <QClipboard>
#include <QPushButton>
#include <QTemporaryDir>
#include <QStyleHints>
#include <QTimer>
#include <QTest>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/ConsolePane.h"
#include "bench/ScreenWatch.h"
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

// CPU seconds a process has used so far (user and system), from
// /proc/PID/stat: counted in hundredths of a second, and keeping the time of
// threads that have ended.
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

// The CPU time of processes so far. A paced run's figure is a few tenths
// of a second, so hundredths rounded off each process's count at both ends
// are several per cent of it: each live thread's own run time, which the
// kernel keeps to the nanosecond (/proc/PID/task/TID/schedstat), is added
// up instead. The hundredths stay for when a thread ends between two
// readings and takes its run time with it.
struct CpuReading {
  std::map<pid_t, unsigned long long> threadNs;
  double coarse = 0;
  std::size_t processes = 0;
  bool fine = true;  // every thread's run time was read
};

CpuReading ReadCpu(const std::vector<pid_t>& processes) {
  CpuReading r;
  r.processes = processes.size();
  for (pid_t pid : processes) {
    r.coarse += ProcessCpu(pid);
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
      std::ifstream f(task.path() / "schedstat");
      unsigned long long ns = 0;
      if (f >> ns)
        r.threadNs[pid_t(std::stol(task.path().filename().string()))] = ns;
      else
        r.fine = false;
    }
    if (error) r.fine = false;
  }
  return r;
}

// Seconds used between two readings.
double CpuBetween(const CpuReading& before, const CpuReading& after) {
  if (!before.fine || !after.fine) return after.coarse - before.coarse;
  unsigned long long ns = 0;
  for (const auto& [tid, was] : before.threadNs) {
    const auto now = after.threadNs.find(tid);
    if (now == after.threadNs.end()) return after.coarse - before.coarse;
    ns += now->second - was;
  }
  for (const auto& [tid, now] : after.threadNs)
    if (!before.threadNs.count(tid)) ns += now;  // a thread begun meanwhile
  // A thread that began and ended between the readings is in neither; the
  // hundredths then say more than their rounding (under one per process).
  const double fine = double(ns) / 1e9, coarse = after.coarse - before.coarse;
  const double rounding = double(std::max(before.processes, after.processes)) / double(sysconf(_SC_CLK_TCK));
  return coarse - fine > rounding ? coarse : fine;
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
      // No screen saver: a blanked screen would count as a change.
      pid = Spawn({"Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp", "-noreset", "-s", "0"}, {});
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

// ---------------------------------------------------------------------------
// What a user sees: the time from the device end's write to the first
// change of the screen after it (DAMAGE on the root window of the X server,
// nothing known of the program that draws), and what the program and the X
// server spend meanwhile. The same cases run for this program's main window
// and for picocom inside xterm, one after the other on the same X server.

using ScreenClock = kvlbench::ScreenWatch::Clock;

double Ms(ScreenClock::duration d) { return duration<double, std::milli>(d).count(); }

struct Spread {
  double p50 = -1, p95 = -1, max = -1;
  size_t n = 0, missed = 0;  // missed: never shown within 3 s
};

Spread SpreadOf(std::vector<double> ms, size_t missed) {
  Spread s;
  s.n = ms.size();
  s.missed = missed;
  if (ms.empty()) return s;
  std::sort(ms.begin(), ms.end());
  // Nearest rank: p95 of 40 samples is the 38th.
  const auto rank = [&](double p) { return ms[std::min(ms.size() - 1, size_t(std::ceil(p * double(ms.size()))) - 1)]; };
  s.p50 = rank(0.50);
  s.p95 = rank(0.95);
  s.max = ms.back();
  return s;
}

std::string Describe(const Spread& s) {
  if (s.n == 0) return "nothing shown" + (s.missed ? " (" + std::to_string(s.missed) + " tries)" : std::string());
  std::string r = Fmt("p50 %.1f", s.p50) + Fmt(" / p95 %.1f", s.p95) + Fmt(" / max %.1f ms", s.max) + " (" +
                  std::to_string(s.n) + ")";
  if (s.missed) r += ", " + std::to_string(s.missed) + " NOT SHOWN";
  return r;
}

// Reads what the device has been sent, without waiting.
void Drain(int fd) {
  char buf[4096];
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) && ::read(fd, buf, sizeof buf) > 0) {
  }
}

// Reads until a command's CR arrives; when it did, or nothing by `deadline`.
std::optional<ScreenClock::time_point> ReadCommandEnd(int fd, ScreenClock::time_point deadline) {
  char buf[256];
  for (;;) {
    const auto left = duration_cast<milliseconds>(deadline - ScreenClock::now()).count();
    if (left <= 0) return std::nullopt;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, int(left)) <= 0) continue;
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return std::nullopt;
    if (std::memchr(buf, '\r', size_t(n))) return ScreenClock::now();
  }
}

// Writes everything as fast as the pty takes it; false when it stopped
// taking it before `deadline`.
bool WriteFlood(int fd, const std::string& data, ScreenClock::time_point deadline) {
  size_t done = 0;
  while (done < data.size()) {
    pollfd p{fd, POLLOUT, 0};
    const auto left = duration_cast<milliseconds>(deadline - ScreenClock::now()).count();
    if (left <= 0) return false;
    if (::poll(&p, 1, int(left)) <= 0) continue;
    const ssize_t n = ::write(fd, data.data() + done, std::min<size_t>(65536, data.size() - done));
    if (n > 0) done += size_t(n);
    else if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
  }
  return true;
}

struct StreamRate {
  double rate;
  const char* name;
  double seconds;
  const char* cpuPer;     // what the CPU row is per
  double referenceTotal;  // picocom + xterm's CPU (program + X) measured before, for when they are missing
};
const StreamRate kStreams[] = {
    {960, "960 B/s (9600 baud)", 20, "20 s", 0.13},
    {11520, "11520 B/s (115200 baud)", 20, "20 s", 0.22},
    {92160, "92160 B/s (921600 baud)", (1u << 20) / 92160.0, "1 MB", 0.36},
};
constexpr int kReplies = 40, kSingles = 10;
constexpr size_t kFloodBytes = 20u << 20;

struct ScreenResult {
  std::string failure;  // empty when the program came up
  long stillChanges = -1;
  Spread reply, single;
  Spread stream[3];
  PacedCpu cpu[3];
  double floodRate = 0, floodProgram = 0, floodX = 0;
  bool floodDone = false;
  // The text pane's columns and rows ("86x37"): xterm gets the same.
  std::string paneSize;
};

// One program reading the pty's slave on the X server.
struct Subject {
  std::vector<pid_t> processes;
  bool selectAllFirst = false;  // its command line keeps the last command: Ctrl+A, and typing replaces it
};

// The device answers a typed command: the engineer types AT and Enter, the
// device reads the command up to its CR, answers 30 ms later; the time
// from the answer's write to the first change of the screen after it (the
// command's own echo is drawn before the answer is written).
Spread CommandReply(kvlbench::ScreenWatch& screen, int master, bool selectAllFirst) {
  std::vector<double> ms;
  size_t missed = 0;
  for (int i = 0; i < kReplies; ++i) {
    screen.waitStill(milliseconds(200), ScreenClock::now() + seconds(3));
    Drain(master);
    if (selectAllFirst) screen.type("a", true);
    screen.type("AT\r");
    const auto end = ReadCommandEnd(master, ScreenClock::now() + seconds(3));
    if (!end) {
      // The keys go nowhere (the window did not take the keyboard): a few
      // tries say so.
      if (++missed >= 3 && ms.empty()) break;
      continue;
    }
    std::this_thread::sleep_until(*end + milliseconds(30));
    Drain(master);
    const auto written = ScreenClock::now();
    WriteAll(master, "\r\nOK\r\n");
    const auto seen = screen.firstChangeAfter(written, written + seconds(3));
    if (seen) ms.push_back(Ms(*seen - written));
    else ++missed;
  }
  return SpreadOf(ms, missed);
}

// One 80-character line after silence: 2.5 s in which the screen did not
// change, so that what the previous line set going (a parser running
// seconds after the last byte, say) is over.
Spread SingleLine(kvlbench::ScreenWatch& screen, int master) {
  std::vector<double> ms;
  size_t missed = 0;
  const std::string lines = Lines(80 * kSingles);
  for (int i = 0; i < kSingles; ++i) {
    screen.waitStill(milliseconds(2500), ScreenClock::now() + seconds(6));
    const auto written = ScreenClock::now();
    WriteAll(master, lines.substr(80 * size_t(i), 80));
    const auto seen = screen.firstChangeAfter(written, written + seconds(3));
    if (seen) ms.push_back(Ms(*seen - written));
    else ++missed;
  }
  return SpreadOf(ms, missed);
}

// 80-character lines at `rate` in 50 ms slices, as a line delivers them:
// the time from each slice's write to the first change of the screen after
// it, and the CPU of the program and of the X server meanwhile.
std::pair<Spread, PacedCpu> Stream(kvlbench::ScreenWatch& screen, int master, const StreamRate& s, pid_t xserver,
                                   const std::vector<pid_t>& processes) {
  const std::string data = Lines(size_t(s.rate * s.seconds) + 4096);
  screen.waitStill(milliseconds(300), ScreenClock::now() + seconds(3));
  PacedCpu cpu;
  const CpuReading p0 = ReadCpu(processes), x0 = ReadCpu({xserver});
  const std::map<pid_t, long> w0 = TreeSwitches(processes);
  const auto t0 = ScreenClock::now();
  const int slices = int(std::lround(s.seconds * 20));
  std::vector<ScreenClock::time_point> writes;
  size_t sent = 0;
  for (int i = 1; i <= slices; ++i) {
    std::this_thread::sleep_until(t0 + milliseconds(50 * i));
    const size_t due = size_t(s.rate * 0.05 * i);
    const auto at = ScreenClock::now();
    const ssize_t n = ::write(master, data.data() + sent, due - sent);
    if (n > 0) {
      sent += size_t(n);
      writes.push_back(at);
    }
  }
  std::this_thread::sleep_for(milliseconds(300));  // the last slice is shown
  cpu.program = CpuBetween(p0, ReadCpu(processes));
  cpu.wakes = SwitchesSince(w0, TreeSwitches(processes));
  cpu.xserver = CpuBetween(x0, ReadCpu({xserver}));
  if (writes.empty()) return {Spread{}, cpu};
  (void)screen.firstChangeAfter(writes.back(), writes.back() + seconds(3));
  const std::vector<ScreenClock::time_point> changes = screen.changesSince(writes.front());
  std::vector<double> ms;
  size_t missed = 0;
  for (const auto& w : writes) {
    const auto seen = std::upper_bound(changes.begin(), changes.end(), w);
    if (seen != changes.end() && *seen - w < seconds(3)) ms.push_back(Ms(*seen - w));
    else ++missed;
  }
  return {SpreadOf(ms, missed), cpu};
}

// The cases, in order, for a program that is up and reading the pty.
void RunCases(kvlbench::ScreenWatch& screen, int master, const XServer& x, const Subject& who, ScreenResult& r,
              bool streamsOnly = false) {
  screen.focusLargestWindow();
  if (streamsOnly) {
    for (size_t i = 0; i < std::size(kStreams); ++i)
      r.cpu[i] = Stream(screen, master, kStreams[i], x.pid, who.processes).second;
    return;
  }
  r.reply = CommandReply(screen, master, who.selectAllFirst);
  // A screen that keeps changing on its own after a key (a blinking caret)
  // makes every latency read short: once what the answers set going is
  // over, the screen stays still.
  screen.waitStill(milliseconds(2500), ScreenClock::now() + seconds(6));
  const auto quiet = ScreenClock::now();
  std::this_thread::sleep_for(seconds(2));
  r.stillChanges = long(screen.changesSince(quiet).size());
  r.single = SingleLine(screen, master);
  for (size_t i = 0; i < std::size(kStreams); ++i)
    std::tie(r.stream[i], r.cpu[i]) = Stream(screen, master, kStreams[i], x.pid, who.processes);

  // A flood with the writer beside the program on the same cores: ends when
  // everything is written and the screen has been still for a second.
  const std::string flood = Lines(kFloodBytes);
  screen.waitStill(milliseconds(500), ScreenClock::now() + seconds(5));
  const CpuReading p0 = ReadCpu(who.processes), x0 = ReadCpu({x.pid});
  const auto t0 = ScreenClock::now();
  const int flags = ::fcntl(master, F_GETFL);
  ::fcntl(master, F_SETFL, flags | O_NONBLOCK);
  const bool written = WriteFlood(master, flood, t0 + seconds(120));
  ::fcntl(master, F_SETFL, flags);
  const auto writtenAt = ScreenClock::now();
  r.floodDone = written && screen.waitStill(seconds(1), writtenAt + seconds(60));
  const auto end = std::max(screen.lastChange(), writtenAt);
  r.floodProgram = CpuBetween(p0, ReadCpu(who.processes));
  r.floodX = CpuBetween(x0, ReadCpu({x.pid}));
  r.floodRate = double(kFloodBytes) / duration<double>(end - t0).count();
}

// This program's main window in a process of its own, COM3 on the pty's
// slave, focus in its first command line.
ScreenResult ScreenOfTerminal(const XServer& x, kvlbench::ScreenWatch& screen, bool streamsOnly = false) {
  ScreenResult r;
  Pty com;
  const std::string slave = com.path();
  com.closeSlave();  // the terminal is the only one holding the port
  int ready[2];
  if (pipe(ready) != 0) return r;
  const pid_t child = Spawn({"/proc/self/exe", "paced-child", slave},
                            {"DISPLAY=" + x.display, "QT_QPA_PLATFORM=xcb"}, ready[1]);
  ::close(ready[1]);
  // "R", then the pane's columns and rows.
  char said[32] = {};
  const ssize_t n = ::read(ready[0], said, sizeof said - 1);
  const bool up = n > 0 && said[0] == 'R';
  if (up) r.paneSize = std::string(said + 1, std::strcspn(said + 1, "\n"));
  ::close(ready[0]);
  if (up) {
    // Without a window manager the main window looks for its frame for ten
    // seconds (on a desktop the frame ends the looks within half a second);
    // the cases run after that.
    std::this_thread::sleep_for(milliseconds(10500));
    RunCases(screen, com.master(), x, Subject{{child}, true}, r, streamsOnly);
  } else {
    r.failure = "the terminal did not come up";
  }
  Stop(child);
  return r;
}

// picocom inside xterm on the same X server, reading the same kind of pty;
// xterm showing as many columns and rows as size says (its own 80x24 when
// empty).
ScreenResult ScreenOfPicocom(const XServer& x, kvlbench::ScreenWatch& screen, const std::string& size,
                             bool streamsOnly) {
  ScreenResult r;
  Pty com;
  const std::string slave = com.path();
  com.closeSlave();
  std::vector<std::string> command{"xterm"};
  if (!size.empty()) command.insert(command.end(), {"-geometry", size});
  command.insert(command.end(), {"-e", "picocom", "-q", slave});
  const pid_t xterm = Spawn(command, {"DISPLAY=" + x.display});
  const auto deadline = ScreenClock::now() + seconds(10);
  while (!screen.focusLargestWindow() && ScreenClock::now() < deadline)
    screen.waitStill(milliseconds(100), ScreenClock::now() + milliseconds(200));
  std::vector<pid_t> tree = ProcessTree(xterm);
  while (tree.size() < 2 && ScreenClock::now() < deadline) {  // picocom is up
    std::this_thread::sleep_for(milliseconds(50));
    tree = ProcessTree(xterm);
  }
  if (tree.size() >= 2 && screen.waitStill(milliseconds(500), ScreenClock::now() + seconds(5)))
    RunCases(screen, com.master(), x, Subject{tree, false}, r, streamsOnly);
  else
    r.failure = "xterm with picocom did not come up";
  Stop(xterm);
  return r;
}

double Ratio(double ours, double theirs) { return ours / std::max(theirs, 0.1); }

// How picocom inside xterm is named in the table.
std::string theirName = "  picocom inside xterm, same run";

// The latencies of the program, each beside picocom's when it ran
// (`theirs.failure` empty) and the ratio of the two.
void ReportLatencies(const ScreenResult& ours, const ScreenResult& theirs) {
  const bool compare = theirs.failure.empty();
  Report("screen changes in 2 s of silence after keys", std::to_string(ours.stillChanges) +
                                                 (compare ? ", picocom+xterm " + std::to_string(theirs.stillChanges) : ""),
         "0 (else latencies read short)", ours.stillChanges == 0);
  const auto latencyRows = [&](const std::string& name, const Spread& a, const Spread& b, const std::string& goal,
                               bool met) {
    Report(name, Describe(a), goal, met);
    if (!compare) {
      Report("  picocom inside xterm", theirs.failure, "", true);
      return;
    }
    Report(theirName, Describe(b), "reported", true);
    Report("  ratio ours / theirs, p50 / p95", Fmt("%.1fx", Ratio(a.p50, b.p50)) + Fmt(" / %.1fx", Ratio(a.p95, b.p95)),
           "reported", true);
  };
  latencyRows("command reply, device answers 30 ms after CR", ours.reply, theirs.reply, "p95 <= 20 ms",
              ours.reply.n > 0 && !ours.reply.missed && ours.reply.p95 <= 20);
  latencyRows("one 80-char line after 2.5 s of silence", ours.single, theirs.single, "reported", true);
  for (size_t i = 0; i < std::size(kStreams); ++i) {
    const Spread& s = ours.stream[i];
    latencyRows(std::string("stream at ") + kStreams[i].name + ", 50 ms slices", s, theirs.stream[i],
                "p50 <= 20 ms, p95 <= 50 ms", s.n > 0 && !s.missed && s.p50 <= 20 && s.p95 <= 50);
  }
}

// The CPU of the paced streams, against picocom's or, when it did not run,
// against the figure measured before. Each program's streams run twice,
// in the order ours, theirs, theirs, ours: the load that other machines
// put on a shared host comes and goes over minutes, and whichever program
// ran while it was high would read dearer, by as much as the margin
// between the two. The goal holds the sum of both rounds; each round's
// ratio is reported beside it.
void ReportPacedCpu(const ScreenResult& ours, const ScreenResult& oursAgain, const ScreenResult& theirs,
                    const ScreenResult& theirsAgain, const ScreenResult& theirsSmall) {
  const bool compare = theirs.failure.empty();
  const bool twice = compare && oursAgain.failure.empty() && theirsAgain.failure.empty();
  const auto describe = [](const PacedCpu& c) {
    return Fmt("%.3f", c.program) + " + " + Fmt("%.3f", c.xserver) + " (X) s, " + std::to_string(c.wakes) +
           " wake-ups";
  };
  for (size_t i = 0; i < std::size(kStreams); ++i) {
    const PacedCpu& a = ours.cpu[i];
    Report(std::string("paced ") + kStreams[i].name + ", CPU per " + kStreams[i].cpuPer,
           describe(a) + (twice ? "; again " + describe(oursAgain.cpu[i]) : ""), "reported", true);
    if (compare) {
      const PacedCpu& b = theirs.cpu[i];
      Report(theirName, describe(b) + (twice ? "; again " + describe(theirsAgain.cpu[i]) : ""), "reported", true);
      const double mine = a.total() + (twice ? oursAgain.cpu[i].total() : 0);
      const double their = b.total() + (twice ? theirsAgain.cpu[i].total() : 0);
      const double ratio = mine / std::max(their, 0.01);
      if (twice)
        Report("  each round", Fmt("%.2fx", a.total() / std::max(b.total(), 0.01)) + Fmt(", then %.2fx",
               oursAgain.cpu[i].total() / std::max(theirsAgain.cpu[i].total(), 0.01)), "reported", true);
      Report(twice ? "  ratio (program + X server), both rounds" : "  ratio (program + X server)", Fmt("%.2fx", ratio),
             "<= 1x", ratio <= 1.0);
      if (theirsSmall.failure.empty()) {
        const PacedCpu& c = theirsSmall.cpu[i];
        Report("  picocom inside xterm 80x24 (its default)",
               Fmt("%.3f", c.program) + " + " + Fmt("%.3f", c.xserver) + " (X) s, ratio " +
                   Fmt("%.2fx", a.total() / std::max(c.total(), 0.01)),
               "reported", true);
      }
    } else {
      Report("  picocom inside xterm", theirs.failure, "", true);
      const double ratio = a.total() / kStreams[i].referenceTotal;
      Report("  ratio to its figure measured before (" + Fmt("%.2f s)", kStreams[i].referenceTotal),
             Fmt("%.2fx", ratio), "<= 1x", ratio <= 1.0);
    }
  }
}

void ReportFlood(const ScreenResult& ours, const ScreenResult& theirs) {
  const double mb = double(kFloodBytes) / 1e6;
  const auto floodValue = [&](const ScreenResult& r) {
    return Fmt("%.1f MB/s, ", r.floodRate / 1e6) + Fmt("%.4f CPU s/MB", (r.floodProgram + r.floodX) / mb) +
           Fmt(" (%.2f s", r.floodProgram) + Fmt(" + %.2f s X)", r.floodX) + (r.floodDone ? "" : ", UNFINISHED");
  };
  Report("flood of 20 MB, the writer beside it", floodValue(ours), "reported", ours.floodDone);
  if (theirs.failure.empty()) {
    Report(theirName, floodValue(theirs), "reported", theirs.floodDone);
    const double ratio = (ours.floodProgram + ours.floodX) / std::max(theirs.floodProgram + theirs.floodX, 0.01);
    Report("  ratio of CPU per MB (program + X server)", Fmt("%.2fx", ratio), "<= 0.5x",
           ratio <= 0.5 && ours.floodDone && theirs.floodDone);
  } else {
    Report("  picocom inside xterm", theirs.failure, "", true);
  }
}

// Measures and reports the screen's latency and the CPU beside it.
void ScreenPart() {
  const XServer x;
  if (!x.ok()) {
    Report("screen latency and CPU", "Xvfb did not start", "measured", false);
    return;
  }
  kvlbench::ScreenWatch screen(x.display);
  if (!screen.ok()) {
    Report("screen latency and CPU", screen.error(), "measured", false);
    return;
  }
  const bool withPicocom = OnPath("xterm") && OnPath("picocom");
  std::fprintf(stderr, "Screen latency and CPU on Xvfb (about %s)...\n", withPicocom ? "8 minutes" : "2 minutes");
  const ScreenResult ours = ScreenOfTerminal(x, screen);
  if (!ours.failure.empty()) {
    Report("screen latency and CPU", ours.failure, "measured", false);
    return;
  }
  // xterm shows as many columns and rows as the pane, so that both draw
  // the same text; at its own default size (80x24, a smaller screen than
  // the pane) it is measured for the CPU too.
  ScreenResult theirs, theirsSmall, theirsAgain, oursAgain;
  if (withPicocom) {
    theirs = ScreenOfPicocom(x, screen, ours.paneSize, false);
    theirsSmall = ScreenOfPicocom(x, screen, "", true);
    // The streams' second round, in the reverse order.
    theirsAgain = ScreenOfPicocom(x, screen, ours.paneSize, true);
    oursAgain = ScreenOfTerminal(x, screen, true);
  } else {
    theirs.failure = theirsSmall.failure = "not installed: not run";
  }
  theirName = "  picocom inside xterm " + ours.paneSize + ", same run";
  ReportLatencies(ours, theirs);
  ReportPacedCpu(ours, oursAgain, theirs, theirsAgain, theirsSmall);
  ReportFlood(ours, theirs);
}

void PrintTable() {
  std::printf("\n| measure | value | goal | |\n|---|---|---|---|\n");
  for (const Row& r : rows)
    std::printf("| %s | %s | %s | %s |\n", r.name.c_str(), r.value.c_str(), r.goal.c_str(),
                r.goal.empty() ? "" : r.verdict.c_str());
}

// The settings file naming `device` as COM3, in the directory `dir`.
void WriteComPorts(const QString& dir, const std::string& device) {
  QFile ini(dir + "/zel .ini");
  ini.open(QIODevice::WriteOnly);
  const std::string s = kvltest::ComPortsSection({{3, device}});
  ini.write(s.data(), qint64(s.size()));
}

// The child of a paced run: the real main window on the X server, COM3
// open; says 'R' on stdout when it is, then runs until it is stopped.
int PacedChild(int argc, char** argv, const std::string& slave) {
  kvl::PrepareDisplay();
  QApplication app(argc, argv);
  // A desktop whose carets do not blink, as xterm's does not: a blinking
  // caret changes the screen twice a second, and each change would read as
  // the answer to what the device just sent.
  QGuiApplication::styleHints()->setCursorFlashTime(0);
  const kvltest::ScratchLockDir locks;
  QTemporaryDir dir;
  QDir::setCurrent(dir.path());
  WriteComPorts(dir.path(), slave);
  kvl::Application program;
  kvl::TBaseform& f = *program.mainWindow();
  QTest::qWait(200);
  f.BtnCom[3]->click();
  if (kvl::ActiveLink != 3) return 1;
  const kvl::ConsolePane& pane = *f.cRichEd;
  const std::string ready = "R" + std::to_string(pane.viewport()->width() / QFontMetrics(pane.font()).averageCharWidth()) +
                            "x" + std::to_string(pane.pageRows()) + "\n";
  // The engineer types into the first command line.
  f.activateWindow();
  f.EdCmdLn[1]->setFocus();
  signal(SIGTERM, [](int) { _exit(0); });
  if (::write(1, ready.data(), ready.size()) != ssize_t(ready.size())) return 1;
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

struct StartupTimes {
  double small, mib, fifty;
};

// Start-up with a large settings file, before anything else runs.
StartupTimes MeasureStartup() {
  return {StartupSeconds(kvltest::kFirstRunFile, 0), StartupSeconds(kvltest::kFirstRunFile, 1u << 20),
          StartupSeconds(kvltest::kFirstRunFile, 50u << 20)};
}

void ReportStartup(const StartupTimes& t) {
  Report("start-up, settings file of 1 KB", Fmt("%.0f ms", t.small * 1e3), "reference", true);
  Report("start-up, settings file of 1 MiB", Fmt("%.0f ms", t.mib * 1e3), "< 500 ms", t.mib < 0.5);
  Report("start-up, settings file of 50 MB (not read)", Fmt("%.0f ms", t.fifty * 1e3), "< 500 ms", t.fifty < 0.5);
}

// Memory, first, while the process holds nothing else.
void ReceiveMemoryPart(kvl::TBaseform& f, int masterFd) {
  const std::string sixteen = Lines(16u << 20);
  const MemoryUse m = ReceiveMemory(f, masterFd, sixteen);
  Report("peak growth while 16 MB are received, per MB shown",
         Fmt("%.2f MB", m.processPerMb) + (m.complete ? "" : ", LOST"), "<= 1.5 MB, nothing lost",
         m.complete && m.processPerMb <= 1.5);
  Report("  of which the parser's batch RxText holds", Fmt("%.2f MB", m.rxTextPerMb), "reported", true);
  const double pane = PaneMemoryPerMb(f, sixteen);
  Report("peak growth of the text pane taking 16 MB, per MB shown", Fmt("%.2f MB", pane), "<= 1.5 MB",
         pane <= 1.5);
  f.ButtonResetClick();
}

// Fills the pane with 200 MB of a device's log and the last report, and
// reports the resident memory it took; returns the MB shown.
double ShowLargeLog(kvl::TBaseform& f) {
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
  return shownMb;
}

void FindLastMatch(kvl::ConsolePane& pane) {
  pane.setSelection(0, 0);
  pane.openFind();
  auto* findEdit = pane.findChild<QLineEdit*>("findEdit");
  findEdit->setText("THE LAST REPORT");
  const auto t0 = steady_clock::now();
  const bool found = pane.findNext(true);
  const double findSecs = duration<double>(steady_clock::now() - t0).count();
  const bool last = found && pane.selectionEnd() + 1 == pane.content().size();
  Report("find to the last match over 200 MB", Fmt("%.2f s", findSecs) + (last ? "" : ", NOT FOUND"), "< 1 s",
         last && findSecs < 1.0);
}

void CopyAll(kvl::ConsolePane& pane, double shownMb) {
  pane.selectAll();
  QCoreApplication::processEvents();
  malloc_trim(0);
  ResetPeak();
  const long beforeCopy = StatusKb("VmRSS:");
  const auto t0 = steady_clock::now();
  pane.copy();
  const double copySecs = duration<double>(steady_clock::now() - t0).count();
  const long peak = std::max(StatusKb("VmHWM:"), StatusKb("VmRSS:"));
  const double growth = (peak - beforeCopy) / 1024.0 / shownMb;
  const bool whole = QApplication::clipboard()->text().size() == qsizetype(pane.content().size());
  Report("Select All + Copy of 200 MB", Fmt("%.2f s", copySecs) + (whole ? "" : ", INCOMPLETE"), "< 3 s",
         whole && copySecs < 3.0);
  Report("  peak growth, per MB of text", Fmt("%.2f MB", growth), "<= 3 MB", growth <= 3.0);
}

// 200 MB shown: memory, find to the last match, Select All + Copy.
void LargePanePart(kvl::TBaseform& f) {
  f.ButtonResetClick();
  kvl::RxText.clear();
  kvl::RxText.shrink_to_fit();
  QCoreApplication::processEvents();
  malloc_trim(0);
  const double shownMb = ShowLargeLog(f);
  FindLastMatch(*f.cRichEd);
  CopyAll(*f.cRichEd, shownMb);
  QApplication::clipboard()->clear();
  f.ButtonResetClick();
  QCoreApplication::processEvents();
  malloc_trim(0);
}

// `kvl-bench flood`: the hex-off flood alone, four times, with what it
// cost the process (to look into the flood's cost with a profiler).
void FloodAlone(kvl::TBaseform& f, const Pty& com3) {
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
}

// Receive throughput of `flood` bytes, beside plain readers of a pty.
void ThroughputPart(kvl::TBaseform& f, const Pty& com3, size_t flood) {
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
}

// Append cost against pane size.
void AppendCostPart(kvl::TBaseform& f) {
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
}

// Long lines against short ones.
void LongLinePart(kvl::TBaseform& f) {
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
}

// Idle: a port open and the TCP link connected, nothing arriving.
void IdlePart(kvl::TBaseform& f) {
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
}

// The in-use check that comes before every probe of a present port: for
// a free port it reads the open descriptors of every process it may see
// (all, as root).
void InUseCheckPart() {
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
void RefusedSendPart(kvl::TBaseform& f, int masterFd) {
  ::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) | O_NONBLOCK);
  char drain[65536];
  while (::read(masterFd, drain, sizeof drain) > 0) {
  }
  const RefusedSend r = SendToRefusingDevice(f, masterFd);
  Report("worst GUI stall while a device refuses data", Fmt("%.0f ms", r.worstMs) + (r.complete ? ", all arrived" : ", LOST"),
         "< 100 ms, nothing lost", r.worstMs < 100 && r.complete);
  Report("  most bytes waiting in the queue", Fmt("%.0f KB", double(r.waitedMax) / 1024), "reported", true);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 2 && std::string(argv[1]) == "paced-child") return PacedChild(argc, argv, argv[2]);
  signal(SIGPIPE, SIG_IGN);
  const bool all = argc <= 1;  // no argument: every part
  const std::string part = all ? "" : argv[1];
  // Screen latency and the CPU at a line's rate come first, while this
  // process is small and quiet; `kvl-bench screen` runs them alone.
  if (all || part == "screen") ScreenPart();
  if (part == "screen") {
    PrintTable();
    return 0;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  const kvltest::ScratchLockDir locks;  // the port's lock file goes here, not to /run/lock
  const StartupTimes startup = MeasureStartup();
  QTemporaryDir dir;
  QDir::setCurrent(dir.path());
  Pty com3;
  WriteComPorts(dir.path(), com3.path());
  kvl::Application program;
  kvl::TBaseform& f = *program.mainWindow();
  f.Timer->stop();  // the parser does not take RxText; the probe timer stands in for the tick
  f.BtnCom[3]->click();
  if (kvl::ActiveLink != 3) {
    std::fprintf(stderr, "could not open the benchmark port\n");
    return 1;
  }
  std::fprintf(stderr, "Running benchmarks...\n");
  ReportStartup(startup);
  ReceiveMemoryPart(f, com3.master());
  if (all) LargePanePart(f);
  if (part == "flood") {
    FloodAlone(f, com3);
    return 0;
  }
  ThroughputPart(f, com3, (all ? 32u : 8u) << 20);
  if (part == "throughput") return 0;
  AppendCostPart(f);
  LongLinePart(f);
  IdlePart(f);
  InUseCheckPart();
  RefusedSendPart(f, com3.master());
  PrintTable();
  return 0;
}
