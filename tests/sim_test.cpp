// The instrument simulator on its own: a raw termios client on the slave side
// talks the protocol byte by byte, and the simulator's inspection interface
// is checked against what went over the line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "q583sim/simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using q583sim::Simulator;

// The library's side of the line, reduced to raw reads and writes.
class RawLine {
 public:
  explicit RawLine(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  ~RawLine() {
    if (fd_ >= 0) close(fd_);
  }
  RawLine(const RawLine&) = delete;
  RawLine& operator=(const RawLine&) = delete;

  bool ok() const { return fd_ >= 0; }

  bool SetBaud(speed_t speed) {
    termios tio{};
    if (tcgetattr(fd_, &tio) != 0) return false;
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    // As the library does after every change: purge, then talk.
    return tcsetattr(fd_, TCSANOW, &tio) == 0 && tcflush(fd_, TCIOFLUSH) == 0;
  }

  void Write(const Bytes& bytes) { ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size())); }
  void Packet(uint8_t first, uint8_t data) { Write({first, data, static_cast<uint8_t>(first + data)}); }

  // Up to n bytes, waiting at most ms for them.
  Bytes Read(size_t n, int ms) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < n) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
      if (left <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      if (p.revents & (POLLHUP | POLLERR)) {
        hungUp_ = true;
        break;
      }
      uint8_t buf[256];
      const ssize_t r = read(fd_, buf, std::min(sizeof buf, n - got.size()));
      if (r <= 0) {
        if (r == 0 || errno == EIO) {
          hungUp_ = true;
          break;
        }
        continue;
      }
      got.insert(got.end(), buf, buf + r);
    }
    return got;
  }
  bool hungUp() const { return hungUp_; }

 private:
  int fd_;
  bool hungUp_ = false;
};

struct SignOnParams {
  speed_t speed = B9600;
  uint8_t baudIndex = 0;
  // Registers: gain code 0 (a first byte of 0x00 must be taken as data),
  // 24-bit, bipolar, divider 195 (about 100 conversions a second).
  uint8_t hi = 0x00, mid = 0x80, lo = 0xC3;
  uint8_t average = 1, filter = 2;
  uint32_t timerCount = 194;  // (194 + 1) / 3906.25 = 49.92 ms at 9600 baud
  uint8_t codes[6] = {0x01, 16, 0x33, 16, 16, 16};
};

// The whole sign-on exchange, checking every reply on the way.
void SignOn(RawLine& line, const SignOnParams& p = {}) {
  ASSERT_TRUE(line.SetBaud(B300));
  line.Write({0x00});
  ASSERT_EQ(line.Read(1, 1000), Bytes{0x03});
  line.Write({0x88});
  ASSERT_TRUE(line.Read(1, 300).empty()) << "the lone 0x88 gets no reply";
  line.Write({p.baudIndex});
  ASSERT_EQ(line.Read(1, 1000), Bytes{p.baudIndex});
  ASSERT_TRUE(line.SetBaud(p.speed));
  line.Write({0x00});
  line.Packet(p.hi, p.mid);
  line.Packet(p.lo, 0x00);
  line.Packet(p.average, p.filter);
  line.Packet(0x00, 0x00);
  ASSERT_EQ(line.Read(3, 1000), (Bytes{p.hi, p.mid, p.lo}));
  line.Packet(p.timerCount & 0xFF, (p.timerCount >> 8) & 0xFF);
  line.Packet((p.timerCount >> 16) & 0xFF, p.codes[0]);
  line.Packet(p.codes[1], p.codes[2]);
  line.Packet(p.codes[3], p.codes[4]);
  line.Packet(p.codes[5], 0x00);
}

// The library's decoding of a count, in volts.
double Decode(uint32_t count, int wordCnt, bool bipolar) {
  double mv = count * 0.0002980232;
  if (wordCnt == 2) mv *= 256;
  if (bipolar) mv = 2 * mv - 5000.0;
  return mv * 0.001;
}

uint32_t Le(const Bytes& b, size_t at, int w) {
  uint32_t v = 0;
  for (int i = w - 1; i >= 0; --i) v = v * 256 + b[at + static_cast<size_t>(i)];
  return v;
}

class SimLine : public ::testing::Test {
 protected:
  void SetUp() override {
    q583sim::Options o;
    o.pacing = Pacing();
    sim_ = std::make_unique<Simulator>(o);
    line_ = std::make_unique<RawLine>(sim_->DevicePath());
    ASSERT_TRUE(line_->ok());
  }
  virtual bool Pacing() const { return true; }
  Simulator& sim() { return *sim_; }
  RawLine& line() { return *line_; }

  std::unique_ptr<Simulator> sim_;
  std::unique_ptr<RawLine> line_;
};

TEST_F(SimLine, SignOnLoadsRegistersTimerAndCodes) {
  SignOn(line());
  ASSERT_TRUE(sim().WaitForSignOns(1, 2000));
  const q583sim::State s = sim().GetState();
  EXPECT_TRUE(s.commandMode);
  EXPECT_EQ(s.baud, 9600u);
  EXPECT_EQ(s.modeRegHi, 0x00);
  EXPECT_EQ(s.modeRegMid, 0x80);
  EXPECT_EQ(s.modeRegLo, 0xC3);
  EXPECT_EQ(s.filter, 2);
  EXPECT_EQ(s.timerCount, 194u);
  EXPECT_EQ(s.channelCodes[0], 0x01);
  EXPECT_EQ(s.channelCodes[2], 0x33);
  EXPECT_EQ(s.channelCodes[5], 16);
  EXPECT_EQ(sim().SignOnPackets().size(), 9u);
  EXPECT_TRUE(sim().Packets().empty()) << "sign-on data packets are not commands";

  // The received log carries the line rate of each byte.
  const auto rx = sim().Received();
  ASSERT_GE(rx.size(), 4u);
  EXPECT_EQ(rx[0].value, 0x00);
  EXPECT_EQ(rx[0].baud, 300u);
  EXPECT_EQ(rx.back().baud, 9600u);
}

TEST_F(SimLine, CommandsAnswerAsTheTableSays) {
  SignOn(line());
  sim().SetVersion(123);
  line().Packet(0x86, 0x00);
  EXPECT_EQ(line().Read(2, 1000), (Bytes{0x86, 123}));

  // Single conversion of the selected channel: echo, then three bytes LSB first.
  sim().SetInput(1, 2, {q583sim::SignalKind::Constant, -1.234});
  line().Packet(0x01, 0x12);
  line().Packet(0x81, 0x00);
  Bytes conv = line().Read(4, 2000);
  ASSERT_EQ(conv.size(), 4u);
  EXPECT_EQ(conv[0], 0x81);
  EXPECT_NEAR(Decode(Le(conv, 1, 3), 3, true), -1.234, 1e-6);
  EXPECT_EQ(sim().GetState().selectedChannel, 0x12);

  line().Packet(0x80, 0x4C);
  sim().SetDigitalInput(0x5A);
  // (the reply was built when the request came; ask again for the new byte)
  line().Read(2, 1000);
  line().Packet(0x80, 0x4C);
  EXPECT_EQ(line().Read(2, 1000), (Bytes{0x80, 0x5A}));

  // Calibrations: the command and wordCnt bytes; 16-bit after a register write.
  line().Packet(0x82, 0x70);
  EXPECT_EQ(line().Read(10, 500).size(), 4u);
  line().Packet(0x84, 0x00);
  EXPECT_EQ(line().Read(1, 1000), Bytes{0x84});
  line().Packet(0x00, 0x10);  // first byte 0x00: data, not a wake-up
  line().Packet(0xC3, 0x00);
  EXPECT_EQ(line().Read(3, 1000), (Bytes{0x00, 0x10, 0xC3}));
  line().Packet(0x83, 0x60);
  const Bytes cal = line().Read(10, 500);
  ASSERT_EQ(cal.size(), 3u);
  EXPECT_EQ(cal[0], 0x83);

  // Extended registers: the model code 10000 and 1, as the library writes them.
  auto writeExt = [&](int reg, uint8_t low, uint8_t high) {
    line().Packet(0x01, 0x87);
    line().Packet(0x07, static_cast<uint8_t>(reg * 64 + 48 + (reg == 0 ? 4 : 2)));
    line().Packet(0x01, static_cast<uint8_t>(0x84 | reg));
    line().Packet(0x07, low);
    line().Packet(0x07, high);
  };
  writeExt(0, 0x10, 0x27);
  writeExt(2, 0x01, 0x00);
  line().Packet(0x02, 0xA5);
  line().Packet(0x04, 0x03);
  line().Write({0x81, 0x00, 0x00});  // bad checksum: ignored
  EXPECT_TRUE(line().Read(1, 300).empty());
  line().Packet(0x88, 0x00);
  EXPECT_EQ(line().Read(1, 500), Bytes{0x80});

  const q583sim::State s = sim().GetState();
  EXPECT_EQ(s.extRegisters[0], 10000);
  EXPECT_EQ(s.extRegisters[2], 1);
  EXPECT_EQ(s.selectedChannel, 0x12) << "extended-register selects leave the channel alone";
  EXPECT_EQ(s.digitalOutput, 0xA5);
  EXPECT_EQ(s.averagingCode, 3);
  EXPECT_EQ(s.badChecksums, 1u);
  EXPECT_EQ(s.conversions, 1u);
  EXPECT_EQ(s.calibrations, 2u);
  EXPECT_TRUE(s.asleep);
  EXPECT_FALSE(s.commandMode);
  bool sawBad = false;
  for (const auto& p : sim().Packets()) sawBad |= !p.checksumOk && p.first == 0x81;
  EXPECT_TRUE(sawBad);
  const auto pk = sim().Packets();
  int registerData = 0;
  for (const auto& p : pk) registerData += p.kind == q583sim::PacketKind::RegisterData;
  EXPECT_EQ(registerData, 2);
}

TEST_F(SimLine, MultiChannelFramesCarryValuesCounterAndDiginBetween) {
  SignOn(line());
  sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 1.0});
  sim().SetInput(0, 1, {q583sim::SignalKind::Constant, -2.0});
  sim().SetInput(2, 3, {q583sim::SignalKind::Ramp, 0.0, 1.0, 100.0});
  line().Packet(0x89, 0x00);
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x89});
  const size_t frameLen = 1 + 3 * 3 + 1;
  for (uint32_t k = 0; k < 3; ++k) {
    const Bytes f = line().Read(frameLen, 1000);
    ASSERT_EQ(f.size(), frameLen);
    EXPECT_EQ(f[0], 0xF0);
    EXPECT_NEAR(Decode(Le(f, 1, 3), 3, true), 1.0, 1e-6);
    EXPECT_NEAR(Decode(Le(f, 4, 3), 3, true), -2.0, 1e-6);
    // The ramp at the frame's scheduled time (k + 1) * interval.
    const double t = (k + 1) * 195 / 3906.25;
    EXPECT_NEAR(Decode(Le(f, 7, 3), 3, true), t / 100.0, 1e-6);
    EXPECT_EQ(f[10], k) << "trailing byte counts the frames";
  }
  line().Packet(0x80, 0x4C);
  // The reply comes whole between two frames.
  Bytes rest = line().Read(2 * frameLen + 2, 1000);
  ASSERT_EQ(rest.size(), 2 * frameLen + 2);
  const size_t at = rest[0] == 0x80 ? 0 : frameLen;
  EXPECT_EQ(rest[at], 0x80);
  EXPECT_EQ(rest[at + 1], 0x00);

  line().Packet(0x8A, 0x00);
  ASSERT_TRUE(sim().WaitForScanning(false, 1000));
  const Bytes tail = line().Read(1000, 400);
  ASSERT_FALSE(tail.empty());
  EXPECT_EQ(tail.back(), 0x8A) << "the stop echo follows the frames on the way";
  EXPECT_EQ(tail.size() % frameLen, 1u) << "only whole frames before the echo";
  EXPECT_NEAR(sim().GetState().frameIntervalS, 195 / 3906.25, 1e-12);
}

TEST_F(SimLine, OtherScanTypesAndTheModelTimeBase) {
  SignOnParams p;
  p.mid = 0x10;  // 16-bit, unipolar
  SignOn(line(), p);
  sim().SetCalibrationReadings(0.5, 4.0);
  sim().SetInput(0, 5, {q583sim::SignalKind::Constant, 3.0});
  line().Packet(0x8C, 0x00);
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x8C});
  const Bytes f = line().Read(1 + 2 * 2 + 3 * 2 + 1, 1000);
  ASSERT_EQ(f.size(), 12u);
  EXPECT_EQ(f[0], 0xF0);
  EXPECT_NEAR(Decode(Le(f, 1, 2), 2, false), 0.5, 1e-4);
  EXPECT_NEAR(Decode(Le(f, 3, 2), 2, false), 4.0, 1e-4);
  line().Packet(0x8A, 0x00);
  line().Read(1000, 300);

  // Single channel: the selected channel's value alone, W bytes.  With the
  // model code in the extended registers the time base is 4882.8125 Hz.
  line().Packet(0x01, 0x87);
  line().Packet(0x07, 0x34);
  line().Packet(0x01, 0x84);
  line().Packet(0x07, 0x10);
  line().Packet(0x07, 0x27);
  line().Packet(0x01, 0x05);
  line().Packet(0x8B, 0x05);
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x8B});
  const Bytes v = line().Read(2, 1000);
  ASSERT_EQ(v.size(), 2u);
  EXPECT_NEAR(Decode(Le(v, 0, 2), 2, false), 3.0, 1e-4);
  EXPECT_NEAR(sim().GetState().frameIntervalS, 195 / 4882.8125, 1e-12);
  EXPECT_EQ(sim().GetState().scanCommand, 0x8B);
}

TEST_F(SimLine, SlowZeroIsABreakAndZeroAtABoundaryStartsOver) {
  // A 0x00 at 300 baud reaching the instrument at 9600: no reply, back to
  // 300 and waiting; the next try wakes it.
  SignOn(line());
  ASSERT_TRUE(sim().WaitForSignOns(1, 1000));
  ASSERT_TRUE(line().SetBaud(B300));
  line().Write({0x00});
  EXPECT_TRUE(line().Read(1, 400).empty());
  EXPECT_EQ(sim().GetState().baud, 300u);
  EXPECT_EQ(sim().GetState().breaks, 1u);

  // Awake again (the sign-on's first 0x00 now wakes it at 300).
  SignOn(line());
  ASSERT_TRUE(sim().WaitForSignOns(2, 1000));
  line().Packet(0x89, 0x00);
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x89});
  // At the instrument's rate, 0x00 at a packet boundary starts over, even
  // while scanning.
  line().Write({0x00});
  ASSERT_TRUE(sim().WaitForScanning(false, 1000));
  const Bytes got = line().Read(1000, 300);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), 0x03);
  EXPECT_FALSE(sim().GetState().commandMode);

  // A byte at a rate the instrument is not at is not understood.
  const uint32_t before = sim().GetState().notUnderstood;
  ASSERT_TRUE(line().SetBaud(B1200));
  line().Write({0x88});
  line().Write({0x01});
  EXPECT_TRUE(line().Read(1, 300).empty());
  EXPECT_EQ(sim().GetState().notUnderstood, before + 2);
}

TEST_F(SimLine, SignOnFaults) {
  sim().SetReplyToBaudChange(1);
  ASSERT_TRUE(line().SetBaud(B300));
  line().Write({0x00});
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x03});
  line().Write({0x88});
  EXPECT_EQ(line().Read(1, 500).size(), 1u);
  sim().SetWrongBaudEcho(1);
  line().Write({0x00});
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x03});
  line().Write({0x88});
  EXPECT_TRUE(line().Read(1, 200).empty()) << "count 1: only the first sign-on";
  line().Write({0x00});
  EXPECT_EQ(line().Read(1, 1000), Bytes{0x01});

  // Wrong register echo once, then bits 5-7 of the first byte set.
  sim().SetWrongRegisterEcho(1);
  sim().SetRegisterEchoHighBits(true);
  ASSERT_TRUE(line().SetBaud(B300));
  line().Write({0x00});
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x03});
  line().Write({0x88});
  line().Read(1, 200);
  line().Write({0x00});
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x00});
  ASSERT_TRUE(line().SetBaud(B9600));
  line().Write({0x00});
  line().Packet(0x04, 0x80);
  line().Packet(0xC3, 0x00);
  line().Packet(0x01, 0x02);
  line().Packet(0x00, 0x00);
  EXPECT_EQ(line().Read(3, 1000), (Bytes{0xE4, 0x88, 0xC3}));
}

TEST_F(SimLine, CommandAndFrameFaults) {
  SignOn(line());
  // A late 0x84 echo: the register packets that follow it still count.
  sim().AddCommandFault({0x84, q583sim::ReplyFault::Late, 700, 0, 0, 1});
  line().Packet(0x84, 0x00);
  EXPECT_TRUE(line().Read(1, 500).empty());
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x84});
  line().Packet(0x00, 0x80);
  line().Packet(0xC3, 0x00);
  EXPECT_EQ(line().Read(3, 1000), (Bytes{0x00, 0x80, 0xC3}));

  sim().AddCommandFault({0x81, q583sim::ReplyFault::WrongEcho, 0, 0x45, 0, 1});
  sim().AddCommandFault({0x86, q583sim::ReplyFault::Cut, 0, 0, 1, 1});
  sim().AddCommandFault({0x80, q583sim::ReplyFault::NoReply, 0, 0, 0, 1});
  sim().AddCommandFault({0x8A, q583sim::ReplyFault::Late, 300, 0, 0, 1});
  line().Packet(0x81, 0x00);
  EXPECT_EQ(line().Read(4, 1000).at(0), 0x45);
  line().Packet(0x86, 0x00);
  EXPECT_EQ(line().Read(2, 400), Bytes{0x86});
  line().Packet(0x80, 0x4C);
  EXPECT_TRUE(line().Read(2, 300).empty());
  line().Packet(0x80, 0x4C);
  EXPECT_EQ(line().Read(2, 1000).size(), 2u) << "the fault was for one occurrence";

  sim().AddFrameFault({q583sim::FrameFaultKind::WrongMarker, 0});
  sim().AddFrameFault({q583sim::FrameFaultKind::DropByte, 1});
  sim().AddFrameFault({q583sim::FrameFaultKind::AddByte, 2});
  line().Packet(0x89, 0x00);
  ASSERT_EQ(line().Read(1, 1000), Bytes{0x89});
  const Bytes f = line().Read(11 + 10 + 12 + 11, 1000);
  ASSERT_EQ(f.size(), 44u);
  EXPECT_EQ(f[0], 0xF1);
  EXPECT_EQ(f[10], 0);
  EXPECT_EQ(f[11], 0xF0);
  EXPECT_EQ(f[20], 1);  // one byte short
  EXPECT_EQ(f[21], 0xF0);
  EXPECT_EQ(f[32], 2);  // one byte long
  EXPECT_EQ(f[33], 0xF0);
  EXPECT_EQ(f[43], 3);
  const auto t0 = std::chrono::steady_clock::now();
  line().Packet(0x8A, 0x00);
  Bytes tail;
  while (std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2)) {
    Bytes b = line().Read(1, 100);
    tail.insert(tail.end(), b.begin(), b.end());
    if (!tail.empty() && tail.back() == 0x8A) break;
  }
  ASSERT_FALSE(tail.empty());
  EXPECT_EQ(tail.back(), 0x8A);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(250)) << "late stop echo";
}

class SimLineUnpaced : public SimLine {
  bool Pacing() const override { return false; }
};

TEST_F(SimLineUnpaced, FloodNeitherDeadlocksNorStopsInput) {
  SignOn(line());
  ASSERT_TRUE(sim().WaitForSignOns(1, 1000));
  sim().SetFrameIntervalOverride(0.0002);
  line().Packet(0x89, 0x00);
  // Nobody reads: the pty fills up and the simulator must keep taking input.
  ASSERT_TRUE(sim().WaitForFrames(2000, 5000));
  sim().ClearLog();
  line().Packet(0x86, 0x00);
  EXPECT_TRUE(sim().WaitForReceived(3, 2000));
  const Bytes some = line().Read(8000, 500);
  EXPECT_GE(some.size(), 4000u);
  // The simulator is destroyed with output still queued.
}

// The write times of the frame bytes a run sent (after the start's echo),
// read from the simulator's record once `frames` frames of 11 bytes came.
std::vector<double> FrameWriteTimes(Simulator& sim, RawLine& line, size_t frames) {
  sim.ClearLog();
  line.Packet(0x89, 0x00);
  const Bytes got = line.Read(1 + 11 * frames, 3000);
  EXPECT_EQ(got.size(), 1 + 11 * frames);
  for (size_t k = 0; k < frames && got.size() == 1 + 11 * frames; ++k)
    EXPECT_EQ(got[1 + 11 * k + 10], k) << "every frame whole and in order";
  std::vector<double> times;
  for (const auto& b : sim.Sent()) times.push_back(b.timeS);
  if (!times.empty()) times.erase(times.begin());  // the echo
  times.resize(std::min(times.size(), 11 * frames));
  return times;
}

TEST_F(SimLine, LatencyTimerReleasesAtItsTicks) {
  SignOn(line());
  sim().SetLatencyTimer(16);
  const auto t = FrameWriteTimes(sim(), line(), 6);
  ASSERT_EQ(t.size(), 66u);
  // Paced bytes leave about a millisecond apart; through the timer they
  // reach the host in one write a tick at most.
  size_t writes = 1;
  for (size_t i = 1; i < t.size(); ++i) writes += t[i] != t[i - 1];
  EXPECT_LE(writes, static_cast<size_t>((t.back() - t.front()) / 0.016) + 2);
}

TEST_F(SimLine, BurstHoldsFramesAndSplitHoldsTheRest) {
  SignOn(line());
  sim().SetFrameBurst(3);
  auto t = FrameWriteTimes(sim(), line(), 6);
  ASSERT_EQ(t.size(), 66u);
  EXPECT_EQ(t[0], t[32]) << "frames 0-2 in one write";
  EXPECT_EQ(t[33], t[65]) << "frames 3-5 in one write";
  EXPECT_GT(t[33], t[32]);
  line().Packet(0x8A, 0x00);
  line().Read(1000, 300);
  sim().ClearFaults();
  sim().SetFrameSplit(4, 0.02);
  t = FrameWriteTimes(sim(), line(), 2);
  ASSERT_EQ(t.size(), 22u);
  for (size_t k : {size_t{0}, size_t{11}}) EXPECT_GE(t[k + 4] - t[k + 3], 0.015) << "frame " << k / 11;
  line().Packet(0x8A, 0x00);
  line().Read(1000, 300);
  sim().SetFrameBurst(2);  // a burst's head, then the rest of both frames in one write
  t = FrameWriteTimes(sim(), line(), 2);
  ASSERT_EQ(t.size(), 22u);
  EXPECT_GE(t[4] - t[3], 0.015);
  EXPECT_EQ(t[4], t[21]);
}

TEST_F(SimLine, ClockErrorPacesTheNextRun) {
  SignOn(line());
  sim().SetClockPpm(-2000);
  line().Packet(0x89, 0x00);
  ASSERT_TRUE(sim().WaitForScanning(true, 1000));
  EXPECT_NEAR(sim().GetState().frameIntervalS, 195 / 3906.25 / (1 - 2000e-6), 1e-12);
}

TEST_F(SimLine, HangUpClosesTheLine) {
  SignOn(line());
  sim().HangUp();
  EXPECT_TRUE(sim().GetState().hungUp);
  line().Read(1, 500);
  EXPECT_TRUE(line().hungUp());
  EXPECT_NE(access(sim().DevicePath().c_str(), F_OK), 0) << "the device is gone";
}

// What the model test reads: each scan's run offset, the mode register at
// every conversion, the register writes, and the simulator's own descriptors.
TEST_F(SimLine, RunOffsetsModesAtConversionsAndOwnDescriptors) {
  sim().SetRunOffsetStep(0.5, 3, 1);
  sim().SetInput(0, 1, {q583sim::SignalKind::Constant, 1.0});
  EXPECT_EQ(sim().GetState().ownDescriptors, 3);
  SignOn(line());
  EXPECT_EQ(sim().GetState().registerWrites, 1u);
  const size_t frameLen = 1 + 2 * 3 + 1 + 3;  // codes 0x01 and 0x33
  for (uint32_t run = 0; run < 3; ++run) {
    line().Packet(0x89, 0x00);
    ASSERT_EQ(line().Read(1, 1000), Bytes{0x89});
    const Bytes f = line().Read(frameLen, 1000);
    ASSERT_EQ(f.size(), frameLen);
    // Run index 1 + run, mod 3: offsets 0.5, 1.0, then 0.
    EXPECT_NEAR(Decode(Le(f, 4, 3), 3, true), 1.0 + 0.5 * ((1 + run) % 3), 1e-6) << "run " << run;
    line().Packet(0x8A, 0x00);
    ASSERT_TRUE(sim().WaitForScanning(false, 1000));
    line().Read(1000, 300);
  }
  line().Packet(0x81, 0x00);
  line().Read(4, 1000);
  const q583sim::State st = sim().GetState();
  EXPECT_EQ(st.scansStarted, 3u);
  ASSERT_EQ(st.modesAtConversions.size(), 4u);
  EXPECT_EQ(st.modesAtConversions[0].command, 0x89);
  EXPECT_EQ(st.modesAtConversions[3].command, 0x81);
  EXPECT_EQ(st.modesAtConversions[3].mid, 0x80);
  EXPECT_EQ(st.modesAtConversions[3].lo, 0xC3);
  sim().HangUp();
  EXPECT_EQ(sim().GetState().ownDescriptors, 1) << "the event descriptor stays until the end";
}

TEST(SimCounts, VoltsToCountInvertsTheLibraryDecoding) {
  Simulator sim;
  RawLine line(sim.DevicePath());
  uint32_t round = 0;
  for (const auto& [mid, w, bipolar] : {std::tuple{0x80, 3, true}, {0x90, 3, false}, {0x00, 2, true}, {0x10, 2, false}}) {
    SignOnParams p;
    p.mid = static_cast<uint8_t>(mid);
    SignOn(line, p);
    ASSERT_TRUE(sim.WaitForSignOns(++round, 1000));
    const double step = Decode(1, w, bipolar) - Decode(0, w, bipolar);
    for (double v : {0.0, 0.001, 1.5, 4.9, -3.3}) {
      if (!bipolar && v < 0) continue;
      EXPECT_NEAR(Decode(static_cast<uint32_t>(sim.VoltsToCount(v)), w, bipolar), v, step / 2 + 1e-12)
          << "w=" << w << " bipolar=" << bipolar;
    }
    EXPECT_EQ(sim.VoltsToCount(9.0), w == 3 ? 0xFFFFFF : 0xFFFF);
    EXPECT_EQ(sim.VoltsToCount(-9.0), 0);
    // Back to 300 baud for the next round: a break.
    ASSERT_TRUE(line.SetBaud(B300));
    line.Write({0x00});
    line.Read(1, 300);
  }
}

#ifdef Q583_SIM_PROGRAM
TEST(SimProgram, PrintsPathKeepsLinkAndStopsOnSigterm) {
  char dir[] = "/tmp/q583-simprog-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string link = std::string(dir) + "/ttyQ583";
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], 1);
    close(out[0]);
    close(out[1]);
    execl(Q583_SIM_PROGRAM, "q583-sim", "--link", link.c_str(), "--signal", "0:0:sine:1:0.5:2", "--version", "140",
          "--latency", "4", "--clock-ppm", "-50", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  std::string first;
  char c;
  while (read(out[0], &c, 1) == 1 && c != '\n') first += c;
  close(out[0]);
  ASSERT_EQ(first.rfind("/dev/", 0), 0u) << first;
  char target[256] = {};
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(first, target);
  {
    RawLine line(link);
    ASSERT_TRUE(line.ok());
    SignOn(line);
    line.Packet(0x86, 0x00);
    EXPECT_EQ(line.Read(2, 1000), (Bytes{0x86, 140}));
    line.Packet(0x89, 0x00);
    EXPECT_EQ(line.Read(1 + 11, 1000).size(), 12u) << "a frame through --latency, --clock-ppm";
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(access(link.c_str(), F_OK), 0) << "the link is removed at exit";
  rmdir(dir);
}
#endif

}  // namespace
