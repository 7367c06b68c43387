// The simulator's command reader (line ends, pause delimiting, limits), its
// option parsing and its payload checksum.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "tools/sim/CommandReader.h"
#include "tools/sim/Options.h"
#include "tools/sim/Payload.h"

using kvl::sim::CommandReader;
using kvl::sim::ReceivedCommand;
using namespace std::chrono_literals;

namespace {

using Clock = CommandReader::Clock;
const Clock::time_point t0{};

std::vector<std::string> texts(const std::vector<ReceivedCommand>& cmds) {
  std::vector<std::string> r;
  for (const auto& c : cmds) r.push_back(c.tooLong ? "<too long>" : c.text);
  return r;
}
using Lines = std::vector<std::string>;

}  // namespace

TEST(SimReader, LineEndsOfEveryKindEndACommandAndEmptyLinesAreIgnored) {
  CommandReader r;
  EXPECT_EQ(texts(r.feed("ActSim\r", t0)), Lines{"ActSim"});
  EXPECT_EQ(texts(r.feed("AT+CPBR=1,4\r\n", t0)), Lines{"AT+CPBR=1,4"});
  EXPECT_EQ(texts(r.feed("MyV=7\n", t0)), Lines{"MyV=7"});
  EXPECT_EQ(texts(r.feed("\r\n\r\n\n\r", t0)), Lines{});
  EXPECT_EQ(texts(r.feed("a\rb\nc\r\nd\n\re", t0)), (Lines{"a", "b", "c", "d"}));
  EXPECT_TRUE(r.hasPartial());
  EXPECT_EQ(texts(r.feed("\r", t0)), Lines{"e"});
  EXPECT_FALSE(r.hasPartial());
  EXPECT_EQ(r.deadline(), std::nullopt);
}

TEST(SimReader, CommandsSplitAcrossReadsAreJoined) {
  CommandReader r;
  const std::string stream = "cKVL>AT+CPBW=1,\"+380670000000\",145,\"SMSADM\"\r\ncKVL>ActSim=256\r";
  std::vector<ReceivedCommand> got;
  for (char c : stream)  // one byte per read, no time passing
    for (auto& cmd : r.feed(std::string(1, c), t0)) got.push_back(cmd);
  EXPECT_EQ(texts(got), (Lines{"cKVL>AT+CPBW=1,\"+380670000000\",145,\"SMSADM\"", "cKVL>ActSim=256"}));
  // "\r" and "\n" of one line end in different reads still make one end.
  EXPECT_EQ(texts(r.feed("LogOn\r", t0)), Lines{"LogOn"});
  EXPECT_EQ(texts(r.feed("\nLogOff\r", t0)), Lines{"LogOff"});
}

TEST(SimReader, APauseEndsACommandSentWithoutLineEnd) {
  CommandReader r(150ms);
  EXPECT_EQ(texts(r.feed("Log", t0)), Lines{});
  EXPECT_EQ(texts(r.feed("On", t0 + 100ms)), Lines{});  // still the same command
  EXPECT_EQ(r.deadline(), t0 + 250ms);
  EXPECT_EQ(texts(r.poll(t0 + 249ms)), Lines{});
  EXPECT_EQ(texts(r.poll(t0 + 250ms)), Lines{"LogOn"});
  EXPECT_EQ(texts(r.poll(t0 + 900ms)), Lines{});
  EXPECT_EQ(r.deadline(), std::nullopt);

  // Bytes that arrive after the pause without a poll in between: the quiet
  // partial line is completed first, then the new bytes start afresh.
  EXPECT_EQ(texts(r.feed("RESTART", t0 + 1s)), Lines{});
  EXPECT_EQ(texts(r.feed("ActSim\r", t0 + 1s + 150ms)), (Lines{"RESTART", "ActSim"}));

  // A line end that follows a pause-delimited command adds nothing.
  EXPECT_EQ(texts(r.feed("FACTORY", t0 + 2s)), Lines{});
  EXPECT_EQ(texts(r.poll(t0 + 3s)), Lines{"FACTORY"});
  EXPECT_EQ(texts(r.feed("\r\n", t0 + 3s)), Lines{});

  // Time standing still or going backwards never completes a command.
  EXPECT_EQ(texts(r.feed("LogOff", t0 + 5s)), Lines{});
  EXPECT_EQ(texts(r.poll(t0 + 4s)), Lines{});
  EXPECT_EQ(texts(r.poll(t0 + 5s)), Lines{});
}

TEST(SimReader, APromptPrefixStartsTheNextCommand) {
  CommandReader r;
  // Two one-click commands over TCP, back to back within the pause.
  EXPECT_EQ(texts(r.feed("cKVL>LogOn ActSimcKVL>ActSim\r", t0)), (Lines{"cKVL>LogOn ActSim", "cKVL>ActSim"}));
  EXPECT_EQ(texts(r.feed("cKVL>sPORTcKVL>dPORT", t0)), Lines{"cKVL>sPORT"});
  EXPECT_EQ(texts(r.poll(t0 + 1s)), Lines{"cKVL>dPORT"});
  // The prefix split across reads.
  EXPECT_EQ(texts(r.feed("APN1cK", t0 + 2s)), Lines{});
  EXPECT_EQ(texts(r.feed("VL>APN2\r", t0 + 2s)), (Lines{"APN1", "cKVL>APN2"}));
}

TEST(SimReader, OverLongLinesAreDroppedWithBoundedMemory) {
  CommandReader r(150ms, 64);
  const std::string big(10000, 'x');
  EXPECT_EQ(texts(r.feed(big, t0)), Lines{});
  EXPECT_LE(r.partialSize(), 64u);
  EXPECT_EQ(texts(r.feed(big + "\r\nActSim\r", t0)), (Lines{"<too long>", "ActSim"}));

  // Exactly at the limit is still a command.
  EXPECT_EQ(texts(r.feed(std::string(64, 'y') + "\r", t0)), Lines{std::string(64, 'y')});
  EXPECT_EQ(texts(r.feed(std::string(65, 'y') + "\r", t0)), Lines{"<too long>"});

  // An over-long line without a line end is ended by the pause too.
  EXPECT_EQ(texts(r.feed(big, t0)), Lines{});
  EXPECT_EQ(texts(r.poll(t0 + 150ms)), Lines{"<too long>"});

  // A prompt prefix inside the overflow rescues the command after it.
  EXPECT_EQ(texts(r.feed(big + "cKVL>ActSim\r", t0 + 1s)), (Lines{"<too long>", "cKVL>ActSim"}));
}

TEST(SimReader, RandomInputKeepsEveryInvariant) {
  std::mt19937 rng(20240607);
  std::string alphabet = "cKVL>\r\nActSim=0123456789\" ";
  alphabet += '\0';
  alphabet += '\xff';
  for (std::size_t limit : {std::size_t{0}, std::size_t{8}, std::size_t{4096}}) {
    CommandReader r(150ms, limit);
    Clock::time_point now = t0;
    for (int round = 0; round < 2000; ++round) {
      std::string chunk(rng() % 300, '\0');
      for (char& c : chunk) c = alphabet[rng() % alphabet.size()];
      if (rng() % 50 == 0) chunk += std::string(rng() % 10000, 'z');
      now += std::chrono::milliseconds(rng() % 200);
      auto cmds = r.feed(chunk, now);
      auto more = r.poll(now + std::chrono::milliseconds(rng() % 200));
      cmds.insert(cmds.end(), more.begin(), more.end());
      for (const auto& c : cmds) {
        ASSERT_EQ(c.text.find_first_of("\r\n"), std::string::npos);
        ASSERT_LE(c.text.size(), std::max<std::size_t>(limit, 6));
        ASSERT_TRUE(c.tooLong || !c.text.empty());
        ASSERT_TRUE(!c.tooLong || c.text.empty());
      }
      ASSERT_LE(r.partialSize(), std::max<std::size_t>(limit, 6));
    }
  }
}

TEST(SimOptions, LinksAndStreamsAreParsed) {
  std::string error;
  auto o = kvl::sim::parseOptions({"--pty", "--link", "/tmp/com1", "--tcp=7777", "--bind", "0.0.0.0",
                                   "--telemetry", "0.5", "--send-bytes", "1048576", "--echo", "--mask",
                                   "256", "--contact", "1,+380670000000,SMSADM", "--pause", "200",
                                   "--state", "/tmp/state"},
                                  error);
  ASSERT_TRUE(o) << error;
  EXPECT_TRUE(o->pty);
  EXPECT_EQ(o->link, "/tmp/com1");
  EXPECT_EQ(o->tcpPort, 7777);
  EXPECT_EQ(o->bind, "0.0.0.0");
  EXPECT_DOUBLE_EQ(o->telemetrySeconds, 0.5);
  EXPECT_EQ(o->sendBytes, 1048576u);
  EXPECT_TRUE(o->echo);
  EXPECT_EQ(o->mask, 256u);
  ASSERT_EQ(o->contacts.size(), 1u);
  EXPECT_EQ(o->contacts[0].first, 1);
  EXPECT_EQ(o->contacts[0].second, (kvl::sim::PhoneEntry{"+380670000000", 145, "SMSADM"}));
  EXPECT_EQ(o->pause, 200ms);
  EXPECT_EQ(o->stateFile, "/tmp/state");

  auto tcpOnly = kvl::sim::parseOptions({"--tcp", "0"}, error);
  ASSERT_TRUE(tcpOnly) << error;
  EXPECT_FALSE(tcpOnly->pty);
  EXPECT_EQ(tcpOnly->tcpPort, 0);
  EXPECT_EQ(tcpOnly->bind, "127.0.0.1");
  EXPECT_EQ(tcpOnly->telemetrySeconds, 0);
  EXPECT_FALSE(tcpOnly->echo);

  auto help = kvl::sim::parseOptions({"--help", "--bogus"}, error);
  ASSERT_TRUE(help);
  EXPECT_TRUE(help->help);
  EXPECT_NE(kvl::sim::usage("kvl-sim").find("--send-file"), std::string::npos);
}

TEST(SimOptions, MistakesAreReported) {
  const std::vector<std::vector<std::string>> bad = {
      {},                                         // nothing to serve
      {"--echo"},                                 // still nothing to serve
      {"--tcp", "7777", "--link", "/tmp/x"},      // symlink without a pty
      {"--tcp"},                                  // missing value
      {"--tcp", "65536"},
      {"--tcp", "-1"},
      {"--tcp", "12ab"},
      {"--pty", "--telemetry", "0"},
      {"--pty", "--telemetry", "abc"},
      {"--pty", "--telemetry", "1e400"},
      {"--pty", "--send-file", "a", "--send-bytes", "5"},
      {"--pty", "--send-bytes", "99999999999999999999999"},
      {"--pty", "--mask", "16777216"},
      {"--pty", "--contact", "5,+380670000000,SMSADM"},
      {"--pty", "--contact", "1,+380670000000"},
      {"--pty", "--contact", "1,\"x\",SMSADM"},
      {"--pty", "--pause", "5"},
      {"--pty=yes"},
      {"--pty", "--frobnicate"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    std::string error;
    EXPECT_FALSE(kvl::sim::parseOptions(args, error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(SimPayload, ChecksumAndPattern) {
  auto fnv = [](std::string_view s) {
    kvl::sim::Fnv1a64 h;
    h.update(s);
    return h.hex();
  };
  // Published FNV-1a 64 test vectors.
  EXPECT_EQ(fnv(""), "cbf29ce484222325");
  EXPECT_EQ(fnv("a"), "af63dc4c8601ec8c");
  EXPECT_EQ(fnv("foobar"), "85944171f73967e8");
  // Incremental use gives the same result.
  kvl::sim::Fnv1a64 parts;
  parts.update("foo");
  parts.update("bar");
  EXPECT_EQ(parts.hex(), "85944171f73967e8");

  // The pattern is text lines of 64 characters ended by CR LF, and a block
  // read at any offset matches the byte-wise definition.
  std::string block(1000, '\0');
  kvl::sim::fillPattern(0, block.data(), block.size());
  for (std::size_t i = 0; i < block.size(); ++i) {
    const std::size_t col = i % kvl::sim::kPatternLine;
    if (col == 64) ASSERT_EQ(block[i], '\r');
    else if (col == 65) ASSERT_EQ(block[i], '\n');
    else ASSERT_TRUE(std::isprint(static_cast<unsigned char>(block[i])));
  }
  EXPECT_NE(block.substr(0, 64), block.substr(66, 64));
  std::string tail(100, '\0');
  kvl::sim::fillPattern(900, tail.data(), tail.size());
  EXPECT_EQ(tail, block.substr(900));
}
