// The replay of a wire trace.  The trace's "<" lines are the instrument's
// replies, its ">" lines what the host sent.  Each reply goes out once the
// host has sent every byte recorded before it, as long after the event
// before it (that byte, or the reply before it) as in the recording: a reply
// never overtakes the request it answers, and the frames of a scan keep
// their spacing.  Each byte the host sends is compared with the next
// one recorded; the first that differs ends the replay.
#include "replay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

namespace q583sim {
namespace {

// How much sooner than recorded a reply to the host may go out, at most.
constexpr double kMostEarlyS = 0.05;
// Replies due this close together go out in one write: a host that read
// byte by byte what had come in one piece leaves reads microseconds apart.
constexpr double kTogetherS = 0.001;

struct HostByte {
  uint8_t value;
  double t;     // seconds into the recording
  size_t line;  // of the trace
};

struct Reply {
  std::vector<uint8_t> bytes;
  double t;
  size_t after;  // host bytes recorded before it
};

struct Recording {
  std::vector<HostByte> sent;
  std::vector<Reply> replies;
};

// Reads the trace; false with the reason in error.
bool ReadTrace(const std::string& path, Recording& rec, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = "cannot read " + path;
    return false;
  }
  size_t number = 0;
  for (std::string text; std::getline(in, text);) {
    ++number;
    std::istringstream fields(text);
    std::string time, kind;
    if (!(fields >> time) || time[0] == '#') continue;
    const auto bad = [&](const std::string& why) {
      error = path + ":" + std::to_string(number) + ": " + why;
      return false;
    };
    char* end = nullptr;
    const double t = std::strtod(time.c_str(), &end);
    if (*end != '\0' || !std::isfinite(t) || !(fields >> kind)) return bad("not a time and an event");
    if (kind != ">" && kind != "<") {
      if (kind == "open" || kind == "line" || kind == "close" || kind == "end") continue;
      return bad("unknown event " + kind);
    }
    std::vector<uint8_t> bytes;
    for (std::string hex; fields >> hex;) {
      const unsigned long v = std::strtoul(hex.c_str(), &end, 16);
      if (hex.size() != 2 || *end != '\0') return bad("not a byte: " + hex);
      bytes.push_back(static_cast<uint8_t>(v));
    }
    if (bytes.empty()) return bad("no bytes");
    if (kind == "<") {
      rec.replies.push_back({bytes, t, rec.sent.size()});
    } else {
      for (uint8_t v : bytes) rec.sent.push_back({v, t, number});
    }
  }
  return true;
}

// A pseudo-terminal as the simulator keeps one: raw, the slave side held
// open (the host may close and reopen its port), in packet mode so that each
// change of the host's line settings wakes this side.
struct Pty {
  int master = -1, slave = -1;
  std::string path;

  bool Open() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    char name[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0)
      return false;
    path = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios tio{};
    if (slave < 0 || tcgetattr(slave, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_lflag |= EXTPROC;
    int on = 1;
    return tcsetattr(slave, TCSANOW, &tio) == 0 && ioctl(master, TIOCPKT, &on) == 0;
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

std::string Hex(uint8_t v) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", v);
  return text;
}

class Replayer {
 public:
  Replayer(const Recording& rec, Pty& pty, bool trace) : rec_(rec), pty_(pty), trace_(trace) {
    arrivals_.reserve(rec.sent.size());
  }

  // Serves the line until a stop signal (read from signalFd) or a
  // difference; returns the exit status.
  int Run(int signalFd) {
    for (;;) {
      const double wait = SendDue();
      const double ns = std::ceil(wait * 1e9);
      const timespec ts{static_cast<time_t>(ns / 1e9), static_cast<long>(std::fmod(ns, 1e9))};
      pollfd fds[2] = {{signalFd, POLLIN, 0},
                       {pty_.master, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0}};
      if (ppoll(fds, 2, wait < 0 ? nullptr : &ts, nullptr) < 0 && errno != EINTR)
        return Say(1, std::string("poll failed: ") + std::strerror(errno));
      if (fds[0].revents & POLLIN) return Verdict();
      if ((fds[1].revents & POLLIN) && !ReadHost()) return 1;
    }
  }

 private:
  double Now() const { return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count(); }

  int Say(int status, const std::string& text) const {
    std::fprintf(stderr, "q583-sim: replay: %s\n", text.c_str());
    return status;
  }

  // When reply i is due, on this side's clock: as long after the event
  // recorded last before it (the host's byte it answers, or the reply before
  // it when the host sent nothing between) as in the recording.  A reply to
  // the host goes out somewhat sooner: the trace has the time the host read
  // it, which may be long after it came (a host that sleeps a fixed time,
  // then reads), and a reply later than that would meet a host that has
  // given up on it.  The host must have sent every byte recorded before it.
  double Due(size_t i) const {
    const Reply& r = rec_.replies[i];
    if (i > 0 && rec_.replies[i - 1].after == r.after) return sentAt_ + std::max(0.0, r.t - rec_.replies[i - 1].t);
    if (r.after == 0) return r.t;  // before any request: from the replay's start
    const double gap = std::max(0.0, r.t - rec_.sent[r.after - 1].t);
    return arrivals_[r.after - 1] + gap - std::min(gap / 2, kMostEarlyS);
  }

  // Writes what is due; returns seconds until the next reply is due (-1:
  // none can be until the host sends more).
  double SendDue() {
    Flush();
    while (out_.empty() && next_ < rec_.replies.size() && rec_.replies[next_].after <= arrivals_.size()) {
      const double now = Now();
      const double due = Due(next_);
      if (due > now + kTogetherS) return due - now;
      const Reply& r = rec_.replies[next_++];
      // The instrument's clock, not the line's: a reply that went out late
      // (or a little early) moves none after it.
      sentAt_ = due;
      if (trace_)
        for (uint8_t v : r.bytes) std::fprintf(stderr, "[%12.6f] TX 0x%02X\n", now, v);
      out_.insert(out_.end(), r.bytes.begin(), r.bytes.end());
      Flush();
    }
    return -1;
  }

  void Flush() {
    while (!out_.empty()) {
      const ssize_t n = write(pty_.master, out_.data(), out_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // full: the poll waits for room
      out_.erase(out_.begin(), out_.begin() + n);
    }
  }

  // Takes what the host wrote; false at the first byte that differs.
  bool ReadHost() {
    // The host opens its port exclusively; this side's own descriptor keeps
    // that flag alive between the host's opens, so it is taken back here.
    if (geteuid() != 0) (void)ioctl(pty_.slave, TIOCNXCL);
    uint8_t buf[4097];
    for (;;) {
      const ssize_t n = read(pty_.master, buf, sizeof buf);
      if (n <= 0) return true;
      if (buf[0] != TIOCPKT_DATA) continue;  // a change of the line settings
      const double now = Now();
      for (ssize_t i = 1; i < n; ++i) {
        if (trace_) std::fprintf(stderr, "[%12.6f] RX 0x%02X\n", now, buf[i]);
        const size_t at = arrivals_.size();
        if (at == rec_.sent.size()) {
          Say(1, "the host's byte " + std::to_string(at) + " differs: expected nothing (the recording ends after " +
                     std::to_string(at) + " bytes), came " + Hex(buf[i]));
          return false;
        }
        const HostByte& want = rec_.sent[at];
        if (buf[i] != want.value) {
          char when[160];
          std::snprintf(when, sizeof when, " (trace line %zu, %.6f s into the recording; %.6f s into the replay)",
                        want.line, want.t, now);
          Say(1, "the host's byte " + std::to_string(at) + " differs: expected " + Hex(want.value) + ", came " +
                     Hex(buf[i]) + when);
          return false;
        }
        arrivals_.push_back(now);
      }
    }
  }

  int Verdict() const {
    const size_t got = arrivals_.size(), want = rec_.sent.size();
    const std::string played =
        "; " + std::to_string(next_) + " of its " + std::to_string(rec_.replies.size()) + " replies played";
    if (got < want)
      return Say(1, "the host stopped short: " + std::to_string(got) + " of the recording's " + std::to_string(want) +
                        " bytes came; byte " + std::to_string(got) + " (trace line " +
                        std::to_string(rec_.sent[got].line) + ") expected " + Hex(rec_.sent[got].value) + played);
    return Say(0, "the host sent the recording's " + std::to_string(want) + " bytes and no other" + played);
  }

  const Recording& rec_;
  Pty& pty_;
  const bool trace_;
  const std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
  std::vector<double> arrivals_;  // of each host byte taken, on this side's clock
  size_t next_ = 0;               // the next reply
  double sentAt_ = 0;             // when the last reply was due
  std::vector<uint8_t> out_;      // written in part (the line was full)
};

}  // namespace

int RunReplay(const std::string& tracePath, const std::string& link, const sigset_t& stopSignals, bool trace) {
  Recording rec;
  std::string error;
  if (!ReadTrace(tracePath, rec, error)) {
    std::fprintf(stderr, "q583-sim: %s\n", error.c_str());
    return 2;
  }
  Pty pty;
  const int signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (!pty.Open() || signalFd < 0) {
    std::fprintf(stderr, "q583-sim: cannot prepare the pseudo-terminal: %s\n", std::strerror(errno));
    return 1;
  }
  if (!link.empty()) {
    unlink(link.c_str());  // a stale link of an earlier run
    if (symlink(pty.path.c_str(), link.c_str()) != 0) {
      std::fprintf(stderr, "q583-sim: cannot create %s: %s\n", link.c_str(), std::strerror(errno));
      return 1;
    }
  }
  std::printf("%s\n", pty.path.c_str());
  std::fflush(stdout);
  const int status = Replayer(rec, pty, trace).Run(signalFd);
  close(signalFd);
  if (!link.empty()) unlink(link.c_str());
  return status;
}

}  // namespace q583sim
