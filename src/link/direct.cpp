// Direct operations outside a scan: digital output and input, one polled
// conversion, the calibrations, standby, sleep, the polled-mode channel and
// reset.  They share one recovery: make sure the instrument is signed on,
// run the command, and on failure sign on again and retry once.
#include "link/direct.h"

#include <algorithm>
#include <limits>

#include "device/q583.h"
#include "device/timing.h"
#include "link/commands.h"
#include "link/direct_ops.h"
#include "link/packets.h"
#include "link/serial.h"
#include "link/signon.h"
#include "logging/debug_log.h"
#include "platform/platform.h"
#include "scan/scan_run.h"

namespace {

constexpr int32_t kBusyWaitMs = 200;
constexpr int32_t kBusyPollMs = 2;
constexpr int32_t kSettleMs = 500;

// Bytes of wordCnt values plus `extra`, held to what rxBuf takes.
int32_t ReplyBytes(int32_t extra) {
  const int32_t n = static_cast<int16_t>(Q583.wordCnt) + extra;
  return std::clamp<int32_t>(n, 0, static_cast<int32_t>(sizeof rxBuf));
}

int32_t TwiceReplyTimeout() {
  const int64_t t = 2 * static_cast<int64_t>(replyTimeout.load());
  return static_cast<int32_t>(std::min<int64_t>(t, std::numeric_limits<int32_t>::max()));
}

uint32_t ChannelSelection() {
  return static_cast<uint32_t>(Q583.channel * 16 + Q583.subChan) & 0xFF;
}

bool Calibrate(uint8_t command) {
  if (!SendCommandForReply(command, ChannelSelection())) return false;
  return ReadComBytes(ReplyBytes(1), TwiceReplyTimeout(), rxBuf) && rxBuf[0] == command;
}

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
bool CalibrationExport(Worker worker, bool skipSignonAfterScan) {
  RunControlLock runControl;
  const bool wasRunning = ScanRunning();
  if (wasRunning) EndRun(EndHow::AtOnce);
  // The run ended at once: the instrument is told to stop sending frames
  // before the calibration talks to it.
  QuietInstrumentAfterRun();
  if (!(skipSignonAfterScan && wasRunning)) {
    if (!LazyInit()) return false;
    if (!fDevSignedOn) {
      double maximum = 0.0, minimum = 0.0;
      ApplyScanTiming(maximum, minimum);
      if (!SIGNON()) return false;
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

bool SetDigOut(uint8_t value) {
  if (SendPacketWithBusyCheck(0x02, value)) {
    DebugPrintFlush(DebugLog::Levelled, "#1 SetDigOut()-> send success \n");
    return true;
  }
  if (!fSendPacketBusy) {
    DebugPrintFlush(DebugLog::Levelled, "SetDigOut()-> send failed \n");
    return false;
  }
  // Another packet is being written: give it a moment to finish.
  const int32_t deadline = DeadlineAfter(kBusyWaitMs);
  while (fSendPacketBusy) {
    if (Reached(deadline)) {
      DebugPrintFlush(DebugLog::Levelled, "SetDigOut()-> timeout while fSendPacketBusy \n");
      return false;
    }
    platform::PeekMessages();
    platform::SleepMs(std::min(kBusyPollMs, std::max<int32_t>(1, RemainingMs(deadline))));
  }
  if (!SendPacketWithBusyCheck(0x02, value)) {
    DebugPrintFlush(DebugLog::Levelled, "SetDigOut()-> send failed \n");
    return false;
  }
  DebugPrintFlush(DebugLog::Levelled, "SetDigOut()-> send success \n");
  return true;
}

bool GetDigin() {
  if (!SendCommandForReply(0x80, 0x4C)) return false;
  if (!ReadComBytes(2, replyTimeout, rxBuf)) return false;
  if (rxBuf[0] != 0x80) return false;
  Q583.lastDigInp = rxBuf[1];
  return true;
}

bool GetOneConversion() {
  DrainInput();
  if (!SendPacket(0x81, 0x00)) return false;
  uint8_t echo = 0;
  if (!ReadComBytes(1, replyTimeout, &echo)) return false;
  echoByte = echo;
  if (echo != 0x81) {
    Q583.errorType = echo;
    return false;
  }
  if (!ReadComBytes(ReplyBytes(0), replyTimeout, rxBuf)) {
    Q583.errorType = 1;
    return false;
  }
  int32_t count = rxBuf[0] + 256 * rxBuf[1];
  if (Q583.wordCnt == 3) count += 65536 * rxBuf[2];
  Q583.rawCount = count;
  Q583.voltage = RawCountToVoltage();
  return true;
}

bool FullScaleCalibrate() { return Calibrate(0x83); }

bool OffsetCalibrate() { return Calibrate(0x82); }

bool EnsureSignedOn() {
  // A run that ended by itself may have left the instrument sending frames.
  QuietInstrumentAfterRun();
  return fDevSignedOn || InitDev();
}

// ---- The exports' work ------------------------------------------------------

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
  if (!Retry(SelectChannel)) return false;
  platform::SleepMs(kSettleMs);  // the input settles on the new channel
  if (!Retry(GetOneConversion)) return false;
  millivolts = Q583.voltage;
  return true;
}

bool SystemCalibration() { return CalibrationExport(SystemCalibrate, false); }

bool FullScaleCalibration() { return CalibrationExport(FullScaleCalibrate, false); }

bool OffsetCalibration() { return CalibrationExport(OffsetCalibrate, true); }

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
  if (ScanRunning()) EndRun(EndHow::AtOnce);
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
