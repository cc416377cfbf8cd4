// The library's millisecond clock: elapsed time since load, from the
// backend's monotonic microseconds, wrapping like a 32-bit counter.
#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {
std::atomic<int64_t> gLoadMicros{MonotonicMicros()};
}  // namespace

int32_t ClockMs() {
  // Callers compare differences of two readings, so the wrap is harmless.
  auto ms = static_cast<uint64_t>((MonotonicMicros() - gLoadMicros.load()) / 1000);
  return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

void ResetClock() { gLoadMicros.store(MonotonicMicros()); }

}  // namespace platform
