// The kvl-sim program itself: a pseudo-terminal and a loopback TCP port
// served at once, the pty surviving a terminal that opens and closes it,
// the byte stream with its reported checksum, and a clean stop.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "tools/sim/Payload.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
constexpr auto kTimeout = 15s;

std::string simPath() {
  // The test runs from <build>/tests; the simulator is <build>/tools/kvl-sim.
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return {};
  std::string p(self, static_cast<std::size_t>(n));
  for (int up = 0; up < 2; ++up) p.resize(p.rfind('/'));
  return p + "/tools/kvl-sim";
}

bool contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// Appends what `fd` delivers to `buf` until `done(buf)` holds, the other end
// closes, or the deadline passes. Returns whether `done` holds.
bool readUntil(int fd, std::string& buf, const std::function<bool(const std::string&)>& done,
               Clock::time_point deadline) {
  while (!done(buf)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char b[65536];
    const ssize_t n = ::read(fd, b, sizeof b);
    if (n > 0) {
      buf.append(b, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
      return done(buf);
    }
  }
  return true;
}

bool readUntil(int fd, std::string& buf, const std::string& needle, Clock::time_point deadline) {
  return readUntil(fd, buf, [&](const std::string& b) { return contains(b, needle); }, deadline);
}

void writeAll(int fd, std::string_view s) {
  while (!s.empty()) {
    const ssize_t n = ::write(fd, s.data(), s.size());
    ASSERT_GT(n, 0) << std::strerror(errno);
    s.remove_prefix(static_cast<std::size_t>(n));
  }
}

int connectLoopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// CPU time (user + system) a process has used, in clock ticks.
long cpuTicks(pid_t pid) {
  std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
  std::string all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::istringstream rest(all.substr(all.rfind(')') + 2));
  std::string field;
  long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stol(field);
    if (i == 15) stime = std::stol(field);
  }
  return utime + stime;
}

class SimProcess {
 public:
  ~SimProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  bool start(const std::vector<std::string>& args) {
    const std::string path = simPath();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
      ADD_FAILURE() << "kvl-sim not found at " << path << " (build the kvl-sim target)";
      return false;
    }
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    std::vector<std::string> all{path};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, path.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
    if (rc != 0) pid_ = -1;
    return rc == 0;
  }

  // The value of the first stdout line "<key> <value>".
  std::optional<std::string> announced(const std::string& key) {
    const std::string head = key + " ";
    auto find = [&](const std::string& b) -> std::optional<std::string> {
      std::istringstream lines(b);
      std::string line;
      while (std::getline(lines, line))
        if (line.rfind(head, 0) == 0 && b.find(line + "\n") != std::string::npos) return line.substr(head.size());
      return std::nullopt;
    };
    readUntil(out_, stdout_, [&](const std::string& b) { return find(b).has_value(); }, Clock::now() + kTimeout);
    return find(stdout_);
  }

  bool waitStderr(const std::string& needle) { return readUntil(err_, stderr_, needle, Clock::now() + kTimeout); }
  const std::string& stderrText() const { return stderr_; }
  const std::string& stdoutText() const { return stdout_; }
  pid_t pid() const { return pid_; }

  // Sends `sig` (0: none) and waits for the exit; returns the exit status,
  // or -1 when the process did not end in time.
  int finish(int sig) {
    if (pid_ <= 0) return -1;
    if (sig) ::kill(pid_, sig);
    const auto deadline = Clock::now() + kTimeout;
    // Both pipes reach their end when the process exits.
    const bool ended = drain(out_, stdout_, deadline) && drain(err_, stderr_, deadline);
    int status = 0;
    if (!ended || ::waitpid(pid_, &status, 0) != pid_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      pid_ = -1;
      return -1;
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

 private:
  // Reads `fd` to its end; false if the deadline comes first.
  static bool drain(int fd, std::string& buf, Clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) return false;
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char b[65536];
      const ssize_t n = ::read(fd, b, sizeof b);
      if (n == 0) return true;
      if (n > 0) buf.append(b, static_cast<std::size_t>(n));
      else if (errno != EAGAIN && errno != EINTR) return true;
    }
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string stdout_;
  std::string stderr_;
};

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/kvl-sim-test-XXXXXX";
    path_ = ::mkdtemp(tmpl) ? tmpl : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string readFile(const std::string& path) {
  std::ifstream f(path);
  return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(SimProcess, PtyAndTcpServeOneDeviceAndStopCleanly) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string link = dir.path() + "/com1";
  const std::string state = dir.path() + "/state";
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", "--link", link, "--tcp", "0", "--state", state}));
  const auto ptyPath = sim.announced("PTY");
  const auto tcpAddr = sim.announced("TCP");
  ASSERT_TRUE(ptyPath && tcpAddr) << sim.stdoutText() << sim.stderrText();
  ASSERT_EQ(tcpAddr->rfind("127.0.0.1:", 0), 0u);
  const int port = std::atoi(tcpAddr->substr(10).c_str());

  char target[256] = {};
  ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), *ptyPath);

  // Serial side: a schedule set, as the SIM window sends it.
  int tty = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(tty, 0) << std::strerror(errno);
  writeAll(tty, "ActSim=256\r");
  std::string fromTty;
  EXPECT_TRUE(readUntil(tty, fromTty, "\r\nOK\r\n", Clock::now() + kTimeout)) << fromTty;

  // TCP side: the same device answers the ask.
  const int sock = connectLoopback(port);
  ASSERT_GE(sock, 0) << std::strerror(errno);
  writeAll(sock, "cKVL>ActSim\r");
  std::string fromSock;
  EXPECT_TRUE(readUntil(sock, fromSock, "\r\nOK\r\n", Clock::now() + kTimeout)) << fromSock;
  EXPECT_TRUE(contains(fromSock, "Bit registers work on SIM2\r\nSIM2 = 256 -->")) << fromSock;

  // The terminal probes the port (open, close) and then opens it for good;
  // a one-click command without line end is ended by the pause.
  ::close(tty);
  tty = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ::close(tty);
  tty = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(tty, 0);
  writeAll(tty, "LogOn ActSim");
  fromTty.clear();
  EXPECT_TRUE(readUntil(tty, fromTty, "\r\nOK\r\n", Clock::now() + kTimeout)) << fromTty;
  EXPECT_TRUE(contains(fromTty, "Config mode: ON")) << fromTty;
  EXPECT_TRUE(contains(fromTty, "SIM2 = 256 -->")) << fromTty;

  // The state file follows: it is rewritten before the next command is read.
  writeAll(sock, "cKVL>AT\r");
  fromSock.clear();
  EXPECT_TRUE(readUntil(sock, fromSock, "\r\nOK\r\n", Clock::now() + kTimeout));
  const std::string dump = readFile(state);
  EXPECT_TRUE(contains(dump, "LogOn=1\n")) << dump;
  EXPECT_TRUE(contains(dump, "ActSim=256\n")) << dump;

  ::close(tty);
  ::close(sock);
  EXPECT_EQ(sim.finish(SIGTERM), 0) << sim.stderrText();
  struct stat st {};
  EXPECT_NE(::lstat(link.c_str(), &st), 0) << "the symlink outlived the simulator";
}

TEST(SimProcess, SendBytesStreamsThePatternToEveryConnectionWithItsChecksum) {
  constexpr std::size_t kBytes = 300000;
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--tcp", "0", "--send-bytes", std::to_string(kBytes)}));
  const auto addr = sim.announced("TCP");
  ASSERT_TRUE(addr) << sim.stderrText();
  const int port = std::atoi(addr->substr(addr->rfind(':') + 1).c_str());

  std::string expected(kBytes, '\0');
  kvl::sim::fillPattern(0, expected.data(), kBytes);
  kvl::sim::Fnv1a64 hash;
  hash.update(expected);

  for (int connection = 1; connection <= 2; ++connection) {
    SCOPED_TRACE(connection);
    const int sock = connectLoopback(port);
    ASSERT_GE(sock, 0);
    std::string got;
    EXPECT_TRUE(readUntil(sock, got, [](const std::string& b) { return b.size() >= kBytes; },
                          Clock::now() + kTimeout));
    EXPECT_EQ(got.size(), kBytes);
    EXPECT_TRUE(got == expected);
    const std::string report =
        "SENT tcp#" + std::to_string(connection) + " bytes=" + std::to_string(kBytes) + " fnv1a64=" + hash.hex() + " ms=";
    EXPECT_TRUE(sim.waitStderr(report)) << sim.stderrText();
    // Commands still work once the stream is through.
    writeAll(sock, "cKVL>AT\r");
    std::string reply;
    EXPECT_TRUE(readUntil(sock, reply, "\r\nOK\r\n", Clock::now() + kTimeout)) << reply;
    ::close(sock);
  }
  EXPECT_EQ(sim.finish(SIGINT), 0);
}

TEST(SimProcess, ClosedPtyCostsNoCpuWhileTelemetryFlowsOverTcp) {
  SimProcess sim;
  ASSERT_TRUE(sim.start({"--pty", "--tcp", "0", "--telemetry", "0.05"}));
  const auto ptyPath = sim.announced("PTY");
  const auto addr = sim.announced("TCP");
  ASSERT_TRUE(ptyPath && addr) << sim.stderrText();

  // Telemetry reaches a terminal on the pty...
  int tty = ::open(ptyPath->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(tty, 0);
  std::string fromTty;
  EXPECT_TRUE(readUntil(tty, fromTty, [](const std::string& b) {
    const auto at = b.find("$TLM,");
    return at != std::string::npos && b.find("C,SIM=", at) != std::string::npos && b.find("\r\n", at) != std::string::npos;
  }, Clock::now() + kTimeout)) << fromTty;
  ::close(tty);

  // ...and, with the pty closed again (reads on its master fail), to a TCP
  // client. Twenty lines there take a second; a simulator spinning on the
  // closed pty would burn that second of CPU.
  const int sock = connectLoopback(std::atoi(addr->substr(addr->rfind(':') + 1).c_str()));
  ASSERT_GE(sock, 0);
  const long before = cpuTicks(sim.pid());
  std::string fromSock;
  auto lines = [](const std::string& b) {
    std::size_t n = 0;
    for (std::size_t at = b.find("$TLM,"); at != std::string::npos; at = b.find("$TLM,", at + 1)) ++n;
    return n;
  };
  EXPECT_TRUE(readUntil(sock, fromSock, [&](const std::string& b) { return lines(b) >= 20; },
                        Clock::now() + kTimeout));
  const long used = cpuTicks(sim.pid()) - before;
  EXPECT_LT(used, ::sysconf(_SC_CLK_TCK) / 4) << "CPU ticks used: " << used;
  ::close(sock);
  EXPECT_EQ(sim.finish(SIGTERM), 0);
}

TEST(SimProcess, HelpAndBadOptions) {
  SimProcess help;
  ASSERT_TRUE(help.start({"--help"}));
  EXPECT_EQ(help.finish(0), 0);
  EXPECT_TRUE(contains(help.stdoutText(), "--pty")) << help.stdoutText();

  SimProcess bad;
  ASSERT_TRUE(bad.start({"--pty", "--bogus"}));
  EXPECT_EQ(bad.finish(0), 2);
  EXPECT_TRUE(contains(bad.stderrText(), "--bogus"));

  SimProcess badBind;
  ASSERT_TRUE(badBind.start({"--tcp", "0", "--bind", "not-an-address"}));
  EXPECT_EQ(badBind.finish(0), 1);
}
