// In-use detection, lock files and adapter descriptions of serial devices.
#include "serial/PortUse.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <set>
#include <sstream>
#include <string_view>
#include <utility>

#include "serial/SerialOs.h"

namespace kvl {

namespace {

PortUsePlaces& Places() {
  static PortUsePlaces places;
  return places;
}

// Lock files this process holds now. Never destroyed: ports still open at
// exit are closed by destructors of static records, which come here.
std::set<std::string>& HeldLocks() {
  static auto* held = new std::set<std::string>;
  return *held;
}

constexpr std::size_t kMaxTextFile = 4096;
// Texts from sysfs and /proc are shown to the engineer; they are kept short.
constexpr std::size_t kMaxShownText = 128;

std::string BaseName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

bool AllDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A small file whole (at most kMaxTextFile bytes); false when it cannot be read.
bool ReadTextFile(const std::string& path, std::string& text) {
  const int fd = Os.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  text.clear();
  char buffer[512];
  bool ok = true;
  while (text.size() < kMaxTextFile) {
    const ssize_t n = Os.read(fd, buffer, std::min(sizeof buffer, kMaxTextFile - text.size()));
    if (n < 0) ok = false;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  Os.close(fd);
  return ok;
}

// A text from the system as the engineer may see it: one line, control
// characters replaced, no trailing white space, bounded.
std::string ShownText(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\0'))
    text.pop_back();
  if (text.size() > kMaxShownText) text.resize(kMaxShownText);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text;
}

std::string ReadAttribute(const std::string& path) {
  std::string text;
  return ReadTextFile(path, text) ? ShownText(text) : std::string();
}

std::string RealPathOr(const std::string& path) {
  std::string resolved;
  return Os.realPath(path.c_str(), &resolved) == 0 ? resolved : path;
}

bool ProcessAlive(int pid) {
  // EPERM: it exists but belongs to someone else.
  return Os.kill(pid, 0) == 0 || errno == EPERM;
}

// ---------------------------------------------------------------------------
// Lock files

enum class LockState : std::uint8_t { Missing, Stale, Live, Unreadable };

struct LockFile {
  LockState state = LockState::Missing;
  int pid = 0;
};

// The process number of a lock file: ten ASCII characters and a newline,
// as every current program writes it (leading spaces). Anything else
// (the long obsolete binary form too) gives 0: a lock of unknown contents.
int LockPid(const std::string& text) {
  const std::size_t at = text.find_first_not_of(' ');
  if (at == std::string::npos) return 0;
  int pid = 0;
  auto [end, error] = std::from_chars(text.data() + at, text.data() + text.size(), pid);
  if (error != std::errc()) return 0;
  for (const char* p = end; p < text.data() + text.size(); ++p)
    if (*p != '\n' && *p != ' ' && *p != '\r') return 0;
  return pid;
}

LockFile ReadLockFile(const std::string& path) {
  LockFile lock;
  std::string text;
  if (!ReadTextFile(path, text)) {
    // It vanished between looking and reading, or we may not read it.
    struct stat info {};
    lock.state = Os.stat(path.c_str(), &info) == 0 ? LockState::Unreadable : LockState::Missing;
    return lock;
  }
  lock.pid = LockPid(text);
  if (lock.pid <= 0) {
    // Empty or unknown contents: perhaps being written this moment by a
    // program that does not write atomically. It counts as held.
    lock.state = LockState::Unreadable;
  } else if (lock.pid == getpid()) {
    // Ours only while we hold it; otherwise an earlier process had our number.
    lock.state = HeldLocks().count(path) ? LockState::Live : LockState::Stale;
  } else {
    lock.state = ProcessAlive(lock.pid) ? LockState::Live : LockState::Stale;
  }
  return lock;
}

PortHolder HolderOfLock(const std::string& path, const LockFile& lock) {
  PortHolder holder;
  holder.found = true;
  holder.lockFile = path;
  if (lock.state == LockState::Live) {
    holder.pid = lock.pid;
    holder.program = ProcessName(lock.pid);
  }
  return holder;
}

// The lock directories that exist, each directory once.
std::vector<std::string> LockDirectories() {
  std::vector<std::string> dirs;
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const std::string& dir : Places().lockDirs) {
    struct stat info {};
    if (Os.stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) continue;
    const auto id = std::make_pair(info.st_dev, info.st_ino);
    if (std::find(seen.begin(), seen.end(), id) != seen.end()) continue;
    seen.push_back(id);
    dirs.push_back(dir);
  }
  return dirs;
}

std::string LockContents() {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  return text;
}

enum class TakeResult : std::uint8_t { Taken, Skipped, Held };

// One lock directory: a complete temporary file, then a hard link to the
// lock's name, which fails while any lock file is there; a stale one is
// removed and the link tried again.
TakeResult TakeLockIn(const std::string& dir, const std::string& lockPath, PortHolder& holder) {
  static unsigned serial = 0;
  const std::string temp = dir + "/LTMP.kvl." + std::to_string(getpid()) + "." + std::to_string(++serial);
  const int fd = Os.create(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return TakeResult::Skipped;  // read-only, not ours, full: go on without
  const std::string contents = LockContents();
  const bool written = Os.write(fd, contents.data(), contents.size()) == ssize_t(contents.size());
  const bool closed = Os.close(fd) == 0;
  if (!written || !closed) {
    Os.unlink(temp.c_str());
    return TakeResult::Skipped;
  }

  TakeResult result = TakeResult::Held;
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (Os.link(temp.c_str(), lockPath.c_str()) == 0) {
      result = TakeResult::Taken;
      break;
    }
    if (errno != EEXIST) {  // a file system without hard links, say
      result = TakeResult::Skipped;
      break;
    }
    const LockFile existing = ReadLockFile(lockPath);
    if (existing.state == LockState::Live || existing.state == LockState::Unreadable) {
      holder = HolderOfLock(lockPath, existing);
      break;
    }
    if (existing.state == LockState::Stale && Os.unlink(lockPath.c_str()) != 0 && errno != ENOENT) {
      // Someone else's stale lock that we may not remove (a sticky lock
      // directory): it holds nobody back, and we go on without ours.
      result = TakeResult::Skipped;
      break;
    }
  }
  Os.unlink(temp.c_str());
  if (result == TakeResult::Held && !holder.found) holder.found = true;  // lost every race
  return result;
}

// ---------------------------------------------------------------------------
// Processes

// A process other than ours with the device open.
PortHolder HolderByDescriptors(dev_t device, const std::string& name) {
  PortHolder holder;
  const std::string& proc = Places().proc;
  std::vector<std::string> pids;
  if (Os.listDir(proc.c_str(), &pids) != 0) return holder;
  const std::string self = std::to_string(getpid());
  std::vector<std::string> fds;
  char target[512];
  for (const std::string& pid : pids) {
    if (!AllDigits(pid) || pid == self) continue;
    const int fdDir = Os.open((proc + "/" + pid + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0) continue;  // gone, or not ours to see
    if (Os.listDirAt(fdDir, &fds) != 0) fds.clear();
    for (const std::string& fd : fds) {
      const ssize_t n = Os.readlinkAt(fdDir, fd.c_str(), target, sizeof target);
      if (n <= 0 || target[0] != '/') continue;  // sockets, pipes and the like
      const std::string_view path(target, static_cast<std::size_t>(n));
      // Only device nodes are looked at closer (a stat of each open file
      // would cost far more).
      if (path.substr(0, 5) != "/dev/" && path.substr(path.find_last_of('/') + 1) != name) continue;
      struct stat info {};
      if (Os.statAt(fdDir, fd.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device) {
        holder.found = true;
        holder.pid = std::stoi(pid);
        break;
      }
    }
    Os.close(fdDir);
    if (holder.found) {
      holder.program = ProcessName(holder.pid);
      return holder;
    }
  }
  return holder;
}

// A flock (or other file lock) of another process on the device's node.
// Lines read "1: FLOCK  ADVISORY  WRITE 1234 00:05:85 0 EOF"; "->" marks a
// process waiting for a lock, which holds nothing.
PortHolder HolderByFileLocks(const struct stat& node) {
  PortHolder holder;
  std::string text;
  if (!ReadTextFile(Places().proc + "/locks", text)) return holder;
  std::istringstream lines(text);
  std::string line;
  const int self = getpid();
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string number, kind, mode, access, pid, id;
    if (!(words >> number >> kind) || kind == "->") continue;
    if (!(words >> mode >> access >> pid >> id)) continue;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (std::sscanf(id.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (major != ::major(node.st_dev) || minor != ::minor(node.st_dev) || inode != node.st_ino) continue;
    const int holderPid = std::atoi(pid.c_str());
    if (holderPid == self) continue;
    holder.found = true;
    if (holderPid > 0) {  // open-file-description locks show no process
      holder.pid = holderPid;
      holder.program = ProcessName(holderPid);
    }
    return holder;
  }
  return holder;
}

}  // namespace

void SetPortUsePlaces(PortUsePlaces places) { Places() = std::move(places); }

const PortUsePlaces& CurrentPortUsePlaces() { return Places(); }

std::string DeviceName(const std::string& devicePath) { return BaseName(RealPathOr(devicePath)); }

std::string ProcessName(int pid) {
  if (pid <= 0) return {};
  return ReadAttribute(Places().proc + "/" + std::to_string(pid) + "/comm");
}

bool ModemManagerRunning() {
  std::vector<std::string> pids;
  if (Os.listDir(Places().proc.c_str(), &pids) != 0) return false;
  for (const std::string& pid : pids)
    if (AllDigits(pid) && ProcessName(std::stoi(pid)) == "ModemManager") return true;
  return false;
}

PortHolder FindPortHolder(const std::string& devicePath) {
  struct stat node {};
  if (devicePath.empty() || Os.stat(devicePath.c_str(), &node) != 0) return {};

  // Lock files, under the kernel name and under the name given (a by-id
  // link, say), in every lock directory.
  std::vector<std::string> names{DeviceName(devicePath)};
  if (BaseName(devicePath) != names[0]) names.push_back(BaseName(devicePath));
  for (const std::string& dir : Places().lockDirs) {
    for (const std::string& name : names) {
      const std::string path = dir + "/LCK.." + name;
      const LockFile lock = ReadLockFile(path);
      if (lock.state == LockState::Live || lock.state == LockState::Unreadable)
        return HolderOfLock(path, lock);
    }
  }

  if (S_ISCHR(node.st_mode)) {
    PortHolder holder = HolderByDescriptors(node.st_rdev, names[0]);
    if (holder.found) return holder;
  }
  return HolderByFileLocks(node);
}

bool TakeUucpLock(const std::string& devicePath, UucpLock& lock, PortHolder& holder) {
  holder = {};
  const std::string name = DeviceName(devicePath);
  for (const std::string& dir : LockDirectories()) {
    const std::string path = dir + "/LCK.." + name;
    switch (TakeLockIn(dir, path, holder)) {
      case TakeResult::Taken:
        lock.files.push_back(path);
        HeldLocks().insert(path);
        break;
      case TakeResult::Skipped:
        break;
      case TakeResult::Held:
        DropUucpLock(lock);
        return false;
    }
  }
  return true;
}

void DropUucpLock(UucpLock& lock) {
  for (const std::string& path : lock.files) {
    // Only a lock that still names us: a program that found it stale after
    // a crash of ours may have put its own in place.
    std::string text;
    if (ReadTextFile(path, text) && LockPid(text) == getpid()) Os.unlink(path.c_str());
    HeldLocks().erase(path);
  }
  lock.files.clear();
}

std::string PortDriverName(const std::string& devicePath) {
  const std::string name = BaseName(RealPathOr(devicePath));
  std::string driver;
  if (name.empty() ||
      Os.realPath((Places().sys + "/class/tty/" + name + "/device/driver").c_str(), &driver) != 0)
    return {};
  return BaseName(driver);
}

PortAdapter DescribePortAdapter(const std::string& devicePath) {
  PortAdapter adapter;
  if (devicePath.empty()) return adapter;
  const std::string real = RealPathOr(devicePath);
  adapter.name = BaseName(real);

  // The tty's device is the USB interface (ttyACM) or a port below it
  // (ttyUSB); the adapter's own attributes are a level or two up.
  const std::string sys = RealPathOr(Places().sys);
  std::string dir;
  if (!adapter.name.empty() &&
      Os.realPath((Places().sys + "/class/tty/" + adapter.name + "/device").c_str(), &dir) == 0) {
    for (int level = 0; level < 4 && dir.size() > sys.size() && dir.compare(0, sys.size(), sys) == 0;
         ++level, dir = DirName(dir)) {
      struct stat info {};
      if (Os.stat((dir + "/idVendor").c_str(), &info) != 0) continue;
      adapter.usb = true;
      adapter.manufacturer = ReadAttribute(dir + "/manufacturer");
      adapter.product = ReadAttribute(dir + "/product");
      adapter.serial = ReadAttribute(dir + "/serial");
      adapter.vendorId = ReadAttribute(dir + "/idVendor");
      adapter.productId = ReadAttribute(dir + "/idProduct");
      break;
    }
  }

  std::vector<std::string> links;
  if (Os.listDir(Places().byId.c_str(), &links) == 0) {
    std::sort(links.begin(), links.end());
    for (const std::string& link : links) {
      const std::string path = Places().byId + "/" + link;
      std::string target;
      if (Os.realPath(path.c_str(), &target) == 0 && target == real) {
        adapter.byId = ShownText(path);
        break;
      }
    }
  }
  return adapter;
}

}  // namespace kvl
