// The acquisition thread against a minimal reader.
//
// Both read the same simulated instrument (6 channels, minimal interval,
// line pacing on) for the same time: the library through its acquisition
// thread and memory ring, the baseline as a bare poll() loop on a raw
// termios descriptor that decodes the frames itself.  Reported for each:
// CPU time as a share of one core, wake-ups (context switches) per frame,
// latency from a frame's last byte leaving the simulator to the scan being
// in hand (p50, p99), and frames lost.  Then, with pacing off, the highest
// frame rate the library sustains without losing a frame.
//
//   scan_bench [seconds]      (default 60)
#include "scan_measure.h"

using namespace q583bench;

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  ReloadLibrary();
  std::printf("Scan of %d channels at the minimal interval, pacing on, %.0f s each:\n", kChannels, seconds);
  const Result lib = RunLibrary(seconds, true, 0.0);
  const Result base = RunBaseline(seconds);
  Report("library", lib);
  Report("baseline", base);
  if (base.stats.cpuS > 0)
    std::printf("library CPU / baseline CPU: %.2f\n", lib.stats.cpuS / lib.seconds / (base.stats.cpuS / base.seconds));

  std::printf("\nPacing off, frame rate stepped up (%.0f s each):\n", std::min(seconds, 3.0));
  double best = 0;
  for (double rate : {1000.0, 2000.0, 5000.0, 10000.0, 20000.0, 40000.0}) {
    const Result r = RunLibrary(std::min(seconds, 3.0), false, 1.0 / rate);
    std::printf("  %6.0f frames/s: received %7llu  lost %llu%s\n", rate, static_cast<unsigned long long>(r.frames),
                static_cast<unsigned long long>(r.lost), r.failed ? "  (run ended)" : "");
    if (r.lost != 0 || r.failed) break;
    best = rate;
  }
  std::printf("highest rate sustained without loss: %.0f frames/s\n", best);
  return 0;
}
