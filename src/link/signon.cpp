// Sign-on: opens the port at 300 baud, wakes the instrument, moves both
// sides to the configured rate, downloads the settings, checks the register
// echo, reads the firmware version and settles the model code.
#include "link/signon.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "device/q583.h"
#include "device/timing.h"
#include "link/commands.h"
#include "link/given.h"
#include "link/packets.h"
#include "link/serial.h"
#include "logging/debug_log.h"
#include "platform/platform.h"

const uint32_t baudTable[6] = {9600, 4800, 2400, 1200, 600, 300};
std::atomic<bool> fSignonRepeated{false};
std::atomic<int16_t> savedChannel{0};
std::atomic<int16_t> savedSubChan{0};

namespace {

constexpr int kMaxAttempts = 4;
constexpr int kWakeTries = 10;
constexpr int32_t kWakeTryTicks = 10;  // about 0.55 s
constexpr int32_t kQuietLineMs = 1000;
constexpr uint8_t kWakeReply = 0x03;
constexpr uint8_t kBaudChange = 0x88;
constexpr uint32_t kSignonBaud = 300;
constexpr int16_t kNumBaudRates = 6;

enum class Attempt {
  SignedOn,  // the exchange is complete; the model code decides the rest
  Restart,   // close the port and try again
  Fail,      // close the port and give up
  Abandon,   // give up with the port left open (a packet could not be sent)
};

// Truncation toward zero, held inside 64 bits.
int64_t Trunc(double v) {
  if (std::isnan(v)) return 0;
  constexpr double kLimit = 9.0e18;
  if (v > kLimit) return static_cast<int64_t>(kLimit);
  if (v < -kLimit) return -static_cast<int64_t>(kLimit);
  return static_cast<int64_t>(v);
}

int32_t ModelCodeFor(int16_t version) { return version >= 132 && version <= 149 ? 10000 : -1; }

// One read of single bytes for a number of ticks; true when the wake-up
// reply came.  Other bytes are line noise and are passed over.
bool WakeReplyWithin(int32_t ticks) {
  const int32_t deadline = TickDeadline(ticks);
  for (;;) {
    uint8_t byte = 0;
    while (ReadComByte(byte)) {
      if (byte == kWakeReply) return true;
    }
    if (Reached(deadline) || PortLost()) return false;
    WaitForInput(deadline, 1);
  }
}

// True when a byte arrived within ms (stored in echoByte).
bool ByteWithin(int32_t ms) {
  uint8_t byte = 0;
  if (!ReadComBytes(1, ms, &byte)) return false;
  echoByte = byte;
  return true;
}

bool SendAll(const uint32_t (*packets)[2], int n) {
  for (int i = 0; i < n; ++i) {
    if (!SendPacket(packets[i][0], packets[i][1])) return false;
  }
  return true;
}

uint32_t Low8(int32_t v) { return static_cast<uint32_t>(v) & 0xFF; }

Attempt SignonAttempt() {
  if (Q583.comPort < 0 || Q583.comPort > 254) return Attempt::Fail;
  const int16_t baud = Q583.baud;
  // An index outside the table has no bit rate to switch to.
  if (baud < 0 || baud >= kNumBaudRates) return Attempt::Fail;

  // The port in use is closed before the slot moves to the record's port:
  // a sign-on on another port lets go of the old one.
  CloseComPort();
  ComHandleNum = Q583.comPort;
  if (!OpenComPort(Q583.comPort)) {
    DebugPrintFlush(DebugLog::General, "SIGNON: (idComDev[ComHandleNum]==INVALIDCOMDEV) goto error");
    return Attempt::Fail;
  }
  bool lineRefused = false;
  if (!ConfigureComPort(kSignonBaud, &lineRefused)) {
    // LCOV_EXCL_START: no pseudo-terminal refuses a line setting
    if (lineRefused) DebugPrintFlush(DebugLog::General, "SIGNON: BuildCommDCB(comstr,&dcb)<0 goto error");
    // LCOV_EXCL_STOP
    return Attempt::Fail;
  }
  DebugPrintFlush(DebugLog::General, "SIGNON: at marker 1");

  bool awake = false;
  for (int i = 0; i < kWakeTries && !awake; ++i) {
    WriteComByte(0x00);
    awake = WakeReplyWithin(kWakeTryTicks);
  }
  if (!awake) return Attempt::Fail;

  WaitTicks(5);
  if (ByteWithin(kQuietLineMs)) return Attempt::Restart;  // the line must be quiet
  WriteComByte(kBaudChange);
  if (ByteWithin(kQuietLineMs)) return Attempt::Restart;
  WaitTicks(2);
  WriteComByte(static_cast<uint32_t>(baud));
  if (!ByteWithin(kQuietLineMs)) return Attempt::Fail;
  if (echoByte != static_cast<uint8_t>(baud)) return Attempt::Restart;

  CloseComPort();
  if (!OpenComPort(Q583.comPort)) return Attempt::Fail;
  if (!ConfigureComPort(baudTable[baud])) return Attempt::Fail;
  WaitTicks(5);
  WriteComByte(0x00);

  ComputeModeRegisters();
  const uint32_t settings[4][2] = {
      {Low8(Q583.modeRegHi), Low8(Q583.modeRegMid)},
      {Low8(Q583.modeRegLo), 0x00},
      {static_cast<uint32_t>(Q583.average) & 0xFF, Low8(Q583.filter)},
      {0x00, 0x00},
  };
  if (!SendAll(settings, 4)) return Attempt::Abandon;

  if (!ReadComBytes(3, kQuietLineMs, rxBuf)) return Attempt::Restart;
  // Bits 5-7 of the first register are not part of the setting.
  if ((rxBuf[0] & 0x1F) != (Q583.modeRegHi & 0x1F) || rxBuf[1] != (Q583.modeRegMid & 0xFF) ||
      rxBuf[2] != (Q583.modeRegLo & 0xFF)) {
    return Attempt::Restart;
  }
  NoteModeRegistersGiven();

  uint8_t high = 0, middle = 0, low = 0;
  TimerCountBytes(Q583.scanInterval, Q583.modelCode, baud, high, middle, low);
  const uint32_t timerAndCodes[5][2] = {
      {low, middle},
      {high, Low8(Q583.chan[0])},
      {Low8(Q583.chan[1]), Low8(Q583.chan[2])},
      {Low8(Q583.chan[3]), Low8(Q583.chan[4])},
      {Low8(Q583.chan[5]), 0x00},
  };
  if (!SendAll(timerAndCodes, 5)) return Attempt::Abandon;

  WaitTicks(4);
  DrainInput();

  if (!ReadVersion()) return Attempt::Restart;
  // Newer firmware is told the model code (the time base it should use).
  if (Q583.version > 100) WriteModelRegisters();
  NoteSignedOn();
  return Attempt::SignedOn;
}

// One pass of up to four attempts, then the model-code check; repeated once
// when the firmware implies another model code than the one used.
bool SignonPass() {
  for (int attempt = 1;; ++attempt) {
    DebugPrintFlush(DebugLog::General, "SIGNON: top of restart:");
    Q583.fStandby = 0;
    Q583.fSleep = 0;
    if (attempt > kMaxAttempts) return false;  // the last restart closed the port
    switch (SignonAttempt()) {
      case Attempt::Restart:
        CloseComPort();
        continue;
      case Attempt::Fail:
        CloseComPort();
        return false;
      case Attempt::Abandon:
        return false;
      case Attempt::SignedOn:
        break;
    }
    const int32_t model = ModelCodeFor(Q583.version);
    if (Q583.modelCode == model) return true;
    if (fSignonRepeated) {
      platform::MessageBox("Too many signons. Check configuration and try again", "in DLL", platform::kMbOk,
                           /*ownerForeground*/ false);
      fSignonRepeated = false;
      return false;
    }
    // The timer count and the extended registers went out with the old
    // model code's time base: sign on again with the new one.
    fSignonRepeated = true;
    Q583.modelCode = model;
    return SignonPass();
  }
}

}  // namespace

void TimerCountBytes(double interval, int32_t modelCode, int16_t baud, uint8_t& high, uint8_t& middle,
                     uint8_t& low) {
  const double timeBase = SignOnTimeBase(modelCode, baud);
  const double x = std::min(timeBase * (interval + 0.00005) - 1.0, kTimerCountMax);
  const int64_t h = Trunc(x / 65536.0);
  const int64_t m = Trunc((x - static_cast<double>(h) * 65536.0) / 256.0);
  const int64_t l = Trunc(x - static_cast<double>(h) * 65536.0 - static_cast<double>(m) * 256.0);
  high = static_cast<uint8_t>(h & 0xFF);
  middle = static_cast<uint8_t>(m & 0xFF);
  low = static_cast<uint8_t>(l & 0xFF);
}

bool SIGNON() {
  // The callers see to it that no acquisition thread reads the port (the
  // thread's own sign-on after a short frame aside).
  fSignonRepeated = false;
  ForgetGiven();
  if (!SignonPass()) {
    // The instrument is in no known state (and the port may be closed): the
    // next call that needs it signs on again instead of talking to it.
    ForgetGiven();
    fDevSignedOn = false;
    return false;
  }
  return true;
}

bool SignOnTail() {
  // A calibration that failed after it changed the instrument's gain has
  // left the library not signed on: the sign-on failed with it.
  if (!SystemCalibrate() && Q583.gain != 1) return false;
  ReadVersion();
  SetAveraging();
  return true;
}

