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

// A modem line's panel goes through every change the driver counted, in
// order, and ends with the line's own state.
TEST(LineSteps, EveryCountedChangeInOrderEndingWithTheLine) {
  using S = std::vector<bool>;
  const struct {
    const char* what;
    bool shown, now;
    std::uint32_t changes;
    S steps;
  } cases[] = {
      {"one change", false, true, 1, {true}},
      {"a pulse between two looks", false, false, 2, {true, false}},
      {"on, off, on", false, true, 3, {true, false, true}},
      {"two pulses", true, true, 4, {false, true, false, true}},
      {"sampled: the state alone", false, true, 0, {true}},
      {"sampled, unchanged", true, true, 0, {}},
      {"a count that does not fit loses one", false, false, 1, {}},
      {"a count that does not fit, two", false, true, 2, {true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(LineSteps(c.shown, c.now, c.changes), c.steps);
  }
  // A chattering line keeps its last steps, alternating, ending right.
  const S got = LineSteps(false, true, 1001);
  ASSERT_EQ(got.size(), kMaxLineSteps - 1);
  EXPECT_TRUE(got.front());
  EXPECT_TRUE(got.back());
  for (std::size_t i = 1; i < got.size(); ++i) EXPECT_NE(got[i], got[i - 1]);
}

}  // namespace
}  // namespace kvl
