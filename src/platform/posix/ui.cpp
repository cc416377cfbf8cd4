// Message box and tone on POSIX: there is no window system, so without a
// host's handler both go to standard error.
#include <unistd.h>

#include <cstdio>

#include "platform/host_callbacks.h"
#include "platform/platform.h"

namespace platform {

int NativeMessageBox(const char* text, const char* caption, uint32_t, bool) {
  std::fprintf(stderr, "[%s]\n%s\n", caption ? caption : "", text ? text : "");
  return kIdOk;
}

void FlashForegroundWindow() {}

void NativeBeep(uint32_t, uint32_t durationMs) {
  if (isatty(STDERR_FILENO)) {
    (void)!write(STDERR_FILENO, "\a", 1);
  }
  SleepMs(static_cast<int32_t>(durationMs));
}

}  // namespace platform
