// The direct commands' exchanges on the wire: digital output and input,
// one polled conversion and the two single calibrations.  Each is one try;
// the recovery around them (sign on, retry once) is their callers'.
#include "link/direct.h"

#include <algorithm>
#include <limits>

#include "common/error_type.h"
#include "device/q583.h"
#include "link/commands.h"
#include "link/packets.h"
#include "link/serial.h"
#include "logging/debug_log.h"
#include "platform/platform.h"

namespace {

constexpr int32_t kBusyWaitMs = 200;
constexpr int32_t kBusyPollMs = 2;

int32_t TwiceReplyTimeout() {
  const int64_t t = 2 * static_cast<int64_t>(replyTimeout.load());
  return static_cast<int32_t>(std::min<int64_t>(t, std::numeric_limits<int32_t>::max()));
}

bool Calibrate(uint8_t command) {
  if (!SendCommandForReply(command, ChannelSelection())) return false;
  return ReadComBytes(ReplyBytes(1), TwiceReplyTimeout(), rxBuf) && rxBuf[0] == command;
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
    Q583.errorType = ToCode(ErrorType::WrongMarker);
    return false;
  }
  Q583.rawCount = DecodeCount(rxBuf, Q583.wordCnt);
  Q583.voltage = RawCountToVoltage();
  return true;
}

bool FullScaleCalibrate() { return Calibrate(0x83); }

bool OffsetCalibrate() { return Calibrate(0x82); }

