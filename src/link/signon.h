// Sign-on: wake the instrument at 300 baud, move to the configured rate,
// download the settings and settle the model code.
#pragma once

#include <atomic>
#include <cstdint>

extern const uint32_t baudTable[6];
extern std::atomic<bool> fSignonRepeated;
extern std::atomic<int16_t> savedChannel;   // channel selection restored at scan end
extern std::atomic<int16_t> savedSubChan;

// The handshake itself.  No acquisition thread may be reading the port
// (but its own, after a short frame).  It leaves the instrument idle.
bool SIGNON();
// What follows a full sign-on: the system calibration, the version and the
// averaging.  False when the calibration failed after it changed the
// instrument's gain (the library is then not signed on).
bool SignOnTail();
// The three timer-count bytes for an interval.
void TimerCountBytes(double interval, int32_t modelCode, int16_t baud,
                     uint8_t& high, uint8_t& middle, uint8_t& low);
