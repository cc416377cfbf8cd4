// Win32 interrupter: an auto-reset event that the waits of a library thread
// wait on between looks at the port.
#include "platform/win32/windows_api.h"

#include "platform/interrupt.h"

namespace platform {

Interrupter::Interrupter()
    : native_(reinterpret_cast<intptr_t>(CreateEventA(nullptr, FALSE, FALSE, nullptr))) {
  if (native_ == 0) native_ = -1;
}

Interrupter::~Interrupter() {
  if (native_ != -1) CloseHandle(reinterpret_cast<HANDLE>(native_));
}

void Interrupter::Wake() {
  if (native_ != -1) SetEvent(reinterpret_cast<HANDLE>(native_));
}

bool Interrupter::TakeWake() {
  // An auto-reset event is consumed by the wait that sees it signalled.
  return native_ != -1 && WaitForSingleObject(reinterpret_cast<HANDLE>(native_), 0) == WAIT_OBJECT_0;
}

}  // namespace platform
