// The loader's entry point.  mingw's start-up code calls DllMain, which
// hands every call to the library's exported DllEntryPoint (the start-up
// code also calls DllEntryPoint itself, its hook for a DLL's own entry; the
// library's attach and detach run once either way); around process detach
// DllMain notes that the loader's lock is held, so that the library's
// threads are ended without being waited for.
//
// At process exit the system has already ended every other thread wherever
// it was, perhaps inside the library holding one of its mutexes, a port
// call or a log write.  Anything that waits or takes a lock then can hang
// the exit for good, so the library does nothing at all (DllEntryPoint
// skips the detach too): the system closes the port handle and drops the
// timer resolution.  Only a FreeLibrary (reserved null) runs the orderly
// detach: threads ended, the line drained and the port closed, the logs
// closed.
#include "platform/win32/windows_api.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <memory>
#include <new>

#include "platform/thread_unload.h"
#include "platform/win32/win32_internal.h"
#include "q583_sp.h"

namespace platform {

namespace {
std::atomic<bool> gUnloading{false};
std::atomic<bool> gProcessEnding{false};

// Room for the std::thread objects of abandoned threads, never destroyed:
// a joinable std::thread may be neither destroyed (that ends the process),
// joined, nor detached (winpthreads' bookkeeping, behind its own lock)
// once its thread has been ended from outside.  Static room: at process
// exit the heap's lock may be held by an ended thread too.
union AbandonedThread {
  AbandonedThread() {}
  ~AbandonedThread() {}
  std::thread thread;
};
std::array<AbandonedThread, 32> gAbandoned;
std::atomic<size_t> gAbandonedCount{0};

void LetGo(std::thread& thread) {
  const size_t slot = gAbandonedCount.fetch_add(1);
  if (slot < gAbandoned.size())
    new (&gAbandoned[slot].thread) std::thread(std::move(thread));
  else
    std::make_unique<std::thread>(std::move(thread)).release();  // many unloads in one process
}
}  // namespace

void SetUnloadInProgress(bool unloading, bool processEnding) {
  gProcessEnding.store(unloading && processEnding);
  gUnloading.store(unloading);
}

bool UnloadHoldsLoaderLock() { return gUnloading.load(); }
bool UnloadEndsProcess() { return gProcessEnding.load(); }

void AbandonThread(std::thread& thread, int32_t graceMs) {
  if (!thread.joinable()) return;
  // At process exit the thread is gone already: nothing to wait for.
  if (!gProcessEnding.load()) {
    // std::thread runs on winpthreads here; its handle is the Win32 thread.
    if (HANDLE native = pthread_gethandle(thread.native_handle())) {
      if (WaitForSingleObject(native, static_cast<DWORD>(graceMs > 0 ? graceMs : 0)) != WAIT_OBJECT_0) {
        // The thread was killed but did not unwind out of the library
        // within the grace time: it is blocked outside the library's waits
        // (in a system call on a stalled port, or in a host callback).  Its
        // code is about to be unmapped, and a thread that returns into it
        // crashes the host; it cannot be asked to end, and the unload
        // cannot be put off (the detach cannot refuse).  Forcing it is the
        // only way left, and it happens only in this stuck case.
        TerminateThread(native, 0);
        WaitForSingleObject(native, 1000);
      }
    }
  }
  LetGo(thread);
}

// ExitThread would wait for the loader's lock (its thread-detach
// notifications), which the unloading thread holds while it waits for this
// one to be gone.
void EndCurrentThread() { TerminateThread(GetCurrentThread(), 0); }

}  // namespace platform

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH) {
    // reserved is non-null when the whole process is ending.  The flag
    // stays set: the library's static objects are destroyed after this,
    // still under the loader's lock, and must not wait either.
    platform::SetUnloadInProgress(true, reserved != nullptr);
    if (reserved != nullptr) return TRUE;  // see the top of this file
  }
  const int32_t result = DllEntryPoint(module, reason, reserved);
  if (reason == DLL_PROCESS_DETACH) platform::EndFineTimer();
  return result != 0 ? TRUE : FALSE;
}
