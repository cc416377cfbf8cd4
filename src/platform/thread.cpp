// Library threads on top of std::thread.  A thread starts suspended on a
// condition variable; Kill() raises the interrupter so that the body's next
// (or current) wait throws ThreadKilled, then joins it, within a bound.
//
// What the running thread uses (its body, interrupter and flags) lives in a
// block that the thread itself shares, so that a thread left to end on its
// own (a kill past its bound, an unload) never touches freed memory.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/forced_unwind.h"
#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/thread_unload.h"

namespace platform {

namespace {
thread_local Interrupter* tCurrent = nullptr;
// How long an unload waits for a killed thread to unwind.
constexpr int32_t kUnloadGraceMs = 500;

struct ThreadState {
  explicit ThreadState(std::function<void()> b) : body(std::move(b)) {}
  std::function<void()> body;
  Interrupter interrupter;
  std::mutex mutex;
  std::condition_variable cv;
  bool resumed = false;
  bool finished = false;
};

// Marks the thread finished however its body is left: by returning, by a
// kill, or by a forced unwind (the host ended the thread inside a callback).
class FinishOnExit {
 public:
  explicit FinishOnExit(ThreadState& state) : state_(state) {}
  ~FinishOnExit() {
    tCurrent = nullptr;
    std::lock_guard<std::mutex> lock(state_.mutex);
    state_.finished = true;
    state_.cv.notify_all();
  }
  FinishOnExit(const FinishOnExit&) = delete;
  FinishOnExit& operator=(const FinishOnExit&) = delete;

 private:
  ThreadState& state_;
};

void Run(const std::shared_ptr<ThreadState>& state) {
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->cv.wait(lock, [&] { return state->resumed; });
  }
  {
    FinishOnExit finish(*state);
    tCurrent = &state->interrupter;
    if (!state->interrupter.Killed()) {
      try {
        state->body();
      } catch (const ThreadKilled&) {
        // Ended at once from outside: no end sequence.
      } catch (const ForcedUnwind&) {
        throw;  // the thread is being cancelled or exits: it must unwind
      } catch (...) {
        // Nothing else may escape a thread body.
      }
    }
  }
  // While the library is being unloaded the thread could not finish its
  // exit; it ends here, holding nothing (see thread_unload.h).
  if (UnloadHoldsLoaderLock()) EndCurrentThread();
}

class StdThread final : public Thread {
 public:
  explicit StdThread(std::function<void()> body) : state_(std::make_shared<ThreadState>(std::move(body))) {
    thread_ = std::thread([state = state_] { Run(state); });
  }

  ~StdThread() override {
    if (!thread_.joinable()) return;
    if (IsCurrent()) {
      thread_.detach();  // a thread cannot join itself; it is about to return
    } else {
      Kill(kKillBoundMs);
    }
  }

  void Resume() override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->resumed = true;
    state_->cv.notify_all();
  }

  void Wake() override { state_->interrupter.Wake(); }

  bool Kill(int32_t boundMs) override {
    state_->interrupter.Kill();
    if (UnloadHoldsLoaderLock() && UnloadEndsProcess()) {
      // The process is ending: the system has ended the thread already.
      AbandonThread(thread_, 0);
      return true;
    }
    Resume();  // a suspended thread must run to see the kill
    if (!thread_.joinable() || IsCurrent()) return false;
    if (UnloadHoldsLoaderLock()) {
      // Not joined: the thread unwinds and ends itself at the end of Run();
      // one that does not within the grace time is ended by force.
      AbandonThread(thread_, kUnloadGraceMs);
      return true;
    }
    if (Join(boundMs)) return true;
    // Stuck outside the library's waits: it throws at its next one.  The
    // shared state keeps what it uses alive until then.
    thread_.detach();
    return false;
  }

  bool Join(int32_t ms) override {
    {
      std::unique_lock<std::mutex> lock(state_->mutex);
      if (!state_->cv.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms), [this] { return state_->finished; }))
        return false;
    }
    if (thread_.joinable() && !IsCurrent()) thread_.join();
    return true;
  }

  bool Finished() const override {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->finished;
  }

  bool IsCurrent() const override { return thread_.get_id() == std::this_thread::get_id(); }

 private:
  std::shared_ptr<ThreadState> state_;
  std::thread thread_;
};
}  // namespace

Interrupter* CurrentInterrupter() { return tCurrent; }
void SetCurrentInterrupter(Interrupter* interrupter) { tCurrent = interrupter; }

std::unique_ptr<Thread> Thread::CreateSuspended(std::function<void()> body) {
  try {
    return std::make_unique<StdThread>(std::move(body));
  } catch (const ForcedUnwind&) {
    throw;
  } catch (...) {
    return nullptr;
  }
}

void CheckKilled() {
  if (tCurrent && tCurrent->Killed()) throw ThreadKilled{};
}

bool CurrentThreadKilled() { return tCurrent != nullptr && tCurrent->Killed(); }

}  // namespace platform
