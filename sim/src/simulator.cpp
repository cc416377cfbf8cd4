// The instrument simulator's engine: one thread that owns the master side of
// a pseudo-terminal, decodes what the library writes on the slave side and
// answers as the instrument does, at the instrument's own pace.
#include "q583sim/simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

namespace q583sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBaudTable[6] = {9600, 4800, 2400, 1200, 600, 300};
constexpr uint8_t kPowerUpBaudIndex = 5;
// A partial packet, or a multi-packet data phase, is abandoned when the line
// has been quiet this long: the library writes the bytes of a packet (and the
// packets of a data phase) back to back, while its wake-up tries are about
// half a second apart, so a wake-up after a lost byte still gets through.
constexpr double kGapResetS = 0.45;
// Output queued beyond this is dropped (frames sent faster than the line).
constexpr size_t kMaxQueuedBytes = 1u << 20;
constexpr size_t kMaxLogEntries = 4u << 20;
constexpr double kMaxConversionS = 60.0;
constexpr double kTwoPi = 6.283185307179586;

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

// floor(log2(v)), 0 for 0 and 1.
uint8_t Log2Floor(uint32_t v) {
  uint8_t n = 0;
  while (v > 1) {
    v >>= 1;
    ++n;
  }
  return n;
}

void CloseFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

enum class Phase {
  WaitWake,    // powered up, asleep, or after a break: only 0x00 matters
  AfterWake,   // woken: the lone 0x88 comes next
  ExpectBaud,  // the baud index comes next
  ExpectZero,  // at the new rate: the lone 0x00 comes next
  SignOnData,  // the nine data packets
  RegisterData,  // the two register packets after 0x84
  Command,
};

struct OutByte {
  uint8_t value;
  uint32_t rate;  // the instrument's rate when it was queued
  double endS;    // when its last bit has left (pacing)
};

struct Delayed {
  double dueS;
  std::vector<uint8_t> bytes;
};

}  // namespace

struct Simulator::Impl {
  explicit Impl(const Options& o);
  ~Impl();

  void Run();
  void Wake() const {
    uint64_t one = 1;
    ssize_t r = write(eventFd, &one, sizeof one);
    (void)r;
  }

  // ---- called with mu held ----------------------------------------------
  double Now() const { return std::chrono::duration<double>(Clock::now() - t0).count(); }
  uint32_t LibraryBaud() const;
  uint8_t WordCount() const { return (st.modeRegMid & 0x80) ? 3 : 2; }
  bool Unipolar() const { return (st.modeRegMid & 0x10) != 0; }
  double TimeBase() const;
  double ConversionTimeS() const;
  double SignalVolts(int mainChannel, int subChannel, double t) const;
  int32_t CountFor(double volts) const;
  void AppendValue(std::vector<uint8_t>& out, int32_t count) const;

  void OnByte(uint8_t b, double now, uint32_t libBaud);
  void OnPacket(double now);
  void OnSignOnPacket(const Packet& p, double now);
  void OnRegisterPacket(const Packet& p, double now);
  void OnCommand(const Packet& p, double now);
  void StartOver(double now);  // 0x00 at a packet boundary
  void Break();
  void StopScan();
  void Enqueue(const std::vector<uint8_t>& bytes, double now);
  void Schedule(std::vector<uint8_t> bytes, double dueS, double now);
  // A reply of several parts (each at its own delay), through the faults set
  // for the command.  Returns false when the fault suppressed it entirely.
  bool Reply(uint8_t command, std::vector<std::pair<double, std::vector<uint8_t>>> parts, double now);
  bool TakeCommandFault(uint8_t command, CommandFault& out);
  static bool TakeCount(int& count);
  void RunTimers(double now);
  std::vector<uint8_t> BuildFrame(uint32_t index, double t);
  void FlushOutput(double now);
  double NextDeadline(double now) const;
  void DoHangUp();
  void ReadInput();
  // Takes in what the library has written so far, from any thread (with mu
  // held): an inspection right after an export returns sees its bytes.
  void SyncInput();
  void OnLineStatus(uint8_t status);
  void LogPacket(const Packet& p);
  void Trace(const char* dir, uint8_t v, double t, const char* note = "") const;

  Options opt;
  std::string path;
  int master = -1;
  int slave = -1;
  int eventFd = -1;
  Clock::time_point t0;
  std::thread thread;

  mutable std::mutex mu;
  mutable std::condition_variable cv;
  bool stopping = false;
  bool hangUpRequested = false;

  // Instrument.
  State st;
  Phase phase = Phase::WaitWake;
  uint8_t pkt[3] = {};
  int pktLen = 0;
  double lastByteS = -1e9;
  int dataPackets = 0;  // of the sign-on or register-data phase
  uint8_t timerLow = 0, timerMid = 0;
  int extExpect = 0;    // 0x07 packets still expected after a 0x01 with bit 7
  bool extAddress = false;
  int extRegister = 0;
  uint8_t extLow = 0;
  bool haveRegFault = false;
  CommandFault regFault;  // the 0x84 fault, carried to the read-back
  int regFaultBytesLeft = -1;
  double regEchoDueS = 0.0;

  // Scanning.
  double scanStartS = 0.0;
  double frameIntervalS = 0.0;
  uint8_t scanSub = 0;
  uint32_t nextFrame = 0;

  // Inputs.
  Signal inputs[8][16];
  double calOffsetVolts = 0.0;
  double calFullScaleVolts = 2.5;
  mutable std::mt19937 rng;

  // Version changes.
  bool versionArmed = false;
  uint8_t armedVersion = 0;
  uint32_t armedAfterSignOns = 0;
  uint32_t signOnsAtArm = 0;

  // Faults.
  bool noWakeReply = false;
  int replyToBaudChange = 0;
  int wrongBaudEcho = 0;
  int noBaudEcho = 0;
  int wrongRegisterEcho = 0;
  bool registerEchoHighBits = false;
  std::vector<CommandFault> commandFaults;
  std::vector<FrameFault> frameFaults;
  double frameIntervalOverrideS = 0.0;
  bool noStopEcho = false;
  double noiseRate = 0.0;
  double nextNoiseS = 0.0;

  // Line.
  // The rate the library's side is at, as last announced: packet mode on the
  // master reports each change of the slave's settings as a status byte
  // (EXTPROC is set on the slave for that).  Bytes already waiting when a
  // change is announced went out before it, at the old rate.
  uint32_t lineRate = 0;
  uint32_t oldRate = 0;
  int oldRateBytes = 0;
  uint64_t bytesIn = 0;
  std::deque<OutByte> out;
  std::vector<Delayed> delayed;
  double lineEndS = 0.0;
  bool wantWrite = false;

  // Logs.
  std::vector<ReceivedByte> received;
  std::vector<Packet> packets;
  std::vector<Packet> signOnPackets;
  std::vector<SentByte> sent;
};

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

double Simulator::Impl::TimeBase() const {
  const double base = st.extRegisters[0] == 10000 ? 4882.8125 : 3906.25;
  return base / std::ldexp(1.0, st.baudIndex);
}

double Simulator::Impl::ConversionTimeS() const {
  const uint32_t divider = ((st.modeRegMid & 7u) << 8) | st.modeRegLo;
  const double rate = divider ? 19531.25 / divider : 19531.25;
  const double average = std::ldexp(1.0, st.averagingCode);
  return std::min(average / rate, kMaxConversionS);
}

double Simulator::Impl::SignalVolts(int mainChannel, int subChannel, double t) const {
  if (mainChannel < 0 || mainChannel > 7 || subChannel < 0 || subChannel > 15) return 0.0;
  const Signal& s = inputs[mainChannel][subChannel];
  switch (s.kind) {
    case SignalKind::Constant: return s.offset;
    case SignalKind::Sine:
      return s.periodS > 0 ? s.offset + s.amplitude * std::sin(kTwoPi * t / s.periodS) : s.offset;
    case SignalKind::Ramp:
      return s.periodS > 0 ? s.offset + s.amplitude * std::fmod(t, s.periodS) / s.periodS : s.offset;
    case SignalKind::Noise: {
      std::uniform_real_distribution<double> d(-1.0, 1.0);
      return s.offset + s.amplitude * d(rng);
    }
  }
  return s.offset;
}

// The inverse of the library's decoding: mV = count * 0.0002980232 (x256 for
// 16-bit words), bipolar 2 * mV - 5000; volts = mV / 1000.  Rounded to the
// nearest count and held inside the word's range.
int32_t Simulator::Impl::CountFor(double volts) const {
  const uint8_t w = WordCount();
  const double step = 0.0002980232 * (w == 2 ? 256.0 : 1.0);
  const double mv = volts * 1000.0;
  double c = Unipolar() ? mv / step : (mv + 5000.0) / (2.0 * step);
  const double top = w == 2 ? 65535.0 : 16777215.0;
  if (!(c >= 0.0)) c = 0.0;  // also NaN
  c = std::min(std::round(c), top);
  return static_cast<int32_t>(c);
}

void Simulator::Impl::AppendValue(std::vector<uint8_t>& bytes, int32_t count) const {
  const uint8_t w = WordCount();
  for (uint8_t i = 0; i < w; ++i) bytes.push_back(static_cast<uint8_t>((static_cast<uint32_t>(count) >> (8 * i)) & 0xFF));
}

void Simulator::Impl::Trace(const char* dir, uint8_t v, double t, const char* note) const {
  if (!opt.trace) return;
  std::fprintf(stderr, "[%12.6f] %s 0x%02X%s\n", t, dir, v, note);
}

void Simulator::Impl::LogPacket(const Packet& p) {
  if (!opt.keepLog) return;
  auto& log = p.kind == PacketKind::SignOnData ? signOnPackets : packets;
  if (log.size() < kMaxLogEntries) log.push_back(p);
}

bool Simulator::Impl::TakeCount(int& count) {
  if (count == 0) return false;
  if (count > 0) --count;
  return true;
}

// ---- output ---------------------------------------------------------------

void Simulator::Impl::Enqueue(const std::vector<uint8_t>& bytes, double now) {
  if (master < 0) return;
  for (uint8_t v : bytes) {
    if (out.size() >= kMaxQueuedBytes) return;
    double end = now;
    if (opt.pacing) {
      // The instrument's UART sends at its own rate, ten bits a byte.
      end = std::max(lineEndS, now) + 10.0 / st.baud;
      lineEndS = end;
    }
    out.push_back({v, st.baud, end});
  }
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
  uint8_t buf[4096];
  while (!out.empty()) {
    const OutByte& front = out.front();
    if (opt.pacing && front.endS > now) return;
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
      if (n == sizeof buf || (opt.pacing && b.endS > now) || b.rate != libBaud) break;
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

// ---- replies and faults ---------------------------------------------------

bool Simulator::Impl::TakeCommandFault(uint8_t command, CommandFault& f) {
  for (auto& c : commandFaults) {
    if (c.command != command || c.kind == ReplyFault::None || c.count == 0) continue;
    if (c.count > 0) --c.count;
    f = c;
    return true;
  }
  return false;
}

bool Simulator::Impl::Reply(uint8_t command, std::vector<std::pair<double, std::vector<uint8_t>>> parts,
                            double now) {
  CommandFault f;
  if (TakeCommandFault(command, f)) {
    switch (f.kind) {
      case ReplyFault::None: break;
      case ReplyFault::NoReply: return false;
      case ReplyFault::Late:
        for (auto& p : parts) p.first += f.delayMs / 1000.0;
        break;
      case ReplyFault::WrongEcho:
        for (auto& p : parts)
          if (!p.second.empty()) {
            p.second[0] = f.echo;
            break;
          }
        break;
      case ReplyFault::Cut: {
        int left = std::max(0, f.cutAfter);
        for (auto& p : parts) {
          if (static_cast<int>(p.second.size()) > left) p.second.resize(static_cast<size_t>(left));
          left -= static_cast<int>(p.second.size());
        }
        break;
      }
    }
  }
  for (auto& p : parts) Schedule(std::move(p.second), now + p.first, now);
  return true;
}

// ---- input ----------------------------------------------------------------

void Simulator::Impl::Break() {
  ++st.breaks;
  StopScan();
  st.baud = kBaudTable[kPowerUpBaudIndex];
  st.baudIndex = kPowerUpBaudIndex;
  st.awake = false;
  st.commandMode = false;
  phase = Phase::WaitWake;
  pktLen = 0;
  extExpect = 0;
}

void Simulator::Impl::StopScan() {
  st.scanning = false;
  st.scanCommand = 0;
}

void Simulator::Impl::StartOver(double now) {
  // A new sign-on begins: whatever ran is abandoned.
  StopScan();
  pktLen = 0;
  extExpect = 0;
  st.asleep = false;
  st.commandMode = false;
  if (versionArmed && st.signOns - signOnsAtArm >= armedAfterSignOns) {
    st.version = armedVersion;
    versionArmed = false;
  }
  if (noWakeReply) {
    phase = Phase::WaitWake;
    return;
  }
  st.awake = true;
  ++st.wakeUps;
  phase = Phase::AfterWake;
  Enqueue({0x03}, now);
}

void Simulator::Impl::OnByte(uint8_t b, double now, uint32_t libBaud) {
  ++bytesIn;
  if (opt.keepLog && received.size() < kMaxLogEntries) received.push_back({b, now, libBaud});
  if (opt.trace) {
    char note[48];
    std::snprintf(note, sizeof note, " at %u baud (instrument at %u)", libBaud, st.baud);
    Trace("RX", b, now, note);
  }
  cv.notify_all();
  if (libBaud != st.baud) {
    // Not understood at this rate.  A 0x00 at a lower rate holds the line
    // low for longer than a whole character of the instrument: a break,
    // which puts the instrument back at 300 baud, waiting for a wake-up.
    if (b == 0x00 && libBaud != 0 && libBaud < st.baud)
      Break();
    else
      ++st.notUnderstood;
    return;
  }
  // In the register phase the library only goes on once it has the echo,
  // which a fault may have held back: count the quiet time from then.
  const double quietSince = phase == Phase::RegisterData ? std::max(lastByteS, regEchoDueS) : lastByteS;
  const bool gap = now - quietSince > kGapResetS;
  lastByteS = now;
  if (gap) {
    pktLen = 0;
    if (phase == Phase::SignOnData || phase == Phase::RegisterData) {
      // The data phase was abandoned by the library: back to commands when
      // the registers were loaded before, else to waiting for a wake-up.
      phase = phase == Phase::RegisterData ? Phase::Command : Phase::WaitWake;
      if (phase == Phase::WaitWake) st.commandMode = false;
    }
  }
  switch (phase) {
    case Phase::WaitWake:
      if (b == 0x00) StartOver(now);
      return;
    case Phase::AfterWake:
      if (b == 0x00) {
        StartOver(now);
      } else if (b == 0x88) {
        phase = Phase::ExpectBaud;
        if (TakeCount(replyToBaudChange)) {
          // The line must stay quiet here; this instrument does not, and
          // forgets the exchange.
          Enqueue({0x88}, now);
          phase = Phase::WaitWake;
        }
      }
      return;
    case Phase::ExpectBaud:
      if (TakeCount(noBaudEcho)) {
        phase = Phase::WaitWake;
        return;
      }
      if (TakeCount(wrongBaudEcho)) {
        Enqueue({static_cast<uint8_t>(b ^ 0x01)}, now);
        phase = Phase::WaitWake;
        return;
      }
      // The echo still goes out at the old rate; then the instrument moves.
      Enqueue({b}, now);
      if (b < 6) {
        st.baudIndex = b;
        st.baud = kBaudTable[b];
        phase = Phase::ExpectZero;
      } else {
        phase = Phase::WaitWake;
      }
      return;
    case Phase::ExpectZero:
      if (b == 0x00) {
        phase = Phase::SignOnData;
        dataPackets = 0;
        pktLen = 0;
      }
      return;
    case Phase::SignOnData:
    case Phase::RegisterData:
    case Phase::Command:
      if (phase == Phase::Command && pktLen == 0 && b == 0x00) {
        StartOver(now);
        return;
      }
      pkt[pktLen++] = b;
      if (pktLen == 3) {
        pktLen = 0;
        OnPacket(now);
      }
      return;
  }
}

void Simulator::Impl::OnPacket(double now) {
  Packet p;
  p.first = pkt[0];
  p.data = pkt[1];
  p.sum = pkt[2];
  p.checksumOk = static_cast<uint8_t>(pkt[0] + pkt[1]) == pkt[2];
  p.timeS = now;
  p.kind = phase == Phase::SignOnData     ? PacketKind::SignOnData
           : phase == Phase::RegisterData ? PacketKind::RegisterData
                                          : PacketKind::Command;
  LogPacket(p);
  if (!p.checksumOk) {
    ++st.badChecksums;
    return;
  }
  switch (phase) {
    case Phase::SignOnData: OnSignOnPacket(p, now); break;
    case Phase::RegisterData: OnRegisterPacket(p, now); break;
    default: OnCommand(p, now); break;
  }
}

void Simulator::Impl::OnSignOnPacket(const Packet& p, double now) {
  switch (dataPackets++) {
    case 0:
      st.modeRegHi = p.first;
      st.modeRegMid = p.data;
      st.standby = (p.first & 1) != 0;
      break;
    case 1: st.modeRegLo = p.first; break;
    case 2:
      st.averagingCode = Log2Floor(p.first);
      st.filter = p.data;
      break;
    case 3: {
      std::vector<uint8_t> echo = {st.modeRegHi, st.modeRegMid, st.modeRegLo};
      if (registerEchoHighBits) echo[0] |= 0xE0;
      if (TakeCount(wrongRegisterEcho)) echo[1] ^= 0x08;
      Enqueue(echo, now);
      break;
    }
    case 4:
      timerLow = p.first;
      timerMid = p.data;
      break;
    case 5:
      st.timerCount = (static_cast<uint32_t>(p.first) << 16) | (static_cast<uint32_t>(timerMid) << 8) | timerLow;
      st.channelCodes[0] = p.data;
      break;
    case 6:
      st.channelCodes[1] = p.first;
      st.channelCodes[2] = p.data;
      break;
    case 7:
      st.channelCodes[3] = p.first;
      st.channelCodes[4] = p.data;
      break;
    default:
      st.channelCodes[5] = p.first;
      phase = Phase::Command;
      st.commandMode = true;
      ++st.signOns;
      cv.notify_all();
      break;
  }
}

void Simulator::Impl::OnRegisterPacket(const Packet& p, double now) {
  if (dataPackets++ == 0) {
    st.modeRegHi = p.first;
    st.modeRegMid = p.data;
    st.standby = (p.first & 1) != 0;
    return;
  }
  st.modeRegLo = p.first;
  phase = Phase::Command;
  std::vector<uint8_t> echo = {st.modeRegHi, st.modeRegMid, st.modeRegLo};
  if (registerEchoHighBits) echo[0] |= 0xE0;
  if (haveRegFault) {
    haveRegFault = false;
    if (regFault.kind == ReplyFault::NoReply) return;
    if (regFault.kind == ReplyFault::Cut) echo.resize(static_cast<size_t>(std::clamp(regFaultBytesLeft, 0, 3)));
    if (regFault.kind == ReplyFault::Late) {
      Schedule(echo, now + regFault.delayMs / 1000.0, now);
      return;
    }
  }
  Schedule(echo, now, now);
}

void Simulator::Impl::OnCommand(const Packet& p, double now) {
  const uint8_t c = p.first;
  const uint8_t d = p.data;
  if (c != 0x07) {
    // Any other command ends an extended-register sequence.
    if (!(c == 0x01 && (d & 0x80))) extExpect = 0;
  }
  switch (c) {
    case 0x01:
      if (d & 0x80) {
        if ((d & 7) == 7) {
          extAddress = true;  // the address byte follows
          extExpect = 1;
        } else if (d & 4) {
          extAddress = false;
          extRegister = d & 3;
          extExpect = 2;  // low, then high
        }
      } else {
        st.selectedChannel = d;
      }
      break;
    case 0x07:
      if (extExpect <= 0) break;
      if (extAddress) {
        extRegister = d >> 6;
        extExpect = 0;
      } else if (extExpect == 2) {
        extLow = d;
        extExpect = 1;
      } else {
        if (extRegister >= 0 && extRegister < 3) st.extRegisters[extRegister] = d * 256 + extLow;
        extExpect = 0;
      }
      break;
    case 0x02:
      st.digitalOutput = d;
      if (st.digitalOutputs.size() < kMaxLogEntries) st.digitalOutputs.push_back(d);
      break;
    case 0x04: st.averagingCode = d; break;
    case 0x80: Reply(0x80, {{0.0, {0x80, opt.digitalInput}}}, now); break;
    case 0x81: {
      ++st.conversions;
      const int mainCh = (st.selectedChannel >> 4) & 7;
      const int subCh = st.selectedChannel & 15;
      const double t = ConversionTimeS();
      std::vector<uint8_t> value;
      AppendValue(value, CountFor(SignalVolts(mainCh, subCh, now + t)));
      Reply(0x81, {{0.0, {0x81}}, {t, value}}, now);
      break;
    }
    case 0x82:
    case 0x83: {
      ++st.calibrations;
      std::vector<uint8_t> bytes = {c};
      AppendValue(bytes, CountFor(c == 0x82 ? calOffsetVolts : calFullScaleVolts));
      Reply(c, {{ConversionTimeS(), bytes}}, now);
      break;
    }
    case 0x84: {
      phase = Phase::RegisterData;
      dataPackets = 0;
      regEchoDueS = now;
      CommandFault f;
      haveRegFault = TakeCommandFault(0x84, f);
      if (!haveRegFault) {
        Enqueue({0x84}, now);
        break;
      }
      regFault = f;
      regFaultBytesLeft = 3;
      switch (f.kind) {
        case ReplyFault::NoReply: break;
        case ReplyFault::Late:
          regEchoDueS = now + f.delayMs / 1000.0;
          Schedule({0x84}, regEchoDueS, now);
          break;
        case ReplyFault::WrongEcho: Enqueue({f.echo}, now); break;
        case ReplyFault::Cut:
          if (f.cutAfter >= 1) Enqueue({0x84}, now);
          regFaultBytesLeft = f.cutAfter - 1;
          break;
        case ReplyFault::None: Enqueue({0x84}, now); break;
      }
      break;
    }
    case 0x86: Reply(0x86, {{0.0, {0x86, st.version}}}, now); break;
    case 0x88:
      StopScan();
      Reply(0x88, {{0.0, {0x80}}}, now);
      st.asleep = true;
      st.awake = false;
      st.commandMode = false;
      phase = Phase::WaitWake;
      break;
    case 0x89:
    case 0x8B:
    case 0x8C: {
      Reply(c, {{0.0, {c}}}, now);
      // An echo lost on the line does not stop the instrument: it scans.
      st.scanning = true;
      st.scanCommand = c;
      st.framesSent = 0;
      scanSub = d;
      scanStartS = now;
      nextFrame = 0;
      frameIntervalS = frameIntervalOverrideS > 0 ? frameIntervalOverrideS : (st.timerCount + 1.0) / TimeBase();
      st.frameIntervalS = frameIntervalS;
      cv.notify_all();
      break;
    }
    case 0x8A:
      StopScan();
      cv.notify_all();
      // The echo goes behind the frame bytes already on the way.
      if (!noStopEcho) Reply(0x8A, {{0.0, {0x8A}}}, now);
      break;
    default: break;  // unknown commands are ignored
  }
}

// ---- timers ---------------------------------------------------------------

std::vector<uint8_t> Simulator::Impl::BuildFrame(uint32_t index, double t) {
  std::vector<uint8_t> f;
  if (st.scanCommand == 0x8B) {
    AppendValue(f, CountFor(SignalVolts((st.selectedChannel >> 4) & 7, scanSub & 15, t)));
  } else {
    f.push_back(0xF0);
    if (st.scanCommand == 0x8C) {
      AppendValue(f, CountFor(calOffsetVolts));
      AppendValue(f, CountFor(calFullScaleVolts));
    }
    for (int m = 0; m < 6; ++m) {
      const uint8_t code = st.channelCodes[m];
      if (code == 16) continue;
      for (int s = code >> 4; s <= (code & 15); ++s) AppendValue(f, CountFor(SignalVolts(m, s, t)));
    }
    f.push_back(static_cast<uint8_t>(index & 0xFF));
  }
  // Frame faults hit one frame each, once.
  for (auto it = frameFaults.begin(); it != frameFaults.end();) {
    if (it->frameIndex != index) {
      ++it;
      continue;
    }
    const bool marked = st.scanCommand != 0x8B;
    switch (it->kind) {
      case FrameFaultKind::WrongMarker:
        if (marked) f[0] = 0xF1;
        break;
      case FrameFaultKind::DropByte:
        if (!f.empty()) f.erase(f.begin() + (marked && f.size() > 1 ? 1 : 0));
        break;
      case FrameFaultKind::AddByte:
        if (marked)
          f.insert(f.begin() + 1, 0x5A);
        else
          f.push_back(0x5A);
        break;
    }
    it = frameFaults.erase(it);
  }
  return f;
}

void Simulator::Impl::RunTimers(double now) {
  while (!delayed.empty() && delayed.front().dueS <= now) {
    Enqueue(delayed.front().bytes, now);
    delayed.erase(delayed.begin());
  }
  if (st.scanning && frameIntervalS > 0) {
    bool any = false;
    for (;;) {
      const double t = (nextFrame + 1.0) * frameIntervalS;  // absolute schedule
      if (scanStartS + t > now) break;
      Enqueue(BuildFrame(nextFrame, t), now);
      ++nextFrame;
      ++st.framesSent;
      any = true;
    }
    if (any) cv.notify_all();
  }
  if (noiseRate > 0 && master >= 0) {
    std::exponential_distribution<double> gapDist(noiseRate);
    if (nextNoiseS <= 0) nextNoiseS = now + gapDist(rng);
    while (nextNoiseS <= now) {
      std::uniform_int_distribution<int> byteDist(0, 255);
      Enqueue({static_cast<uint8_t>(byteDist(rng))}, now);
      nextNoiseS += gapDist(rng);
    }
  }
}

double Simulator::Impl::NextDeadline(double now) const {
  double next = now + 3600.0;
  if (!out.empty() && !wantWrite) next = std::min(next, opt.pacing ? out.front().endS : now);
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

// ---- the public class -----------------------------------------------------

Simulator::Simulator(const Options& options) : impl_(std::make_unique<Impl>(options)) {}
Simulator::~Simulator() = default;

const std::string& Simulator::DevicePath() const { return impl_->path; }

namespace {
bool ValidInput(int m, int s) { return m >= 0 && m < 8 && s >= 0 && s < 16; }
}  // namespace

void Simulator::SetInput(int mainChannel, int subChannel, const Signal& signal) {
  if (!ValidInput(mainChannel, subChannel)) return;
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->inputs[mainChannel][subChannel] = signal;
}

void Simulator::SetCalibrationReadings(double offsetVolts, double fullScaleVolts) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->calOffsetVolts = offsetVolts;
  impl_->calFullScaleVolts = fullScaleVolts;
}

void Simulator::SetDigitalInput(uint8_t value) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->opt.digitalInput = value;
}

void Simulator::SetVersion(uint8_t version) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->st.version = version;
  impl_->opt.version = version;
}

void Simulator::SetVersionAtNextSignOn(uint8_t version) { SetVersionAfterSignOns(0, version); }

void Simulator::SetVersionAfterSignOns(uint32_t completedSignOns, uint8_t version) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->versionArmed = true;
  impl_->armedVersion = version;
  impl_->armedAfterSignOns = completedSignOns;
  impl_->signOnsAtArm = impl_->st.signOns;
}

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

void Simulator::SetNoWakeReply(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->noWakeReply = on;
}

void Simulator::SetReplyToBaudChange(int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->replyToBaudChange = count;
}

void Simulator::SetWrongBaudEcho(int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->wrongBaudEcho = count;
}

void Simulator::SetNoBaudEcho(int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->noBaudEcho = count;
}

void Simulator::SetWrongRegisterEcho(int count) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->wrongRegisterEcho = count;
}

void Simulator::SetRegisterEchoHighBits(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->registerEchoHighBits = on;
}

void Simulator::AddCommandFault(const CommandFault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->commandFaults.push_back(fault);
}

void Simulator::AddFrameFault(const FrameFault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->frameFaults.push_back(fault);
}

void Simulator::SetFrameIntervalOverride(double intervalS) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->frameIntervalOverrideS = intervalS > 0 ? intervalS : 0.0;
}

void Simulator::SetNoStopEcho(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->noStopEcho = on;
}

void Simulator::SetLineNoise(double bytesPerSecond) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->noiseRate = bytesPerSecond > 0 ? bytesPerSecond : 0.0;
    impl_->nextNoiseS = 0.0;
  }
  impl_->Wake();
}

void Simulator::HangUp() {
  std::unique_lock<std::mutex> lock(impl_->mu);
  if (impl_->st.hungUp) return;
  impl_->hangUpRequested = true;
  impl_->Wake();
  // The simulator's thread closes the descriptors itself (it may be polling
  // them); wait until it has.
  impl_->cv.wait(lock, [this] { return impl_->st.hungUp || impl_->stopping; });
}

void Simulator::ClearFaults() {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    auto& i = *impl_;
    i.noWakeReply = false;
    i.replyToBaudChange = 0;
    i.wrongBaudEcho = 0;
    i.noBaudEcho = 0;
    i.wrongRegisterEcho = 0;
    i.registerEchoHighBits = false;
    i.commandFaults.clear();
    i.frameFaults.clear();
    i.frameIntervalOverrideS = 0.0;
    i.noStopEcho = false;
    i.noiseRate = 0.0;
    i.versionArmed = false;
  }
  impl_->Wake();
}

std::vector<ReceivedByte> Simulator::Received() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->received;
}

std::vector<uint8_t> Simulator::ReceivedValues() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  std::vector<uint8_t> v;
  v.reserve(impl_->received.size());
  for (const auto& r : impl_->received) v.push_back(r.value);
  return v;
}

std::vector<Packet> Simulator::Packets() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->packets;
}

std::vector<Packet> Simulator::SignOnPackets() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->signOnPackets;
}

std::vector<SentByte> Simulator::Sent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->sent;
}

State Simulator::GetState() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->st;
}

uint32_t Simulator::FramesSent() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->st.framesSent;
}

void Simulator::ClearLog() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  impl_->received.clear();
  impl_->packets.clear();
  impl_->signOnPackets.clear();
  impl_->sent.clear();
  impl_->st.digitalOutputs.clear();
}

bool Simulator::WaitForFrames(uint32_t n, int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return impl_->st.framesSent >= n; });
}

bool Simulator::WaitForScanning(bool scanning, int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return impl_->st.scanning == scanning; });
}

bool Simulator::WaitForSignOns(uint32_t n, int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return impl_->st.signOns >= n; });
}

bool Simulator::WaitForReceived(size_t n, int ms) const {
  std::unique_lock<std::mutex> lock(impl_->mu);
  impl_->SyncInput();
  return impl_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return impl_->received.size() >= n; });
}

double Simulator::InputVolts(int mainChannel, int subChannel, double tS) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->SignalVolts(mainChannel, subChannel, tS);
}

int32_t Simulator::VoltsToCount(double volts) const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->CountFor(volts);
}

}  // namespace q583sim
