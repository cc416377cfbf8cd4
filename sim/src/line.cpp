// The line: the pseudo-terminal the simulator owns, the rates of its two
// sides, the paced output, and the thread that serves them.
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "simulator_impl.h"

namespace q583sim {

using namespace detail;

namespace {

// Output queued beyond this is dropped (frames sent faster than the line).
constexpr size_t kMaxQueuedBytes = 1u << 20;
// An adapter sends what waits at once when this much has gathered.
constexpr size_t kLatencyChunk = 4096;

uint32_t SpeedToBaud(speed_t s) {
  switch (s) {
    case B50: return 50;
    case B75: return 75;
    case B110: return 110;
    case B134: return 134;
    case B150: return 150;
    case B200: return 200;
    case B300: return 300;
    case B600: return 600;
    case B1200: return 1200;
    case B1800: return 1800;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    case B230400: return 230400;
    default: return 0;
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

Simulator::Impl::Impl(const Options& o) : opt(o), t0(Clock::now()), rng(o.seed) {
  st.version = opt.version;
  st.baud = kBaudTable[kPowerUpBaudIndex];
  st.baudIndex = kPowerUpBaudIndex;

  master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) throw std::runtime_error("q583sim: posix_openpt failed");
  char name[128] = {};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
    CloseFd(master);
    throw std::runtime_error("q583sim: cannot prepare the pseudo-terminal");
  }
  path = name;
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  // The simulator keeps the slave side open itself (never reading or writing
  // it) so that the master sees no hang-up while the library closes and
  // reopens its port during a sign-on, and so that the line settings the
  // library made survive between its opens.
  slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    CloseFd(master);
    throw std::runtime_error("q583sim: cannot open the slave side");
  }
  // Raw from the start: a line discipline echoing what the instrument sends
  // back to it would be a fault of the line, not of the library.
  // EXTPROC makes the kernel announce every change of the line settings to
  // the master in packet mode; clients keep it as they modify the settings
  // they read (cfmakeraw leaves it alone).
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_lflag |= EXTPROC;
    tcsetattr(slave, TCSANOW, &tio);
  }
  int on = 1;
  if (ioctl(master, TIOCPKT, &on) != 0) {
    CloseFd(slave);
    CloseFd(master);
    throw std::runtime_error("q583sim: packet mode refused");
  }
  lineRate = LibraryBaud();
  eventFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (eventFd < 0) {
    CloseFd(slave);
    CloseFd(master);
    throw std::runtime_error("q583sim: eventfd failed");
  }
  thread = std::thread([this] { Run(); });
}

Simulator::Impl::~Impl() {
  {
    std::lock_guard<std::mutex> lock(mu);
    stopping = true;
  }
  Wake();
  if (thread.joinable()) thread.join();
  CloseFd(slave);
  CloseFd(master);
  CloseFd(eventFd);
}

uint32_t Simulator::Impl::LibraryBaud() const {
  if (master < 0) return 0;
  termios tio{};
  // On the master, tcgetattr reports the slave's settings: the rate the
  // library set on its side.
  if (tcgetattr(master, &tio) != 0) return 0;
  return SpeedToBaud(cfgetospeed(&tio));
}

void Simulator::Impl::Trace(const char* dir, uint8_t v, double t, const char* note) const {
  if (!opt.trace) return;
  std::fprintf(stderr, "[%12.6f] %s 0x%02X%s\n", t, dir, v, note);
}

// ---- output ----------------------------------------------------------------

void Simulator::Impl::Push(uint8_t v, double now) {
  // The instrument's UART sends at its own rate, ten bits a byte; a split
  // frame's hold moves lineEndS on as well.
  double end = std::max(lineEndS, now);
  if (opt.pacing) end += 10.0 / st.baud;
  lineEndS = end;
  out.push_back({v, st.baud, end});
}

void Simulator::Impl::Enqueue(const std::vector<uint8_t>& bytes, double now) {
  if (master < 0) return;
  ReleaseHeld();
  for (uint8_t v : bytes) {
    if (out.size() >= kMaxQueuedBytes) return;
    Push(v, now);
  }
}

void Simulator::Impl::EnqueueFrame(const std::vector<uint8_t>& bytes, double now) {
  if (master < 0) return;
  const size_t before = out.size();
  for (size_t i = 0; i < bytes.size() && out.size() < kMaxQueuedBytes; ++i) {
    // The rest of a split frame leaves splitGapS after the frame is due (a
    // burst is split as a whole, below).
    if (splitAt > 0 && burstFrames < 2 && i == splitAt) lineEndS = std::max(lineEndS, now + splitGapS);
    Push(bytes[i], now);
  }
  if (burstFrames < 2) return;
  heldBytes += out.size() - before;
  if ((nextFrame + 1) % burstFrames != 0) {
    for (size_t i = out.size() - heldBytes; i < out.size(); ++i) out[i].endS = kHeldS;
    return;
  }
  const size_t held = std::min(heldBytes, out.size());
  ReleaseHeld();
  // A split burst: its first splitAt bytes as released, the rest of all its
  // frames together splitGapS later.
  if (splitAt == 0 || held <= splitAt) return;
  lineEndS += splitGapS;
  for (size_t i = out.size() - held + splitAt; i < out.size(); ++i) out[i].endS = lineEndS;
}

void Simulator::Impl::ReleaseHeld() {
  // Held bytes go out together, once the newest of them has left the UART.
  if (heldBytes == 0) return;
  heldBytes = std::min(heldBytes, out.size());
  for (size_t i = out.size() - heldBytes; i < out.size(); ++i) out[i].endS = lineEndS;
  heldBytes = 0;
}

double Simulator::Impl::DeliveryS(double readyS) const {
  if (latencyMs <= 0 || readyS >= kHeldS) return readyS;
  const double tick = latencyMs * 1e-3;
  return std::ceil(readyS / tick - 1e-9) * tick;
}

void Simulator::Impl::Schedule(std::vector<uint8_t> bytes, double dueS, double now) {
  if (bytes.empty()) return;
  if (dueS <= now && delayed.empty()) {
    Enqueue(bytes, now);
    return;
  }
  // Later parts never overtake earlier ones: the instrument answers in order.
  if (!delayed.empty()) dueS = std::max(dueS, delayed.back().dueS);
  delayed.push_back({dueS, std::move(bytes)});
}

void Simulator::Impl::FlushOutput(double now) {
  wantWrite = false;
  if (master < 0) return;
  const uint32_t libBaud = out.empty() ? 0 : LibraryBaud();
  // A full chunk leaves the adapter before its latency timer runs out.
  size_t ready = 0;
  while (latencyMs > 0 && ready < out.size() && ready < kLatencyChunk && out[ready].endS <= now) ++ready;
  const bool chunk = ready >= kLatencyChunk;
  auto due = [&](const OutByte& b) { return (chunk ? b.endS : DeliveryS(b.endS)) <= now; };
  uint8_t buf[4096];
  while (!out.empty()) {
    const OutByte& front = out.front();
    if (!due(front)) return;
    if (front.rate != libBaud) {
      // Sent while the two sides were at different rates: the library's
      // UART makes nothing of it.
      ++st.notUnderstood;
      Trace("TX", front.value, now, " (lost: the rates differ)");
      if (opt.keepLog && sent.size() < kMaxLogEntries) sent.push_back({front.value, now, true});
      out.pop_front();
      continue;
    }
    size_t n = 0;
    for (const OutByte& b : out) {
      if (n == sizeof buf || !due(b) || b.rate != libBaud) break;
      buf[n++] = b.value;
    }
    const ssize_t r = write(master, buf, n);
    if (r < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // The library is not reading and the pty is full: keep the output
        // queued (input is still read meanwhile) and wait until it drains.
        wantWrite = true;
        return;
      }
      out.erase(out.begin(), out.begin() + static_cast<long>(n));  // nobody on the line
      return;
    }
    for (ssize_t i = 0; i < r; ++i) {
      Trace("TX", out.front().value, now);
      if (opt.keepLog && sent.size() < kMaxLogEntries) sent.push_back({out.front().value, now, false});
      out.pop_front();
    }
    if (static_cast<size_t>(r) < n) {
      wantWrite = true;
      return;
    }
  }
}

double Simulator::Impl::NextDeadline(double now) const {
  double next = now + 3600.0;
  if (!out.empty() && !wantWrite) next = std::min(next, DeliveryS(out.front().endS));
  if (!delayed.empty()) next = std::min(next, delayed.front().dueS);
  if (st.scanning && frameIntervalS > 0) next = std::min(next, scanStartS + (nextFrame + 1.0) * frameIntervalS);
  if (noiseRate > 0 && master >= 0 && nextNoiseS > 0) next = std::min(next, nextNoiseS);
  return next;
}

void Simulator::Impl::DoHangUp() {
  // The adapter is gone: both ends of the line close.
  CloseFd(slave);
  CloseFd(master);
  StopScan();
  out.clear();
  heldBytes = 0;
  delayed.clear();
  wantWrite = false;
  st.hungUp = true;
  st.commandMode = false;
  st.awake = false;
  cv.notify_all();
}

void Simulator::Impl::OnLineStatus(uint8_t status) {
  if (!(status & (TIOCPKT_IOCTL | TIOCPKT_FLUSHWRITE))) return;
  const uint32_t now = LibraryBaud();
  if (now == lineRate) return;
  if (status & TIOCPKT_FLUSHWRITE) {
    // The library purged its output after the change (it does so after
    // every open): what is waiting now is taken at the new rate.
    oldRateBytes = 0;
  } else {
    // Changed, not yet purged: the bytes waiting were written before.
    int pending = 0;
    if (ioctl(master, FIONREAD, &pending) == 0 && pending > 0) {
      if (oldRateBytes == 0) oldRate = lineRate;
      oldRateBytes = pending;
    }
  }
  lineRate = now;
}

void Simulator::Impl::SyncInput() {
  if (master < 0) return;
  const uint64_t before = bytesIn;
  ReadInput();
  // Replies may be due now: let the thread send them.
  if (bytesIn != before) Wake();
}

void Simulator::Impl::ReadInput() {
  // Let the library reopen its port even when it asked for exclusive use:
  // this side's own open keeps the terminal's exclusive flag alive between
  // the library's opens, and a non-root reopen would fail.
  if (geteuid() != 0 && slave >= 0) (void)ioctl(slave, TIOCNXCL);
  uint8_t buf[4097];
  for (;;) {
    const ssize_t n = read(master, buf, sizeof buf);
    if (n <= 0) return;
    if (buf[0] != TIOCPKT_DATA) {
      OnLineStatus(buf[0]);
      continue;
    }
    const double now = Now();
    // A client that dropped EXTPROC changes the rate unannounced: then the
    // rate at the time of reading is all there is to go by.
    termios tio{};
    if (tcgetattr(master, &tio) == 0 && !(tio.c_lflag & EXTPROC) && oldRateBytes == 0)
      lineRate = SpeedToBaud(cfgetospeed(&tio));
    for (ssize_t i = 1; i < n; ++i) {
      uint32_t rate = lineRate;
      if (oldRateBytes > 0) {
        rate = oldRate;
        --oldRateBytes;
      }
      OnByte(buf[i], now, rate);
    }
  }
}

void Simulator::Impl::Run() {
  // The instrument keeps its time to the microsecond (a split frame's rest
  // some microseconds after its head): its wake-ups are not batched.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  for (;;) {
    pollfd fds[2];
    int nfds = 0;
    timespec ts{};
    {
      std::lock_guard<std::mutex> lock(mu);
      if (stopping) return;
      const double now = Now();
      const double wait = std::max(0.0, NextDeadline(now) - now);
      // Round up so that a wake-up never comes early and the loop never
      // polls with nothing due.
      const double us = std::ceil(wait * 1e6);
      ts.tv_sec = static_cast<time_t>(us / 1e6);
      ts.tv_nsec = static_cast<long>((us - ts.tv_sec * 1e6) * 1000.0);
      fds[nfds++] = {eventFd, POLLIN, 0};
      if (master >= 0) fds[nfds++] = {master, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
    }
    int r = ppoll(fds, static_cast<nfds_t>(nfds), &ts, nullptr);
    if (r < 0 && errno != EINTR) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // should not happen; never spin
      continue;
    }
    std::lock_guard<std::mutex> lock(mu);
    if (stopping) return;
    if (fds[0].revents & POLLIN) {
      uint64_t v;
      ssize_t n = read(eventFd, &v, sizeof v);
      (void)n;
    }
    if (hangUpRequested) {
      hangUpRequested = false;
      DoHangUp();
      continue;
    }
    if (master >= 0 && nfds > 1 && fds[1].revents) {
      const short re = fds[1].revents;
      if (re & POLLIN) {
        ReadInput();
      } else if (re & (POLLHUP | POLLERR | POLLNVAL)) {
        // With our own slave descriptor open this does not happen; if it
        // does, the line is gone.
        DoHangUp();
        continue;
      }
    }
    const double now = Now();
    RunTimers(now);
    FlushOutput(now);
  }
}

// ---- the public class: construction and line switches ----------------------

Simulator::Simulator(const Options& options) : impl_(std::make_unique<Impl>(options)) {}
Simulator::~Simulator() = default;

const std::string& Simulator::DevicePath() const { return impl_->path; }

void Simulator::SetPacing(bool on) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->opt.pacing = on;
  }
  impl_->Wake();
}

void Simulator::SetTrace(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->opt.trace = on;
}

}  // namespace q583sim
