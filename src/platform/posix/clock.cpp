// Monotonic microseconds and local time.
#include <ctime>

#include "platform/platform.h"

namespace platform {

int64_t MonotonicMicros() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string CtimeNow() {
  time_t now = time(nullptr);
  char buffer[64] = {};
  ctime_r(&now, buffer);
  return buffer;
}

void PeekMessages() {}

}  // namespace platform
