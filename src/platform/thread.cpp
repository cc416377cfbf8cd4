// Library threads on top of std::thread.  A thread starts suspended on a
// condition variable; Kill() raises the interrupter so that the body's next
// (or current) wait throws ThreadKilled, then joins it.
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/interrupt.h"
#include "platform/platform.h"
#include "platform/thread_unload.h"

namespace platform {

namespace {
thread_local Interrupter* tCurrent = nullptr;
// How long an unload waits for a killed thread to unwind.
constexpr int32_t kUnloadGraceMs = 500;

class StdThread final : public Thread {
 public:
  explicit StdThread(std::function<void()> body) : body_(std::move(body)) {
    thread_ = std::thread([this] { Run(); });
  }

  ~StdThread() override {
    if (thread_.joinable()) {
      if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // a thread cannot join itself; it is about to return
      } else {
        Kill();
      }
    }
  }

  void Resume() override {
    std::lock_guard<std::mutex> lock(mutex_);
    resumed_ = true;
    cv_.notify_all();
  }

  void Wake() override { interrupter_.Wake(); }

  void Kill() override {
    interrupter_.Kill();
    if (UnloadHoldsLoaderLock() && UnloadEndsProcess()) {
      // The process is ending: the system has ended the thread already.
      AbandonThread(thread_, 0);
      return;
    }
    Resume();  // a suspended thread must run to see the kill
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
    if (UnloadHoldsLoaderLock()) {
      // Not joined: the thread unwinds and ends itself at the end of Run();
      // one that does not within the grace time is ended by force.
      AbandonThread(thread_, kUnloadGraceMs);
      return;
    }
    thread_.join();
  }

  bool Join(int32_t ms) override {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, std::chrono::milliseconds(ms < 0 ? 0 : ms), [this] { return finished_; }))
      return false;
    lock.unlock();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    return true;
  }

  bool Finished() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }

  bool IsCurrent() const override { return thread_.get_id() == std::this_thread::get_id(); }

 private:
  void Run() {
    {
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait(lock, [this] { return resumed_; });
    }
    tCurrent = &interrupter_;
    if (!interrupter_.Killed()) {
      try {
        body_();
      } catch (const ThreadKilled&) {
        // Ended at once from outside: no end sequence.
      } catch (...) {
        // Nothing may escape a thread body.
      }
    }
    tCurrent = nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      finished_ = true;
      cv_.notify_all();
    }
    // While the library is being unloaded the thread could not finish its
    // exit; it ends here, holding nothing (see thread_unload.h).
    if (UnloadHoldsLoaderLock()) EndCurrentThread();
  }

  std::function<void()> body_;
  Interrupter interrupter_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  bool resumed_ = false;
  bool finished_ = false;
  std::thread thread_;
};
}  // namespace

Interrupter* CurrentInterrupter() { return tCurrent; }
void SetCurrentInterrupter(Interrupter* interrupter) { tCurrent = interrupter; }

std::unique_ptr<Thread> Thread::CreateSuspended(std::function<void()> body) {
  try {
    return std::make_unique<StdThread>(std::move(body));
  } catch (...) {
    return nullptr;
  }
}

void CheckKilled() {
  if (tCurrent && tCurrent->Killed()) throw ThreadKilled{};
}

}  // namespace platform
