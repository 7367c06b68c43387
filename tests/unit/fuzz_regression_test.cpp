// Faults the fuzz targets (fuzz/) found, kept as plain test cases so that the
// ordinary test run guards them. Each case names the corpus file in
// fuzz/corpus/ that holds the input as the fuzzer saw it.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tools/sim/CommandReader.h"

using kvl::sim::CommandReader;
using kvl::sim::ReceivedCommand;
using namespace std::chrono_literals;

namespace {

using Clock = CommandReader::Clock;
const Clock::time_point t0{};
using Lines = std::vector<std::string>;

Lines Texts(const std::vector<ReceivedCommand>& cmds) {
  Lines r;
  for (const auto& c : cmds) r.push_back(c.tooLong ? "<too long>" : c.text);
  return r;
}

// Feeds the reads (all within the pause) and then polls after the pause.
Lines FeedAll(CommandReader& r, const std::vector<std::string>& reads) {
  Lines got;
  for (const auto& bytes : reads) {
    for (auto& t : Texts(r.feed(bytes, t0))) got.push_back(t);
    EXPECT_LE(r.partialSize(), 16u);
  }
  for (auto& t : Texts(r.poll(t0 + 1s))) got.push_back(t);
  EXPECT_FALSE(r.hasPartial());
  return got;
}

}  // namespace

// command_reader_fuzz, finding_prefix_across_limit.bin: a prompt prefix that
// began just before the length limit and ended beyond it was not seen, and
// the short command before it was thrown away with the rest of the line.
TEST(FuzzRegression, CommandBeforeAPrefixThatCrossesTheLimitIsKept) {
  CommandReader r(150ms, 6);
  EXPECT_EQ(Texts(r.feed("APN1cK", t0)), Lines{});
  EXPECT_EQ(Texts(r.feed("VL>APN2\r", t0 + 149ms)), (Lines{"APN1", "<too long>"}));

  // Every place of the prefix around the limit of 16 bytes.
  for (std::size_t before = 11; before <= 16; ++before) {
    SCOPED_TRACE(before);
    CommandReader r16(150ms, 16);
    const std::string line(before, 'a');
    EXPECT_EQ(FeedAll(r16, {line + "cKVL>Z\r"}), (Lines{line, "cKVL>Z"}));
    // The same one byte per read.
    CommandReader bytewise(150ms, 16);
    std::vector<std::string> reads;
    for (char c : line + "cKVL>Z") reads.emplace_back(1, c);
    EXPECT_EQ(FeedAll(bytewise, reads), (Lines{line, "cKVL>Z"}));
  }
}

// command_reader_fuzz, finding_full_line_then_prefix.bin: a command of
// exactly the limit followed directly by a prompt prefix was reported as too
// long.
TEST(FuzzRegression, CommandOfExactlyTheLimitBeforeAPrefixIsKept) {
  CommandReader r(150ms, 16);
  EXPECT_EQ(FeedAll(r, {"abcdefghijklmnopcKVL>Z\r"}), (Lines{"abcdefghijklmnop", "cKVL>Z"}));
}

// The limit itself still holds around a prefix: one byte more before it, and
// the line is too long, while the prefix still starts the next command.
TEST(FuzzRegression, LineOverTheLimitBeforeAPrefixIsStillTooLong) {
  for (std::size_t before = 17; before <= 22; ++before) {
    SCOPED_TRACE(before);
    CommandReader r(150ms, 16);
    EXPECT_EQ(FeedAll(r, {std::string(before, 'a') + "cKVL>Z\r"}), (Lines{"<too long>", "cKVL>Z"}));
  }
  // Bytes held beyond the limit and then a line end, a pause or a partial
  // prefix that does not complete: too long each time.
  CommandReader r(150ms, 16);
  EXPECT_EQ(FeedAll(r, {std::string(16, 'a') + "cK\r"}), Lines{"<too long>"});
  EXPECT_EQ(FeedAll(r, {std::string(16, 'a') + "cKV"}), Lines{"<too long>"});
  EXPECT_EQ(FeedAll(r, {std::string(14, 'a') + "cKVLx" + "b\r"}), Lines{"<too long>"});
  EXPECT_EQ(FeedAll(r, {std::string(16, 'a') + "\r"}), Lines{std::string(16, 'a')});
}
