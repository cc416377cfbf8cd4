// The runner: the watchdog, the process figures, the soak's control, and
// one sequence from its setup to the unload and the leak check.
#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <rapidcheck.h>
#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>

#include "model/commands.h"
#include "model/model.h"
#include "model/state.h"

namespace q583model {

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

namespace {

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

}  // namespace

// The steps of the sequence that runs now, printed with a failure as it
// happens (shrinking may take long, or be cut short by a time-out).
std::string& Trail() {
  static std::string trail;
  return trail;
}

// The runner's own failure, raised where a check fails.
namespace {
std::atomic<bool> gFailed{false};
}  // namespace

bool Failed() { return gFailed; }

bool Skipped(const char* check) {
  const char* skip = std::getenv("Q583_MODEL_SKIP");
  if (skip == nullptr) return false;
  const std::string list = "," + std::string(skip) + ",";
  return list.find("," + std::string(check) + ",") != std::string::npos;
}

void Require(bool ok, const std::string& what) {
  if (ok) return;
  gFailed = true;
  std::fprintf(stderr, "[model] FAILED: %s\n[model] after the steps:\n%s", what.c_str(), Trail().c_str());
  RC_FAIL(what);
}

void ArmWatchdog(const std::string& call, const std::string& steps) { TheWatchdog().Arm(call, steps); }
void DisarmWatchdog() { TheWatchdog().Disarm(); }
void CountStep() { ++gSteps; }

ProcessFigures Figures() {
  // Memory the allocator holds free (in the arenas of threads that have
  // come and gone) goes back first: what is left is memory in use.
  malloc_trim(0);
  ProcessFigures f;
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) f.rssKb = std::atol(line.c_str() + 6);
  const struct mallinfo2 heap = mallinfo2();  // sums over every arena
  f.heapKb = static_cast<long>((heap.uordblks + heap.hblkhd) / 1024);
  f.descriptors = Count("/proc/self/fd");
  f.threads = Count("/proc/self/task");
  return f;
}

void PrepareProcess() { TheWatchdog(); }

void SetSoakControl(const SoakControl& control) { gSoak = control; }

uint64_t SequencesRun() { return gSequences; }
uint64_t StepsRun() { return gSteps; }

namespace {

// A rig left by a passing sequence for the next to continue from (no new
// library, simulator or sign-on), the process's figures before it was made,
// and the chain it belongs to.
constexpr int kMaxChain = 4;
std::unique_ptr<Rig> gKept;
ProcessFigures gKeptBefore;
uint64_t gChainFirst = 0;
int gChainLength = 0;

Step Make(Op op, int a = 0, int b = 0, double x = 0.0) {
  Step s;
  s.op = op;
  s.a = a;
  s.b = b;
  s.x = x;
  return s;
}

Step Codes(std::array<uint8_t, 6> codes) {
  Step s = Make(Op::SetCodes);
  s.codes = codes;
  return s;
}

// The scenario prefixes: orders that random sequences rarely build, run
// before the random steps.  Which one, and its variant, are drawn.
enum Prefix {
  kNone, kSetterFirst, kTypeZeroThenMulti, kHangUpInRun, kTimedEndWithDigout, kLostCalibration, kOverrun,
  kDefaultsInRun, kMemoryToggledInRun, kUnreadAfterEnd, kIniThenRun, kDigoutThenEnd,
  kDiginWithScan, kDirectTour, kDirectFaults, kRunFaults, kFrameFaults, kCallIns, kTwoPorts, kGivenBeforeStart, kDelivery
};

std::vector<Step> PrefixSteps(int prefix, int variant) {
  switch (prefix) {
    case kSetterFirst: {
      // The single-channel code leads in three variants: its getter shows a
      // lost code before any sign-on.  (A fresh chain's memory-logging
      // option is a first setter too.)
      const Step first[] = {Codes({0x01, 0x01, kOff, kOff, kOff, kOff}), Make(Op::SetSingleCode, 0x23), Make(Op::SetScanType, 0),
                            Make(Op::SetGain, 8), Make(Op::SetSingleCode, 0x31), Make(Op::SetRate, 0, 0, 120.0),
                            Make(Op::Polarity, 0), Make(Op::SetSingleCode, 0x5F)};
      return {first[variant % 8], Make(Op::GetCodes), Make(Op::Start, variant & 1), Make(Op::Wait, 300), Make(Op::Retrieve, 1, 50)};
    }
    case kTypeZeroThenMulti: {
      std::vector<Step> v = {Codes({0x01, 0x01, kOff, kOff, kOff, kOff}), Make(Op::SetScanType, 0), Make(Op::Start, 1), Make(Op::Wait, 300)};
      if (variant & 1) v.push_back(Make(Op::EndScan));
      v.insert(v.end(), {Make(Op::SetScanType, 1), Make(Op::Start, 1), Make(Op::Wait, 300), Make(Op::Retrieve, variant & 2 ? 1 : 0, 50),
                         Make(Op::GetCodes)});
      // The run keeps its type when the host sets another during it.
      v.insert(v.end(), {Make(Op::SetScanType, variant & 4 ? 2 : 0), Make(Op::Wait, 300), Make(Op::Retrieve, 0, 50)});
      return v;
    }
    case kHangUpInRun: {
      const Step after[] = {Make(Op::Start, 1), Make(Op::Retrieve, 0, 50), Make(Op::InitDev), Make(Op::Digout, 0x33, 0)};
      return {Make(Op::Start, 1), Make(Op::Wait, 200), Make(Op::HangUp), Make(Op::Wait, variant & 4 ? 3000 : 1500),
              Make(Op::Reconnect), after[variant % 4], Make(Op::Wait, 200), Make(Op::Retrieve, 1, 50)};
    }
    case kTimedEndWithDigout:
      // In half the variants the run's end also starts the beep thread.
      return {Make(Op::Beep, variant & 1), Make(Op::SetLogOptions, 3, 0), Make(Op::SetRunLength, 0, 600), Make(Op::Start, 1),
              Make(Op::DigoutNearEnd, 0x40 + variant, (variant % 3) * 60), Make(Op::Wait, 1200), Make(Op::Retrieve, 0, 5000),
              Make(Op::Start, 1)};
    case kLostCalibration:
      return {Make(Op::SetGain, 8 << (variant % 3)), Make(Op::InitDev), Make(Op::LostCalibration, variant < 6 ? 0 : variant - 5, variant & 1),
              Make(Op::OneConversion)};
    case kDefaultsInRun:
      return {Codes({0x01, 0x01, kOff, kOff, kOff, kOff}), Make(Op::SetLogOptions, variant & 1 ? 3 : 2, 0), Make(Op::Start, 1),
              Make(Op::Wait, 300), Make(Op::DefaultSetup), Make(Op::Wait, 300), Make(Op::Retrieve, variant & 2 ? 1 : 0, 5000),
              Make(Op::EndScan), Make(Op::Retrieve, 0, 5000)};
    case kMemoryToggledInRun:
      return {Make(Op::SetLogOptions, variant & 1 ? 1 : 3, 0), Make(Op::Start, 1), Make(Op::Wait, 300),
              Make(Op::SetLogOptions, variant & 1 ? 3 : 1, 0), Make(Op::Wait, 300), Make(Op::Retrieve, variant & 2 ? 1 : 0, 5000),
              Make(Op::Start, 1), Make(Op::Wait, 200), Make(Op::Retrieve, 0, 5000)};
    case kOverrun:
      // Six values a scan: the ring holds 1440 scans, frames come every
      // 1 ms; in a quarter of the variants the run stops when the ring is
      // full (the others overrun it).
      return {Codes({0x00, 0x00, 0x00, 0x00, 0x00, 0x00}), Make(Op::SetLogOptions, (variant & 3) == 3 ? 7 : 3, 0), Make(Op::FastFrames, 0, 0, 0.001),
              Make(Op::Start, 1), Make(Op::Wait, 2500), Make(Op::Retrieve, variant & 1, 5000), Make(Op::Retrieve, 0, 5000)};
    case kUnreadAfterEnd: {
      // Scans left unread when the run ends, however it ends, are handed out after it.
      const Step enders[] = {Make(Op::EndScan), Make(Op::Stop), Make(Op::SetRate, 0, 0, 60.0), Make(Op::InitDev),
                             Make(Op::Calibrate, 1), Make(Op::Standby, 0), Make(Op::SetRunLength, 1, 1), Make(Op::Reset)};
      return {Make(Op::SetLogOptions, 3, 0), Make(Op::Start, 1), Make(Op::Wait, 400), Make(Op::Retrieve, variant & 1, 1),
              enders[variant], Make(Op::Retrieve, 0, 1), Make(Op::Retrieve, 1, 5000)};
    }
    case kIniThenRun: {
      // A run with what a configuration file gave, at the shortest interval.
      const int files[] = {2, 2, 2, 0, 2, 1, 3, kSmallQueueIni};
      // A comment on the rows and a description for the trailer, given
      // before the run and changed during it.
      // File 2 (scan type 2 among its keys) is loaded first in every variant;
      // the file of the small receive queue gets a frame every millisecond,
      // and a plain file after its run (its queue would end every later run
      // of the sequence at its first frames).
      std::vector<Step> v = {Make(Op::IniLoad, 2), Make(Op::IniLoad, files[variant]), Make(Op::Interval, 0), Make(Op::LogText, 1, 0)};
      if (files[variant] == kSmallQueueIni) v.push_back(Make(Op::FastFrames, 0, 0, 0.001));
      v.insert(v.end(), {Make(Op::Start, 1), Make(Op::Wait, 200), Make(Op::LogText, variant & 2 ? 0 : 1, variant & 1 ? 0 : 2),
                         Make(Op::Wait, 200), Make(Op::Retrieve, variant & 1, 5000), Make(Op::EndScan)});
      if (files[variant] == kSmallQueueIni) v.push_back(Make(Op::IniLoad, 0));
      return v;
    }
    case kDigoutThenEnd: {
      // Bytes queued the moment before a run ends at once, over three runs.
      std::vector<Step> v;
      for (int i = 0; i < 3; ++i)
        v.insert(v.end(), {Make(Op::Start, 1), Make(Op::Wait, 150 + 50 * (variant & 3)),
                           Make(Op::DigoutThenEnd, 0x60 + 8 * variant + i), Make(Op::Wait, 50)});
      return v;
    }
    case kDiginWithScan: {
      // Digital input read within the frames of a multi-channel run, with
      // an output byte sent while the reader waits.
      const int channels = 2 + (variant % 3);
      std::array<uint8_t, 6> codes{kOff, kOff, kOff, kOff, kOff, kOff};
      for (int i = 0; i < channels; ++i) codes[i] = static_cast<uint8_t>(i);
      std::vector<Step> v = {Make(Op::DiginScan, 1), Codes(codes), Make(Op::SetScanType, variant & 1 ? 2 : 1),
                             Make(Op::SetLogOptions, 3, 0)};
      if (variant & 2) v.push_back(Make(Op::SetRunLength, 0, 900));
      v.insert(v.end(), {Make(Op::Start, 1), Make(Op::Wait, 300), Make(Op::DiginWScan), Make(Op::Digout, 0x70 + variant, 1),
                         Make(Op::Wait, 200), Make(Op::DiginWScan), Make(Op::Retrieve, variant & 4 ? 1 : 0, 5000)});
      v.push_back(variant & 2 ? Make(Op::Wait, 800) : Make(Op::EndScan));
      v.insert(v.end(), {Make(Op::Retrieve, 0, 5000), Make(Op::DiginScan, 0)});
      if (variant & 2) v.push_back(Make(Op::SetRunLength, 0, 0));
      return v;
    }
    case kDirectTour:
      // Each direct operation once, around a run timed in seconds.
      return {Make(Op::DebugLogs, (variant & 2) != 0), Make(Op::OneConversion), Make(Op::GetDigin), Make(Op::Digout, 0x10 + variant, 0),
              Make(Op::PolledChan, variant, 2 * variant), Make(Op::Calibrate, variant % 3), Make(Op::OneConversion),
              variant & 4 ? Make(Op::Sleep) : Make(Op::Standby, variant & 1), Make(Op::GetDigin),
              Make(Op::SetRunLength, 1, 1), Make(Op::Beep, variant & 1), Make(Op::Start, variant & 1),
              Make(Op::Wait, 1300), Make(Op::Retrieve, variant & 2 ? 1 : 0, 5000), Make(Op::StopBeep), Make(Op::SetRunLength, 0, 0),
              Make(Op::Run), Make(Op::Wait, 200), Make(Op::Reset)};
    case kDirectFaults: {
      // One kind of reply fault met by each direct operation in turn: the
      // conversion, the digital input, the channel select, a calibration.
      const int kind = variant % 4;
      return {Make(Op::CommandFault, kind, 0), Make(Op::OneConversion), Make(Op::CommandFault, kind, 3), Make(Op::GetDigin),
              Make(Op::CommandFault, kind, 1), Make(Op::PolledChan, 1 + variant, 2), Make(Op::OneConversion),
              Make(Op::CommandFault, kind, 4 + (variant >> 2)), Make(Op::Calibrate, variant % 3), Make(Op::OneConversion),
              Make(Op::Digout, 0x20 + variant, 0), Make(Op::NoPort), Make(Op::GetDigin)};
    }
    case kRunFaults: {
      // One kind of reply fault met by a run's start, by its orderly end,
      // and by the stop after an end at once; then a start whose scan log
      // cannot be made.
      const int kind = variant % 4;
      return {Make(Op::SetLogOptions, 3, 0), Make(Op::CommandFault, kind, 6), Make(Op::Start, 1), Make(Op::Wait, 300),
              Make(Op::Retrieve, 0, 5000), Make(Op::Start, 1), Make(Op::Wait, 200), Make(Op::CommandFault, kind, 7),
              Make(Op::EndScan), Make(Op::Start, 1), Make(Op::Wait, 200), Make(Op::CommandFault, kind, 7),
              variant & 4 ? Make(Op::SetRate, 0, 0, 60.0) : Make(Op::Calibrate, 2), Make(Op::Retrieve, variant & 1, 5000),
              Make(Op::NoLogFile, variant & 1), Make(Op::Wait, 200), Make(Op::Retrieve, 0, 5000), Make(Op::EndScan)};
    }
    case kFrameFaults: {
      // Damaged frames in a run, read plainly or among digital-input
      // replies; the run that such a frame ends is started again.
      const int kind = variant % 3;
      std::vector<Step> v = {Make(Op::SetLogOptions, 3, 0), Make(Op::DiginScan, variant >> 2), Make(Op::SetModel), Make(Op::Start, 1),
                             Make(Op::Wait, 300), Make(Op::FrameFault, kind, 2), Make(Op::Wait, 800), Make(Op::Retrieve, 0, 5000),
                             Make(Op::Start, 1), Make(Op::Wait, 200), Make(Op::FrameFault, (kind + 1) % 3, 3), Make(Op::Wait, 800),
                             Make(Op::Retrieve, 1, 5000), Make(Op::EndScan), Make(Op::Retrieve, 0, 5000), Make(Op::SetModel)};
      if (variant >> 2) v.push_back(Make(Op::DiginScan, 0));
      return v;
    }
    case kCallIns:
      // The host's handlers call in: the box of a start, the beep of a
      // timed run's end.
      if (variant < 5) return {Make(Op::SetLogOptions, 3, 0), Make(Op::CallIn, variant, 0), Make(Op::Wait, 200),
                               Make(Op::Retrieve, 0, 5000), Make(Op::EndScan)};
      return {Make(Op::SetRunLength, 0, 400), Make(Op::Beep, 1), Make(Op::Start, 1), Make(Op::CallIn, variant - 5, 1),
              Make(Op::Retrieve, 1, 5000), Make(Op::SetRunLength, 0, 0), Make(Op::Start, 1), Make(Op::Wait, 100), Make(Op::EndScan)};
    case kTwoPorts:
      // A run on one port, a switch, a run on the other; back again.
      return {Make(Op::SetLogOptions, 3, 0), Make(Op::Start, 1), Make(Op::Wait, 200), Make(Op::SwitchPort, variant % 3),
              Make(Op::Wait, 100), Make(Op::Retrieve, 0, 5000), Make(Op::Start, variant & 4 ? 0 : 1), Make(Op::Wait, 300),
              Make(Op::Retrieve, 1, 5000), Make(Op::EndScan), Make(Op::OneConversion), Make(Op::SwitchPort, (variant + 1) % 3),
              variant & 4 ? Make(Op::InitDev) : Make(Op::GetDigin), Make(Op::Start, 1), Make(Op::Wait, 100), Make(Op::EndScan)};
    case kGivenBeforeStart: {
      // Setters of each kind between a sign-on and the start, then during
      // the run for the next start.
      const Step setters[] = {Make(Op::Interval, 4), Make(Op::SetAverage, 4), Make(Op::SetGain, 8), Make(Op::Polarity, 0),
                              Make(Op::SetRate, 0, 0, 30.0), Make(Op::Interval, 1), Codes({0x01, 0x00, kOff, kOff, kOff, kOff}),
                              Make(Op::SetFilter, 1)};
      return {Make(Op::InitDev), setters[variant], setters[(variant + 3) % 8], Make(Op::Start, 1), Make(Op::Wait, 300),
              Make(Op::Retrieve, 0, 5000), setters[(variant + 5) % 8], Make(Op::Interval, variant & 1 ? 1 : 4),
              Make(Op::Wait, 100), Make(Op::EndScan), Make(Op::Start, 1), Make(Op::Wait, 300), Make(Op::EndScan),
              Make(Op::SetAverage, 1), Make(Op::Interval, 0)};
    }
    case kDelivery: {
      // Frames in chunks: a latency timer, bursts, and (with digital input
      // read among the frames, where the waits count bytes) frames every
      // 5 ms in pairs, each pair's first byte 10-30 microseconds before
      // the rest of both: about when a wait woken by that byte counts what
      // has come, so that it meets a frame's rest and more at once.
      std::vector<Step> v;
      const bool splitBursts = variant < 6;
      if (splitBursts)
        v = {Codes({0x00, 0x01, kOff, kOff, kOff, kOff}), Make(Op::DiginScan, 1),
             variant & 1 ? Make(Op::SetScanType, 0) : Make(Op::DigoutPriority, 1), Make(Op::FastFrames, 0, 0, 0.005),
             Make(Op::Delivery, 1, 2), Make(Op::Delivery, 2, 1, 1e-5 * (1 + variant / 2))};
      else
        v = {Make(Op::Delivery, variant & 1, variant & 1 ? 2 + variant % 3 : 1 + 5 * (variant - 4))};
      v.insert(v.end(), {Make(Op::SetLogOptions, 3, 0), Make(Op::Start, 1), Make(Op::Wait, 2500), Make(Op::Retrieve, 0, 5000),
                         Make(Op::Wait, 300), Make(Op::Retrieve, splitBursts ? 0 : 1, 5000), Make(Op::EndScan)});
      if (splitBursts) v.insert(v.end(), {Make(Op::DiginScan, 0), Make(Op::DigoutPriority, 0), Make(Op::SetScanType, 1)});
      return v;
    }
    default:
      return {};
  }
}

// A sequence's end: its rig is kept for the next, or unloaded and counted.
std::string Unload(std::unique_ptr<Rig> rig, const ProcessFigures& before) {
  std::string error = rig->UnloadAndCount(before.descriptors, before.threads);
  rig.reset();
  // After the test's own clean-up too, every descriptor and thread is gone.
  ProcessFigures after = Figures();
  for (int i = 0; i < 100 && (after.descriptors != before.descriptors || after.threads != before.threads); ++i) {
    SleepMs(20);
    after = Figures();
  }
  if (error.empty() && after.descriptors != before.descriptors)
    error = "descriptors: " + std::to_string(before.descriptors) + " before the rig, " + std::to_string(after.descriptors) + " after it";
  if (error.empty() && after.threads != before.threads)
    error = "threads: " + std::to_string(before.threads) + " before the rig, " + std::to_string(after.threads) + " after it";
  return error;
}

}  // namespace

std::string FinishSequences() {
  if (!gKept) return {};
  return Unload(std::move(gKept), gKeptBefore);
}

void CheckOneSequence() {
  if (gSoak.active && Clock::now() >= gSoak.deadline) return;
  // Q583_MODEL_ONLY=N passes over the sequences of a seed before the Nth:
  // every sequence draws from its own stream, so the Nth comes out the same,
  // and its shrinking (which calls again) runs as usual.
  static uint64_t calls = 0;
  ++calls;
  if (const char* only = std::getenv("Q583_MODEL_ONLY"); only && calls < std::strtoull(only, nullptr, 10)) return;
  TheWatchdog();
  // A rig still kept at exit is unloaded before the library's own objects
  // go (a run of the property alone has no later test to do it).
  static const bool unloadAtExit = [] { return std::atexit([] { (void)FinishSequences(); }) == 0; }();
  (void)unloadAtExit;
  const bool signOn = *rc::gen::weightedElement<bool>({{2, true}, {1, false}}).as("sign on first");
  uint32_t clockStart = *rc::gen::element(0u, 0x80000000u - 3000u, 0xFFFFFFFFu - 3000u).as("clock start (ms)");
  if (gSoak.active && gSoak.fixedClock)
    clockStart = gSoak.clockBase + static_cast<uint32_t>(Ms(Clock::now() - gSoak.since));
  // Most sequences leave their rig to the next, which goes on from its
  // state: more sequences a minute, and states that only a history builds.
  const bool keep = *rc::gen::weightedElement<bool>({{3, true}, {1, false}}).as("leave the rig to the next sequence");
  // Most sequences begin with a scenario: each is met a few times in any
  // six minutes of random seeds.
  int prefix = *rc::gen::weightedElement<int>({{4, kNone}, {4, kSetterFirst}, {3, kTypeZeroThenMulti}, {2, kHangUpInRun},
                                                     {4, kTimedEndWithDigout}, {3, kLostCalibration}, {3, kOverrun},
                                                     {2, kDefaultsInRun}, {2, kMemoryToggledInRun}, {3, kUnreadAfterEnd},
                                                     {4, kIniThenRun}, {2, kDigoutThenEnd},
                                                     {2, kDiginWithScan}, {2, kDirectTour}, {2, kDirectFaults}, {2, kRunFaults}, {2, kFrameFaults},
                                                     {2, kCallIns}, {2, kTwoPorts}, {2, kGivenBeforeStart}, {6, kDelivery}})
                          .as("scenario prefix");
  const int variant = *rc::gen::element(0, 1, 2, 3, 4, 5, 6, 7).as("prefix variant");  // (inRange would scale with size)
  // More than half the sequences go on with a second scenario (any but the
  // one that needs a fresh library): each scenario is met more often in the
  // same time, and from the states the first one leaves.
  int second = *rc::gen::weightedElement<int>({{10, kNone}, {1, kTypeZeroThenMulti}, {1, kHangUpInRun}, {2, kTimedEndWithDigout},
                                               {1, kLostCalibration}, {1, kOverrun}, {1, kDefaultsInRun}, {1, kMemoryToggledInRun},
                                               {1, kUnreadAfterEnd}, {2, kIniThenRun}, {1, kDigoutThenEnd}, {1, kDiginWithScan},
                                               {1, kDirectTour}, {1, kDirectFaults}, {1, kRunFaults}, {1, kFrameFaults},
                                               {1, kCallIns}, {1, kTwoPorts}, {1, kGivenBeforeStart}, {2, kDelivery}})
                   .as("second scenario");
  const int secondVariant = *rc::gen::element(0, 1, 2, 3, 4, 5, 6, 7).as("second scenario's variant");
  // Q583_MODEL_PREFIX=N: every new sequence begins with scenario N alone (to study one).
  if (const char* forced = std::getenv("Q583_MODEL_PREFIX")) {
    prefix = std::atoi(forced);
    second = kNone;
  }
  // Memory logging on for most new rigs, so that scans are stored, counted
  // and their values checked.
  const bool memory = *rc::gen::weightedElement<bool>({{2, true}, {1, false}}).as("memory logging first");
  // The debug logs open for some sequences: their writers run on the host's
  // threads and the acquisition thread, through every path of a run.
  const bool debugLogs = *rc::gen::weightedElement<bool>({{3, false}, {1, true}}).as("debug logs opened first");
  ++gSequences;
  // A fresh library's first call is the scenario's: a kept rig ends its
  // chain here (unloaded and counted, as at any chain's end).
  if (prefix == kSetterFirst && gKept && !Failed()) {
    const std::string error = Unload(std::move(gKept), gKeptBefore);
    Require(error.empty(), error);
  }
  std::unique_ptr<Rig> rig;
  ProcessFigures before;
  if (gKept && !Failed()) {
    rig = std::move(gKept);
    before = gKeptBefore;
    Trail() += "  (sequence " + std::to_string(calls) + " goes on from the state above)\n";
  } else {
    gKept.reset();
    before = Figures();
    gChainFirst = calls;
    gChainLength = 0;
    Trail() = "  (sequence " + std::to_string(calls) + " of the seed, replayed with Q583_MODEL_ONLY=" + std::to_string(calls) +
              "; setup: " + std::string(signOn ? "EX_InitDev" : "no sign-on") + ", clock start " + std::to_string(clockStart) + ")\n";
    rig = std::make_unique<Rig>(signOn && prefix != kSetterFirst, clockStart);
  }
  ++gChainLength;
  if (std::getenv("Q583_MODEL_TRACE")) std::fprintf(stderr, "[model] --- sequence %llu (chain from %llu)\n",
                                                    static_cast<unsigned long long>(calls), static_cast<unsigned long long>(gChainFirst));
  if (gChainLength == 1 && memory && prefix != kSetterFirst) rig->Execute(Make(Op::SetLogOptions, 3, 0));
  if (debugLogs && prefix != kSetterFirst) rig->Execute(Make(Op::DebugLogs, 1));
  for (const Step& s : PrefixSteps(prefix, variant)) rig->Execute(s);
  for (const Step& s : PrefixSteps(second, secondVariant)) rig->Execute(s);
  RunCommands(*rig);
  const bool soakOver = gSoak.active && Clock::now() >= gSoak.deadline;
  if (keep && gChainLength < kMaxChain && !soakOver && !Failed()) {
    gKeptBefore = before;
    gKept = std::move(rig);
    return;
  }
  const std::string error = Unload(std::move(rig), before);
  Require(error.empty(), error);
}

}  // namespace q583model
