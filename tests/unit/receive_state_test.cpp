// The parser's batch: what receptions leave in RxText for the reply parser.
#include "app/Util.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace kvl
