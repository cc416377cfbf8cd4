// The run slot, the run-control lock and the one end of a run.
#include "scan/scan_run.h"

#include <mutex>
#include <utility>

#include "link/signon.h"
#include "logging/debug_log.h"
#include "platform/platform.h"
#include "scan/scan_internal.h"

namespace {

constexpr int32_t kThreadEndWaitMs = 200;

// The current run: one slot, its pointer copied or swapped under the lock.
// At process exit the slot ends the last run's thread, as the library's
// objects go: the thread holds its run, so nothing else would, and it must
// not outlive what it uses.
struct RunSlot {
  std::shared_ptr<ScanRun> run;
  RunSlot() = default;
  RunSlot(const RunSlot&) = delete;
  RunSlot& operator=(const RunSlot&) = delete;
  ~RunSlot() {
    if (!run) return;
    // LCOV_EXCL_START: a host that exits with a run going and never unloads (the model test unloads)
    if (const auto thread = run->TakeThread()) thread->Kill();
    // LCOV_EXCL_STOP
  }
};
std::mutex gRunSlotMutex;
RunSlot gCurrentRun;

std::recursive_mutex gRunControlMutex;

}  // namespace

void StopRunThread(ScanRun& run, EndHow how) {
  if (std::shared_ptr<platform::Thread> thread = run.TakeThread()) {
    bool ended = false;
    if (how == EndHow::Orderly) {
      run.exitRequested = true;
      thread->Wake();
      ended = thread->Join(kThreadEndWaitMs);
    }
    // Bounded: a thread held in a host callback is left to end on its own;
    // once killed it runs no end sequence and sends nothing more.
    if (!ended && !thread->Kill()) {
      // LCOV_EXCL_START: a thread held in a host callback (the model test's hosts block none)
      DebugPrintFlush(DebugLog::General, "TerminateScanThreadAtOnce()-> thread left to end\n");
      // LCOV_EXCL_STOP
    }
  }
  ThreadStop running = ThreadStop::Running;
  run.stop.compare_exchange_strong(running, ThreadStop::Killed);
  if (run.going.exchange(false)) NotifyScanEnded();
}

RunControlLock::RunControlLock() {
  // A host callback (a message box, a tone, a window message answered
  // during a wait) runs inside a call of the library that may hold this
  // lock half way through its work.  A call back into run control from
  // there would find the lock its own (it is recursive) and the run state
  // half made: it is refused instead.
  if (platform::InHostCallback()) {
    DebugPrintFlush(DebugLog::General, "RunControlLock()-> refused: a run-control call from inside a host callback\n");
    throw RunControlRefused{};
  }
  gRunControlMutex.lock();
}

RunControlLock::~RunControlLock() { gRunControlMutex.unlock(); }

std::shared_ptr<ScanRun> CurrentRun() {
  std::lock_guard<std::mutex> lock(gRunSlotMutex);
  return gCurrentRun.run;
}

void InstallRun(std::shared_ptr<ScanRun> run) {
  std::shared_ptr<ScanRun> previous;
  {
    std::lock_guard<std::mutex> lock(gRunSlotMutex);
    previous = std::exchange(gCurrentRun.run, std::move(run));
  }
  // The previous run goes here, outside the lock (its ring and file with it).
}

bool ScanRunning() {
  const auto run = CurrentRun();
  return run && run->going;
}

bool ScanThreadAlive() {
  const auto run = CurrentRun();
  const auto thread = run ? run->Thread() : nullptr;
  return thread && !thread->Finished();
}

bool InstrumentMayStream() {
  const auto run = CurrentRun();
  return run && run->instrumentMayStream;
}

void InstrumentQuiet() {
  if (const auto run = CurrentRun()) run->instrumentMayStream = false;
}

namespace {
EndReason ReasonOf(EndHow how) {
  switch (how) {
    case EndHow::Orderly: return EndReason::Host;
    case EndHow::AtOnce: return EndReason::AtOnce;
    case EndHow::Unload: return EndReason::Unload;
  }
  return EndReason::Host;
}
}  // namespace

bool EndRun(EndHow how, const char* call) {
  RunControlLock runControl;
  const std::shared_ptr<ScanRun> run = CurrentRun();
  if (run) {
    // A run still going is ended by this call; one that ended by itself
    // keeps the reason its thread gave.
    if (run->going) run->account.Ended(ReasonOf(how), platform::WallSeconds(), how == EndHow::AtOnce ? call : nullptr);
    StopRunThread(*run, how);
    // Frames still on their way when a thread was ended from outside will
    // never be taken (a thread that ended itself counted its own).
    if (run->stop == ThreadStop::Killed && how != EndHow::Unload) NoteFramesLeft(*run, GapCause::RunEnded);
    switch (how) {
      case EndHow::Orderly:
        // Any scan log still open is closed with its trailer, also when
        // file logging was switched off during the run.
        WriteRunTrailer(*run);
        run->log.Close();
        break;
      case EndHow::AtOnce:
        // No trailer: the file stays with its run, as it stands, until the
        // run's orderly end or the next start closes it.  The byte still
        // queued goes out now.
        SendLeftDigout(*run);
        break;
      case EndHow::Unload: {
        uint8_t dropped = 0;
        run->digout.TakeWaiting(dropped);
        run->log.Close();  // no trailer: nothing more is written at unload
        break;
      }
    }
  }
  if (how != EndHow::Orderly) return true;
  return FinishOrderlyEnd(run.get());
}

bool SignOnOutsideRun(bool withCalibration) {
  // No byte of a sign-on goes out while an acquisition thread reads the
  // port: a thread still alive (one ending by itself) is ended first.
  if (!OnScanThread() && ScanThreadAlive()) EndRun(EndHow::AtOnce, "a sign-on");
  if (!SIGNON()) return false;
  InstrumentQuiet();  // a sign-on leaves the instrument idle
  return !withCalibration || SignOnTail();
}
