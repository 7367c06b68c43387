// The link session's sequences, each a table of rows: the engineer's and the
// links' inputs, and what the window is told to show. The serial ports are
// pseudo-terminals mapped to COM numbers; the TCP link runs over a fake
// socket table.
#include "app/LinkSession.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "app/Util.h"
#include "commands/Commands.h"
#include "core/Cp1251.h"
#include "net/NetLink.h"
#include "net/NetOs.h"
#include "net/TcpLink.h"
#include "serial/uCom.h"
#include "tests/common/PtyPair.h"
#include "tests/common/ScratchTree.h"

using namespace kvl;
using namespace kvltest;
using namespace std::chrono_literals;

namespace {

const bool kNoRealPorts = (SetComPathResolver([](int) { return std::string(); }), true);
const ScratchLockDir kLocks;
constexpr int kSock = 9;

// What the fake socket does with a connect.
struct FakeNet {
  int connectErrno = EINPROGRESS;  // 0: up at once
  int soError = 0;                 // the outcome of a pending connect
};
FakeNet* gNet = nullptr;

NetOs FakeSockets() {
  NetOs os = RealNetOs();
  os.socket = [](int, int, int) { return kSock; };
  os.setsockopt = [](int, int, int, const void*, socklen_t) { return 0; };
  os.bind = [](int, const sockaddr*, socklen_t) { return 0; };
  os.fcntl = [](int, int, int) { return 0; };
  os.connect = [](int, const sockaddr*, socklen_t) {
    errno = gNet->connectErrno;
    return gNet->connectErrno == 0 ? 0 : -1;
  };
  os.getsockopt = [](int, int, int, void* value, socklen_t*) {
    std::memcpy(value, &gNet->soError, sizeof(int));
    return 0;
  };
  os.getpeername = [](int, sockaddr*, socklen_t*) { return 0; };
  os.send = [](int, const void*, size_t n, int) { return ssize_t(n); };
  os.shutdown = [](int, int) { return 0; };
  os.close = [](int) { return 0; };
  return os;
}

const char* ControlName(Control c) {
  static const char* const kNames[] = {"port", "serial commands", "net commands", "net close", "DTR", "RTS",
                                       "Connect"};
  return kNames[int(c)];
}

const char* PanelName(Panel p) {
  switch (p) {
    case Panel::Dcd: return "DCD";
    case Panel::Dtr: return "DTR";
    case Panel::Dsr: return "DSR";
    case Panel::Rts: return "RTS";
    case Panel::Cts: return "CTS";
    case Panel::Ri: return "RI";
    case Panel::Port: return "port";
  }
  return "?";
}

// A step as one line of a row; the probes' hints and the switching of the
// buttons of ports without a device are left out, as are the notifiers.
std::string Describe(const Step& s, const std::vector<int>& ports) {
  const auto own = [&](int n) { return std::find(ports.begin(), ports.end(), n) != ports.end(); };
  switch (s.kind) {
    case Step::Text: return "text " + s.text;
    case Step::Report: return "report " + s.text;
    case Step::Hex: return "hex " + s.text;
    case Step::PanelText: return std::string("panel ") + PanelName(s.panel) + ":" + s.text;
    case Step::Enable:
    case Step::Check:
      if (s.control == Control::PortButton && !own(s.n)) return {};
      return std::string(s.kind == Step::Enable ? "enable " : "check ") + ControlName(s.control) +
             (s.control == Control::PortButton ? " " + std::to_string(s.n) : "") + (s.on ? " on" : " off");
    case Step::ErrorBox: return "box " + s.text;
    case Step::SourcePort: return "source port " + s.text;
    case Step::PostSockEvent: return "post " + std::to_string(s.event);
    default: return {};
  }
}

// One row's world: two devices (COM 3 and COM 5), the fake sockets, the
// session and what the controls say.
struct World {
  World() {
    ResetSharedState();
    SetComPathResolver([this](int n) {
      if (n == 3) return pty3.path();
      if (n == 5) return pty5.path();
      return std::string();
    });
    gNet = &net;
    SockOs = FakeSockets();
    c.netOn = true;
    c.line = LineSettings{};
  }
  ~World() {
    session.end();
    SockOs = RealNetOs();
    gNet = nullptr;
    SetComPathResolver([](int) { return std::string(); });
    ResetSharedState();
  }
  // The lines of a call's steps.
  static std::vector<std::string> lines(const Steps& steps) {
    std::vector<std::string> out;
    for (const Step& s : steps)
      if (std::string d = Describe(s, {3, 5}); !d.empty()) out.push_back(d);
    return out;
  }
  void chooseLoopback() {
    AddressChoice choice;
    session.chooseAddress({{"127.0.0.1", true}}, "5000", c, choice);
    EXPECT_EQ(choice.kind, AddressChoice::KeepChosen);
  }
  Steps connect(bool on, const std::string& sourcePort = "5000") {
    c.connectChecked = on;
    return session.connectToggled({sourcePort, "127.0.0.1", "6000"}, c);
  }
  // Takes what the reader has until pred holds of what was said, within a
  // deadline.
  Steps receiveUntil(const std::function<bool(const std::vector<std::string>&)>& pred) {
    Steps all;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!pred(lines(all)) && std::chrono::steady_clock::now() < deadline) {
      for (Step& s : session.comReceived(c)) all.push_back(std::move(s));
      std::this_thread::sleep_for(2ms);
    }
    return all;
  }

  PtyPair pty3, pty5;
  FakeNet net;
  LinkControls c;
  LinkSession session{[] {}};
};

class LinkSessionTest : public ::testing::Test {
 protected:
  // The settings file (none here) is looked for in the current directory.
  void SetUp() override { ASSERT_EQ(chdir(tree.root().c_str()), 0); }
  void TearDown() override { ASSERT_EQ(chdir("/"), 0); }
  ScratchTree tree;
};

using Lines = std::vector<std::string>;

bool Has(const Lines& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(LinkSessionTest, OpeningAPort) {
  struct Row {
    const char* name;
    int port;
    int byteSize;
    Lines says;
    int owner;  // ActiveLink afterwards
  };
  const Row rows[] = {
      {"a device: the port is active, its lines up",
       3, 8,
       {"enable serial commands off", "enable Connect on", "panel port:", "check port 3 off", "check port 5 off",
        "enable port 3 on", "enable port 5 on", "panel port: Opening COM", "panel port:",
        "report  COM 3 is active\r\n\r\n", "panel port: COM 3 [active]", "check port 3 on", "check DTR on",
        "panel DTR:DTR", "check RTS on", "panel RTS:RTS", "panel DSR:", "panel CTS:", "enable serial commands on",
        "enable Connect off"},
       3},
      {"no device: not selected",
       4, 8,
       {"enable serial commands off", "enable Connect on", "panel port:", "check port 3 off", "check port 5 off",
        "enable port 3 on", "enable port 5 on", "report  COM not selected\r\n", "panel port: COM not selected"},
       -1},
      {"settings the port refuses: said, not selected",
       3, 9,
       {"enable serial commands off", "enable Connect on", "panel port:", "check port 3 off", "check port 5 off",
        "enable port 3 off", "enable port 5 off",
        "report  COM 3: the port does not take these line settings\r\n", "report  COM not selected\r\n",
        "panel port: COM not selected"},
       -1},
  };
  for (const Row& row : rows) {
    World w;
    w.c.line.byteSize = row.byteSize;
    w.session.start(w.c);
    EXPECT_EQ(w.lines(w.session.selectPort(row.port, w.c)), row.says) << row.name;
    EXPECT_EQ(ActiveLink, row.owner) << row.name;
  }
}

TEST_F(LinkSessionTest, SwitchingPorts) {
  struct Row {
    const char* name;
    int second;  // the button pressed while port 3 is active
    Lines says;  // among what the second press says
    int owner;
  };
  const Row rows[] = {
      {"another port: the first closes, the second opens",
       5,
       {"panel port: COM closing", "report  COM 3 is closed\r\n", "report  COM 5 is active\r\n\r\n",
        "panel port: COM 5 [active]", "check port 5 on", "enable serial commands on"},
       5},
      {"the active port: deselected",
       3,
       {"panel port: COM closing", "report  COM 3 is closed\r\n", "check DTR off", "check RTS off",
        "report  COM not selected\r\n", "panel port: COM not selected"},
       -1},
  };
  for (const Row& row : rows) {
    World w;
    w.session.start(w.c);
    w.session.selectPort(3, w.c);
    const Lines said = w.lines(w.session.selectPort(row.second, w.c));
    for (const std::string& line : row.says) EXPECT_TRUE(Has(said, line)) << row.name << ": " << line;
    EXPECT_EQ(ActiveLink, row.owner) << row.name;
  }
}

TEST_F(LinkSessionTest, PullingTheAdapter) {
  struct Row {
    const char* name;
    bool tcpOwns;  // a connection took the device after the port opened
    Lines says;    // what the hang-up says, in order
    int owner;
  };
  const Row rows[] = {
      {"while the TCP link owns the device: only the port goes",
       true,
       {"report  COM 3 is closed\r\n", "panel port: COM not selected", "check port 3 off", "check DTR off",
        "check RTS off", "panel DTR:", "panel DSR:", "panel RTS:", "panel CTS:", "enable serial commands off",
        "enable net commands on"},
       0},
      {"while the port owns it: deselected as by its button",
       false,
       {"report  COM 3 is closed\r\n", "check DTR off", "check RTS off", "report  COM not selected\r\n",
        "panel DTR:", "panel DSR:", "panel RTS:", "panel CTS:", "panel port: COM not selected"},
       -1},
  };
  for (const Row& row : rows) {
    World w;
    w.session.start(w.c);
    w.session.selectPort(3, w.c);
    if (row.tcpOwns) {
      w.chooseLoopback();
      w.connect(true);
      w.session.sockEvent(kSock, FD_CONNECT, w.c);
      ASSERT_EQ(ActiveLink, 0) << row.name;
    }
    w.pty3.closeMaster();
    Lines said = w.lines(w.receiveUntil([](const Lines& l) { return Has(l, "report  COM 3 is closed\r\n"); }));
    const auto first = std::find(said.begin(), said.end(), row.says.front());
    said.erase(said.begin(), first);
    // What a deselect says besides (the probes) is left to the opening rows.
    std::erase_if(said, [&](const std::string& l) { return !Has(row.says, l); });
    EXPECT_EQ(said, row.says) << row.name;
    EXPECT_EQ(ActiveLink, row.owner) << row.name;
    EXPECT_EQ(ComPort.Handle, -1) << row.name;
  }
}

TEST_F(LinkSessionTest, ConnectCancelFailReconnect) {
  enum Act { Check, Uncheck, ConnectEvent };
  struct Row {
    const char* name;
    int connectErrno, soError;
    std::vector<Act> acts;
    Lines says;  // what the last act says
    int owner;
    int sock;  // the client socket afterwards
  };
  const std::string waiting = Utf8ToCp1251("Попытка подключения к серверу 1: - ОЖИДАЙТЕ!!!\r\n");
  const std::string cancelled = Utf8ToCp1251("Попытка подключения к серверу 1 отменена\r\n");
  const std::string failed = Utf8ToCp1251("Ошибка при установлении подключения: \r\n");
  const Row rows[] = {
      {"connect: bound, waiting", EINPROGRESS, 0, {Check},
       {"source port 5001", "text \r\nClient bound IP 127.0.0.1 Port 5000\r\n", "report " + waiting}, -1, kSock},
      {"connected: the TCP link owns the device", EINPROGRESS, 0, {Check, ConnectEvent},
       {"text Connect to IP 127.0.0.1 Port 6000\r\n", "enable port 3 off", "enable port 5 off",
        "enable net commands on"},
       0, kSock},
      {"cancel while waiting", EINPROGRESS, 0, {Check, Uncheck}, {"report " + cancelled}, -1, 0},
      {"disconnect once up: nothing waits, nothing said", EINPROGRESS, 0, {Check, ConnectEvent, Uncheck}, {}, -1,
       0},
      {"refused", EINPROGRESS, ECONNREFUSED, {Check, ConnectEvent},
       {"text " + failed + LocaleToCp1251(SockErrorText(ECONNREFUSED)), "check Connect off"}, -1, 0},
      {"refused at once: the event still decides", ECONNREFUSED, 0, {Check},
       {"source port 5001", "text \r\nClient bound IP 127.0.0.1 Port 5000\r\n", "report " + waiting, "post 16"}, -1,
       kSock},
      {"reconnect after a refusal", EINPROGRESS, ECONNREFUSED, {Check, ConnectEvent, Check},
       {"source port 5002", "text \r\nClient bound IP 127.0.0.1 Port 5001\r\n", "report " + waiting}, -1, kSock},
  };
  for (const Row& row : rows) {
    World w;
    w.net.connectErrno = row.connectErrno;
    w.net.soError = row.soError;
    w.session.start(w.c);
    w.chooseLoopback();
    std::string sourcePort = "5000";
    Steps last;
    for (Act act : row.acts) {
      if (act == ConnectEvent) last = w.session.sockEvent(kSock, FD_CONNECT, w.c);
      if (act == Uncheck) last = w.connect(false);
      if (act != Check) continue;
      last = w.connect(true, sourcePort);
      for (const Step& s : last)
        if (s.kind == Step::SourcePort) sourcePort = s.text;
    }
    EXPECT_EQ(w.lines(last), row.says) << row.name;
    EXPECT_EQ(ActiveLink, row.owner) << row.name;
    EXPECT_EQ(w.session.tcp().socket(), row.sock) << row.name;
  }
}

TEST_F(LinkSessionTest, SendingToNoLink) {
  struct Row {
    const char* name;
    Link route;
    bool connectChecked;
    Lines says;
  };
  const Row rows[] = {
      {"serial, no port open", Link::Serial, false, {"report  COM not selected\r\n"}},
      {"TCP, Connect unchecked: nothing", Link::Tcp, false, {}},
      {"TCP, Connect checked without a socket", Link::Tcp, true,
       {"report " + TcpEcho(WireText("AT", Link::Tcp, false)), "box Ошибка при отправке данных серверу: \r\n"}},
      {"no route", Link::None, true, {}},
  };
  for (const Row& row : rows) {
    World w;
    w.session.start(w.c);
    w.c.connectChecked = row.connectChecked;
    EXPECT_EQ(w.lines(w.session.send("AT", row.route, w.c)), row.says) << row.name;
    EXPECT_EQ(w.session.comWaiting() + w.session.sockWaiting(), 0u) << row.name;
  }
}

}  // namespace
