// POSIX interrupter: an eventfd that the waits poll beside the port.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "platform/interrupt.h"

namespace platform {

Interrupter::Interrupter() : native_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Interrupter::~Interrupter() {
  if (native_ >= 0) close(static_cast<int>(native_));
}

void Interrupter::Wake() {
  uint64_t one = 1;
  if (native_ >= 0) (void)!write(static_cast<int>(native_), &one, sizeof one);
}

bool Interrupter::TakeWake() {
  uint64_t count = 0;
  return native_ >= 0 && read(static_cast<int>(native_), &count, sizeof count) == sizeof count;
}

}  // namespace platform
