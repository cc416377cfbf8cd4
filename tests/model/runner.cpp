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
void Require(bool ok, const std::string& what) {
  if (ok) return;
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
      RunCommands(rig);
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
