// Whether a serial device is free for this program, found without opening
// it, and what the device is.
//
// Programs that share serial ports on Linux announce an open port with a
// lock file "LCK..<name>" in the lock directory, holding their process
// number as ten ASCII characters and a newline; a lock whose process no
// longer exists is stale and means nothing. Programs that take no lock
// still show: in the open descriptors of their process (/proc/<pid>/fd) or,
// when they use flock, in the kernel's table of file locks (/proc/locks).
// This process itself is never "another program": its own records guard
// each other with flock.
//
// Every file-system call goes through the serial layer's OS table; the
// places read and written are set here, so that tests use temporary trees.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kvl {

struct PortUsePlaces {
  // Lock directories; each one that exists and is not the same directory as
  // an earlier one (/var/lock is usually a link to /run/lock) gets a lock.
  std::vector<std::string> lockDirs{"/run/lock", "/var/lock"};
  std::string proc = "/proc";
  std::string sys = "/sys";
  std::string byId = "/dev/serial/by-id";
};

void SetPortUsePlaces(PortUsePlaces places);
const PortUsePlaces& CurrentPortUsePlaces();

// Who holds a device, as far as can be seen.
struct PortHolder {
  bool found = false;
  int pid = 0;            // 0: not known (an unreadable lock file, a busy device)
  std::string program;    // the process's name, empty when not known
  std::string lockFile;   // the lock file that named the holder, if one did
};

// Why a port cannot be used (None after a successful opening).
enum class PortFault : std::uint8_t {
  None,
  NoDevice,       // no such device, or no hardware behind it
  InUse,          // another program holds it
  NoPermission,   // the user may not open the device
  Refused,        // the port does not take the line settings
  System,         // any other failure; error holds its errno
};

struct PortProblem {
  PortFault fault = PortFault::None;
  PortHolder holder;                // InUse
  bool modemManagerRunning = false; // InUse by a holder that could not be seen
  int error = 0;                    // errno of the failure, where there was one
  // NoPermission: who owns the device node and who may read and write it;
  // modeKnown is false when the node could not be looked at.
  std::string owner;
  std::string group;
  unsigned mode = 0;  // permission bits of the node
  bool modeKnown = false;
  bool groupIsRoot = false;
};

// Kernel name of a device (links resolved): "ttyUSB0" for
// /dev/serial/by-id/usb-FTDI_...; the name of its lock file.
std::string DeviceName(const std::string& devicePath);

// Another program holding the device (lock file, open descriptor, flock).
// A device that does not exist is held by nobody.
PortHolder FindPortHolder(const std::string& devicePath);

// The lock files this program holds for one open port.
struct UucpLock {
  std::vector<std::string> files;
};

// Writes our lock file for the device into every lock directory we may
// write, each atomically (a complete temporary file linked into place).
// Stale locks are replaced. False, with `holder` filled and nothing left
// taken, when a live process holds the lock. A directory that cannot be
// written is passed over: the port is then used without a lock there.
bool TakeUucpLock(const std::string& devicePath, UucpLock& lock, PortHolder& holder);
// Removes the lock files (those that still name this process).
void DropUucpLock(UucpLock& lock);

// Name of a process (its command name), or empty.
std::string ProcessName(int pid);
// Whether a ModemManager process runs (seen by its name, which every user
// may read).
bool ModemManagerRunning();

// What stands behind a device: the USB adapter's own description from
// sysfs, and the stable name under /dev/serial/by-id that points at it.
struct PortAdapter {
  std::string name;          // kernel name, "ttyUSB0"
  bool usb = false;
  std::string manufacturer;  // as the adapter reports them
  std::string product;
  std::string serial;
  std::string vendorId;      // four hexadecimal digits
  std::string productId;
  std::string byId;          // full path of the by-id link, or empty
};
PortAdapter DescribePortAdapter(const std::string& devicePath);

// The kernel driver behind a tty device ("ftdi_sio", "serial8250"), from
// sysfs; empty when there is none (a pseudo-terminal).
std::string PortDriverName(const std::string& devicePath);

}  // namespace kvl
