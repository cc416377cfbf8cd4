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

#include "device/q583.h"
#include "link/commands.h"
#include "link/packets.h"
#include "link/serial.h"
#include "logging/debug_log.h"
#include "logging/scan_log.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
#include "scan/scan_state.h"

std::atomic<bool> fScanRunning{false};
std::atomic<uint8_t> fScanDataThread_EXIT_NOW_FLAG{0};
std::atomic<bool> fDiginWithScan{false};
std::atomic<bool> fDigOutPriority{false};
std::atomic<bool> fDiginRequestPending{false};
std::atomic<bool> fDigoutWhileScanPending{false};
std::atomic<uint8_t> bDigoutWhileScanPendingByte{0};
std::atomic<uint8_t> bNumPointsPerScan{0};
std::atomic<uint32_t> uiNumScansAllowedInSerialBuff_MAX{0};
std::atomic<bool> fInstrumentScanning{false};

namespace {

// The acquisition thread: the handle and the lock that guards it.  Users
// take a reference under the lock and work on the thread outside it, so that
// a kill or a join (which wait) never holds the lock.
std::mutex gScanThreadMutex;
std::shared_ptr<platform::Thread> hScanDataThread;
std::recursive_mutex gRunControlMutex;

std::shared_ptr<platform::Thread> ScanThread() {
  std::lock_guard<std::mutex> lock(gScanThreadMutex);
  return hScanDataThread;
}

// Releases the slot if it still holds `thread`.
void ReleaseScanThread(const std::shared_ptr<platform::Thread>& thread) {
  std::lock_guard<std::mutex> lock(gScanThreadMutex);
  if (hScanDataThread == thread) hScanDataThread.reset();
}

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

void AppendVolts(std::string& row, int32_t raw) {
  ScanLogAppendVolts(row, CountToMillivolts(raw, Q583.wordCnt, Q583.biPolar) * 0.001);
}

// Sleeps on the port until a whole frame (or, with a reply due, its first
// byte) is waiting, the host wakes the thread, or the wait is up.
void IdleWait(const TimedRun& run, int32_t cap) {
  const uint32_t wanted = (fDiginWithScan && fDiginRequestPending) ? 1U : ScanFrameBytes();
  const int32_t ms = TimedRunWaitMs(run, cap);
  if (ms > 0) WaitPortReadable(ms, wanted);
}

// At the run's end a digital-output byte still queued goes out first, so
// that the last value on the wire is the last one the host asked for.
void SendQueuedDigoutBeforeEnd() {
  if (!fDigoutWhileScanPending || PortLost()) return;
  if (SendPacketWithBusyCheck(0x02, bDigoutWhileScanPendingByte)) {
    DebugPrintFlush(DebugLog::General, "@@@@ TFSCD()-> Digout Sent @@@@@\n");
    fDigoutWhileScanPending = false;
  }
}

enum class IdleOutcome { NextPass, LeaveLoop };

IdleOutcome IdlePass(const TimedRun& run) {
  if (fDiginRequestPending) {
    IdleWait(run, kIdleWaitCapMs);
    return IdleOutcome::NextPass;
  }
  bool digoutFailed = false;
  if (fDigoutWhileScanPending) {
    if (SendPacketWithBusyCheck(0x02, bDigoutWhileScanPendingByte)) {
      DebugPrintFlush(DebugLog::General, "@@@@ TFSCD()-> Digout Sent @@@@@\n");
      fDigoutWhileScanPending = false;
    } else {
      DebugPrintFlush(DebugLog::Levelled, "ThreadFunc_GetScanData()-> \n");
      DebugPrintFlush(DebugLog::Levelled, "   failed sending bDigoutWhileScanPendingByte\n");
      DebugPrintFlush(DebugLog::General, "## TFSCD()->FAILED Digout \n");
      digoutFailed = true;  // tried again on the next idle pass, soon
    }
  }
  // A single-channel frame is one bare value: a digital-input reply among
  // such frames could not be told from a value and would shift every value
  // after it, so none is asked for in that scan type.
  if (fDigOutPriority || !fDiginWithScan || FrameScanType() == 0) {
    IdleWait(run, digoutFailed ? kDigoutRetryMs : kIdleWaitCapMs);
    return IdleOutcome::NextPass;
  }
  if (!SendPacketWithBusyCheck(0x80, 0x4C)) {
    DebugPrintFlush(DebugLog::General, "## TFSCD()-> (!SendPacketWithBusyCheck(0x80,(BYTE)0x4C)) \n");
    if (!RetryDiginRequest("TFSCD()-> \n")) {
      DebugPrintFlush(DebugLog::Levelled, "TFSCD()-> (!SendPacket(0x80,0x4C))-> returning FALSE\n");
      return IdleOutcome::LeaveLoop;
    }
  }
  DebugPrintFlush(DebugLog::General, "## TFSCD()-> SUCCESS sending digital input request \n");
  fDiginRequestPending = true;
  return IdleOutcome::NextPass;
}

void EndOfThread() {
  // A thread that was killed while it sat outside the library's waits (in a
  // host callback) runs no end sequence: its run is someone else's now.
  platform::CheckKilled();
  // A byte queued for this run does not outlive it: it goes out now, or
  // (when it cannot) is dropped, except on the host's orderly end, which
  // sends it after the stop.
  SendQueuedDigoutBeforeEnd();
  if (fScanDataThread_EXIT_NOW_FLAG != 1) DropQueuedDigout();
  if (DebugLogOpen(DebugLog::Scan)) {
    DebugPrintFlush(DebugLog::Scan, "ThreadFunc_GetScanData()-> ending thread()\n");
    DebugPrintFlush(DebugLog::Scan, "ThreadFunc_GetScanData()-> size: %u\n",
                    static_cast<unsigned>(DebugPosition(DebugLog::Scan)));
    DebugPrintFlush(DebugLog::Scan, "\n\n");
    DebugClose(DebugLog::Scan);
  }
  // The run's file gets its trailer also when file logging was switched
  // off during the run: the rows it has are a run's that ended.
  if (ScanLogOpen()) ScanLogWriteTrailer();
  DebugClose(DebugLog::General);
  fScanRunning = false;
  NotifyScanEnded();
}

}  // namespace

// Clears the running flag however the thread is left: a host's callback
// (the message box of a sign-on) may end the thread by a forced unwind.  A
// thread killed from outside leaves the flag to its killer.
class RunEndsWithThread {
 public:
  RunEndsWithThread() = default;
  ~RunEndsWithThread() {
    if (platform::CurrentThreadKilled()) return;
    FixRunScanType(false);
    if (!fScanRunning) return;
    fScanRunning = false;
    NotifyScanEnded();
  }
  RunEndsWithThread(const RunEndsWithThread&) = delete;
  RunEndsWithThread& operator=(const RunEndsWithThread&) = delete;
};

void ThreadFunc_GetScanData() {
  RunEndsWithThread runEnds;
  fDiginRequestPending = false;
  // A thread resumed after a failed start only sees the exit flag and ends:
  // it never shows a run as going.
  if (fScanDataThread_EXIT_NOW_FLAG != 1) fScanRunning = true;
  SetRunStartText(platform::CtimeNow());
  if (DebugLogOpen(DebugLog::Scan)) {
    DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> THREAD STARTED\n");
    DebugPrint(DebugLog::Scan,
               "ThreadFunc_GetScanData()-> bNumPointsPerScan: %u, uiNumScansAllowedInSerialBuff_MAX: %u "
               "scanWords; %u, timeTotal: %u,  scanInterval: %lf, Q583.tScan: %d\n\n",
               static_cast<unsigned>(bNumPointsPerScan), uiNumScansAllowedInSerialBuff_MAX.load(),
               static_cast<unsigned>(Q583.numChannels * Q583.wordCnt + 2),
               static_cast<unsigned>(TruncMs(Q583.scanInterval + 2.0)), static_cast<double>(Q583.scanInterval),
               static_cast<int>(Q583.tScan));
    DebugPrint(DebugLog::Scan, "Q583.chan[0]: %X, chan[1]: %X, chan[2]: %X, chan[3]: %X, chan[4]: %X, chan[5]: %X",
               static_cast<unsigned>(Q583.chan[0]), static_cast<unsigned>(Q583.chan[1]),
               static_cast<unsigned>(Q583.chan[2]), static_cast<unsigned>(Q583.chan[3]),
               static_cast<unsigned>(Q583.chan[4]), static_cast<unsigned>(Q583.chan[5]));
    DebugFlush(DebugLog::Scan);
  }
  TimedRun run = SetUpTimedRun();
  scanCounter = 0.0;
  std::string row;
  row.reserve(4096);
  int32_t points[kMaxPoints];

  for (;;) {
    platform::PeekMessages();
    if (TimedRunOver(run)) break;
    if (fScanDataThread_EXIT_NOW_FLAG == 1) {
      DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> fScanDataThread_EXIT_NOW_FLAG == TRUE \n");
      break;
    }
    if (PortLost()) {
      // The line is gone (an adapter unplugged): nothing more will come.
      Q583.errorType = 2;
      DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> the port has hung up or failed\n");
      break;
    }
    const uint32_t uiNumScansInSerialBuff_LOCAL = CountScansWaiting();
    if (uiNumScansInSerialBuff_LOCAL == 0) {
      if (IdlePass(run) == IdleOutcome::LeaveLoop) break;
      continue;
    }
    if (uiNumScansInSerialBuff_LOCAL > uiNumScansAllowedInSerialBuff_MAX) {
      DebugPrint(DebugLog::Scan,
                 "ThreadFunc_GetScanData()-> uiNumScansInSerialBuff_LOCAL > uiNumScansAllowedInSerialBuff_MAX\n");
      break;
    }

    bool fGetScanRetVal;
    if (fDiginWithScan) {
      bool diginReceived = false;
      fGetScanRetVal = GetOneScanWithDigin(diginReceived);
      if (diginReceived) {
        if (fGetScanRetVal) continue;
        break;
      }
    } else {
      fGetScanRetVal = GetOneScan();
    }
    if (!fGetScanRetVal) {
      DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> fGetScanRetVal == FAILED\n");
      break;
    }

    const bool toFile = fLogScansToFile && ScanLogOpen();
    const bool toMemory = fLogScansToMemory;
    const int16_t tScan = FrameScanType();
    row.clear();
    ScanLogAppendTime(row, scanCounter.load(), Q583.scanInterval);
    scanCounter = scanCounter.load() + 1.0;

    int32_t offsetRaw = 0;
    int32_t fullScaleRaw = 0;
    if (tScan == 2) {
      DecodeScanPoint();
      offsetRaw = Q583.rawCount;
      DecodeScanPoint();
      fullScaleRaw = Q583.rawCount;
    }
    // A single-channel frame is one value, whatever the channel list counts.
    const int channels = tScan == 0 ? 1 : std::clamp<int>(Q583.numChannels, 0, kMaxPoints - 2);
    int stored = 0;
    for (int c = 0; c < channels; ++c) {
      DecodeScanPoint();
      const int32_t raw = Q583.rawCount;
      if (toFile) AppendVolts(row, raw);
      points[stored++] = raw;
    }
    if (tScan == 2) {
      if (toFile) {
        AppendVolts(row, offsetRaw);
        AppendVolts(row, fullScaleRaw);
      }
      points[stored++] = offsetRaw;
      points[stored++] = fullScaleRaw;
    }
    if (toFile) {
      AppendLogComment(row);
      ScanLogWriteRow(row);
    }
    if (tScan != 0) ConsumeScanBytes(1);  // the trailing byte

    if (StoreScanInRing(points, static_cast<uint32_t>(stored), toMemory)) fScanDataThread_EXIT_NOW_FLAG = 1;

    if (fLogScansToFile && fLimitLogFileSize && ScanLogOpen() &&
        static_cast<unsigned long>(ScanLogPosition()) >= uiLogFileSizeLimit) {
      ScanLogWriteTrailer();
      ScanLogClose();
    }
  }
  EndOfThread();
}

RunControlLock::RunControlLock() { gRunControlMutex.lock(); }
RunControlLock::~RunControlLock() { gRunControlMutex.unlock(); }

bool CreateScanThread() {
  std::shared_ptr<platform::Thread> thread = platform::Thread::CreateSuspended(ThreadFunc_GetScanData);
  if (!thread) return false;
  std::lock_guard<std::mutex> lock(gScanThreadMutex);
  hScanDataThread = std::move(thread);
  return true;
}

void ResumeScanThread() {
  if (auto thread = ScanThread()) thread->Resume();
}

bool ScanThreadAlive() {
  auto thread = ScanThread();
  return thread && !thread->Finished();
}

bool OnScanThread() {
  auto thread = ScanThread();
  return thread && thread->IsCurrent();
}

bool JoinScanThread(int32_t ms) {
  auto thread = ScanThread();
  if (!thread) return true;
  if (thread->IsCurrent() || !thread->Join(ms)) return false;
  ReleaseScanThread(thread);
  return true;
}

void TerminateScanThreadAtOnce() {
  std::shared_ptr<platform::Thread> thread;
  {
    std::lock_guard<std::mutex> lock(gScanThreadMutex);
    if (hScanDataThread && !hScanDataThread->IsCurrent()) thread = std::move(hScanDataThread);
  }
  if (thread) {
    // Bounded: a thread held in a host callback is left to end on its own;
    // once killed it runs no end sequence and sends nothing more.
    if (!thread->Kill()) DebugPrintFlush(DebugLog::General, "TerminateScanThreadAtOnce()-> thread left to end\n");
  }
  FixRunScanType(false);
  fScanRunning = false;
  NotifyScanEnded();
}

void WakeScanThread() {
  if (auto thread = ScanThread()) thread->Wake();
}

void ResetScanStateForLoad() {
  TerminateScanThreadAtOnce();
  TerminateBeepThreadAtOnce();
  fScanRunning = false;
  fScanDataThread_EXIT_NOW_FLAG = 0;
  fDiginWithScan = false;
  fDigOutPriority = false;
  fDiginRequestPending = false;
  fDigoutWhileScanPending = false;
  bDigoutWhileScanPendingByte = 0;
  bNumPointsPerScan = 0;
  uiNumScansAllowedInSerialBuff_MAX = 0;
  scanDataBuffCount = 0;
  scanCounter = 0.0;
  ResetScanRing();
  ResetTimedRunsForLoad();
}
