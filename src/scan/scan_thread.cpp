// The acquisition thread: takes each scan frame from the port, decodes it,
// keeps the raw counts in the memory ring and writes one row of volts per
// scan to the scan log file.  Between frames it sends a queued digital-
// output byte and keeps a digital-input request outstanding.
//
// The thread never polls: it sleeps on the port until the next frame is due
// (or, at high rates, about a millisecond of frames has come), until the
// host wakes it (a stop request or a queued output byte) or until a timed
// run's next check is due.  Each wake-up reads all that is waiting in one
// read, guards the receive queue against it, and decodes every whole frame
// before it sleeps again.  While digital inputs are read with the scan it takes its frames
// one at a time, since the instrument's replies come between them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "common/error_type.h"
#include "device/q583.h"
#include "link/commands.h"
#include "link/packets.h"
#include "link/serial.h"
#include "logging/debug_log.h"
#include "logging/scan_log.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
#include "scan/scan_run.h"

std::atomic<bool> fDiginWithScan{false};
std::atomic<bool> fDigOutPriority{false};

namespace {

// Set on every acquisition thread, of whichever run.
thread_local bool tOnScanThread = false;

// Longest sleep of an idle pass with nothing else to wait for.
constexpr int32_t kIdleWaitCapMs = 1000;
// Retry pace of a digital-output byte that could not be sent.
constexpr int32_t kDigoutRetryMs = 5;
constexpr int kMaxPoints = 256;

int32_t TruncMs(double seconds) {
  const double ms = std::trunc(seconds * 1000.0);
  if (!(ms > 0.0)) return 0;
  return ms > 4.0e9 ? -1 : static_cast<int32_t>(static_cast<uint32_t>(ms));
}

void AppendVolts(std::string& row, int32_t raw, const RunFormat& format) {
  ScanLogAppendVolts(row, CountToMillivolts(raw, format.words, format.polarity) * 0.001);
}

// Sleeps on the port until a whole frame (or, with a reply due, its first
// byte) is waiting, the host wakes the thread, or the wait is up.
void IdleWait(const ScanRun& scan, const TimedRun& timed, int32_t cap) {
  const uint32_t wanted = (fDiginWithScan && scan.diginRequestPending) ? 1U : scan.format.FrameBytes();
  const int32_t ms = TimedRunWaitMs(timed, cap);
  if (ms > 0) WaitPortReadable(ms, wanted);
}

constexpr const char* kDigoutSentText = "@@@@ TFSCD()-> Digout Sent @@@@@\n";

enum class IdleOutcome { NextPass, LeaveLoop };

IdleOutcome IdlePass(ScanRun& scan, const TimedRun& timed) {
  if (scan.diginRequestPending) {
    IdleWait(scan, timed, kIdleWaitCapMs);
    return IdleOutcome::NextPass;
  }
  // A byte that could not go out is tried again on the next idle pass, soon.
  static constexpr DigoutLines kDigoutLines{nullptr, kDigoutSentText, "ThreadFunc_GetScanData()-> \n",
                                            "## TFSCD()->FAILED Digout \n"};
  const bool digoutFailed = !SendQueuedDigout(scan, kDigoutLines);
  // A single-channel frame is one bare value: a digital-input reply among
  // such frames could not be told from a value and would shift every value
  // after it, so none is asked for in that scan type.
  if (fDigOutPriority || !fDiginWithScan || scan.format.scanType == 0) {
    IdleWait(scan, timed, digoutFailed ? kDigoutRetryMs : kIdleWaitCapMs);
    return IdleOutcome::NextPass;
  }
  static constexpr DiginRequestLines kLines{"## TFSCD()-> (!SendPacketWithBusyCheck(0x80,(BYTE)0x4C)) \n",
                                            "TFSCD()-> \n", "TFSCD()-> (!SendPacket(0x80,0x4C))-> returning FALSE\n",
                                            "## TFSCD()-> SUCCESS sending digital input request \n"};
  return RequestDigin(scan, kLines) ? IdleOutcome::NextPass : IdleOutcome::LeaveLoop;
}

// The run's end reason, and the scans it leaves behind: a frame fault, an
// overflow or a lost line loses the frame in hand and those waiting; the
// run's own ends (the host's, its length, a full ring) leave only scans
// that came after the end.
void AccountForTheEnd(ScanRun& scan, ThreadStop why) {
  EndReason reason = EndReason::Host;
  switch (why) {
    case ThreadStop::Timed: reason = EndReason::Timed; break;
    case ThreadStop::Full: reason = EndReason::MemoryFull; break;
    case ThreadStop::FrameError:
      reason = EndReason::FrameError;
      NoteFramesLeft(scan, GapCause::FrameFault);
      break;
    case ThreadStop::Overflow:
      reason = EndReason::QueueOverflow;
      NoteFramesLeft(scan, GapCause::QueueOverflow);
      break;
    case ThreadStop::LineLost:
      reason = EndReason::LineLost;
      NoteFramesLeft(scan, GapCause::LineLost);
      break;
    default:
      scan.account.Ended(reason, platform::WallSeconds());
      return;
  }
  scan.account.EndedByItself(reason, platform::WallSeconds());
}

// The thread's last work for its run.  It tears nothing down: the byte
// still queued goes out in its run, the queue takes no more, the file gets
// the thread's trailer, and the run is shown as stopped.
void EndOfThread(ScanRun& scan, ThreadStop why) {
  // A thread that was killed while it sat outside the library's waits (in a
  // host callback) runs no end sequence: its run has been ended for it.
  platform::CheckKilled();
  // A byte that cannot go out now stays for the run's end to send.
  scan.digout.SendLast([](uint8_t value) {
    if (PortLost() || !SendPacketWithBusyCheck(0x02, value)) return false;
    DebugPrintFlush(DebugLog::General, "%s", kDigoutSentText);
    return true;
  });
  if (DebugLogOpen(DebugLog::Scan)) {
    DebugPrintFlush(DebugLog::Scan, "ThreadFunc_GetScanData()-> ending thread()\n");
    DebugPrintFlush(DebugLog::Scan, "ThreadFunc_GetScanData()-> size: %u\n",
                    static_cast<unsigned>(DebugPosition(DebugLog::Scan)));
    DebugPrintFlush(DebugLog::Scan, "\n\n");
    DebugClose(DebugLog::Scan);
  }
  // The run's file gets its trailer also when file logging was switched
  // off during the run: the rows it has are a run's that ended.  Nothing is
  // sent for it: frames may still be arriving.
  AccountForTheEnd(scan, why);
  scan.NoteEnded();
  WriteRunTrailer(scan);
  DebugClose(DebugLog::General);
  scan.stop = why;
  scan.going = false;
  NotifyScanEnded();
}

// Decodes a frame's values (from `values`, past its marker) into points
// (run order: channels, then offset and full scale) and, with row, the row
// of volts; returns the values stored.
int DecodeValues(const RunFormat& format, const uint8_t* values, int32_t* points, std::string* row) {
  const uint8_t* at = values;
  const auto next = [&at, &format] {
    const int32_t raw = DecodeCount(at, format.words);
    at += format.words;
    return raw;
  };
  int32_t offsetRaw = 0;
  int32_t fullScaleRaw = 0;
  if (format.scanType == 2) {
    offsetRaw = next();
    fullScaleRaw = next();
  }
  // A single-channel frame is one value, whatever the channel list counts.
  const int channels = format.scanType == 0 ? 1 : std::clamp<int>(format.channels, 0, kMaxPoints - 2);
  int stored = 0;
  for (int c = 0; c < channels; ++c) {
    const int32_t raw = next();
    if (row != nullptr) AppendVolts(*row, raw, format);
    points[stored++] = raw;
  }
  if (format.scanType == 2) {
    if (row != nullptr) {
      AppendVolts(*row, offsetRaw, format);
      AppendVolts(*row, fullScaleRaw, format);
    }
    points[stored++] = offsetRaw;
    points[stored++] = fullScaleRaw;
  }
  return stored;
}

void TraceThreadStart(const ScanRun& scan) {
  if (!DebugLogOpen(DebugLog::Scan)) return;
  DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> THREAD STARTED\n");
  DebugPrint(DebugLog::Scan,
             "ThreadFunc_GetScanData()-> bNumPointsPerScan: %u, uiNumScansAllowedInSerialBuff_MAX: %u "
             "scanWords; %u, timeTotal: %u,  scanInterval: %lf, Q583.tScan: %d\n\n",
             static_cast<unsigned>(scan.format.points), scan.maxScansQueued,
             static_cast<unsigned>(scan.format.channels * scan.format.words + 2),
             static_cast<unsigned>(TruncMs(scan.format.interval + 2.0)), scan.format.interval,
             static_cast<int>(scan.format.scanType));
  DebugPrint(DebugLog::Scan, "Q583.chan[0]: %X, chan[1]: %X, chan[2]: %X, chan[3]: %X, chan[4]: %X, chan[5]: %X",
             static_cast<unsigned>(scan.format.codes[0]), static_cast<unsigned>(scan.format.codes[1]),
             static_cast<unsigned>(scan.format.codes[2]), static_cast<unsigned>(scan.format.codes[3]),
             static_cast<unsigned>(scan.format.codes[4]), static_cast<unsigned>(scan.format.codes[5]));
  DebugFlush(DebugLog::Scan);
}

// ---- Pacing the wake-ups ------------------------------------------------

// At high rates, about this much of frames a wake-up: from frames closer
// than kBatchBelowUs on (below a millisecond with a margin, so that frames
// a millisecond apart do not swing between the two ways).
constexpr int64_t kBatchUs = 1000;
constexpr int64_t kBatchBelowUs = 800;
// How long past the line time of a frame's missing bytes the thread looks.
constexpr int64_t kRestMarginUs = 150;
// Frames between two seen frame ends before their distance is believed.
constexpr uint64_t kLearnSpan = 16;
// Frames a steady pace is measured over before it is predicted by.
constexpr uint64_t kSteadySpan = 16;
// Wake-ups in a row that found whole frames at their first byte before
// frames are believed to come whole.
constexpr uint32_t kWholeToTrust = 4;

// When the thread next looks at the port.  Paced frames are taken one a
// wake-up, when each is due: the thread sleeps (still watching the port for
// a hang-up, and for the host's wake) until the predicted end of the next
// frame.  The prediction is anchored whenever the thread sees a frame end
// (it woke early and waited for the last byte), and otherwise moves a
// little earlier each frame, so that it cannot drift late unseen.  Frames
// that come faster than one a millisecond are taken about a millisecond at
// a time, until the line falls quiet.  No sleep lets more than half the receive queue's bound pile up,
// and until the frames' pace has been seen the thread wakes at each byte
// that comes after a quiet line.
class FramePace {
 public:
  struct Wait {
    int64_t us;
    bool anyByte;  // ends at the first byte that arrives
  };

  FramePace(const RunFormat& format, int64_t byteUs, uint32_t queueBound)
      : frameBytes_(format.FrameBytes()),
        byteUs_(byteUs > 0 ? byteUs : 1),
        // The instrument's timer runs at the interval in whole ticks.
        givenUs_(static_cast<int64_t>((format.appliedInterval > 0 ? format.appliedInterval : format.interval) * 1e6)),
        maxFrames_(std::max<uint32_t>(1U, queueBound / 2U / frameBytes_)),
        nudgeUs_(std::max<int64_t>(5, givenUs_ / 10000)) {}

  // After a wake-up's take: whole frames taken, bytes of the next frame in
  // the buffer, at `now` (monotonic microseconds).
  Wait Plan(int64_t now, uint32_t taken, uint32_t partial) {
    const Kind last = last_;
    // What a wake-up at the first byte found: frames that come whole (an
    // unpaced line, an adapter's chunks) or one that trickles in.
    if (last == Kind::Any && (taken > 0 || partial > 0)) wholeSeen_ = partial == 0 ? wholeSeen_ + 1 : 0;
    frames_ += taken;
    if (taken > 0) Observe(now, taken);
    const int64_t interval = Interval();
    const int64_t bound = interval > 0 ? static_cast<int64_t>(maxFrames_) * interval : kForever;
    if (interval > 0 && interval < kBatchBelowUs) {
      // A line that fell quiet is waited on, not looked at each millisecond.
      if (taken == 0 && partial == 0) return Next(Kind::Any, kForever);
      return Next(Kind::Batch, std::min(bound, kBatchUs));
    }
    if (partial > 0) {
      if (last == Kind::Due) pullUs_ = nudgeUs_;  // woke before the frame's end: on time again
      // A frame is on its way: its rest takes its line time.  A last byte,
      // or one that is late, is waited for on the port, and so is the rest
      // of a lump of frames whose pace is not known yet.
      const uint32_t missing = partial < frameBytes_ ? frameBytes_ - partial : 1U;
      if (missing == 1 || last == Kind::Rest || (interval <= 0 && taken > 0)) return Next(Kind::Any, kForever);
      restEndUs_ = now + static_cast<int64_t>(missing) * byteUs_;
      return Next(Kind::Rest, std::min(bound, restEndUs_ + kRestMarginUs - now));
    }
    if (interval <= 0) return Next(Kind::Any, kForever);
    if (taken > 0) {
      int64_t end = now;  // when the last frame taken ended, at the latest
      if (last == Kind::Any) Learn(now);  // it woke at the frame's last byte
      if (last == Kind::Rest) end = restEndUs_;
      if (last == Kind::Due) {
        // It woke to whole frames: they ended at the wake-up or before, by
        // a time it cannot see.  Each such wake-up in a row pulls the next
        // one further ahead, until one comes before its frame's end and
        // sees it: so a line faster than predicted (an instrument's clock
        // a little fast) is caught up with in a few frames instead of its
        // delay growing through the run.  Before the frames' distance is
        // learned the pull doubles; after, it grows by a nudge, as the
        // prediction can only be a little off.
        if (taken == 1) end = dueUs_;
        pullUs_ = learnedUs_ > 0 ? pullUs_ + nudgeUs_ : pullUs_ * 2;
        pullUs_ = std::min(pullUs_, std::max<int64_t>(nudgeUs_, interval / 4));
      }
      dueUs_ = end + interval - pullUs_;
    } else if (last == Kind::Due) {
      pullUs_ = nudgeUs_;  // woke before the frame began: on time again
      return Next(Kind::Any, kForever);  // due and not begun: late
    }
    if (dueUs_ == 0 || dueUs_ <= now) return Next(Kind::Any, kForever);
    // Frames that come whole are waited for at their first byte: one
    // wake-up a frame, as when due, and none late.
    if (wholeSeen_ >= kWholeToTrust) return Next(Kind::Any, kForever);
    return Next(Kind::Due, std::min(bound, dueUs_ - now));
  }

 private:
  enum class Kind { None, Due, Rest, Any, Batch };
  static constexpr int64_t kForever = INT64_MAX;

  Wait Next(Kind kind, int64_t us) {
    last_ = kind;
    return {us, kind == Kind::Any};
  }

  // The frames' pace as the wake-ups see it: a quick average of the gaps,
  // and a long one since the pace last changed, which is exact enough to
  // predict by once it spans a few frames.
  void Observe(int64_t now, uint32_t taken) {
    if (lastTakeUs_ != 0) {
      const int64_t gap = (now - lastTakeUs_) / taken;
      spacingUs_ = spacingUs_ == 0 ? gap : (7 * spacingUs_ + gap) / 8;
      const uint64_t span = frames_ - spanFrames_;
      const int64_t longUs = span > 0 ? (now - spanStartUs_) / static_cast<int64_t>(span) : 0;
      if (span >= kSteadySpan && (spacingUs_ > longUs * 5 / 4 || spacingUs_ < longUs * 3 / 4)) {
        spanStartUs_ = 0;  // the pace has changed: measure it afresh
      } else if (span >= kSteadySpan) {
        steadyUs_ = longUs;
      }
    }
    if (spanStartUs_ == 0) {
      spanStartUs_ = now;
      spanFrames_ = frames_;
      steadyUs_ = 0;
    }
    lastTakeUs_ = now;
  }

  // The frames' distance: as given, or as seen between frame ends; as seen
  // between wake-ups when frames come faster than given (the instrument
  // may send faster than its run was given, and bursts are read at once).
  int64_t Interval() const {
    if (spacingUs_ <= 0) return 0;
    if (givenUs_ <= 0 || spacingUs_ < givenUs_ * 3 / 4) return steadyUs_ > 0 ? steadyUs_ : spacingUs_;
    return learnedUs_ > 0 ? learnedUs_ : givenUs_;
  }

  // A frame end seen: from two of them far enough apart, the distance of
  // frames on this line, after which the prediction needs only a small
  // nudge.
  void Learn(int64_t end) {
    if (anchorUs_ == 0) {
      anchorUs_ = end;
      anchorFrames_ = frames_;
      return;
    }
    const uint64_t span = frames_ - anchorFrames_;
    if (span < kLearnSpan) return;
    learnedUs_ = (end - anchorUs_) / static_cast<int64_t>(span);
    nudgeUs_ = 3;
    pullUs_ = std::min(pullUs_, nudgeUs_);
  }

  const uint32_t frameBytes_;
  const int64_t byteUs_;
  const int64_t givenUs_;
  const uint32_t maxFrames_;
  int64_t nudgeUs_;
  int64_t pullUs_ = nudgeUs_;  // how far ahead of the prediction the next wake-up is
  Kind last_ = Kind::None;
  uint64_t frames_ = 0;
  int64_t lastTakeUs_ = 0;
  int64_t spacingUs_ = 0;
  int64_t spanStartUs_ = 0;
  uint64_t spanFrames_ = 0;
  int64_t steadyUs_ = 0;
  int64_t dueUs_ = 0;
  int64_t restEndUs_ = 0;
  int64_t anchorUs_ = 0;
  uint64_t anchorFrames_ = 0;
  int64_t learnedUs_ = 0;
  uint32_t wholeSeen_ = 0;  // wake-ups at a first byte in a row that found whole frames
};

// ---- Taking frames ----------------------------------------------------------

// Writes a wake-up's rows to the scan log.  A failed write has closed the
// file: the run goes on in memory, and its account says why the file ends.
void WriteRows(ScanRun& scan, std::string& rows) {
  if (rows.empty()) return;
  if (!scan.log.WriteRows(rows)) {
    DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> writing the scan log failed: the file is closed\n");
    scan.account.LogWriteFailed();
  }
  rows.clear();
}

// Keeps a frame that has been decoded: its row among the rows of this
// wake-up, its values in the ring with its number and receive time, and its
// place in the run's account.  Returns Running, or Full when a full ring
// ends the run.
ThreadStop KeepFrame(ScanRun& scan, const uint8_t* values, int64_t receivedUs, std::string& rows,
                     long& filePosition, int32_t* points) {
  const ScanStamp stamp{scan.account.NumberFrame(),
                        static_cast<double>(receivedUs - scan.account.StartMicros()) * 1e-6};
  const bool toFile = fLogScansToFile && scan.log.IsOpen();
  // The time column only for a row that is written.
  if (toFile) ScanLogAppendTime(rows, scan.scanCounter, scan.format.interval);
  scan.scanCounter = scan.scanCounter + 1.0;
  const int stored = DecodeValues(scan.format, values, points, toFile ? &rows : nullptr);
  if (toFile) {
    AppendLogComment(rows);
    rows += '\n';
  }
  // Only stored scans are counted: the host is never handed a value that
  // this run did not store.
  if (fLogScansToMemory) {
    // Counted before the host can take it: never more handed out than stored.
    scan.account.Stored(stamp.number, static_cast<double>(platform::MonotonicMicros() - receivedUs) * 1e-6);
    const ScanRing::Stored kept = scan.ring.Store(points, static_cast<uint32_t>(stored), stamp, fStopWhenMemoryFull);
    if (kept.dropped) scan.account.Lost(kept.droppedNumber, 1, GapCause::Overrun);
    if (kept.full) return ThreadStop::Full;
  } else {
    scan.account.NotStored(stamp.number);
  }
  if (toFile && fLimitLogFileSize) {
    if (filePosition < 0) filePosition = scan.log.Position();
    if (static_cast<unsigned long>(filePosition) + rows.size() >= uiLogFileSizeLimit) {
      // The file is full: it ends with its trailer, the run goes on.
      WriteRows(scan, rows);
      scan.log.WriteTrailer(scan.format.minimumInterval, scan.format.appliedInterval, scan.scanCounter,
                            scan.startText, platform::CtimeNow());
      scan.log.Close();
      scan.account.LogLimitReached();
    }
  }
  return ThreadStop::Running;
}

// Decodes every whole frame in the frame buffer, in order, and leaves the
// part of the next one at its front.  Their rows go out in one write.
ThreadStop TakeWholeFrames(ScanRun& scan, int64_t receivedUs, int32_t* points, std::string& rows, uint32_t& taken) {
  const uint32_t frameBytes = scan.format.FrameBytes();
  const uint32_t marker = scan.format.scanType == 0 ? 0U : 1U;
  const auto held = static_cast<uint32_t>(std::max<int32_t>(0, scan.frameBytes.load()));
  uint32_t at = 0;
  long filePosition = -1;  // asked once, when the file's size is limited
  ThreadStop stop = ThreadStop::Running;
  rows.clear();
  while (stop == ThreadStop::Running && held - at >= frameBytes) {
    const uint8_t* frame = scan.frames + at;
    // After a byte lost or added on the line every frame read after it
    // would be shifted and every value wrong, so the run ends instead.
    if (!FrameMarkerOk(scan, frame)) {
      DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> fGetScanRetVal == FAILED\n");
      stop = ThreadStop::FrameError;
      break;
    }
    at += frameBytes;
    ++taken;
    stop = KeepFrame(scan, frame + marker, receivedUs, rows, filePosition, points);
  }
  WriteRows(scan, rows);
  ConsumeScanBytes(scan, at);
  return stop;
}

// One frame while digital inputs are read with the scan: the instrument's
// replies come between frames, and each is told from a frame by its first
// byte.
ThreadStop TakeFrameWithDigin(ScanRun& scan, const TimedRun& timed, int32_t* points, std::string& rows) {
  const uint32_t waiting = CountScansWaiting(scan);
  if (waiting == 0) {
    return IdlePass(scan, timed) == IdleOutcome::LeaveLoop ? ThreadStop::FrameError : ThreadStop::Running;
  }
  if (waiting > scan.maxScansQueued) {
    DebugPrint(DebugLog::Scan,
               "ThreadFunc_GetScanData()-> uiNumScansInSerialBuff_LOCAL > uiNumScansAllowedInSerialBuff_MAX\n");
    return ThreadStop::Overflow;
  }
  bool diginReceived = false;
  const bool got = GetOneScanWithDigin(scan, diginReceived);
  if (diginReceived) return got ? ThreadStop::Running : ThreadStop::FrameError;
  if (!got) {
    DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> fGetScanRetVal == FAILED\n");
    return PortLost() ? ThreadStop::LineLost : ThreadStop::FrameError;
  }
  rows.clear();
  long filePosition = -1;
  // The reader has taken the marker: the frame's values are at the front.
  const ThreadStop stop = KeepFrame(scan, scan.frames, platform::MonotonicMicros(), rows, filePosition, points);
  WriteRows(scan, rows);
  ConsumeScanBytes(scan, scan.format.FrameBytes() - (scan.format.scanType == 0 ? 0U : 1U));
  return stop;
}

// Takes frames until the run is over; returns why it stopped.
ThreadStop TakeFrames(ScanRun& scan) {
  TimedRun timed = SetUpTimedRun();
  FramePace pace(scan.format, PortByteMicros(), ReceiveQueueBound(scan));
  std::string rows;
  rows.reserve(16384);
  int32_t points[kMaxPoints];
  for (;;) {
    platform::PeekMessages();
    if (TimedRunOver(timed)) return ThreadStop::Timed;
    if (scan.exitRequested) {
      DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> fScanDataThread_EXIT_NOW_FLAG == TRUE \n");
      return ThreadStop::Asked;
    }
    if (PortLost()) {
      // The line is gone (an adapter unplugged): nothing more will come.
      Q583.errorType = ToCode(ErrorType::ShortFrame);
      DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> the port has hung up or failed\n");
      return ThreadStop::LineLost;
    }
    // A frame begun before digital inputs were switched on is finished
    // first; from an empty buffer on, frames are taken one at a time.
    if (fDiginWithScan && scan.frameBytes == 0) {
      const ThreadStop stop = TakeFrameWithDigin(scan, timed, points, rows);
      if (stop != ThreadStop::Running) return stop;
      continue;
    }

    const int32_t before = scan.frameBytes;
    const int32_t got = TakeWaitingBytes(scan);
    const int64_t receivedUs = platform::MonotonicMicros();
    if (got < 0) {
      DebugPrint(DebugLog::Scan,
                 "ThreadFunc_GetScanData()-> uiNumScansInSerialBuff_LOCAL > uiNumScansAllowedInSerialBuff_MAX\n");
      return ThreadStop::Overflow;
    }
    if (PortLost()) continue;
    uint32_t taken = 0;
    const ThreadStop stop = TakeWholeFrames(scan, receivedUs, points, rows, taken);
    if (stop != ThreadStop::Running) return stop;
    // Between frames: the queued digital-output byte, tried again soon when
    // it could not go out.
    static constexpr DigoutLines kDigoutLines{nullptr, kDigoutSentText, "ThreadFunc_GetScanData()-> \n",
                                              "## TFSCD()->FAILED Digout \n"};
    const bool digoutFailed = !SendQueuedDigout(scan, kDigoutLines);
    const auto partial = static_cast<uint32_t>(std::max<int32_t>(0, scan.frameBytes.load()));
    const FramePace::Wait wait = pace.Plan(platform::MonotonicMicros(), taken, partial);
    // A read that filled the buffer to its end left bytes in the port.
    if (before + got >= kScanDataBuffSize) continue;
    const int64_t capUs = static_cast<int64_t>(TimedRunWaitMs(timed, digoutFailed ? kDigoutRetryMs : kIdleWaitCapMs)) * 1000;
    if (capUs > 0) WaitPortReceive(std::min(wait.us, capUs), wait.anyByte);
  }
}

}  // namespace

void ThreadFunc_GetScanData(const std::shared_ptr<ScanRun>& run) {
  ScanRun& scan = *run;
  tOnScanThread = true;
  // The run is shown as stopped however the thread is left: a host's
  // callback (the message box of a sign-on) may end it by a forced unwind.
  // A thread killed from outside leaves that to its killer.
  struct StoppedWithThread {
    ScanRun& scan;
    ~StoppedWithThread() {
      if (platform::CurrentThreadKilled() || !scan.going) return;
      scan.going = false;
      NotifyScanEnded();
    }
  } stopped{scan};
  // A thread resumed after a failed start only sees the exit flag and ends.
  if (scan.exitRequested) return;
  TraceThreadStart(scan);
  const ThreadStop why = TakeFrames(scan);
  EndOfThread(scan, why);
}

bool CreateScanThread(const std::shared_ptr<ScanRun>& run) {
  // The thread holds its own run: a thread left to end on its own can only
  // ever reach the run it was made for.
  std::shared_ptr<platform::Thread> thread =
      platform::Thread::CreateSuspended([run] { ThreadFunc_GetScanData(run); });
  if (!thread) return false;
  run->SetThread(std::move(thread));
  return true;
}

bool OnScanThread() { return tOnScanThread; }
