// Scan start and end, and the run-control operations built on them.
#include <cmath>

#include "device/q583.h"
#include "device/timing.h"
#include "link/commands.h"
#include "link/packets.h"
#include "link/direct.h"
#include "link/serial.h"
#include "link/signon.h"
#include "logging/debug_log.h"
#include "logging/scan_log.h"
#include "platform/platform.h"
#include "scan/scan_api.h"
#include "scan/scan_internal.h"
#include "scan/scan_state.h"

namespace {

constexpr uint8_t kCmdSelectChannel = 0x01;
constexpr uint8_t kCmdScanSingle = 0x8B;
constexpr uint8_t kCmdScanMulti = 0x89;
constexpr uint8_t kCmdScanWithCal = 0x8C;
constexpr uint8_t kCmdScanStop = 0x8A;
constexpr int32_t kThreadEndWaitMs = 200;
constexpr int32_t kEndDrainMs = 1500;
constexpr int32_t kFailedStartJoinMs = 1000;

constexpr const char* kLogFileFailedText =
    "\n\nUnable to create LOG FILE for data writing!\n\nIf you are not also logging to memory, you may want to "
    "CANCEL the scan startup\nand try again with a memory logging method.\n\nNOTE: One cause of this error is that "
    "you may not have \"File Create\"\nprivileges for this directory. If you think that may be the problem - check "
    "\nwith your system administrator";

uint32_t ChannelSelection() { return static_cast<uint32_t>(Q583.channel * 16 + Q583.subChan) & 0xFFU; }

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

uint8_t PointsPerScan() {
  // A single-channel frame carries one value, whatever the channel list says.
  if (Q583.tScan == 0) return 1;
  uint8_t points = static_cast<uint8_t>(Q583.numChannels & 0xFF);
  if (Q583.tScan == 2) points = static_cast<uint8_t>(points + 2);
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
  DropQueuedDigout();
  CloseLostPort();
  fDevSignedOn = false;
  fInstrumentScanning = false;
  return true;
}

}  // namespace

void DropQueuedDigout() {
  if (!fDigoutWhileScanPending.exchange(false)) return;
  DebugPrintFlush(DebugLog::General, "## digout byte 0x%02X dropped: its run has ended \n",
                  static_cast<unsigned>(bDigoutWhileScanPendingByte.load()));
}

bool SendScanStart() {
  fDiginRequestPending = false;
  scanDataBuffCount = 0;
  const int16_t tScan = Q583.tScan;
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
  fInstrumentScanning = true;
  if (!SendCommandForReply(command, static_cast<uint32_t>(Q583.subChan) & 0xFFU)) return false;
  uint8_t echo = 0;
  if (!ReadComBytes(1, replyTimeout, &echo)) return false;
  echoByte = echo;
  return echo == command;
}

bool QuietInstrumentAfterRun() {
  if (fScanRunning || OnScanThread()) return true;
  // A thread that has ended is released; one that is still ending is ended.
  if (!JoinScanThread(0)) TerminateScanThreadAtOnce();
  DropQueuedDigout();
  if (ForgetLostPort()) return false;
  if (!fInstrumentScanning) return true;
  DrainLine(kQuietDrainMs);
  if (SendScanStop()) return true;
  // No stop echo (noise on the line, a lost echo): a sign-on stops the
  // instrument for certain and leaves it as signed on as it was.
  DebugPrintFlush(DebugLog::General, "## no stop echo after the run: signing on again\n");
  if (!PortLost() && SIGNON()) return true;
  fDevSignedOn = false;
  return !PortLost();
}

bool StartScan(bool withSystemCalibration) {
  RunControlLock runControl;
  if (!LazyInit()) return false;
  // Refused before anything reaches the instrument.
  if (!HasValues()) return false;

  savedChannel = Q583.channel;
  savedSubChan = Q583.subChan;
  // A thread left from an earlier run is ended without ceremony, before
  // anything else talks to the instrument.
  if (ScanThreadAlive() || fScanRunning) TerminateScanThreadAtOnce();
  (void)JoinScanThread(0);
  DropQueuedDigout();
  ForgetLostPort();
  if (!fDevSignedOn) {
    double maximum = 0.0;
    double minimum = 0.0;
    ApplyScanTiming(maximum, minimum);
    Q583.scanInterval = minimum;
    if (!SIGNON()) return false;
  } else if (fInstrumentScanning) {
    DrainLine(kQuietDrainMs);
    if (!SendScanStop() && !SIGNON()) return false;
  }
  pScanDataBuffPointer = scanDataBuff;

  if (withSystemCalibration) {
    if (!SystemCalibrate()) return false;
    if (!SetAveraging()) return false;
    if (Q583.tScan == 0 && !SelectChannel()) return false;
  }

  bNumPointsPerScan = PointsPerScan();
  DebugPrint(DebugLog::Levelled, "EX_StartScan()-> bNumPointsPerScan: %d\n", static_cast<int>(bNumPointsPerScan));

  if (fLogScansToFile && !OpenScanLogFile()) {
    const int answer = platform::MessageBox(
        kLogFileFailedText, " CRITICAL ERROR",
        platform::kMbOkCancel | platform::kMbIconWarning | platform::kMbSystemModal | platform::kMbSetForeground,
        true);
    if (answer == platform::kIdCancel) return false;
  }

  uiNumScansAllowedInSerialBuff_MAX = static_cast<uint32_t>(Q583.RXQUEUESIZE) / bNumPointsPerScan - 1U;

  if (!CreateScanThread()) {
    DebugPrint(DebugLog::Levelled, "EX_StartScan()-> FAILED: to get thread handle()\n");
    return false;
  }
  // The unread scans of the last run stay until here.
  ResetScanRing();
  FixRunScanType(true);

  if (!SendScanStart()) {
    // The thread runs only to see the exit flag and end; the start returns
    // once it has, so that no caller sees a thread of a run that never began.
    fScanDataThread_EXIT_NOW_FLAG = 1;
    ResumeScanThread();
    if (!JoinScanThread(kFailedStartJoinMs)) TerminateScanThreadAtOnce();
    DebugPrint(DebugLog::Levelled, "EX_StartScan()-> SCAN STARTUP FAILED\n");
    return false;
  }
  fScanDataThread_EXIT_NOW_FLAG = 0;
  fScanRunning = true;
  StartRunEndBeepThread();
  ResumeScanThread();
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
  fInstrumentScanning = false;
  scanDataBuffCount = 0;
  return SendPacket(kCmdSelectChannel, ChannelSelection());
}

bool EndScan() {
  RunControlLock runControl;
  fScanDataThread_EXIT_NOW_FLAG = 1;
  WakeScanThread();
  if (!JoinScanThread(kThreadEndWaitMs)) {
    TerminateScanThreadAtOnce();
    fScanDataThread_EXIT_NOW_FLAG = 0;
  }
  if (fScanRunning) {
    // No thread of ours is behind the flag any more.
    fScanRunning = false;
    NotifyScanEnded();
  }
  // Any scan log still open is closed with its trailer, also when file
  // logging was switched off during the run.
  if (ScanLogOpen()) {
    ScanLogWriteTrailer();
    ScanLogClose();
  }
  if (ForgetLostPort()) return false;
  // A byte queued too late for the thread goes out after the stop: it is
  // the last value the host asked for.
  const bool digoutQueued = fDigoutWhileScanPending.exchange(false);
  const uint8_t digout = bDigoutWhileScanPendingByte;
  if (fInstrumentScanning) {
    DrainLine(kEndDrainMs);
    if (!SendScanStop()) {
      if (digoutQueued) DebugPrintFlush(DebugLog::General, "## digout byte 0x%02X dropped: no stop echo\n", digout);
      return false;
    }
  }
  if (digoutQueued && !SetDigOut(digout)) fDevSignedOn = false;

  Q583.channel = savedChannel.load();
  Q583.subChan = savedSubChan.load();
  if (SelectChannel()) return true;
  if (!InitDev()) {
    fDevSignedOn = false;
    return false;
  }
  if (!SelectChannel()) fDevSignedOn = false;
  return true;
}

bool StopRunningScan() {
  RunControlLock runControl;
  if (!fScanRunning) {
    QuietInstrumentAfterRun();
    return true;
  }
  if (EndScan()) return true;
  TerminateScanThreadAtOnce();
  DebugClose(DebugLog::Scan);
  ScanLogClose();
  if (fRunEndBeepThreadRunning) TerminateBeepThreadAtOnce();
  return true;
}

bool RunScan() {
  RunControlLock runControl;
  if (fScanRunning || ScanThreadAlive()) {
    TerminateScanThreadAtOnce();
    fScanDataThread_EXIT_NOW_FLAG = 0;
    fDevSignedOn = false;
  }
  if (!InitDev()) return false;
  return StartScan(true);
}

bool CheckRun() {
  if (!LazyInit()) return false;
  return fDevSignedOn && fScanRunning;
}
