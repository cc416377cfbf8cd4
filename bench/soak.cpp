// The soak: the model-based test of random call sequences (tests/model/)
// run for a set time, in three segments: the library's clock from 0, from
// just before 2^31 ms and from just before 2^32 ms, so that a month of
// running is covered in minutes.  Reports resident memory, descriptors and
// threads, and the scan benchmark's CPU per frame, wake-ups per frame and
// latency, at the start and at the end.  Exit status 0 only when no
// property failed and the process figures stayed flat.
//
//   soak [seconds]      (default 300; Q583_SOAK_BENCH_SECONDS: benchmark length, default 10)
#include <rapidcheck.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "model/model.h"
#include "scan_measure.h"

namespace {

// Resident memory is reported, but a leak is judged by the heap in use:
// glibc gives each thread that allocates an arena of its own, up to eight
// per core, and keeps the arenas' free pages mapped, so RSS climbs for the
// first minutes of a soak and then stays, with nothing leaked.
constexpr long kHeapSlackKb = 2 * 1024;  // the model's own bookkeeping, not growth

void PrintFigures(const char* when, const q583model::ProcessFigures& f) {
  std::printf("[soak] %-5s RSS %ld kB  heap in use %ld kB  descriptors %d  threads %d\n", when, f.rssKb, f.heapKb,
              f.descriptors, f.threads);
}

void Bench(const char* when, double seconds) {
  q583bench::Result r = q583bench::RunLibrary(seconds, true, 0.0);
  std::printf("[soak] %-5s scan benchmark (%.0f s): ", when, seconds);
  std::fflush(stdout);
  q583bench::Report("library", r);
}

// Prints the process figures every few minutes, so that a trend shows
// between the start and the end.
class FigureSampler {
 public:
  explicit FigureSampler(std::chrono::seconds every) : every_(every) {}
  ~FigureSampler() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  FigureSampler(const FigureSampler&) = delete;
  FigureSampler& operator=(const FigureSampler&) = delete;

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(mu_);
    while (!cv_.wait_for(lock, every_, [this] { return quit_; })) PrintFigures("trend", q583model::Figures());
  }
  std::chrono::seconds every_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool quit_ = false;
  std::thread thread_{[this] { Loop(); }};
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 300.0;
  const char* benchEnv = std::getenv("Q583_SOAK_BENCH_SECONDS");
  const double benchSeconds = benchEnv ? std::atof(benchEnv) : 10.0;
  // Long sequences (CI runs short ones).  A check draws its sequences at
  // sizes that grow from 0 to max_size over its max_success sequences, so
  // the soak runs short checks one after the other (each with its own name,
  // hence its own seed) until a segment's deadline.
  setenv("RC_PARAMS", "max_success=25 max_size=100", 0);
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  ReloadLibrary();
  q583model::PrepareProcess();
  Bench("start", benchSeconds);
  const auto start = q583model::Figures();
  PrintFigures("start", start);

  struct Segment {
    const char* name;
    bool fixedClock;
    uint32_t clockBase;
  };
  const uint32_t half = static_cast<uint32_t>(seconds / 3 * 1000 / 2);
  const Segment segments[] = {{"clock from 0", false, 0},
                              {"clock across 2^31 ms", true, 0x80000000u - half},
                              {"clock across 2^32 ms", true, 0u - half}};
  int failures = 0;
  // The sampler's own thread is counted in the end figures as in the start's.
  auto sampler = std::make_unique<FigureSampler>(std::chrono::seconds(seconds >= 1200 ? 300 : 60));
  for (const auto& seg : segments) {
    q583model::SoakControl c;
    c.active = true;
    c.since = std::chrono::steady_clock::now();
    c.deadline = c.since + std::chrono::milliseconds(static_cast<int64_t>(seconds / 3 * 1000));
    c.fixedClock = seg.fixedClock;
    c.clockBase = seg.clockBase;
    q583model::SetSoakControl(c);
    const uint64_t before = q583model::SequencesRun();
    std::printf("[soak] segment: %s\n", seg.name);
    for (int batch = 1; std::chrono::steady_clock::now() < c.deadline; ++batch) {
      const std::string name = std::string(seg.name) + ", check " + std::to_string(batch);
      if (!rc::check(name, [] { q583model::CheckOneSequence(); })) {
        ++failures;
        break;
      }
    }
    // The last sequence's rig is unloaded and counted before the figures.
    if (const std::string left = q583model::FinishSequences(); !left.empty()) {
      std::printf("[soak] FAILED: %s\n", left.c_str());
      ++failures;
    }
    PrintFigures("now", q583model::Figures());
    std::printf("[soak] segment done: %llu sequences, %llu steps in all\n",
                static_cast<unsigned long long>(q583model::SequencesRun() - before),
                static_cast<unsigned long long>(q583model::StepsRun()));
  }
  q583model::SetSoakControl({});
  sampler.reset();

  const auto end = q583model::Figures();
  Bench("end", benchSeconds);
  PrintFigures("end", end);
  const bool flat = end.descriptors == start.descriptors && end.threads == start.threads &&
                    end.heapKb - start.heapKb <= kHeapSlackKb;
  std::printf("[soak] %llu sequences, %llu steps, %d failed properties; process figures %s (heap in use %+ld kB, RSS %+ld kB, descriptors %+d, threads %+d)\n",
              static_cast<unsigned long long>(q583model::SequencesRun()),
              static_cast<unsigned long long>(q583model::StepsRun()), failures, flat ? "flat" : "NOT flat",
              end.heapKb - start.heapKb, end.rssKb - start.rssKb, end.descriptors - start.descriptors, end.threads - start.threads);
  return failures == 0 && flat ? 0 : 1;
}
