// Scan start and end, and the run-control operations built on them.
#include <algorithm>
#include <cmath>
#include <utility>

#include "device/q583.h"
#include "device/timing.h"
#include "link/commands.h"
#include "link/direct.h"
#include "link/given.h"
#include "link/packets.h"
#include "link/serial.h"
#include "link/signon.h"
#include "logging/debug_log.h"
#include "logging/scan_log.h"
#include "platform/platform.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
#include "scan/scan_run.h"

namespace {

constexpr uint8_t kCmdSelectChannel = 0x01;
constexpr uint8_t kCmdScanSingle = 0x8B;
constexpr uint8_t kCmdScanMulti = 0x89;
constexpr uint8_t kCmdScanWithCal = 0x8C;
constexpr uint8_t kCmdScanStop = 0x8A;
constexpr int32_t kEndDrainMs = 1500;
constexpr int32_t kFailedStartJoinMs = 1000;
// Rounds of bringing the instrument to a record that host threads keep
// changing during a start, before the start gives up.
constexpr int kFormatTries = 3;

constexpr const char* kLogFileFailedText =
    "\n\nUnable to create LOG FILE for data writing!\n\nIf you are not also logging to memory, you may want to "
    "CANCEL the scan startup\nand try again with a memory logging method.\n\nNOTE: One cause of this error is that "
    "you may not have \"File Create\"\nprivileges for this directory. If you think that may be the problem - check "
    "\nwith your system administrator";

// Filter settling before a single-channel scan: 2 x F + 500 ms.
int32_t SettlingMs() {
  const int16_t filter = Q583.filter;
  const int32_t f = filter == 0 ? 4500 : filter == 1 ? 560 : 36;
  return 2 * f + 500;
}

// A scan needs at least one value; a multi-channel list without channels
// would give frames of nothing and a ring of zero-sized scans.
bool HasValues() {
  const int16_t channels = Q583.numChannels;
  if (Q583.tScan == 2) return channels >= 0;
  return channels > 0;
}

uint32_t PointsPerScan() {
  // A single-channel frame carries one value, whatever the channel list says.
  if (Q583.tScan == 0) return 1;
  uint32_t points = static_cast<uint32_t>(Q583.numChannels) & 0xFFU;
  if (Q583.tScan == 2) points = (points + 2) & 0xFFU;
  return points;
}

// Empties the line for a while: whatever the instrument still sends is
// read and dropped.  Sleeps on the port between reads; a lost port ends it.
void DrainLine(int32_t ms) {
  const int32_t start = ClockMs();
  uint8_t discard[256];
  do {
    while (ReadPortBytes(discard, sizeof discard) > 0) {
    }
    if (PortLost()) return;
    platform::PeekMessages();
    const int32_t left = ClockDiff(ClockAdd(start, ms + 1), ClockMs());
    if (left > 0) WaitPortReadable(left < 2 ? 2 : left, 1);
  } while (ElapsedMs(start) <= ms);
}

// How long a quiet line must stay quiet before a stop that follows a run
// which ended by itself: frames still on the way have arrived by then.
constexpr int32_t kQuietDrainMs = 100;

// After the line was lost: the port is closed so that the next sign-on opens
// the device afresh, and nothing of the old link is believed any more.  True
// when it was lost.
bool ForgetLostPort() {
  if (!PortLost()) return false;
  CloseLostPort();
  fDevSignedOn = false;
  InstrumentQuiet();
  return true;
}

// Stops an instrument that may still be streaming.  False when the stop
// went unconfirmed.
bool StopStreamingInstrument(int32_t drainMs) {
  if (!InstrumentMayStream()) return true;
  DrainLine(drainMs);
  if (!SendScanStop()) return false;
  InstrumentQuiet();
  return true;
}

// A start that failed after the scan command went out: the instrument may
// be streaming for a run that will never be read.
void QuietAfterFailedStart() {
  if (PortLost()) return;
  DrainLine(kQuietDrainMs);
  if (!SendScanStop()) fDevSignedOn = false;  // the next call signs on, which stops it
}

}  // namespace

bool SendLeftDigout(ScanRun& run, const char* dropText) {
  uint8_t value = 0;
  if (!run.digout.TakeWaiting(value)) return true;
  if (!PortLost() && SetDigOut(value)) return true;
  DebugPrintFlush(DebugLog::General, dropText, static_cast<unsigned>(value));
  return false;
}

void WriteRunTrailer(ScanRun& run) {
  const RunFormat& format = run.format;
  run.log.WriteTrailer(format.minimumInterval, format.appliedInterval, run.scanCounter, run.startText,
                       run.EndedText());
}

bool FinishOrderlyEnd(ScanRun* run) {
  if (ForgetLostPort()) {
    if (run != nullptr) SendLeftDigout(*run);
    return false;
  }
  if (!StopStreamingInstrument(kEndDrainMs)) {
    if (run != nullptr) SendLeftDigout(*run, "## digout byte 0x%02X dropped: no stop echo\n");
    return false;
  }
  // A byte queued too late for the thread goes out after the stop: it is
  // the last value the host asked for.
  bool sent = true;
  if (run != nullptr && !SendLeftDigout(*run)) {
    fDevSignedOn = false;
    sent = false;
  }
  Q583.channel = savedChannel.load();
  Q583.subChan = savedSubChan.load();
  if (SelectChannel()) return sent;
  // The channel selection went astray: a full sign-on, as EX_InitDev's.
  if (!SignOnOutsideRun(true)) {
    fDevSignedOn = false;
    return false;
  }
  fDevSignedOn = true;
  if (!SelectChannel()) fDevSignedOn = false;
  return sent;
}

RunFormat FormatFromSettings() {
  RunFormat format;
  format.scanType = Q583.tScan;
  format.channels = Q583.numChannels;
  format.points = PointsPerScan();
  format.words = Q583.wordCnt;
  format.polarity = Q583.biPolar;
  format.interval = IntervalWithinTimer(Q583.scanInterval, Q583.modelCode, Q583.baud);
  format.minimumInterval = QuantisedMinimumInterval();
  format.appliedInterval = QuantisedAppliedInterval();
  for (size_t i = 0; i < format.codes.size(); ++i) format.codes[i] = Q583.chan[i];
  return format;
}

bool EndRunningScanAtOnce(const char* call) {
  // With no run going the setter does not wait for another host thread's
  // run control: it comes before any run that thread may be starting.
  if (!ScanRunning()) return true;
  RunControlLock runControl;
  if (ScanRunning()) EndRun(EndHow::AtOnce, call);
  return true;
}

void NoteFramesLeft(ScanRun& run, GapCause cause) {
  const uint32_t frameBytes = run.format.FrameBytes();
  // Whole frames waiting in the port, and those read but not yet taken (the
  // last of them perhaps a part).
  const uint32_t queued = ReceiveQueueCount();
  const auto held = static_cast<uint32_t>(std::max<int32_t>(0, run.frameBytes.load()));
  const uint64_t frames = queued / frameBytes + (held + frameBytes - 1U) / frameBytes;
  run.account.Lost(run.account.NextNumber(), frames, cause);
}

static bool SendScanStart(ScanRun& run) {
  run.diginRequestPending = false;
  run.frameBytes = 0;
  const int16_t tScan = run.format.scanType;
  const uint8_t command = tScan == 0 ? kCmdScanSingle : tScan == 2 ? kCmdScanWithCal : kCmdScanMulti;
  if (tScan == 0) {
    if (!SendPacket(kCmdSelectChannel, ChannelSelection())) return false;
    WaitMs(SettlingMs());
    WaitMs(502);
  }
  // From here on the instrument may be sending frames, even when the echo
  // goes astray.  Nothing that came before belongs to the run: a stale byte
  // would shift every bare value of a single-channel run, which has no
  // marker to show it.
  run.instrumentMayStream = true;
  if (!SendCommandForReply(command, static_cast<uint32_t>(Q583.subChan) & 0xFFU)) return false;
  uint8_t echo = 0;
  if (!ReadComBytes(1, replyTimeout, &echo)) return false;
  echoByte = echo;
  return echo == command;
}

bool QuietInstrumentAfterRun() {
  if (OnScanThread()) return true;
  RunControlLock runControl;
  const std::shared_ptr<ScanRun> run = CurrentRun();
  if (run && run->going) return true;
  // A thread that has ended is released; one that is still ending is ended.
  if (run) StopRunThread(*run, EndHow::AtOnce);
  if (ForgetLostPort()) {
    if (run) SendLeftDigout(*run);
    return false;
  }
  bool quiet = StopStreamingInstrument(kQuietDrainMs);
  if (!quiet) {
    // No stop echo (noise on the line, a lost echo): a sign-on stops the
    // instrument for certain and leaves it as signed on as it was.
    DebugPrintFlush(DebugLog::General, "## no stop echo after the run: signing on again\n");
    quiet = !PortLost() && SignOnOutsideRun(false);
    if (!quiet) fDevSignedOn = false;
  }
  // A byte the run's thread could not send goes out after the stop.
  if (run) SendLeftDigout(*run);
  return quiet || !PortLost();
}

bool StartScan(bool withSystemCalibration) {
  RunControlLock runControl;
  if (!LazyInit()) return false;
  // Refused before anything reaches the instrument.
  if (!HasValues()) return false;

  savedChannel = Q583.channel;
  savedSubChan = Q583.subChan;
  // The run before this one ends at once, before anything else talks to
  // the instrument, and its file is closed as it stands: a trailer holds
  // only its own run's facts, written when that run ended.  Its unread
  // scans stay until this start succeeds.
  EndRun(EndHow::AtOnce, "a new start");
  if (const auto previous = CurrentRun()) previous->log.Close();
  ForgetLostPort();
  if (!fDevSignedOn) {
    SetScanIntervalToMinimum();
    if (!SignOnOutsideRun(false)) return false;
  } else if (!StopStreamingInstrument(kQuietDrainMs) && !SignOnOutsideRun(false)) {
    return false;
  }
  // Settings changed since the sign-on reach the instrument before its
  // frames are read and timed with them: the mode registers and the
  // averaging by their commands, an interval, channel codes or a port by a
  // sign-on.
  if (!BringInstrumentToRecord(Use::Scan)) {
    fDevSignedOn = false;
    return false;
  }
  InstrumentQuiet();

  if (withSystemCalibration) {
    if (!SystemCalibrate()) return false;
    if (!SetAveraging()) return false;
    if (Q583.tScan == 0 && !SelectChannel()) return false;
  }

  // A setter on another host thread may change the record meanwhile: the
  // run's format is one the instrument holds, checked after the format was
  // taken, and the instrument is brought there again when the record moved.
  RunFormat format = FormatFromSettings();
  for (int tries = 0; !InstrumentAtRecord(Use::Scan) || !(FormatFromSettings() == format); ++tries) {
    if (tries == kFormatTries || !BringInstrumentToRecord(Use::Scan)) {
      fDevSignedOn = false;
      return false;
    }
    format = FormatFromSettings();
  }

  const auto run = std::make_shared<ScanRun>(format);
  run->startText = platform::CtimeNow();  // a start that fails still ends its file in full
  const uint32_t points = run->format.points;
  DebugPrint(DebugLog::Levelled, "EX_StartScan()-> bNumPointsPerScan: %d\n", static_cast<int>(points));

  if (fLogScansToFile && !run->log.Open(ScanLogHeader(run->format.codes.data(), run->format.scanType))) {
    const int answer = platform::MessageBox(
        kLogFileFailedText, " CRITICAL ERROR",
        platform::kMbOkCancel | platform::kMbIconWarning | platform::kMbSystemModal | platform::kMbSetForeground,
        true);
    if (answer == platform::kIdCancel) return false;
  }

  run->receiveQueueSize = Q583.RXQUEUESIZE;
  run->maxScansQueued = run->receiveQueueSize / points - 1U;

  if (!CreateScanThread(run)) {
    // LCOV_EXCL_START: the system refuses a thread
    DebugPrint(DebugLog::Levelled, "EX_StartScan()-> FAILED: to get thread handle()\n");
    return false;
    // LCOV_EXCL_STOP
  }

  if (!SendScanStart(*run)) {
    // The thread runs only to see the exit flag and end; the start returns
    // once it has, so that no caller sees a thread of a run that never
    // began.  The run before stays current, its unread scans with it.
    run->exitRequested = true;
    if (const auto thread = run->TakeThread()) {
      thread->Resume();
      if (!thread->Join(kFailedStartJoinMs)) thread->Kill();
    }
    WriteRunTrailer(*run);
    run->log.Close();
    QuietAfterFailedStart();
    DebugPrint(DebugLog::Levelled, "EX_StartScan()-> SCAN STARTUP FAILED\n");
    return false;
  }
  // The run starts now (after a single-channel run's settling): set here,
  // before the thread runs, so that an end that comes before the thread
  // does still has it.
  run->startText = platform::CtimeNow();
  run->account.Started(platform::WallSeconds(), platform::MonotonicMicros());
  run->going = true;
  InstallRun(run);
  StartRunEndBeepThread();
  if (const auto thread = run->Thread()) thread->Resume();
  return true;
}

bool SendScanStop() {
  // Settling time: five conversion times per value, with the reciprocal of
  // the rate the instrument runs at taken in single precision.
  const float reciprocal = 1.0F / static_cast<float>(EffectiveRate(Q583.rate));
  const double perValueMs = 5.0 * static_cast<double>(Q583.average) * static_cast<double>(reciprocal) * 1000.0;
  double settle = Q583.tScan == 0 ? perValueMs : perValueMs * Q583.numChannels;
  settle = std::trunc(settle);
  if (!(settle > 0.0)) settle = 0.0;
  if (settle > 2.0e9) settle = 2.0e9;
  const int32_t t = static_cast<int32_t>(settle);

  WaitMs(t);
  if (!SendPacket(kCmdScanStop, 0x00)) return false;
  WaitMs(t);
  // The stop echo comes after any frame bytes still on the way: the last
  // byte must be it.  No byte at all is no echo.
  bool any = false;
  uint8_t value = 0;
  while (ReadComByte(value)) {
    echoByte = value;
    any = true;
  }
  if (!any || echoByte != kCmdScanStop) return false;
  return SendPacket(kCmdSelectChannel, ChannelSelection());
}

bool EndScan() { return EndRun(EndHow::Orderly); }

bool StopRunningScan() {
  RunControlLock runControl;
  if (!ScanRunning()) {
    QuietInstrumentAfterRun();
    return true;
  }
  if (EndRun(EndHow::Orderly)) return true;
  DebugClose(DebugLog::Scan);
  if (fRunEndBeepThreadRunning) TerminateBeepThreadAtOnce();
  return true;
}

bool CheckRun() {
  if (!LazyInit()) return false;
  return fDevSignedOn && ScanRunning();
}

void ResetScanStateForLoad() {
  EndRun(EndHow::Unload);
  InstallRun(nullptr);
  TerminateBeepThreadAtOnce();
  fDiginWithScan = false;
  fDigOutPriority = false;
  ResetTimedRunsForLoad();
}
