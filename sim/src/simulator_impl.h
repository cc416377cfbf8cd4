// The instrument simulator's engine: one thread that owns the master side of
// a pseudo-terminal, decodes what the library writes on the slave side and
// answers as the instrument does, at the instrument's own pace.  Its units:
//   line.cpp        the pseudo-terminal, the line rates, pacing and the thread
//   protocol.cpp    wake-up, sign-on and the commands
//   frames.cpp      inputs, counts, scan frames and their schedule
//   faults.cpp      command replies through the faults, the fault switches
//   records.cpp     the logs of what went over the line, and the waits on them
#pragma once

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "q583sim/simulator.h"

namespace q583sim {
namespace detail {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kBaudTable[6] = {9600, 4800, 2400, 1200, 600, 300};
constexpr uint8_t kPowerUpBaudIndex = 5;
constexpr size_t kMaxLogEntries = 4u << 20;
// The send time of bytes held back for a burst until it is complete.
constexpr double kHeldS = 1e300;

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

}  // namespace detail

struct Simulator::Impl {
  using Clock = detail::Clock;
  using Phase = detail::Phase;

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
  // Records the mode register as a conversion begins (model checks).
  void NoteConversionMode(uint8_t command) {
    if (st.modesAtConversions.size() < detail::kMaxLogEntries)
      st.modesAtConversions.push_back({command, st.modeRegHi, st.modeRegMid, st.modeRegLo});
  }
  // Queues bytes for the line; what frames of a burst hold back goes out
  // with them (a reply never waits behind a burst).
  void Enqueue(const std::vector<uint8_t>& bytes, double now);
  // Queues a scan frame through the delivery shaping (split, burst).
  void EnqueueFrame(const std::vector<uint8_t>& bytes, double now);
  void Push(uint8_t value, double now);
  void ReleaseHeld();
  // When a byte ready at readyS reaches the host through the adapter's
  // latency timer (readyS itself without one).
  double DeliveryS(double readyS) const;
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
  // held): a look at the records right after an export returns sees its bytes.
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
  double runOffsetStepV = 0.0;
  uint32_t runOffsetRuns = 1;
  uint32_t runOffsetFirst = 0;
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

  // Delivery to the host (an adapter's latency timer, bursts, split frames)
  // and the instrument's clock error.
  int latencyMs = 0;
  uint32_t burstFrames = 0;
  uint32_t splitAt = 0;
  double splitGapS = 0.0;
  size_t heldBytes = 0;  // the newest bytes of `out`, held for a burst
  double clockPpm = 0.0;

  // Line.
  // The rate the library's side is at, as last announced: packet mode on the
  // master reports each change of the slave's settings as a status byte
  // (EXTPROC is set on the slave for that).  Bytes already waiting when a
  // change is announced went out before it, at the old rate.
  uint32_t lineRate = 0;
  uint32_t oldRate = 0;
  int oldRateBytes = 0;
  uint64_t bytesIn = 0;
  std::deque<detail::OutByte> out;
  std::vector<detail::Delayed> delayed;
  double lineEndS = 0.0;
  bool wantWrite = false;

  // Logs.
  std::vector<ReceivedByte> received;
  std::vector<Packet> packets;
  std::vector<Packet> signOnPackets;
  std::vector<SentByte> sent;
};

}  // namespace q583sim
