// The settings family: small get/set operations on the device record and
// the data-log options, behind the settings exports.
#pragma once

#include <cstdint>

// A rate that is zero, negative, not finite or too small for single
// precision is refused (the rate programming divides by it).
bool IsUsableRate(double rate);
// Ends a running scan where it stands: no stop command, no trailer.

// EX_SetMultiChanScanChanCodes: stores and checks six codes, recounts, sets
// the minimal interval and signs on again.  False when the sign-on fails.
bool SetMultiChanScanChanCodes(const uint8_t codes[6]);
// EX_GetMultiChanScanChanCodes: signs on first when not signed on.
bool GetMultiChanScanChanCodes(uint8_t codes[6], uint8_t& count);

// Data-log options as one word: bit 0 file, 1 memory, 2 stop when full,
// 3 size limit.
void SetDataLogOptions(uint32_t flags, uint32_t sizeLimit);
void GetDataLogOptions(uint32_t& flags, uint32_t& sizeLimit);
