// A temporary directory tree of the test's own, removed with everything in
// it at the end; and the port-use places pointed at it, so that no test
// writes the machine's /run/lock. /proc, /sys and /dev/serial/by-id stay
// the real ones (only read) unless a test points them elsewhere.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "serial/PortUse.h"

namespace kvltest {

class ScratchTree {
 public:
  ScratchTree() {
    char name[] = "/tmp/kvl-test-XXXXXX";
    if (!mkdtemp(name)) throw std::runtime_error("mkdtemp");
    root_ = name;
  }
  ~ScratchTree() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchTree(const ScratchTree&) = delete;
  ScratchTree& operator=(const ScratchTree&) = delete;

  const std::string& root() const { return root_; }
  // A directory below the root (made with its parents), by relative path.
  std::string dir(const std::string& relative) const {
    const std::string path = root_ + "/" + relative;
    std::filesystem::create_directories(path);
    return path;
  }

 private:
  std::string root_;
};

// The lock directory of a test program, set once for the whole program.
class ScratchLockDir {
 public:
  ScratchLockDir() : dir_(tree_.dir("lock")) { Use(); }
  ~ScratchLockDir() { kvl::SetPortUsePlaces(Places({})); }
  const std::string& dir() const { return dir_; }
  // The port-use places of tests: this lock directory alone.
  void Use() const { kvl::SetPortUsePlaces(Places({dir_})); }

 private:
  static kvl::PortUsePlaces Places(std::vector<std::string> lockDirs) {
    kvl::PortUsePlaces places;
    places.lockDirs = std::move(lockDirs);
    return places;
  }
  ScratchTree tree_;
  std::string dir_;
};

}  // namespace kvltest
