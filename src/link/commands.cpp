// Configuration commands and the values derived from the same settings: the
// mode registers, averaging, version, channel selection, calibration, sleep,
// the extended registers, the reply time-out and the millivolt conversion.
#include "link/commands.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "device/q583.h"
#include "link/given.h"
#include "link/packets.h"
#include "link/serial.h"

std::atomic<int32_t> replyTimeout{0};

namespace {

constexpr double kDividerClock = 19531.25;  // Hz of the rate divider's clock
constexpr int32_t kDividerMask = 0x7FF;     // the divider register has 11 bits
constexpr double kMaxRate = 1027.0;
constexpr int32_t kCalibrationReplyMs = 2000;
constexpr double kMillivoltsPerCount = 0.0002980232;

// Truncation toward zero into 32 bits; values beyond the range (or not a
// number) are held at the ends instead of being undefined.
int32_t TruncToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max())) return std::numeric_limits<int32_t>::max();
  if (v <= static_cast<double>(std::numeric_limits<int32_t>::min())) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

bool UsableRate(double rate) { return std::isfinite(rate) && rate > 0.0; }

int32_t ReplyTimeoutFor(double storedRate) {
  const double rate = EffectiveRate(storedRate);
  const double average = static_cast<double>(static_cast<uint32_t>(Q583.average));
  const double baudIndex = static_cast<int16_t>(Q583.baud);
  return TruncToInt32((average / rate + 0.1 * baudIndex + 2.0) * 1000.0 * 2.0);
}

// The calibration reads: the content is not examined, only that it came.
bool CalibrationStep(uint32_t command, uint32_t selection) {
  if (!SendCommandForReply(command, selection)) return false;
  return ReadComBytes(ReplyBytes(1), kCalibrationReplyMs, rxBuf);
}

}  // namespace

int32_t ReplyBytes(int32_t extra) {
  const int32_t n = static_cast<int16_t>(Q583.wordCnt) + extra;
  return std::clamp<int32_t>(n, 0, static_cast<int32_t>(sizeof rxBuf));
}

uint32_t ChannelSelection() {
  return static_cast<uint32_t>(Q583.channel * 16 + Q583.subChan) & 0xFF;
}

int32_t DecodeCount(const uint8_t* bytes, int16_t words) {
  int32_t count = bytes[0] + 256 * bytes[1];
  if (words == 3) count += 65536 * bytes[2];
  return count;
}

double EffectiveRate(double rate) {
  constexpr double kSlowestRate = kDividerClock / kDividerMask;
  if (UsableRate(rate) && rate >= kSlowestRate && rate <= kMaxRate) return rate;
  // Outside what the divider can run, the instrument runs at what the
  // divider register is loaded with: the stored value would make every wait
  // derived from it far too long (or infinite).
  const int32_t divider = UsableRate(rate) ? TruncToInt32(kDividerClock / rate) : kDividerMask;
  const int32_t loaded = divider & kDividerMask;
  const double achieved = loaded > 0 ? kDividerClock / loaded : kMaxRate;
  return achieved > kMaxRate ? kMaxRate : achieved;
}

void ComputeRateRegisters() {
  const double rate = Q583.rate;
  // A rate that is not positive has no divider; the slowest divider the
  // register holds is taken instead of dividing by zero.
  const int32_t divider = UsableRate(rate) ? TruncToInt32(kDividerClock / rate) : kDividerMask;
  Q583.modeRegMid = static_cast<int16_t>((divider >> 8) & 7);
  Q583.modeRegLo = static_cast<int16_t>(divider & 0xFF);
  const int32_t loaded = Q583.modeRegMid * 256 + Q583.modeRegLo;
  // A divider whose low 11 bits are all zero loads 0: the achieved rate is
  // then unbounded and is cut to the maximum like any rate above it.
  double achieved = loaded > 0 ? kDividerClock / loaded : kMaxRate;
  if (achieved > kMaxRate) achieved = kMaxRate;
  Q583.rate = static_cast<float>(achieved);
  replyTimeout = ReplyTimeoutFor(Q583.rate);
}

void ComputeModeRegisters() {
  ComputeRateRegisters();
  int16_t gainCode = 0;
  for (int32_t g = Q583.gain; g > 1; g /= 2) ++gainCode;
  Q583.modeRegHi = static_cast<int16_t>(gainCode * 4 + Q583.fStandby);
  int16_t mid = Q583.modeRegMid;
  if (Q583.wordCnt == 3) mid = static_cast<int16_t>(mid | 0x80);
  if (Q583.biPolar == 0) mid = static_cast<int16_t>(mid | 0x10);
  Q583.modeRegMid = mid;
}

bool WriteModeRegisters() {
  if (!SendCommandForReply(0x84, 0x00)) return false;
  uint8_t echo = 0;
  if (!ReadComBytes(1, replyTimeout, &echo)) return false;
  echoByte = echo;
  if (echo != 0x84) return false;
  ComputeModeRegisters();
  if (!SendPacket(static_cast<uint32_t>(Q583.modeRegHi), static_cast<uint32_t>(Q583.modeRegMid))) return false;
  if (!SendPacket(static_cast<uint32_t>(Q583.modeRegLo), 0x00)) return false;
  if (!VerifyModeRegisters()) return false;
  NoteModeRegistersGiven();
  return true;
}

bool VerifyModeRegisters() {
  if (!ReadComBytes(3, replyTimeout, rxBuf)) return false;
  // Bits 5-7 of the first register are not part of the setting; the
  // instrument may echo them set.
  return (rxBuf[0] & 0x1F) == (Q583.modeRegHi & 0x1F) && rxBuf[1] == (Q583.modeRegMid & 0xFF) &&
         rxBuf[2] == (Q583.modeRegLo & 0xFF);
}

bool SetAveraging() {
  replyTimeout = ReplyTimeoutFor(Q583.rate);
  // floor(log2(average)), counted in integers so that a power of two never
  // comes out one low through rounding.
  uint32_t code = 0;
  const uint32_t average = Q583.average;
  for (uint32_t a = average; a > 1; a >>= 1) ++code;
  if (!SendPacket(0x04, code)) return false;
  NoteAveragingGiven(average);
  return true;
}

bool ReadVersion() {
  if (!SendCommandForReply(0x86, 0x00)) return false;
  if (!ReadComBytes(2, replyTimeout, rxBuf)) return false;
  if (rxBuf[0] != 0x86) return false;
  Q583.version = rxBuf[1];
  return true;
}

bool SelectChannel() { return SendPacket(0x01, ChannelSelection()); }

bool SendSleep() {
  (void)SendPacket(0x88, 0x00);
  WaitMs(500);
  DrainInput();
  return echoByte == 0x80;
}

bool WriteExtRegister(int32_t reg, int32_t value) {
  const int32_t c = Q583.channel * 16 | Q583.subChan;
  SendPacket(0x01, static_cast<uint32_t>((c | 0x87) & 0xFF));
  SendPacket(0x07, static_cast<uint32_t>(reg * 64 + 48 + (reg == 0 ? 4 : 2)) & 0xFF);
  SendPacket(0x01, static_cast<uint32_t>((c | reg | 0x84) & 0xFF));
  const int32_t high = value / 256;
  const int32_t low = value - high * 256;
  SendPacket(0x07, static_cast<uint32_t>(low) & 0xFF);
  return SendPacket(0x07, static_cast<uint32_t>(high) & 0xFF);
}

bool WriteModelRegisters() {
  WriteExtRegister(0, Q583.modelCode);
  WriteExtRegister(1, Q583.modelCode);
  return WriteExtRegister(2, 1);
}

bool SystemCalibrate() {
  const int16_t gain = Q583.gain;
  const bool atGainOne = gain == 1;
  // A step that fails after the gain was changed leaves the instrument at
  // another gain than the record's: the library is then not signed on, so
  // that the next call signs on afresh.
  auto fail = [gain, atGainOne] {
    Q583.gain = gain;
    if (!atGainOne) fDevSignedOn = false;
    return false;
  };
  if (!atGainOne) {
    Q583.gain = 1;
    if (!WriteModeRegisters()) return fail();
  }
  if (!CalibrationStep(0x82, 0x70)) return fail();  // offset on channel 7, sub-channel 0
  if (!CalibrationStep(0x83, 0x60)) return fail();  // full scale on channel 6, sub-channel 0
  if (!atGainOne) {
    Q583.gain = gain;
    if (!WriteModeRegisters()) return fail();
    if (!CalibrationStep(0x82, 0x70)) return fail();
  }
  return true;
}

double CountToMillivolts(int32_t count, int16_t wordCnt, int16_t biPolar) {
  double v = count * kMillivoltsPerCount;
  if (wordCnt == 2) v *= 256.0;
  if (biPolar != 0) v = 2.0 * v - 5000.0;
  return v;
}

double RawCountToVoltage() { return CountToMillivolts(Q583.rawCount, Q583.wordCnt, Q583.biPolar); }
