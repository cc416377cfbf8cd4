// The scanning exports: thin wrappers over the scan operations.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "api/operations.h"
#include "common/export_guard.h"
#include "device/q583.h"
#include "logging/scan_log.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
#include "scan/run_account.h"
#include "scan/scan_run.h"

namespace {
std::atomic<Q583BeepHandler> gHostBeepHandler{nullptr};

// The host's handler may use another calling convention than the
// platform's: the tone goes through this.
void CallHostBeepHandler(uint32_t frequencyHz, uint32_t durationMs) {
  if (Q583BeepHandler handler = gHostBeepHandler.load()) handler(frequencyHz, durationMs);
}

bool GetScanData(bool wantDouble, double* dbl, int32_t* ints, uint32_t numScans, int32_t* returned,
                 int32_t* unread, uint8_t* running) {
  if ((wantDouble ? dbl == nullptr : ints == nullptr) || returned == nullptr || unread == nullptr ||
      running == nullptr)
    return false;
  return LOCAL_GetScanData(wantDouble, wantDouble ? dbl : nullptr, wantDouble ? nullptr : ints, numScans,
                           returned, unread, running);
}
}  // namespace

extern "C" Q583_API uint8_t Q583_CALL EX_StartScan(void) {
  return Guarded([] { return StartScan(true); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_StartScan_NoSysCal(void) {
  return Guarded([] { return StartScan(false); });
}

extern "C" Q583_API uint8_t Q583_CALL SetDigOutPriorityOption(uint8_t enable) {
  return Guarded([&] {
    fDigOutPriority = enable != 0;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetScanDataDbl(double* values, uint32_t numScans, int32_t* returned,
                                                        int32_t* unread, uint8_t* running) {
  return Guarded([&] { return GetScanData(true, values, nullptr, numScans, returned, unread, running); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetScanDataInt(int32_t* values, uint32_t numScans, int32_t* returned,
                                                        int32_t* unread, uint8_t* running) {
  return Guarded([&] { return GetScanData(false, nullptr, values, numScans, returned, unread, running); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_EndScan(void) {
  return Guarded([] { return EndScan(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_Run(void) {
  return Guarded([] { return RunScan(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_Stop(void) {
  return Guarded([] { return fDevSignedOn && EndScan(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_CheckRun(void) {
  return Guarded([] { return CheckRun(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetLengthOfRunMs(uint32_t lengthMs) {
  return Guarded([&] { return SetLengthOfRunMs(lengthMs); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetLengthOfRunSec(uint32_t lengthSec) {
  return Guarded([&] { return SetLengthOfRunSec(lengthSec); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetRunEndBeepOptions(uint8_t enable, uint32_t frequencyHz,
                                                              uint32_t durationMs, uint32_t intervalSec,
                                                              uint32_t totalSec) {
  return Guarded([&] { return SetRunEndBeepOptions(enable, frequencyHz, durationMs, intervalSec, totalSec); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_StopRunEndBeep(void) {
  return Guarded([] { return StopRunEndBeep(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetExperimentName(const char* text) {
  return Guarded([&] { return SetExperimentName(text); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_AddLogFileComment(const char* text) {
  return Guarded([&] { return AddLogFileComment(text); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetBeepHandler(Q583BeepHandler handler) {
  return Guarded([&] {
    gHostBeepHandler = handler;
    platform::SetBeepHandler(handler != nullptr ? &CallHostBeepHandler : nullptr);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetScanOverrunCount(uint32_t* lost) {
  return Guarded([&] {
    if (lost == nullptr) return false;
    *lost = ScanOverrunCount();
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetNumberedScanData(double* values, int32_t* counts, uint64_t* numbers,
                                                             double* times, uint32_t numScans, int32_t* returned,
                                                             int32_t* unread, uint8_t* running) {
  if ((values == nullptr && counts == nullptr) || returned == nullptr || unread == nullptr || running == nullptr)
    return 0;
  return Guarded([&] {
    // Unlike the two plain retrievals, the unread count is always written
    // (0 when none waits), so that a host need not preset it.
    *unread = 0;
    return LOCAL_GetScanData(values != nullptr, values, counts, numScans, returned, unread, running, numbers, times);
  });
}

namespace {
// Copies as much of the summary as the caller's struct holds.
void FillSummary(const RunFigures& f, bool running, Q583RunSummary& out) {
  Q583RunSummary s{};
  s.size = out.size;
  s.endReason = static_cast<uint32_t>(f.reason);
  s.scansSent = f.sent;
  s.scansTaken = f.taken;
  s.scansStored = f.stored;
  s.scansHandedOut = f.handedOut;
  s.lostOverrun = f.lost[static_cast<uint32_t>(GapCause::Overrun)];
  s.lostFrameFault = f.lost[static_cast<uint32_t>(GapCause::FrameFault)];
  s.lostLineLost = f.lost[static_cast<uint32_t>(GapCause::LineLost)];
  s.lostQueueOverflow = f.lost[static_cast<uint32_t>(GapCause::QueueOverflow)];
  s.lostRunEnded = f.lost[static_cast<uint32_t>(GapCause::RunEnded)];
  s.notStored = f.lost[static_cast<uint32_t>(GapCause::NotStored)];
  s.startTime = f.startTime;
  s.endTime = f.endTime;
  s.longestDelay = f.longestDelay;
  s.running = running ? 1U : 0U;
  s.logLimitReached = f.logLimitReached ? 1U : 0U;
  s.logWriteFailed = f.logWriteFailed ? 1U : 0U;
  s.gapCount = static_cast<uint32_t>(f.gaps.size());
  std::snprintf(s.endCall, sizeof s.endCall, "%s", f.endCall.c_str());
  std::memcpy(&out, &s, std::min<size_t>(out.size, sizeof s));
}
}  // namespace

extern "C" Q583_API uint8_t Q583_CALL EX_GetRunSummary(Q583RunSummary* summary) {
  if (summary == nullptr || summary->size < 8) return 0;
  return Guarded([&] {
    RunFigures figures;
    bool running = false;
    if (!CurrentRunFigures(figures, running)) return false;
    FillSummary(figures, running, *summary);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetRunGaps(Q583Gap* gaps, uint32_t maxGaps, uint32_t* count) {
  if (count == nullptr) return 0;
  return Guarded([&] {
    RunFigures figures;
    bool running = false;
    if (!CurrentRunFigures(figures, running)) return false;
    const size_t n = gaps == nullptr ? 0 : std::min<size_t>(maxGaps, figures.gaps.size());
    for (size_t i = 0; i < n; ++i) {
      gaps[i] = Q583Gap{figures.gaps[i].first, figures.gaps[i].count, static_cast<uint32_t>(figures.gaps[i].cause), 0};
    }
    *count = static_cast<uint32_t>(figures.gaps.size());
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetScanLogDirectory(const char* directory) {
  return Guarded([directory] {
    SetScanLogDirectory(directory != nullptr ? std::string(directory) : std::string());
    return true;
  });
}
