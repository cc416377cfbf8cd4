// The wake and kill signal of one library thread.  Each backend gives the
// waits of a library thread something to block on besides the port, so that
// a stop request or a kill ends the wait at once instead of after a poll.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform {

class Interrupter {
 public:
  Interrupter();
  ~Interrupter();
  Interrupter(const Interrupter&) = delete;
  Interrupter& operator=(const Interrupter&) = delete;

  void Wake();  // the current or next wait returns Woken
  // Every wait from now on throws ThreadKilled (the same on every backend).
  void Kill() {
    killed_.store(true, std::memory_order_release);
    Wake();
  }
  bool Killed() const { return killed_.load(std::memory_order_acquire); }
  // Consumes a pending wake; true if there was one.
  bool TakeWake();
  // What the backend's waits block on (a descriptor or a handle).
  intptr_t Native() const { return native_; }

 private:
  std::atomic<bool> killed_{false};
  intptr_t native_ = -1;
};

// The interrupter of the calling thread, or null on threads the library did
// not create (the host's).
Interrupter* CurrentInterrupter();
void SetCurrentInterrupter(Interrupter* interrupter);

}  // namespace platform
