// The settings exports: the device record's get/set pairs, the data-log
// options, the scan interval, the defaults and the configuration file.
// Almost every setter only changes the device record: the instrument
// learns the new value before the next start or conversion needs it.
#include <cmath>

#include "api/operations.h"
#include "common/export_guard.h"
#include "device/config_file.h"
#include "device/q583.h"
#include "device/settings.h"
#include "device/timing.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "scan/scan_run.h"

namespace {

bool IsGain(uint8_t gain) {
  for (unsigned g = 1; g <= 128; g <<= 1) {
    if (gain == g) return true;
  }
  return false;
}

bool IsAveragingCount(uint16_t count) { return count != 0 && (count & (count - 1U)) == 0; }

uint8_t LowByte(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }

}  // namespace

extern "C" Q583_API uint8_t Q583_CALL EX_SetCOMport(uint8_t port) {
  return Guarded([&] {
    if (!LazyInit()) return false;
    Q583.comPort = port;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetCOMport(uint8_t* port) {
  return Guarded([&] {
    if (port == nullptr || !LazyInit()) return false;
    *port = LowByte(Q583.comPort);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetGain(uint8_t gain) {
  return Guarded([&] {
    if (!LazyInit() || !IsGain(gain)) return false;
    Q583.gain = gain;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetGain(uint8_t* gain) {
  return Guarded([&] {
    if (gain == nullptr || !LazyInit()) return false;
    *gain = LowByte(Q583.gain);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetRemoteAverage(uint16_t count) {
  return Guarded([&] {
    if (!LazyInit() || !IsAveragingCount(count)) return false;
    Q583.average = count;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetRemoteAverage(uint16_t* count) {
  return Guarded([&] {
    if (count == nullptr || !LazyInit()) return false;
    *count = static_cast<uint16_t>(Q583.average & 0xFFFFU);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetPolarity(uint8_t polarity) {
  return Guarded([&] {
    if (!LazyInit()) return false;
    Q583.biPolar = static_cast<int16_t>(polarity <= 1 ? polarity : 1);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetPolarity(uint8_t* polarity) {
  return Guarded([&] {
    if (polarity == nullptr || !LazyInit()) return false;
    *polarity = LowByte(Q583.biPolar);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetFilter(uint8_t filter) {
  return Guarded([&] {
    if (!LazyInit()) return false;
    Q583.filter = filter;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetFilter(uint8_t* filter) {
  return Guarded([&] {
    if (filter == nullptr || !LazyInit()) return false;
    *filter = LowByte(Q583.filter);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetRate(double rate) {
  return Guarded([&] {
    if (!LazyInit()) return false;
    // Refused before anything happens: a running scan goes on and the old
    // rate stays.
    if (!IsUsableRate(rate)) return false;
    EndRunningScanAtOnce("EX_SetRate");
    Q583.rate = static_cast<float>(rate);
    return true;
  });
}

// No lazy initialisation here: a fresh library answers 0.0.
extern "C" Q583_API uint8_t Q583_CALL EX_GetRate(double* rate) {
  return Guarded([&] {
    if (rate == nullptr) return false;
    *rate = static_cast<double>(static_cast<float>(Q583.rate));
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetPolledModeChan(uint8_t* channel, uint8_t* subChannel) {
  return Guarded([&] {
    if (channel == nullptr || subChannel == nullptr || !LazyInit()) return false;
    *channel = LowByte(Q583.channel);
    *subChannel = LowByte(Q583.subChan);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetScanType(uint8_t type) {
  return Guarded([&] {
    if (!LazyInit()) return false;
    Q583.tScan = type;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetScanType(uint8_t* type) {
  return Guarded([&] {
    if (type == nullptr || !LazyInit()) return false;
    *type = LowByte(Q583.tScan);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetSingleChanScanChanCode(uint8_t code) {
  return Guarded([&] {
    if (!LazyInit()) return false;
    EndRunningScanAtOnce("EX_SetSingleChanScanChanCode");
    Q583.subChan = static_cast<int16_t>(code & 0x0F);
    Q583.singleChan = static_cast<int16_t>(code & 0xF0);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetSingleChanScanChanCode(uint8_t* code) {
  return Guarded([&] {
    if (code == nullptr || !LazyInit()) return false;
    *code = LowByte(Q583.singleChan);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetMultiChanScanChanCodes(uint8_t code0, uint8_t code1, uint8_t code2,
                                                                   uint8_t code3, uint8_t code4, uint8_t code5,
                                                                   uint32_t /*ignored*/) {
  return Guarded([&] {
    const uint8_t codes[6] = {code0, code1, code2, code3, code4, code5};
    return SetMultiChanScanChanCodes(codes);
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetMultiChanScanChanCodes(uint8_t* code0, uint8_t* code1, uint8_t* code2,
                                                                   uint8_t* code3, uint8_t* code4, uint8_t* code5,
                                                                   uint8_t* count) {
  return Guarded([&] {
    uint8_t* const outs[6] = {code0, code1, code2, code3, code4, code5};
    for (uint8_t* out : outs) {
      if (out == nullptr) return false;
    }
    if (count == nullptr) return false;
    uint8_t codes[6] = {};
    uint8_t numChannels = 0;
    if (!GetMultiChanScanChanCodes(codes, numChannels)) return false;
    for (int i = 0; i < 6; ++i) *outs[i] = codes[i];
    *count = numChannels;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetDataLogOptions(uint32_t flags, uint32_t sizeLimit,
                                                           uint32_t /*ignored*/) {
  return Guarded([&] {
    if (!LazyInit()) return false;
    SetDataLogOptions(flags, sizeLimit);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetDataLogOptions(uint32_t* flags, uint32_t* sizeLimit,
                                                           uint32_t /*ignored*/) {
  return Guarded([&] {
    if (flags == nullptr || sizeLimit == nullptr || !LazyInit()) return false;
    uint32_t word = 0;
    uint32_t limit = 0;
    GetDataLogOptions(word, limit);
    *sizeLimit = limit;
    *flags = word;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetScanInterval(double* interval) {
  return Guarded([&] {
    if (interval == nullptr) return false;
    double value = 0.0;
    if (!GetScanInterval(value)) return false;
    *interval = value;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetScanIntervalMinMax(double* minimum, double* maximum) {
  return Guarded([&] {
    if (minimum == nullptr || maximum == nullptr) return false;
    double lo = 0.0;
    double hi = 0.0;
    if (!GetScanIntervalMinMax(lo, hi)) return false;
    *minimum = lo;
    *maximum = hi;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetToMinScanInterval(void) {
  return Guarded([] { return SetToMinScanInterval(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetToMaxScanInterval(void) {
  return Guarded([] { return SetToMaxScanInterval(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetToUserScanInterval(double* interval) {
  return Guarded([&] {
    if (interval == nullptr) return false;
    return SetToUserScanInterval(*interval);
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetDevToDefaultSetup(void) {
  return Guarded([] { return SetDevToDefaultSetup(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetDevToIniSetup(void) {
  return Guarded([] { return SetDevToIniSetup(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_WriteCurrentConfigToIniFile(void) {
  return Guarded([] { return WriteCurrentConfigToIniFile(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetIniDirectory(const char* directory) {
  return Guarded([directory] {
    platform::SetConfigDirectory(directory != nullptr ? std::string(directory) : std::string());
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetIniWriteEnabled(uint8_t enable) {
  return Guarded([enable] {
    fIniWriteEnabled = enable != 0;
    return true;
  });
}
