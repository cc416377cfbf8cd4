#include "model/model.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <rapidcheck.h>
#include <rapidcheck/state.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/q583.h"
#include "library/entry.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "q583sim/simulator.h"
#include "scan/scan_run.h"

namespace fs = std::filesystem;

namespace q583model {
namespace {

using Clock = std::chrono::steady_clock;

// Every input of the simulator is one ramp, so a value tells the frame it
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

std::atomic<uint64_t> gSequences{0};
SoakControl gSoak;
std::atomic<uint64_t> gSteps{0};

int Count(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.') ++n;
    closedir(d);
  }
  return n;
}

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

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

// The configuration files the load is given: a plain one, one without
// channel codes, and two with an interval the settings cannot run.
const char* const kIniFiles[] = {
    "[MAIN]\ncomPort=0\ntScan=1\nRate=60\nScanInterval=0.05\nLogScans=3\n[SubChannels]\n0=0\n1=1\n2=16\n3=16\n4=16\n5=16\n",
    "[MAIN]\ncomPort=0\ntScan=1\nLogScans=2\n",
    "[MAIN]\ncomPort=0\ntScan=2\nScanInterval=5000\nLogScans=3\n[SubChannels]\n0=0\n1=16\n2=16\n3=16\n4=16\n5=16\n",
    "[MAIN]\ncomPort=0\ntScan=1\nScanInterval=-1\nLogScans=1\n[SubChannels]\n0=0\n1=0\n2=0\n3=16\n4=16\n5=16\n",
};
// Codes and scan type each file leaves (a missing key reads as its default:
// "1" for the first code, sub-channels 0 and 1, and 16 for the others).
const std::array<uint8_t, 6> kIniCodes[] = {
    {0, 1, kOff, kOff, kOff, kOff}, {1, kOff, kOff, kOff, kOff, kOff},
    {0, kOff, kOff, kOff, kOff, kOff}, {0, 0, 0, kOff, kOff, kOff}};
const uint8_t kIniScanType[] = {1, 1, 2, 1};

const char* const kFaultNames[] = {"NoReply", "Late", "WrongEcho", "Cut"};
const uint8_t kFaultCommands[] = {0x81, 0x84, 0x86, 0x80, 0x82, 0x83, 0x89, 0x8A, 0x8B, 0x8C};
const char* const kFrameFaultNames[] = {"WrongMarker", "DropByte", "AddByte"};

std::string Show(const Step& s) {
  std::ostringstream o;
  switch (s.op) {
    case Op::Wait: o << "wait " << s.a << " ms"; break;
    case Op::Retrieve: o << (s.a ? "EX_GetScanDataInt" : "EX_GetScanDataDbl") << "(up to " << s.b << ")"; break;
    case Op::Start: o << (s.a ? "EX_StartScan_NoSysCal()" : "EX_StartScan()"); break;
    case Op::EndScan: o << "EX_EndScan()"; break;
    case Op::Stop: o << "EX_Stop()"; break;
    case Op::Run: o << "EX_Run()"; break;
    case Op::InitDev: o << "EX_InitDev()"; break;
    case Op::SetScanType: o << "EX_SetScanType(" << s.a << ")"; break;
    case Op::SetCodes:
      o << "EX_SetMultiChanScanChanCodes(";
      for (int i = 0; i < 6; ++i) o << "0x" << std::hex << int(s.codes[i]) << std::dec << (i < 5 ? ", " : ", 0)");
      break;
    case Op::GetCodes: o << "EX_GetMultiChanScanChanCodes()"; break;
    case Op::SetSingleCode: o << "EX_SetSingleChanScanChanCode(0x" << std::hex << s.a << std::dec << "), then the getter"; break;
    case Op::SetLogOptions: o << "EX_SetDataLogOptions(" << s.a << ", " << s.b << ", 0)"; break;
    case Op::SetRunLength: o << (s.a ? "EX_SetLengthOfRunSec(" : "EX_SetLengthOfRunMs(") << s.b << ")"; break;
    case Op::SetRate: o << "EX_SetRate(" << s.x << ")"; break;
    case Op::SetGain: o << "EX_SetGain(" << s.a << ")"; break;
    case Op::SetAverage: o << "EX_SetRemoteAverage(" << s.a << ")"; break;
    case Op::SetFilter: o << "EX_SetFilter(" << s.a << ")"; break;
    case Op::Interval: o << (s.a == 0 ? "EX_SetToMinScanInterval()" : "EX_SetToUserScanInterval(min x ") << (s.a ? std::to_string(s.a + 1) + ")" : ""); break;
    case Op::Digout: o << (s.b ? "EX_SendDigoutWScan(" : "EX_SendDigout(") << s.a << ")"; break;
    case Op::GetDigin: o << "EX_GetDigin()"; break;
    case Op::OneConversion: o << "EX_GetOneConversion()"; break;
    case Op::PolledChan: o << "EX_SetPolledModeChan(" << s.a << ", " << s.b << ")"; break;
    case Op::DiginScan: o << "EX_SetDiginScan(" << s.a << ")"; break;
    case Op::Calibrate: o << (s.a == 0 ? "EX_SystemCalibration()" : s.a == 1 ? "EX_FullScaleCalibration()" : "EX_OffsetCalibration()"); break;
    case Op::Standby: o << "EX_Standby(" << s.a << ")"; break;
    case Op::Sleep: o << "EX_Sleep(1)"; break;
    case Op::Reset: o << "EX_Reset()"; break;
    case Op::IniLoad: o << "EX_SetDevToIniSetup() with file " << s.a; break;
    case Op::Beep: o << "EX_SetRunEndBeepOptions(" << s.a << ", 880, 5, 1, 2)"; break;
    case Op::CommandFault:
      o << "fault: " << kFaultNames[s.a] << " on command 0x" << std::hex << int(kFaultCommands[s.b]) << std::dec;
      break;
    case Op::FrameFault: o << "fault: " << kFrameFaultNames[s.a] << " in frame " << s.b << " of the run"; break;
    case Op::Noise: o << "fault: line noise " << s.a << " bytes/s for one step"; break;
    case Op::FastFrames: o << "fault: next run sends a frame every " << s.x * 1000 << " ms"; break;
    case Op::HangUp: o << "fault: hang-up"; break;
    case Op::Reconnect: o << "new simulator, EX_SetCOMportDevice(0, its path)"; break;
    case Op::TwoThreads:
      o << "second host thread: EX_SendDigoutWScan/EX_CheckRun while the first calls "
        << (s.a == 0 ? "EX_EndScan()" : s.a == 1 ? "EX_StartScan_NoSysCal()" : s.a == 2 ? "EX_SetRate(60)" : "EX_Run()");
      break;
  }
  return o.str();
}

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

int ChannelCount(const std::array<uint8_t, 6>& codes) {
  int n = 0;
  for (uint8_t c : codes)
    if (c != kOff && (c >> 4) <= (c & 15)) n += (c & 15) - (c >> 4) + 1;
  return n;
}

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

// The steps of the sequence that runs now, printed with a failure as it
// happens (shrinking may take long, or be cut short by a time-out).
std::string& Trail() {
  static std::string trail;
  return trail;
}

// The runner's own failure, raised where a check fails.
void Require(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "[model] FAILED: %s\n[model] after the steps:\n%s", what.c_str(), Trail().c_str());
  RC_FAIL(what);
}

int Q583_CALL AnswerOk(const char*, const char*, uint32_t) { return 1; }
void Q583_CALL NoTone(uint32_t, uint32_t) {}

// The watchdog: a call that never returns ends the process with the
// sequence so far, since no shrink can follow a hung library.
struct Watchdog {
  std::mutex mu;
  std::condition_variable cv;
  std::string what;
  std::string trail;
  Clock::time_point since;
  bool armed = false;
  bool quit = false;
  std::thread thread{[this] { Loop(); }};

  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mu);
      quit = true;
    }
    cv.notify_all();
    thread.join();
  }
  void Arm(const std::string& call, const std::string& steps) {
    std::lock_guard<std::mutex> lock(mu);
    what = call;
    trail = steps;
    since = Clock::now();
    armed = true;
  }
  void Disarm() {
    std::lock_guard<std::mutex> lock(mu);
    armed = false;
  }
  void Loop() {
    std::unique_lock<std::mutex> lock(mu);
    while (!quit) {
      cv.wait_for(lock, std::chrono::milliseconds(500));
      if (armed && Ms(Clock::now() - since) > kHardLimitMs) {
        std::fprintf(stderr, "\nMODEL: %s has not returned after %d s; the steps so far:\n%s\n", what.c_str(),
                     kHardLimitMs / 1000, trail.c_str());
        std::fflush(stderr);
        std::_Exit(3);
      }
    }
  }
};

Watchdog& TheWatchdog() {
  static Watchdog dog;
  return dog;
}

// ---- The system under test: library, simulator and what was seen -------------

class Rig {
 public:
  explicit Rig(bool signOn, uint32_t clockStart) {
    oldDir_ = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "q583-model-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    fs::current_path(dir_);
    ReloadLibrary();
    platform::SetClockStart(clockStart);
    EX_SetMessageBoxHandler(&AnswerOk);
    EX_SetBeepHandler(&NoTone);
    NewSimulator();
    EX_SetIniDirectory(dir_.c_str());
    if (std::getenv("Q583_MODEL_DEBUG_LOGS")) {  // kept with Q583_KEEP_TEST_DIRS
      EX_DoVexDbgNew(1);
      EX_DoScanDebug(1);
    }
    if (signOn) {
      Require(EX_InitDev() == 1, "setup: EX_InitDev failed");
      signedOn_ = Tri::Yes;
      replyTimeoutSet_ = true;
      initialised_ = true;
    }
  }

  ~Rig() {
    ReloadLibrary();  // the unload: threads ended, port and logs closed
    sim_.reset();
    std::error_code ec;
    fs::current_path(oldDir_, ec);
    if (!std::getenv("Q583_KEEP_TEST_DIRS")) fs::remove_all(dir_, ec);
  }

  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  void Execute(const Step& s);

 private:
  // ---- calls with a time bound --------------------------------------------
  template <class F>
  auto Timed(const std::string& what, int boundMs, F&& f) {
    TheWatchdog().Arm(what, Trail());
    const auto t0 = Clock::now();
    auto result = f();
    const double took = Ms(Clock::now() - t0);
    TheWatchdog().Disarm();
    Require(took <= boundMs, what + " took " + std::to_string(static_cast<int>(took)) + " ms, bound " +
                                 std::to_string(boundMs) + " ms");
    return result;
  }

  int Slack() const { return faultSteps_ > 0 ? kFaultSlackMs : 0; }
  // After a hang-up the library may learn of the new line only when a call
  // fails: results are not predicted until the host signs on again.
  bool Lenient() const { return faultSteps_ > 0 || !lineAlive_ || lineChanged_; }
  bool RunGoing() const { return run_ && run_->going; }

  // The settling wait of the scan end, from the rate the instrument runs.
  // The rate the instrument runs: none below its slowest divider.
  double RunRate() const { return std::max(9.5, static_cast<double>(settings_.rate)); }
  int EndScanBound() const {
    const double settle = 5.0 * std::max(1, ChannelCount(settings_.codes)) * settings_.average / RunRate() * 1000.0;
    return 200 + 1500 + static_cast<int>(2 * settle) + ReplyMs() + kForcedEndMs + Slack();
  }
  // One command and its reply: the library's reply time-out, from the
  // conversion time at the rate the instrument runs.
  int ReplyMs() const {
    return static_cast<int>(2000.0 * (settings_.average / RunRate() + 2.3));
  }
  // A system calibration: three readings and two register writes.
  int CalibrationMs() const { return 3 * kCalibrationStepMs + 2 * ReplyMs(); }
  int SignOnBound() const { return kSignOnMs + CalibrationMs() + Slack(); }
  // A direct operation: maybe a sign-on, the command, a new sign-on and a retry.
  int DirectBound() const { return 2 * SignOnBound() + 2 * ReplyMs() + EndScanBound() + Slack(); }

  void NewSimulator() {
    q583sim::Options o;
    o.pacing = false;
    o.seed = simSeed_++;
    sim_ = std::make_unique<q583sim::Simulator>(o);
    for (int m = 0; m < 8; ++m)
      for (int c = 0; c < 16; ++c)
        sim_->SetInput(m, c, {q583sim::SignalKind::Ramp, kRampOffset, kRampAmplitude, kRampPeriod});
    sim_->SetCalibrationReadings(kOffsetReading, kFullScaleReading);
    sim_->SetDigitalInput(kDigitalInput);
    EX_SetCOMportDevice(0, sim_->DevicePath().c_str());
    lineAlive_ = true;
    asked_.clear();
    wireSeen_ = 0;
  }

  // ---- run bookkeeping ----------------------------------------------------
  void EndRun(Ending how) {
    if (!run_) return;
    if (run_->going) {
      run_->going = false;
      ending_ = how;
    } else if (how == Ending::Orderly) {
      ending_ = Ending::Orderly;
    }
    CheckScanLog();
  }

  std::set<std::string> ScanLogs() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) {
      const std::string n = e.path().filename().string();
      if (n.rfind("ScanLog_", 0) == 0) names.insert(n);
    }
    return names;
  }

  void Started(Clock::time_point begin) {
    if (run_ && !run_->fileChecked) {
      ending_ = run_->going ? Ending::NewStart : ending_;
      run_->going = false;
      CheckScanLog();
    }
    RunRecord r;
    r.id = run_ ? run_->id + 1 : 1;
    r.begin = begin;
    r.started = Clock::now();
    r.type = settings_.type;
    const int n = settings_.type == 0 ? 1 : ChannelCount(settings_.codes);
    r.points = static_cast<uint32_t>(n + (settings_.type == 2 ? 2 : 0));
    r.interval = sim_->GetState().frameIntervalS;
    r.lengthMode = settings_.lengthMode;
    r.length = settings_.length;
    r.stopWhenFull = (settings_.logFlags & 6) == 6;
    r.memory = (settings_.logFlags & 2) != 0;
    r.noisy = noiseOn_;
    r.mayEnd = fastNext_ || faultSteps_ > 0 || !lineAlive_;
    if (settings_.logFlags & 1) {
      const auto now = ScanLogs();
      for (const auto& n2 : now)
        if (!logsBefore_.count(n2)) r.file = n2;
    }
    ending_ = Ending::AtOnce;
    run_ = r;
    if (fastNext_) {
      sim_->SetFrameIntervalOverride(0.0);
      fastNext_ = false;
    }
  }

  // Frame number of a value in volts; -1 when it is no frame's value.
  int64_t FrameOf(double volts, double interval) const {
    const double t = (volts - kRampOffset) / kRampAmplitude * kRampPeriod;
    const double k = std::round(t / interval) - 1.0;
    if (k < 0 || std::fabs(t - (k + 1.0) * interval) > std::max(0.25 * interval, 1e-4)) return -1;
    return static_cast<int64_t>(k);
  }

  // One scan: all its values the same frame's (whole), type 2's readings in
  // place; returns the frame number.
  int64_t CheckScan(const double* v, const RunRecord& r, const std::string& where) const {
    const uint32_t channels = r.points - (r.type == 2 ? 2 : 0);
    const int64_t k = FrameOf(v[0], r.interval);
    Require(k >= 0, where + ": value " + std::to_string(v[0]) + " is no frame's value");
    for (uint32_t i = 1; i < channels; ++i)
      Require(std::fabs(v[i] - v[0]) < 2e-6, where + ": a scan mixes values of different frames (" +
                                                 std::to_string(v[0]) + " and " + std::to_string(v[i]) + ")");
    if (r.type == 2) {
      Require(std::fabs(v[channels] - kOffsetReading) < 1e-5 && std::fabs(v[channels + 1] - kFullScaleReading) < 1e-5,
              where + ": the offset and full-scale readings are not at the end of the scan");
    }
    return k;
  }

  void CheckScanLog();
  void CheckRunState(const std::string& after);
  void CheckDigout(const std::string& after);
  void CheckInterval();
  void Retrieve(bool asInt, uint32_t wanted, bool lenient);
  void ReadBackSettings();

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
  int faultSteps_ = 0;   // steps left in which a fault may act
  bool fastNext_ = false;
  bool noiseOn_ = false;
  std::optional<RunRecord> run_;
  Ending ending_ = Ending::AtOnce;
  std::set<std::string> logsBefore_;
  std::vector<uint8_t> asked_;  // digital-output bytes the host asked for, in order
  size_t wireSeen_ = 0;
};

// Every closed scan log: the trailer its ending requires, and rows that are
// the run's scans, whole and in order, none missing.
void Rig::CheckScanLog() {
  if (!run_ || run_->fileChecked || run_->file.empty()) return;
  run_->fileChecked = true;
  std::ifstream in(fs::path(dir_) / run_->file);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) lines.push_back(line);
  const std::string where = "scan log " + run_->file;
  Require(!lines.empty() && lines[0].rfind("Time / s", 0) == 0, where + ": no header line");
  int64_t expect = 0;
  size_t i = 1;
  for (; i < lines.size() && !lines[i].empty(); ++i) {
    if (run_->noisy) continue;  // the rows are there; their values may carry noise
    std::vector<double> values;
    std::istringstream fields(lines[i]);
    std::string f;
    std::getline(fields, f, '\t');  // the time column
    while (std::getline(fields, f, '\t')) values.push_back(std::atof(f.c_str()));
    Require(values.size() == run_->points, where + " row " + std::to_string(i) + ": " + std::to_string(values.size()) +
                                               " values, the run takes " + std::to_string(run_->points));
    const int64_t k = CheckScan(values.data(), *run_, where + " row " + std::to_string(i));
    Require(k == expect, where + " row " + std::to_string(i) + " holds frame " + std::to_string(k) + ", expected " +
                             std::to_string(expect));
    ++expect;
  }
  const int rows = static_cast<int>(i - 1);
  int trailers = 0;
  for (; i + 6 < lines.size() + 1 && i < lines.size(); i += 7) {
    Require(lines[i].empty() && lines[i + 1].rfind("Minimal System Interval:", 0) == 0, where + ": junk after the rows");
    const auto& sub = lines[i + 3];
    Require(sub.rfind("Subcycles averaged:", 0) == 0, where + ": trailer without its count");
    if (trailers == 0)
      Require(std::atoi(sub.substr(sub.find('\t') + 1).c_str()) == rows,
              where + ": trailer counts " + sub.substr(sub.find('\t') + 1) + " scans, the file has " + std::to_string(rows));
    Require(i + 6 < lines.size() && lines[i + 6].rfind("Experiment Description:", 0) == 0, where + ": trailer cut short");
    ++trailers;
  }
  Require(trailers <= 2, where + ": more than two trailers");
  const bool required = ending_ == Ending::Orderly || run_->selfEnded;
  Require(!required || trailers >= 1, where + ": closed without its trailer (" +
                                          (run_->selfEnded ? "the run ended by itself" : "an orderly end") + ")");
}

// EX_CheckRun against the model; the acquisition thread may end by itself
// only where the model allows it.
void Rig::CheckRunState(const std::string& after) {
  const bool alive1 = ScanRunning();
  const uint8_t checkRun = Timed("EX_CheckRun()", kInstantMs, [] { return EX_CheckRun(); });
  const bool signedOn = fDevSignedOn;
  const bool alive2 = ScanRunning();
  if (alive1 == alive2) Require(checkRun == (signedOn && alive1 ? 1 : 0), after + ": EX_CheckRun disagrees with the run state");
  if (signedOn_ != Tri::Maybe && !Lenient() && !lineChanged_)
    Require(signedOn == (signedOn_ == Tri::Yes), after + ": signed on is " + std::to_string(signedOn) + ", expected " +
                                                      std::to_string(signedOn_ == Tri::Yes));
  signedOn_ = signedOn ? Tri::Yes : Tri::No;
  if (!RunGoing()) {
    Require(!alive2, after + ": an acquisition thread runs that the model does not know of");
    return;
  }
  RunRecord& r = *run_;
  const double sinceBegin = Ms(Clock::now() - r.begin);
  const double sinceStarted = Ms(Clock::now() - r.started);
  bool mayEnd = r.mayEnd || Lenient();
  bool mustEnd = false;
  const double frameWait = r.interval * 1000.0 + 3000.0;
  if (r.lengthMode == 2) {
    mayEnd = mayEnd || sinceBegin >= r.length;
    mustEnd = sinceStarted > r.length + 100 + frameWait + 1000;
  } else if (r.lengthMode == 3) {
    mayEnd = mayEnd || sinceBegin >= r.length * 1100.0;
    mustEnd = sinceStarted > r.length * 1100.0 + 1100 + frameWait + 1000;
  }
  if (r.stopWhenFull) mayEnd = mayEnd || sinceBegin >= 8000 * r.interval * 1000.0;
  if (!lineAlive_) mustEnd = mustEnd || Ms(Clock::now() - hungUpAt_) > 2500;
  if (!alive2) {
    Require(mayEnd, after + ": the run ended by itself after " + std::to_string(static_cast<int>(sinceStarted)) +
                        " ms, with nothing to end it");
    r.going = false;
    r.selfEnded = true;
    ending_ = Ending::AtOnce;
  } else {
    Require(!mustEnd, after + ": the run should have ended by now (" + std::to_string(static_cast<int>(sinceStarted)) +
                          " ms" + (lineAlive_ ? "" : ", the line hung up") + ")");
  }
}

// The digital-output bytes on the wire are the ones the host asked for, in
// the order asked; a queued byte may be dropped with its run, never sent late.
void Rig::CheckDigout(const std::string& after) {
  const auto wire = sim_->GetState().digitalOutputs;
  size_t p = 0;
  bool any = false;
  for (size_t w = 0; w < wire.size(); ++w) {
    if (any && asked_[p] == wire[w]) continue;  // sent again (a sign-on)
    size_t q = any ? p + 1 : 0;
    while (q < asked_.size() && asked_[q] != wire[w]) ++q;
    if (q == asked_.size() && w < wireSeen_) continue;  // before the model knew
    Require(q < asked_.size(), after + ": digital output " + std::to_string(wire[w]) +
                                   " on the wire, not in the order the host asked for");
    p = q;
    any = true;
  }
}

void Rig::CheckInterval() {
  double interval = 0, lo = 0, hi = 0;
  Require(Timed("EX_GetScanIntervalMinMax", kInstantMs, [&] { return EX_GetScanIntervalMinMax(&lo, &hi); }) == 1,
          "EX_GetScanIntervalMinMax failed");
  Require(EX_GetScanInterval(&interval) == 1, "EX_GetScanInterval failed");
  // Settings that no interval can meet (a stored rate far below what the
  // divider runs, say) have a minimum above the maximum: only positive.
  if (lo > hi + 1e-3) {
    Require(interval > 0, "scan interval " + std::to_string(interval) + " not positive");
    return;
  }
  Require(interval > 0 && interval >= lo - 1e-3 && interval <= hi + 1e-3,
          "scan interval " + std::to_string(interval) + " outside its limits " + std::to_string(lo) + ".." + std::to_string(hi));
}

void Rig::ReadBackSettings() {
  uint8_t type = 0;
  uint32_t flags = 0, limit = 0;
  EX_GetScanType(&type);
  EX_GetDataLogOptions(&flags, &limit, 0);
  double rate = 0;
  EX_GetRate(&rate);
  uint16_t average = 0;
  EX_GetRemoteAverage(&average);
  settings_.type = type;
  settings_.logFlags = flags;
  settings_.rate = static_cast<float>(rate);
  settings_.average = average;
  settings_.single.reset();
}

// Takes scans from the ring and checks every one: whole, in order, never
// repeated; a skipped frame must be counted as an overrun.
void Rig::Retrieve(bool asInt, uint32_t wanted, bool lenient) {
  const std::string name = asInt ? "EX_GetScanDataInt" : "EX_GetScanDataDbl";
  const uint32_t points = run_ ? run_->points : 1;
  std::vector<double> dbl(static_cast<size_t>(wanted) * 32 + 64, NAN);
  std::vector<int32_t> raw(dbl.size(), 0);
  int32_t returned = -1, unread = -1;
  uint8_t running = 7;
  // Ask first how many wait: a request beyond the unread count is the host's error.
  auto call = [&](uint32_t n) {
    return Timed(name, kInstantMs + (lenient ? kForcedEndMs : 0), [&] {
      return asInt ? EX_GetScanDataInt(raw.data(), n, &returned, &unread, &running)
                   : EX_GetScanDataDbl(dbl.data(), n, &returned, &unread, &running);
    });
  };
  uint8_t ok = call(0);
  if (signedOn_ == Tri::No && RunGoing()) {
    // (the unread scans of an ended run are handed out also then)
    Require(ok == 0, name + " gave scans while not signed on");
    return;
  }
  if (!ok) {
    Require(running == 0 || running == 7, name + ": false with the running output set");
    // Unread scans of an ended run stay retrievable until the next start.
    if (run_ && !RunGoing() && !lenient)
      Require(run_->lastUnread == 0, name + ": false after the run ended, with " + std::to_string(run_->lastUnread) +
                                         " scans unread at the last call");
    if (RunGoing() && !lenient && !run_->mayEnd) Require(!ScanRunning(), name + ": false while the run goes on");
    return;
  }
  if (run_ && unread >= 0) run_->lastUnread = unread;
  if (!run_ || unread <= 0) return;
  const uint32_t n = std::min<uint32_t>(wanted, static_cast<uint32_t>(std::max(0, unread)));
  if (n == 0) return;
  returned = -1;
  ok = call(n);
  Require(ok == 1, name + " failed with " + std::to_string(unread) + " scans unread");
  Require(returned >= 0 && static_cast<uint32_t>(returned) <= n, name + " returned " + std::to_string(returned) +
                                                                     " scans of " + std::to_string(n) + " asked");
  RunRecord& r = *run_;
  r.lastUnread = unread;
  if (!r.memory || r.noisy) return;  // scans counted, values never stored; or values that met noise
  for (int32_t s = 0; s < returned; ++s) {
    std::vector<double> v(points);
    for (uint32_t j = 0; j < points; ++j) {
      const size_t idx = static_cast<size_t>(s) * points + j;
      if (asInt) {
        const double mv = 2.0 * (raw[idx] * 0.0002980232) - 5000.0;
        v[j] = mv * 0.001;
      } else {
        v[j] = dbl[idx];
      }
    }
    const int64_t k = CheckScan(v.data(), r, name + " scan " + std::to_string(r.taken));
    Require(k > r.lastK, name + ": frame " + std::to_string(k) + " handed out after frame " + std::to_string(r.lastK) +
                             " (repeated or out of order)");
    r.missing += static_cast<uint64_t>(k - r.lastK - 1);
    r.lastK = k;
    ++r.taken;
  }
  r.lastUnread = unread;
  uint32_t overruns = 0;
  EX_GetScanOverrunCount(&overruns);
  Require(r.missing <= overruns, name + ": " + std::to_string(r.missing) + " frames skipped, " +
                                     std::to_string(overruns) + " counted as overruns");
}

void Rig::Execute(const Step& s) {
  ++stepNo_;
  ++gSteps;
  const std::string what = Show(s);
  Trail() += "  " + std::to_string(stepNo_) + ". " + what + "\n";
  if (std::getenv("Q583_MODEL_TRACE")) std::fprintf(stderr, "[model] %s\n", what.c_str());
  const bool lenient = Lenient();
  const bool alive = lineAlive_;
  const auto begin = Clock::now();
  auto expect = [&](uint8_t got, uint8_t want) {
    if (!lenient) Require(got == want, what + " returned " + std::to_string(got) + ", expected " + std::to_string(want));
  };
  bool talked = false;  // the library talked to the instrument without starting a scan
  logsBefore_ = ScanLogs();

  switch (s.op) {
    case Op::Wait:
      SleepMs(s.a);
      break;
    case Op::Retrieve:
      Retrieve(s.a != 0, static_cast<uint32_t>(s.b), lenient);
      break;
    case Op::Start: {
      const bool signsOn = signedOn_ != Tri::Yes;
      const int typeZeroWait = settings_.type == 0 ? (settings_.filter == 1 ? 2 * 560 + 1002 : 2 * 36 + 1002) : 0;
      // A stop (with its settling) may go first when a run ended at once.
      const int bound = (signsOn ? SignOnBound() : 0) + EndScanBound() + (s.a ? 0 : CalibrationMs()) +
                        2 * ReplyMs() + typeZeroWait + Slack();
      const uint8_t ok = Timed(what, bound, [&] { return s.a ? EX_StartScan_NoSysCal() : EX_StartScan(); });
      if (!s.a) replyTimeoutSet_ = replyTimeoutSet_ || ok;
      if (s.a && !replyTimeoutSet_ && !ok) break;  // no averaging command yet: no echo awaited
      expect(ok, 1);
      if (ok) {
        Started(begin);
      } else if (run_ && run_->going) {
        EndRun(Ending::AtOnce);  // a stale thread ends before the start
      }
      break;
    }
    case Op::EndScan:
    case Op::Stop: {
      const bool hung = !alive;
      const int bound = hung ? 2500 : EndScanBound();
      const uint8_t ok = Timed(what, bound, [&] { return s.op == Op::Stop ? EX_Stop() : EX_EndScan(); });
      if (s.op == Op::Stop && signedOn_ == Tri::No) {
        Require(ok == 0, what + " while not signed on");
        break;
      }
      if (hung && RunGoing()) Require(ok == 0, what + " succeeded on a hung-up line");
      if (signedOn_ == Tri::Yes) expect(ok, 1);
      if (signedOn_ != Tri::Yes) signedOn_ = Tri::Maybe;  // a failed channel select signs on
      EndRun(Ending::Orderly);
      talked = true;
      break;
    }
    case Op::Run: {
      const uint8_t ok = Timed(what, EndScanBound() + SignOnBound() + CalibrationMs() + 2 * ReplyMs(), [] { return EX_Run(); });
      EndRun(Ending::AtOnce);
      if (alive) expect(ok, 1);
      if (ok) {
        replyTimeoutSet_ = true;
        initialised_ = true;
        signedOn_ = Tri::Yes;
        Started(begin);
      }
      break;
    }
    case Op::InitDev: {
      const uint8_t ok = Timed(what, EndScanBound() + SignOnBound(), [] { return EX_InitDev(); });
      expect(ok, alive ? 1 : 0);
      EndRun(Ending::Orderly);
      if (ok) replyTimeoutSet_ = initialised_ = true;
      if (ok) {
        lineChanged_ = false;
        signedOn_ = Tri::Yes;
      }
      talked = ok;
      break;
    }
    case Op::SetScanType: {
      expect(Timed(what, kInstantMs, [&] { return EX_SetScanType(static_cast<uint8_t>(s.a)); }), 1);
      settings_.type = static_cast<uint8_t>(s.a);
      initialised_ = true;
      // A run keeps the type of its start: the new one is the next run's.
      break;
    }
    case Op::SetCodes: {
      const auto& c = s.codes;
      const uint8_t ok = Timed(what, EndScanBound() + SignOnBound() + 2 * ReplyMs(),
                               [&] { return EX_SetMultiChanScanChanCodes(c[0], c[1], c[2], c[3], c[4], c[5], 0); });
      expect(ok, alive ? 1 : 0);
      EndRun(Ending::Orderly);
      for (int i = 0; i < 6; ++i) settings_.codes[i] = ((c[i] >> 4) > (c[i] & 15)) ? kOff : c[i];
      if (ok) replyTimeoutSet_ = true;
      initialised_ = true;
      talked = ok;
      break;
    }
    case Op::GetCodes: {
      std::array<uint8_t, 7> out{};
      const bool signsOn = signedOn_ != Tri::Yes && !RunGoing();
      const uint8_t ok = Timed(what, signsOn ? SignOnBound() : kInstantMs, [&] {
        return EX_GetMultiChanScanChanCodes(&out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6]);
      });
      if (!lenient) Require(ok == 1, what + " failed");
      if (ok) {
        for (int i = 0; i < 6; ++i)
          if (initialised_) Require(out[i] == settings_.codes[i], what + ": code " + std::to_string(i) + " reads " + std::to_string(out[i]));
        const int expectCount = ChannelCount(settings_.codes);
        if (initialised_) Require(out[6] == expectCount, what + ": count " + std::to_string(out[6]) + ", the codes make " + std::to_string(expectCount));
        if (signsOn) {
          replyTimeoutSet_ = initialised_ = true;
          signedOn_ = Tri::Yes;
        }
      }
      break;
    }
    case Op::SetSingleCode: {
      expect(Timed(what, kForcedEndMs, [&] { return EX_SetSingleChanScanChanCode(static_cast<uint8_t>(s.a)); }), 1);
      EndRun(Ending::AtOnce);
      uint8_t code = 0xEE;
      Require(EX_GetSingleChanScanChanCode(&code) == 1 && code == (s.a & 0xF0),
              what + ": the getter reads 0x" + std::to_string(code) + ", expected the high nibble of the code set");
      initialised_ = true;
      break;
    }
    case Op::SetLogOptions: {
      expect(Timed(what, kInstantMs, [&] { return EX_SetDataLogOptions(static_cast<uint32_t>(s.a), static_cast<uint32_t>(s.b), 0); }), 1);
      uint32_t flags = 0, limit = 0;
      Require(EX_GetDataLogOptions(&flags, &limit, 0) == 1, "EX_GetDataLogOptions failed");
      Require((flags & 7) == (static_cast<uint32_t>(s.a) & 7), what + ": EX_GetDataLogOptions reads " + std::to_string(flags));
      settings_.logFlags = flags;
      if (RunGoing() && !(flags & 2)) run_->memory = false;
      initialised_ = true;
      break;
    }
    case Op::SetRunLength: {
      expect(Timed(what, kForcedEndMs, [&] {
               return s.a ? EX_SetLengthOfRunSec(static_cast<uint32_t>(s.b)) : EX_SetLengthOfRunMs(static_cast<uint32_t>(s.b));
             }), 1);
      EndRun(Ending::AtOnce);
      settings_.lengthMode = s.b == 0 ? 1 : (s.a ? 3 : 2);
      settings_.length = static_cast<uint32_t>(s.b);
      break;
    }
    case Op::SetRate: {
      const uint8_t ok = Timed(what, kForcedEndMs, [&] { return EX_SetRate(s.x); });
      expect(ok, s.x > 0 ? 1 : 0);
      if (ok) {
        EndRun(Ending::AtOnce);
        settings_.rate = static_cast<float>(s.x);
      }
      initialised_ = true;
      break;
    }
    case Op::SetGain: {
      const bool valid = s.a >= 1 && s.a <= 128 && (s.a & (s.a - 1)) == 0;
      expect(Timed(what, kInstantMs, [&] { return EX_SetGain(static_cast<uint8_t>(s.a)); }), valid ? 1 : 0);
      initialised_ = true;
      break;
    }
    case Op::SetAverage: {
      const bool valid = s.a >= 1 && (s.a & (s.a - 1)) == 0;
      const uint8_t ok = Timed(what, kInstantMs, [&] { return EX_SetRemoteAverage(static_cast<uint16_t>(s.a)); });
      expect(ok, valid ? 1 : 0);
      if (ok) settings_.average = static_cast<uint16_t>(s.a);
      initialised_ = true;
      break;
    }
    case Op::SetFilter:
      expect(Timed(what, kInstantMs, [&] { return EX_SetFilter(static_cast<uint8_t>(s.a)); }), 1);
      settings_.filter = static_cast<uint8_t>(s.a);
      initialised_ = true;
      break;
    case Op::Interval: {
      double lo = 0, hi = 0;
      EX_GetScanIntervalMinMax(&lo, &hi);
      double want = lo * (s.a + 1);
      const uint8_t ok = Timed(what, kInstantMs, [&] { return s.a == 0 ? EX_SetToMinScanInterval() : EX_SetToUserScanInterval(&want); });
      expect(ok, s.a == 0 || (want > lo && want < hi) ? 1 : 0);
      initialised_ = true;
      break;
    }
    case Op::Digout: {
      uint8_t busy = 9;
      const bool during = RunGoing();
      const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound(), [&] {
        return s.b ? EX_SendDigoutWScan(static_cast<uint8_t>(s.a), &busy) : EX_SendDigout(static_cast<uint8_t>(s.a));
      });
      if (during && ScanRunning()) {
        // Queued: busy only when this run already queued a byte.
        if (!ok && s.b) Require(busy == 1, what + ": false during a scan, busy " + std::to_string(busy));
        if (!ok && !lenient) Require(run_->digoutQueued, what + ": busy with a byte that no host call of this run queued");
        if (ok) run_->digoutQueued = true;
      } else if (!during) {
        expect(ok, alive ? 1 : 0);
        talked = ok;
        if (ok) signedOn_ = Tri::Yes;
      }
      if (ok) asked_.push_back(static_cast<uint8_t>(s.a));
      if (ok && !during) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(500);
        while (Clock::now() < deadline && (sim_->GetState().digitalOutputs.empty() ||
                                           sim_->GetState().digitalOutputs.back() != static_cast<uint8_t>(s.a)))
          SleepMs(2);
        const auto wire = sim_->GetState().digitalOutputs;
        Require(!wire.empty() && wire.back() == static_cast<uint8_t>(s.a), what + ": the byte is not the last on the wire");
      }
      break;
    }
    case Op::GetDigin: {
      uint8_t v = 0;
      const bool during = RunGoing();
      const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound(), [&] { return EX_GetDigin(&v); });
      if (during && ScanRunning()) Require(ok == 0, what + " during a scan");
      if (!during) expect(ok, alive ? 1 : 0);
      if (ok && !lenient) Require(v == kDigitalInput, what + " read " + std::to_string(v));
      talked = ok;
      if (ok) signedOn_ = Tri::Yes;
      break;
    }
    case Op::OneConversion: {
      double mv = 0;
      const bool during = RunGoing();
      const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound() + 500, [&] { return EX_GetOneConversion(&mv); });
      if (during && ScanRunning()) Require(ok == 0, what + " during a scan");
      if (!during) expect(ok, alive ? 1 : 0);
      if (ok && !lenient) Require(mv >= kRampOffset * 1000 - 1 && mv <= (kRampOffset + kRampAmplitude) * 1000 + 1, what + ": " + std::to_string(mv) + " mV");
      talked = ok;
      if (ok) signedOn_ = Tri::Yes;
      break;
    }
    case Op::PolledChan: {
      const bool during = RunGoing();
      const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound(),
                               [&] { return EX_SetPolledModeChan(static_cast<uint8_t>(s.a), static_cast<uint8_t>(s.b)); });
      if (during && ScanRunning()) Require(ok == 0, what + " during a scan");
      if (!during) expect(ok, alive ? 1 : 0);
      talked = ok;
      if (ok) signedOn_ = Tri::Yes;
      initialised_ = true;
      break;
    }
    case Op::DiginScan:
      expect(Timed(what, kInstantMs, [&] { return EX_SetDiginScan(static_cast<uint8_t>(s.a)); }), 1);
      if (RunGoing() && s.a == 0) run_->mayEnd = true;  // a reply on its way meets the frame reader
      break;
    case Op::Calibrate: {
      const uint8_t ok = Timed(what, kForcedEndMs + DirectBound(), [&] {
        return s.a == 0 ? EX_SystemCalibration() : s.a == 1 ? EX_FullScaleCalibration() : EX_OffsetCalibration();
      });
      EndRun(Ending::AtOnce);
      expect(ok, alive ? 1 : 0);
      talked = ok;
      initialised_ = true;
      break;
    }
    case Op::Standby:
    case Op::Sleep: {
      const uint8_t ok = Timed(what, EndScanBound() + ReplyMs() + (alive ? 0 : 2500), [&] {
        return s.op == Op::Sleep ? EX_Sleep(1) : EX_Standby(static_cast<uint8_t>(s.a));
      });
      expect(ok, 1);
      EndRun(Ending::Orderly);
      signedOn_ = Tri::No;
      talked = alive;
      initialised_ = true;
      break;
    }
    case Op::Reset: {
      const uint8_t ok = Timed(what, kForcedEndMs + SignOnBound(), [] { return EX_Reset(); });
      expect(ok, 1);
      EndRun(Ending::AtOnce);
      settings_.codes = {0, kOff, kOff, kOff, kOff, kOff};
      ReadBackSettings();
      signedOn_ = alive ? Tri::Yes : Tri::No;
      if (faultSteps_ > 0) signedOn_ = Tri::Maybe;
      replyTimeoutSet_ = replyTimeoutSet_ || alive;
      initialised_ = true;
      talked = alive;
      break;
    }
    case Op::IniLoad: {
      {
        std::ofstream out(fs::path(dir_) / "Q583_SP.ini", std::ios::binary);
        out << kIniFiles[s.a];
      }
      const uint8_t ok = Timed(what, EndScanBound() + kInstantMs, [] { return EX_SetDevToIniSetup(); });
      EndRun(Ending::Orderly);
      // Not every file sets every key: the load reports true only for a whole one.
      (void)ok;
      settings_.codes = kIniCodes[s.a];
      ReadBackSettings();
      Require(settings_.type == kIniScanType[s.a], what + ": scan type " + std::to_string(settings_.type) + " after the load");
      uint8_t port = 9;
      EX_GetCOMport(&port);
      Require(port == 0, what + ": COM port " + std::to_string(port) + " after the load");
      signedOn_ = Tri::No;
      initialised_ = true;
      talked = false;  // the load talks to the instrument only to end a running scan
      break;
    }
    case Op::Beep:
      expect(Timed(what, kInstantMs, [&] { return EX_SetRunEndBeepOptions(static_cast<uint8_t>(s.a), 880, 5, 1, 2); }), 1);
      break;
    case Op::CommandFault: {
      q583sim::CommandFault f;
      f.command = kFaultCommands[s.b];
      f.kind = static_cast<q583sim::ReplyFault>(s.a + 1);
      f.delayMs = 700;
      f.echo = 0x55;
      f.cutAfter = 1;
      f.count = 1;
      sim_->AddCommandFault(f);
      faultSteps_ = 4;
      if (RunGoing()) run_->mayEnd = true;
      signedOn_ = Tri::Maybe;
      break;
    }
    case Op::FrameFault: {
      const uint32_t base = sim_->GetState().scanning ? sim_->FramesSent() : 0;
      sim_->AddFrameFault({static_cast<q583sim::FrameFaultKind>(s.a), base + static_cast<uint32_t>(s.b)});
      faultSteps_ = std::max(faultSteps_, 2);
      if (RunGoing()) run_->mayEnd = true;
      signedOn_ = Tri::Maybe;  // a frame reader's failure may sign on again
      break;
    }
    case Op::Noise:
      sim_->SetLineNoise(s.a);
      noiseOn_ = true;
      faultSteps_ = std::max(faultSteps_, 3);
      if (RunGoing()) {
        run_->mayEnd = true;
        run_->noisy = true;
      }
      signedOn_ = Tri::Maybe;
      break;
    case Op::FastFrames:
      sim_->SetFrameIntervalOverride(s.x);
      fastNext_ = true;
      break;
    case Op::HangUp:
      sim_->HangUp();
      lineAlive_ = false;
      lineChanged_ = true;
      hungUpAt_ = Clock::now();
      if (RunGoing()) run_->mayEnd = true;
      break;
    case Op::Reconnect: {
      // The old run's thread must be gone before its line is replaced.
      NewSimulator();
      signedOn_ = Tri::Maybe;
      faultSteps_ = std::max(faultSteps_, 1);
      break;
    }
    case Op::TwoThreads: {
      std::atomic<bool> stop{false};
      std::vector<uint8_t> workerAsked;
      std::thread worker([&] {
        uint8_t v = 0xA0;
        while (!stop) {
          uint8_t busy = 0;
          if (EX_SendDigoutWScan(v, &busy)) workerAsked.push_back(v);
          ++v;
          EX_CheckRun();
          uint32_t lost = 0;
          EX_GetScanOverrunCount(&lost);
          SleepMs(1);
        }
      });
      uint8_t ok = 0;
      const int bound = EndScanBound() + SignOnBound() + CalibrationMs() + 2 * ReplyMs() + 2000;
      if (s.a == 0) ok = Timed(what, bound, [] { return EX_EndScan(); });
      if (s.a == 1) ok = Timed(what, bound, [] { return EX_StartScan_NoSysCal(); });
      if (s.a == 2) ok = Timed(what, bound, [] { return EX_SetRate(60.0); });
      if (s.a == 3) ok = Timed(what, bound, [] { return EX_Run(); });
      SleepMs(30);
      stop = true;
      worker.join();
      // The worker's bytes interleave with the host's: the order check starts afresh.
      asked_ = sim_->GetState().digitalOutputs;
      asked_.insert(asked_.end(), workerAsked.begin(), workerAsked.end());
      wireSeen_ = asked_.size();
      if (s.a == 0) EndRun(Ending::Orderly);
      if (s.a == 2) {
        EndRun(Ending::AtOnce);
        settings_.rate = 60.0F;
      }
      if (s.a == 1 || s.a == 3) {
        if (s.a == 3) EndRun(Ending::AtOnce);
        if (ok) Started(begin);
        if (s.a == 3 && ok) replyTimeoutSet_ = true;
      }
      if (s.a == 3 && alive) expect(ok, 1);
      signedOn_ = Tri::Maybe;  // the worker's byte may sign on too
      initialised_ = true;
      break;
    }
  }

  // ---- after every step ---------------------------------------------------
  CheckRunState(what);
  if (talked && alive && !Lenient() && !ScanRunning()) {
    // After a run has ended, the library does not leave the instrument streaming.
    SleepMs(20);
    Require(!sim_->GetState().scanning, what + ": the instrument still streams after the library talked to it");
  }
  if (run_ && !run_->going && ending_ == Ending::Orderly) CheckScanLog();
  if (!noiseOn_) CheckDigout(what);
  if (initialised_ && !Lenient()) CheckInterval();
  if (faultSteps_ > 0 && --faultSteps_ == 0) {
    sim_->ClearFaults();
    noiseOn_ = false;
  }
}

// ---- RapidCheck: the model for generation and the one command -------------

struct GenModel {
  bool lineAlive = true;
};

struct StepCommand : rc::state::Command<GenModel, Rig> {
  Step step;
  explicit StepCommand(Step s) : step(s) {}
  void checkPreconditions(const GenModel& m) const override {
    if (step.op == Op::Reconnect) RC_PRE(!m.lineAlive);
    if (step.op == Op::HangUp) RC_PRE(m.lineAlive);
  }
  void apply(GenModel& m) const override {
    if (step.op == Op::HangUp) m.lineAlive = false;
    if (step.op == Op::Reconnect) m.lineAlive = true;
  }
  void run(const GenModel&, Rig& rig) const override { rig.Execute(step); }
  void show(std::ostream& os) const override { os << Show(step); }
};

rc::Gen<Step> GenStep(const GenModel& m) {
  using rc::gen::element;
  using rc::gen::inRange;
  auto make = [](Op op, rc::Gen<int> a = rc::gen::just(0), rc::Gen<int> b = rc::gen::just(0)) {
    return rc::gen::apply([op](int x, int y) { Step s; s.op = op; s.a = x; s.b = y; return s; }, a, b);
  };
  if (!m.lineAlive) {
    // A dead line is replugged after a while; calls and waits meet it
    // first, long enough for a run on it to have to end.
    return rc::gen::weightedOneOf<Step>({
        {3, make(Op::Reconnect)},
        {1, make(Op::EndScan)},
        {1, make(Op::Digout, inRange(0, 256), element(0, 1))},
        {2, make(Op::Wait, element(300, 1500, 3000))},
        {1, make(Op::Retrieve, element(0, 1), element(5, 500))},
        {1, make(Op::InitDev)},
    });
  }
  auto codes = rc::gen::apply(
      [](int n, int first, int span, int weird) {
        Step s;
        s.op = Op::SetCodes;
        s.codes.fill(kOff);
        for (int i = 0; i < n; ++i) s.codes[i] = static_cast<uint8_t>((first << 4) | std::min(15, first + span));
        if (weird) s.codes[n % 6] = 0x52;  // first above last: not scanned
        return s;
      },
      inRange(1, 7), inRange(0, 3), inRange(0, 3), element(0, 0, 0, 1));
  auto rate = rc::gen::apply([](double r) { Step s; s.op = Op::SetRate; s.x = r; return s; },
                             element(60.0, 120.0, 30.0, 0.0, -1.0, 0.001));
  auto fast = rc::gen::apply([](double r) { Step s; s.op = Op::FastFrames; s.x = r; return s; }, element(0.002, 0.001));
  return rc::gen::weightedOneOf<Step>({
      {8, make(Op::Wait, element(20, 50, 120, 300, 800))},
      {10, make(Op::Retrieve, element(0, 1), element(1, 5, 50, 500))},
      {7, make(Op::Start, element(0, 1))},
      {3, make(Op::EndScan)},
      {1, make(Op::Stop)},
      {1, make(Op::Run)},
      {1, make(Op::InitDev)},
      {3, make(Op::SetScanType, element(0, 1, 2, 9))},
      {2, codes},
      {2, make(Op::GetCodes)},
      {2, make(Op::SetSingleCode, element(0x00, 0x23, 0x31, 0x5F))},
      {3, make(Op::SetLogOptions, element(1, 2, 3, 6, 7, 0, 9, 11), element(0, 600, 2000))},
      {2, make(Op::SetRunLength, element(0, 0, 1), element(0, 300, 1500, 1))},
      {1, rate},
      {1, make(Op::SetGain, element(1, 2, 64, 128, 3, 0))},
      {1, make(Op::SetAverage, element(1, 2, 3, 0))},
      {1, make(Op::SetFilter, element(1, 2, 7))},
      {1, make(Op::Interval, element(0, 1, 4))},
      {3, make(Op::Digout, inRange(0, 256), element(0, 1))},
      {1, make(Op::GetDigin)},
      {1, make(Op::OneConversion)},
      {1, make(Op::PolledChan, inRange(0, 9), inRange(0, 17))},
      {1, make(Op::DiginScan, element(0, 1))},
      {1, make(Op::Calibrate, element(0, 1, 2))},
      {1, make(Op::Standby, element(0, 1))},
      {1, make(Op::IniLoad, element(0, 1, 2, 3))},
      {1, make(Op::Beep, element(0, 1))},
      {2, make(Op::CommandFault, inRange(0, 4), inRange(0, 10))},
      {2, make(Op::FrameFault, inRange(0, 3), element(1, 3, 10))},
      {1, make(Op::Noise, element(20, 200))},
      {1, fast},
      {2, make(Op::HangUp)},
      {2, make(Op::TwoThreads, element(0, 1, 2, 3))},
      {0, make(Op::Sleep)},
      {0, make(Op::Reset)},
  });
}

}  // namespace

ProcessFigures Figures() {
  // Memory the allocator holds free (in the arenas of threads that have
  // come and gone) goes back first: what is left is memory in use.
  malloc_trim(0);
  ProcessFigures f;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) f.rssKb = std::atol(line.c_str() + 6);
  f.descriptors = Count("/proc/self/fd");
  f.threads = Count("/proc/self/task");
  return f;
}

void PrepareProcess() { TheWatchdog(); }

void SetSoakControl(const SoakControl& control) { gSoak = control; }

uint64_t SequencesRun() { return gSequences; }
uint64_t StepsRun() { return gSteps; }

void CheckOneSequence() {
  if (gSoak.active && Clock::now() >= gSoak.deadline) return;
  // Q583_MODEL_ONLY=N passes over the sequences of a seed before the Nth:
  // every sequence draws from its own stream, so the Nth comes out the same,
  // and its shrinking (which calls again) runs as usual.
  static uint64_t calls = 0;
  ++calls;
  if (const char* only = std::getenv("Q583_MODEL_ONLY"); only && calls < std::strtoull(only, nullptr, 10)) return;
  TheWatchdog();
  const bool signOn = *rc::gen::weightedElement<bool>({{2, true}, {1, false}}).as("sign on first");
  uint32_t clockStart = *rc::gen::element(0u, 0x80000000u - 3000u, 0xFFFFFFFFu - 3000u).as("clock start (ms)");
  if (gSoak.active && gSoak.fixedClock)
    clockStart = gSoak.clockBase + static_cast<uint32_t>(Ms(Clock::now() - gSoak.since));
  const ProcessFigures before = Figures();
  ++gSequences;
  Trail() = "  (sequence " + std::to_string(calls) + " of the seed, replayed alone with Q583_MODEL_ONLY=" + std::to_string(calls) +
            "; setup: " + std::string(signOn ? "EX_InitDev" : "no sign-on") + ", clock start " + std::to_string(clockStart) + ")\n";
  if (std::getenv("Q583_MODEL_TRACE")) std::fprintf(stderr, "[model] --- %s", Trail().c_str());
  {
    {
      Rig rig(signOn, clockStart);
      rc::state::check(GenModel{}, rig, [](const GenModel& m) {
        return rc::gen::map(GenStep(m), [](Step s) { return std::shared_ptr<const rc::state::Command<GenModel, Rig>>(std::make_shared<StepCommand>(s)); });
      });
    }
    // After the unload every descriptor and thread of the sequence is gone.
    ProcessFigures after = Figures();
    for (int i = 0; i < 100 && (after.descriptors != before.descriptors || after.threads != before.threads); ++i) {
      SleepMs(20);
      after = Figures();
    }
    Require(after.descriptors == before.descriptors, "descriptors: " + std::to_string(before.descriptors) +
                                                         " before the sequence, " + std::to_string(after.descriptors) + " after the unload");
    Require(after.threads == before.threads, "threads: " + std::to_string(before.threads) + " before the sequence, " +
                                                 std::to_string(after.threads) + " after the unload");
  }
}

}  // namespace q583model
