// Sign-on: wake the instrument at 300 baud, move to the configured rate,
// download the settings and settle the model code.
#pragma once

#include <atomic>
#include <cstdint>

extern const uint32_t baudTable[6];
extern std::atomic<bool> fSignonRepeated;
extern std::atomic<int16_t> savedChannel;   // channel selection restored at scan end
extern std::atomic<int16_t> savedSubChan;

// The handshake itself.
bool SIGNON();
// EX_InitDev: lazy initialisation, sign-on, calibration, averaging, and
// marks the instrument signed on.
bool InitDev();
// The three timer-count bytes for an interval.
void TimerCountBytes(double interval, int32_t modelCode, int16_t baud,
                     uint8_t& high, uint8_t& middle, uint8_t& low);
