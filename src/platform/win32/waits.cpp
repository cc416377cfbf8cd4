// Sleeping and waiting.  On a library thread every wait also watches the
// thread's interrupter event, so a stop request or a kill is seen at once;
// on the host's threads the waits simply sleep.
#include "platform/win32/windows_api.h"

#include <atomic>

#include "platform/interrupt.h"
#include "platform/win32/win32_internal.h"

namespace platform {

namespace {
std::atomic<bool> gFineTimer{false};

// Milliseconds left until deadline (a ClockMs value), never negative.
int32_t Remaining(int32_t deadline) {
  int32_t left = deadline - ClockMs();
  return left > 0 ? left : 0;
}
}  // namespace

void UseFineTimer() {
  if (!gFineTimer.load(std::memory_order_relaxed) && !gFineTimer.exchange(true)) timeBeginPeriod(1);
}

void EndFineTimer() {
  if (gFineTimer.exchange(false)) timeEndPeriod(1);
}

WaitResult WaitOnInterrupter(int32_t ms) {
  UseFineTimer();
  Interrupter* self = CurrentInterrupter();
  if (self && self->Killed()) throw ThreadKilled{};
  const DWORD wait = ms > 0 ? static_cast<DWORD>(ms) : 0;
  if (self && self->Native() != -1) {
    if (WaitForSingleObject(reinterpret_cast<HANDLE>(self->Native()), wait) == WAIT_OBJECT_0) {
      if (self->Killed()) throw ThreadKilled{};
      return WaitResult::Woken;
    }
    return WaitResult::Timeout;
  }
  Sleep(wait);
  return WaitResult::Timeout;
}

void SleepMs(int32_t ms) {
  const int32_t deadline = ClockMs() + (ms > 0 ? ms : 0);
  do {
    WaitOnInterrupter(Remaining(deadline));  // a wake is ignored here
  } while (Remaining(deadline) > 0);
}

WaitResult WaitForWake(int32_t ms) {
  return WaitOnInterrupter(ms) == WaitResult::Woken ? WaitResult::Woken : WaitResult::Timeout;
}

}  // namespace platform
