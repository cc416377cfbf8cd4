// Monotonic millisecond clock counted from library load, and local time.
#include <atomic>
#include <ctime>

#include "platform/platform.h"

namespace platform {

namespace {
int64_t NowMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}
std::atomic<int64_t> gLoadMicros{NowMicros()};
}  // namespace

int32_t ClockMs() {
  // Wraps like a 32-bit millisecond counter; callers compare differences.
  auto ms = static_cast<uint64_t>((NowMicros() - gLoadMicros.load()) / 1000);
  return static_cast<int32_t>(static_cast<uint32_t>(ms));
}

void ResetClock() { gLoadMicros.store(NowMicros()); }

int64_t MonotonicMicros() { return NowMicros(); }

std::string CtimeNow() {
  time_t now = time(nullptr);
  char buffer[64] = {};
  ctime_r(&now, buffer);
  return buffer;
}

void PeekMessages() {}

}  // namespace platform
