// Host callbacks: the message box and the tone go to the host's handlers
// when it has installed them, to the system's own otherwise, and the
// library knows while it is inside one (a call back into run control from
// there is refused).
#include "platform/host_callbacks.h"

#include <atomic>

#include "platform/platform.h"

namespace platform {

namespace {
std::atomic<MessageBoxHandler> gMessageBox{nullptr};
std::atomic<BeepHandler> gBeep{nullptr};
thread_local int tCallbackDepth = 0;
}  // namespace

HostCallbackScope::HostCallbackScope() { ++tCallbackDepth; }
HostCallbackScope::~HostCallbackScope() { --tCallbackDepth; }

bool InHostCallback() { return tCallbackDepth > 0; }

int MessageBox(const char* text, const char* caption, uint32_t style, bool ownerForeground) {
  // The system's box runs a message loop of its own, which may call the
  // host's window procedures: a callback as much as the host's handler.
  const HostCallbackScope callback;
  if (MessageBoxHandler handler = gMessageBox.load()) {
    return handler(text, caption, style) == kIdCancel ? kIdCancel : kIdOk;
  }
  return NativeMessageBox(text, caption, style, ownerForeground);
}

void SetMessageBoxHandler(MessageBoxHandler handler) { gMessageBox.store(handler); }

void Beep(uint32_t frequencyHz, uint32_t durationMs) {
  if (BeepHandler handler = gBeep.load()) {
    CheckKilled();
    {
      const HostCallbackScope callback;
      handler(frequencyHz, durationMs);
    }
    CheckKilled();
    return;
  }
  NativeBeep(frequencyHz, durationMs);
}

void SetBeepHandler(BeepHandler handler) { gBeep.store(handler); }

}  // namespace platform
