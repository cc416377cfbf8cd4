// The Q583 instrument simulator: owns the master side of a pseudo-terminal,
// runs on its own thread and speaks the instrument's protocol to whatever
// opens the slave side (the library, as its COM port).
//
// Tests use it in-process: start one per test, point the library's port at
// DevicePath(), set inputs and faults, then inspect what the library sent.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace q583sim {

enum class SignalKind { Constant, Sine, Ramp, Noise };

// An analogue input in volts.  Constant: offset.  Sine: offset + amplitude *
// sin(2 pi t / period).  Ramp: offset + amplitude * (t mod period) / period.
// Noise: offset + uniform noise of +-amplitude.
struct Signal {
  SignalKind kind = SignalKind::Constant;
  double offset = 0.0;
  double amplitude = 0.0;
  double periodS = 1.0;
};

struct Options {
  bool pacing = true;        // send at the line rate (ten bits a byte)
  bool trace = false;        // print every byte to standard error
  uint8_t version = 100;     // firmware version reported
  uint8_t digitalInput = 0;  // digital input byte
  // Keep the log of received bytes and packets (a long-running program
  // turns it off; tests keep it).
  bool keepLog = true;
  // Seed of the noise generators (inputs and line noise), for repeatable runs.
  uint32_t seed = 583;
};

// What a command does wrong, for `count` occurrences (-1: always).
enum class ReplyFault {
  None,
  NoReply,    // no echo or reply at all
  Late,       // reply after delayMs
  WrongEcho,  // first reply byte replaced by `echo`
  Cut,        // reply cut after `cutAfter` bytes
};

struct CommandFault {
  uint8_t command = 0;  // 0x81, 0x84, 0x86, 0x80, 0x82, 0x83, 0x88, 0x89, 0x8A, 0x8B, 0x8C
  ReplyFault kind = ReplyFault::None;
  int delayMs = 0;
  uint8_t echo = 0;
  int cutAfter = 0;
  int count = -1;
};

enum class FrameFaultKind { WrongMarker, DropByte, AddByte };

struct FrameFault {
  FrameFaultKind kind = FrameFaultKind::WrongMarker;
  uint32_t frameIndex = 0;  // the frame of the run (0 = first) it hits
};

struct ReceivedByte {
  uint8_t value = 0;
  double timeS = 0.0;  // seconds since the simulator started
  uint32_t baud = 0;   // the line rate the library's side had set
};

// Where a packet was decoded: a command, one of the register-data packets
// that follow a 0x84 command, or one of the nine data packets of the sign-on.
enum class PacketKind { Command, RegisterData, SignOnData };

struct Packet {
  uint8_t first = 0;
  uint8_t data = 0;
  uint8_t sum = 0;
  bool checksumOk = true;
  double timeS = 0.0;
  PacketKind kind = PacketKind::Command;
};

// A byte the simulator sent (or lost on the line because the two sides'
// rates differed when it went out).
struct SentByte {
  uint8_t value = 0;
  double timeS = 0.0;
  bool lost = false;
};

// The mode register as it stood when a conversion began: a single
// conversion (command 0x81) or a scan start (0x89, 0x8B, 0x8C).
struct ModeAtConversion {
  uint8_t command = 0;
  uint8_t hi = 0, mid = 0, lo = 0;
};

struct State {
  uint8_t modeRegHi = 0, modeRegMid = 0, modeRegLo = 0;
  uint8_t averagingCode = 0;   // log2 of the averaging
  uint8_t filter = 0;
  uint32_t timerCount = 0;     // R of the sign-on
  uint8_t channelCodes[6] = {};
  uint8_t selectedChannel = 0; // channel selection byte
  uint8_t digitalOutput = 0;
  std::vector<uint8_t> digitalOutputs;  // every byte written, in order
  bool awake = false;          // past the wake-up
  bool commandMode = false;    // signed on and taking commands
  bool scanning = false;
  uint8_t scanCommand = 0;     // 0x89, 0x8B or 0x8C while scanning
  bool standby = false;
  bool asleep = false;
  uint32_t baud = 300;         // the instrument's line rate
  int32_t extRegisters[3] = {};
  uint32_t signOns = 0;        // completed sign-on exchanges
  uint32_t framesSent = 0;     // frames of the current or last run
  uint32_t conversions = 0;
  uint32_t calibrations = 0;
  uint32_t badChecksums = 0;
  // Added beside the fields above:
  uint8_t baudIndex = 5;       // index of the instrument's line rate (5 = 300)
  uint8_t version = 100;       // firmware version it reports now
  double frameIntervalS = 0.0; // interval of the current or last scan
  uint32_t wakeUps = 0;        // wake-up replies given (0x03)
  uint32_t breaks = 0;         // 0x00 bytes at a lower rate taken as a break
  uint32_t notUnderstood = 0;  // bytes dropped because the rates differed
  bool hungUp = false;
  // Added for the model test: scan commands taken so far (a run's index is
  // the count before its own), mode-register writes, the mode register at
  // every conversion, and the descriptors the simulator itself holds open.
  uint32_t scansStarted = 0;
  uint32_t registerWrites = 0;  // mode-register writes begun (sign-on or 0x84)
  std::vector<ModeAtConversion> modesAtConversions;
  int ownDescriptors = 0;
};

class Simulator {
 public:
  explicit Simulator(const Options& options = {});
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The slave side's path, for the library to open.
  const std::string& DevicePath() const;

  // ---- inputs -----------------------------------------------------------
  void SetInput(int mainChannel, int subChannel, const Signal& signal);
  // Offset and full-scale readings of scan type 2.
  void SetCalibrationReadings(double offsetVolts, double fullScaleVolts);
  void SetDigitalInput(uint8_t value);
  // Every scan frame's values carry stepVolts x ((firstIndex + run index)
  // mod runs) on top of their inputs, so that a value tells the run it was
  // measured in (single conversions and calibration readings do not).
  void SetRunOffsetStep(double stepVolts, uint32_t runs, uint32_t firstIndex = 0);
  void SetVersion(uint8_t version);
  // A different version reported from the next sign-on on.
  void SetVersionAtNextSignOn(uint8_t version);
  // The same, but only once `completedSignOns` more sign-on exchanges have
  // completed: SetVersionAfterSignOns(1, v) keeps the version for the sign-on
  // that comes next and reports v from the one after it on.
  void SetVersionAfterSignOns(uint32_t completedSignOns, uint8_t version);
  void SetPacing(bool on);
  void SetTrace(bool on);

  // ---- faults -----------------------------------------------------------
  void SetNoWakeReply(bool on);
  // Answer the lone 0x88 of the next `count` sign-ons with a byte (-1: always).
  void SetReplyToBaudChange(int count);
  // Echo a wrong baud index for the next `count` sign-ons.
  void SetWrongBaudEcho(int count);
  // Send no baud echo at all for the next `count` sign-ons.
  void SetNoBaudEcho(int count);
  // Echo wrong mode registers for the next `count` sign-on attempts.
  void SetWrongRegisterEcho(int count);
  // Echo registers that differ from the true ones only in bits 5-7 of the
  // first byte (which must be accepted).
  void SetRegisterEchoHighBits(bool on);
  void AddCommandFault(const CommandFault& fault);
  void AddFrameFault(const FrameFault& fault);
  // Frame faults added that have not yet hit a frame.
  size_t PendingFrameFaults() const;
  // Send frames every intervalS seconds instead of (R + 1) / TB (0: normal).
  void SetFrameIntervalOverride(double intervalS);
  void SetNoStopEcho(bool on);
  // Random bytes on the line, about `bytesPerSecond` of them.
  void SetLineNoise(double bytesPerSecond);
  // ---- delivery (faults of the adapter between instrument and host) ----
  // A USB adapter's latency timer: what the instrument sent reaches the host
  // at the simulator's ticks every `ms` milliseconds, or at once when 4096
  // bytes wait (0: as sent).
  void SetLatencyTimer(int ms);
  // Frames of a run reach the host `frames` at a time, together once the
  // last of them has left the instrument; a reply, a stop or the run's end
  // takes those held with it (0 or 1: each frame as sent).
  void SetFrameBurst(uint32_t frames);
  // Each frame of a run reaches the host in two parts: its first `position`
  // bytes as sent, the rest no sooner than gapS after the frame was due
  // (0: whole frames).  With bursts, each burst is split so: its first
  // `position` bytes, then the rest of all its frames at once.
  void SetFrameSplit(uint32_t position, double gapS);
  // The instrument's scan clock runs `ppm` parts per million fast (negative:
  // slow): from the next start, frames come (1 + ppm 1e-6) times as often,
  // every interval / (1 + ppm 1e-6).
  void SetClockPpm(double ppm);
  // Close the master side, as an unplugged adapter does.
  void HangUp();
  // Clears the faults above, the delivery shaping and the clock error too.
  void ClearFaults();

  // ---- inspection -------------------------------------------------------
  std::vector<ReceivedByte> Received() const;
  std::vector<uint8_t> ReceivedValues() const;
  std::vector<Packet> Packets() const;  // packets decoded in command mode
  // The nine data packets of each sign-on exchange (and any with a bad sum).
  std::vector<Packet> SignOnPackets() const;
  // Every byte sent, in order (kept with keepLog like Received()).
  std::vector<SentByte> Sent() const;
  State GetState() const;
  // Frame counter of each frame sent in this run (its trailing byte).
  uint32_t FramesSent() const;
  // Forget what was received so far.
  void ClearLog();
  // Waits until pred-like conditions: at least n frames sent; false after ms.
  bool WaitForFrames(uint32_t n, int ms) const;
  // Waits until the simulator is scanning (or not); false after ms.
  bool WaitForScanning(bool scanning, int ms) const;
  // Waits until State::signOns reaches n; false after ms.
  bool WaitForSignOns(uint32_t n, int ms) const;
  // Waits until at least n bytes have been received since the last ClearLog.
  bool WaitForReceived(size_t n, int ms) const;

  // Volts the simulator reports for an input at time t (for checks).
  double InputVolts(int mainChannel, int subChannel, double tS) const;
  // The count the library decodes for volts with the current word size and
  // polarity.
  int32_t VoltsToCount(double volts) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace q583sim
