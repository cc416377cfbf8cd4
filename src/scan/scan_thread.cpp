// The acquisition thread: takes each scan frame from the port, decodes it,
// keeps the raw counts in the memory ring and writes one row of volts per
// scan to the scan log file.  Between frames it sends a queued digital-
// output byte and keeps a digital-input request outstanding.
//
// The thread never polls: while no whole frame is waiting it sleeps on the
// port until one is, until the host wakes it (a stop request or a queued
// output byte) or until a timed run's next check is due.
#include <algorithm>
#include <cmath>
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

// Decodes one frame from the buffer into points (run order: channels, then
// offset and full scale) and the row of volts; returns the values stored.
int DecodeFrame(ScanRun& scan, int32_t* points, std::string* row) {
  const RunFormat& format = scan.format;
  int32_t offsetRaw = 0;
  int32_t fullScaleRaw = 0;
  if (format.scanType == 2) {
    offsetRaw = DecodeScanPoint(scan);
    fullScaleRaw = DecodeScanPoint(scan);
  }
  // A single-channel frame is one value, whatever the channel list counts.
  const int channels = format.scanType == 0 ? 1 : std::clamp<int>(format.channels, 0, kMaxPoints - 2);
  int stored = 0;
  for (int c = 0; c < channels; ++c) {
    const int32_t raw = DecodeScanPoint(scan);
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
  if (format.scanType != 0) ConsumeScanBytes(scan, 1);  // the trailing byte
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

// Takes frames until the run is over; returns why it stopped.
ThreadStop TakeFrames(ScanRun& scan) {
  TimedRun timed = SetUpTimedRun();
  std::string row;
  row.reserve(4096);
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
    const uint32_t uiNumScansInSerialBuff_LOCAL = CountScansWaiting(scan);
    if (uiNumScansInSerialBuff_LOCAL == 0) {
      if (IdlePass(scan, timed) == IdleOutcome::LeaveLoop) return ThreadStop::FrameError;
      continue;
    }
    if (uiNumScansInSerialBuff_LOCAL > scan.maxScansQueued) {
      DebugPrint(DebugLog::Scan,
                 "ThreadFunc_GetScanData()-> uiNumScansInSerialBuff_LOCAL > uiNumScansAllowedInSerialBuff_MAX\n");
      return ThreadStop::Overflow;
    }

    bool fGetScanRetVal;
    if (fDiginWithScan) {
      bool diginReceived = false;
      fGetScanRetVal = GetOneScanWithDigin(scan, diginReceived);
      if (diginReceived) {
        if (fGetScanRetVal) continue;
        return ThreadStop::FrameError;
      }
    } else {
      fGetScanRetVal = GetOneScan(scan);
    }
    if (!fGetScanRetVal) {
      DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> fGetScanRetVal == FAILED\n");
      return PortLost() ? ThreadStop::LineLost : ThreadStop::FrameError;
    }
    const int64_t receivedUs = platform::MonotonicMicros();
    const ScanStamp stamp{scan.account.FrameTaken(),
                          static_cast<double>(receivedUs - scan.account.StartMicros()) * 1e-6};

    const bool toFile = fLogScansToFile && scan.log.IsOpen();
    row.clear();
    ScanLogAppendTime(row, scan.scanCounter, scan.format.interval);
    scan.scanCounter = scan.scanCounter + 1.0;
    const int stored = DecodeFrame(scan, points, toFile ? &row : nullptr);
    if (toFile) {
      AppendLogComment(row);
      if (!scan.log.WriteRow(row)) {
        DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> writing the scan log failed: the file is closed\n");
        scan.account.LogWriteFailed();
      }
    }
    // Only stored scans are counted: the host is never handed a value that
    // this run did not store.
    if (fLogScansToMemory) {
      const ScanRing::Stored kept = scan.ring.Store(points, static_cast<uint32_t>(stored), stamp, fStopWhenMemoryFull);
      scan.account.Stored(static_cast<double>(platform::MonotonicMicros() - receivedUs) * 1e-6);
      if (kept.dropped) scan.account.Lost(kept.droppedNumber, 1, GapCause::Overrun);
      if (kept.full) return ThreadStop::Full;
    } else {
      scan.account.Lost(stamp.number, 1, GapCause::NotStored);
    }
    if (fLogScansToFile && fLimitLogFileSize && scan.log.IsOpen() &&
        static_cast<unsigned long>(scan.log.Position()) >= uiLogFileSizeLimit) {
      // The file is full: it ends with its trailer, the run goes on.
      scan.log.WriteTrailer(scan.format.minimumInterval, scan.format.appliedInterval, scan.scanCounter,
                            scan.startText, platform::CtimeNow());
      scan.log.Close();
      scan.account.LogLimitReached();
    }
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
