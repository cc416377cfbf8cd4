#include "selftest.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace q583cli::selftest {

namespace {

// A round trip more than this above what the line itself needs is an
// adapter holding the replies back (its latency timer: 16 ms by default,
// about 1 ms after the low-latency step).
constexpr double kHeldBackMs = 5.0;
// A sign-on takes about 3 s; one that takes twice that waited on replies.
constexpr double kSlowSignOnS = 6.0;
// A crystal keeps within about 100 ppm; a clock past these is off.  A run
// of 10 s tells the drift to a few tens of ppm.
constexpr double kDriftWarnPpm = 200.0;
constexpr double kDriftFailPpm = 2000.0;
constexpr double kDriftMinimumS = 10.0;
// Half the frames waiting this long means they are held back on the way.
constexpr double kDelayMedianWarnMs = 4.0;
// The receive queue should hold at least this long a stall of the host.
constexpr double kQueueWarnS = 0.5;

std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Count(uint64_t n) { return std::to_string(n); }

Finding SignOnFinding(const Report& r) {
  const SignOn& s = r.signOn;
  Finding f{"sign-on", Verdict::Ok, "", "", {}};
  if (!s.signedOn) {
    f.verdict = Verdict::Fail;
    f.text = "no sign-on after " + Fixed(s.seconds, 1) + " s: nothing answered as the instrument on " + r.port;
    f.advice = "check that the instrument is powered and its cable in, and that this is its port "
               "(q583 ports --probe)";
    return f;
  }
  f.text = "signed on in " + Fixed(s.seconds, 1) + " s";
  if (s.attempts >= 0) f.text += ", " + std::to_string(std::max(0, s.attempts - 1)) + " retries";
  f.text += "; firmware version " + std::to_string(s.version) + ", model code " + std::to_string(s.modelCode);
  f.values = {{"seconds", s.seconds}, {"retries", s.attempts >= 0 ? std::max(0, s.attempts - 1) : -1.0},
              {"version", static_cast<double>(s.version)}, {"model_code", static_cast<double>(s.modelCode)}};
  if (s.attempts > 1 || s.seconds > kSlowSignOnS) {
    f.verdict = Verdict::Warn;
    f.advice = "the sign-on had to be repeated: bytes were lost or garbled on the line; check the cable, its "
               "length and ground, and that no other program uses the port";
  }
  return f;
}

Finding RoundTripFinding(const Report& r) {
  const RoundTrips& t = r.roundTrips;
  Finding f{"round trip", Verdict::Ok, "", "", {}};
  if (t.ms.empty()) {
    f.verdict = Verdict::Fail;
    f.text = "no reply to a digital-input read";
    f.advice = "the instrument signed on but does not answer: reset it (q583 reset) and try again";
    return f;
  }
  const double floor = *std::min_element(t.ms.begin(), t.ms.end());
  const double median = Quantile(t.ms, 0.5);
  // The typical read, not the luckiest: a reply that happens to come just
  // before the adapter's timer runs out is quick.
  const double held = median - t.lineMs;
  f.text = std::to_string(t.ms.size()) + " reads, fastest " + Fixed(floor, 1) + " ms, median " +
           Fixed(median, 1) + " ms; the line needs " + Fixed(t.lineMs, 1) + " ms";
  f.values = {{"floor_ms", floor}, {"median_ms", median}, {"line_ms", t.lineMs}, {"held_back_ms", held}};
  if (held > kHeldBackMs) {
    f.verdict = Verdict::Warn;
    f.text += ": every reply waits " + Fixed(held, 1) + " ms more, a USB adapter's latency timer";
    const std::string file = r.adapterTimerFile.empty() ? "/sys/bus/usb-serial/devices/ttyUSB<n>/latency_timer"
                                                        : r.adapterTimerFile;
    f.advice = "set the adapter's latency timer to 1 ms: write 1 to " + file +
               " (echo 1 | sudo tee " + file + "), and for good add ATTR{device/latency_timer}=\"1\" to its "
               "udev rule in /etc/udev/rules.d/60-q583.rules (README: USB-serial adapters: latency)";
  }
  return f;
}

std::string LostCauses(const Run& run) {
  std::string causes;
  const auto add = [&causes](uint64_t n, const char* why) {
    if (n != 0) causes += (causes.empty() ? "" : ", ") + Count(n) + " " + why;
  };
  add(run.lostOverrun, "overrun (the host read too late)");
  add(run.lostFrameFault, "frame fault");
  add(run.lostLineLost, "line lost");
  add(run.lostQueueOverflow, "receive queue overflow");
  add(run.lostRunEnded, "run ended at once");
  return causes;
}

std::string LostAdvice(const Run& run) {
  if (run.lostFrameFault != 0)
    return "bytes of a frame were lost or garbled on the line" +
           (run.errorText.empty() ? std::string() : " (" + run.errorText + ")") +
           ": check the cable, its length and ground, and that no other program uses the port";
  if (run.lostLineLost != 0) return "the port went away: check the adapter's USB connection and power";
  if (run.lostQueueOverflow != 0)
    return "the host did not take bytes from the port in time: raise RXQUEUESIZE in Q583_SP.ini, or lighten "
           "the machine's load";
  if (run.lostOverrun != 0)
    return "the host program fell behind the memory ring: read the scans more often";
  return "";
}

Finding RunFinding(const Report& r) {
  const Run& run = r.run;
  Finding f{"run", Verdict::Ok, "", "", {}};
  if (!run.started) {
    f.verdict = Verdict::Fail;
    f.text = "the scan did not start";
    f.advice = "the instrument did not confirm the scan start: reset it (q583 reset) and try again";
    return f;
  }
  const double span = run.endedByTime ? run.duration : run.seconds;
  const double expected = run.interval > 0 ? std::floor(span / run.interval) : 0.0;
  const uint64_t lost = run.lostOverrun + run.lostFrameFault + run.lostLineLost + run.lostQueueOverflow +
                        run.lostRunEnded;
  f.text = Fixed(run.seconds, 0) + " s at " + Fixed(run.interval * 1000.0, 1) + " ms: " + Fixed(expected, 0) +
           " frames expected, " + Count(run.taken) + " received, " + Count(lost) + " scans lost";
  f.values = {{"interval_s", run.interval},           {"expected", expected},
              {"received", static_cast<double>(run.taken)}, {"lost", static_cast<double>(lost)},
              {"lost_overrun", static_cast<double>(run.lostOverrun)},
              {"lost_frame_fault", static_cast<double>(run.lostFrameFault)},
              {"lost_line_lost", static_cast<double>(run.lostLineLost)},
              {"lost_queue_overflow", static_cast<double>(run.lostQueueOverflow)}};
  if (lost != 0) {
    f.verdict = Verdict::Fail;
    f.text += " (" + LostCauses(run) + ")";
    f.advice = LostAdvice(run);
  }
  if (!run.endedByTime) {
    f.verdict = Verdict::Fail;
    f.text += "; " + run.endText;
    if (f.advice.empty()) f.advice = "the run ended before its time: run q583 selftest --debug-logs and look at "
                                     "ScanOut.txt";
    return f;
  }
  // A frame or two either way is the run's timer against the instrument's.
  const double tolerance = 2.0 + expected * 0.002;
  if (lost == 0 && std::fabs(static_cast<double>(run.taken) - expected) > tolerance) {
    f.verdict = Verdict::Warn;
    f.text += ": " + Fixed(std::fabs(static_cast<double>(run.taken) - expected), 0) + " frames " +
              (static_cast<double>(run.taken) < expected ? "fewer" : "more") + " than the interval gives";
    f.advice = "the instrument does not scan at the interval the library set: see the drift below";
  }
  return f;
}

Finding DelayFinding(const Report& r, double drift) {
  Finding f{"frame delay", Verdict::Ok, "", "", {}};
  const std::vector<double> delays = FrameDelaysMs(r.run, drift);
  if (delays.empty()) {
    f.verdict = Verdict::Warn;
    f.text = "not measured: too few frames";
    f.advice = "run longer (--seconds)";
    return f;
  }
  const double median = Quantile(delays, 0.5), p99 = Quantile(delays, 0.99);
  f.text = "frame to host beyond the quickest frame: median " + Fixed(median, 1) + " ms, p99 " + Fixed(p99, 1) +
           " ms";
  f.values = {{"median_ms", median}, {"p99_ms", p99}};
  if (median > kDelayMedianWarnMs) {
    f.verdict = Verdict::Warn;
    f.advice = "frames wait on their way to the host: an adapter's latency timer (see the round trip) or a "
               "loaded machine";
  }
  return f;
}

Finding DriftFinding(bool measured, double ppm, bool adapterHoldsBack) {
  Finding f{"clock drift", Verdict::Ok, "", "", {}};
  if (!measured) {
    f.verdict = Verdict::Warn;
    f.text = "not measured: the run was too short (" + Fixed(kDriftMinimumS, 0) + " s at least)";
    f.advice = "run longer (--seconds)";
    return f;
  }
  const double secondsPerHour = std::fabs(ppm) * 3600e-6;
  f.text = "the instrument's scan clock runs " + Fixed(std::fabs(ppm), 0) + " ppm " + (ppm >= 0 ? "fast" : "slow") +
           " against the host's (" + Fixed(secondsPerHour, 2) + " s an hour)";
  f.values = {{"ppm", ppm}};
  if (adapterHoldsBack) {
    f.verdict = Verdict::Warn;
    f.text += ", blurred by the adapter's latency timer";
    f.advice = "set the latency timer to 1 ms (see the round trip) and run the self-test again";
  } else if (std::fabs(ppm) > kDriftWarnPpm) {
    f.verdict = std::fabs(ppm) > kDriftFailPpm ? Verdict::Fail : Verdict::Warn;
    f.advice = "a scan's time from its number times the interval is off by that much: take the receive "
               "times (EX_GetNumberedScanData, the time column of q583 scan -o) for long runs, and have the "
               "instrument's clock checked";
  }
  return f;
}

void AddLibraryFindings(const Report& r, bool adapterHoldsBack, std::vector<Finding>& out) {
  const Library& l = r.library;
  Finding latency{"low latency", Verdict::Ok, "", "", {}};
  if (l.lowLatency.empty()) {
    latency.text = "not logged by the library at the open";
  } else {
    latency.text = "the port's low-latency request: " + l.lowLatency;
    if (l.lowLatency == "refused" || l.lowLatency == "unavailable")
      latency.text += " (the port's driver has no such setting)";
  }
  if (adapterHoldsBack) {
    latency.verdict = Verdict::Warn;
    latency.advice = "the driver did not bring the adapter's timer down: set it yourself (see the round trip)";
  }
  out.push_back(latency);

  Finding queue{"receive queue", Verdict::Ok, "", "", {}};
  const double frames = l.frameBytes ? static_cast<double>(l.receiveQueueBytes) / l.frameBytes : 0.0;
  const double holds = frames * r.run.interval;
  queue.text = "RXQUEUESIZE " + std::to_string(l.receiveQueueBytes) + " bytes: " + Fixed(frames, 0) + " frames of " +
               std::to_string(l.frameBytes) + " bytes, " + Fixed(holds, 1) + " s at this interval";
  queue.values = {{"bytes", static_cast<double>(l.receiveQueueBytes)}, {"seconds", holds}};
  if (holds < kQueueWarnS) {
    queue.verdict = Verdict::Warn;
    queue.advice = "a host that stalls for longer loses the run: raise RXQUEUESIZE in Q583_SP.ini";
  }
  out.push_back(queue);

  Finding logs{"debug logs", Verdict::Ok, l.debugLogs ? "on, in " + l.debugLogDir : "off", "", {}};
  if (l.debugLogs) logs.text += " (the figures above include their cost)";
  out.push_back(logs);
}

}  // namespace

const char* VerdictWord(Verdict verdict) {
  switch (verdict) {
    case Verdict::Ok: return "ok";
    case Verdict::Warn: return "warn";
    case Verdict::Fail: break;
  }
  return "fail";
}

double Quantile(std::vector<double> values, double fraction) {
  if (values.empty()) return 0.0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size()))) ;
  return values[std::min(values.size() - 1, index == 0 ? 0 : index - 1)];
}

std::vector<uint32_t> Histogram(const std::vector<double>& ms, double widthMs) {
  std::vector<uint32_t> bins;
  for (double v : ms) {
    const auto bin = static_cast<size_t>(std::max(0.0, v) / widthMs);
    if (bins.size() <= bin) bins.resize(bin + 1);
    ++bins[bin];
  }
  return bins;
}

namespace {

// The least of (receive time - number x interval) over the scans [first, last).
double LeastOffset(const Run& run, size_t first, size_t last) {
  double least = std::numeric_limits<double>::infinity();
  for (size_t i = first; i < last; ++i)
    least = std::min(least, run.times[i] - static_cast<double>(run.numbers[i]) * run.interval);
  return least;
}

}  // namespace

bool DriftPpm(const Run& run, double& ppm) {
  const size_t n = std::min(run.numbers.size(), run.times.size());
  if (n < 30 || run.interval <= 0 || run.times[n - 1] - run.times[0] < kDriftMinimumS) return false;
  const size_t third = n / 3;
  const double early = LeastOffset(run, 0, third), late = LeastOffset(run, n - third, n);
  const double between = static_cast<double>(run.numbers[n - third + third / 2] - run.numbers[third / 2]) *
                         run.interval;
  // A fast clock brings the late frames early: their offset shrinks.
  ppm = -(late - early) / between * 1e6;
  return true;
}

std::vector<double> FrameDelaysMs(const Run& run, double driftPpm) {
  const size_t n = std::min(run.numbers.size(), run.times.size());
  std::vector<double> delays;
  if (n < 2 || run.interval <= 0) return delays;
  const double period = run.interval * (1.0 - driftPpm * 1e-6);
  for (size_t i = 0; i < n; ++i) delays.push_back(run.times[i] - static_cast<double>(run.numbers[i]) * period);
  const double least = *std::min_element(delays.begin(), delays.end());
  for (double& d : delays) d = (d - least) * 1000.0;
  return delays;
}

std::vector<Finding> Judge(const Report& report) {
  std::vector<Finding> findings{SignOnFinding(report)};
  if (!report.signOn.signedOn) return findings;
  findings.push_back(RoundTripFinding(report));
  const bool holdsBack = findings.back().verdict != Verdict::Ok && !report.roundTrips.ms.empty();
  findings.push_back(RunFinding(report));
  if (report.run.started) {
    double ppm = 0.0;
    const bool measured = DriftPpm(report.run, ppm);
    findings.push_back(DelayFinding(report, measured ? ppm : 0.0));
    findings.push_back(DriftFinding(measured, ppm, holdsBack));
  }
  AddLibraryFindings(report, holdsBack, findings);
  return findings;
}

Verdict Worst(const std::vector<Finding>& findings) {
  Verdict worst = Verdict::Ok;
  for (const Finding& f : findings) worst = std::max(worst, f.verdict);
  return worst;
}

int ExitStatus(Verdict worst) {
  return worst == Verdict::Ok ? 0 : worst == Verdict::Warn ? kWarnStatus : kFailStatus;
}

}  // namespace q583cli::selftest
