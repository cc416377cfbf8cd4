// Sleeping and waiting.  On a library thread every wait also watches the
// thread's interrupter event, so a stop request or a kill is seen at once.
// On the host's threads the waits sleep, except the waits that the library
// gives a message peek (the reply reads, the tick waits, the scan end's
// wait): there the host thread's message queue is served while it blocks,
// so that its windows keep answering during a long reply time-out.
#include "platform/win32/windows_api.h"

#include <atomic>

#include "platform/interrupt.h"
#include "platform/win32/win32_internal.h"

namespace platform {

namespace {
std::atomic<bool> gFineTimer{false};

// Set on a host thread by PeekMessages, taken by the wait that follows it.
thread_local bool tServeMessages = false;
// Above 0 while a wait of this thread dispatches a message.  A window
// procedure that calls into the library from there gets plain waits: the
// library's waits never dispatch within one another.
thread_local int tDispatching = 0;

// Dispatches every message waiting in the calling thread's queue.  A quit
// request is left for the host's own message loop: it is put back and the
// queue is not served further in this wait (false).
bool DispatchWaitingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return false;
    }
    TranslateMessage(&msg);
    ++tDispatching;
    DispatchMessageW(&msg);
    --tDispatching;
  }
  return true;
}

// Blocks up to ms, dispatching what arrives in the calling thread's queue
// (posted and sent messages, input) as soon as it arrives.
void ServeMessagesFor(int32_t ms) {
  const int32_t deadline = DeadlineAfter(ms);
  for (;;) {
    if (!DispatchWaitingMessages()) {
      Sleep(static_cast<DWORD>(RemainingMs(deadline)));
      return;
    }
    const int32_t left = RemainingMs(deadline);
    if (left <= 0) return;
    // MWMO_INPUTAVAILABLE: also wakes for input already in the queue that a
    // peek has seen but nobody has taken.
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  }
}
}  // namespace

void UseFineTimer() {
  if (!gFineTimer.load(std::memory_order_relaxed) && !gFineTimer.exchange(true)) timeBeginPeriod(1);
}

void EndFineTimer() {
  if (gFineTimer.exchange(false)) timeEndPeriod(1);
}

void PeekMessages() {
  // Keeps the calling thread's message queue looked at without taking a
  // message out of it: no window filter, all messages, PM_NOREMOVE.
  MSG msg;
  PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
  if (CurrentInterrupter() == nullptr) tServeMessages = true;
}

bool TakeMessageServing() {
  const bool serve = tServeMessages;
  tServeMessages = false;
  return serve;
}

WaitResult WaitOnInterrupter(int32_t ms, bool serveMessages) {
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
  if (serveMessages && !self && tDispatching == 0)
    ServeMessagesFor(static_cast<int32_t>(wait));
  else
    Sleep(wait);
  return WaitResult::Timeout;
}

void SleepMs(int32_t ms) {
  const bool serveMessages = TakeMessageServing();
  const int32_t deadline = DeadlineAfter(ms > 0 ? ms : 0);
  do {
    WaitOnInterrupter(RemainingMs(deadline), serveMessages);  // a wake is ignored here
  } while (!Reached(deadline));
}

WaitResult WaitForWake(int32_t ms) {
  const bool serveMessages = TakeMessageServing();
  return WaitOnInterrupter(ms, serveMessages) == WaitResult::Woken ? WaitResult::Woken : WaitResult::Timeout;
}

}  // namespace platform
