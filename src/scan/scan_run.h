// The run record: everything that belongs to one scan run, and the one
// path that ends a run (scan_run.cpp).
//
// Who owns what
//   A scan start makes a ScanRun and, once the instrument has echoed the
//   scan command, installs it as the current run.  The run owns its frozen
//   format (what the instrument was given for it: scan type, channel codes,
//   word size, polarity, interval and its bounds), its frame buffer, its
//   ring of unread scans, its scan log file, its queued digital-output
//   byte, its acquisition thread and the mark of whether the instrument may
//   still be streaming its frames.  Nothing of one run is ever read or
//   written through another run.
//   The acquisition thread holds a reference to its own run.  Besides its
//   run it reads the host's live options (the data-log switches and limit,
//   digital input with the scan, output priority, the run length: the host
//   may change them during a run and the run follows), writes the record's
//   errorType and lastDigInp (what it last saw), closes the scan and
//   general debug logs at its end, and, after a frame cut short, signs the
//   instrument on afresh on its own (closing and reopening the port) before
//   it ends.  It never tears its run down: when it leaves its loop it
//   notes why (ThreadStop), its end time, and that it has stopped.
//
// Ending a run
//   EndRun is the one function that ends a run, for every reason, on a host
//   thread under the run-control lock.  An ended run stays current, so that
//   its unread scans can still be read, until the next start succeeds.  A
//   thread that a forced end had to leave to end on its own still holds
//   only its own run: it can reach no later run.  Two other paths stop a
//   thread, each through StopRunThread and each on a run that is not going:
//   a start whose scan command failed stops the thread of its own run,
//   never installed; QuietInstrumentAfterRun releases the thread of a run
//   that has ended by itself.  Unload ends the current run through EndRun.
//   A run's trailers hold its own facts: the thread writes one when it
//   ends, an orderly end another, both with the time the run ended; a run
//   ended at once gets none, and the next start closes its file as it is.
//
// Host callbacks
//   The library calls the host back while it is inside a call: the message
//   box (a scan log that cannot be made, a repeated sign-on, the setup
//   report), the beep handler (on the beep thread), and on Windows the
//   window messages answered during a wait.  A call into run control from
//   inside one of them, on the same thread, is refused (RunControlRefused,
//   which the exports turn into false; a line in the general debug log), so
//   that no call can leave a run half made or without an owner.  The other
//   exports work from there as anywhere.
//
// Lock order (a lock may be taken while holding those before it, never the
// other way round):
//   1. the run-control lock (RunControlLock; host threads only, recursive)
//   2. the current-run slot (held only to copy or swap the pointer)
//   3. a run's digital-output queue, then the port's write path (the
//      packet-busy flag, which is a flag and is never waited on under 3)
//   4. a run's ring, its scan log file, its thread handle, its end time,
//      what the instrument was given (leaves: nothing is taken under them)
//   5. the wire trace's file (logging/wire_trace.h: taken under any of the
//      above by a byte that goes over the line; a leaf)
//   The acquisition thread takes only 3 and 4 of its own run.  No host
//   thread waits for the thread while it holds 3 or 4.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "logging/scan_log.h"
#include "platform/platform.h"
#include "scan/run_account.h"

// ---- A run's frozen format ----------------------------------------------

struct RunFormat {
  int16_t scanType = 1;  // 0 single channel, 1 multi-channel, 2 with calibration values
  int16_t channels = 1;  // values of the channel list
  uint32_t points = 1;   // values stored per scan
  int16_t words = 3;     // bytes per value
  int16_t polarity = 1;
  double interval = 0.0;  // seconds between scans, as the instrument was given it
  // The trailer's figures: the minimal interval of the run's settings and
  // the interval the timer gives for `interval`, both in whole ticks.
  double minimumInterval = 0.0;
  double appliedInterval = 0.0;
  std::array<int16_t, 6> codes{};  // the channel codes (the log's columns)
  // Bytes of one frame (wide: frames may exceed 255 bytes).
  uint32_t FrameBytes() const;
  bool operator==(const RunFormat& o) const {
    return scanType == o.scanType && channels == o.channels && points == o.points && words == o.words &&
           polarity == o.polarity && interval == o.interval && minimumInterval == o.minimumInterval &&
           appliedInterval == o.appliedInterval && codes == o.codes;
  }
};

// The format of a run started now with the record's settings.
RunFormat FormatFromSettings();

// ---- The ring of unread scans -------------------------------------------

constexpr int32_t kScanRingSize = 8640;

// A stored scan's number in its run and the receive time of its frame
// (seconds since the run's start, on the monotonic clock).
struct ScanStamp {
  uint64_t number = 0;
  double seconds = 0.0;
};

class ScanRing {
 public:
  explicit ScanRing(uint32_t points) : points_(points == 0 ? 1 : points) {}
  struct Stored {
    bool full = false;     // stop-when-full asks the run to end
    bool dropped = false;  // the oldest unread scan made room (the host is a ring behind)
    uint64_t droppedNumber = 0;
  };
  // Stores one scan (count values; the rest of the scan is zero) with its
  // stamp, and counts it.
  Stored Store(const int32_t* values, uint32_t count, const ScanStamp& stamp, bool stopWhenFull);
  // Takes the oldest unread scan into out (points values) and its stamp;
  // false when none.
  bool Take(int32_t* out, ScanStamp* stamp = nullptr);
  uint32_t Unread() const { return unread_.load(); }
  uint32_t Lost() const { return lost_.load(); }
  uint32_t CapacityInScans() const { return static_cast<uint32_t>(kScanRingSize) / points_; }

 private:
  const uint32_t points_;
  std::mutex mutex_;
  int32_t values_[kScanRingSize] = {};
  int32_t writePos_ = 0;  // guarded by mutex_
  int32_t readPos_ = 0;   // guarded by mutex_
  // One stamp per scan slot, in step with the values (CapacityInScans()
  // slots used).
  ScanStamp stamps_[kScanRingSize] = {};
  uint32_t stampWrite_ = 0;  // guarded by mutex_
  uint32_t stampRead_ = 0;   // guarded by mutex_
  std::atomic<uint32_t> unread_{0};
  std::atomic<uint32_t> lost_{0};
};

// ---- The queued digital-output byte ---------------------------------------

// One byte waits for the acquisition thread to send it between frames.
// Once the thread has sent its last byte it closes the queue: a byte
// offered after that is not taken, and the caller writes it directly.
// A send may wait seconds for room in the output queue; the lock is not
// held meanwhile, so that a host's offer is answered at once (Busy: the
// byte on its way is still the waiting one).
class DigoutQueue {
 public:
  enum class Offer { Queued, Busy, Closed };
  Offer Put(uint8_t value);
  // Sends the waiting byte with send(value); the byte stays queued when
  // send fails.  True when nothing is left waiting.
  template <class Send>
  bool SendWaiting(Send send) {
    uint8_t value = 0;
    if (!BeginSend(value)) return true;
    bool sent = false;
    try {
      sent = send(value);
    } catch (...) {
      EndSend(false);
      throw;
    }
    EndSend(sent);
    return sent;
  }
  // The thread's last send: as SendWaiting, and the queue takes no more
  // bytes, in one step under the lock, so that no byte can slip in between
  // the two (an offer meanwhile waits, then finds the queue closed).
  template <class Send>
  void SendLast(Send send) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (pending_ && send(byte_)) pending_ = false;
    open_ = false;
  }
  // Seals the queue and hands out a byte still waiting (after a send on
  // its way has ended).
  bool TakeWaiting(uint8_t& value);
  bool Pending() const;

 private:
  bool BeginSend(uint8_t& value);
  void EndSend(bool sent);

  mutable std::mutex mutex_;
  std::condition_variable sendEnded_;
  bool pending_ = false;  // guarded by mutex_
  bool sending_ = false;  // guarded by mutex_: the waiting byte is on its way
  bool open_ = true;      // guarded by mutex_
  uint8_t byte_ = 0;      // guarded by mutex_
};

// ---- The run --------------------------------------------------------------

// Why the acquisition thread left its loop.
enum class ThreadStop : uint8_t { Running, Asked, Timed, Full, FrameError, Overflow, LineLost, Killed };

constexpr int32_t kScanDataBuffSize = 8640;

class ScanRun {
 public:
  explicit ScanRun(const RunFormat& f) : format(f), ring(f.points) {}
  ScanRun(const ScanRun&) = delete;
  ScanRun& operator=(const ScanRun&) = delete;

  const RunFormat format;
  uint32_t maxScansQueued = 0;  // frames the receive queue may hold before the run ends
  uint32_t receiveQueueSize = 0;  // bytes (RXQUEUESIZE at the start)

  // The frame buffer: bytes of frames taken from the port, not yet decoded.
  uint8_t frames[kScanDataBuffSize] = {};
  std::atomic<int32_t> frameBytes{0};
  std::atomic<bool> diginRequestPending{false};

  ScanRing ring;
  RunAccount account;  // numbers, receive times, gaps and the end reason
  ScanLog log;
  std::atomic<double> scanCounter{0.0};  // frames taken
  std::string startText;                  // set by the start, before the thread runs
  // When the run ended: noted once, by its thread as it leaves its loop or
  // by its end; the time of the first trailer read that finds none.
  void NoteEnded() {
    std::lock_guard<std::mutex> lock(endMutex_);
    if (endedText_.empty()) endedText_ = platform::CtimeNow();
  }
  std::string EndedText() {
    NoteEnded();
    std::lock_guard<std::mutex> lock(endMutex_);
    return endedText_;
  }
  DigoutQueue digout;
  // The run's acquisition thread: set at the start, taken by the end.
  void SetThread(std::shared_ptr<platform::Thread> thread) {
    std::lock_guard<std::mutex> lock(threadMutex_);
    thread_ = std::move(thread);
  }
  std::shared_ptr<platform::Thread> Thread() const {
    std::lock_guard<std::mutex> lock(threadMutex_);
    return thread_;
  }
  std::shared_ptr<platform::Thread> TakeThread() {
    std::lock_guard<std::mutex> lock(threadMutex_);
    return std::move(thread_);
  }

  std::atomic<bool> exitRequested{false};
  // Shown as running (EX_CheckRun, retrieval) from the start's success
  // until the thread stops or the run is ended.
  std::atomic<bool> going{false};
  // Why the thread stopped (Running while it has not): the run's end reason.
  std::atomic<ThreadStop> stop{ThreadStop::Running};
  // From the scan command until the instrument is seen to stop (its stop
  // echo) or is signed on afresh.
  std::atomic<bool> instrumentMayStream{false};

 private:
  mutable std::mutex threadMutex_;  // a leaf
  std::shared_ptr<platform::Thread> thread_;
  std::mutex endMutex_;  // a leaf
  std::string endedText_;
};

// The current run (the last one started; null before the first): one
// immutable snapshot of the pointer, safe to read on any thread.
std::shared_ptr<ScanRun> CurrentRun();
// Makes run the current one (scan start, once the instrument has echoed).
void InstallRun(std::shared_ptr<ScanRun> run);
// True while the current run is going.
bool ScanRunning();
// True when the instrument may still be streaming frames of a run.
bool InstrumentMayStream();
// The instrument has been seen to stop, or has been signed on afresh.
void InstrumentQuiet();

// ---- Ending a run ---------------------------------------------------------

enum class EndHow : uint8_t {
  Orderly,  // EX_EndScan, EX_Stop, a sign-on: stop, trailer, queued byte, channel back
  AtOnce,   // calibrations, standby, sleep, EX_Run, EX_Reset, the setters, a new start
  Unload,   // library unload: nothing goes to the instrument or into the files
};

// The one end of a run.  Under the run-control lock; safe with no run going.
// Orderly: true when the instrument confirmed the end and all went out.
// `call` names the call that ends a run at once (its end reason).
bool EndRun(EndHow how, const char* call = nullptr);

// Thrown by RunControlLock inside a host callback: the call is refused.
struct RunControlRefused {};

// Serialises the host's run control between host threads.  Recursive: the
// operations call one another.  Never taken by the acquisition thread.
// Refused (throws RunControlRefused) inside a host callback.
class RunControlLock {
 public:
  RunControlLock();
  ~RunControlLock();
  RunControlLock(const RunControlLock&) = delete;
  RunControlLock& operator=(const RunControlLock&) = delete;
};

// Ends a run that is going, at once (the setters; `call` names the setter).
// True.
bool EndRunningScanAtOnce(const char* call);
// Stops a running scan as EX_EndScan does, by force if that fails.  True.
// With no run going it still makes sure that the instrument is quiet.
bool StopRunningScan();

// A sign-on from a host thread (withTail: and its calibration, version and
// averaging): an acquisition thread still alive is ended first, and the
// instrument is idle after it.
bool SignOnOutsideRun(bool withTail);

// True when called on an acquisition thread (of any run).
bool OnScanThread();
// True while the current run's thread exists and has not finished.
bool ScanThreadAlive();

// Before a host operation talks to the instrument outside a run: releases
// a thread that has ended and stops an instrument that a run left streaming
// (a run that ended by itself, or one ended at once).  False only when the
// port has been lost.
bool QuietInstrumentAfterRun();

// Settings the host may change during a run, read by the thread as it goes.
extern std::atomic<bool> fDiginWithScan;
extern std::atomic<bool> fDigOutPriority;
