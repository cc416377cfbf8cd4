// Timed runs and the run-end beep.
//
// A timed run is checked by the acquisition thread at the top of each pass;
// a run in seconds runs as eleven periods of a tenth of its length plus
// 100 ms each.  The beep thread waits for the run to end (woken when it
// does, never polling), then sounds a tone every few seconds until its total
// time is over.
#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "device/q583.h"
#include "link/serial.h"
#include "logging/debug_log.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
#include "scan/scan_run.h"

std::atomic<uint32_t> uiRunLengthMode{1};
std::atomic<uint32_t> uiLengthOfRunMs{0};
std::atomic<uint32_t> uiLengthOfRunSec{0};
std::atomic<bool> fRunEndBeepEnabled{false};
std::atomic<uint32_t> uiBeepFrequencyHz{440};
std::atomic<uint32_t> uiBeepDurationMs{50};
std::atomic<uint32_t> uiBeepIntervalSec{2};
std::atomic<uint32_t> uiBeepTotalSec{10};
std::atomic<bool> fRunEndBeepThreadRunning{false};
std::atomic<bool> fStopRunEndBeep{false};

namespace {
constexpr uint32_t kModeUnlimited = 1;
constexpr uint32_t kModeMs = 2;
constexpr uint32_t kModeSec = 3;
constexpr uint32_t kExtensions = 10;
constexpr int32_t kCheckGraceMs = 100;
// How long the beep thread sleeps between looks at the running flag when no
// wake comes (a safety net only: the end of a run wakes it).
constexpr int32_t kBeepRecheckMs = 1000;

std::mutex gBeepMutex;  // guards the handles below
std::unique_ptr<platform::Thread> hScanEndBeepThread_HANDLE;
// Beep threads of earlier runs still beeping: a new start does not end them.
std::vector<std::unique_ptr<platform::Thread>> gEarlierBeepThreads;

void ThreadFunc_RunEndBeep() {
  // The flags are cleared however the thread ends, a host's beep handler
  // that ends the thread included; a killed thread leaves them to its killer.
  struct ClearFlags {
    ~ClearFlags() {
      if (platform::CurrentThreadKilled()) return;
      fRunEndBeepThreadRunning = false;
      fStopRunEndBeep = false;
    }
  } clearFlags;
  const int32_t end = DeadlineAfter(static_cast<int32_t>(uiBeepTotalSec.load() * 1000U));
  for (;;) {
    while (ScanRunning()) platform::WaitForWake(kBeepRecheckMs);
    platform::Beep(uiBeepFrequencyHz, uiBeepDurationMs);
    if (ClockDiff(ClockMs(), end) > 0 || fStopRunEndBeep) break;
    platform::SleepMs(static_cast<int32_t>(uiBeepIntervalSec.load() * 1000U));
  }
}

// Ends the given threads at once, outside the lock (a kill waits for the
// thread to unwind).
void KillAll(std::vector<std::unique_ptr<platform::Thread>>& threads) {
  for (auto& thread : threads) {
    if (thread && !thread->IsCurrent()) thread->Kill();
  }
  threads.clear();
}

bool EndRunForSetter(const char* call) {
  if (!LazyInit()) return false;
  return EndRunningScanAtOnce(call);
}
}  // namespace

TimedRun SetUpTimedRun() {
  TimedRun run;
  run.lastClock = ClockMs();
  const uint32_t mode = uiRunLengthMode;
  if (mode == kModeMs || mode == kModeSec) {
    DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> setting fUseLimitedTimeRun_LOCAL = TRUE\n");
    run.fUseLimitedTimeRun_LOCAL = true;
    if (mode == kModeMs) {
      run.periodMs = uiLengthOfRunMs.load();
    } else {
      run.periodMs = static_cast<uint64_t>(uiLengthOfRunSec.load()) * 100U;
      run.extensions = kExtensions;
    }
  } else {
    DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> fUseLimitedTimeRun_LOCAL = FALSE \n");
  }
  if (DebugLogOpen(DebugLog::Scan)) {
    // The deadline as a clock reading; a period longer than the clock can
    // hold is counted in steps all the same.
    const auto deadline = static_cast<uint32_t>(run.lastClock) + static_cast<uint32_t>(run.periodMs);
    DebugPrint(DebugLog::Scan,
               "\n fUseLimitedTimeRun_LOCAL: %u\n uiLengthOfRunSec: %u\n clock: %u\n uiLimitedTimeRunTimeout: %u\n\n",
               run.fUseLimitedTimeRun_LOCAL ? 1U : 0U, uiLengthOfRunSec.load(), static_cast<unsigned>(run.lastClock),
               static_cast<unsigned>(deadline));
    if (run.periodMs > static_cast<uint64_t>(INT32_MAX)) {
      DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> run period of %llu ms counted past the clock's range\n",
                 static_cast<unsigned long long>(run.periodMs));
    }
    DebugFlush(DebugLog::Scan);
  }
  return run;
}

namespace {
// Moves the period's elapsed time on by the clock's step since the last
// look (the clock is modular; looks are far less than 2^31 ms apart).
void CountElapsed(TimedRun& run) {
  const int32_t now = ClockMs();
  const int32_t step = ClockDiff(now, run.lastClock);
  if (step > 0) run.elapsedMs += static_cast<uint64_t>(step);
  run.lastClock = now;
}
}  // namespace

bool TimedRunOver(TimedRun& run) {
  if (!run.fUseLimitedTimeRun_LOCAL) return false;
  CountElapsed(run);
  if (run.elapsedMs <= run.periodMs + kCheckGraceMs) return false;
  if (run.extensions == 0) return true;
  // The next period starts now.
  run.elapsedMs = 0;
  --run.extensions;
  DebugPrint(DebugLog::Scan, "ThreadFunc_GetScanData()-> resetting clock timeout \n");
  return false;
}

int32_t TimedRunWaitMs(const TimedRun& run, int32_t cap) {
  if (!run.fUseLimitedTimeRun_LOCAL) return cap;
  // The check passes once the period plus the grace is over.
  const int32_t sinceLook = ClockDiff(ClockMs(), run.lastClock);
  const uint64_t elapsed = run.elapsedMs + static_cast<uint64_t>(sinceLook > 0 ? sinceLook : 0);
  const uint64_t due = run.periodMs + kCheckGraceMs + 1;
  if (elapsed >= due) return 0;
  const uint64_t left = due - elapsed;
  return left < static_cast<uint64_t>(cap) ? static_cast<int32_t>(left) : cap;
}

void StartRunEndBeepThread() {
  if (!fRunEndBeepEnabled) {
    DebugPrintFlush(DebugLog::Scan, "ThreadFunc_GetScanData()-> DID NOT ATTEMPT TO CREATE NEW THREAD \n");
    return;
  }
  std::unique_ptr<platform::Thread> beep = platform::Thread::CreateSuspended(ThreadFunc_RunEndBeep);
  if (!beep) {
    // LCOV_EXCL_START: the system refuses a thread
    DebugPrintFlush(DebugLog::Scan, "ThreadFunc_GetScanData()-> FAILED: to get valid hScanEndBeepThread_HANDLE\n");
    return;
    // LCOV_EXCL_STOP
  }
  DebugPrintFlush(DebugLog::Scan, "ThreadFunc_GetScanData()-> success: to get valid hScanEndBeepThread_HANDLE\n");
  fStopRunEndBeep = false;
  fRunEndBeepThreadRunning = true;
  std::vector<std::unique_ptr<platform::Thread>> finished;
  {
    std::lock_guard<std::mutex> lock(gBeepMutex);
    // The earlier beep thread, if any, goes on beeping; only its handle is
    // replaced.  Those that have ended are released.
    if (hScanEndBeepThread_HANDLE) gEarlierBeepThreads.push_back(std::move(hScanEndBeepThread_HANDLE));
    for (auto& thread : gEarlierBeepThreads) {
      if (thread->Finished()) finished.push_back(std::move(thread));
    }
    gEarlierBeepThreads.erase(std::remove(gEarlierBeepThreads.begin(), gEarlierBeepThreads.end(), nullptr),
                              gEarlierBeepThreads.end());
    hScanEndBeepThread_HANDLE = std::move(beep);
    hScanEndBeepThread_HANDLE->Resume();
  }
  KillAll(finished);
}

size_t BeepThreadsAlive() {
  std::lock_guard<std::mutex> lock(gBeepMutex);
  size_t alive = hScanEndBeepThread_HANDLE && !hScanEndBeepThread_HANDLE->Finished() ? 1 : 0;
  for (const auto& thread : gEarlierBeepThreads) alive += !thread->Finished();
  return alive;
}

void NotifyScanEnded() {
  std::lock_guard<std::mutex> lock(gBeepMutex);
  if (hScanEndBeepThread_HANDLE) hScanEndBeepThread_HANDLE->Wake();
  for (auto& thread : gEarlierBeepThreads) thread->Wake();
}

void TerminateBeepThreadAtOnce() {
  std::vector<std::unique_ptr<platform::Thread>> threads;
  {
    std::lock_guard<std::mutex> lock(gBeepMutex);
    threads.push_back(std::move(hScanEndBeepThread_HANDLE));
    for (auto& thread : gEarlierBeepThreads) threads.push_back(std::move(thread));
    gEarlierBeepThreads.clear();
  }
  KillAll(threads);
  fRunEndBeepThreadRunning = false;
}

bool SetLengthOfRunMs(uint32_t ms) {
  if (!EndRunForSetter("EX_SetLengthOfRunMs")) return false;
  uiLengthOfRunMs = ms;
  uiLengthOfRunSec = 0;
  uiRunLengthMode = ms != 0 ? kModeMs : kModeUnlimited;
  return true;
}

bool SetLengthOfRunSec(uint32_t sec) {
  if (!EndRunForSetter("EX_SetLengthOfRunSec")) return false;
  uiLengthOfRunMs = 0;
  uiLengthOfRunSec = sec;
  uiRunLengthMode = sec != 0 ? kModeSec : kModeUnlimited;
  return true;
}

bool SetRunEndBeepOptions(uint8_t enable, uint32_t hz, uint32_t ms, uint32_t intervalSec, uint32_t totalSec) {
  if (!LazyInit()) return false;
  fRunEndBeepEnabled = enable != 0;
  uiBeepFrequencyHz = hz != 0 ? hz : 440;
  uiBeepDurationMs = ms != 0 ? ms : 50;
  uiBeepIntervalSec = intervalSec != 0 ? intervalSec : 2;
  uiBeepTotalSec = totalSec != 0 ? totalSec : 10;
  return true;
}

bool StopRunEndBeep() {
  if (!LazyInit()) return false;
  if (fRunEndBeepThreadRunning) {
    std::vector<std::unique_ptr<platform::Thread>> threads;
    {
      std::lock_guard<std::mutex> lock(gBeepMutex);
      threads.push_back(std::move(hScanEndBeepThread_HANDLE));
    }
    KillAll(threads);
  }
  fStopRunEndBeep = true;
  fRunEndBeepThreadRunning = false;
  fRunEndBeepEnabled = false;
  return true;
}

void ResetTimedRunsForLoad() {
  uiRunLengthMode = kModeUnlimited;
  uiLengthOfRunMs = 0;
  uiLengthOfRunSec = 0;
  fRunEndBeepEnabled = false;
  uiBeepFrequencyHz = 440;
  uiBeepDurationMs = 50;
  uiBeepIntervalSec = 2;
  uiBeepTotalSec = 10;
  fRunEndBeepThreadRunning = false;
  fStopRunEndBeep = false;
}
