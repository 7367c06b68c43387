// Another program holding a serial device: a child process of the test that
// opens the device without any lock (optionally setting the exclusive flag,
// as some terminal programs do), counts and checksums every byte it reads,
// and reports that, with the state of the exclusive flag, when told to
// finish. After fork the child uses system calls only.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace kvltest {

// FNV-1a, continued over blocks.
inline std::uint64_t Fnv(std::uint64_t h, const unsigned char* bytes, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) h = (h ^ bytes[i]) * 1099511628211ull;
  return h;
}
inline constexpr std::uint64_t kFnvStart = 1469598103934665603ull;

class Holder {
 public:
  struct Report {
    bool ok = false;         // the child answered
    std::uint64_t count = 0;
    std::uint64_t checksum = kFnvStart;
    int exclusive = -1;      // the tty's exclusive flag at the end
  };

  explicit Holder(const std::string& path, bool exclusive = false) {
    int control[2], result[2];
    if (pipe2(control, O_CLOEXEC) != 0 || pipe2(result, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    running_ = pid_ > 0;
    if (pid_ == 0) {
      ::close(control[1]);
      ::close(result[0]);
      Serve(path.c_str(), exclusive, control[0], result[1]);
    }
    ::close(control[0]);
    ::close(result[1]);
    control_ = control[1];
    result_ = result[0];
    char ready = 0;
    ready_ = ::read(result_, &ready, 1) == 1 && ready == 'R';
  }
  ~Holder() {
    if (running_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (control_ >= 0) ::close(control_);
    if (result_ >= 0) ::close(result_);
  }
  Holder(const Holder&) = delete;
  Holder& operator=(const Holder&) = delete;

  pid_t pid() const { return pid_; }
  bool ready() const { return ready_; }

  // Tells the child how many bytes were sent; it reads until it has them
  // all (or ten seconds pass) and reports.
  Report finish(std::uint64_t sent) {
    Report report;
    if (::write(control_, &sent, sizeof sent) != sizeof sent) return report;
    std::uint64_t answer[3];
    if (ReadAll(result_, answer, sizeof answer)) {
      report.ok = true;
      report.count = answer[0];
      report.checksum = answer[1];
      report.exclusive = static_cast<int>(answer[2]);
    }
    ::waitpid(pid_, nullptr, 0);
    running_ = false;
    return report;
  }

 private:
  static bool ReadAll(int fd, void* buffer, std::size_t size) {
    auto* p = static_cast<char*>(buffer);
    while (size > 0) {
      const ssize_t n = ::read(fd, p, size);
      if (n <= 0) return false;
      p += n;
      size -= static_cast<std::size_t>(n);
    }
    return true;
  }

  static long long NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000LL + t.tv_nsec / 1000000;
  }

  [[noreturn]] static void Serve(const char* path, bool exclusive, int control, int result) {
    const int device = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (device < 0) _exit(1);
    if (exclusive && ::ioctl(device, TIOCEXCL) != 0) _exit(1);
    // Only its own descriptors: the test's other devices are not held.
    int keep[] = {device, control, result};
    std::sort(keep, keep + 3);
    unsigned from = 3;
    for (int fd : keep) {
      if (unsigned(fd) > from) close_range(from, unsigned(fd) - 1, 0);
      from = unsigned(fd) + 1;
    }
    close_range(from, ~0U, 0);
    const char ready = 'R';
    if (::write(result, &ready, 1) != 1) _exit(1);

    std::uint64_t count = 0, checksum = kFnvStart, expected = 0;
    bool finishing = false, deviceGone = false;
    long long deadline = 0;
    unsigned char buffer[4096];
    for (;;) {
      pollfd fds[2] = {{deviceGone ? -1 : device, POLLIN, 0}, {finishing ? -1 : control, POLLIN, 0}};
      const int timeout = finishing ? int(std::max(0LL, deadline - NowMs())) : -1;
      if (finishing && (count >= expected || timeout == 0)) break;
      if (::poll(fds, 2, timeout) < 0) continue;
      if (fds[0].revents & POLLIN) {
        const ssize_t n = ::read(device, buffer, sizeof buffer);
        if (n > 0) {
          count += std::uint64_t(n);
          checksum = Fnv(checksum, buffer, std::size_t(n));
        }
      } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        deviceGone = true;  // the other side went away: nothing more to read
      }
      if (!finishing && fds[1].revents) {
        if (::read(control, &expected, sizeof expected) != sizeof expected) _exit(1);
        finishing = true;
        deadline = NowMs() + 10000;
      }
    }
    int flag = -1;
    if (::ioctl(device, TIOCGEXCL, &flag) != 0) flag = -1;
    const std::uint64_t answer[3] = {count, checksum, std::uint64_t(flag)};
    (void)!::write(result, answer, sizeof answer);
    _exit(0);
  }

  pid_t pid_ = -1;
  bool running_ = false;
  int control_ = -1;
  int result_ = -1;
  bool ready_ = false;
};

}  // namespace kvltest
