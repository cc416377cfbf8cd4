// The direct operations behind their exports: each coordinates the wire
// with a run that may be going (the byte queued for the run's thread, the
// run ended first, or the call refused), makes sure the instrument is
// signed on, and recovers from a failed command by one new sign-on and one
// retry.
#include "api/direct_ops.h"

#include <algorithm>

#include "api/operations.h"
#include "device/q583.h"
#include "device/timing.h"
#include "link/commands.h"
#include "link/direct.h"
#include "link/given.h"
#include "link/signon.h"
#include "platform/platform.h"
#include "scan/scan_run.h"

namespace {

constexpr int32_t kSettleMs = 500;

enum class Retried { Done, SignonFailed, FailedTwice };

// Runs a worker; on failure signs on again and runs it once more.
template <class Worker>
Retried RetryWorker(Worker worker) {
  if (worker()) return Retried::Done;
  if (!InitDev()) return Retried::SignonFailed;
  if (worker()) return Retried::Done;
  return Retried::FailedTwice;
}

// The plain recovery: any failure leaves the instrument to be signed on
// afresh by the next operation.  (After a failed sign-on the port is
// closed, so the instrument is no longer signed on either.)
template <class Worker>
bool Retry(Worker worker) {
  if (RetryWorker(worker) == Retried::Done) return true;
  fDevSignedOn = false;
  return false;
}

enum class Queued { Yes, Busy, NoRun };

// Queues a digital-output byte for the thread of the run going on.  NoRun
// when no run is going, or when its thread has already sent its last byte:
// the byte is then written directly.
Queued QueueDigout(uint8_t value) {
  const std::shared_ptr<ScanRun> run = CurrentRun();
  if (!run || !run->going) return Queued::NoRun;
  switch (run->digout.Put(value)) {
    case DigoutQueue::Offer::Queued:
      if (const auto thread = run->Thread()) thread->Wake();  // so it goes out now, not at the next frame
      return Queued::Yes;
    case DigoutQueue::Offer::Busy:
      return Queued::Busy;
    case DigoutQueue::Offer::Closed:
      break;
  }
  return Queued::NoRun;
}

// The calibrations: end a scan, sign on if needed, calibrate once, then put
// the polled-mode channel back.
template <class Worker>
bool CalibrationExport(Worker worker, bool skipSignonAfterScan, const char* call) {
  RunControlLock runControl;
  const bool wasRunning = ScanRunning();
  if (wasRunning) EndRun(EndHow::AtOnce, call);
  // The run ended at once: the instrument is told to stop sending frames
  // before the calibration talks to it.
  QuietInstrumentAfterRun();
  if (!(skipSignonAfterScan && wasRunning)) {
    if (!LazyInit()) return false;
    if (!fDevSignedOn) {
      double maximum = 0.0, minimum = 0.0;
      ApplyScanTiming(maximum, minimum);
      if (!SignOnOutsideRun(false)) return false;
    }
  }
  savedChannel = Q583.channel;
  savedSubChan = Q583.subChan;
  const bool calibrated = worker();
  Q583.channel = savedChannel.load();
  Q583.subChan = savedSubChan.load();
  if (!calibrated) return false;
  switch (RetryWorker(SelectChannel)) {
    case Retried::Done:
      return true;
    case Retried::SignonFailed:
      fDevSignedOn = false;
      return false;
    case Retried::FailedTwice:
      fDevSignedOn = false;
      return true;  // the calibration itself succeeded
  }
  return false;
}

}  // namespace

bool EnsureSignedOn() {
  // A run that ended by itself may have left the instrument sending frames.
  QuietInstrumentAfterRun();
  return fDevSignedOn || InitDev();
}

bool SendDigout(uint8_t value, bool& busy) {
  // During a scan the acquisition thread owns the port: the byte is only
  // queued, and no sign-on may run under the scan.
  Queued queued = QueueDigout(value);
  if (queued == Queued::NoRun) {
    RunControlLock runControl;  // held to the end: no run starts meanwhile
    queued = QueueDigout(value);  // another host thread may have started one
    if (queued == Queued::NoRun) {
      // Outside a scan the byte goes out now, after any byte that a run
      // which has ended still held (EnsureSignedOn sends that one first).
      busy = false;
      if (!EnsureSignedOn()) return false;
      return Retry([value] { return SetDigOut(value); });
    }
  }
  busy = queued == Queued::Busy;
  return queued == Queued::Yes;
}

bool GetDiginNow(uint8_t& value) {
  // The reply would compete with the acquisition thread for the input.
  RunControlLock runControl;
  if (ScanRunning()) return false;
  if (!EnsureSignedOn()) return false;
  if (!Retry(GetDigin)) return false;
  value = static_cast<uint8_t>(Q583.lastDigInp & 0xFF);
  return true;
}

bool GetOneConversionNow(double& millivolts) {
  RunControlLock runControl;
  if (ScanRunning()) return false;
  if (!EnsureSignedOn()) return false;
  // A setting changed since the sign-on reaches the instrument first: the
  // value is read with the record's polarity, word size and averaging.
  if (!Retry([] { return BringInstrumentToRecord(Use::Conversion); })) return false;
  if (!Retry(SelectChannel)) return false;
  platform::SleepMs(kSettleMs);  // the input settles on the new channel
  if (!Retry(GetOneConversion)) return false;
  millivolts = Q583.voltage;
  return true;
}

bool SystemCalibration() { return CalibrationExport(SystemCalibrate, false, "EX_SystemCalibration"); }

bool FullScaleCalibration() { return CalibrationExport(FullScaleCalibrate, false, "EX_FullScaleCalibration"); }

bool OffsetCalibration() { return CalibrationExport(OffsetCalibrate, true, "EX_OffsetCalibration"); }

namespace {
// Standby and sleep: end a scan, forget the sign-on (the next one wakes the
// instrument), then send the command; its result is not reported.
template <class Command>
bool QuietInstrument(Command command) {
  if (!LazyInit()) return false;
  RunControlLock runControl;
  StopRunningScan();  // also quiets an instrument that a run left streaming
  if (!LazyInit()) return false;
  fDevSignedOn = false;
  command();
  return true;
}
}  // namespace

bool InstrumentStandby(uint8_t enable) {
  return QuietInstrument([enable] {
    Q583.fStandby = enable != 0 ? 1 : 0;
    WriteModeRegisters();
  });
}

bool InstrumentSleep(uint8_t enable) {
  return QuietInstrument([enable] {
    Q583.fSleep = enable != 0 ? 1 : 0;
    SendSleep();  // sent whatever the flag says
  });
}

bool SetPolledModeChan(uint8_t mainChannel, uint8_t subChannel) {
  if (!LazyInit()) return false;
  RunControlLock runControl;
  if (ScanRunning()) return false;
  if (!EnsureSignedOn()) return false;
  const int16_t channel = Q583.channel;
  const int16_t subChan = Q583.subChan;
  Q583.channel = std::min<int16_t>(mainChannel, 7);
  Q583.subChan = std::min<int16_t>(subChannel, 15);
  if (RetryWorker(SelectChannel) != Retried::Done) {
    Q583.channel = channel;
    Q583.subChan = subChan;
    fDevSignedOn = false;
    return false;
  }
  return true;
}

bool ResetInstrument() {
  if (!LazyInit()) return false;
  RunControlLock runControl;
  if (ScanRunning()) EndRun(EndHow::AtOnce, "EX_Reset");
  fDevSetupPending = true;
  fDevSignedOn = false;
  InitDev();
  return true;
}

bool SetModel(int16_t& version) {
  if (!fDevSignedOn) return false;
  RunControlLock runControl;
  // The version reply would compete with the acquisition thread.
  if (ScanRunning()) return false;
  if (!QuietInstrumentAfterRun() || !fDevSignedOn) return false;
  if (!ReadVersion()) return false;
  const int16_t v = Q583.version;
  const int32_t model = v >= 132 && v <= 149 ? 10000 : -1;
  if (model != Q583.modelCode) fDevSignedOn = false;
  Q583.modelCode = model;
  version = v;
  return true;
}
