// q583 selftest: signs on, times single conversions, scans at the minimal
// interval for a while, asks the library what it did, and says what each
// finding means for the set-up (selftest.cpp judges).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "q583_sp.h"
#include "selftest.h"
#include "session.h"

namespace q583cli {

namespace fs = std::filesystem;
using namespace selftest;

namespace {

constexpr int kRoundTrips = 40;
// The fastest conversions the instrument makes (its rate tops out at 1027 a
// second): the shortest interval, the most frames to judge the line by.
constexpr double kRate = 1000.0;

struct SelftestOptions {
  ConnectionOptions connection;
  uint32_t seconds = 20;
  bool yes = false;
  bool json = false;
};

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// "KEY: value" of the library's setup report, as a number (0 when absent).
uint32_t ReportNumber(const std::string& report, const std::string& key) {
  const auto at = report.find("\n" + key + ": ");
  return at == std::string::npos ? 0 : static_cast<uint32_t>(std::strtoul(report.c_str() + at + key.size() + 3, nullptr, 10));
}

// The sign-on with the library's general and scan debug logs open, so that
// its own words say how many attempts it made and what the port's driver
// made of the low-latency request.  Without --debug-logs the logs go to a
// private directory and are closed again before anything is measured.
void SignOnWithLogs(const ConnectionOptions& c, SignOn& signOn, Library& library) {
  std::unique_ptr<TempDir> dir;
  const fs::path home = fs::current_path();
  if (!c.debugLogs) {
    dir = std::make_unique<TempDir>("q583-selftest-");
    fs::current_path(dir->Path());
    EX_DoVexDbgNew(1);
    EX_DoScanDebug(1);
  }
  const auto start = Clock::now();
  signOn.signedOn = EX_InitDev() != 0;
  signOn.seconds = SecondsSince(start);
  if (dir) {
    EX_DoVexDbgNew(0);
    EX_DoScanDebug(0);
  }
  const std::string general = Slurp("VexNewDbg.txt"), scan = Slurp("ScanOut.txt");
  if (dir) fs::current_path(home);
  signOn.attempts = 0;
  for (auto at = general.find("SIGNON: top of restart:"); at != std::string::npos;
       at = general.find("SIGNON: top of restart:", at + 1))
    ++signOn.attempts;
  if (signOn.attempts == 0) signOn.attempts = -1;
  const std::string said = ": low latency ";
  const auto at = scan.rfind(said);
  if (at != std::string::npos) library.lowLatency = Trim(scan.substr(at + said.size(), scan.find('\n', at) - at - said.size()));
}

// Digital-input reads: a command and a two-byte reply, nothing else, so
// that the time is the line's own (a conversion through the library also
// waits half a second for the input to settle on its channel).
void TimeRoundTrips(RoundTrips& trips, const std::string& report) {
  for (int i = 0; i < kRoundTrips; ++i) {
    uint8_t value = 0;
    const auto start = Clock::now();
    if (!EX_GetDigin(&value)) return;
    trips.ms.push_back(SecondsSince(start) * 1000.0);
  }
  const auto baud = report.find("\nbaud: ");
  const auto open = report.find('(', baud == std::string::npos ? report.size() : baud);
  const unsigned long bitsPerSecond = open == std::string::npos ? 0 : std::strtoul(report.c_str() + open + 1, nullptr, 10);
  // Three bytes out, two back, ten bits a byte.
  trips.lineMs = 5.0 * 10.0 / static_cast<double>(bitsPerSecond ? bitsPerSecond : 9600) * 1000.0;
}

void ScanAtTheMinimalInterval(Run& run, uint32_t perScan) {
  // The instrument's timer counts steps of 1/3906.25 s or 1/4882.8125 s
  // (by its firmware) at 9600 baud: a whole number of 1.024 ms is a whole
  // number of either, so that the interval the run is given is the one the
  // instrument keeps, and the drift is its clock's alone.
  double minimum = 0, maximum = 0;
  EX_GetScanIntervalMinMax(&minimum, &maximum);
  constexpr double kStepS = 0.001024;
  run.interval = (std::floor(minimum / kStepS) + 1.0) * kStepS;
  if (!EX_SetToUserScanInterval(&run.interval)) return;
  if (!EX_SetLengthOfRunMs(static_cast<uint32_t>(run.seconds * 1000.0))) return;
  // With the digital inputs read along, the library takes each frame as its
  // last byte comes, so that its receive times are the frames' arrivals.
  // Without, it reads frames when it predicts them due, and a frame that
  // came early carries the time of that wake-up: the drift would be the
  // prediction's, not the instrument's.
  EX_SetDiginScan(1);
  run.started = EX_StartScan_NoSysCal() != 0;
  if (!run.started) return;
  constexpr uint32_t kBatch = 4096;
  std::vector<double> values(kBatch * perScan), times(kBatch);
  std::vector<uint64_t> numbers(kBatch);
  for (;;) {
    int32_t returned = 0, unread = 0;
    uint8_t running = 1;
    if (!EX_GetNumberedScanData(values.data(), nullptr, numbers.data(), times.data(), kBatch, &returned, &unread,
                                &running))
      returned = 0;
    run.numbers.insert(run.numbers.end(), numbers.begin(), numbers.begin() + std::max(0, returned));
    run.times.insert(run.times.end(), times.begin(), times.begin() + std::max(0, returned));
    if (!running && returned <= 0) break;
    if (unread <= 0) usleep(50000);
  }
  EX_EndScan();
  EX_SetDiginScan(0);
  Q583RunSummary s{};
  s.size = sizeof s;
  if (EX_GetRunSummary(&s)) {
    run.endedByTime = s.endReason == Q583_END_TIMED;
    run.duration = s.endTime > s.startTime ? s.endTime - s.startTime : 0.0;
    run.sent = s.scansSent;
    run.taken = s.scansTaken;
    run.lostOverrun = s.lostOverrun;
    run.lostFrameFault = s.lostFrameFault;
    run.lostLineLost = s.lostLineLost;
    run.lostQueueOverflow = s.lostQueueOverflow;
    run.lostRunEnded = s.lostRunEnded;
    static const char* const kEnds[] = {"it was still running", "the host ended it", "its time was over",
                                        "the memory ring was full", "a frame fault ended it", "the line was lost",
                                        "the receive queue overflowed", "ended at once", "the library was unloaded"};
    run.endText = s.endReason < 9 ? kEnds[s.endReason] : "it ended for an unknown reason";
  }
  int32_t code = 0;
  char why[128] = "";
  if (EX_GetErrorType(&code, why, sizeof why) && code != 0) run.errorText = why;
}

// The sysfs file of a USB-serial port's latency timer, when it has one.
std::string AdapterTimerFile(const std::string& port) {
  std::error_code ec;
  const fs::path device = fs::canonical(port, ec);
  if (ec) return "";
  const fs::path file = fs::path("/sys/bus/usb-serial/devices") / device.filename() / "latency_timer";
  return fs::exists(file, ec) ? file.string() : "";
}

Report Measure(const SelftestOptions& o) {
  Session session(o.connection);
  Settings settings;
  settings.rate = kRate;
  settings.logFlags = 2;  // the memory ring only: no scan log file
  session.Configure(settings);
  Report r;
  r.port = session.PortName();
  if (!o.connection.sim) r.adapterTimerFile = AdapterTimerFile(o.connection.port);
  r.library.debugLogs = o.connection.debugLogs;
  r.library.debugLogDir = fs::current_path().string();
  SignOnWithLogs(o.connection, r.signOn, r.library);
  if (!r.signOn.signedOn) return r;
  int16_t version = 0;
  if (EX_SetModel(&version)) r.signOn.version = version;
  r.signOn.modelCode = ModelCode(version);
  const std::string report = "\n" + SetupReport();
  r.library.receiveQueueBytes = ReportNumber(report, "RXQUEUESIZE");
  const uint32_t perScan = static_cast<uint32_t>(ChannelLabels(settings).size());
  r.library.frameBytes = perScan * ReportNumber(report, "wordCnt") + 2;
  TimeRoundTrips(r.roundTrips, report);
  r.run.seconds = o.seconds;
  ScanAtTheMinimalInterval(r.run, perScan);
  return r;
}

// ---- output ---------------------------------------------------------------

void PrintHistogram(const std::vector<double>& ms) {
  const auto bins = Histogram(ms, 1.0);
  size_t first = 0;
  while (first < bins.size() && bins[first] == 0) ++first;
  const uint32_t most = bins.empty() ? 1 : *std::max_element(bins.begin(), bins.end());
  for (size_t b = first; b < bins.size(); ++b)
    std::printf("%16s%3zu-%zu ms %-40s %u\n", "", b, b + 1, std::string(bins[b] * 40 / most, '#').c_str(), bins[b]);
}

void PrintText(const Report& r, const std::vector<Finding>& findings, Verdict worst) {
  std::printf("q583 selftest of %s\n", r.port.c_str());
  for (const Finding& f : findings) {
    std::printf("%-5s %-15s %s\n", VerdictWord(f.verdict), f.check.c_str(), f.text.c_str());
    if (f.check == "round trip") PrintHistogram(r.roundTrips.ms);
    if (!f.advice.empty()) std::printf("%22s%s\n", "-> ", f.advice.c_str());
  }
  std::printf("verdict: %s (exit status %d)\n", VerdictWord(worst), ExitStatus(worst));
}

std::string JsonText(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value);
  return text;
}

void PrintJson(const Report& r, const std::vector<Finding>& findings, Verdict worst) {
  std::string out = "{\"port\": " + JsonText(r.port) + ", \"verdict\": \"" + VerdictWord(worst) +
                    "\", \"exit_status\": " + std::to_string(ExitStatus(worst)) + ",\n \"checks\": [";
  for (size_t i = 0; i < findings.size(); ++i) {
    const Finding& f = findings[i];
    out += std::string(i ? "," : "") + "\n  {\"check\": " + JsonText(f.check) + ", \"verdict\": \"" +
           VerdictWord(f.verdict) + "\", \"text\": " + JsonText(f.text) + ", \"advice\": " + JsonText(f.advice) +
           ", \"values\": {";
    for (size_t v = 0; v < f.values.size(); ++v)
      out += std::string(v ? ", " : "") + JsonText(f.values[v].name) + ": " + JsonNumber(f.values[v].value);
    out += "}}";
  }
  out += "],\n \"round_trip_ms\": [";
  for (size_t i = 0; i < r.roundTrips.ms.size(); ++i) out += (i ? ", " : "") + JsonNumber(r.roundTrips.ms[i]);
  std::fputs((out + "]}\n").c_str(), stdout);
}

// The port is written to: a person says yes at the terminal, or --yes says
// it for a script.  The simulator needs neither.
void Confirm(const SelftestOptions& o) {
  if (o.yes || o.connection.sim) return;
  const std::string port = o.connection.port.empty() ? "the port" : o.connection.port;
  if (!isatty(STDIN_FILENO))
    throw Failure("selftest writes to " + port + " (a sign-on, conversions and a scan): give --yes to go on", 2);
  std::fprintf(stderr, "q583 selftest signs on to %s, converts and scans for %u s. Go on? [y/N] ", port.c_str(),
               o.seconds);
  std::string answer;
  std::getline(std::cin, answer);
  answer = Trim(answer);
  if (answer != "y" && answer != "Y" && answer != "yes") throw Failure("not confirmed; nothing was sent", 1);
}

void RunSelftest(const SelftestOptions& o) {
  Confirm(o);
  const Report report = Measure(o);
  const std::vector<Finding> findings = Judge(report);
  const Verdict worst = Worst(findings);
  if (o.json)
    PrintJson(report, findings, worst);
  else
    PrintText(report, findings, worst);
  std::fflush(stdout);
  if (worst != Verdict::Ok) throw Failure("selftest: " + std::string(VerdictWord(worst)), ExitStatus(worst));
}

}  // namespace

void AddSelftestCommand(CLI::App& app) {
  auto o = std::make_shared<SelftestOptions>();
  auto* cmd = app.add_subcommand("selftest", "Check a set-up (port, adapter, instrument, library) and say what to "
                                             "do about what is found");
  cmd->footer(
      "What it sends: a sign-on (the wake-up, the baud rate, the mode registers at 1000 conversions a second, the "
      "timer and channel codes, the version read), the version read again, " + std::to_string(kRoundTrips) +
      " digital-input reads (their round trips are the line's), then a scan of channel 0-0 at the minimal "
      "interval (rounded up to a whole 1.024 ms, which the instrument's timer keeps exactly) for --seconds, with "
      "the digital inputs read along (so that each frame's receive time is its arrival), and its stop. Nothing "
      "is written to the instrument's memory, and no scan log file is written.\n"
      "It reports: the sign-on (time, retries, firmware version, model code); the round trips of the reads "
      "(a histogram) and whether a USB adapter's latency timer holds the replies back; the run (frames expected "
      "and received, lost scans and why, the frame-to-host delay, the drift of the instrument's scan clock against "
      "the host's in ppm); the library's own view (the low-latency request, the receive queue, the debug logs). "
      "Each line has a verdict, ok, warn or fail, and advice.\n"
      "It asks before it writes to the port; --yes answers for a script (the simulator needs neither).\n"
      "Exit status: 0 every line ok; 4 a line warns; 5 a line fails (e.g. no sign-on, lost scans); 1 the check "
      "could not run (a port that is missing or busy); 2 a mistake on the command line.");
  AddConnectionOptions(*cmd, o->connection);
  cmd->add_option("--seconds", o->seconds, "Length of the run at the minimal interval (the drift needs 10 s)")
      ->check(CLI::Range(2, 3600))
      ->capture_default_str();
  cmd->add_flag("-y,--yes", o->yes, "Write to the port without asking");
  cmd->add_flag("--json", o->json, "Print the findings as JSON (one object) instead of text");
  cmd->callback([o] { RunSelftest(*o); });
}

}  // namespace q583cli
