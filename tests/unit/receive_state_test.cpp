// The parser's batch: what receptions leave in RxText for the reply parser.
#include "app/Util.h"

#include <gtest/gtest.h>

#include <vector>

#include "app/Reception.h"

namespace kvl {
namespace {

TEST(NoteReception, BatchKeepsItsNewestBytesWhenADeviceNeverPauses) {
  ResetSharedState();
  NoteReception("+CPBR: 1,\"+380670000000\",145,\"SMSADM\"\r\nOK\r\n");
  EXPECT_EQ(RxText, "+CPBR: 1,\"+380670000000\",145,\"SMSADM\"\r\nOK\r\n");
  EXPECT_EQ(RxQuietTicks, kRxQuietTicksStart);

  // A flood of 5 MiB in blocks, then a reply: the batch stays bounded and
  // ends with the newest bytes, the reply whole.
  const std::string block(2047, 'z');
  std::size_t largest = 0;
  for (std::size_t sent = 0; sent < 5 * kRxTextKeep; sent += block.size()) {
    NoteReception(block);
    largest = std::max(largest, RxText.size());
  }
  const std::string reply = "Bit registers work on SIM2\r\nSIM2 = 256 -->\r\n";
  NoteReception(reply);
  EXPECT_LE(largest, 2 * kRxTextKeep);
  EXPECT_GE(RxText.size(), kRxTextKeep);
  EXPECT_EQ(RxText.substr(RxText.size() - reply.size()), reply);
  EXPECT_EQ(RxText.find_first_not_of('z'), RxText.size() - reply.size());
  ResetSharedState();
}

struct ReceiveCase {
  const char* name;
  std::string bytes;
  RxRule rule;
  bool viewHex;
  RxShown shown;
};

// One routine for both links: the serial link's stamp and bytes 0..9, the
// TCP link's NUL, and the hex line of every byte on both.
TEST(Receive, EachLinkKeepsItsOwnRules) {
  using namespace std::string_literals;
  for (const ReceiveCase& c : std::vector<ReceiveCase>{
           {"serial OK", "OK\r\n", SerialRxRule(""), true, {"OK\r\n", "4F4B0D0A\r\n", "OK\r\n"}},
           {"serial TAB and NUL", "a\t\0b"s, SerialRxRule(""), true, {"ab", "61090062\r\n", "ab"}},
           {"serial stamp, hex off", "x", SerialRxRule("[09:05:07] "), false,
            {"[09:05:07] x", "", "[09:05:07] x"}},
           {"tcp keeps all but NUL in the text", "a\t\0b"s, TcpRxRule(), true,
            {"a\tb", "61090062\r\n", "a\t\0b"s}},
           {"tcp hex off", "OK\r", TcpRxRule(), false, {"OK\r", "", "OK\r"}}}) {
    const RxShown r = Receive(c.bytes, c.rule, c.viewHex);
    EXPECT_EQ(r.text, c.shown.text) << c.name;
    EXPECT_EQ(r.hex, c.shown.hex) << c.name;
    EXPECT_EQ(r.rxText, c.shown.rxText) << c.name;
  }
}

}  // namespace
}  // namespace kvl
