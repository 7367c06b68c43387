// Fuzz target: the simulator's command reader, fed in reads of random sizes
// with random clock advances and polls in between.
//
// Input: the received bytes from the front; the control bytes are taken from
// the back (like FuzzedDataProvider does): the length limit, the pause, then
// per read its size and how the clock moves. A readable command stream with
// a few bytes appended is therefore a good seed.
//
// Checked on every input:
//  - the commands are exactly those of a plain model of the reader's rules:
//    the byte stream split at CR and LF, at quiet gaps of at least the pause
//    and before every prompt prefix "cKVL>" not already starting a piece;
//    empty pieces dropped, pieces over the limit reported as too long;
//  - no command exceeds the limit, holds a line end, or is empty unless too
//    long; the commands appear in the input in order; when nothing was too
//    long, the commands together are the input without its line ends;
//  - the pending partial line stays within the limit, the deadline is the
//    last read plus the pause, and a poll at or after it completes the line.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/CommandReader.h"

namespace {

using kvl::sim::CommandReader;
using kvl::sim::ReceivedCommand;
using Clock = CommandReader::Clock;
using std::chrono::milliseconds;

constexpr std::string_view kPrefix = "cKVL>";

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
  }
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), back_(size) {}
  bool empty() const { return front_ >= back_; }
  std::uint8_t back() { return back_ > front_ ? data_[--back_] : 0; }
  std::string_view front(std::size_t n) {
    n = std::min(n, back_ - front_);
    std::string_view s(reinterpret_cast<const char*>(data_) + front_, n);
    front_ += n;
    return s;
  }

 private:
  const std::uint8_t* data_;
  std::size_t front_ = 0;
  std::size_t back_;
};

void Dump(const std::vector<ReceivedCommand>& cmds) {
  for (const auto& c : cmds) {
    if (c.tooLong) {
      std::fprintf(stderr, "  <too long>\n");
      continue;
    }
    std::fprintf(stderr, "  \"");
    for (unsigned char ch : c.text)
      std::fprintf(stderr, ch >= 0x20 && ch < 0x7F && ch != '\\' ? "%c" : "\\x%02X", ch);
    std::fprintf(stderr, "\"\n");
  }
}

struct Read {
  std::string bytes;
  Clock::time_point at;
};

// The commands the reader's rules give for the reads.
std::vector<ReceivedCommand> Model(const std::vector<Read>& reads, milliseconds pause,
                                   std::size_t limit) {
  std::vector<ReceivedCommand> out;
  std::string segment;
  auto endSegment = [&] {
    std::size_t start = 0;
    while (start < segment.size()) {
      std::size_t next = segment.find(kPrefix, start + 1);
      if (next == std::string::npos) next = segment.size();
      std::string piece = segment.substr(start, next - start);
      if (piece.size() > limit)
        out.push_back({{}, true});
      else
        out.push_back({piece, false});
      start = next;
    }
    segment.clear();
  };
  for (std::size_t i = 0; i < reads.size(); ++i) {
    if (i > 0 && reads[i].at - reads[i - 1].at >= pause) endSegment();
    for (char c : reads[i].bytes) {
      if (c == '\r' || c == '\n')
        endSegment();
      else
        segment += c;
    }
  }
  endSegment();
  return out;
}

// What the reads gave: the commands, the non-empty reads and all bytes read.
struct Run {
  std::vector<ReceivedCommand> got;
  std::vector<Read> reads;
  std::string stream;
};

// Feeds the reader the reads the control bytes describe, with the clock
// moves and polls between them, then polls once the last pause is over;
// after every step the pending line and the deadline follow the rules.
Run FeedReads(Input& in, CommandReader& reader, milliseconds pause, std::size_t limit) {
  Run run;
  Clock::time_point now{};
  Clock::time_point lastRead{};

  auto take = [&](std::vector<ReceivedCommand> cmds) {
    for (auto& c : cmds) run.got.push_back(std::move(c));
    Check(reader.partialSize() <= limit, "the partial line stays within the limit");
    Check(reader.deadline().has_value() == reader.hasPartial(), "a deadline only with a partial line");
    if (reader.hasPartial()) Check(*reader.deadline() == lastRead + pause, "deadline = last read + pause");
  };

  while (!in.empty()) {
    const std::size_t length = in.back() % 48;
    const std::uint8_t timing = in.back();
    const unsigned extra = timing >> 3;
    milliseconds advance{0};
    switch (timing & 3) {
      case 0: break;
      case 1: advance = milliseconds(extra % pause.count()); break;  // within the pause
      case 2: advance = pause + milliseconds(extra); break;          // a quiet gap
      case 3: advance = pause - milliseconds(1); break;              // just short of it
    }
    const Clock::time_point previous = now;
    now += advance;
    if (timing & 4) {
      const Clock::time_point at = previous + (now - previous) / 2;
      take(reader.poll(at));
      if (!run.reads.empty() && at - lastRead >= pause)
        Check(!reader.hasPartial(), "a poll after the pause completes the line");
    }
    const std::string_view bytes = in.front(length);
    if (!bytes.empty()) {
      lastRead = now;
      run.reads.push_back({std::string(bytes), now});
      run.stream += bytes;
    }
    take(reader.feed(bytes, now));
  }
  take(reader.poll(lastRead + pause));
  Check(!reader.hasPartial(), "the final poll completes the line");
  return run;
}

// Each command on its own, and all of them against the bytes read.
void CheckCommands(const Run& run, std::size_t limit) {
  bool anyTooLong = false;
  std::string joined;
  std::size_t cursor = 0;
  for (const auto& c : run.got) {
    if (c.tooLong) {
      Check(c.text.empty(), "a too-long command carries no text");
      anyTooLong = true;
      continue;
    }
    Check(!c.text.empty(), "no empty commands");
    Check(c.text.size() <= limit, "no command exceeds the limit");
    Check(c.text.find_first_of("\r\n") == std::string::npos, "no line end inside a command");
    const std::size_t at = run.stream.find(c.text, cursor);
    Check(at != std::string::npos, "commands are bytes of the input, in order");
    cursor = at + c.text.size();
    joined += c.text;
  }
  if (!anyTooLong) {
    std::string withoutEnds;
    for (char c : run.stream)
      if (c != '\r' && c != '\n') withoutEnds += c;
    Check(joined == withoutEnds, "nothing is lost when no line was too long");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  const std::uint8_t limitSel = in.back();
  const std::uint8_t pauseSel = in.back();
  const std::size_t limit = (limitSel & 0x80) ? CommandReader::kDefaultMaxCommand : 6 + limitSel;
  const milliseconds pause(1 + pauseSel % 200);

  CommandReader reader(pause, limit);
  const Run run = FeedReads(in, reader, pause, limit);
  CheckCommands(run, limit);

  const std::vector<ReceivedCommand> expected = Model(run.reads, pause, limit);
  if (run.got != expected) {
    std::fprintf(stderr, "limit %zu, pause %lld ms\ngot:\n", limit,
                 static_cast<long long>(pause.count()));
    Dump(run.got);
    std::fprintf(stderr, "expected:\n");
    Dump(expected);
  }
  Check(run.got == expected, "commands follow the reader's rules");
  return 0;
}
