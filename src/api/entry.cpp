// Load and unload.  On POSIX the shared object's constructor runs process
// attach and its unload runs process detach; on Windows the loader calls
// DllEntryPoint.  DllEntryPoint is exported on POSIX too, so a host written
// for the Windows library can call it the same way.
#include "api/entry.h"

#include <atomic>
#include <cstdlib>

#include "device/config_file.h"
#include "device/q583.h"
#include "common/export_guard.h"
#include "link/given.h"
#include "link/serial.h"
#include "logging/debug_log.h"
#include "logging/scan_log.h"
#include "common/forced_unwind.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "scan/scan_api.h"
#include "scan/scan_run.h"

namespace {
constexpr uint32_t kProcessDetach = 0;
constexpr uint32_t kProcessAttach = 1;

// Detach runs once per attach (a host may also call DllEntryPoint itself).
std::atomic<bool> gAttached{false};
}  // namespace

void ProcessAttach() {
  platform::ResetClock();
  for (auto& slot : idComDev) slot = INVALIDCOMDEV;
  ResetScanLogForLoad();  // description "none", empty comment, start text zeroed
  Q583.comPort = 0;
  gAttached = true;
}

void ProcessDetach() {
  if (!gAttached.exchange(false)) return;
  // The threads go first: the acquisition thread reads the port, and a
  // port closed under it could be reopened under the same descriptor by
  // something else in the process.  Neither sends a stop command or writes
  // a trailer.
  // The run's end at unload also closes its scan log file (no trailer).
  EndRun(EndHow::Unload);
  TerminateBeepThreadAtOnce();
  // Every port the library opened, not only the one in use.
  CloseAllPorts();
  // The levelled and scan debug logs, then the general debug log.
  DebugClose(DebugLog::Levelled);
  DebugClose(DebugLog::Scan);
  DebugClose(DebugLog::General);
}

void ReloadLibrary() {
  ProcessDetach();
  CloseAllPorts();
  ResetScanStateForLoad();
  ResetDeviceRecordForLoad();
  ResetConfigFileForLoad();
  ForgetGiven();
  ProcessAttach();
}

extern "C" Q583_API int32_t Q583_CALL DllEntryPoint(void*, uint32_t reason, void* reserved) {
  try {
    if (reason == kProcessAttach) ProcessAttach();
    // A detach with reserved set is the process ending: every other thread
    // has been ended wherever it was, perhaps holding a lock of the library
    // or inside a port call, so nothing is done that waits or locks; the
    // system closes the port.
    if (reason == kProcessDetach && reserved == nullptr) ProcessDetach();
  } catch (const ForcedUnwind&) {
    throw;
  } catch (...) {
  }
  return 1;
}

#if !defined(_WIN32)
namespace {
// At dlclose the shared object's destructor runs before the library's C++
// objects are destroyed, and detach does its work.  At process exit it runs
// after them: the acquisition and beep threads have been ended by the
// objects that own them, the system closes the port, and the C runtime
// flushes and closes the log files, so detach must not touch what is gone.
// This handler tells the two apart: at exit it runs before the destructor,
// at dlclose after it.
std::atomic<bool> gProcessExiting{false};

void NoteProcessExit() { gProcessExiting = true; }

__attribute__((constructor)) void LibraryLoaded() {
  DllEntryPoint(nullptr, kProcessAttach, nullptr);
  std::atexit(&NoteProcessExit);
}

__attribute__((destructor)) void LibraryUnloaded() {
  if (!gProcessExiting) DllEntryPoint(nullptr, kProcessDetach, nullptr);
}
}  // namespace
#endif
