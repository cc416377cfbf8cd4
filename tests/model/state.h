// What the model test knows and keeps between steps: the commands' shape,
// the library's settings as the model believes them, the run going on, and
// the rig (library, simulator, working directory) the steps run against.
#pragma once

#include <rapidcheck.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "q583_sp.h"
#include "q583sim/simulator.h"

namespace q583model {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// came from: frame k is sent (k + 1) x interval after the scan start.
constexpr double kRampOffset = -4.0;
constexpr double kRampAmplitude = 8.0;
constexpr double kRampPeriod = 1000.0;
constexpr double kOffsetReading = 1.25;
constexpr double kFullScaleReading = 3.75;
constexpr uint8_t kDigitalInput = 0x5A;
constexpr uint8_t kOff = 16;

// Time bounds (ms).  Generous against a loaded machine; they catch waits
// that are wrong by seconds, not milliseconds.
constexpr int kInstantMs = 300;      // an export that does not talk to the instrument
constexpr int kForcedEndMs = 1500;   // a thread ended at once
constexpr int kSignOnMs = 5000;      // a sign-on's exchanges (about 3 s)
constexpr int kCalibrationStepMs = 2000;  // a calibration reply is awaited this long
constexpr int kFaultSlackMs = 9000;  // retries and time-outs a fault causes
constexpr int kHardLimitMs = 120000; // the watchdog gives up on the process


double Ms(Clock::duration d);
void SleepMs(int ms);

// The steps of the sequence that runs now, printed with a failure as it
// happens (shrinking may take long, or be cut short by a time-out).
std::string& Trail();
// The runner's own failure, raised where a check fails.
void Require(bool ok, const std::string& what);
// The watchdog: arms around every call that may hang (runner.cpp).
void ArmWatchdog(const std::string& call, const std::string& steps);
void DisarmWatchdog();
// Counts a step for the soak's figures.
void CountStep();

// ---- The command set --------------------------------------------------------

enum class Op {
  Wait, Retrieve, Start, EndScan, Stop, Run, InitDev, SetScanType, SetCodes, GetCodes, SetSingleCode,
  SetLogOptions, SetRunLength, SetRate, SetGain, SetAverage, SetFilter, Interval, Digout, GetDigin,
  OneConversion, PolledChan, DiginScan, Calibrate, Standby, Sleep, Reset, IniLoad, Beep,
  CommandFault, FrameFault, Noise, FastFrames, HangUp, Reconnect, TwoThreads
};

struct Step {
  Op op = Op::Wait;
  int a = 0;
  int b = 0;
  double x = 0.0;
  std::array<uint8_t, 6> codes{};
};

// The configuration files the load is given, the codes and scan type each
// leaves, and the names of the injected faults (commands.cpp).
extern const char* const kIniFiles[4];
extern const std::array<uint8_t, 6> kIniCodes[4];
extern const uint8_t kIniScanType[4];
extern const uint8_t kFaultCommands[10];

std::string Show(const Step& s);

// ---- What the model knows ---------------------------------------------------

enum class Tri { No, Yes, Maybe };

struct Settings {
  uint8_t type = 1;
  std::array<uint8_t, 6> codes{0, kOff, kOff, kOff, kOff, kOff};
  uint32_t logFlags = 1;
  uint32_t lengthMode = 1;  // 1 unlimited, 2 ms, 3 s
  uint32_t length = 0;
  float rate = 60.0F;
  uint16_t average = 1;
  uint8_t filter = 2;
  std::optional<uint8_t> single;  // what the single-code getter must give
};

int ChannelCount(const std::array<uint8_t, 6>& codes);

// How a run ended, which decides the ending its scan log file needs.
enum class Ending { Orderly, AtOnce, NewStart };

struct RunRecord {
  int id = 0;
  bool going = true;          // the acquisition thread is believed alive
  bool mayEnd = false;        // a fault or a change under the run may end it
  bool selfEnded = false;     // it ended without the host
  bool fileChecked = false;
  Clock::time_point begin, started;
  double interval = 0.0;      // the simulator's frame interval
  uint32_t points = 1;        // values per scan
  uint8_t type = 1;
  std::string file;           // its scan log file ("" when none)
  uint32_t lengthMode = 1, length = 0;
  bool stopWhenFull = false;
  bool digoutQueued = false;  // a byte was queued in this run
  int64_t lastK = -1;         // last frame handed out
  uint64_t missing = 0;       // frames skipped between scans handed out
  uint64_t taken = 0;
  int32_t lastUnread = 0;     // unread scans at the last retrieval
  bool memory = true;         // logging to memory for the whole run (else the ring counts scans it does not hold)
  // Noise on the line during the run: a frame carries no checksum, so a
  // noise byte inside one changes its values undetectably.
  bool noisy = false;
};

// ---- The system under test: library, simulator and what was seen -------------

class Rig {
 public:
  // A fresh library (reloaded) on a fresh simulator in a new working
  // directory; signed on first when signOn.
  Rig(bool signOn, uint32_t clockStart);
  // The unload, then the simulator and the directory go.
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // Runs one step and checks what the model allows after it.
  void Execute(const Step& s);

 private:
  // ---- calls with a time bound --------------------------------------------
  template <class F>
  auto Timed(const std::string& what, int boundMs, F&& f) {
    ArmWatchdog(what, Trail());
    const auto t0 = Clock::now();
    auto result = f();
    const double took = Ms(Clock::now() - t0);
    DisarmWatchdog();
    Require(took <= boundMs, what + " took " + std::to_string(static_cast<int>(took)) + " ms, bound " +
                                 std::to_string(boundMs) + " ms");
    return result;
  }

  int Slack() const { return faultSteps_ > 0 ? kFaultSlackMs : 0; }
  // After a hang-up the library may learn of the new line only when a call
  // fails: results are not predicted until the host signs on again.
  bool Lenient() const { return faultSteps_ > 0 || !lineAlive_ || lineChanged_; }
  bool RunGoing() const { return run_ && run_->going; }

  // The rate the instrument runs: none below its slowest divider.
  double RunRate() const { return std::max(9.5, static_cast<double>(settings_.rate)); }
  // The scan end, with the settling wait from the rate the instrument runs.
  int EndScanBound() const {
    const double settle = 5.0 * std::max(1, ChannelCount(settings_.codes)) * settings_.average / RunRate() * 1000.0;
    return 200 + 1500 + static_cast<int>(2 * settle) + ReplyMs() + kForcedEndMs + Slack();
  }
  // One command and its reply: the library's reply time-out, from the
  // conversion time at the rate the instrument runs.
  int ReplyMs() const { return static_cast<int>(2000.0 * (settings_.average / RunRate() + 2.3)); }
  // A system calibration: three readings and two register writes.
  int CalibrationMs() const { return 3 * kCalibrationStepMs + 2 * ReplyMs(); }
  int SignOnBound() const { return kSignOnMs + CalibrationMs() + Slack(); }
  // A direct operation: maybe a sign-on, the command, a new sign-on and a retry.
  int DirectBound() const { return 2 * SignOnBound() + 2 * ReplyMs() + EndScanBound() + Slack(); }

  // ---- the rig and the run bookkeeping (rig.cpp) ---------------------------
  void NewSimulator();
  void EndRun(Ending how);
  std::set<std::string> ScanLogs() const;
  void Started(Clock::time_point begin);
  void ReadBackSettings();

  // ---- the steps (steps.cpp, faults.cpp) ---------------------------------------
  // Runs a library call; false when s is no library call.
  bool CallLibrary(const Step& s, const std::string& what, bool& talked);
  // Injects a fault or a second host thread.
  void InjectFault(const Step& s, const std::string& what);
  void Retrieve(bool asInt, uint32_t wanted, bool lenient);

  // ---- the invariants (invariants.cpp) -------------------------------------
  // Frame number of a value in volts; -1 when it is no frame's value.
  int64_t FrameOf(double volts, double interval) const;
  // One scan: all its values the same frame's (whole), type 2's readings in
  // place; returns the frame number.
  int64_t CheckScan(const double* v, const RunRecord& r, const std::string& where) const;
  void CheckScanLog();
  void CheckRunState(const std::string& after);
  void CheckDigout(const std::string& after);
  void CheckInterval();
  // What holds after every step.
  void CheckAfterStep(const std::string& what, bool talked, bool alive);

  // ---- state ---------------------------------------------------------------
  fs::path oldDir_;
  std::string dir_;
  std::unique_ptr<q583sim::Simulator> sim_;
  uint32_t simSeed_ = 583;
  int stepNo_ = 0;

  Settings settings_;
  Tri signedOn_ = Tri::No;
  bool replyTimeoutSet_ = false;
  bool initialised_ = false;
  bool lineAlive_ = true;
  bool lineChanged_ = false;  // hung up since the last sign-on: the library learns it as it goes
  Clock::time_point hungUpAt_;
  int faultSteps_ = 0;  // steps left in which a fault may act
  bool fastNext_ = false;
  bool noiseOn_ = false;
  std::optional<RunRecord> run_;
  Ending ending_ = Ending::AtOnce;
  std::set<std::string> logsBefore_;
  std::vector<uint8_t> asked_;  // digital-output bytes the host asked for, in order
  size_t wireSeen_ = 0;
  // The step that runs now: its start, and whether the line was alive and
  // results were predicted when it began.
  Clock::time_point begin_;
  bool alive_ = true;
  bool lenient_ = false;
  void Expect(const std::string& what, uint8_t got, uint8_t want) const {
    if (!lenient_) Require(got == want, what + " returned " + std::to_string(got) + ", expected " + std::to_string(want));
  }
};

}  // namespace q583model
