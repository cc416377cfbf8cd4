// The device record, its defaults, the channel-code rules and the lazy
// initialisation that every settings operation runs first.
#include "device/q583.h"

#include "device/timing.h"

Q583Record Q583;

std::atomic<bool> fDevSetupPending{true};
std::atomic<bool> fDevSignedOn{false};

std::atomic<bool> fLogScansToFile{true};
std::atomic<bool> fLogScansToMemory{false};
std::atomic<bool> fStopWhenMemoryFull{false};
std::atomic<bool> fLimitLogFileSize{false};
std::atomic<uint32_t> uiLogFileSizeLimit{0};

namespace {

// The nibbles are always taken from the low byte, whatever the high byte of
// the 16-bit field holds.
int FirstSubChannel(int16_t code) { return (static_cast<uint16_t>(code) >> 4) & 0x0F; }
int LastSubChannel(int16_t code) { return static_cast<uint16_t>(code) & 0x0F; }

}  // namespace

int16_t NormaliseChannelCode(int16_t code) {
  if (code != kChannelOff && FirstSubChannel(code) > LastSubChannel(code)) return kChannelOff;
  return code;
}

void CountChannels() {
  int16_t count = 0;
  for (const auto& code : Q583.chan) {
    const int16_t c = code;
    if (c == kChannelOff) continue;
    const int first = FirstSubChannel(c);
    const int last = LastSubChannel(c);
    // A code whose range runs backwards (only the configuration file can
    // leave one in chan[0]) converts nothing; counting it as last - first + 1
    // would give a zero or negative number of values per scan, which the scan
    // code divides by.
    if (first > last) continue;
    count = static_cast<int16_t>(count + (last - first + 1));
  }
  Q583.numChannels = count;
}

void NormaliseChannelCodes(int first) {
  if (first < 0) first = 0;
  for (int i = first; i < 6; ++i) Q583.chan[i] = NormaliseChannelCode(Q583.chan[i]);
  CountChannels();
}

bool ApplyDefaults() {
  // Field by field, never through an all-zero record: a scan may be running
  // (the defaults do not stop it) and its thread must not see a zero rate or
  // channel count in between.  comPort keeps its value.
  Q583.numChannels = 1;
  Q583.tScan = 1;
  Q583.chan[0] = 0;
  for (int i = 1; i < 6; ++i) Q583.chan[i] = kChannelOff;
  Q583.singleChan = 0;
  Q583.lastDigInp = 0;
  Q583.version = 0;
  Q583.channel = 0;
  Q583.subChan = 0;
  Q583.rawCount = 0;
  Q583.voltage = 0.0;
  Q583.digOutWord = 0;
  Q583.wordCnt = 3;
  Q583.biPolar = 1;
  Q583.errorType = 0;
  Q583.filter = 2;
  Q583.gain = 1;
  Q583.rate = 60.0F;
  Q583.modeRegLo = 0;
  Q583.modeRegMid = 0;
  Q583.modeRegHi = 0;
  Q583.baud = 0;
  Q583.fSleep = 0;
  Q583.fStandby = 0;
  Q583.modelCode = -1;
  Q583.average = 1;
  Q583.TXQUEUESIZE = 16;
  Q583.RXQUEUESIZE = 32000;

  NormaliseChannelCodes(0);

  // Start from the shortest possible interval so that the timing model
  // hands back the minimal interval of the default settings.
  Q583.scanInterval = 0.00001;
  SetScanIntervalToMinimum();

  fDevSetupPending = false;
  fLogScansToFile = true;
  return true;
}

bool LazyInit() {
  if (fDevSetupPending) return ApplyDefaults();
  return true;
}

void ResetDeviceRecordForLoad() {
  Q583 = Q583Record{};
  fDevSetupPending = true;
  fDevSignedOn = false;
  fLogScansToFile = true;
  fLogScansToMemory = false;
  fStopWhenMemoryFull = false;
  fLimitLogFileSize = false;
  uiLogFileSizeLimit = 0;
}

