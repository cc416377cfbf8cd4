// Pieces shared by the POSIX backend's files.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace platform {

enum class PollOutcome { Ready, Timeout, Woken, HungUp };

// poll() on fd (or on nothing when fd < 0) and the calling library thread's
// interrupter, for at most ms.  Throws ThreadKilled when killed.
PollOutcome PollWithInterrupt(int fd, short events, int32_t ms);
// The same with a timeout in microseconds.
PollOutcome PollWithInterruptUs(int fd, short events, int64_t us);

}  // namespace platform
