// The settings family's record operations: the usable rate and the
// data-log options as one word.
#include "device/settings.h"

#include <cmath>

#include "device/q583.h"

namespace {

constexpr uint32_t kLogToFile = 1;
constexpr uint32_t kLogToMemory = 2;
constexpr uint32_t kStopWhenFull = 4;
constexpr uint32_t kLimitFileSize = 8;

}  // namespace

bool IsUsableRate(double rate) {
  if (!std::isfinite(rate) || !(rate > 0.0)) return false;
  // The record holds single precision: a rate that becomes zero or
  // infinite there is as unusable as zero itself.
  const float single = static_cast<float>(rate);
  return std::isfinite(single) && single > 0.0F;
}

void SetDataLogOptions(uint32_t flags, uint32_t sizeLimit) {
  if ((flags & kLogToFile) != 0) {
    fLogScansToFile = true;
    if ((flags & kLimitFileSize) != 0 && sizeLimit != 0) {
      fLimitLogFileSize = true;
      uiLogFileSizeLimit = sizeLimit;
    } else {
      fLimitLogFileSize = false;
      uiLogFileSizeLimit = 0;
    }
  } else {
    // File logging off: the size limit is kept for when it comes back on.
    fLogScansToFile = false;
  }
  fLogScansToMemory = (flags & kLogToMemory) != 0;
  fStopWhenMemoryFull = (flags & kStopWhenFull) != 0;
}

void GetDataLogOptions(uint32_t& flags, uint32_t& sizeLimit) {
  sizeLimit = 0;
  uint32_t word = 0;
  if (fLogScansToFile) word += kLogToFile;
  if (fLogScansToMemory) word += kLogToMemory;
  if (fStopWhenMemoryFull) word += kStopWhenFull;
  if (fLimitLogFileSize) {
    word += kLimitFileSize;
    sizeLimit = uiLogFileSizeLimit;
  }
  flags = word;
}

