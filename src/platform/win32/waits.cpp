// Sleeping and waiting.  On a library thread every wait also watches the
// thread's interrupter event, so a stop request or a kill is seen at once.
// On the host's threads the waits sleep, except the waits that the library
// gives a message peek (the reply reads, the tick waits, the scan end's
// wait): there the messages other threads send to the host thread's
// windows are answered while it blocks, so that a sender (another thread,
// another program broadcasting) is not held up for a long reply time-out.
// Posted, timer and input messages stay in the queue for the host's own
// loop: handled inside a library call they would run the host's code where
// it does not expect it (a timer handler calling the library again), skip
// its accelerators and dialog keys, and stretch the call without bound.
#include "platform/win32/windows_api.h"

#include <atomic>

#include "platform/interrupt.h"
#include "platform/win32/win32_internal.h"

namespace platform {

namespace {
std::atomic<bool> gFineTimer{false};

// Set on a host thread by PeekMessages, taken by the wait that follows it.
thread_local bool tServeMessages = false;
// Above 0 while a wait of this thread answers sent messages.  A window
// procedure that calls into the library from there gets plain waits: the
// library's waits never serve messages within one another.
thread_local int tDispatching = 0;

// Answers the messages sent to this thread's windows and waiting now: a
// peek delivers them to their window procedures before it looks at the
// queue.  PM_QS_SENDMESSAGE and PM_NOREMOVE leave every posted, timer and
// input message where it is.
void AnswerSentMessages() {
  MSG msg;
  ++tDispatching;
  {
    // The host's window procedures run from here: a host callback.
    const HostCallbackScope callback;
    PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  --tDispatching;
}

// Blocks up to ms, answering sent messages as soon as they arrive.  The
// wait wakes for sent messages only: posted ones waiting in the queue would
// wake it at once, again and again.
void AnswerSentMessagesFor(int32_t ms) {
  const int32_t deadline = DeadlineAfter(ms);
  for (;;) {
    AnswerSentMessages();
    const int32_t left = RemainingMs(deadline);
    if (left <= 0) return;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(left), QS_SENDMESSAGE, 0);
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
  // Looks at the calling thread's queue without taking a message out of
  // it, answering the sent messages waiting; on a host thread the wait that
  // follows answers those that arrive.  Within a window procedure called
  // from such a wait nothing is served.
  if (tDispatching == 0) AnswerSentMessages();
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
    AnswerSentMessagesFor(static_cast<int32_t>(wait));
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
