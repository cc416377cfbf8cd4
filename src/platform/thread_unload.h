// Ending library threads while the library itself is being unloaded.
//
// On Windows the loader calls the entry point with its lock held, and a
// thread cannot finish exiting while that lock is held (its exit notifies
// every loaded module).  A thread that is killed then must not be joined:
// it unwinds out of the library's code and ends itself without the exit
// notifications; one that does not do so within a grace time is ended by
// force.
#pragma once

#include <cstdint>
#include <thread>

namespace platform {

// True while the library's unload runs under the loader's lock.
bool UnloadHoldsLoaderLock();
// True when that unload is part of the process ending: the system has
// already ended every other thread.
bool UnloadEndsProcess();
// Waits up to graceMs for the thread to be gone, ends it by force when it
// is not, and lets go of the std::thread without joining it.
void AbandonThread(std::thread& thread, int32_t graceMs);
// Ends the calling thread at once, without the exit notifications (only
// called while UnloadHoldsLoaderLock()).
void EndCurrentThread();

}  // namespace platform
