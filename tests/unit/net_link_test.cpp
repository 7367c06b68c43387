// Address texts of the TCP link: the forms the address fields accept, and
// the dotted form the link reports.
#include "net/NetLink.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kvl
