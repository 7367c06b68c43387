// Telling who holds a serial device without opening it (lock files, open
// descriptors, flock), describing the adapter behind it from sysfs, and the
// words the engineer reads about both. /proc, /sys and the lock directory
// are trees of the test's own, around a real pseudo-terminal.
#include <gtest/gtest.h>

#include <pty.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <filesystem>
#include <functional>

#include "app/PortHint.h"
#include "serial/PortUse.h"
#include "tests/common/Files.h"
#include "tests/common/ScratchTree.h"

using namespace kvl;
using namespace kvltest;
namespace fs = std::filesystem;

namespace {

class PortUse : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[128];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    pty = name;
    PortUsePlaces places;
    places.lockDirs = {tree.dir("lock")};
    places.proc = tree.dir("proc");
    places.sys = tree.dir("sys");
    places.byId = tree.dir("by-id");
    SetPortUsePlaces(places);
  }
  void TearDown() override {
    SetPortUsePlaces(PortUsePlaces{{}, "/proc", "/sys", "/dev/serial/by-id"});
    close(master);
    close(slave);
  }
  std::string at(const std::string& relative) const { return tree.root() + "/" + relative; }
  // A process of the fake /proc: its name and a descriptor pointing at `target`.
  void process(int pid, const std::string& name, const std::string& target = {}) const {
    const std::string dir = tree.dir("proc/" + std::to_string(pid) + "/fd");
    Spit(at("proc/" + std::to_string(pid) + "/comm"), name + "\n");
    if (!target.empty()) fs::create_symlink(target, dir + "/5");
  }
  void lockFile(const std::string& name, const std::string& contents) const {
    Spit(at("lock/LCK.." + name), contents);
  }
  std::string locksLine(int pid, bool waiting = false) const {
    struct stat node {};
    stat(pty.c_str(), &node);
    char line[160];
    std::snprintf(line, sizeof line, "1: %sFLOCK  ADVISORY  WRITE %d %02x:%02x:%lu 0 EOF\n", waiting ? "-> " : "", pid,
                  major(node.st_dev), minor(node.st_dev), static_cast<unsigned long>(node.st_ino));
    return line;
  }

  ScratchTree tree;
  int master = -1, slave = -1;
  std::string pty;
};

std::string TenCharPid(long pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10ld\n", pid);
  return text;
}

TEST_F(PortUse, HolderFoundWithoutOpeningTheDevice) {
  const std::string name = DeviceName(pty);
  const std::string link = at("by-id/usb-Maker_Cable_42-if00-port0");
  fs::create_symlink(pty, link);
  const std::int32_t binaryPid = 1;
  struct Case {
    const char* what;
    std::function<void()> setUp;
    bool viaLink;
    bool found;
    int pid;
    const char* program;
    bool namesLockFile;
  } cases[] = {
      {"nothing", [] {}, false, false, 0, "", false},
      {"descriptor of another process", [&] { process(4242, "minicom", pty); }, false, true, 4242, "minicom", false},
      {"descriptor of another device", [&] { process(4242, "minicom", "/dev/null"); }, false, false, 0, "", false},
      {"descriptor of this process", [&] { process(getpid(), "me", pty); }, false, false, 0, "", false},
      {"flock of another process",
       [&] { process(4243, "gtkterm"); Spit(at("proc/locks"), locksLine(getpid()) + locksLine(4243)); },
       false, true, 4243, "gtkterm", false},
      {"process waiting for a flock", [&] { Spit(at("proc/locks"), locksLine(4243, true)); }, false, false, 0, "", false},
      {"live lock file", [&] { process(1, "init"); lockFile(name, TenCharPid(1)); }, false, true, 1, "init", true},
      {"lock file of a process that is gone", [&] { lockFile(name, TenCharPid(INT_MAX - 1)); }, false, false, 0, "", false},
      {"lock file with our number that we do not hold", [&] { lockFile(name, TenCharPid(getpid())); }, false, false, 0, "",
       false},
      {"lock file of unknown contents", [&] { lockFile(name, "junk"); }, false, true, 0, "", true},
      {"empty lock file (being written)", [&] { lockFile(name, ""); }, false, true, 0, "", true},
      {"lock file in the obsolete binary form",
       [&] { lockFile(name, std::string(reinterpret_cast<const char*>(&binaryPid), 4)); }, false, true, 0, "", true},
      {"lock file under the by-id name", [&] { lockFile("usb-Maker_Cable_42-if00-port0", TenCharPid(1)); }, true, true, 1,
       "", true},
      {"lock file under the kernel name, device given by-id", [&] { lockFile(name, TenCharPid(1)); }, true, true, 1, "",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(at("proc"));
    fs::remove_all(at("lock"));
    tree.dir("proc");
    tree.dir("lock");
    c.setUp();
    const PortHolder holder = FindPortHolder(c.viaLink ? link : pty);
    EXPECT_EQ(holder.found, c.found);
    EXPECT_EQ(holder.pid, c.pid);
    EXPECT_EQ(holder.program, c.program);
    EXPECT_EQ(!holder.lockFile.empty(), c.namesLockFile);
  }
  EXPECT_FALSE(FindPortHolder(at("no-such-device")).found);
}

TEST_F(PortUse, UsbAdapterDescribedFromSysfs) {
  // ttyUSB: the tty's device is a port below the USB interface, whose
  // parent is the adapter.
  const std::string adapter = tree.dir("sys/devices/pci0000:00/usb1/1-2");
  const std::string port = tree.dir("sys/devices/pci0000:00/usb1/1-2/1-2:1.0/ttyUSB0");
  Spit(adapter + "/manufacturer", "FTDI\n");
  Spit(adapter + "/product", "FT232R USB UART\n");
  Spit(adapter + "/serial", "A50285BI\n");
  Spit(adapter + "/idVendor", "0403\n");
  Spit(adapter + "/idProduct", "6001\n");
  tree.dir("sys/class/tty/ttyUSB0");
  fs::create_symlink(port, at("sys/class/tty/ttyUSB0/device"));
  // The device node and its stable name.
  const std::string node = at("dev/ttyUSB0");
  tree.dir("dev");
  Spit(node, "");
  fs::create_symlink(node, at("by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
  fs::create_symlink(at("dev/other"), at("by-id/usb-Other_Cable-if00-port0"));

  const std::string driver = tree.dir("sys/bus/usb-serial/drivers/ftdi_sio");
  fs::create_symlink(driver, port + "/driver");

  const PortAdapter a = DescribePortAdapter(node);
  EXPECT_EQ(PortDriverName(node), "ftdi_sio");
  EXPECT_EQ(PortDriverName(at("no-such-device")), "");
  EXPECT_TRUE(a.usb);
  EXPECT_EQ(a.name, "ttyUSB0");
  EXPECT_EQ(PortAdapterText(a), "FTDI FT232R USB UART, serial A50285BI, 0403:6001");
  EXPECT_EQ(a.byId, at("by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0"));
  EXPECT_EQ(ModemManagerRule(a),
            "ACTION==\"add|change\", ATTRS{idVendor}==\"0403\", ATTRS{idProduct}==\"6001\", "
            "ATTRS{serial}==\"A50285BI\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"");
  // Given by its by-id name, the same device.
  EXPECT_EQ(DescribePortAdapter(a.byId).name, "ttyUSB0");

  // What the adapter reports is data: control characters do not pass.
  Spit(adapter + "/product", "Evil\x1b[2J<b>x</b>\n");
  EXPECT_EQ(DescribePortAdapter(node).product, "Evil?[2J<b>x</b>");

  // A device that is not a USB adapter: no description, a rule by name.
  const PortAdapter plain = DescribePortAdapter(pty);
  EXPECT_FALSE(plain.usb);
  EXPECT_EQ(PortAdapterText(plain), "");
  EXPECT_EQ(ModemManagerRule(plain),
            "ACTION==\"add|change\", KERNEL==\"" + DeviceName(pty) + "\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"");
}

TEST(PortHint, ReasonsInTheEngineersWords) {
  PortAdapter usb;
  usb.usb = true;
  usb.vendorId = "1a86";
  usb.productId = "7523";
  auto inUse = [](int pid, const char* program, const char* lockFile, bool modemManager) {
    PortProblem p;
    p.fault = PortFault::InUse;
    p.holder = {true, pid, program, lockFile};
    p.modemManagerRunning = modemManager;
    return p;
  };
  auto noPermission = [](const char* owner, const char* group, unsigned mode) {
    PortProblem p;
    p.fault = PortFault::NoPermission;
    p.owner = owner;
    p.group = group;
    p.mode = mode;
    p.modeKnown = mode != 0;
    p.groupIsRoot = std::string(group) == "root";
    return p;
  };
  PortProblem system;
  system.fault = PortFault::System;
  system.error = ENOMEM;
  PortProblem noDevice;
  noDevice.fault = PortFault::NoDevice;
  const std::string rule =
      "ACTION==\"add|change\", ATTRS{idVendor}==\"1a86\", ATTRS{idProduct}==\"7523\", ENV{ID_MM_DEVICE_IGNORE}=\"1\"";
  const std::string advice = "to keep ModemManager off this device, put the line " + rule +
                             " into /etc/udev/rules.d/99-kvl-modem.rules, run sudo udevadm control --reload and plug "
                             "the device in again";
  const struct {
    PortProblem problem;
    std::string text;
  } cases[] = {
      {PortProblem{}, ""},
      {noDevice, "no device"},
      {inUse(1234, "kvlterm", "", false), "in use by kvlterm (pid 1234)"},
      {inUse(1234, "", "", false), "in use by another program (pid 1234)"},
      {inUse(0, "", "/run/lock/LCK..ttyUSB0", false), "in use by another program (lock file /run/lock/LCK..ttyUSB0)"},
      {inUse(0, "", "", false), "in use by another program"},
      {inUse(812, "ModemManager", "", false), "ModemManager is using it\n" + advice},
      {inUse(0, "", "", true), "in use by another program, probably ModemManager\n" + advice},
      {noPermission("root", "dialout", 0660),
       "no permission: add your user to the group dialout (sudo adduser $USER dialout) and log in again"},
      {noPermission("", "", 0),  // the node could not be looked at
       "no permission: add your user to the group dialout (sudo adduser $USER dialout) and log in again"},
      {noPermission("root", "root", 0600), "no permission: only the user root may open it (crw------- root:root)"},
      {noPermission("root", "root", 0660),
       "no permission: only the user root and the group root may open it (crw-rw---- root:root)"},
      {noPermission("ann", "tty", 0620), "no permission: only the user ann may open it (crw--w---- ann:tty)"},
      {noPermission("root", "uucp", 0444), "no permission: nobody may open it (cr--r--r-- root:uucp)"},
      {system, std::strerror(ENOMEM)},
  };
  for (const auto& c : cases) EXPECT_EQ(PortProblemText(c.problem, usb), c.text);
}

}  // namespace
