// Platform extensions of the host interface: how the library shows its
// message boxes where the platform has none of its own.
#include <atomic>

#include "library/export_guard.h"
#include "platform/platform.h"
#include "q583_sp.h"

namespace {

// The host's handler uses the host interface's calling convention, which on
// 32-bit Windows differs from the library's own; the platform layer calls it
// through this trampoline.
std::atomic<Q583MessageBoxHandler> gHostMessageBox{nullptr};

int CallHostMessageBox(const char* text, const char* caption, uint32_t style) {
  const Q583MessageBoxHandler handler = gHostMessageBox.load();
  if (handler == nullptr) return platform::kIdOk;  // restored meanwhile
  return handler(text, caption, style);
}

}  // namespace

extern "C" Q583_API uint8_t Q583_CALL EX_SetMessageBoxHandler(Q583MessageBoxHandler handler) {
  return Guarded([&] {
    if (handler == nullptr) {
      // Null restores the platform's own box.
      platform::SetMessageBoxHandler(nullptr);
      gHostMessageBox.store(nullptr);
    } else {
      gHostMessageBox.store(handler);
      platform::SetMessageBoxHandler(&CallHostMessageBox);
    }
    return true;
  });
}
