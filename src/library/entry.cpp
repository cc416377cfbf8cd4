// Load and unload.  On POSIX the shared object's constructor and destructor
// run process attach and detach; on Windows the loader calls DllEntryPoint.
#include "library/entry.h"

#include "device/q583.h"
#include "library/export_guard.h"
#include "link/serial.h"
#include "logging/debug_log.h"
#include "logging/scan_log.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "scan/scan_api.h"
#include "scan/scan_state.h"

namespace {
constexpr uint32_t kProcessDetach = 0;
constexpr uint32_t kProcessAttach = 1;
}  // namespace

void ProcessAttach() {
  platform::ResetClock();
  for (auto& slot : idComDev) slot = INVALIDCOMDEV;
  ResetScanLogForLoad();  // description "none", empty comment, start text zeroed
  Q583.comPort = 0;
}

void ProcessDetach() {
  CloseComPort();
  TerminateScanThreadAtOnce();
  TerminateBeepThreadAtOnce();
  CloseAllDebugLogs();  // levelled, scan ...
  ScanLogClose();       // ... the scan log file (no trailer) ...
  DebugClose(DebugLog::General);
}

void ReloadLibrary() {
  ProcessDetach();
  CloseAllPorts();
  ResetScanStateForLoad();
  ResetDeviceRecordForLoad();
  ProcessAttach();
}

extern "C" Q583_API int32_t Q583_CALL DllEntryPoint(void*, uint32_t reason, void*) {
  try {
    if (reason == kProcessAttach) ProcessAttach();
    if (reason == kProcessDetach) ProcessDetach();
  } catch (...) {
  }
  return 1;
}

#if !defined(_WIN32)
__attribute__((constructor)) static void LibraryLoaded() { DllEntryPoint(nullptr, kProcessAttach, nullptr); }
__attribute__((destructor)) static void LibraryUnloaded() { DllEntryPoint(nullptr, kProcessDetach, nullptr); }
#endif
