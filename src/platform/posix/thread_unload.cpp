// A shared object's destructor may join threads: nothing holds a lock that
// a thread needs to exit.
#include "platform/thread_unload.h"

namespace platform {

bool UnloadHoldsLoaderLock() { return false; }
bool UnloadEndsProcess() { return false; }
void AbandonThread(std::thread& thread, int32_t) {
  if (thread.joinable()) thread.detach();
}
void EndCurrentThread() {}

}  // namespace platform
