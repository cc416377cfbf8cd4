// The device record: every setting and last result of the one instrument the
// library drives, beside the flags that say whether it is initialised and
// signed on, and the data-log options.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/shared.h"

struct Q583Record {
  Shared<int16_t> comPort;       // zero-based port number (0 = COM1)
  Shared<double> scanInterval;   // seconds from one scan start to the next
  Shared<int16_t> numChannels;   // conversions in one multi-channel scan
  Shared<int16_t> tScan;         // 0 single channel, 1 multi, 2 multi + offset/fullscale
  Shared<int16_t> chan[6];       // channel codes: first sub-channel << 4 | last; 16 = off
  Shared<int16_t> singleChan;    // single-channel scan code: main << 4 | sub
  Shared<int16_t> lastDigInp;    // last digital input byte
  Shared<int16_t> version;       // firmware version
  Shared<int16_t> channel;       // polled-mode main channel
  Shared<int16_t> subChan;       // polled-mode sub-channel
  Shared<int32_t> rawCount;      // last raw conversion result
  Shared<double> voltage;        // last conversion result in millivolts
  Shared<int32_t> digOutWord;    // digital output word
  Shared<int16_t> wordCnt;       // bytes per value in a frame: 2 or 3
  Shared<int16_t> biPolar;       // 1 bipolar, 0 unipolar
  Shared<int32_t> errorType;     // why the last scan or read failed
  Shared<int16_t> filter;        // 0 = 4 Hz, 1 = 40 Hz, 2 = 400 Hz
  Shared<int16_t> gain;          // 1 .. 128, a power of two
  Shared<float> rate;            // conversions per second
  Shared<int16_t> modeRegLo;
  Shared<int16_t> modeRegMid;
  Shared<int16_t> modeRegHi;
  Shared<int16_t> baud;          // index into baudTable, 0 .. 5
  Shared<int16_t> fSleep;
  Shared<int16_t> fStandby;
  Shared<int32_t> modelCode;     // -1, or 10000 for firmware 132 .. 149
  Shared<uint32_t> average;      // conversions averaged per value, a power of two
  Shared<uint32_t> TXQUEUESIZE;
  Shared<uint32_t> RXQUEUESIZE;
};

static_assert(sizeof(Shared<int16_t>) == 2, "16-bit fields");
static_assert(sizeof(Shared<int32_t>) == 4, "32-bit fields");
static_assert(sizeof(Shared<uint32_t>) == 4, "32-bit fields");
static_assert(sizeof(Shared<float>) == 4, "single-precision fields");
static_assert(sizeof(Shared<double>) == 8, "double-precision fields");

extern Q583Record Q583;

extern std::atomic<bool> fDevSetupPending;  // the record still needs its defaults
extern std::atomic<bool> fDevSignedOn;      // signed on with the current settings

// Data-log options.
extern std::atomic<bool> fLogScansToFile;
extern std::atomic<bool> fLogScansToMemory;
extern std::atomic<bool> fStopWhenMemoryFull;
extern std::atomic<bool> fLimitLogFileSize;
extern std::atomic<uint32_t> uiLogFileSizeLimit;

constexpr int16_t kChannelOff = 16;  // channel code of a main channel not scanned

// Lazy initialisation: applies the defaults when fDevSetupPending is set.
bool LazyInit();
// Sets every field to its default (comPort kept), normalises and counts the
// channel codes, computes the minimal interval, clears fDevSetupPending and
// turns file logging on.  Always true.
bool ApplyDefaults();
// A code other than 16 whose first sub-channel exceeds its last becomes 16.
int16_t NormaliseChannelCode(int16_t code);
// Normalises chan[first..5] and recounts numChannels from all six codes.
void NormaliseChannelCodes(int first);
// numChannels from the six codes.
void CountChannels();

// Zeroes the record and the flags as at library load.
void ResetDeviceRecordForLoad();
