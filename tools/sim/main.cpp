// kvl-sim: a simulated KVL modem on a pseudo-terminal and/or a TCP port.
// One thread, one ppoll() loop. See --help for the options.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "tools/sim/CommandReader.h"
#include "tools/sim/DeviceModel.h"
#include "tools/sim/Options.h"
#include "tools/sim/Payload.h"

namespace {

using namespace kvl::sim;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

volatile sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

constexpr std::size_t kMaxOutput = 1u << 20;        // queued replies per link
constexpr std::size_t kChunk = 16384;               // bulk write size
constexpr std::size_t kBulkPerRound = 1u << 20;     // bulk bytes per loop round
constexpr std::size_t kReadPerRound = 1u << 16;     // received bytes per loop round
constexpr std::size_t kMaxClients = 16;
constexpr milliseconds kSlaveRecheck{100};          // while no terminal has the pty open
constexpr milliseconds kIdleWake{1000};

std::string errnoText() { return std::strerror(errno); }

void logLine(const std::string& s) { std::fprintf(stderr, "kvl-sim: %s\n", s.c_str()); }

std::string escaped(std::string_view s) {
  std::string r;
  for (unsigned char c : s) {
    if (c == '\r') r += "\\r";
    else if (c == '\n') r += "\\n";
    else if (c == '\\') r += "\\\\";
    else if (c < 0x20 || c >= 0x7f) {
      char b[5];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      r += b;
    } else r += static_cast<char>(c);
  }
  return r;
}

// The bytes of --send-file or --send-bytes, read by offset.
class BulkSource {
 public:
  ~BulkSource() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool open(const Options& o, std::string& error) {
    if (o.sendBytes) {
      enabled_ = true;
      limit_ = *o.sendBytes;
      return true;
    }
    if (o.sendFile.empty()) return true;
    fd_ = ::open(o.sendFile.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
      error = "cannot read " + o.sendFile + (fd_ < 0 ? ": " + errnoText() : ": not a regular file");
      return false;
    }
    enabled_ = true;
    return true;
  }
  bool enabled() const { return enabled_; }
  // Bytes from `offset`; 0 at the end; -1 on a read error.
  ssize_t read(std::uint64_t offset, char* buf, std::size_t n) const {
    if (fd_ >= 0) {
      ssize_t r;
      do r = ::pread(fd_, buf, n, static_cast<off_t>(offset));
      while (r < 0 && errno == EINTR);
      return r;
    }
    if (offset >= limit_) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, limit_ - offset));
    fillPattern(offset, buf, n);
    return static_cast<ssize_t>(n);
  }

 private:
  bool enabled_ = false;
  int fd_ = -1;
  std::uint64_t limit_ = 0;
};

struct Bulk {
  bool active = false;
  std::uint64_t sent = 0;
  Fnv1a64 hash;
  Clock::time_point start;
};

struct Link {
  Link(std::string n, int f, bool p, milliseconds pause) : name(std::move(n)), fd(f), isPty(p), reader(pause) {}
  std::string name;
  int fd;
  bool isPty;
  bool up = false;  // pty: a terminal has the slave open; TCP: connected
  bool dead = false;
  CommandReader reader;
  std::string out;
  Bulk bulk;
};

class Simulator {
 public:
  explicit Simulator(Options o) : opt_(std::move(o)) {}
  ~Simulator() { cleanup(); }
  int run();

 private:
  bool presetDevice();
  bool openLinks();
  Clock::time_point pollSet(Clock::time_point now, std::vector<pollfd>& fds, std::vector<Link*>& polled);
  void dispatch(const std::vector<pollfd>& fds, const std::vector<Link*>& polled);
  void dropDeadClients();
  bool openPty();
  bool openTcp();
  bool slaveOpen() const;
  void checkPty();
  void serviceTimers(Clock::time_point now);
  void acceptClients();
  void readFrom(Link& l);
  void process(Link& l, const ReceivedCommand& c);
  void queue(Link& l, std::string_view bytes);
  void flush(Link& l);
  void linkUp(Link& l);
  void linkDown(Link& l, const std::string& why);
  void finishBulk(Link& l, bool complete);
  void writeState();
  void cleanup();
  std::vector<Link*> links();

  Options opt_;
  DeviceModel model_;
  BulkSource source_;
  std::unique_ptr<Link> pty_;
  std::string slavePath_;
  bool linkMade_ = false;
  int listenFd_ = -1;
  std::vector<std::unique_ptr<Link>> clients_;
  unsigned nextClient_ = 1;
  Clock::time_point nextTelemetry_;
  unsigned telemetrySeq_ = 0;
  std::string lastDump_;
  bool stateWarned_ = false;
};

std::vector<Link*> Simulator::links() {
  std::vector<Link*> r;
  if (pty_) r.push_back(pty_.get());
  for (auto& c : clients_) r.push_back(c.get());
  return r;
}

bool Simulator::openPty() {
  const int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (m < 0) {
    logLine("posix_openpt: " + errnoText());
    return false;
  }
  pty_ = std::make_unique<Link>("pty", m, true, opt_.pause);
  char name[128];
  if (::grantpt(m) != 0 || ::unlockpt(m) != 0 || ::ptsname_r(m, name, sizeof name) != 0) {
    logLine("cannot set up the pseudo-terminal: " + errnoText());
    return false;
  }
  slavePath_ = name;
  // Raw mode on the slave before anyone sees its path. Opening and closing it
  // here also puts the master into its "no terminal" state (POLLHUP), so the
  // first real open is seen the same way as every later one.
  const int s = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  if (s < 0 || ::tcgetattr(s, &t) != 0) {
    logLine("cannot open " + slavePath_ + ": " + errnoText());
    if (s >= 0) ::close(s);
    return false;
  }
  ::cfmakeraw(&t);
  ::cfsetspeed(&t, B115200);
  const bool ok = ::tcsetattr(s, TCSANOW, &t) == 0;
  ::close(s);
  if (!ok) {
    logLine("cannot set raw mode on " + slavePath_ + ": " + errnoText());
    return false;
  }

  if (!opt_.link.empty()) {
    struct stat st {};
    if (::lstat(opt_.link.c_str(), &st) == 0) {
      if (!S_ISLNK(st.st_mode)) {
        logLine(opt_.link + " exists and is not a symlink; not replacing it");
        return false;
      }
      ::unlink(opt_.link.c_str());
    }
    if (::symlink(slavePath_.c_str(), opt_.link.c_str()) != 0) {
      logLine("cannot create the symlink " + opt_.link + ": " + errnoText());
      return false;
    }
    linkMade_ = true;
  }
  return true;
}

bool Simulator::openTcp() {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(opt_.tcpPort));
  if (::inet_pton(AF_INET, opt_.bind.c_str(), &a.sin_addr) != 1) {
    logLine("invalid --bind address '" + opt_.bind + "' (an IPv4 address is expected)");
    return false;
  }
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) {
    logLine("socket: " + errnoText());
    return false;
  }
  const int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(listenFd_, 8) != 0) {
    logLine("cannot listen on " + opt_.bind + ":" + std::to_string(opt_.tcpPort) + ": " + errnoText());
    return false;
  }
  socklen_t len = sizeof a;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len);
  opt_.tcpPort = ntohs(a.sin_port);
  return true;
}

// While no terminal has the slave open, the master reports POLLHUP (and
// reads fail with EIO).
bool Simulator::slaveOpen() const {
  pollfd p{pty_->fd, POLLIN, 0};
  if (::poll(&p, 1, 0) < 0) return false;
  return !(p.revents & (POLLHUP | POLLERR));
}

void Simulator::checkPty() {
  if (pty_ && !pty_->up && slaveOpen()) linkUp(*pty_);
}

void Simulator::linkUp(Link& l) {
  l.up = true;
  l.reader.reset();
  l.out.clear();
  if (opt_.verbose && l.isPty) logLine(l.name + ": terminal attached");
  if (source_.enabled()) {
    l.bulk = Bulk{};
    l.bulk.active = true;
    l.bulk.start = Clock::now();
  }
}

void Simulator::linkDown(Link& l, const std::string& why) {
  if (!l.up) return;
  if (l.bulk.active) finishBulk(l, false);
  l.up = false;
  l.out.clear();
  l.reader.reset();
  if (opt_.verbose) logLine(l.name + ": " + why);
  if (!l.isPty) l.dead = true;
}

void Simulator::finishBulk(Link& l, bool complete) {
  const auto ms = std::chrono::duration_cast<milliseconds>(Clock::now() - l.bulk.start).count();
  std::fprintf(stderr, "SENT %s bytes=%llu fnv1a64=%s ms=%lld%s\n", l.name.c_str(),
               static_cast<unsigned long long>(l.bulk.sent), l.bulk.hash.hex().c_str(),
               static_cast<long long>(ms), complete ? "" : " aborted");
  std::fflush(stderr);
  l.bulk.active = false;
}

void Simulator::queue(Link& l, std::string_view bytes) {
  if (!l.up || bytes.empty()) return;
  if (l.out.size() + bytes.size() > kMaxOutput) {
    if (opt_.verbose) logLine(l.name + ": output backlog full, " + std::to_string(bytes.size()) + " bytes dropped");
    return;
  }
  l.out.append(bytes);
  flush(l);
}

void Simulator::flush(Link& l) {
  auto put = [&](const char* p, std::size_t n) -> ssize_t {
    ssize_t w;
    do w = l.isPty ? ::write(l.fd, p, n) : ::send(l.fd, p, n, MSG_NOSIGNAL);
    while (w < 0 && errno == EINTR);
    if (w < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      linkDown(l, l.isPty ? "terminal closed" : "connection lost: " + errnoText());
      return -1;
    }
    return w < 0 ? 0 : w;
  };

  while (l.up && !l.out.empty()) {
    const ssize_t w = put(l.out.data(), l.out.size());
    if (w <= 0) return;
    l.out.erase(0, static_cast<std::size_t>(w));
  }
  if (!l.up || !l.bulk.active || !l.out.empty()) return;

  char buf[kChunk];
  std::size_t round = 0;
  while (l.up && l.bulk.active && round < kBulkPerRound) {
    const ssize_t n = source_.read(l.bulk.sent, buf, sizeof buf);
    if (n < 0) {
      logLine("reading " + opt_.sendFile + ": " + errnoText());
      finishBulk(l, false);
      return;
    }
    if (n == 0) {
      finishBulk(l, true);
      return;
    }
    const ssize_t w = put(buf, static_cast<std::size_t>(n));
    if (w <= 0) return;
    l.bulk.hash.update(std::string_view(buf, static_cast<std::size_t>(w)));
    l.bulk.sent += static_cast<std::uint64_t>(w);
    round += static_cast<std::size_t>(w);
    if (w < n) return;  // the link is full; wait for POLLOUT
  }
}

void Simulator::process(Link& l, const ReceivedCommand& c) {
  if (opt_.verbose) logLine(l.name + " <- " + (c.tooLong ? "(over-long line dropped)" : escaped(c.text)));
  if (c.tooLong) {
    queue(l, DeviceModel::tooLongReply());
    return;
  }
  if (model_.echo()) queue(l, c.text + "\r");
  queue(l, model_.handle(c.text));
  writeState();
}

void Simulator::writeState() {
  if (opt_.stateFile.empty()) return;
  std::string d = model_.dump();
  if (d == lastDump_) return;
  const std::string tmp = opt_.stateFile + ".tmp";
  FILE* f = std::fopen(tmp.c_str(), "w");
  bool ok = f && std::fwrite(d.data(), 1, d.size(), f) == d.size();
  if (f) ok = (std::fclose(f) == 0) && ok;
  ok = ok && std::rename(tmp.c_str(), opt_.stateFile.c_str()) == 0;
  if (!ok) {
    if (!stateWarned_) logLine("cannot write " + opt_.stateFile + ": " + errnoText());
    stateWarned_ = true;
    return;
  }
  lastDump_ = std::move(d);
}

void Simulator::readFrom(Link& l) {
  char buf[4096];
  std::size_t total = 0;
  while (l.up && total < kReadPerRound) {
    const ssize_t n = ::read(l.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      // pty: EIO once the terminal has closed the slave. TCP: 0 at the end.
      linkDown(l, l.isPty ? "terminal closed" : n == 0 ? "disconnected" : "connection lost: " + errnoText());
      return;
    }
    total += static_cast<std::size_t>(n);
    for (const auto& c : l.reader.feed(std::string_view(buf, static_cast<std::size_t>(n)), Clock::now()))
      process(l, c);
  }
}

void Simulator::acceptClients() {
  for (;;) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && opt_.verbose)
        logLine("accept: " + errnoText());
      return;
    }
    char addr[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
    const std::string from = std::string(addr) + ":" + std::to_string(ntohs(peer.sin_port));
    if (clients_.size() >= kMaxClients) {
      if (opt_.verbose) logLine("refusing " + from + ": too many connections");
      ::close(fd);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto l = std::make_unique<Link>("tcp#" + std::to_string(nextClient_++), fd, false, opt_.pause);
    if (opt_.verbose) logLine(l->name + ": connection from " + from);
    linkUp(*l);
    flush(*l);
    clients_.push_back(std::move(l));
  }
}

void Simulator::serviceTimers(Clock::time_point now) {
  for (Link* l : links())
    for (const auto& c : l->reader.poll(now)) process(*l, c);

  if (opt_.telemetrySeconds > 0 && now >= nextTelemetry_) {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    const std::string line = model_.telemetryLine(tm, telemetrySeq_++);
    for (Link* l : links()) queue(*l, line);
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(opt_.telemetrySeconds));
    nextTelemetry_ += period;
    if (nextTelemetry_ <= now) nextTelemetry_ = now + period;
  }
}

// Signals are blocked except inside ppoll(), so a stop request can never
// slip in between the check and the wait. Returns the mask ppoll() waits with.
sigset_t InstallStopSignals() {
  sigset_t stopSignals, waitMask;
  sigemptyset(&stopSignals);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stopSignals, s);
  sigprocmask(SIG_BLOCK, &stopSignals, &waitMask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&waitMask, s);
  struct sigaction sa {};
  sa.sa_handler = onSignal;
  sigemptyset(&sa.sa_mask);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  return waitMask;
}

bool Simulator::presetDevice() {
  std::string error;
  if (!source_.open(opt_, error)) {
    logLine(error);
    return false;
  }
  if (opt_.mask) model_.state().simMask = *opt_.mask;
  for (const auto& [index, entry] : opt_.contacts) model_.state().phonebook[index - 1] = entry;
  model_.setEcho(opt_.echo);
  return true;
}

bool Simulator::openLinks() {
  if (opt_.pty && !openPty()) return false;
  if (opt_.tcpPort >= 0 && !openTcp()) return false;
  if (pty_) std::printf("PTY %s\n", slavePath_.c_str());
  if (listenFd_ >= 0) std::printf("TCP %s:%d\n", opt_.bind.c_str(), opt_.tcpPort);
  std::fflush(stdout);
  writeState();
  nextTelemetry_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                      std::chrono::duration<double>(opt_.telemetrySeconds));
  return true;
}

// The descriptors to wait on (the listening socket first, then the links
// that are up, as in `polled`) and the time to wake at the latest.
Clock::time_point Simulator::pollSet(Clock::time_point now, std::vector<pollfd>& fds,
                                     std::vector<Link*>& polled) {
  fds.clear();
  polled.clear();
  if (listenFd_ >= 0) fds.push_back({listenFd_, POLLIN, 0});
  auto wake = now + kIdleWake;
  if (pty_ && !pty_->up) wake = std::min(wake, now + kSlaveRecheck);
  if (opt_.telemetrySeconds > 0) wake = std::min(wake, nextTelemetry_);
  for (Link* l : links()) {
    if (!l->up) continue;
    const bool wantsOut = !l->out.empty() || l->bulk.active;
    fds.push_back({l->fd, static_cast<short>(POLLIN | (wantsOut ? POLLOUT : 0)), 0});
    polled.push_back(l);
    if (auto d = l->reader.deadline()) wake = std::min(wake, *d);
  }
  return wake;
}

void Simulator::dispatch(const std::vector<pollfd>& fds, const std::vector<Link*>& polled) {
  std::size_t i = 0;
  if (listenFd_ >= 0 && (fds[i++].revents & POLLIN)) acceptClients();
  for (std::size_t k = 0; k < polled.size(); ++k, ++i) {
    Link& l = *polled[k];
    const short ev = fds[i].revents;
    if (ev & POLLIN) readFrom(l);
    if (l.up && (ev & POLLOUT)) flush(l);
    if (l.up && (ev & (POLLHUP | POLLERR)) && !(ev & POLLIN))
      linkDown(l, l.isPty ? "terminal closed" : "connection closed");
  }
}

void Simulator::dropDeadClients() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    if ((*it)->dead) {
      ::close((*it)->fd);
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

int Simulator::run() {
  if (!presetDevice()) return 1;
  const sigset_t waitMask = InstallStopSignals();
  if (!openLinks()) return 1;

  std::vector<pollfd> fds;
  std::vector<Link*> polled;
  while (!gStop) {
    Clock::time_point now = Clock::now();
    checkPty();
    serviceTimers(now);
    const auto wake = pollSet(now, fds, polled);
    const auto wait = std::max(Clock::duration::zero(), wake - now);
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count() + 999999;
    timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    if (::ppoll(fds.data(), fds.size(), &ts, &waitMask) < 0) {
      if (errno == EINTR) continue;
      logLine("ppoll: " + errnoText());
      return 1;
    }
    dispatch(fds, polled);
    dropDeadClients();
  }
  if (opt_.verbose) logLine("stopping");
  return 0;
}

void Simulator::cleanup() {
  for (Link* l : links())
    if (l->up && l->bulk.active) finishBulk(*l, false);
  for (auto& c : clients_) ::close(c->fd);
  clients_.clear();
  if (listenFd_ >= 0) ::close(listenFd_);
  listenFd_ = -1;
  if (linkMade_) {
    // Remove the symlink only while it still points at our slave.
    char target[256];
    const ssize_t n = ::readlink(opt_.link.c_str(), target, sizeof target - 1);
    if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == slavePath_) ::unlink(opt_.link.c_str());
    linkMade_ = false;
  }
  if (pty_) ::close(pty_->fd);
  pty_.reset();
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const std::string program = argc > 0 ? argv[0] : "kvl-sim";
  std::string error;
  auto opts = parseOptions(args, error);
  if (!opts) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), error.c_str());
    return 2;
  }
  if (opts->help) {
    std::fputs(usage(program).c_str(), stdout);
    return 0;
  }
  Simulator sim(std::move(*opts));
  return sim.run();
}
