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
#include <map>
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

// Every input of the simulator is one ramp, so a value tells the frame it
// came from: frame k is sent (k + 1) x interval after the scan start.  On
// top of it, each scan the simulator starts adds kRunStep x (its index mod
// kRunOffsets), so a value also tells its run.  All values stay inside
// 0..5 V, which both polarities hold; the ramp stays below kRunStep for
// runs up to 150 s.
constexpr double kRampOffset = 0.25;
constexpr double kRampAmplitude = 4.0;
constexpr double kRampPeriod = 1000.0;
constexpr double kRunStep = 0.625;
constexpr uint32_t kRunOffsets = 7;
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
constexpr int kTimerSlackMs = 50;    // clock steps and scheduling around a timed run's end
constexpr double kLateS = 0.8;       // a frame's receive time after its sending (s)
constexpr double kTimelyS = 0.005;   // frames this far apart keep a run going and in time

double Ms(Clock::duration d);
void SleepMs(int ms);

// The steps of the sequence that runs now, printed with a failure as it
// happens (shrinking may take long, or be cut short by a time-out).
std::string& Trail();
// The runner's own failure, raised where a check fails.
void Require(bool ok, const std::string& what);
// True when Q583_MODEL_SKIP (names separated by commas) names the check:
// for running against a library with a known fault of that check's kind.
bool Skipped(const char* check);
// True once a check has failed in this process: no rig is carried on then.
bool Failed();
// The watchdog: arms around every call that may hang (runner.cpp).
void ArmWatchdog(const std::string& call, const std::string& steps);
void DisarmWatchdog();
// Counts a step for the soak's figures.
void CountStep();
// The host's answer to the library's message boxes (1 OK, 2 Cancel), and
// how many it has been shown.
std::atomic<int>& BoxAnswer();
std::atomic<int>& BoxesShown();
// The library call the host's next message box or beep makes from inside
// its handler (-1: none; the kinds as Op::CallIn's), and what it returned.
std::atomic<int>& CallInKind();
std::atomic<int>& CallInResult();
// Makes that call, when one is armed (the handlers' own code).
void CallInFromHandler();
// The pseudo-terminals the process has open.
int ProcessTerminals();

// ---- The command set --------------------------------------------------------

enum class Op {
  Wait, Retrieve, Start, EndScan, Stop, Run, InitDev, SetScanType, SetCodes, GetCodes, SetSingleCode,
  SetLogOptions, SetRunLength, SetRate, SetGain, SetAverage, SetFilter, Interval, Digout, GetDigin,
  OneConversion, PolledChan, DiginScan, Calibrate, Standby, Sleep, Reset, IniLoad, Beep,
  DiginWScan, DefaultSetup, Polarity, DigoutNearEnd, DigoutThenEnd, DebugLogs, LogText, DigoutPriority, StopBeep, NoLogFile, SetModel, NoPort,
  CallIn, SwitchPort,
  CommandFault, FrameFault, Noise, FastFrames, HangUp, Reconnect, TwoThreads, LostCalibration, Delivery
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
extern const char* const kIniFiles[5];
extern const std::array<uint8_t, 6> kIniCodes[5];
extern const uint8_t kIniScanType[5];
constexpr int kSmallQueueIni = 4;  // the file whose receive queue holds two frames
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
  bool bipolar = true;
  std::optional<uint8_t> single;  // what the single-code getter must give
  bool smallQueue = false;  // a receive queue of two frames: a run may end on its overflow
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
  std::chrono::system_clock::time_point startedWall;
  // The wall-clock span of the step that ended it (the trailer's end time).
  std::optional<std::pair<std::chrono::system_clock::time_point, std::chrono::system_clock::time_point>> endWall;
  std::optional<Clock::time_point> endSeen;  // a wait first saw the thread gone
  double interval = 0.0;      // the simulator's frame interval
  uint32_t points = 1;        // values per scan
  uint8_t type = 1;
  bool bipolar = true;
  uint32_t simRunFirst = 0;   // the simulator's first scan index of this run
  int64_t lastRun = -1;       // the simulator run of the last scan handed out
  std::string file;           // its scan log file ("" when none)
  // The description and comment the host had given when the run began
  // (indices into the rig's histories of them).
  size_t firstExperiment = 0, firstComment = 0;
  uint32_t lengthMode = 1, length = 0;
  bool stopWhenFull = false;
  bool fileLimited = false;   // its log file may fill: a trailer, and the run goes on
  bool ownInterval = true;    // timed as the instrument was given it (no frame-rate override)
  bool timely = true;         // its frames come slowly enough for each to be taken within kLateS
  double lateAllowance = 0.0; // what the delivery of its frames may hold them back (s)
  double lateSeen = 0.0;
  bool digoutQueued = false;  // a byte was queued in this run
  bool lineDead = false;      // its line hung up: a replug gives the port a new line, not this run
  int64_t lastK = -1;         // last frame handed out
  uint64_t lastNumber = UINT64_MAX;  // its number in the run (none yet)
  Ending endedBy = Ending::NewStart;  // how the host first ended it (while it went on)
  uint64_t missing = 0;       // frames skipped between scans handed out
  uint64_t taken = 0;
  int32_t lastUnread = 0;     // unread scans at the last retrieval
  // Memory logging was off for some of the run: the frames of that time
  // were never stored, so they are skipped without being overruns.
  bool memoryGap = false;
  // Noise on the line during the run: a frame carries no checksum, so a
  // noise byte inside one changes its values undetectably.
  bool noisy = false;
};

// A frame: the simulator's scan it was sent in, and its number there.
struct FrameId {
  int64_t run = -1;
  int64_t k = -1;
};

// What the generator believes of the rig when a sequence begins (the
// generator runs ahead of the rig, so it can only believe).
struct Belief {
  bool lineAlive = true;
  bool fresh = true;       // no call has initialised the library yet
  bool runGoing = false;
  uint32_t timedMs = 0;    // a timed run's length (0: not timed)
};

// The gain, rate and polarity the instrument was last given.
struct Mode {
  bool known = false;
  uint8_t gain = 1;
  double rate = 0.0;
  bool bipolar = true;
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
  Belief Believed() const;
  // The unload alone (the library's detach), then its leak check against
  // the process's figures before the rig was made; the rig is left to be
  // destroyed.
  // Returns what is left open, or "".
  std::string UnloadAndCount(int descriptorsBefore, int threadsBefore);

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
  bool Lenient() const { return faultSteps_ > 0 || !lineAlive_ || replugGrace_; }
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
  // Sleeps until `until`, noting when a run going is first seen over.
  void SleepWatching(Clock::time_point until);
  // A digital-output byte, queued during a run or written directly.
  void SendDigout(const std::string& what, uint8_t value, bool withScan, bool& talked);
  void SetLogText(const Step& s, const std::string& what);
  void StartWithoutLogFile(const Step& s, const std::string& what, bool& talked);
  bool cancelLogBox_ = false;  // the host answers Cancel when the scan log cannot be made
  // Runs a library call; false when s is no library call.
  bool CallLibrary(const Step& s, const std::string& what, bool& talked);
  // Injects a fault or a second host thread.
  void InjectFault(const Step& s, const std::string& what);
  void Retrieve(bool asInt, uint32_t wanted, bool lenient);

  // ---- the invariants (invariants.cpp) -------------------------------------
  // The simulator run and frame of a value in volts, among the simulator
  // runs of r up to lastRun; run -1 when it is no frame's value of them.
  FrameId FrameOf(double volts, const RunRecord& r, uint32_t lastRun) const;
  // One scan: all its values the same frame's (whole) and of this run,
  // type 2's readings in place; returns the frame.
  FrameId CheckScan(const double* v, const RunRecord& r, const std::string& where) const;
  void CheckScanLog();
  void CheckRunState(const std::string& after);
  void CheckDigout(const std::string& after);
  void CheckInterval();
  // Each closed scan log stays as its run left it.
  void CheckClosedLogs(const std::string& after);
  // The run's account: its counts add up, and its end reason is the one
  // the model's own account of the run gives.
  void CheckAccount(const std::string& after);
  void NoteLogClosed();
  // Every byte accepted with result 1 reaches the wire once its run is over.
  void CheckAcceptedDigout(const std::string& after);
  // The mode register at every conversion is the one the library gave.
  void CheckConversionModes(const std::string& after);
  Mode LibraryMode() const;
  // What holds after every step.
  void CheckAfterStep(const std::string& what, bool talked, bool alive);

  // ---- the host beyond its calls (host.cpp) ---------------------------------
  // A library call from inside the host's message box or beep handler.
  void CallFromHandler(const Step& s, const std::string& what, bool& talked);
  // EX_SetCOMport or EX_SetCOMportDevice to the other simulator's port.
  void SwitchPort(const Step& s, const std::string& what);
  void SetDelivery(const Step& s);
  void EndDelivery();
  // The model follows the library to the instrument it signed on to.
  void FollowSignOn(const std::string& what);
  void PrepareOther();
  std::string PathOfPort(int port) const { return (port == simPort_ ? sim_ : other_)->DevicePath(); }
  // Threads and pseudo-terminal descriptors the library holds.
  void CheckHeld(const std::string& what);
  // The instrument runs with what the run is timed and decoded with.
  void CheckGiven(const std::string& what);
  // One trailer (its lines from `at`) against its run.
  void CheckTrailer(const std::vector<std::string>& lines, size_t at, const std::string& where);

  // ---- state ---------------------------------------------------------------
  fs::path oldDir_;
  std::string dir_;
  std::unique_ptr<q583sim::Simulator> sim_;
  // The second instrument, on the other port; what it had sent and been
  // given when the library last left it, and the first run index it gives.
  std::unique_ptr<q583sim::Simulator> other_;
  uint32_t otherSignOns_ = 0, otherWrites_ = 0, otherBase_ = 0;
  size_t otherModes_ = 0;
  int simPort_ = 0;   // the port number of sim_ (other_ has the other)
  int port_ = 0;      // the port the library's record names
  int threadsBase_ = 0;
  int ptsBase_ = 0;         // the process's own terminals
  bool otherAlive_ = true;
  int deliverySteps_ = 0;  // steps left with the delivery shaped
  bool burst_ = false;
  double lateAllowance_ = 0.0;  // of the delivery as shaped now, bursts aside
  uint32_t burstFrames_ = 0;    // frames a burst holds back (they wait that many intervals)
  std::chrono::system_clock::time_point beginWall_;
  uint32_t simSeed_ = 583;
  int stepNo_ = 0;

  Settings settings_;
  Tri signedOn_ = Tri::No;
  bool replyTimeoutSet_ = false;
  bool initialised_ = false;
  bool lineAlive_ = true;
  bool lineChanged_ = false;  // hung up since the last sign-on
  // Replugged: the library learns of the new line when a call that talks
  // to the instrument fails, so that call's result is not predicted.
  bool replugGrace_ = false;
  Clock::time_point hungUpAt_;
  int faultSteps_ = 0;  // steps left in which a fault may act
  bool fastNext_ = false;
  bool noiseOn_ = false;
  // A byte lost or added inside a frame was asked of the simulator: a
  // frame carries no checksum, so the frame it hits is handed out damaged
  // (the next frame's marker then ends the run), and a single-channel run,
  // which has no marker, is shifted to its end.  The run it hits is noisy.
  bool shiftFault_ = false;
  std::optional<RunRecord> run_;
  Ending ending_ = Ending::AtOnce;
  std::set<std::string> logsBefore_;
  std::vector<uint8_t> asked_;  // digital-output bytes the host asked for, in order
  size_t wireSeen_ = 0;
  std::vector<uint8_t> accepted_;  // accepted bytes of the run, not yet seen on the wire
  std::map<std::string, uintmax_t> closedLogs_;  // closed scan logs and their sizes
  Mode mode_;                      // what the instrument was last given
  // Every experiment description and log comment the library took, in
  // order (each text is unique but ""), and how many texts were made.
  std::vector<std::string> experiments_{"none"};
  std::vector<std::string> comments_{""};
  int textsMade_ = 0;
  size_t modesSeen_ = 0;           // conversions checked
  uint32_t registerWritesSeen_ = 0;
  uint32_t simRunsBefore_ = 0;     // scans started before the step
  uint32_t simRunBase_ = 0;        // scans the simulators before this one started
  // Scans started by every simulator of the rig so far.
  uint32_t ScansStarted() const { return simRunBase_ + sim_->GetState().scansStarted; }
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
