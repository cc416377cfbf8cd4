// The run record: everything that belongs to one scan run, and the one
// path that ends a run.
//
// Who owns what
//   A scan start makes a ScanRun and, once the instrument has echoed the
//   scan command, installs it as the current run.  The run owns its frozen
//   format, its frame buffer, its ring of unread scans, its scan log file,
//   its queued digital-output byte, its acquisition thread and the mark of
//   whether the instrument may still be streaming its frames.  Nothing of
//   one run is ever read or written through another run.
//   The acquisition thread holds a reference to its own run and touches
//   nothing else of the scan state.  It never tears anything down: when it
//   leaves its loop it reports why (ThreadStop) and that it has stopped.
//   EndRun is the one function that ends a run, for every reason, on a host
//   thread under the run-control lock.  An ended run stays current, so that
//   its unread scans can still be read, until the next start succeeds.  A
//   thread that a forced end had to leave to end on its own still holds
//   only its own run, which is marked ended: it can reach no later run.
//
// Lock order (a lock may be taken while holding those before it, never the
// other way round):
//   1. the run-control lock (RunControlLock; host threads only, recursive)
//   2. the current-run slot (held only to copy or swap the pointer)
//   3. a run's digital-output queue, then the port's write path
//   4. a run's ring, its scan log file, its thread handle (leaves: nothing
//      is taken under them)
//   The acquisition thread takes only 3 and 4 of its own run.  No host
//   thread waits for the thread while it holds 3 or 4.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "logging/scan_log.h"
#include "platform/platform.h"

// ---- A run's frozen format ----------------------------------------------

struct RunFormat {
  int16_t scanType = 1;  // 0 single channel, 1 multi-channel, 2 with calibration values
  int16_t channels = 1;  // values of the channel list
  uint32_t points = 1;   // values stored per scan
  int16_t words = 3;     // bytes per value
  int16_t polarity = 1;
  double interval = 0.0;  // seconds between scans, as the instrument was given it
  // Bytes of one frame (wide: frames may exceed 255 bytes).
  uint32_t FrameBytes() const;
};

// The format of a run started now with the record's settings.
RunFormat FormatFromSettings();

// ---- The ring of unread scans -------------------------------------------

constexpr int32_t kScanRingSize = 8640;

class ScanRing {
 public:
  explicit ScanRing(uint32_t points) : points_(points == 0 ? 1 : points) {}
  // Stores one scan (count values; the rest of the scan is zero) and
  // counts it.  True when stop-when-full asks the run to end.
  bool Store(const int32_t* values, uint32_t count, bool stopWhenFull);
  // Takes the oldest unread scan into out (points values); false when none.
  bool Take(int32_t* out);
  uint32_t Unread() const { return unread_.load(); }
  uint32_t Lost() const { return lost_.load(); }
  uint32_t CapacityInScans() const { return static_cast<uint32_t>(kScanRingSize) / points_; }

 private:
  const uint32_t points_;
  std::mutex mutex_;
  int32_t values_[kScanRingSize] = {};
  int32_t writePos_ = 0;  // guarded by mutex_
  int32_t readPos_ = 0;   // guarded by mutex_
  std::atomic<uint32_t> unread_{0};
  std::atomic<uint32_t> lost_{0};
};

// ---- The queued digital-output byte ---------------------------------------

// One byte waits for the acquisition thread to send it between frames.
// Once the thread has sent its last byte it closes the queue: a byte
// offered after that is not taken, and the caller writes it directly.
class DigoutQueue {
 public:
  enum class Offer { Queued, Busy, Closed };
  Offer Put(uint8_t value);
  // Sends the waiting byte with send(value); the byte stays queued when
  // send fails.  True when nothing is left waiting.
  template <class Send>
  bool SendWaiting(Send send) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pending_) return true;
    if (!send(byte_)) return false;
    pending_ = false;
    return true;
  }
  // Takes no more bytes (the thread's end).
  void Seal();
  // Seals the queue and hands out a byte still waiting.
  bool TakeWaiting(uint8_t& value);
  bool Pending() const;

 private:
  mutable std::mutex mutex_;
  bool pending_ = false;  // guarded by mutex_
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

  // The frame buffer: bytes of frames taken from the port, not yet decoded.
  uint8_t frames[kScanDataBuffSize] = {};
  std::atomic<int32_t> frameBytes{0};
  std::atomic<bool> diginRequestPending{false};

  ScanRing ring;
  ScanLog log;
  std::atomic<double> scanCounter{0.0};  // frames taken
  std::string startText;                  // written by the thread as it starts
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
  std::atomic<ThreadStop> stop{ThreadStop::Running};
  // From the scan command until the instrument is seen to stop (its stop
  // echo) or is signed on afresh.
  std::atomic<bool> instrumentMayStream{false};
  // Set by EndRun once the run has been ended for good.
  std::atomic<bool> ended{false};

 private:
  mutable std::mutex threadMutex_;  // a leaf
  std::shared_ptr<platform::Thread> thread_;
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
bool EndRun(EndHow how);

// Serialises the host's run control between host threads.  Recursive: the
// operations call one another.  Never taken by the acquisition thread.
class RunControlLock {
 public:
  RunControlLock();
  ~RunControlLock();
  RunControlLock(const RunControlLock&) = delete;
  RunControlLock& operator=(const RunControlLock&) = delete;
};

// Ends a run that is going, at once (the setters).  True.
bool EndRunningScanAtOnce();
// Stops a running scan as EX_EndScan does, by force if that fails.  True.
// With no run going it still makes sure that the instrument is quiet.
bool StopRunningScan();

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
