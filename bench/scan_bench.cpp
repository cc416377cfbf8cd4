// The acquisition thread against a lean reader, in one run.
//
// Both read the same simulated instrument (6 channels) for the same time:
// the library through its acquisition thread and memory ring, the lean
// reader as a bare poll() loop on a raw termios descriptor that reads
// everything waiting at once, decodes the frames and copies them into a
// ring.  For each, at the instrument's own interval with line pacing and
// at fixed frame rates without it: CPU per frame, wake-ups (context
// switches) per frame, system calls per frame (syscall_count.h), the
// latency from a frame's last byte leaving the simulator to the scan being
// in hand (p99), frames lost, and the library's figures as ratios of the
// reader's.  Then, with pacing off, the highest frame rate the library
// sustains without losing a frame.
//
//   scan_bench [seconds [rate]]   (default 60; the fixed rates run at most 5 s;
//                                  with a rate, that case alone: 0 paced)
//   scan_bench --csv [--ladder] seconds rate...
//       each rate (0: paced, at the instrument's interval) for that long, as
//       CSV for scripts/datasheet.py: "rate,figure,library,plain" lines; with
//       --ladder then the lossless ladder, "lossless,<rate>" last
#include "scan_measure.h"
#include "syscall_count.h"

using namespace q583bench;

namespace {

struct Case {
  const char* name;
  bool pacing;
  double interval;  // 0: the instrument's own
  bool toFile;
};

void Row(const Case& c, const Result& lib, const Result& lean) {
  // A run that ended early has no thread left to read its figures from.
  const auto v = [&lib](double x) { return lib.failed ? NAN : x; };
  std::printf("%-22s %8.1f %8.1f %6.2f | %6.2f %6.2f | %7.2f %7.2f | %7.3f %7.3f %6.2f | %5llu %5llu", c.name,
              v(CpuUsPerFrame(lib)), CpuUsPerFrame(lean), v(CpuUsPerFrame(lib) / CpuUsPerFrame(lean)),
              v(WakeUpsPerFrame(lib)), WakeUpsPerFrame(lean), v(SyscallsPerFrame(lib)), SyscallsPerFrame(lean),
              v(P99Ms(lib)), P99Ms(lean), v(P99Ms(lib) / P99Ms(lean)), static_cast<unsigned long long>(lib.lost),
              static_cast<unsigned long long>(lean.lost));
  if (lib.overrun != 0) std::printf("  (ring overruns %llu)", static_cast<unsigned long long>(lib.overrun));
  if (lib.failed) std::printf("  (library run ended early, error type %d)", static_cast<int>(lib.errorType));
  std::printf("\n");
  std::fflush(stdout);
}

// The figures of one rate as CSV lines, and the highest lossless rate.
int Csv(int argc, char** argv) {
  const bool ladder = argc > 2 && std::string(argv[2]) == "--ladder";
  const int first = ladder ? 3 : 2;
  if (argc < first + 2) {
    std::fprintf(stderr, "usage: scan_bench --csv [--ladder] seconds rate...\n");
    return 2;
  }
  const double seconds = std::atof(argv[first]);
  ReloadLibrary();
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) std::printf("load,%.2f\n", load[0]);
  for (int i = first + 1; i < argc; ++i) {
    const double rate = std::atof(argv[i]);
    const bool paced = rate <= 0;
    const double interval = paced ? 0.0 : 1.0 / rate;
    const Result lib = RunLibrary(seconds, paced, interval);
    const Result lean = RunBaseline(seconds, paced, interval);
    const auto line = [rate, &lib](const char* figure, double library, double plain) {
      std::printf("%.0f,%s,%.6g,%.6g\n", rate, figure, lib.failed ? NAN : library, plain);
    };
    line("cpu_us_per_frame", CpuUsPerFrame(lib), CpuUsPerFrame(lean));
    line("wakeups_per_frame", WakeUpsPerFrame(lib), WakeUpsPerFrame(lean));
    line("syscalls_per_frame", SyscallsPerFrame(lib), SyscallsPerFrame(lean));
    line("p99_latency_ms", P99Ms(lib), P99Ms(lean));
    line("frames_lost", static_cast<double>(lib.lost), static_cast<double>(lean.lost));
    std::fflush(stdout);
  }
  if (!ladder) return 0;
  double best = 0;
  for (double rate : {1000.0, 2000.0, 5000.0, 10000.0, 15000.0, 20000.0, 30000.0, 40000.0}) {
    const Result r = RunLibrary(std::min(seconds, 3.0), false, 1.0 / rate);
    if (r.lost != 0 || r.failed) break;
    best = rate;
  }
  std::printf("lossless,%.0f\n", best);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--csv") return Csv(argc, argv);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  const double shortS = std::min(seconds, 5.0);
  (void)kSyscallCountInstalled;
  ReloadLibrary();
  double load[3] = {0, 0, 0};
  if (getloadavg(load, 3) == 3) std::printf("load average at the start: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  std::printf("6 channels; the instrument's interval for %.0f s, each fixed rate for %.0f s.\n", seconds, shortS);
  std::printf("%-22s %8s %8s %6s | %6s %6s | %7s %7s | %7s %7s %6s | %5s %5s\n", "", "cpu us/", "frame", "",
              "wake-u", "ps/fr", "syscall", "s/frame", "p99 ms", "", "", "lost", "");
  std::printf("%-22s %8s %8s %6s | %6s %6s | %7s %7s | %7s %7s %6s | %5s %5s\n", "case", "library", "lean", "ratio",
              "lib", "lean", "lib", "lean", "lib", "lean", "ratio", "lib", "lean");
  const Case cases[] = {
      {"paced, own interval", true, 0.0, false},  {"1,000/s memory", false, 1.0 / 1000, false},
      {"1,000/s file+memory", false, 1.0 / 1000, true}, {"5,000/s memory", false, 1.0 / 5000, false},
      {"10,000/s memory", false, 1.0 / 10000, false},  {"20,000/s memory", false, 1.0 / 20000, false},
  };
  // A second argument runs one case alone: 0 paced, else that frame rate.
  const double only = argc > 2 ? std::atof(argv[2]) : -1.0;
  if (only >= 0) {
    const Case c{only > 0 ? "the rate given" : "paced, own interval", only == 0, only > 0 ? 1.0 / only : 0.0, false};
    Row(c, RunLibrary(seconds, c.pacing, c.interval), RunBaseline(seconds, c.pacing, c.interval));
    return 0;
  }
  for (const Case& c : cases) {
    const double s = c.pacing ? seconds : shortS;
    const Result lib = RunLibrary(s, c.pacing, c.interval, c.toFile);
    const Result lean = RunBaseline(s, c.pacing, c.interval);
    Row(c, lib, lean);
  }

  std::printf("\nPacing off, frame rate stepped up (%.0f s each):\n", std::min(seconds, 3.0));
  double best = 0;
  for (double rate : {1000.0, 2000.0, 5000.0, 10000.0, 15000.0, 20000.0, 30000.0, 40000.0}) {
    const Result r = RunLibrary(std::min(seconds, 3.0), false, 1.0 / rate);
    std::printf("  %6.0f frames/s: received %7llu  lost %llu (ring overruns %llu)%s", rate,
                static_cast<unsigned long long>(r.frames), static_cast<unsigned long long>(r.lost),
                static_cast<unsigned long long>(r.overrun), r.failed ? "  (run ended" : "");
    if (r.failed) std::printf(", error type %d)", static_cast<int>(r.errorType));
    std::printf("\n");
    if (r.lost != 0 || r.failed) break;
    best = rate;
  }
  std::printf("highest rate sustained without loss: %.0f frames/s\n", best);
  if (getloadavg(load, 3) == 3) std::printf("load average at the end: %.2f %.2f %.2f\n", load[0], load[1], load[2]);
  return 0;
}
