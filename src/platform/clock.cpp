// The library's millisecond clock: elapsed time since load, from the
// backend's monotonic microseconds, wrapping like a 32-bit counter.
#include <atomic>
#include <chrono>
#include <cstdlib>

#include "platform/platform.h"

namespace platform {

namespace {
// The monotonic microsecond reading at which the count was zero.
std::atomic<int64_t> gLoadMicros{MonotonicMicros()};

uint32_t StartFromEnvironment() {
  const char* text = std::getenv("Q583_CLOCK_START_MS");
  if (text == nullptr || *text == '\0') return 0;
  return static_cast<uint32_t>(std::strtoull(text, nullptr, 0));
}
}  // namespace

int32_t ClockMs() {
  // Callers compare differences of two readings, so the wrap is harmless.
  auto ms = static_cast<uint64_t>((MonotonicMicros() - gLoadMicros.load()) / 1000);
  return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

void SetClockStart(uint32_t startMs) {
  gLoadMicros.store(MonotonicMicros() - static_cast<int64_t>(startMs) * 1000);
}

void ResetClock() { SetClockStart(StartFromEnvironment()); }

double WallSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace platform
