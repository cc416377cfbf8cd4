// POSIX serial ports: termios in raw mode, non-blocking descriptors, and
// waits that block in poll() instead of spinning.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/serial.h>
#endif

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>

#include "platform/posix/posix_internal.h"

namespace platform {

namespace {
std::mutex gMapMutex;
std::map<int, std::string> gDeviceMap;  // port number -> device path
std::map<PortHandle, uint32_t> gBaud;    // open port -> bit rate
// When the last byte written to each open port has left on the line, by the
// line rate: the driver's own count does not cover a UART's FIFO, and a
// pseudo-terminal has no output queue at all, so a close could otherwise cut
// off (or a rate change garble) what was written last.
std::map<PortHandle, int64_t> gLineFreeAt;  // MonotonicMicros()
std::map<PortHandle, LowLatency> gLowLatency;  // open port -> the request's outcome
std::map<PortHandle, uint32_t> gRxCapacity;    // open port -> most unread bytes (0: unknown)

// Asks the driver to pass received bytes on at once (ASYNC_LOW_LATENCY).
// Only that flag changes; a driver that refuses (a pseudo-terminal, a
// driver without TIOCGSERIAL) leaves the port as it was.
LowLatency RequestLowLatency(int fd) {
#if defined(__linux__)
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return LowLatency::Refused;
  if ((serial.flags & ASYNC_LOW_LATENCY) != 0) return LowLatency::AlreadySet;
  serial.flags |= ASYNC_LOW_LATENCY;
  if (ioctl(fd, TIOCSSERIAL, &serial) != 0) return LowLatency::Refused;
  return LowLatency::Set;
#else
  (void)fd;
  return LowLatency::Unavailable;
#endif
}

// Takes back a request that was taken, so that the port is left as it was
// found for the next program (the flag outlives the descriptor).
void ReleaseLowLatency(int fd) {
#if defined(__linux__)
  serial_struct serial{};
  if (ioctl(fd, TIOCGSERIAL, &serial) != 0) return;
  serial.flags &= ~ASYNC_LOW_LATENCY;
  (void)ioctl(fd, TIOCSSERIAL, &serial);
#else
  (void)fd;
#endif
}

speed_t SpeedFor(uint32_t baud, bool& ok) {
  ok = true;
  switch (baud) {
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    default: ok = false; return B0;
  }
}

// Modem-control lines: a pseudo-terminal has none and answers ENOTTY or
// EINVAL, which counts as success; any other refusal is a failure.
bool ModemLine(int fd, unsigned long request, int bits) {
  if (ioctl(fd, request, &bits) == 0) return true;
  return errno == ENOTTY || errno == EINVAL;
}

int Fd(PortHandle port) { return static_cast<int>(port); }

// Microseconds one byte takes on the line (ten bits).
int64_t ByteMicros(PortHandle port) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  auto it = gBaud.find(port);
  uint32_t baud = (it != gBaud.end() && it->second) ? it->second : 9600;
  return 10'000'000 / baud;
}

// Notes one more byte on its way out.
void NoteByteWritten(PortHandle port) {
  const int64_t byteUs = ByteMicros(port);
  std::lock_guard<std::mutex> lock(gMapMutex);
  int64_t& freeAt = gLineFreeAt[port];
  const int64_t now = MonotonicMicros();
  freeAt = (freeAt > now ? freeAt : now) + byteUs;
}

int64_t LineFreeAt(PortHandle port) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  auto it = gLineFreeAt.find(port);
  return it != gLineFreeAt.end() ? it->second : 0;
}

uint32_t InQueue(int fd) {
  int n = 0;
  if (ioctl(fd, FIONREAD, &n) != 0 || n < 0) return 0;
  return static_cast<uint32_t>(n);
}

// The most unread bytes a tty holds: its line discipline's buffer of 4096
// bytes, one of which it keeps free.
constexpr uint32_t kTtyReceiveCapacity = 4095;

// True when the port has hung up or failed: nothing more will come.
bool PortGone(int fd) {
  pollfd p{fd, POLLIN, 0};
  int rc;
  do {
    rc = poll(&p, 1, 0);
  } while (rc < 0 && errno == EINTR);
  return rc < 0 || (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}
}  // namespace

std::string PortDevice(int comPort) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  auto it = gDeviceMap.find(comPort);
  if (it != gDeviceMap.end()) return it->second;
  return "/dev/ttyS" + std::to_string(comPort);
}

void SetPortDevice(int comPort, const std::string& device) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  if (device.empty())
    gDeviceMap.erase(comPort);
  else
    gDeviceMap[comPort] = device;
}

PortHandle OpenPort(int comPort) {
  const std::string path = PortDevice(comPort);
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return kInvalidPort;
  // No sharing: a second open of the same port (by this or another process)
  // fails, as it does on Windows.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return kInvalidPort;
  }
  // What never changes for an open port is asked once, here.
  const bool tty = isatty(fd) != 0;
  if (tty) (void)ioctl(fd, TIOCEXCL);
  const LowLatency lowLatency = RequestLowLatency(fd);
  std::lock_guard<std::mutex> lock(gMapMutex);
  gBaud[fd] = 0;
  gLowLatency[fd] = lowLatency;
  gRxCapacity[fd] = tty ? kTtyReceiveCapacity : 0;
  return fd;
}

LowLatency PortLowLatency(PortHandle port) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  const auto it = gLowLatency.find(port);
  return it != gLowLatency.end() ? it->second : LowLatency::Unavailable;
}

bool SetLine(PortHandle port, uint32_t baud) {
  const int fd = Fd(port);
  bool ok = false;
  speed_t speed = SpeedFor(baud, ok);
  if (port == kInvalidPort || !ok) return false;
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return false;
  cfmakeraw(&tio);
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  tio.c_cflag |= CS8 | CLOCAL | CREAD;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) return false;
  if (tcsetattr(fd, TCSANOW, &tio) != 0) return false;
  if (!ModemLine(fd, TIOCMBIS, TIOCM_DTR) || !ModemLine(fd, TIOCMBIC, TIOCM_RTS)) return false;
  std::lock_guard<std::mutex> lock(gMapMutex);
  gBaud[port] = baud;
  return true;
}

bool SetQueues(PortHandle port, uint32_t, uint32_t) {
  // The tty driver's queues have fixed sizes; the sizes are kept by the
  // caller for its own checks.
  return port != kInvalidPort && fcntl(Fd(port), F_GETFD) != -1;
}

bool SetImmediateReads(PortHandle port) {
  if (port == kInvalidPort) return false;
  termios tio{};
  if (tcgetattr(Fd(port), &tio) != 0) return false;
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return tcsetattr(Fd(port), TCSANOW, &tio) == 0;
}

void ClosePort(PortHandle port, int32_t drainTimeoutMs) {
  if (port == kInvalidPort) return;
  const int fd = Fd(port);
  // Let written bytes go out first: a close may discard them otherwise.
  // Wait for the driver's queue and for the line time of the last bytes.
  const int64_t deadline = MonotonicMicros() + static_cast<int64_t>(drainTimeoutMs > 0 ? drainTimeoutMs : 0) * 1000;
  const int64_t lineFree = LineFreeAt(port);
  for (;;) {
    int pending = 0;
    if (ioctl(fd, TIOCOUTQ, &pending) != 0) pending = 0;
    const int64_t now = MonotonicMicros();
    if ((pending <= 0 && now >= lineFree) || now >= deadline) break;
    int64_t waitUs = pending > 0 ? ByteMicros(port) * pending : lineFree - now;
    if (waitUs < 1000) waitUs = 1000;
    if (waitUs > deadline - now) waitUs = deadline - now;
    usleep(static_cast<useconds_t>(waitUs));
  }
  if (PortLowLatency(port) == LowLatency::Set) ReleaseLowLatency(fd);
  {
    std::lock_guard<std::mutex> lock(gMapMutex);
    gBaud.erase(port);
    gLineFreeAt.erase(port);
    gLowLatency.erase(port);
    gRxCapacity.erase(port);
  }
  flock(fd, LOCK_UN);
  close(fd);
}

bool WriteByte(PortHandle port, uint8_t value) {
  if (port == kInvalidPort) return false;
  ssize_t n;
  do {
    n = write(Fd(port), &value, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 1) return false;
  NoteByteWritten(port);
  return true;
}

bool ReadByte(PortHandle port, uint8_t& value) {
  return ReadBytes(port, &value, 1) == 1;
}

int ReadBytes(PortHandle port, uint8_t* buffer, int n) {
  if (port == kInvalidPort || n <= 0) return 0;
  ssize_t got;
  do {
    got = read(Fd(port), buffer, static_cast<size_t>(n));
  } while (got < 0 && errno == EINTR);
  if (got > 0) return static_cast<int>(got);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
  // EIO (hung up), EBADF and the like; a read of 0 from a non-blocking tty
  // with nothing waiting is only "none" while the line is still up.
  if (got == 0 && !PortGone(Fd(port))) return 0;
  return -1;
}

WaitResult WaitReadable(PortHandle port, int32_t ms, uint32_t minBytes) {
  if (minBytes == 0) minBytes = 1;
  const int32_t deadline = DeadlineAfter(ms > 0 ? ms : 0);
  bool firstRest = true;
  for (;;) {
    CheckKilled();
    // One count a round, and every decision of the round made on it: bytes
    // that arrive after it are seen by the next round's count, never taken
    // as part of this one's arithmetic.
    const uint32_t have = port != kInvalidPort ? InQueue(Fd(port)) : 0;
    if (have >= minBytes) return WaitResult::Ready;
    const int32_t left = RemainingMs(deadline);
    if (left <= 0) return WaitResult::Timeout;
    PollOutcome outcome;
    if (port == kInvalidPort) {
      outcome = PollWithInterrupt(-1, 0, left);
    } else if (have == 0) {
      outcome = PollWithInterrupt(Fd(port), POLLIN, left);
      // A tty that has hung up polls readable from then on with nothing to
      // read: taken as readable, the wait would spin to its time-out.
      if (outcome == PollOutcome::Ready && InQueue(Fd(port)) == 0 && PortGone(Fd(port))) outcome = PollOutcome::HungUp;
    } else {
      // Part of what is wanted is here: sleep about as long as the rest
      // takes on the line instead of waking for every byte.  The margin
      // covers the other side's own scheduling.  When the last byte or two
      // are late all the same, look again in short steps rather than a
      // whole byte time, so that a late byte is not also taken late.  The
      // port stays watched meanwhile: a hang-up ends the sleep.
      constexpr int64_t kMarginUs = 150;
      constexpr int64_t kLateStepUs = 200;
      const uint32_t missing = minBytes - have;
      const int64_t restUs = ByteMicros(port) * missing;
      int64_t sleepUs = firstRest ? restUs + kMarginUs : (missing <= 2 ? std::min(restUs, kLateStepUs) : restUs);
      firstRest = false;
      if (sleepUs > static_cast<int64_t>(left) * 1000) sleepUs = static_cast<int64_t>(left) * 1000;
      outcome = PollWithInterruptUs(Fd(port), 0, sleepUs);
    }
    if (outcome == PollOutcome::Woken) return WaitResult::Woken;
    if (outcome == PollOutcome::HungUp) {
      // The other side is gone; nothing more will come.
      return InQueue(Fd(port)) >= minBytes ? WaitResult::Ready : WaitResult::Lost;
    }
  }
}

WaitResult WaitWritable(PortHandle port, int32_t ms) {
  if (port == kInvalidPort) {
    return PollWithInterrupt(-1, 0, ms) == PollOutcome::Woken ? WaitResult::Woken : WaitResult::Timeout;
  }
  switch (PollWithInterrupt(Fd(port), POLLOUT, ms)) {
    case PollOutcome::Ready: return WaitResult::Ready;
    case PollOutcome::Woken: return WaitResult::Woken;
    case PollOutcome::HungUp: return WaitResult::Lost;
    default: return WaitResult::Timeout;
  }
}

bool GetComStatus(PortHandle port, ComStatus& status) {
  if (port == kInvalidPort) return false;
  int in = 0, out = 0;
  if (ioctl(Fd(port), FIONREAD, &in) != 0) return false;
  // Bytes still waiting are read first; after them a hung-up port fails.
  if (in <= 0 && PortGone(Fd(port))) return false;
  status.rxCapacity = ReceiveCapacity(port);
  if (ioctl(Fd(port), TIOCOUTQ, &out) != 0) out = 0;
  status.cbInQue = in > 0 ? static_cast<uint32_t>(in) : 0;
  status.cbOutQue = out > 0 ? static_cast<uint32_t>(out) : 0;
  return true;
}

bool PurgePort(PortHandle port) {
  return port != kInvalidPort && tcflush(Fd(port), TCIOFLUSH) == 0;
}

int ReadWaiting(PortHandle port, uint8_t* buffer, int room, uint32_t& waiting) {
  // A read of a non-blocking tty returns all that is waiting: what it read
  // is the count, and only a read that filled the room asks for the rest.
  const int got = ReadBytes(port, buffer, room);
  waiting = got > 0 ? static_cast<uint32_t>(got) : 0U;
  if (got > 0 && got == room) waiting += InQueue(Fd(port));
  return got;
}

uint32_t ReceiveCapacity(PortHandle port) {
  std::lock_guard<std::mutex> lock(gMapMutex);
  const auto it = gRxCapacity.find(port);
  return it != gRxCapacity.end() ? it->second : 0;
}

int64_t LineByteMicros(PortHandle port) { return ByteMicros(port); }

WaitResult WaitReceive(PortHandle port, int64_t us, bool anyByte) {
  CheckKilled();
  if (port == kInvalidPort) {
    return PollWithInterruptUs(-1, 0, us) == PollOutcome::Woken ? WaitResult::Woken : WaitResult::Timeout;
  }
  // Without anyByte the port is still watched: a hang-up ends the sleep.
  switch (PollWithInterruptUs(Fd(port), anyByte ? POLLIN : 0, us)) {
    case PollOutcome::Woken: return WaitResult::Woken;
    case PollOutcome::Timeout: return WaitResult::Timeout;
    // What came before the hang-up is still read; a hung-up tty that polls
    // readable with nothing to read shows as lost at that read.
    case PollOutcome::HungUp: return InQueue(Fd(port)) > 0 ? WaitResult::Ready : WaitResult::Lost;
    default: return WaitResult::Ready;
  }
}

}  // namespace platform
