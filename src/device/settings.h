// The settings family: small get/set operations on the device record and
// the data-log options, behind the settings exports.
#pragma once

#include <cstdint>

// A rate that is zero, negative, not finite or too small for single
// precision is refused (the rate programming divides by it).
bool IsUsableRate(double rate);

// Data-log options as one word: bit 0 file, 1 memory, 2 stop when full,
// 3 size limit.
void SetDataLogOptions(uint32_t flags, uint32_t sizeLimit);
void GetDataLogOptions(uint32_t& flags, uint32_t& sizeLimit);
