// Ending library threads while the library itself is being unloaded.
//
// On Windows the loader calls the entry point with its lock held, and a
// thread cannot finish exiting while that lock is held (its exit notifies
// every loaded module).  A thread that is killed then must not be joined:
// it is given a moment to unwind out of the library's code and then ended
// by force.
#pragma once

#include <thread>

namespace platform {

// True while the library's unload runs under the loader's lock.
bool UnloadHoldsLoaderLock();
// True when that unload is part of the process ending: the system has
// already ended every other thread.
bool UnloadEndsProcess();
// Ends the thread at once without waiting for its exit, and lets go of it.
void AbandonThread(std::thread& thread);

}  // namespace platform
