// The TCP connection's steps over a fake socket table: how a connect
// starts and ends, what a read event finds, and what closing releases.
#include "net/TcpConnection.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "net/NetOs.h"

namespace kvl {
namespace {

// What the fake socket does; every call is recorded by name.
struct Fake {
  int connectErrno = EINPROGRESS;  // 0: connected at once
  int soError = 0;                 // SO_ERROR once the socket is writable
  ssize_t recvResult = 0;
  int recvErrno = 0;
  ssize_t sendLimit = 1 << 20;
  std::vector<std::string> calls;
};
Fake* gFake = nullptr;
constexpr int kSock = 7;

NetOs FakeOs() {
  NetOs os = RealNetOs();
  os.socket = [](int, int, int) { gFake->calls.push_back("socket"); return kSock; };
  os.setsockopt = [](int, int, int, const void*, socklen_t) { return 0; };
  os.bind = [](int, const sockaddr*, socklen_t) { gFake->calls.push_back("bind"); return 0; };
  os.fcntl = [](int, int, int) { return 0; };
  os.connect = [](int, const sockaddr*, socklen_t) {
    gFake->calls.push_back("connect");
    errno = gFake->connectErrno;
    return gFake->connectErrno == 0 ? 0 : -1;
  };
  os.getsockopt = [](int, int, int, void* value, socklen_t*) {
    std::memcpy(value, &gFake->soError, sizeof(int));
    return 0;
  };
  os.getpeername = [](int, sockaddr*, socklen_t*) { return 0; };
  os.recv = [](int, void* buffer, size_t, int) {
    errno = gFake->recvErrno;
    if (gFake->recvResult > 0) std::memset(buffer, 'x', size_t(gFake->recvResult));
    return gFake->recvResult;
  };
  os.send = [](int, const void*, size_t n, int) {
    gFake->calls.push_back("send " + std::to_string(n));
    if (gFake->sendLimit == 0) {
      errno = EAGAIN;
      return ssize_t(-1);
    }
    return std::min(ssize_t(n), gFake->sendLimit);
  };
  os.shutdown = [](int, int) { gFake->calls.push_back("shutdown"); return 0; };
  os.close = [](int) { gFake->calls.push_back("close"); return 0; };
  return os;
}

class TcpConnectionSteps : public ::testing::Test {
 protected:
  void SetUp() override {
    gFake = &fake;
    SockOs = FakeOs();
  }
  void TearDown() override {
    SockOs = RealNetOs();
    gFake = nullptr;
  }
  // Opens, binds and starts the connect.
  ConnectStart start(TcpConnection& c) {
    int error = 0;
    EXPECT_TRUE(c.open(error));
    EXPECT_TRUE(c.bind(error));
    EXPECT_TRUE(c.setNonBlocking(error));
    return c.connect();
  }
  Fake fake;
};

struct ConnectCase {
  const char* name;
  int connectErrno, soError;
  ConnectStart start;
  int outcome;  // what the connect event reports
};

TEST_F(TcpConnectionSteps, ConnectStartsAndItsEventReportsTheOutcomeOnce) {
  for (const ConnectCase& c : std::vector<ConnectCase>{
           {"pending, then up", EINPROGRESS, 0, ConnectStart::Pending, 0},
           {"pending, then refused", EINPROGRESS, ECONNREFUSED, ConnectStart::Pending, ECONNREFUSED},
           {"up at once", 0, 0, ConnectStart::Connected, 0},
           {"refused at once", ENETUNREACH, 0, ConnectStart::Failed, ENETUNREACH}}) {
    fake.connectErrno = c.connectErrno;
    fake.soError = c.soError;
    TcpConnection conn;
    EXPECT_EQ(conn.connected(), std::nullopt) << c.name;  // no connect yet: stale
    EXPECT_EQ(start(conn), c.start) << c.name;
    EXPECT_TRUE(conn.connecting()) << c.name;
    EXPECT_EQ(conn.socket(), kSock) << c.name;
    EXPECT_EQ(conn.connected(), std::optional<int>(c.outcome)) << c.name;
    EXPECT_FALSE(conn.connecting()) << c.name;
    EXPECT_EQ(conn.connected(), std::nullopt) << c.name;  // a second event is stale
    EXPECT_EQ(conn.socket(), kSock) << c.name;            // released only by close
  }
}

struct ReadCase {
  ssize_t result;
  int error;
  TcpConnection::Received::Kind kind;
  std::size_t bytes;
};

TEST_F(TcpConnectionSteps, ReadEventTellsDataAgainClosedAndFailed) {
  TcpConnection conn;
  start(conn);
  for (const ReadCase& c : std::vector<ReadCase>{
           {5, 0, TcpConnection::Received::Data, 5},
           {ssize_t(kTcpReceiveSize), 0, TcpConnection::Received::Data, kTcpReceiveSize},
           {-1, EAGAIN, TcpConnection::Received::Again, 0},
           {-1, EINTR, TcpConnection::Received::Again, 0},
           {0, 0, TcpConnection::Received::Closed, 0},
           {-1, ECONNRESET, TcpConnection::Received::Failed, 0}}) {
    fake.recvResult = c.result;
    fake.recvErrno = c.error;
    const TcpConnection::Received r = conn.readable();
    EXPECT_EQ(r.kind, c.kind) << c.result << " " << c.error;
    EXPECT_EQ(r.bytes.size(), c.bytes);
    if (c.kind == TcpConnection::Received::Failed) {
      EXPECT_EQ(r.error, c.error);
    }
  }
}

TEST_F(TcpConnectionSteps, QueueWaitsForTheConnectAndDisconnectReleasesEverything) {
  TcpConnection conn;
  start(conn);
  ASSERT_TRUE(conn.queue().push("cKVL>APN1", SendQueue::Clock::now()));
  conn.flush();  // the connect is under way: nothing leaves
  EXPECT_EQ(conn.queue().waiting(), 9u);
  ASSERT_EQ(conn.connected(), std::optional<int>(0));
  fake.sendLimit = 4;  // taken in pieces, whole in the end
  conn.flush();
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"socket", "bind", "connect", "send 9", "send 5", "send 1"}));
  ASSERT_TRUE(conn.queue().push("cKVL>LogOn", SendQueue::Clock::now()));
  fake.sendLimit = 0;  // the socket takes nothing for now
  conn.flush();
  EXPECT_EQ(conn.queue().waiting(), 10u);
  fake.calls.clear();
  EXPECT_EQ(conn.disconnect(), 10u);  // what waits is dropped
  EXPECT_EQ(fake.calls, (std::vector<std::string>{"shutdown", "close"}));
  EXPECT_EQ(conn.socket(), 0);
  EXPECT_TRUE(conn.queue().empty());
  conn.flush();  // no socket: nothing is written
  EXPECT_EQ(fake.calls.size(), 2u);
}

}  // namespace
}  // namespace kvl
