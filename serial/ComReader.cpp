// The reader thread and the receive ring.
//
// The ring is a single-producer, single-consumer queue: only the reader moves
// WriteIndex, only the GUI thread (ComTakeRx) moves ReadIndex. Bytes between
// ReadIndex and WriteIndex are unread; the reader never writes over them and
// waits for room instead, so nothing received is lost.
//
// Bytes are paced: the first block after a quiet spell is posted at once,
// and while bytes keep coming they are held in the ring and posted once per
// handOverInterval (at once when the ring is nearly full, or with a line
// event), so a device talking at a line's rate wakes the window twice a
// second, not once per block the driver delivers. While the window's tick
// is known (windowTickNs), the hand-over is timed just before it and the
// bytes are left for the tick to take (tickTakes), so one wake-up of the
// window takes and draws them; if the tick does not come, the reader posts
// them after all. While bytes keep coming the reader itself sleeps through
// those blocks too: it leaves the port out of its wait until the hand-over
// is due, and the driver keeps what arrives meanwhile (never more than half
// its 4 KB buffer at the pace last seen, so a device under hardware flow
// control is not held up).
//
// A flood (the window took kFloodRings nearly full rings in a row, each
// within kFloodGap of the last) is taken differently: the window stays in
// ComTakeFlood for a few milliseconds and takes each ring as soon as the
// reader has filled it, and the reader, told by windowWaits, watches a
// full ring for room on its core. A sleep and a wake-up on both sides for
// every 2 KB would cost more than the bytes themselves. The window's takes
// there leave postPending set, so the reader does not post meanwhile; the
// ComTakeRx that ends the spell clears it and looks at everything, as
// after any post.
//
// Posts are coalesced: the reader posts only when postPending was clear, and
// ComTakeRx clears it before it looks at the ring and the pending events.
// Both sides use sequentially consistent operations on postPending and on
// what it guards, so either the reader sees the flag clear and posts, or the
// take that clears it afterwards sees the reader's bytes and events.
//
// Modem-line events come, where the driver can, from a second thread that
// sleeps in the driver's wait for a line change and compares the driver's
// change counters, so that a pulse shorter than any sampling interval still
// gives its event and an idle port costs nothing. Where the driver cannot
// (EINVAL, ENOTTY), the reader samples the lines every 20 ms instead. A
// device without modem lines (a pseudo-terminal) has neither. The watcher
// publishes events exactly as the reader does; both may post.
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>
#include <thread>
#include <utility>

#include "serial/ComLineState.h"
#include "serial/SerialOs.h"
#include "serial/uCom.h"

namespace kvl {

namespace {

using Clock = std::chrono::steady_clock;

// How often the modem lines are sampled while line events are wanted.
constexpr auto kLineSampleInterval = std::chrono::milliseconds(20);
// Failed waits in a row that count as the device being gone.
constexpr int kFailedWaitLimit = 3;

constexpr std::uint16_t kRingMask = kRingSize - 1;
// Bytes in the ring that are posted at once, however soon after the last:
// the window takes them before the driver's own buffer (4 KB and more)
// fills behind a full ring.
constexpr std::size_t kPostAtOnce = kRingSize - 256;
// Held bytes are posted with an arrival this close to the end of the
// interval, and the wait for the end runs this much over it, so that bytes
// arriving at the interval's pace wake the reader once each, not twice.
constexpr auto kPostSlack = std::chrono::milliseconds(10);
// While bytes keep coming, the driver is left to keep at most this many
// before the reader takes them: half the 4 KB a tty keeps before it
// throttles the device.
constexpr std::uint64_t kLeftWithDriver = 2048;  // bytes
// A hand-over timed to the window's tick is due this long before it, so
// that the bytes are in the ring before the tick comes even when the
// reader wakes a few milliseconds late.
constexpr std::chrono::milliseconds kTickLead{10};
// Sleeps shorter than this are not worth leaving the port out of the wait.
constexpr std::chrono::milliseconds kShortestSleep{3};
// A flood: the window took this many nearly full rings in a row, each
// within kFloodGap of the last. Two may be only what the driver kept while
// the reader slept; a third means bytes come faster than a ring a
// millisecond.
constexpr int kFloodRings = 3;
constexpr std::chrono::milliseconds kFloodGap{2};
// How long the window, during a flood, waits on its core for the reader to
// fill the ring again, and the reader for the window to take a full one.
// Either takes tens of microseconds while the flood lasts.
constexpr std::chrono::microseconds kFillSpin{400};
constexpr std::chrono::microseconds kRoomSpin{100};
static_assert((kRingSize & kRingMask) == 0, "ring size must be a power of two");

std::uint32_t CountEventsOf(const LineCounts& before, const LineCounts& now) {
  std::uint32_t events = 0;
  if (now.cts != before.cts) events |= EV_CTS;
  if (now.dsr != before.dsr) events |= EV_DSR;
  if (now.dcd != before.dcd) events |= EV_RLSD;
  if (now.ring != before.ring) events |= EV_RING;
  return events;
}

std::uint32_t LineEventsOf(int changed) {
  std::uint32_t events = 0;
  if (changed & TIOCM_CTS) events |= EV_CTS;
  if (changed & TIOCM_DSR) events |= EV_DSR;
  if (changed & TIOCM_CAR) events |= EV_RLSD;
  if (changed & TIOCM_RNG) events |= EV_RING;
  return events;
}

void Notify(TComPort& port) {
  if (!port.postPending.exchange(true) && port.post) port.post();
}

void Publish(TComPort& port, std::uint32_t events) {
  port.LastEvents.store(events);
  port.pendingEvents.fetch_or(events);
  Notify(port);
}

// Adds counted changes, with the lines' state they led to (-1 unknown), to
// what the window has not taken yet: one word, so that the window takes
// counts and state together.
void AddLineChanges(TComPort& port, const std::uint32_t (&delta)[kLineCount], int lines) {
  std::uint64_t state = 0;
  if (lines >= 0) {
    const int bits[kLineCount] = {TIOCM_CAR, TIOCM_DSR, TIOCM_CTS, TIOCM_RNG};
    state = kLinesKnown;
    for (int i = 0; i < kLineCount; ++i)
      if (lines & bits[i]) state |= std::uint64_t(1) << (kLineStateShift + i);
  }
  std::uint64_t old = port.pendingLines.load();
  std::uint64_t next;
  do {
    next = state;
    for (int i = 0; i < kLineCount; ++i) {
      const std::uint64_t count = std::min<std::uint64_t>(LineChangeCount(old, i) + delta[i], kLineCountMax);
      next |= count << (kLineCountBits * i);
    }
  } while (!port.pendingLines.compare_exchange_weak(old, next));
}

void HangUp(TComPort& port) {
  port.hungUp.store(true);
  Notify(port);
}

// Copies bytes into the ring at WriteIndex (the caller made sure of room).
void StoreInRing(TComPort& port, const unsigned char* bytes, std::size_t count) {
  std::uint16_t w = port.WriteIndex.load(std::memory_order_relaxed);
  const std::size_t first = std::min(count, kRingSize - w);
  std::copy(bytes, bytes + first, port.Ring + w);
  std::copy(bytes + first, bytes + count, port.Ring);
  w = static_cast<std::uint16_t>((w + count) & kRingMask);
  port.WriteIndex.store(w);
}

// Waits up to `limit` for ready() without giving up the core. On a single
// core the other side cannot run meanwhile, so it only looks once.
template <class Ready>
bool SpinFor(std::chrono::microseconds limit, Ready ready) {
  static const bool severalCores = std::thread::hardware_concurrency() > 1;
  if (ready()) return true;
  if (!severalCores) return false;
  const auto until = Clock::now() + limit;
  do {
    for (int i = 0; i < 64; ++i) {
      if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
      __builtin_ia32_pause();
#endif
    }
  } while (Clock::now() < until);
  return ready();
}

std::size_t RingFill(const TComPort& port) {
  return static_cast<std::uint16_t>(port.WriteIndex.load() - port.ReadIndex.load(std::memory_order_relaxed)) &
         kRingMask;
}

// Takes the ring's bytes into `bytes` (replacing them) and tells the reader
// there is room.
void TakeRing(TComPort& port, std::string& bytes) {
  const std::uint16_t w = port.WriteIndex.load();
  const std::uint16_t r = port.ReadIndex.load(std::memory_order_relaxed);
  bytes.clear();
  if (r == w) return;
  if (r < w) {
    bytes.assign(port.Ring + r, port.Ring + w);
  } else {
    bytes.assign(port.Ring + r, port.Ring + kRingSize);
    bytes.append(port.Ring, port.Ring + w);
  }
  port.ReadIndex.store(w);
  // Only a reader asleep for room needs the signal (see roomWanted).
  if (port.roomWanted.load()) SignalEventFd(port.roomFd);
}

// Counts a nearly full take towards a flood.
void NoteFullTake(TComPort& port) {
  const auto now = Clock::now();
  if (now - port.lastFullTake > kFloodGap) port.fullTakesInARow = 0;
  port.lastFullTake = now;
  ++port.fullTakesInARow;
}

}  // namespace

bool ComFlooding(TComPort& port, const RxBatch& batch) {
  if (batch.bytes.size() < kPostAtOnce || (batch.events & kLineEvents) || batch.hungUp) {
    port.fullTakesInARow = 0;
    return false;
  }
  NoteFullTake(port);
  return port.fullTakesInARow >= kFloodRings;
}

void ComTakeFlood(TComPort& port, std::chrono::milliseconds budget,
                  const std::function<void(const std::string&)>& show) {
  // The reader posts nothing while postPending stays set, and these takes
  // leave it as it is: the ComTakeRx that follows clears it and looks at
  // everything, so nothing is left behind, and the window's queue is not
  // filled with a post per ring meanwhile.
  // A line event, a hang-up or an ended reader is for ComTakeRx, in order
  // after the bytes already taken.
  const auto otherNews = [&] {
    return (port.pendingEvents.load() & kLineEvents) != 0 || port.hungUp.load() || !port.readerRunning.load();
  };
  const auto until = Clock::now() + budget;
  port.windowWaits.store(true);
  std::string bytes;
  while (Clock::now() < until) {
    if (!SpinFor(kFillSpin, [&] { return RingFill(port) >= kPostAtOnce || otherNews(); }) || otherNews()) break;
    TakeRing(port, bytes);
    NoteFullTake(port);  // the spell's rings count, so the next spell follows at once
    show(bytes);
  }
  port.windowWaits.store(false);
}

RxBatch ComTakeAndShow(TComPort& port, std::chrono::milliseconds floodBudget,
                       const std::function<void(const std::string&)>& show) {
  RxBatch batch = ComTakeRx(port);
  if (ComFlooding(port, batch)) {
    show(batch.bytes);
    ComTakeFlood(port, floodBudget, show);
    batch = ComTakeRx(port);
  }
  show(batch.bytes);
  batch.bytes.clear();
  return batch;
}

Clock::time_point ComHandOverDue(std::chrono::milliseconds interval, Clock::time_point lastPost,
                                 std::int64_t windowTickNs, bool* atTick) {
  if (atTick) *atTick = false;
  const auto plain = lastPost + interval + kPostSlack;
  if (windowTickNs == 0 || interval.count() <= 0) return plain;
  const Clock::time_point tick{std::chrono::nanoseconds(windowTickNs)};
  const auto from = lastPost + interval / 4;
  // A tick missed for several intervals (the window is busy) says nothing.
  if (from - tick > 4 * interval) return plain;
  const auto ticks = from > tick ? (from - tick + interval - Clock::duration(1)) / interval : 0;
  if (atTick) *atTick = true;
  return tick + ticks * interval - kTickLead;
}

bool ComNoteWindowTick(TComPort& port) {
  const auto now = Clock::now().time_since_epoch();
  port.windowTickNs.store(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
  return port.tickTakes.exchange(false);
}

bool ComStartReader(TComPort& port, std::function<void()> post) {
  const int fd = port.Handle.load();
  if (fd < 0 || port.ReaderThread.joinable() || port.lineThread.joinable()) return false;
  port.post = std::move(post);
  port.hungUp.store(false);
  port.pendingEvents.store(0);
  port.pendingLines.store(0);
  port.postPending.store(false);
  port.StopFlag.store(false);

  // How line changes will be seen: waited for where the driver counts
  // them (counted from here on), otherwise sampled by the reader if the
  // device has lines at all.
  LineCounts counts;
  const bool counted = Os.lineCounts(fd, &counts) == 0;
  port.lineSampling.store(!counted);

  port.readerRunning.store(true);
  try {
    port.ReaderThread = std::thread(ComReadThread, std::ref(port));
  } catch (const std::system_error&) {
    port.readerRunning.store(false);
    return false;
  }
  if (counted) {
    port.lineWatching.store(true);
    try {
      port.lineThread = std::thread(ComLineWatchThread, std::ref(port), counts);
    } catch (const std::system_error&) {
      port.lineWatching.store(false);
      port.lineSampling.store(true);
      SignalEventFd(port.wakeFd);
    }
  }
  return true;
}

void ComLineWatchThread(TComPort& port, LineCounts start) {
  const int fd = port.Handle.load();
  constexpr int kWatched = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
  // A driver whose wait keeps returning with no change counted would make
  // this a busy loop: after that many such wakes in a row it is sampled.
  constexpr int kIdleWakeLimit = 100;
  LineCounts before = start;
  std::uint32_t taken[kLineCount] = {};  // changes since start, as handed on
  int idleWakes = 0;
  while (!port.StopFlag.load()) {
    if (Os.waitLineChange(fd, kWatched) < 0) {
      if (errno == EINTR) continue;  // ComClose's signal, or another one
      if (errno == EINVAL || errno == ENOTTY) {
        // Counters but no wait: the reader samples instead.
        port.lineSampling.store(true);
        SignalEventFd(port.wakeFd);
      }
      // EIO: the device went away, which the reader reports.
      break;
    }
    if (port.StopFlag.load()) break;
    LineCounts now;
    // The lines as they are after the changes counted: read on both sides
    // of the counts until both readings agree, so that the window, which
    // shows the changes, ends with the state they led to (a state read
    // later may already hold a change whose count is not yet taken).
    int lines = -1;
    for (int tries = 0; tries < 3; ++tries) {
      int a = 0, b = 0;
      const bool readA = Os.modemGet(fd, &a) == 0;
      if (Os.lineCounts(fd, &now) < 0) {
        lines = -2;
        break;
      }
      if (readA && Os.modemGet(fd, &b) == 0 && a == b) {
        lines = a;
        break;
      }
    }
    if (lines == -2) break;
    const std::uint32_t changed = CountEventsOf(before, now);
    before = now;
    if (changed == 0 && ++idleWakes >= kIdleWakeLimit) {
      port.lineSampling.store(true);
      SignalEventFd(port.wakeFd);
      break;
    }
    if (changed != 0) idleWakes = 0;
    const std::uint32_t events = changed & port.eventMask.load();
    // The counts go before the events, so that the take that sees an event
    // also sees its count.
    const std::uint32_t counted[kLineCount] = {now.dcd - start.dcd, now.dsr - start.dsr, now.cts - start.cts,
                                               now.ring - start.ring};
    const std::uint32_t eventOf[kLineCount] = {EV_RLSD, EV_DSR, EV_CTS, EV_RING};
    std::uint32_t delta[kLineCount] = {};
    for (int i = 0; i < kLineCount; ++i) {
      if (events & eventOf[i]) delta[i] = counted[i] - taken[i];
      taken[i] = counted[i];
    }
    if (events) AddLineChanges(port, delta, lines);
    if (events) Publish(port, events);
  }
  port.lineWatching.store(false);
}

void ComReadThread(TComPort& port) {
  const int fd = port.Handle.load();
  const LinePlan& plan = port.line->plan;
  RxFilter filter;
  filter.Reset(plan);
  unsigned char buffer[kRingSize];

  // A device without modem lines (a pseudo-terminal answers ENOTTY) gives
  // no line events and no DSR to be sensitive to. `lines` is the state the
  // sampling compares with.
  int lines = 0;
  bool haveLines = Os.modemGet(fd, &lines) == 0;
  auto nextSample = Clock::now() + kLineSampleInterval;
  int failedWaits = 0;
  // Bytes stored but not yet posted, and when the reader last posted: at
  // the start, long enough ago that the first bytes go at once. (Not the
  // clock's zero: it is the machine's start, which may be less than an
  // interval ago.)
  std::uint32_t held = 0;
  Clock::time_point lastPost = Clock::now() - 4 * port.handOverInterval;
  // Whether bytes were left for the window's next tick to take (see
  // tickTakes): whichever of the tick and the reader clears tickTakes
  // first hands them over, so they are taken once and never left behind.
  bool leftForTick = false;
  // Whether bytes keep coming (the last two reads got some, within a
  // hand-over interval of each other, and the last one emptied the
  // driver), when the last bytes came, and the pace they came at.
  bool streaming = false;
  Clock::time_point lastBytes{};
  Clock::duration perByte{};
  // Whether the last read emptied the driver and the reader has waited on
  // the port since: only then is the time to the next read's bytes the
  // time the line took to bring them. A wait for room in the ring, or a
  // read that left bytes behind, says nothing of the line's pace.
  bool paceWindow = false;
  // Whether the window took a full ring while the reader watched it: the
  // port is then read at once, without a wait.
  bool roomCame = false;

  while (!port.StopFlag.load()) {
    const std::uint32_t mask = port.eventMask.load();
    const bool sampling = haveLines && port.lineSampling.load() && (mask & kLineEvents) != 0;
    const std::uint16_t w = port.WriteIndex.load(std::memory_order_relaxed);
    const std::uint16_t r = port.ReadIndex.load();
    const std::size_t room = static_cast<std::uint16_t>(r - w - 1) & kRingMask;
    const bool wantBytes = (mask & EV_RXCHAR) != 0;

    // How long the wait may last: until the next line sample, until held
    // bytes are due to be handed over, and, while bytes keep coming, until
    // the port is read again. -1: no limit.
    const auto waitFrom = Clock::now();
    const auto msUntil = [&](Clock::time_point t) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - waitFrom);
      return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, INT32_MAX));
    };
    int timeoutMs = -1;
    const auto waitAtMost = [&](int ms) { timeoutMs = timeoutMs < 0 ? ms : std::min(timeoutMs, ms); };
    const auto handOverDue = ComHandOverDue(port.handOverInterval, lastPost, port.windowTickNs.load());
    if (sampling) waitAtMost(std::min(msUntil(nextSample), 20));
    if (held) waitAtMost(msUntil(handOverDue));
    // Bytes left for a tick are looked at again by the next hand-over at
    // the latest, when a stream wakes the reader anyway.
    if (leftForTick) waitAtMost(msUntil(lastPost + port.handOverInterval));
    // While bytes keep coming the port is left out of the wait until the
    // hand-over is due, or, at the pace last seen, before the driver keeps
    // more than kLeftWithDriver bytes; it is read then.
    if (room == 0) {
      streaming = paceWindow = false;
      // While the window keeps up with a flood it takes a full ring within
      // microseconds: watch for that on the core rather than sleep.
      if (wantBytes && port.windowWaits.load() &&
          SpinFor(kRoomSpin, [&] { return port.ReadIndex.load() != r || port.StopFlag.load(); })) {
        roomCame = true;
        continue;
      }
      // The window signals room only while the reader says it waits for
      // it; a take just before that is seen here instead.
      port.roomWanted.store(true);
      if (port.ReadIndex.load() != r) {
        port.roomWanted.store(false);
        continue;
      }
    }
    // During a flood the driver has more at once: no wait, and no look at
    // its queues either.
    const bool readAtOnce = std::exchange(roomCame, false) && wantBytes && room > 0;
    int streamMs = -1;
    if (streaming && wantBytes) {
      const int ms = msUntil(std::min(handOverDue, waitFrom + perByte * static_cast<std::int64_t>(kLeftWithDriver)));
      if (ms >= kShortestSleep.count()) streamMs = ms;
    }
    if (streamMs >= 0) waitAtMost(streamMs);
    // With the ring full the port is left out of the wait (it would report
    // readable at once) and the consumer's room signal is waited for.
    pollfd fds[3] = {
        {wantBytes && room > 0 && streamMs < 0 ? fd : -1, POLLIN, 0},
        {port.wakeFd, POLLIN, 0},
        {wantBytes && room == 0 ? port.roomFd : -1, POLLIN, 0},
    };
    const int polled = readAtOnce ? 0 : Os.poll(fds, 3, timeoutMs);
    port.roomWanted.store(false);
    if (polled < 0) {
      if (++failedWaits >= kFailedWaitLimit) {
        HangUp(port);
        break;
      }
      continue;
    }
    failedWaits = 0;
    if (port.StopFlag.load()) break;
    if (fds[1].revents) DrainEventFd(port.wakeFd);
    if (fds[2].revents) DrainEventFd(port.roomFd);

    std::uint32_t events = 0;
    if (sampling && Clock::now() >= nextSample) {
      int now = 0;
      if (Os.modemGet(fd, &now) == 0) {
        events |= LineEventsOf(now ^ lines) & mask;
        lines = now;
      } else {
        haveLines = false;  // the device lost its lines (unplugged): poll tells
      }
      nextSample = Clock::now() + kLineSampleInterval;
    }

    int queued = 0;
    if (!readAtOnce && Os.ioctl(fd, FIONREAD, &queued) == 0)
      port.Stat.cbInQue.store(static_cast<std::uint32_t>(queued));
    if (!readAtOnce && Os.ioctl(fd, TIOCOUTQ, &queued) == 0)
      port.Stat.cbOutQue.store(static_cast<std::uint32_t>(queued));

    if (fds[0].revents || (streamMs >= 0 && room > 0) || readAtOnce) {
      // The window may have taken the ring while the reader waited.
      const std::size_t space = static_cast<std::uint16_t>(port.ReadIndex.load() - w - 1) & kRingMask;
      const ssize_t got = Os.read(fd, buffer, space);
      const auto readAt = Clock::now();
      if (got > 0) {
        // Bytes keep coming when these follow others within an interval
        // and the driver had no more.
        const auto since = readAt - lastBytes;
        // (The reader's own sleep until a hand-over lasts the interval and
        // its slack, and waking takes a little more.)
        const bool emptied = std::size_t(got) < space;
        streaming = emptied && paceWindow && since <= port.handOverInterval * 5 / 4 + 2 * kPostSlack;
        if (streaming) perByte = since / got;
        paceWindow = emptied;
        lastBytes = readAt;
        bool dsrOn = true;
        int now = 0;
        if (plan.dsrSensitive && haveLines && Os.modemGet(fd, &now) == 0) {
          dsrOn = (now & TIOCM_DSR) != 0;
          // A change seen here is as much a line event as one the sampling
          // sees; `lines` is what the next sample compares with.
          if (sampling) {
            events |= LineEventsOf(now ^ lines) & mask;
            lines = now;
          }
        }
        const std::size_t kept = filter.Apply(buffer, static_cast<std::size_t>(got), dsrOn);
        if (port.StopFlag.load()) break;  // bytes read after the stop are dropped
        if (kept > 0) {
          StoreInRing(port, buffer, kept);
          events |= EV_RXCHAR;
        }
      } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && !fds[0].revents) {
        streaming = paceWindow = false;  // nothing came while the reader slept: a quiet spell
      } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) ||
                 (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
        // A read of 0 on a raw descriptor with VMIN 1, EIO, or a hang-up
        // with nothing left to read: the device is gone.
        if (held) Publish(port, held);
        HangUp(port);
        break;
      }
    }

    const auto now = Clock::now();
    if (leftForTick && !port.tickTakes.load()) leftForTick = false;  // the tick took them
    bool atTick = false;
    const auto due = ComHandOverDue(port.handOverInterval, lastPost, port.windowTickNs.load(), &atTick);
    const bool intervalUp = now >= due - 2 * kPostSlack;
    const std::size_t fill = static_cast<std::uint16_t>(port.WriteIndex.load(std::memory_order_relaxed) -
                                                       port.ReadIndex.load()) & kRingMask;
    if (events == EV_RXCHAR && !intervalUp && fill < kPostAtOnce) {
      held |= events;
      events = 0;
    }
    if (held && (events || intervalUp)) {
      events |= held;
      held = 0;
    }
    if (leftForTick && now >= lastPost + kTickLead + 2 * kPostSlack) {
      // The tick is late or has stopped: what was left for it goes now,
      // unless the tick takes it at this very moment.
      if (port.tickTakes.exchange(false)) events |= EV_RXCHAR;
      leftForTick = false;
    } else if (events == EV_RXCHAR && streaming && atTick && !leftForTick && fill < kPostAtOnce) {
      // A stream's bytes due at the window's tick are left for the tick to
      // take, so the window wakes once for both. Line events, a nearly
      // full ring and the first bytes after a quiet spell are posted.
      port.tickTakes.store(true);
      leftForTick = true;
      lastPost = now;
      events = 0;
    }
    if (events) {
      // The post hands over whatever was left for the tick as well.
      if (leftForTick) port.tickTakes.store(false);
      Publish(port, events);
      lastPost = now;
      leftForTick = false;
    }
  }
  port.readerRunning.store(false);
}

RxBatch ComTakeRx(TComPort& port) {
  RxBatch batch;
  port.postPending.store(false);
  TakeRing(port, batch.bytes);
  batch.events = port.pendingEvents.exchange(0);
  // A count that came after its event was taken goes with this batch.
  const std::uint32_t eventOf[kLineCount] = {EV_RLSD, EV_DSR, EV_CTS, EV_RING};
  const std::uint64_t lines = port.pendingLines.exchange(0);
  for (int i = 0; i < kLineCount; ++i)
    if ((batch.lineChanges[i] = std::uint32_t(LineChangeCount(lines, i))) != 0) batch.events |= eventOf[i];
  if (lines & kLinesKnown) batch.lineStates = int(lines >> kLineStateShift) & ((1 << kLineCount) - 1);
  batch.hungUp = port.hungUp.load();
  return batch;
}

}  // namespace kvl
