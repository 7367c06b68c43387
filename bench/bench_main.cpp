// Benchmarks through the real main window (offscreen): receiving, start-up
// with large settings files, sending to a device that refuses data.
// Every figure is a rate or a ratio measured side by side in the same run.
#include <fcntl.h>
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
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QTest>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// The physical limit: a plain reader draining a pseudo-terminal.
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
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
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
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
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
  kvl::ErrorReporter* previousReporter = kvl::SetErrorReporter(&quiet);
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

}  // namespace

int main(int argc, char** argv) {
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

  // Receive throughput.
  const size_t flood = (argc > 1 ? 8u : 32u) << 20;
  const std::string data = Lines(flood);
  const double plain = PlainReaderRate(flood);
  Report("plain reader on a pty (physical limit)", Fmt("%.1f MB/s", plain / 1e6), "reference", true);
  Throughput off = WindowRate(f, com3.path(), com3.master(), data, false);
  Report("window, hex off", Fmt("%.1f MB/s", off.rate / 1e6) + (off.complete ? ", complete" : ", LOST"),
         ">= 10 MB/s, nothing lost", off.rate >= 10e6 && off.complete);
  Report("  ratio to the plain reader", Fmt("%.2f", off.rate / plain), "", true);
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
