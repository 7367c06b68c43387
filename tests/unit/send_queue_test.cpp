// The outgoing queue: whole commands under the limit, partial writes, the
// wait and drain reports.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/SendQueue.h"

using kvl::SendQueue;
using namespace std::chrono_literals;

namespace {

const SendQueue::Clock::time_point t0{};

// A device that takes at most `perCall` bytes per write and `budget` bytes
// in all, then answers EAGAIN (or `failWith`); it records each write.
struct Device {
  Device(std::size_t perCall, std::size_t budget, int failWith = EAGAIN)
      : perCall(perCall), budget(budget), failWith(failWith) {}
  std::size_t perCall;
  std::size_t budget;
  int failWith;
  std::string taken;
  std::vector<std::string> calls;
  ssize_t operator()(const char* data, std::size_t n) {
    calls.emplace_back(data, n);
    if (budget == 0) {
      errno = failWith;
      return -1;
    }
    n = std::min({n, perCall, budget});
    taken.append(data, n);
    budget -= n;
    return ssize_t(n);
  }
};

}  // namespace

TEST(SendQueue, LimitRefusesACommandWhole) {
  struct Case {
    std::size_t limit;
    std::vector<std::size_t> commands;
    std::vector<bool> accepted;
    std::size_t waiting;
  } cases[] = {
      {10, {4, 6}, {true, true}, 10},              // exactly at the limit
      {10, {4, 7, 6}, {true, false, true}, 10},    // the one that passes it is refused
      {10, {11, 0}, {false, true}, 0},             // larger than the limit; empty fits
      {SendQueue::kDefaultLimit, {SendQueue::kDefaultLimit, 1}, {true, false}, SendQueue::kDefaultLimit},
  };
  for (const Case& c : cases) {
    SendQueue q(c.limit);
    for (std::size_t i = 0; i < c.commands.size(); ++i)
      EXPECT_EQ(q.push(std::string(c.commands[i], 'x'), t0), c.accepted[i]) << c.limit << " #" << i;
    EXPECT_EQ(q.waiting(), c.waiting);
  }
  EXPECT_EQ(SendQueue::kDefaultLimit, 1u << 20);
}

TEST(SendQueue, WritesInOrderWithoutGluingCommands) {
  struct Case {
    std::size_t perCall, budget;
    std::string taken;   // what the device has after the first flush
    std::size_t waiting;
  } cases[] = {
      {100, 100, "aaaabbbbbbcc", 0},  // everything at once
      {3, 100, "aaaabbbbbbcc", 0},    // short writes
      {100, 6, "aaaabb", 6},          // the device stops taking mid-command
      {100, 0, "", 12},               // takes nothing
  };
  for (const Case& c : cases) {
    SendQueue q;
    for (const char* cmd : {"aaaa", "bbbbbb", "cc"}) ASSERT_TRUE(q.push(cmd, t0));
    Device d(c.perCall, c.budget);
    const auto r = q.flush(std::ref(d), t0);
    EXPECT_EQ(r.error, 0);
    EXPECT_EQ(d.taken, c.taken);
    EXPECT_EQ(q.waiting(), c.waiting);
    // No write ever holds bytes of two commands.
    for (const std::string& call : d.calls)
      EXPECT_EQ(call.find_first_not_of(call.front()), std::string::npos) << call;
    // Once the device takes again, the rest follows in order.
    d.budget = 1000;
    q.flush(std::ref(d), t0);
    EXPECT_EQ(d.taken, "aaaabbbbbbcc");
    EXPECT_TRUE(q.empty());
  }
}

TEST(SendQueue, FailureKeepsTheQueueAndDropSaysHowMuch) {
  SendQueue q;
  ASSERT_TRUE(q.push("abcdef", t0));
  Device d(100, 2, EIO);
  EXPECT_EQ(q.flush(std::ref(d), t0).error, EIO);
  EXPECT_EQ(q.waiting(), 4u);
  EXPECT_EQ(q.drop(), 4u);
  EXPECT_TRUE(q.empty());
  EXPECT_EQ(q.drop(), 0u);
}

TEST(SendQueue, StallIsReportedOnceAndItsDrainOnce) {
  SendQueue q;
  Device d(100, 0);
  ASSERT_TRUE(q.push("abcd", t0));
  q.flush(std::ref(d), t0);
  EXPECT_FALSE(q.stalled(t0 + 1900ms));
  EXPECT_TRUE(q.stalled(t0 + 2s));
  EXPECT_FALSE(q.stalled(t0 + 10s));  // once per stall
  d.budget = 2;
  EXPECT_FALSE(q.flush(std::ref(d), t0 + 11s).drained);  // progress, not drained
  EXPECT_FALSE(q.stalled(t0 + 12s));  // still the same report
  d.budget = 100;
  EXPECT_TRUE(q.flush(std::ref(d), t0 + 12s).drained);
  // A queue that drained without a report says nothing; progress restarts
  // the clock.
  ASSERT_TRUE(q.push("ef", t0 + 20s));
  EXPECT_FALSE(q.stalled(t0 + 21s));
  EXPECT_FALSE(q.flush(std::ref(d), t0 + 21s).drained);
  // A drop ends the stall without a drain report.
  d.budget = 0;
  ASSERT_TRUE(q.push("gh", t0 + 30s));
  EXPECT_TRUE(q.stalled(t0 + 33s));
  q.drop();
  ASSERT_TRUE(q.push("ij", t0 + 40s));
  EXPECT_FALSE(q.stalled(t0 + 41s));
  EXPECT_TRUE(q.stalled(t0 + 42s));
}

// Which command a link's end cuts: the bytes that left stop where the
// writer stopped taking, less what the driver then threw away.
TEST(SendQueue, CutCommandIsTheOneWhereTheBytesThatLeftStop) {
  using Cut = SendQueue::Cut;
  struct Case {
    std::size_t budget;     // bytes the device took of "aaaa" "bbbbbb" "cc"
    std::size_t discarded;  // of those, the last ones the driver threw away
    Cut cut;
  } cases[] = {
      {12, 0, {}},          // all sent
      {0, 0, {}},           // nothing begun
      {4, 0, {}},           // stopped between two commands
      {7, 0, {6, 3}},       // stopped in the queue, inside "bbbbbb"
      {7, 2, {6, 1}},       // the driver's part comes off it
      {7, 3, {}},           // ... back to the boundary: nothing cut
      {7, 5, {4, 2}},       // ... back into "aaaa"
      {12, 1, {2, 1}},      // all handed over, the driver kept the last byte
      {12, 5, {6, 3}},
      {12, 12, {}},         // nothing left at all
      {12, 13, {}},         // more than was handed: nothing known
  };
  for (const Case& c : cases) {
    SendQueue q;
    for (const char* cmd : {"aaaa", "bbbbbb", "cc"}) ASSERT_TRUE(q.push(cmd, t0));
    Device d(100, c.budget);
    q.flush(std::ref(d), t0);
    EXPECT_EQ(q.cutBy(c.discarded), c.cut) << c.budget << "/" << c.discarded;
    q.drop();
    EXPECT_EQ(q.cutBy(0), Cut{});
  }
}

// Closing first lets the command under way finish, and starts no other.
TEST(SendQueue, FinishUnderWayWritesOnlyTheBegunCommand) {
  struct Case {
    std::size_t budget;  // taken before the close
    std::string taken;   // after finishing
    std::size_t waiting;
  } cases[] = {
      {0, "", 12},            // nothing begun: nothing written
      {4, "aaaa", 8},         // between commands: nothing more
      {6, "aaaabbbbbb", 2},   // "bbbbbb" finished, "cc" not begun
  };
  for (const Case& c : cases) {
    SendQueue q;
    for (const char* cmd : {"aaaa", "bbbbbb", "cc"}) ASSERT_TRUE(q.push(cmd, t0));
    Device d(100, c.budget);
    q.flush(std::ref(d), t0);
    d.budget = 100;
    q.finishUnderWay(std::ref(d), t0);
    EXPECT_EQ(d.taken, c.taken) << c.budget;
    EXPECT_EQ(q.waiting(), c.waiting) << c.budget;
    EXPECT_EQ(q.cutBy(0), SendQueue::Cut{});
  }
}
