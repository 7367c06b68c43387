// The reader thread and the receive ring.
//
// The ring is a single-producer, single-consumer queue: only the reader moves
// WriteIndex, only the GUI thread (ComTakeRx) moves ReadIndex. Bytes between
// ReadIndex and WriteIndex are unread; the reader never writes over them and
// waits for room instead, so nothing received is lost.
//
// What the reader reads it hands over at once: a command's answer is on its
// way to the screen as soon as the driver has it. Nothing is held in the
// ring or left in the driver to save the window a wake-up; the window draws
// at most once per display frame however often it is told (app/FrameClock).
// Posts are coalesced: the reader posts only when postPending was clear, and
// ComTakeRx clears it before it looks at the ring and the pending events.
// Both sides use sequentially consistent operations on postPending and on
// what it guards, so either the reader sees the flag clear and posts, or the
// take that clears it afterwards sees the reader's bytes and events.
//
// A port is closed without losing what it received: ComTakeRest ends the
// reader, which stores whatever it has read, and then takes the ring and
// what the driver still holds for reading, without waiting for more.
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

// Failed waits in a row that count as the device being gone.
constexpr int kFailedWaitLimit = 3;
// What a close takes from the driver at most: a device that keeps talking
// would otherwise keep the close from ever ending.
constexpr std::size_t kRestLimit = 1 << 20;

constexpr std::uint16_t kRingMask = kRingSize - 1;
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

std::size_t RingRoom(const TComPort& port) {
  return static_cast<std::uint16_t>(port.ReadIndex.load() - port.WriteIndex.load(std::memory_order_relaxed) - 1) &
         kRingMask;
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

// Appends the ring's bytes to `bytes` and tells the reader there is room.
void TakeRing(TComPort& port, std::string& bytes) {
  const std::uint16_t w = port.WriteIndex.load();
  const std::uint16_t r = port.ReadIndex.load(std::memory_order_relaxed);
  if (r == w) return;
  if (r < w) {
    bytes.append(port.Ring + r, port.Ring + w);
  } else {
    bytes.append(port.Ring + r, port.Ring + kRingSize);
    bytes.append(port.Ring, port.Ring + w);
  }
  port.ReadIndex.store(w);
  // Only a reader asleep for room needs the signal (see roomWanted).
  if (port.roomWanted.load()) SignalEventFd(port.roomFd);
}

// Whether the DSR line is on for a block just read (a port without lines,
// or one not sensitive to DSR, counts as on). A change seen here is as much
// a line event as one the sampling sees.
bool DsrOnForBlock(TComPort& port, int fd, bool haveLines, bool sampling, int& lines, std::uint32_t& events) {
  int now = 0;
  if (!port.line->plan.dsrSensitive || !haveLines || Os.modemGet(fd, &now) != 0) return true;
  if (sampling) {
    events |= LineEventsOf(now ^ lines) & port.eventMask.load();
    lines = now;
  }
  return (now & TIOCM_DSR) != 0;
}

// What the reader carries from one pass of its loop to the next.
struct ReaderLoop {
  ReaderLoop(int fd, RxFilter& filter) : fd(fd), filter(filter) {}
  int fd;
  RxFilter& filter;
  int lines = 0;           // the lines' state the sampling compares with
  bool haveLines = false;  // the device has modem lines
  Clock::time_point nextSample{};
  int failedWaits = 0;
  ComReaderPass pass;
};

enum class ReaderWait { ready, again, gone };

// Waits for bytes where the ring has room, for room where it has none, for
// a wake-up, or for the next sample. `portReady` gets what the wait saw on
// the port. A wait that failed kFailedWaitLimit times in a row means the
// device is gone.
ReaderWait WaitForWork(TComPort& port, ReaderLoop& r, std::uint32_t mask, short& portReady) {
  const bool wantBytes = (mask & EV_RXCHAR) != 0;
  r.pass.sampling = r.haveLines && port.lineSampling.load() && (mask & kLineEvents) != 0;
  r.pass.nextSample = r.nextSample;
  // The clock matters only to a wait that ends for the next sample.
  ComHandOver plan = ComHandOverOf(r.pass, r.pass.sampling ? Clock::now() : Clock::time_point{});
  if (!plan.readPort) {
    // The window signals room only while the reader says it waits for
    // it; a take just before that is seen here instead.
    port.roomWanted.store(true);
    if (RingRoom(port) > 0) plan.readPort = true;
  }
  pollfd fds[3] = {
      {wantBytes && plan.readPort ? r.fd : -1, POLLIN, 0},
      {port.wakeFd, POLLIN, 0},
      {wantBytes && !plan.readPort ? port.roomFd : -1, POLLIN, 0},
  };
  const int polled = Os.poll(fds, 3, plan.waitMs);
  port.roomWanted.store(false);
  if (polled < 0) return ++r.failedWaits >= kFailedWaitLimit ? ReaderWait::gone : ReaderWait::again;
  r.failedWaits = 0;
  if (fds[1].revents) DrainEventFd(port.wakeFd);
  if (fds[2].revents) DrainEventFd(port.roomFd);
  portReady = fds[0].revents;
  return ReaderWait::ready;
}

// Samples the modem lines once their interval is up, where the reader
// samples them; a change is an event of this pass.
void SampleLines(ReaderLoop& r, std::uint32_t mask) {
  if (!r.pass.sampling || Clock::now() < r.nextSample) return;
  int now = 0;
  if (Os.modemGet(r.fd, &now) == 0) {
    r.pass.events |= LineEventsOf(now ^ r.lines) & mask;
    r.lines = now;
  } else {
    r.haveLines = false;  // the device lost its lines (unplugged): poll tells
  }
  r.nextSample = Clock::now() + kLineSampleInterval;
}

// Reads what the driver has, as much as the ring has room for, and stores
// what the filter keeps. False when the device is gone. The read is not
// sized by asking the driver first: a read that does not wait returns what
// the driver holds, and asking would cost every wake another call.
bool ReadIntoRing(TComPort& port, ReaderLoop& r, short portReady) {
  unsigned char buffer[kRingSize];
  // The window may have taken more of the ring while the reader waited.
  const ssize_t got = Os.read(r.fd, buffer, RingRoom(port));
  if (got > 0) {
    const bool dsrOn = DsrOnForBlock(port, r.fd, r.haveLines, r.pass.sampling, r.lines, r.pass.events);
    // Bytes read are stored even when the port is being closed: the
    // close takes them (ComTakeRest).
    r.pass.stored = r.filter.Apply(buffer, static_cast<std::size_t>(got), dsrOn);
    if (r.pass.stored > 0) StoreInRing(port, buffer, r.pass.stored);
  } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || (portReady & (POLLHUP | POLLERR | POLLNVAL))) {
    // A read of 0 on a raw descriptor with VMIN 1, EIO, or a hang-up
    // with nothing left to read: the device is gone.
    return false;
  }
  return true;
}

// Tells the window of what the pass stored and saw (see ComHandOverOf).
void PostPass(TComPort& port, const ComReaderPass& pass) {
  if (ComHandOverOf(pass, {}).post) Publish(port, pass.events | (pass.stored ? EV_RXCHAR : 0));
}

// What the line watcher carries from one wake to the next.
struct LineWatch {
  LineCounts start;                      // the counts the watch began with
  LineCounts before;                     // the counts at the last wake
  std::uint32_t taken[kLineCount] = {};  // changes since start, as handed on
  int idleWakes = 0;                     // wakes in a row with no change counted
};

enum class LineWait { changed, again, over };

// Sleeps in the driver until a watched line changes. A driver that counts
// but cannot wait hands the lines to the reader's sampling.
LineWait WaitForLineChange(TComPort& port, int fd) {
  constexpr int kWatched = TIOCM_CTS | TIOCM_DSR | TIOCM_CAR | TIOCM_RNG;
  if (Os.waitLineChange(fd, kWatched) >= 0) return LineWait::changed;
  if (errno == EINTR) return LineWait::again;  // ComClose's signal, or another one
  if (errno == EINVAL || errno == ENOTTY) {
    // Counters but no wait: the reader samples instead.
    port.lineSampling.store(true);
    SignalEventFd(port.wakeFd);
  }
  // EIO: the device went away, which the reader reports.
  return LineWait::over;
}

// Takes the counts into `now` and returns the lines as they are after the
// changes counted: read on both sides of the counts until both readings
// agree, so that the window, which shows the changes, ends with the state
// they led to (a state read later may already hold a change whose count is
// not yet taken). -1: no agreeing readings; -2: the counts could not be read.
int TakeLineStates(int fd, LineCounts& now) {
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
  return lines;
}

// Counts a wake that saw no change. A driver whose wait keeps returning
// with no change counted would make the watch a busy loop: after that many
// such wakes in a row the lines are sampled. False: the watch ends.
bool NoteWake(TComPort& port, LineWatch& w, std::uint32_t changed) {
  constexpr int kIdleWakeLimit = 100;
  if (changed == 0 && ++w.idleWakes >= kIdleWakeLimit) {
    port.lineSampling.store(true);
    SignalEventFd(port.wakeFd);
    return false;
  }
  if (changed != 0) w.idleWakes = 0;
  return true;
}

// Hands the window the changes counted for the events it asked for, with
// the lines' state, and their events. The counts go before the events, so
// that the take that sees an event also sees its count.
void PostLineChanges(TComPort& port, LineWatch& w, const LineCounts& now, int lines, std::uint32_t changed) {
  const std::uint32_t events = changed & port.eventMask.load();
  const std::uint32_t counted[kLineCount] = {now.dcd - w.start.dcd, now.dsr - w.start.dsr, now.cts - w.start.cts,
                                             now.ring - w.start.ring};
  const std::uint32_t eventOf[kLineCount] = {EV_RLSD, EV_DSR, EV_CTS, EV_RING};
  std::uint32_t delta[kLineCount] = {};
  for (int i = 0; i < kLineCount; ++i) {
    if (events & eventOf[i]) delta[i] = counted[i] - w.taken[i];
    w.taken[i] = counted[i];
  }
  if (events) AddLineChanges(port, delta, lines);
  if (events) Publish(port, events);
}

}  // namespace

ComHandOver ComHandOverOf(const ComReaderPass& pass, Clock::time_point now) {
  ComHandOver h;
  // Whatever this pass stored or saw goes to the window now, whenever it
  // came and however little it is.
  h.post = pass.stored > 0 || pass.events != 0;
  // A full ring takes nothing more: the port stays out of the wait (it would
  // report readable at once) until the window makes room.
  h.readPort = pass.ringFill < kRingSize - 1;
  if (pass.sampling) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(pass.nextSample - now).count();
    h.waitMs = static_cast<int>(std::clamp<std::int64_t>(left, 0, kLineSampleInterval.count()));
  }
  return h;
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
  port.line->filter.Reset(port.line->plan);

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
  LineWatch w{start, start};
  while (!port.StopFlag.load()) {
    const LineWait waited = WaitForLineChange(port, fd);
    if (waited == LineWait::again) continue;
    if (waited == LineWait::over) break;
    if (port.StopFlag.load()) break;
    LineCounts now;
    const int lines = TakeLineStates(fd, now);
    if (lines == -2) break;
    const std::uint32_t changed = CountEventsOf(w.before, now);
    w.before = now;
    if (!NoteWake(port, w, changed)) break;
    PostLineChanges(port, w, now, lines, changed);
  }
  port.lineWatching.store(false);
}

void ComReadThread(TComPort& port) {
  // A device without modem lines (a pseudo-terminal answers ENOTTY) gives
  // no line events and no DSR to be sensitive to.
  ReaderLoop r(port.Handle.load(), port.line->filter);
  r.haveLines = Os.modemGet(r.fd, &r.lines) == 0;
  r.nextSample = Clock::now() + kLineSampleInterval;
  r.pass.ringFill = kRingSize - 1 - RingRoom(port);

  while (!port.StopFlag.load()) {
    const std::uint32_t mask = port.eventMask.load();
    short portReady = 0;
    const ReaderWait waited = WaitForWork(port, r, mask, portReady);
    if (waited == ReaderWait::gone) {
      HangUp(port);
      break;
    }
    if (waited == ReaderWait::again) continue;
    r.pass.stored = 0;
    r.pass.events = 0;
    SampleLines(r, mask);
    if (portReady && !ReadIntoRing(port, r, portReady)) {
      HangUp(port);
      break;
    }
    r.pass.ringFill = kRingSize - 1 - RingRoom(port);
    if (port.StopFlag.load()) break;  // the close takes what is there
    PostPass(port, r.pass);
  }
  port.readerRunning.store(false);
}

void ComStopReader(TComPort& port) {
  port.StopFlag.store(true);
  SignalEventFd(port.wakeFd);
  if (!port.ReaderThread.joinable()) return;
  // The reader may not outlive the descriptor it waits on.
  if (port.ReaderThread.get_id() == std::this_thread::get_id())
    port.ReaderThread.detach();
  else
    port.ReaderThread.join();
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

RxBatch ComTakeRest(TComPort& port) {
  RxBatch batch;
  const int fd = port.Handle.load();
  if (fd < 0) return batch;
  // The ring and the driver are this thread's alone from here on.
  ComStopReader(port);
  batch = ComTakeRx(port);
  if (batch.hungUp || !port.line) return batch;
  // What the driver holds: read until it has nothing more at once. A read
  // that finds the line discipline empty first waits for the bytes the
  // driver is still passing to it, so nothing it has taken is left behind.
  const bool dsrOn = !port.line->plan.dsrSensitive || (ComModemStatus(port) & MS_DSR_ON) != 0;
  unsigned char buffer[kRingSize];
  while (batch.bytes.size() < kRestLimit) {
    const ssize_t got = Os.read(fd, buffer, sizeof buffer);
    if (got <= 0) break;
    const std::size_t kept = port.line->filter.Apply(buffer, static_cast<std::size_t>(got), dsrOn);
    batch.bytes.append(reinterpret_cast<const char*>(buffer), kept);
  }
  return batch;
}

}  // namespace kvl
