// The scanning exports: thin wrappers over the scan operations.
#include <atomic>

#include "api/operations.h"
#include "common/export_guard.h"
#include "device/q583.h"
#include "logging/scan_log.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
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
  double dummyDbl = 0.0;
  int32_t dummyInt = 0;
  return LOCAL_GetScanData(wantDouble, wantDouble ? dbl : &dummyDbl, wantDouble ? &dummyInt : ints, numScans,
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
