// Sleeping and waiting.  On a library thread every wait also watches the
// thread's interrupter, so a stop request or a kill is seen at once; on the
// host's threads the waits simply block.
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/interrupt.h"
#include "platform/posix/posix_internal.h"

namespace platform {

PollOutcome PollWithInterrupt(int fd, short events, int32_t ms) {
  return PollWithInterruptUs(fd, events, static_cast<int64_t>(ms < 0 ? 0 : ms) * 1000);
}

PollOutcome PollWithInterruptUs(int fd, short events, int64_t us) {
  Interrupter* self = CurrentInterrupter();
  if (self && self->Killed()) throw ThreadKilled{};
  pollfd fds[2] = {{fd, events, 0}, {-1, POLLIN, 0}};
  nfds_t count = 1;
  if (self && self->Native() >= 0) {
    fds[1].fd = static_cast<int>(self->Native());
    count = 2;
  }
  if (fd < 0) fds[0].events = 0;
  if (us < 0) us = 0;
  const timespec timeout{static_cast<time_t>(us / 1000000), static_cast<long>((us % 1000000) * 1000)};
  int rc;
  do {
    rc = ppoll(fds, count, &timeout, nullptr);
  } while (rc < 0 && errno == EINTR);
  if (self && count == 2 && (fds[1].revents & POLLIN)) {
    self->TakeWake();
    if (self->Killed()) throw ThreadKilled{};
    return PollOutcome::Woken;
  }
  if (rc > 0 && fd >= 0 && fds[0].revents != 0) {
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
      if (!(fds[0].revents & events)) return PollOutcome::HungUp;
    }
    return PollOutcome::Ready;
  }
  return PollOutcome::Timeout;
}

void SleepMs(int32_t ms) {
  const int32_t deadline = DeadlineAfter(ms > 0 ? ms : 0);
  do {
    PollWithInterrupt(-1, 0, RemainingMs(deadline));  // a wake is ignored here
  } while (RemainingMs(deadline) > 0);
}

WaitResult WaitForWake(int32_t ms) {
  switch (PollWithInterrupt(-1, 0, ms)) {
    case PollOutcome::Woken:
      return WaitResult::Woken;
    default:
      return WaitResult::Timeout;
  }
}

}  // namespace platform
