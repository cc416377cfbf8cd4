// Three-byte command packets: first byte, data byte, their sum modulo 256.
#include "link/packets.h"

#include <algorithm>

#include "device/q583.h"
#include "common/export_guard.h"
#include "link/serial.h"
#include "logging/debug_log.h"
#include "platform/platform.h"

std::atomic<bool> fSendPacketBusy{false};

namespace {

constexpr int32_t kOutputRoomWaitMs = 5000;

// Clears the busy flag however the send ends, a killed thread's unwinding
// included, so that the other sender is never locked out for good.
class BusyRelease {
 public:
  BusyRelease() = default;
  ~BusyRelease() { fSendPacketBusy = false; }
  BusyRelease(const BusyRelease&) = delete;
  BusyRelease& operator=(const BusyRelease&) = delete;
};

// The send itself; the caller has set fSendPacketBusy.
bool SendPacketWhileBusy(uint32_t first, uint32_t data) {
  BusyRelease release;
  // Wait for room for the three bytes in the output queue; a queue that
  // never drains delays the packet but does not fail it.
  const int32_t deadline = DeadlineAfter(kOutputRoomWaitMs);
  GetComStatus();
  while (!Reached(deadline)) {
    if (comStat.cbOutQue <= Q583.TXQUEUESIZE - 3U) break;
    // LCOV_EXCL_START: the queue fills only on a line the other end does not read
    platform::SleepMs(std::min<int32_t>(2, RemainingMs(deadline)));
    GetComStatus();
    // LCOV_EXCL_STOP
  }
  if (!WriteComByte(first)) return false;
  if (!WriteComByteInPacket(data)) return false;
  return WriteComByteInPacket((first + data) & 0xFF);
}

}  // namespace

bool SendPacket(uint32_t first, uint32_t data) {
  fSendPacketBusy = true;
  return SendPacketWhileBusy(first, data);
}

bool SendCommandForReply(uint32_t first, uint32_t data) {
  DrainInput();
  return SendPacket(first, data);
}

bool SendPacketWithBusyCheck(uint32_t first, uint32_t data) {
  // Test and set in one step, so that two senders cannot both pass.
  if (fSendPacketBusy.exchange(true)) {
    DebugPrintFlush(DebugLog::General, "SPWBC()->(fSendPacketBusy == TRUE) \n");
    DebugPrintFlush(DebugLog::Levelled, "SendPacketWithBusyCheck()-> fSendPacketBusy=TRUE -> returning FALSE\n");
    return false;
  }
  return SendPacketWhileBusy(first, data);
}

