// The serial link: the port record, its line settings, opening, closing and
// writing, the reader thread with its receive ring, and the modem lines.
// Plain C++ over termios; everything here except ComReadThread runs on the
// GUI thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <sys/types.h>

#include "serial/LineSettings.h"
#include "serial/PortUse.h"

namespace kvl {

// ---------------------------------------------------------------------------
// The port record

// Communication events (Win32 values).
inline constexpr std::uint32_t EV_RXCHAR = 0x0001;
inline constexpr std::uint32_t EV_CTS = 0x0008;
inline constexpr std::uint32_t EV_DSR = 0x0010;
inline constexpr std::uint32_t EV_RLSD = 0x0020;
inline constexpr std::uint32_t EV_RING = 0x0100;
inline constexpr std::uint32_t kLineEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
// The event mask an open port waits for.
inline constexpr std::uint32_t kComEventMask = EV_RXCHAR | kLineEvents;

// The modem lines in the order of RxBatch::lineChanges.
enum LineIndex { kLineDcd, kLineDsr, kLineCts, kLineRing, kLineCount };
// Counted line changes not yet taken, packed in one word with the state
// they led to: a count of kLineCountBits per line, then one state bit per
// line, then whether the state is known.
inline constexpr int kLineCountBits = 12;
inline constexpr std::uint64_t kLineCountMax = (std::uint64_t(1) << kLineCountBits) - 1;
inline constexpr int kLineStateShift = kLineCountBits * kLineCount;
inline constexpr std::uint64_t kLinesKnown = std::uint64_t(1) << (kLineStateShift + kLineCount);
inline constexpr std::uint64_t LineChangeCount(std::uint64_t packed, int line) {
  return (packed >> (kLineCountBits * line)) & kLineCountMax;
}

// Modem status bits (Win32 values).
inline constexpr std::uint32_t MS_CTS_ON = 0x10;
inline constexpr std::uint32_t MS_DSR_ON = 0x20;
inline constexpr std::uint32_t MS_RING_ON = 0x40;
inline constexpr std::uint32_t MS_RLSD_ON = 0x80;

// Line functions of ComEscape (Win32 values).
inline constexpr int SETRTS = 3;
inline constexpr int CLRRTS = 4;
inline constexpr int SETDTR = 5;
inline constexpr int CLRDTR = 6;

inline constexpr std::size_t kRingSize = 2048;

// Opening-time state of a port (saved settings, the Linux form of the line
// settings); defined where the port is opened.
struct ComLineState;
// The driver's modem-line change counters (serial/SerialOs.h).
struct LineCounts;

// One serial link. The GUI thread owns it; the reader thread fills
// LastEvents, Ring and WriteIndex and the pending state below. Atomic stores
// are release (or stronger), loads acquire (or stronger).
struct TComPort {
  TComPort();
  ~TComPort();
  TComPort(const TComPort&) = delete;
  TComPort& operator=(const TComPort&) = delete;

  int PortNumber = 0;                  // last number given to ComOpen; 0 none
  std::atomic<int> Handle{-1};         // descriptor of the open port, -1 closed
  LineSettings Settings{};             // line settings applied by ComOpen
  std::atomic<std::uint32_t> LastEvents{0};  // events of the reader's last wake that had any
  std::atomic<bool> StopFlag{false};   // tells the reader to end
  std::thread ReaderThread;
  unsigned char Ring[kRingSize]{};
  std::atomic<std::uint16_t> ReadIndex{0};   // next byte the GUI thread takes
  std::atomic<std::uint16_t> WriteIndex{0};  // next byte the reader fills

  // Why the last ComOpen failed (fault None after it succeeded).
  PortProblem problem;
  // Bytes the driver still held for output when the last close gave up
  // waiting for them and threw them away (its output count before the
  // flush); 0 when everything left.
  std::size_t outputDiscarded = 0;

  // Internal state of the link.
  std::atomic<std::uint32_t> eventMask{0};   // events the reader waits for
  std::atomic<std::uint32_t> pendingEvents{0};  // line events not yet taken
  std::atomic<std::uint64_t> pendingLines{0};  // counted line changes not yet taken, and their state
  std::atomic<bool> postPending{false};      // a post is out, not yet taken
  std::atomic<bool> hungUp{false};           // the device went away
  std::atomic<bool> readerRunning{false};
  // Modem-line changes: where the driver can wait for them and count them,
  // a second thread waits (lineThread); otherwise the reader samples the
  // lines (lineSampling). A device without lines has neither.
  std::thread lineThread;
  std::atomic<bool> lineWatching{false};
  std::atomic<bool> lineSampling{false};
  int wakeFd = -1;   // eventfd: ComClose wakes the reader
  int roomFd = -1;   // eventfd: the consumer made room in the ring
  std::function<void()> post;                // reader -> GUI notification
  // The reader is about to sleep, or sleeps, until the window makes room
  // in the full ring: a take then signals roomFd.
  std::atomic<bool> roomWanted{false};
  std::unique_ptr<ComLineState> line;
};

extern TComPort ComPort;    // the working link
extern TComPort ProbePort;  // the record through which the scan tries ports

// ---------------------------------------------------------------------------
// Which device is COM n

// COM1-4 /dev/ttyS0-3, COM5-12 /dev/ttyUSB0-7, COM13-16 /dev/ttyACM0-3;
// empty outside 1..16.
std::string DefaultComPath(int number);
// Replace the mapping (an empty function restores the default). An empty
// path means the COM number has no device.
void SetComPathResolver(std::function<std::string(int)> resolver);
std::string ComDevicePath(int number);

// ---------------------------------------------------------------------------
// Driver

// Marks the record closed (without closing anything), resets the ring
// indices and takes the line settings.
void ComBuildDcb(TComPort& port, const LineSettings& settings);

// Opens COM number with the record's line settings. Stores number in
// PortNumber whatever happens; false (Handle -1) on any failure, and false
// at once when the record is already open. A port that another program
// uses is not opened at all (lock file, open descriptor, flock), or closed
// again untouched when its exclusive flag turns out set; while open, the
// port holds our lock file. Why it failed is left in port.problem.
bool ComOpen(int number, TComPort& port);

// Ends the reader and the line watcher (and waits for them), flushes
// output, gives the port back the settings it had before opening, removes
// our lock file and closes it. True when the record is
// closed afterwards; a closed record is left alone.
bool ComClose(TComPort& port);

// One write that never waits: the bytes the driver took (0 or more), or -1
// with errno set (EAGAIN or EWOULDBLOCK when its queue is full, EBADF on a
// closed port).
ssize_t ComWriteSome(TComPort& port, const char* data, std::size_t count);

// A write that waits until `deadline` for the driver to take the bytes,
// giving up earlier when it takes none for a quarter of a second (a line
// held off): the bytes taken, or -1 with errno set when none were. For the
// rest of a command under way when its port closes.
ssize_t ComWriteBefore(TComPort& port, const char* data, std::size_t count,
                       std::chrono::steady_clock::time_point deadline);
// How long closing waits for the driver to send what it holds, at most.
inline constexpr std::chrono::seconds kComDrainLimit{1};

// Modem status as MS_* bits; 0 when it cannot be read.
std::uint32_t ComModemStatus(TComPort& port);
// SETRTS, CLRRTS, SETDTR or CLRDTR on the open port; failures are ignored.
void ComEscape(TComPort& port, int function);

// ---------------------------------------------------------------------------
// Reader thread and receive ring

// Starts ComReadThread on an open port. post() is called from the reader
// thread when there is something to take (posts are coalesced while one is
// pending); the GUI answers it by calling ComTakeRx on its own thread.
bool ComStartReader(TComPort& port, std::function<void()> post);

// The reader's thread procedure.
void ComReadThread(TComPort& port);
// The line watcher's thread procedure: waits for modem-line changes and
// turns the driver's change counters into events. `start` holds the
// counters when the port was taken over.
void ComLineWatchThread(TComPort& port, LineCounts start);

struct RxBatch {
  std::string bytes;        // received bytes, in order
  std::uint32_t events = 0; // EV_* line events since the last take
  // Changes of each line since the last take as the driver counted them,
  // where it counts (0 where the lines are sampled): a line that went on
  // and off between two takes reads as before, its count says 2.
  std::uint32_t lineChanges[kLineCount] = {};
  // The lines' state those changes led to, a bit per line (1 << kLineDcd
  // and so on), read with the counts; -1 when unknown.
  int lineStates = -1;
  bool hungUp = false;      // the device went away; the reader has ended
};

// Takes everything unread from the ring and the pending line events.
RxBatch ComTakeRx(TComPort& port);

// Ends the reader: it stores what it has read, and is joined (let go when
// called on the reader's own thread). ComClose and ComTakeRest use it.
void ComStopReader(TComPort& port);

// Closing without loss: ends the reader (which stores what it has read)
// and takes the ring, the pending line events and what the driver still
// holds for reading, without waiting for more (at most 1 MiB). Called by
// the window before ComClose; the port stays open.
RxBatch ComTakeRest(TComPort& port);

// How often the modem lines are sampled where the driver cannot wait for
// their changes.
inline constexpr std::chrono::milliseconds kLineSampleInterval{20};

// One pass of the reader, as its hand-over decision sees it.
struct ComReaderPass {
  std::size_t stored = 0;     // bytes this pass put in the ring
  std::uint32_t events = 0;   // line events this pass saw
  std::size_t ringFill = 0;   // unread bytes in the ring after the pass
  bool sampling = false;      // the modem lines are sampled by the reader
  std::chrono::steady_clock::time_point nextSample{};  // when, next
};
// What the reader does after a pass.
struct ComHandOver {
  bool post = false;      // tell the window now
  bool readPort = true;   // the next wait includes the port (the ring has room)
  int waitMs = -1;        // longest the next wait may last; -1 none
};
// The reader's decision: what it read and saw goes to the window at once,
// whatever the time; the time only bounds the wait for the next sample.
ComHandOver ComHandOverOf(const ComReaderPass& pass, std::chrono::steady_clock::time_point now);

}  // namespace kvl
