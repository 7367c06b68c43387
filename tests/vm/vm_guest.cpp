// The guest side of the virtual-machine rig (scripts/vmtest.sh): the
// program's main window on real Linux serial drivers, driven the way the
// window tests drive it, one command line at a time from standard input,
// one answer line on standard output. The host side decides what to do and
// what counts as right; this side only acts on the window and reports what
// it shows.
//
// Commands (words separated by single spaces; texts in answers and in
// "send" are base64):
//   window [log] COMn=PATH...    settings file and the two windows, as at start-up
//   lines KEY=VALUE...           line-setting controls ("Full" ticked first)
//   click N                      presses port button N
//   state N                      button N: enabled, down, hint; the link; panels
//   dtr 0|1, rts 0|1             ticks or clears the line boxes
//   timer 0|1                    stops or starts the window's timer
//   rx-clear                     empties RxText and the panes
//   rx-wait BYTES MS             waits for BYTES in RxText; counts and checksums
//   send TEXT                    command line 1 with TEXT, then "Send"
//   close-watch                  starts noting when the port closes
//   wait-closed MS               waits until no port is selected; "at" the
//                                guest's monotonic time it closed at
//   wait-enabled N MS            waits until button N is enabled
//   probe N                      the scan's step for port N, now (as the
//                                window's timer takes it in its turn)
//   cpu MS                       CPU seconds the program spends in the next MS
//   digest                       checksum of the window's other controls
//   pane                         the text pane's last 2000 characters
//   hold PATH 0|1                another program (a child process) holds
//                                PATH, with TIOCEXCL when 1; "ok PID"
//   hold-end BYTES               the holder reads until it has BYTES; its
//                                count, checksum and exclusive flag
//   send-file PATH LEN           the file's bytes as command lines of LEN
//                                characters, each sent as "Send" does, the
//                                next once the queue has room; waits until
//                                all are written
//   pane-seq N                   the pane's numbered lines: how many, and
//                                how many do not follow the one before
//   lines-watch                  starts noting every change of the DCD and
//                                DSR panels, as the window's events leave
//                                them
//   lines-end                    the changes noted since lines-watch ("D" DCD or "S" DSR, "1"
//                                on or "0" off, in order), the driver's
//                                change counters of the open port and its
//                                lines now
//   quit
//
// Run as "kvl-vmguest device ..." it is instead the device end of a USB
// gadget's serial function (/dev/ttyGS0), with no window:
//   device serve PATH SEND RECV LOOP   holds PATH raw, writes the file SEND
//                                ("-" none) once, or over and over when LOOP
//                                is 1, appends what arrives to RECV, opens
//                                PATH again when the link drops; ends at
//                                SIGTERM
//   device toggle PATH COUNT SEED LOG  opens and closes PATH COUNT times, each
//                                state held 2 to 80 ms (a third of them
//                                under 20 ms); LOG gets "1" or "0" per step
//                                and "done"
//   device break PATH MS         opens PATH and sends a break
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTest>
#include <QTimer>
#include <cerrno>
#include <cstdio>
#include <random>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/gui/TestSupport.h"
#include "app/SpinEdit.h"
#include "app/Util.h"
#include "app/fBase.h"
#include "serial/ComLineState.h"
#include "serial/PortUse.h"
#include "serial/uCom.h"
#include "tests/common/Holder.h"

using namespace kvltest;

namespace {

std::string B64(const QString& text) { return text.toUtf8().toBase64().toStdString(); }

std::uint64_t Fnv(const std::string& s) {
  return kvltest::Fnv(kFnvStart, reinterpret_cast<const unsigned char*>(s.data()), s.size());
}

std::string Hex(std::uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

double Monotonic() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

double CpuSeconds() {
  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  return double(use.ru_utime.tv_sec + use.ru_stime.tv_sec) +
         double(use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1e6;
}

std::string ReadFile(const QString& path) {
  std::ifstream in(path.toStdString(), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Guest {
 public:
  std::string run(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    std::vector<std::string> args;
    for (std::string a; in >> a;) args.push_back(a);
    auto arg = [&](size_t i) { return i < args.size() ? args[i] : std::string(); };
    auto num = [&](size_t i) { return std::atoi(arg(i).c_str()); };

    if (cmd == "window") return window(args);
    if (cmd == "hold") {
      holder_ = std::make_unique<Holder>(arg(0), num(1) != 0);
      if (!holder_->ready()) return "err holder";
      return "ok " + std::to_string(holder_->pid());
    }
    if (cmd == "hold-end") {
      if (!holder_) return "err no holder";
      const Holder::Report r = holder_->finish(std::uint64_t(std::atoll(arg(0).c_str())));
      holder_.reset();
      return "ok count=" + std::to_string(r.count) + " fnv=" + Hex(r.checksum) +
             " exclusive=" + std::to_string(r.exclusive);
    }
    if (!windows_) return "err no window";
    kvl::TBaseform& f = *windows_->main;
    if (cmd == "lines") return lines(f, args);
    if (cmd == "click") {
      const int n = num(0);
      if (n < 1 || n > 16) return "err port";
      f.BtnCom[size_t(n)]->click();
      return "ok " + state(f, n);
    }
    if (cmd == "state") return "ok " + state(f, num(0));
    if (cmd == "dtr" || cmd == "rts") {
      (cmd == "dtr" ? f.ChBxDTR : f.ChBxRTS)->setChecked(num(0) != 0);
      return "ok";
    }
    if (cmd == "timer") {
      num(0) ? f.Timer->start() : f.Timer->stop();
      return "ok";
    }
    if (cmd == "rx-clear") {
      f.ButtonReset->click();
      kvl::RxText.clear();
      return "ok";
    }
    if (cmd == "rx-wait") {
      const size_t want = size_t(std::atoll(arg(0).c_str()));
      QElapsedTimer t;
      t.start();
      const double cpu0 = CpuSeconds();
      WaitFor([&] { return kvl::RxText.size() >= want; }, num(1));
      const qint64 ms = t.elapsed();
      char cpu[32];
      std::snprintf(cpu, sizeof cpu, "%.2f", CpuSeconds() - cpu0);
      // The last `want` bytes of what the pane shows, its line breaks
      // back in the device's CR LF.
      QString pane = PaneText(f);
      std::string shown = pane.toLatin1().toStdString();
      std::string crlf;
      crlf.reserve(shown.size() + shown.size() / 40);
      for (char c : shown) {
        if (c == '\n') crlf += '\r';
        crlf += c;
      }
      if (crlf.size() > want) crlf.erase(0, crlf.size() - want);
      std::string log = logPath_.isEmpty() ? std::string() : ReadFile(logPath_);
      if (log.size() > want) log.erase(0, log.size() - want);
      return "ok count=" + std::to_string(kvl::RxText.size()) + " fnv=" + Hex(Fnv(kvl::RxText)) +
             " pane=" + Hex(Fnv(crlf)) + " log=" + Hex(Fnv(log)) + " logsize=" +
             std::to_string(log.size()) + " ms=" + std::to_string(ms) + " cpu=" + cpu;
    }
    if (cmd == "send") {
      const QString text = QString::fromUtf8(QByteArray::fromBase64(QByteArray::fromStdString(arg(0))));
      f.EdCmdLn[1]->setText(text);
      f.S1RB[1]->setChecked(true);
      if (!f.BtnSendCmd->isEnabled()) return "err send disabled";
      f.BtnSendCmd->click();
      return "ok";
    }
    if (cmd == "close-watch") {
      closeWatch_ = std::make_unique<CloseWatch>();
      return "ok";
    }
    if (cmd == "wait-closed") {
      QElapsedTimer t;
      t.start();
      const bool closed = WaitFor([&] { return kvl::ActiveLink == -1 && kvl::ComPort.Handle < 0; }, num(0));
      char at[32];
      std::snprintf(at, sizeof at, "%.3f", closeWatch_ && closeWatch_->at > 0 ? closeWatch_->at : Monotonic());
      closeWatch_.reset();
      return std::string(closed ? "ok" : "err") + " ms=" + std::to_string(t.elapsed()) + " at=" + at;
    }
    if (cmd == "wait-enabled") {
      const int n = num(0);
      if (n < 1 || n > 16) return "err port";
      QElapsedTimer t;
      t.start();
      const bool on = WaitFor([&] { return f.BtnCom[size_t(n)]->isEnabled(); }, num(1));
      return std::string(on ? "ok" : "err") + " ms=" + std::to_string(t.elapsed()) + " " + state(f, n);
    }
    if (cmd == "probe") {
      const int n = num(0);
      if (n < 1 || n > 16) return "err port";
      kvl::ScanIndex = std::uint8_t(n);
      f.cNewComPort();
      return "ok " + state(f, n);
    }
    if (cmd == "cpu") {
      const double before = CpuSeconds();
      // A measurement over a fixed span, not a wait for a condition: the
      // program's own event loop runs, as it does when nobody waits on it
      // (QTest::qWait would wake it every 10 ms).
      QEventLoop loop;
      QTimer::singleShot(num(0), &loop, &QEventLoop::quit);
      loop.exec();
      char buf[32];
      std::snprintf(buf, sizeof buf, "%.3f", CpuSeconds() - before);
      return std::string("ok cpu=") + buf;
    }
    if (cmd == "send-file") return sendFile(f, arg(0), std::max(1, num(1)));
    if (cmd == "lines-watch") {
      watcher_ = std::make_unique<PanelWatch>(f);
      return "ok";
    }
    if (cmd == "lines-end") {
      if (watcher_) watcher_->note();
      const std::string seen = !watcher_ || watcher_->seen.empty() ? "-" : watcher_->seen;
      watcher_.reset();
      serial_icounter_struct count{};
      int lines = 0;
      const int fd = kvl::ComPort.Handle;
      const bool counted = fd >= 0 && ::ioctl(fd, TIOCGICOUNT, &count) == 0;
      const bool read = fd >= 0 && ::ioctl(fd, TIOCMGET, &lines) == 0;
      return "ok seen=" + seen + " dcd=" + (counted ? std::to_string(count.dcd) : "-") +
             " dsr=" + (counted ? std::to_string(count.dsr) : "-") + " brk=" +
             (counted ? std::to_string(count.brk) : "-") + " rng=" + (counted ? std::to_string(count.rng) : "-") +
             " car=" + (read ? std::to_string(int((lines & TIOCM_CAR) != 0)) : "-") +
             " dsrnow=" + (read ? std::to_string(int((lines & TIOCM_DSR) != 0)) : "-");
    }
    if (cmd == "pane-seq") {
      // The pane's numbered lines ("0001234 " and the rest): how many, and
      // how many do not follow the one before (the numbers wrap at N).
      const int modulo = std::max(1, num(0));
      int count = 0, breaks = 0, prev = -1;
      for (const QString& l : PaneText(f).split(QLatin1Char('\n'))) {
        bool digits = l.size() > 8 && l[7] == QLatin1Char(' ');
        for (int i = 0; digits && i < 7; ++i) digits = l[i].isDigit();
        if (!digits) continue;
        const int v = l.left(7).toInt();
        if (prev >= 0 && v != (prev + 1) % modulo) ++breaks;
        prev = v;
        ++count;
      }
      return "ok lines=" + std::to_string(count) + " breaks=" + std::to_string(breaks);
    }
    if (cmd == "digest") return "ok " + Hex(digest(f));
    if (cmd == "pane") {
      QString pane = PaneText(f);
      return "ok " + B64(pane.right(2000));
    }
    if (cmd == "quit") {
      windows_.reset();
      dir_.reset();
      QCoreApplication::quit();
      return "ok";
    }
    return "err unknown command";
  }

 private:
  std::string window(const std::vector<std::string>& args) {
    windows_.reset();
    dir_.reset();
    std::map<int, std::string> ports;
    std::string extra;
    bool log = false;
    for (const std::string& a : args) {
      if (a == "log") {
        log = true;
        continue;
      }
      const auto eq = a.find('=');
      if (a.rfind("COM", 0) != 0 || eq == std::string::npos) return "err argument " + a;
      ports[std::atoi(a.c_str() + 3)] = a.substr(eq + 1);
    }
    if (log) extra = FirstRunSections() + "[Log]\r\nFile:=session.log\r\n";
    dir_ = std::make_unique<WorkDir>(ports, extra);
    logPath_ = log ? dir_->path() + QStringLiteral("/session.log") : QString();
    windows_ = std::make_unique<Windows>();
    windows_->main->show();
    std::string enabled;
    for (int n = 1; n <= 16; ++n)
      if (windows_->main->BtnCom[size_t(n)]->isEnabled()) enabled += (enabled.empty() ? "" : ",") + std::to_string(n);
    return "ok enabled=" + (enabled.empty() ? std::string("-") : enabled);
  }

  // Notes the DCD (0) and DSR (4) panels whenever an event of the
  // program's thread is about to be delivered: a change made by one event's
  // handler is seen before the next, so every change the window makes shows,
  // in order, without sampling.
  struct PanelWatch : QObject {
    explicit PanelWatch(kvl::TBaseform& f) : form(f) {
      dcd = form.panelText(0);
      dsr = form.panelText(4);
      qApp->installEventFilter(this);
    }
    ~PanelWatch() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject*, QEvent*) override {
      note();
      return false;
    }
    void note() {
      const QString d = form.panelText(0), s = form.panelText(4);
      if (d != dcd) seen += d.isEmpty() ? "D0" : "D1";
      if (s != dsr) seen += s.isEmpty() ? "S0" : "S1";
      dcd = d;
      dsr = s;
    }
    kvl::TBaseform& form;
    QString dcd, dsr;
    std::string seen;
  };

  // Notes when the port is first seen closed, before any event of the
  // program's thread is delivered (the guest's monotonic clock, as udev's
  // monitor shows the kernel's events).
  struct CloseWatch : QObject {
    CloseWatch() { qApp->installEventFilter(this); }
    ~CloseWatch() override { qApp->removeEventFilter(this); }
    bool eventFilter(QObject*, QEvent*) override {
      if (at == 0 && kvl::ComPort.Handle < 0) at = Monotonic();
      return false;
    }
    double at = 0;
  };

  std::string sendFile(kvl::TBaseform& f, const std::string& path, int len) {
    const std::string data = ReadFile(QString::fromStdString(path));
    if (data.empty()) return "err no file";
    QElapsedTimer t;
    t.start();
    const double cpu0 = CpuSeconds();
    f.S1RB[1]->setChecked(true);
    for (size_t at = 0; at < data.size(); at += size_t(len)) {
      // Room for the next line in the queue; it drains as the device reads.
      if (!WaitFor([&] { return f.comWaiting() < 65536; }, 30000)) return "err the queue does not drain";
      f.EdCmdLn[1]->setText(QString::fromLatin1(data.substr(at, size_t(len))));
      if (!f.BtnSendCmd->isEnabled()) return "err send disabled";
      f.BtnSendCmd->click();
    }
    const bool drained = WaitFor([&] { return f.comWaiting() == 0; }, 30000);
    char cpu[32];
    std::snprintf(cpu, sizeof cpu, "%.2f", CpuSeconds() - cpu0);
    return std::string(drained ? "ok" : "err") + " bytes=" + std::to_string(data.size()) +
           " ms=" + std::to_string(t.elapsed()) + " cpu=" + cpu;
  }

  static bool Pick(QComboBox* box, const std::string& text) {
    const int i = box->findText(QString::fromStdString(text));
    if (i < 0) return false;
    box->setCurrentIndex(i);
    return true;
  }

  std::string lines(kvl::TBaseform& f, const std::vector<std::string>& args) {
    if (!f.ChBxFullCom->isChecked()) f.ChBxFullCom->click();
    for (const std::string& a : args) {
      const auto eq = a.find('=');
      if (eq == std::string::npos) return "err argument " + a;
      const std::string key = a.substr(0, eq);
      std::string value = a.substr(eq + 1);
      for (char& c : value)
        if (c == '_') c = ' ';
      const int v = std::atoi(value.c_str());
      bool ok = true;
      if (key == "baud") ok = Pick(f.CBBaudrate, value);
      else if (key == "bits") f.SpEdByteSize->setValue(v);
      else if (key == "parity") f.CBParity->setCurrentIndex(v);
      else if (key == "pflag") f.ChBxParity->setChecked(v != 0);
      else if (key == "stop") f.CBStopBits->setCurrentIndex(v);
      else if (key == "cts") f.ChBxCtsFlow->setChecked(v != 0);
      else if (key == "outx") f.ChBxOutX->setChecked(v != 0);
      else if (key == "inx") f.ChBxInX->setChecked(v != 0);
      else if (key == "dtrctl") ok = Pick(f.CBcDtr, value);
      else if (key == "rtsctl") ok = Pick(f.CBcRts, value);
      else return "err key " + key;
      if (!ok) return "err value " + a;
    }
    return "ok";
  }

  static std::string state(kvl::TBaseform& f, int n) {
    if (n < 1 || n > 16) return "bad=1";
    QPushButton* b = f.BtnCom[size_t(n)];
    const QString lastLine = PaneText(f).trimmed().section(QLatin1Char('\n'), -1);
    return "enabled=" + std::to_string(b->isEnabled()) + " down=" + std::to_string(b->isChecked()) +
           " active=" + std::to_string(kvl::ActiveLink) + " open=" + std::to_string(kvl::ComPort.Handle >= 0) +
           " dtr=" + std::to_string(f.ChBxDTR->isChecked()) + " rts=" + std::to_string(f.ChBxRTS->isChecked()) +
           " modem=" + std::to_string(kvl::ComModemStatus(kvl::ComPort)) + " panels=" +
           B64(f.panelText(0) + "|" + f.panelText(3) + "|" + f.panelText(4) + "|" + f.panelText(5) + "|" +
               f.panelText(6) + "|" + f.panelText(7) + "|" + f.panelText(8)) +
           " hint=" + B64(b->toolTip()) + " last=" + B64(lastLine) +
           " error=" + std::to_string(kvl::ComPort.problem.error) + " plan=" +
           B64(QString::fromLatin1(kvl::ComPort.line->plan.refusal));
  }

  // Everything of the window that a pulled adapter must leave alone: every
  // control but the port buttons, the line boxes and the controls an open
  // port switches, and the panes and the status bar, which report it.
  static std::uint64_t digest(kvl::TBaseform& f) {
    std::uint64_t h = kFnvStart;
    auto add = [&](const QString& s) {
      const QByteArray b = s.toUtf8();
      h = kvltest::Fnv(h, reinterpret_cast<const unsigned char*>(b.constData()), size_t(b.size()));
    };
    for (QWidget* w : f.findChildren<QWidget*>()) {
      if (f.SerialCommandControls.contains(w) || w == f.ChBxDTR || w == f.ChBxRTS) continue;
      if (std::find(f.BtnCom.begin(), f.BtnCom.end(), w) != f.BtnCom.end()) continue;
      if (qobject_cast<QLineEdit*>(w) == nullptr && qobject_cast<QAbstractButton*>(w) == nullptr &&
          qobject_cast<QComboBox*>(w) == nullptr)
        continue;
      add(w->objectName());
      add(w->isEnabled() ? QStringLiteral("E") : QStringLiteral("d"));
      if (auto* b = qobject_cast<QAbstractButton*>(w)) add(b->isChecked() ? QStringLiteral("X") : QStringLiteral("o"));
      if (auto* e = qobject_cast<QLineEdit*>(w)) add(e->text());
      if (auto* c = qobject_cast<QComboBox*>(w)) add(c->currentText());
    }
    return h;
  }

  std::unique_ptr<WorkDir> dir_;
  std::unique_ptr<Windows> windows_;
  std::unique_ptr<Holder> holder_;
  std::unique_ptr<PanelWatch> watcher_;
  std::unique_ptr<CloseWatch> closeWatch_;
  QString logPath_;
};

// --- The device end of the gadget (no window) ---------------------------

volatile sig_atomic_t g_end = 0;

void SleepMs(long ms) {
  timespec t{ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&t, &t) != 0 && errno == EINTR && !g_end) {
  }
}

int OpenRaw(const char* path) {
  const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  if (::tcgetattr(fd, &t) == 0) {
    ::cfmakeraw(&t);
    ::tcsetattr(fd, TCSANOW, &t);
  }
  return fd;
}

std::string ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Holds the device end: what the host sends lands in `recv`, `send` goes
// out once or over and over. A dropped link (the host end unplugged) hangs
// the device end up; it is opened again until the link is back.
int Serve(const char* path, const char* sendPath, const char* recvPath, bool loop) {
  const std::string send = std::string(sendPath) == "-" ? std::string() : ReadAll(sendPath);
  const int out = ::open(recvPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (out < 0) return 2;
  size_t at = 0;
  while (!g_end) {
    const int fd = OpenRaw(path);
    if (fd < 0) {
      SleepMs(20);
      continue;
    }
    char buf[16384];
    while (!g_end) {
      const bool more = at < send.size();
      pollfd p{fd, short(POLLIN | (more ? POLLOUT : 0)), 0};
      if (::poll(&p, 1, 200) < 0) continue;
      if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
      if (p.revents & POLLIN) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno != EAGAIN) break;
        if (n > 0) (void)!::write(out, buf, size_t(n));
      }
      if (more && (p.revents & POLLOUT)) {
        const ssize_t n = ::write(fd, send.data() + at, std::min<size_t>(send.size() - at, 4096));
        if (n < 0 && errno != EAGAIN) break;
        if (n > 0) at += size_t(n);
        if (loop && at == send.size()) at = 0;
      }
    }
    ::close(fd);
  }
  ::close(out);
  return 0;
}

// Opens and closes the device end at random intervals: DCD and DSR follow
// at the host end through the ACM function's serial-state notification.
int Toggle(const char* path, int count, unsigned seed, const char* logPath) {
  std::mt19937 rnd(seed);
  auto hold = [&] {
    // A third under 20 ms, the rest up to 80 ms.
    return rnd() % 3 == 0 ? long(2 + rnd() % 17) : long(20 + rnd() % 61);
  };
  std::string log;
  for (int i = 0; i < count && !g_end; ++i) {
    const int fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return 2;
    log += '1';
    SleepMs(hold());
    ::close(fd);
    log += '0';
    SleepMs(hold());
  }
  log += " done\n";
  const int out = ::open(logPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) return 2;
  (void)!::write(out, log.data(), log.size());
  ::close(out);
  return 0;
}

int SendBreak(const char* path, int ms) {
  const int fd = OpenRaw(path);
  if (fd < 0) return 2;
  // Held open a moment on both sides of the break: the host end sees the
  // lines come on first and the break on its own.
  SleepMs(300);
  const int rc = ::ioctl(fd, TCSBRKP, ms / 100);
  SleepMs(300);
  ::close(fd);
  return rc == 0 ? 0 : 3;
}

int DeviceEnd(int argc, char** argv) {
  signal(SIGTERM, [](int) { g_end = 1; });
  signal(SIGPIPE, SIG_IGN);
  const std::string mode = argc > 2 ? argv[2] : "";
  if (mode == "serve" && argc == 7) return Serve(argv[3], argv[4], argv[5], std::atoi(argv[6]) == 1);
  if (mode == "toggle" && argc == 7) return Toggle(argv[3], std::atoi(argv[4]), unsigned(std::atoi(argv[5])), argv[6]);
  if (mode == "break" && argc == 5) return SendBreak(argv[3], std::atoi(argv[4]));
  std::fputs("device serve|toggle|break ...\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "device") return DeviceEnd(argc, argv);
  QApplication app(argc, argv);
  // The machine's own lock directories, /proc, /sys and by-id names: this
  // runs in the rig's virtual machine, never on a developer's machine.
  kvl::SetPortUsePlaces(kvl::PortUsePlaces{});
  CaptureReporter reporter;
  Guest guest;
  std::string pending;
  QSocketNotifier notifier(STDIN_FILENO, QSocketNotifier::Read);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    char buf[4096];
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n <= 0) {
      QCoreApplication::quit();
      return;
    }
    pending.append(buf, size_t(n));
    // A command runs with events processed inside it: no second command
    // may start meanwhile.
    notifier.setEnabled(false);
    for (auto nl = pending.find('\n'); nl != std::string::npos; nl = pending.find('\n')) {
      const std::string line = pending.substr(0, nl);
      pending.erase(0, nl + 1);
      std::string answer;
      try {
        answer = guest.run(line);
      } catch (const std::exception& e) {
        answer = std::string("err exception ") + e.what();
      }
      answer += '\n';
      (void)!::write(STDOUT_FILENO, answer.data(), answer.size());
    }
    notifier.setEnabled(true);
  });
  std::fputs("ready\n", stdout);
  std::fflush(stdout);
  return app.exec();
}
