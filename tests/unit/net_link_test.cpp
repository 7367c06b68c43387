// Address texts of the TCP link: the forms the address fields accept, and
// the dotted form the link reports.
#include "net/NetLink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "net/TcpLink.h"

namespace kvl {
namespace {

struct AddressCase {
  const char* text;
  const char* dotted;  // nullptr: refused (INADDR_NONE)
};

class InetAddrForms : public ::testing::TestWithParam<AddressCase> {};

TEST_P(InetAddrForms, ReadAsTheClassicRulesSay) {
  const AddressCase& c = GetParam();
  const std::uint32_t a = InetAddr(c.text);
  if (!c.dotted)
    EXPECT_EQ(a, INADDR_NONE) << c.text;
  else
    EXPECT_EQ(IpToText(a), c.dotted) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InetAddrForms,
    ::testing::Values(AddressCase{"192.168.1.10", "192.168.1.10"},
                      AddressCase{"127.1", "127.0.0.1"},
                      AddressCase{"10.1.2", "10.1.0.2"},
                      AddressCase{"0x7f.0.0.1", "127.0.0.1"},
                      AddressCase{"0177.0.0.1", "127.0.0.1"},
                      AddressCase{"2130706433", "127.0.0.1"},
                      AddressCase{"0.0.0.0", "0.0.0.0"},
                      AddressCase{"localhost", nullptr},
                      AddressCase{"256.0.0.1", nullptr},
                      AddressCase{"1.2.3.4.5", nullptr},
                      AddressCase{"08.0.0.1", nullptr},
                      AddressCase{"", nullptr},
                      AddressCase{"255.255.255.255", nullptr}));

TEST(InetAddr, ZeroByteIsNotAnEnd) {
  EXPECT_EQ(InetAddr(std::string_view("127.0.0.1\0x", 11)), INADDR_NONE);
}

// Reconnecting soon after a disconnect: the source port just used lingers in
// TIME_WAIT on our side, and binding it again must still work.
TEST(TcpBind, SourcePortInTimeWaitCanBeBoundAgain) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof any;
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  ASSERT_EQ(::listen(listener, 4), 0);
  sockaddr_in remote{};
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&remote), &len), 0);

  int error = 0;
  const int first = TcpOpen(error);
  ASSERT_GE(first, 0);
  ASSERT_TRUE(TcpBind(first, any, error)) << error;  // port 0: the system picks one
  sockaddr_in local{};
  len = sizeof local;
  ASSERT_EQ(::getsockname(first, reinterpret_cast<sockaddr*>(&local), &len), 0);
  ASSERT_EQ(TcpConnect(first, remote, error), ConnectStart::Connected) << error;
  const int accepted = ::accept(listener, nullptr, nullptr);
  ASSERT_GE(accepted, 0);
  // We close first: our end of the connection goes into TIME_WAIT.
  TcpShutdown(first);
  TcpClose(first);
  char b;
  ASSERT_EQ(::read(accepted, &b, 1), 0);
  ::close(accepted);

  const int second = TcpOpen(error);
  ASSERT_GE(second, 0);
  EXPECT_TRUE(TcpBind(second, local, error)) << strerror(error);
  TcpClose(second);
  ::close(listener);
}

// A connect refused with EADDRNOTAVAIL (the pair of addresses and ports is
// still in TIME_WAIT) gets a line saying what to do; other failures have
// only the system's text.
TEST(ConnectFailureNote, SaysTheSourcePortIsStillHeld) {
  struct Case {
    int error;
    std::uint16_t port;
    std::string note;
  };
  for (const Case& c : std::vector<Case>{
           {EADDRNOTAVAIL, 10000,
            " Source port 10000 is still held by the last connection from it (for up to a minute);"
            " another source port works at once: tick Connect again\r\n"},
           {ECONNREFUSED, 10000, ""},
           {ENETUNREACH, 5000, ""},
           {ETIMEDOUT, 5000, ""},
       })
    EXPECT_EQ(ConnectFailureNote(c.error, c.port), c.note) << c.error;
}

}  // namespace
}  // namespace kvl
