// Scan frames: moving one frame from the port into the frame buffer, the
// frame count of the receive queue, and decoding values from the buffer.
//
// The readers block on the port (or on a wake from the host) instead of
// polling it, with the same deadlines a polling reader would keep.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/error_type.h"
#include "device/q583.h"
#include "link/commands.h"
#include "link/packets.h"
#include "link/serial.h"
#include "link/signon.h"
#include "logging/debug_log.h"
#include "scan/scan_internal.h"
#include "scan/scan_run.h"

namespace {

constexpr uint8_t kFrameMarker = 0xF0;
constexpr uint8_t kDiginReplyFirst = 0x80;

int32_t ToMs(double seconds) {
  const double ms = std::trunc(seconds * 1000.0);
  if (!(ms > 0.0)) return 0;
  return ms > 2.0e9 ? 2000000000 : static_cast<int32_t>(ms);
}

// Deadline of a frame reader: the interval plus a margin of whole seconds.
int32_t FrameDeadline(const ScanRun& run, double marginS) { return DeadlineAfter(ToMs(run.format.interval + marginS)); }

// A reader's wait is over at its deadline, or at once when the port is lost.
bool TimeUp(int32_t deadline) { return Reached(deadline) || PortLost(); }

// The most unread bytes the driver holds, when it says (0: unknown).
std::atomic<uint32_t> gReceiveCapacity{0};

// The overflow guard: against RXQUEUESIZE, or against what the driver can
// hold when that is less (a tty holds far fewer bytes than the queue size a
// host may ask for, and would otherwise overflow unseen).
uint32_t QueueLimit(const ScanRun& run) {
  uint32_t limit = run.receiveQueueSize;
  const uint32_t capacity = gReceiveCapacity.load();
  if (capacity != 0 && capacity < limit) limit = capacity;
  return limit;
}

bool Overflowing(const ScanRun& run, uint32_t queued) { return queued > QueueLimit(run) - 10U; }

// Reads up to n bytes that are waiting into the frame buffer; returns the
// number stored.
uint32_t ReadIntoBuffer(ScanRun& run, uint32_t n) {
  const int32_t count = run.frameBytes.load();
  const uint32_t room = static_cast<uint32_t>(kScanDataBuffSize - std::clamp(count, 0, kScanDataBuffSize));
  n = std::min(n, room);
  if (n == 0) return 0;
  const int got = ReadPortBytes(run.frames + count, static_cast<int>(n));
  if (got <= 0) return 0;
  run.frameBytes = count + got;
  return static_cast<uint32_t>(got);
}

uint8_t BufferByte(const ScanRun& run, int32_t index) {
  return (index >= 0 && index < kScanDataBuffSize) ? run.frames[index] : 0;
}

// One waiting pass of the digital-input reader: flash, peek and, when
// asked, send a queued digital-output byte.  Returns false when a queued
// byte could not be sent (the caller retries soon instead of blocking).
bool WaitingPass(ScanRun& run, bool withDigout, bool finalWait) {
  platform::FlashForegroundWindow();
  platform::PeekMessages();
  if (!withDigout || run.diginRequestPending) return true;
  const DigoutLines lines{"## GOSWD()->sending digout while waiting -> %u \n",
                          finalWait ? "##GOSWD()-> succeeded sending digout \n\n\n"
                                    : "##GOSWD()-> succeeded sending digout \n",
                          "GetOneScanWithDigin()-> \n", "!##GOSWD()-> failed sending digout \n"};
  return SendQueuedDigout(run, lines);
}

// Waits for the port within a waiting loop: at most until the deadline, and
// only briefly while a digital-output byte is waiting to be retried.
void WaitInPass(int32_t deadline, uint32_t minBytes, bool retrySoon) {
  int32_t wait = RemainingMs(deadline);
  if (retrySoon) wait = std::min(wait, 2);
  if (wait > 0) WaitPortReadable(wait, minBytes);
}

// Waits in passes until the receive queue holds n bytes; false at the
// deadline of a frame.
bool WaitForQueued(ScanRun& run, uint32_t n, bool withDigout, bool finalWait) {
  const int32_t deadline = FrameDeadline(run, 3.0);
  for (;;) {
    const bool sentOk = WaitingPass(run, withDigout, finalWait);
    if (ReceiveQueueCount() >= n) return true;
    if (TimeUp(deadline)) return false;
    WaitInPass(deadline, n, !sentOk);
  }
}

}  // namespace

uint32_t ReceiveQueueBound(const ScanRun& run) {
  gReceiveCapacity = PortReceiveCapacity();
  const uint32_t limit = QueueLimit(run);
  return limit > 10U ? limit - 10U : 0U;
}

int32_t TakeWaitingBytes(ScanRun& run) {
  const int32_t count = std::clamp(run.frameBytes.load(), 0, kScanDataBuffSize);
  uint32_t waiting = 0;
  const int got = ReadPortWaiting(run.frames + count, kScanDataBuffSize - count, waiting);
  if (got > 0) run.frameBytes = count + got;
  // On a UART the bytes past the queue's bound are lost: the run ends.  A
  // pseudo-terminal loses none behind its full buffer (its writer waits),
  // but it stands in for the line, and its run ends alike.
  if (Overflowing(run, waiting)) {
    Q583.errorType = ToCode(ErrorType::QueueOverflow);
    return -1;
  }
  return got > 0 ? got : 0;
}

bool FrameMarkerOk(const ScanRun& run, const uint8_t* frame) {
  const bool traced = DebugLogOpen(DebugLog::Scan);
  if (traced) {
    DebugPrint(DebugLog::Scan, "[GetOneScan]  scanWords: %u, numChannels: %u\n",
               static_cast<unsigned>(run.format.words * run.format.channels + 2),
               static_cast<unsigned>(run.format.channels));
  }
  if (run.format.scanType == 0) return true;  // one bare value, no marker
  if (traced) DebugPrint(DebugLog::Scan, "[GetOneScan]  pScanDataBuffPointer[0]: 0x%X\n", frame[0]);
  if (frame[0] == kFrameMarker) return true;
  DebugPrint(DebugLog::Scan, "[GetOneScan]  pScanDataBuffPointer[0x%X] should be: 0x%X\n", frame[0], kFrameMarker);
  Q583.errorType = ToCode(ErrorType::WrongMarker);
  return false;
}

uint32_t ReceiveQueueCount() {
  platform::ComStatus status;
  if (!PortStatus(status)) return 0;
  gReceiveCapacity = status.rxCapacity;
  return status.cbInQue;
}

bool RequestDigin(ScanRun& run, const DiginRequestLines& lines) {
  if (!SendPacketWithBusyCheck(0x80, 0x4C)) {
    DebugPrintFlush(DebugLog::General, "%s", lines.refused);
    const int32_t firstFailure = ClockMs();
    for (;;) {
      if (SendPacketWithBusyCheck(0x80, 0x4C)) break;
      bool gaveUp = ElapsedMs(firstFailure) > 200 || PortLost();
      if (!gaveUp) {
        platform::PeekMessages();
        platform::SleepMs(2);
        if (Overflowing(run, ReceiveQueueCount())) {
          DebugPrintFlush(DebugLog::Levelled, "%s", lines.overflowPrefix);
          DebugPrintFlush(DebugLog::Levelled, "   buffer overflow while waiting for SendPacketWithBusyCheck()\n");
          gaveUp = true;
        }
      }
      if (gaveUp) {
        DebugPrintFlush(DebugLog::Levelled, "%s", lines.gaveUp);
        return false;
      }
    }
  }
  DebugPrintFlush(DebugLog::General, "%s", lines.sent);
  run.diginRequestPending = true;
  return true;
}

bool SendQueuedDigout(ScanRun& run, const DigoutLines& lines) {
  const bool sent = run.digout.SendWaiting([&lines](uint8_t value) {
    if (lines.sending != nullptr) DebugPrintFlush(DebugLog::General, lines.sending, value);
    if (!SendPacketWithBusyCheck(0x02, value)) return false;
    DebugPrintFlush(DebugLog::General, "%s", lines.sent);
    return true;
  });
  if (sent) return true;
  DebugPrintFlush(DebugLog::Levelled, "%s", lines.failedHeader);
  DebugPrintFlush(DebugLog::Levelled, "   failed sending bDigoutWhileScanPendingByte\n");
  DebugPrintFlush(DebugLog::General, "%s", lines.failed);
  return false;
}

void ConsumeScanBytes(ScanRun& run, uint32_t n) {
  const int32_t count = run.frameBytes.load();
  n &= 0xFFFFU;  // a 16-bit count
  if (static_cast<int64_t>(n) < count) {
    std::memmove(run.frames, run.frames + n, static_cast<size_t>(count) - n);
    run.frameBytes = count - static_cast<int32_t>(n);
  } else {
    run.frameBytes = 0;
  }
}

int32_t DecodeScanPoint(ScanRun& run) {
  const int16_t words = run.format.words;
  const int32_t raw = DecodeCount(run.frames, words);
  ConsumeScanBytes(run, static_cast<uint32_t>(words));
  return raw;
}

uint32_t RunFormat::FrameBytes() const {
  // Counted wide: a frame of many values is longer than 255 bytes.
  int32_t length = channels * words + 2;
  if (scanType == 2) length += 2 * words;
  if (scanType == 0) length = words;
  return length > 0 ? static_cast<uint32_t>(length) : 1U;
}

uint32_t CountScansWaiting(ScanRun& run) {
  const uint32_t queued = ReceiveQueueCount();
  if (queued == 0) return 0;
  if (Overflowing(run, queued)) {
    Q583.errorType = ToCode(ErrorType::QueueOverflow);
    return 0xFFFFFFFFU;
  }
  if (fDiginWithScan && run.diginRequestPending) return 1;
  return queued / run.format.FrameBytes();
}

bool GetOneScan(ScanRun& run) {
  if (Overflowing(run, ReceiveQueueCount())) {
    Q583.errorType = ToCode(ErrorType::QueueOverflow);
    return false;
  }
  const RunFormat& format = run.format;
  const uint32_t scanWords = static_cast<uint32_t>(format.words * format.channels + 2);
  DebugPrint(DebugLog::Scan, "[GetOneScan]  scanWords: %u, numChannels: %u\n", scanWords,
             static_cast<unsigned>(format.channels));
  const uint32_t expected = format.FrameBytes();
  const int32_t deadline = FrameDeadline(run, 2.0);

  // Whatever is waiting is taken at once; for the rest the thread sleeps on
  // the port until the whole frame is in or the deadline passes.
  uint32_t received = 0;
  for (;;) {
    received += ReadIntoBuffer(run, expected - received);
    if (received >= expected || TimeUp(deadline)) break;
    WaitPortReadable(RemainingMs(deadline), expected - received);
  }

  if (received < expected && PortLost()) {
    // No sign-on on a line that is gone; the thread ends on the lost port.
    Q583.errorType = ToCode(ErrorType::ShortFrame);
    return false;
  }
  if (received < expected) {
    Q583.errorType = ToCode(BufferByte(run, run.frameBytes) == 0x0A ? ErrorType::ShortFrameAtLineFeed : ErrorType::ShortFrame);
    WaitMs(200);
    DebugPrint(DebugLog::Scan, "[GetOneScan]  received[%u] < scanWords[%u]\n", received, expected);
    // The thread's own sign-on: the instrument is stopped and set up afresh
    // while the run ends (the host is never signing on meanwhile: it ends
    // the run's thread before any sign-on of its own).
    if (SIGNON()) run.instrumentMayStream = false;
    return false;
  }
  if (format.scanType == 0) return true;

  DebugPrint(DebugLog::Scan, "[GetOneScan]  pScanDataBuffPointer[0]: 0x%X\n", run.frames[0]);
  if (run.frames[0] == kFrameMarker) {
    ConsumeScanBytes(run, 1);
    return true;
  }
  DebugPrint(DebugLog::Scan, "[GetOneScan]  pScanDataBuffPointer[0x%X] should be: 0x%X\n", run.frames[0],
             kFrameMarker);
  Q583.errorType = ToCode(ErrorType::WrongMarker);
  return false;
}

bool GetOneScanWithDigin(ScanRun& run, bool& diginReceived) {
  if (Overflowing(run, ReceiveQueueCount())) {
    DebugPrintFlush(DebugLog::Levelled, "GetOneScanWithDigin()-> Q583.errorType = 3 -> buffer overflow \n");
    Q583.errorType = ToCode(ErrorType::QueueOverflow);
    return false;
  }
  // A single-channel frame is one bare value: no marker, and the instrument
  // answers no digital-input request in this mode, so it is read as such.
  const RunFormat& format = run.format;
  if (format.scanType == 0) return GetOneScan(run);

  const uint32_t scanBytes = format.FrameBytes();
  DebugPrintFlush(DebugLog::General,
                  "!##GOSWD()-> Q583.tScan: %u, Q583.numChannels: %u, Q583.wordCnt: %u,  scanBytes: %u \n",
                  static_cast<unsigned>(format.scanType), static_cast<unsigned>(format.channels),
                  static_cast<unsigned>(format.words), scanBytes);

  // First byte: a frame's marker or a digital-input reply.
  const int32_t firstDeadline = FrameDeadline(run, 3.0);
  bool gotFirst = false;
  for (;;) {
    const bool sentOk = WaitingPass(run, true, false);
    if (ReadIntoBuffer(run, 1) == 1) {
      gotFirst = true;
      break;
    }
    if (TimeUp(firstDeadline)) break;
    WaitInPass(firstDeadline, 1, !sentOk);
  }
  (void)gotFirst;  // without a byte the tests below look at what the buffer holds
  DebugPrintFlush(DebugLog::General, "## GOSWD()->pSBP[0] -> 0x%02X \n", run.frames[0]);

  bool digin = false;
  if (run.diginRequestPending && run.frames[0] == kDiginReplyFirst) {
    if (!WaitForQueued(run, 1, false, false)) {
      DebugPrintFlush(DebugLog::General, "!##GOSWD()-> failed getting digin byte \n");
      return false;
    }
    if (ReadIntoBuffer(run, 1) == 1) digin = true;
  } else {
    const uint32_t rest = scanBytes > 0 ? scanBytes - 1 : 0;
    if (!WaitForQueued(run, rest, true, true)) {
      DebugPrintFlush(DebugLog::General, "!##GOSWD()-> failed getting SCAN DATA \n\n\n");
      return false;
    }
    // The rest of the frame is waiting: one attempt per byte at most.
    uint32_t taken = 0;
    for (uint32_t attempt = 0; attempt < rest && taken < rest; ++attempt) taken += ReadIntoBuffer(run, rest - taken);
  }
  DebugPrintFlush(DebugLog::General, "##GOSWD()-> finished waiting for data \n");

  if (digin) {
    run.diginRequestPending = false;
    Q583.lastDigInp = static_cast<int16_t>(run.frames[1]);
    DebugPrintFlush(DebugLog::General, "Q583.lastDigInp: %u\n", static_cast<unsigned>(run.frames[1]));
    diginReceived = true;
    DebugPrintFlush(DebugLog::Levelled, "GetOneScanWithDigin()-> first 3:  (%02X, %02X, %02X)  \n",
                    run.frames[0], run.frames[1], run.frames[2]);
    ConsumeScanBytes(run, 2);
    DebugPrintFlush(DebugLog::General, "--------- returning after digin request\n\n\n");
    return true;
  }

  // A frame begins with its marker here as in GetOneScan: after a byte lost
  // or added on the line, every frame read after it would be shifted and
  // every value wrong, so the run ends instead.
  if (run.frames[0] != kFrameMarker) {
    DebugPrintFlush(DebugLog::General, "!##GOSWD()-> frame marker 0x%02X should be 0x%02X \n", run.frames[0],
                    kFrameMarker);
    Q583.errorType = ToCode(ErrorType::WrongMarker);
    return false;
  }
  if (!run.diginRequestPending) {
    DebugPrintFlush(DebugLog::General, "## GOSWD()-> no pending digin - sending digin request \n");
    static constexpr DiginRequestLines kLines{
        "## GOSWD()-> (!SendPacketWithBusyCheck(0x80,(BYTE)0x4C)) \n", "GetOneScanWithDigin()-> \n",
        "GetOneScanWithDigin()-> (!SendPacket(0x80,0x4C))-> returning FALSE\n",
        "## GOSWD()-> SUCCESS sending digital output \n"};
    if (!RequestDigin(run, kLines)) return false;
  }
  DebugPrintFlush(DebugLog::Levelled,
                  "GetOneScanWithDigin()-> 8 bytes:  (%02X, %02X, %02X, %02X, %02X, %02X, %02X, %02X)\n",
                  run.frames[0], run.frames[1], run.frames[2], run.frames[3],
                  run.frames[4], run.frames[5], run.frames[6], run.frames[7]);
  ConsumeScanBytes(run, 1);
  DebugPrintFlush(DebugLog::General, ">>>>>>>>>>>>> returning with scan data in buffer\n\n\n");
  return true;
}
