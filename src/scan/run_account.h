// A run's account of its scans: each scan's number and receive time, every
// gap with its cause, and how the run ended.
//
// Scans are numbered from 0 in the order the instrument sent them; a scan
// that never reached the host keeps its number, and the gap it leaves is
// recorded with its cause.  The acquisition thread writes the account, the
// host reads it; a leaf lock keeps the two apart (nothing is taken under it).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// Why numbers are missing (the values of the extension interface).
enum class GapCause : uint32_t {
  Overrun = 1,        // the ring wrapped before the host read them
  FrameFault = 2,     // a frame fault ended the run
  LineLost = 3,       // the line was lost
  QueueOverflow = 4,  // the receive queue overflowed
  RunEnded = 5,       // the run was ended with frames still on their way
  NotStored = 6,      // taken while memory logging was off (not lost: never meant for the ring)
};

// How a run ended (the values of the extension interface).
enum class EndReason : uint32_t {
  Running = 0,
  Host = 1,           // EX_EndScan, EX_Stop, a sign-on, the port's close: in order
  Timed = 2,          // its length was over
  MemoryFull = 3,     // stop-when-full
  FrameError = 4,     // a frame fault (errorType says which)
  LineLost = 5,       // the port hung up or failed
  QueueOverflow = 6,  // the receive queue overflowed
  AtOnce = 7,         // ended at once by a call (its name is kept)
  Unload = 8,         // the library was unloaded
};

struct Gap {
  uint64_t first = 0;
  uint64_t count = 0;
  GapCause cause = GapCause::Overrun;
};

// What a host reads of a run.
struct RunFigures {
  uint64_t sent = 0;       // numbered scans: taken, and those known lost after the last
  uint64_t taken = 0;      // frames taken from the line
  uint64_t stored = 0;     // stored in the ring
  uint64_t handedOut = 0;  // handed to the host
  uint64_t lost[7] = {};   // by GapCause (index 0 unused)
  EndReason reason = EndReason::Running;
  std::string endCall;     // the call that ended it at once
  bool logLimitReached = false;  // the scan log was closed at its size limit (the run went on)
  bool logWriteFailed = false;   // a write to the scan log failed: it was closed there (the run went on)
  double startTime = 0.0;  // seconds since 1970, when the start succeeded
  double endTime = 0.0;    // likewise, when it ended; 0 while it runs
  double longestDelay = 0.0;  // seconds from a frame's last byte taken to its scan stored
  std::vector<Gap> gaps;   // the first kMaxGaps (a gap that goes on widens); later ones add to `lost` only
};

class RunAccount {
 public:
  static constexpr size_t kMaxGaps = 64;

  // The start succeeded: the clock of receive times starts now.
  void Started(double wallTime, int64_t monotonicMicros);
  int64_t StartMicros() const { return startMicros_; }
  // A frame was taken: its number.  It is counted with what became of it
  // (Stored or NotStored), in one step, so that the figures never show a
  // frame taken and neither stored nor passed over.
  uint64_t NumberFrame();
  void Stored(uint64_t number, double delaySeconds);
  void NotStored(uint64_t number);
  void HandedOut(uint32_t scans);
  // Scans whose numbers will never reach the host.
  void Lost(uint64_t first, uint64_t count, GapCause cause);
  // The next number a frame would get.
  uint64_t NextNumber() const;
  void LogLimitReached();
  void LogWriteFailed();
  // The first reason given wins; later ones are passed over.
  void Ended(EndReason reason, double wallTime, const char* call = nullptr);
  // The thread's own reason for leaving its loop (its length, a full ring,
  // a fault): it wins over a host's end that met the thread on its way out.
  void EndedByItself(EndReason reason, double wallTime);
  RunFigures Figures() const;

 private:
  void LostLocked(uint64_t first, uint64_t count, GapCause cause);

  mutable std::mutex mutex_;  // a leaf
  int64_t startMicros_ = 0;   // written before the thread runs
  RunFigures figures_;        // guarded by mutex_
  uint64_t nextNumber_ = 0;   // guarded by mutex_
};
