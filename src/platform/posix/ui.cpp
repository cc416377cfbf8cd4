// Message box and tone on POSIX: there is no window system, so both go
// through handlers a host can install; the defaults use standard error.
#include <unistd.h>

#include <atomic>
#include <cstdio>

#include "platform/platform.h"

namespace platform {

namespace {
std::atomic<MessageBoxHandler> gMessageBox{nullptr};
std::atomic<BeepHandler> gBeep{nullptr};
}  // namespace

int MessageBox(const char* text, const char* caption, uint32_t style, bool) {
  if (MessageBoxHandler handler = gMessageBox.load()) {
    return handler(text, caption, style) == kIdCancel ? kIdCancel : kIdOk;
  }
  std::fprintf(stderr, "[%s]\n%s\n", caption ? caption : "", text ? text : "");
  return kIdOk;
}

void SetMessageBoxHandler(MessageBoxHandler handler) { gMessageBox.store(handler); }

void FlashForegroundWindow() {}

void Beep(uint32_t frequencyHz, uint32_t durationMs) {
  if (BeepHandler handler = gBeep.load()) {
    CheckKilled();
    handler(frequencyHz, durationMs);
    CheckKilled();
    return;
  }
  if (isatty(STDERR_FILENO)) {
    (void)!write(STDERR_FILENO, "\a", 1);
  }
  SleepMs(static_cast<int32_t>(durationMs));
}

void SetBeepHandler(BeepHandler handler) { gBeep.store(handler); }

}  // namespace platform
