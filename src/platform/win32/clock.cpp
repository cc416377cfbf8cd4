// Monotonic microseconds and local time.
#include "platform/win32/windows_api.h"

#include <cstdio>

#include "platform/win32/win32_internal.h"

namespace platform {

int64_t MonotonicMicros() {
  static const int64_t frequency = [] {
    LARGE_INTEGER f{};
    QueryPerformanceFrequency(&f);
    return f.QuadPart > 0 ? static_cast<int64_t>(f.QuadPart) : int64_t{1000000};
  }();
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  const int64_t ticks = now.QuadPart;
  // Split so that the multiplication cannot overflow on long uptimes.
  return ticks / frequency * 1000000 + ticks % frequency * 1000000 / frequency;
}

std::string CtimeNow() {
  // The C library's ctime() text, built from the local time without ctime's
  // shared static buffer (the acquisition thread and the host both ask).
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  SYSTEMTIME now{};
  GetLocalTime(&now);
  char buffer[64] = {};
  std::snprintf(buffer, sizeof buffer, "%.3s %.3s%3u %.2u:%.2u:%.2u %u\n", kDays[now.wDayOfWeek % 7],
                kMonths[(now.wMonth + 11) % 12], static_cast<unsigned>(now.wDay),
                static_cast<unsigned>(now.wHour), static_cast<unsigned>(now.wMinute),
                static_cast<unsigned>(now.wSecond), static_cast<unsigned>(now.wYear));
  return buffer;
}

}  // namespace platform
