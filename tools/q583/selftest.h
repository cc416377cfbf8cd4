// q583 selftest: what it measured on a set-up (port, adapter, instrument,
// library), and the verdict on each part with its advice.  The measuring
// and the printing live in selftest_cmd.cpp; this part only judges, so that
// the rules can be read (and changed) in one place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace q583cli::selftest {

enum class Verdict { Ok, Warn, Fail };
const char* VerdictWord(Verdict verdict);  // "ok", "warn", "fail"

// Exit status of the command for the worst verdict: 0, kWarnStatus or
// kFailStatus (1 and 2 keep their meaning of every q583 command: a port
// that cannot be used, a mistake on the command line).
constexpr int kWarnStatus = 4;
constexpr int kFailStatus = 5;

// A number of a finding, for --json.
struct Value {
  std::string name;
  double value = 0.0;
};

struct Finding {
  std::string check;   // "sign-on", "round trip", ...
  Verdict verdict = Verdict::Ok;
  std::string text;    // what was found
  std::string advice;  // what to do about it (empty when nothing)
  std::vector<Value> values;
};

struct SignOn {
  bool signedOn = false;
  double seconds = 0.0;
  int attempts = -1;  // sign-on attempts the library made (-1: not known)
  int version = -1;   // firmware version (-1: not read)
  int modelCode = 0;
};

struct RoundTrips {
  std::vector<double> ms;  // one digital-input read each, host to host
  double lineMs = 0.0;     // what the line needs by itself
};

struct Run {
  bool started = false;
  double interval = 0.0;   // seconds, the minimal interval of the settings
  double seconds = 0.0;    // asked for
  double duration = 0.0;   // from the run's start to its end, host clock
  bool endedByTime = false;
  std::string endText;     // how it ended, when not by its time
  uint64_t sent = 0, taken = 0;
  uint64_t lostOverrun = 0, lostFrameFault = 0, lostLineLost = 0, lostQueueOverflow = 0, lostRunEnded = 0;
  std::string errorText;   // the library's word on a frame fault
  std::vector<uint64_t> numbers;  // each scan received: its number in the run
  std::vector<double> times;      // and its frame's receive time (s since the start)
};

struct Library {
  std::string lowLatency;       // as the library logged it at the open; empty: not logged
  uint32_t receiveQueueBytes = 0;
  uint32_t frameBytes = 0;      // bytes of one frame of the run
  bool debugLogs = false;
  std::string debugLogDir;
};

struct Report {
  std::string port;
  std::string adapterTimerFile;  // the port's latency timer in sysfs ("" when it has none)
  SignOn signOn;
  RoundTrips roundTrips;
  Run run;
  Library library;
};

// The drift of the instrument's scan clock against the host's, in ppm
// (positive: the instrument's clock runs fast, its scans come early), from
// the scan numbers times the interval against the receive times.  The
// earliest frames of the first and the last third of the run carry the
// least delay; their difference gives the drift.  False with fewer than
// 30 scans or a run shorter than 10 s.
bool DriftPpm(const Run& run, double& ppm);
// Frame-to-host delays in ms: each frame's receive time beyond that of the
// quickest frame, after the drift is taken out.
std::vector<double> FrameDelaysMs(const Run& run, double driftPpm);
// The value below which `fraction` of `values` lie (0 for none).
double Quantile(std::vector<double> values, double fraction);
// Counts in bins of `widthMs`, from 0 to the largest value.
std::vector<uint32_t> Histogram(const std::vector<double>& ms, double widthMs);

std::vector<Finding> Judge(const Report& report);
Verdict Worst(const std::vector<Finding>& findings);
int ExitStatus(Verdict worst);

}  // namespace q583cli::selftest
