// The loader's entry point.  mingw's start-up code calls DllMain, which
// hands every call to the library's exported DllEntryPoint; around process
// detach it notes that the loader's lock is held, so that the library's
// threads are ended without being waited for.
#include "platform/win32/windows_api.h"

#include <pthread.h>

#include <atomic>
#include <memory>

#include "platform/thread_unload.h"
#include "platform/win32/win32_internal.h"
#include "q583_sp.h"

namespace platform {

namespace {
std::atomic<bool> gUnloading{false};
std::atomic<bool> gProcessEnding{false};
}  // namespace

void SetUnloadInProgress(bool unloading, bool processEnding) {
  gProcessEnding.store(unloading && processEnding);
  gUnloading.store(unloading);
}

bool UnloadHoldsLoaderLock() { return gUnloading.load(); }
bool UnloadEndsProcess() { return gProcessEnding.load(); }

void AbandonThread(std::thread& thread, int32_t graceMs) {
  if (!thread.joinable()) return;
  // std::thread runs on winpthreads here; its handle is the Win32 thread.
  if (HANDLE native = pthread_gethandle(thread.native_handle())) {
    if (WaitForSingleObject(native, static_cast<DWORD>(graceMs > 0 ? graceMs : 0)) != WAIT_OBJECT_0) {
      TerminateThread(native, 0);
      WaitForSingleObject(native, 1000);
    }
  }
  // Neither joined nor detached: winpthreads never saw the thread end, and
  // its bookkeeping may not be touched now.  The std::thread object is
  // left behind on purpose; the library is going away.
  std::make_unique<std::thread>(std::move(thread)).release();
}

void EndCurrentThread() { TerminateThread(GetCurrentThread(), 0); }

}  // namespace platform

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    // reserved is non-null when the whole process is ending.
    platform::SetUnloadInProgress(true, reserved != nullptr);
  }
  const int32_t result = DllEntryPoint(module, reason, reserved);
  // The flag stays set: the library's static objects are destroyed after
  // this, still under the loader's lock.
  if (reason == DLL_PROCESS_DETACH) platform::EndFineTimer();
  return result != 0 ? TRUE : FALSE;
}
