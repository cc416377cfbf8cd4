// CPU the library burns while it waits on the instrument: a sign-on and a
// single conversion, as a share of the wall time they take.  The simulator
// runs as a separate program, so the CPU time of this process is the
// library's (and the host thread's) alone.  The waits block on the port or
// sleep; the share should stay well under 1 %.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>

#include "api/entry.h"
#include "q583_sp.h"

extern char** environ;

namespace {

// The q583-sim program on its own pseudo-terminal, for as long as it lives.
class SimProcess {
 public:
  SimProcess() {
    int out[2];
    if (pipe(out) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char program[] = Q583_SIM_PROGRAM;
    char* argv[] = {program, nullptr};
    const int rc = posix_spawn(&pid_, program, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
      close(out[0]);
      throw std::runtime_error("cannot start " + std::string(program));
    }
    // The first line is the device path.
    char c = 0;
    while (read(out[0], &c, 1) == 1 && c != '\n') path_ += c;
    close(out[0]);
    if (path_.empty()) throw std::runtime_error("no device path from the simulator");
  }
  ~SimProcess() {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;
  const std::string& Path() const { return path_; }

 private:
  pid_t pid_ = -1;
  std::string path_;
};

double Seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void BM_SignOnAndConversionCpuShare(benchmark::State& state) {
  SimProcess sim;
  double cpu = 0.0, wall = 0.0;
  bool ok = true;
  for (auto _ : state) {
    ReloadLibrary();  // a fresh library: the next call signs on in full
    EX_SetCOMportDevice(0, sim.Path().c_str());
    const double cpu0 = Seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall0 = Seconds(CLOCK_MONOTONIC);
    double millivolts = 0.0;
    ok = ok && EX_InitDev() == 1;
    ok = ok && EX_GetOneConversion(&millivolts) == 1;
    cpu += Seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu0;
    wall += Seconds(CLOCK_MONOTONIC) - wall0;
    benchmark::DoNotOptimize(millivolts);
  }
  ReloadLibrary();
  if (!ok) state.SkipWithError("the sign-on or the conversion failed");
  state.counters["wall_s"] = wall / static_cast<double>(state.iterations());
  state.counters["cpu_ms"] = cpu * 1000.0 / static_cast<double>(state.iterations());
  state.counters["cpu_share_pct"] = wall > 0.0 ? 100.0 * cpu / wall : 0.0;
}

BENCHMARK(BM_SignOnAndConversionCpuShare)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
