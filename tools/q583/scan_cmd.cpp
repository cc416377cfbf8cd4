// `q583 scan`: configure, sign on, scan, show and save what arrives.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <set>

#include "commands.h"
#include "common.h"
#include "scanlog.h"
#include "live_view.h"
#include "q583_sp.h"
#include "session.h"

namespace q583cli {

namespace fs = std::filesystem;

namespace {

// ---- Ctrl-C and a closed output ---------------------------------------------

std::atomic<int> gSignal{0};
int gWakePipe[2] = {-1, -1};

extern "C" void OnStopSignal(int signal) {
  int none = 0;
  gSignal.compare_exchange_strong(none, signal);  // the first signal names the end
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(gWakePipe[1], &byte, 1);
}

// Catches SIGINT, SIGTERM, SIGHUP and SIGPIPE for the life of the command so
// that the scan is ended by the library (trailer written, instrument
// stopped), and gives the main loop a descriptor to wait on.  SIGPIPE comes
// when a reader of standard output goes away (`q583 scan | head`): without
// the handler it would kill the program with the instrument still streaming.
class StopSignals {
 public:
  StopSignals() {
    if (pipe2(gWakePipe, O_CLOEXEC | O_NONBLOCK) != 0) throw Failure("cannot create a pipe: " + ErrorText(errno));
    struct sigaction action {};
    action.sa_handler = &OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &old_[i]);
  }
  ~StopSignals() {
    for (size_t i = 0; i < kSignals.size(); ++i) {
      // A closed standard output stays closed: the summary and the flushes
      // at exit must fail with EPIPE instead of killing the program.
      if (kSignals[i] == SIGPIPE) old_[i].sa_handler = SIG_IGN;
      sigaction(kSignals[i], &old_[i], nullptr);
    }
    close(gWakePipe[0]);
    close(gWakePipe[1]);
    gWakePipe[0] = gWakePipe[1] = -1;
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  static bool Stopped() { return gSignal.load() != 0; }
  // A write that failed with EPIPE ends the run as the signal would have
  // (the signal does not come when the program was started with SIGPIPE
  // ignored).
  static void PipeClosed() { OnStopSignal(SIGPIPE); }
  // Blocks until a stop signal or `ms` pass.
  static void Wait(int ms) {
    pollfd fd{gWakePipe[0], POLLIN, 0};
    if (poll(&fd, 1, ms) > 0) {
      char drain[16];
      while (read(gWakePipe[0], drain, sizeof drain) > 0) {
      }
    }
  }
  // How the command ends after a signal: 128 + its number, as a shell
  // reports a program killed by it, so that scripts can tell an
  // interrupted run from a finished one.
  static Failure Ending(bool scanStopped) {
    const int signal = gSignal.load();
    const std::string what = signal == SIGPIPE ? "standard output was closed (SIGPIPE)"
                             : signal == SIGINT ? "interrupted (SIGINT)"
                             : signal == SIGTERM ? "terminated (SIGTERM)"
                                                 : "hung up (SIGHUP)";
    return Failure(what + (scanStopped ? "; the scan was stopped" : ""), 128 + signal);
  }

 private:
  static constexpr std::array<int, 4> kSignals{{SIGINT, SIGTERM, SIGHUP, SIGPIPE}};
  std::array<struct sigaction, 4> old_{};
};

// Ends the scan through the library whatever way the command leaves.
class RunningScan {
 public:
  RunningScan() = default;
  ~RunningScan() {
    if (!ended_) EX_EndScan();
  }
  RunningScan(const RunningScan&) = delete;
  RunningScan& operator=(const RunningScan&) = delete;
  bool End() {
    ended_ = true;
    return EX_EndScan() != 0;
  }

 private:
  bool ended_ = false;
};

// ---- the run's account ----------------------------------------------------

// A whole number with thousands separators: 2,033.
std::string Grouped(uint64_t n) {
  std::string digits = std::to_string(n);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
  return digits;
}

const char* GapCauseText(uint32_t cause) {
  switch (cause) {
    case Q583_GAP_OVERRUN: return "the host fell behind";
    case Q583_GAP_FRAME_FAULT: return "a frame fault ended the run";
    case Q583_GAP_LINE_LOST: return "the line was lost";
    case Q583_GAP_QUEUE_OVERFLOW: return "the receive queue overflowed";
    case Q583_GAP_RUN_ENDED: return "the run was ended with frames on their way";
    case Q583_GAP_NOT_STORED: return "memory logging was off";
    default: return "for a reason the library does not name";
  }
}

const char* GapCauseWord(uint32_t cause) {
  switch (cause) {
    case Q583_GAP_OVERRUN: return "overrun";
    case Q583_GAP_FRAME_FAULT: return "frame fault";
    case Q583_GAP_LINE_LOST: return "line lost";
    case Q583_GAP_QUEUE_OVERFLOW: return "queue overflow";
    default: return "run ended";
  }
}

std::string EndReasonText(const Q583RunSummary& summary) {
  switch (summary.endReason) {
    case Q583_END_HOST: return "ended by the host";
    case Q583_END_TIMED: return "its length was over";
    case Q583_END_MEMORY_FULL: return "the memory ring was full";
    case Q583_END_FRAME_ERROR: return "a frame fault";
    case Q583_END_LINE_LOST: return "the line was lost";
    case Q583_END_QUEUE_OVERFLOW: return "the receive queue overflowed";
    case Q583_END_AT_ONCE: return std::string("ended at once by ") + summary.endCall;
    case Q583_END_UNLOAD: return "the library was unloaded";
    default: return "still running";
  }
}

// "12 scans lost at 500-511: the host fell behind"
std::string GapLine(uint64_t first, uint64_t count, uint32_t cause) {
  const std::string where = count == 1 ? std::to_string(first)
                                       : std::to_string(first) + "-" + std::to_string(first + count - 1);
  return Grouped(count) + (count == 1 ? " scan" : " scans") + " lost at " + where + ": " + GapCauseText(cause);
}

// The exit status of a run that lost scans, whole otherwise.
constexpr int kScansLostStatus = 3;

// ---- output files -----------------------------------------------------------

// The table of -o: opened (and so emptied) before anything goes to the
// instrument, written through stdio, and the first failed write kept with
// its error number so that the run can end on it at once.
class TableWriter {
 public:
  TableWriter(const std::string& path, char separator) : separator_(separator) {
    if (path == "-") {
      file_ = stdout;
      name_ = "standard output";
    } else {
      file_ = std::fopen(path.c_str(), "w");
      if (file_ == nullptr) throw Failure("cannot write " + path + ": " + ErrorText(errno));
      owned_ = true;
      name_ = path;
    }
  }
  ~TableWriter() {
    if (owned_) std::fclose(file_);
  }
  TableWriter(const TableWriter&) = delete;
  TableWriter& operator=(const TableWriter&) = delete;

  void Header(const std::vector<std::string>& labels, bool digin) {
    std::string line = std::string("scan") + separator_ + "time_s";
    for (const auto& label : labels) line += separator_ + label;
    if (digin) line += separator_ + std::string("digin");
    Put(line + '\n');
  }
  void Row(uint64_t index, double time, const double* values, size_t count, std::optional<int> digin) {
    char text[48];
    std::snprintf(text, sizeof text, "%llu%c%.4f", static_cast<unsigned long long>(index), separator_, time);
    std::string line = text;
    for (size_t i = 0; i < count; ++i) {
      // Seven decimals, as the scan log has them: 0.1 uV, below one count
      // of the 24-bit converter.
      std::snprintf(text, sizeof text, "%c%.7f", separator_, values[i]);
      line += text;
    }
    if (digin) line += separator_ + std::to_string(*digin);
    Put(line + '\n');
  }
  void Flush() {
    if (error_ == 0 && std::fflush(file_) != 0) error_ = errno != 0 ? errno : EIO;
  }
  // The error number of the first failed write, 0 while all went well.
  int Error() const { return error_; }
  const std::string& Name() const { return name_; }

 private:
  void Put(const std::string& text) {
    if (error_ == 0 && std::fputs(text.c_str(), file_) == EOF) error_ = errno != 0 ? errno : EIO;
  }

  std::FILE* file_ = nullptr;
  bool owned_ = false;
  std::string name_;
  char separator_;
  int error_ = 0;
};

// The scan log and the debug logs go into the working directory, created
// there by the library only when the scan starts; a file made and removed
// now finds a directory that cannot take them before the instrument is
// touched.  (A permission test alone would pass for root on a directory
// that takes no files.)
void CheckLogDirectoryWritable() {
  const std::string probe = ".q583-write-test-" + std::to_string(getpid());
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0)
    throw Failure("cannot create a scan log file in " + fs::current_path().string() + ": " + ErrorText(errno) +
                  " (choose another --log-dir, or --no-log-file)");
  close(fd);
  unlink(probe.c_str());
}

// The longest run the library's millisecond timer can time: its clock is
// compared as signed 32-bit numbers, and a deadline 2^31 ms (24.8 days) or
// more ahead looks passed at once.  A round figure below that, with room
// for the timer's grace.
constexpr uint32_t kLongestRunMs = 2'000'000'000;

struct ScanOptions {
  ConnectionOptions connection;
  Settings settings;
  std::string type = "multi";
  std::string codes = "0x00";
  std::optional<double> interval;
  bool minInterval = false;
  std::optional<double> seconds;
  std::optional<uint32_t> ms;
  std::optional<uint64_t> scans;
  bool noLogFile = false;
  std::optional<uint32_t> logLimit;
  bool stopWhenFull = false;
  std::optional<std::string> comment;
  std::optional<std::string> description;
  bool digin = false;
  std::string output;
  std::string format;
  bool quiet = false;
};

int ScanTypeNumber(const std::string& type) { return type == "single" ? 0 : type == "multi-cal" ? 2 : 1; }

std::string Fixed(double value, int decimals) {
  char text[48];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

void RunScan(ScanOptions& o) {
  Settings& s = o.settings;
  s.scanType = ScanTypeNumber(o.type);
  if (s.scanType == 0) {
    // The single-channel scan converts the polled channel; one code in the
    // channel's own slot gives the library one value per scan and the scan
    // log its column label.
    s.codes = {{16, 16, 16, 16, 16, 16}};
    s.codes[static_cast<size_t>(s.channel)] = static_cast<uint8_t>(s.subChannel * 16 + s.subChannel);
  } else {
    s.codes = ParseCodes(o.codes);
  }
  s.logFlags = 2 | (o.noLogFile ? 0 : 1) | (o.stopWhenFull ? 4 : 0);
  if (o.logLimit && !o.noLogFile) {
    s.logFlags |= 8;
    s.logSizeLimit = *o.logLimit;
  }
  uint32_t runMs = 0;
  const std::string longest = " (about 23 days, the longest run the library can time; end a longer run with --scans "
                              "or Ctrl-C)";
  if (o.seconds) {
    if (!(*o.seconds >= 0) || *o.seconds * 1000.0 > kLongestRunMs)
      throw Failure("--seconds: from 0 (no time limit) to " + std::to_string(kLongestRunMs / 1000) + longest, 2);
    // 0 is no limit, as the library takes a length of 0; a length above 0
    // is at least 1 ms.
    if (*o.seconds > 0) runMs = static_cast<uint32_t>(std::max(1L, std::lround(*o.seconds * 1000.0)));
  } else if (o.ms) {
    if (*o.ms > kLongestRunMs) throw Failure("--ms: at most " + std::to_string(kLongestRunMs) + longest, 2);
    runMs = *o.ms;
  }
  std::string outputPath = o.output;
  if (!outputPath.empty() && outputPath != "-") outputPath = fs::absolute(outputPath).string();
  char separator = ',';
  const std::string format = !o.format.empty() ? o.format
                             : (outputPath.size() > 4 && (outputPath.substr(outputPath.size() - 4) == ".tsv" ||
                                                          outputPath.substr(outputPath.size() - 4) == ".txt"))
                                 ? "tsv"
                                 : "csv";
  if (format == "tsv") separator = '\t';

  // The settings and the interval are checked before the port is touched
  // (with --port auto the probe writes to ports).
  InstallMessageBoxHandler();
  ConfigureLibrary(s);
  double minimum = 0, maximum = 0;
  EX_GetScanIntervalMinMax(&minimum, &maximum);
  if (o.interval) {
    double wanted = *o.interval;
    char asked[32];
    std::snprintf(asked, sizeof asked, "%g", *o.interval);
    if (!EX_SetToUserScanInterval(&wanted))
      throw Failure(std::string("interval ") + asked + " s is outside the limits for these settings: more than " +
                        Fixed(minimum, 3) + " s and less than " + Fixed(maximum, 3) + " s",
                    2);
  } else {
    EX_SetToMinScanInterval();
  }

  StopSignals signals;
  Session session(o.connection);
  // Every output is tried before anything goes to the instrument.
  if (!o.noLogFile) CheckLogDirectoryWritable();
  std::unique_ptr<TableWriter> table;
  if (!outputPath.empty()) {
    table = std::make_unique<TableWriter>(outputPath, separator);
    table->Header(ChannelLabels(s), o.digin);
    table->Flush();
    if (table->Error() == EPIPE) StopSignals::PipeClosed();
    else if (table->Error() != 0) throw Failure("cannot write " + table->Name() + ": " + ErrorText(table->Error()));
  }
  if (StopSignals::Stopped()) throw StopSignals::Ending(false);
  std::fprintf(stderr, "q583: signing on to %s ...\n", session.PortName().c_str());
  session.SignOn();
  if (StopSignals::Stopped()) throw StopSignals::Ending(false);

  EX_SetDiginScan(o.digin ? 1 : 0);
  if (!EX_SetLengthOfRunMs(runMs)) throw Failure("the library refused the run length of " + std::to_string(runMs) + " ms");
  if (o.description && !EX_SetExperimentName(o.description->c_str()))
    throw Failure("the library refused the experiment description");
  if (o.comment && !EX_AddLogFileComment(o.comment->c_str())) throw Failure("the library refused the comment");

  double interval = 0;
  EX_GetScanInterval(&interval);
  double rate = 0;
  EX_GetRate(&rate);
  const std::vector<std::string> labels = ChannelLabels(s);
  const size_t perScan = labels.size();

  const auto logsBefore = ScanLogNames();
  TakeMessageBoxes();
  if (!EX_StartScan()) {
    for (const auto& box : TakeMessageBoxes())
      if (box.find("LOG FILE") != std::string::npos)
        throw Failure("cannot create a scan log file in " + fs::current_path().string() +
                      " (choose another --log-dir, or --no-log-file)");
    throw Failure("scan start failed: the instrument on " + session.PortName() + " did not confirm the start");
  }
  RunningScan run;
  const auto started = std::chrono::steady_clock::now();
  auto elapsed = [&started] {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  };

  std::string logName;
  if (!o.noLogFile) {
    const std::set<std::string> before(logsBefore.begin(), logsBefore.end());
    for (const auto& name : ScanLogNames())
      if (!before.count(name)) logName = name;
  }

  LiveView::Config view;
  view.labels = labels;
  view.out = outputPath == "-" ? stderr : stdout;
  view.terminal = isatty(fileno(view.out)) != 0;
  view.showRows = !o.quiet && (outputPath != "-" || view.terminal);
  if (runMs) view.runSeconds = runMs / 1000.0;
  view.heading = "q583 scan on " + session.PortName() + ": " + std::to_string(ChannelCount(s.codes)) +
                 " channels, interval " + Fixed(interval, 4) + " s, rate " + Fixed(rate, 2) + "/s" +
                 (logName.empty() ? std::string() : ", log " + logName);
  if (!view.terminal) std::fprintf(stderr, "%s\n", view.heading.c_str());
  LiveView live(view);

  // Take the scans from the library's memory ring as they come.  The count
  // asked for is never above the count waiting: the library would hand out
  // stale values for the rest.
  const size_t capacity = std::max<size_t>(1, 8640 / std::max<size_t>(1, perScan));
  std::vector<double> values(capacity * std::max<size_t>(1, perScan));
  std::vector<uint64_t> numbers(capacity);
  std::vector<double> times(capacity);
  uint64_t fetched = 0;
  uint64_t expected = 0;  // the number the next scan has when none is missing
  uint64_t lostSeen = 0;
  bool endedByItself = false;
  std::optional<int> digin;
  uint32_t overruns = 0;
  // The first failed write ends the run in order, with its error: the
  // table would have a hole in it from then on, and on a full disk the scan
  // log fails next.  The scan log keeps every scan up to the end, with its
  // trailer.  A closed pipe ends the run as its signal does.
  std::string writeFailure;
  const auto outputFailed = [&]() {
    for (const auto& [error, name] : {std::pair<int, std::string>{table ? table->Error() : 0, outputPath},
                                      std::pair<int, std::string>{live.WriteError(), "standard output"}}) {
      if (error == 0) continue;
      if (error == EPIPE) {
        StopSignals::PipeClosed();
      } else if (writeFailure.empty()) {
        writeFailure = "writing " + (name == "-" ? std::string("standard output") : name) + " failed: " +
                       ErrorText(error) + "; the scan was stopped";
      }
      return true;
    }
    return false;
  };
  // The library closes the scan log where a write to it failed (a full
  // disk) and goes on: the run is stopped in order, as for -o.
  const auto scanLogFailed = [&]() {
    if (logName.empty() || !writeFailure.empty()) return !writeFailure.empty();
    Q583RunSummary account{};
    account.size = sizeof account;
    if (EX_GetRunSummary(&account) != 1 || account.logWriteFailed == 0) return false;
    writeFailure = "writing the scan log " + fs::absolute(logName).string() +
                   " failed (is the disk full?); the scan was stopped";
    return true;
  };
  // Takes every scan waiting in the ring.  After the run has ended, however
  // it ended, its unread scans still come out (running 0) until none are
  // left; the run is then over.
  enum class Fetch { Going, LimitReached, RunOver };
  const auto fetchWaiting = [&]() -> Fetch {
    for (;;) {
      int32_t returned = 0, unread = 0;
      uint8_t running = 1;
      if (!EX_GetNumberedScanData(values.data(), nullptr, numbers.data(), times.data(), static_cast<uint32_t>(capacity),
                                  &returned, &unread, &running)) {
        if (!running) return Fetch::RunOver;
        throw Failure("the scan data cannot be fetched (the instrument is not signed on)");
      }
      for (int32_t i = 0; i < returned; ++i) {
        const double* scan = values.data() + static_cast<size_t>(i) * perScan;
        const uint64_t number = numbers[static_cast<size_t>(i)];
        const double time = times[static_cast<size_t>(i)];
        // Scans that a stored scan follows over a gap were overrun in the
        // ring: said at once, not at the end.
        if (number > expected) {
          std::fprintf(stderr, "q583: %s\n", GapLine(expected, number - expected, Q583_GAP_OVERRUN).c_str());
          lostSeen += number - expected;
        }
        expected = number + 1;
        if (table) table->Row(number, time, scan, perScan, digin);
        live.AddScan(number, time, scan, digin);
        ++fetched;
        if (o.scans && fetched >= *o.scans) return Fetch::LimitReached;
      }
      if (returned <= 0 || unread <= 0) return running || returned > 0 ? Fetch::Going : Fetch::RunOver;
    }
  };
  const bool limitReached = [&] {
    for (;;) {
      StopSignals::Wait(20);
      if (StopSignals::Stopped()) return false;
      if (o.digin) {
        uint8_t byte = 0;
        EX_GetDiginWScan(&byte);
        digin = byte;
      }
      const Fetch fetch = fetchWaiting();
      if (fetch == Fetch::LimitReached) return true;
      if (fetch == Fetch::RunOver) {
        endedByItself = true;
        return false;
      }
      if (table) table->Flush();
      if (outputFailed() || scanLogFailed()) return false;
      EX_GetScanOverrunCount(&overruns);
      live.Tick(elapsed(), overruns);
    }
  }();

  live.Note(StopSignals::Stopped() ? "stopping the scan ..." : "ending the scan ...");
  live.Tick(elapsed(), overruns, true);
  const double runTime = elapsed();
  const bool stopped = run.End();
  // Scans taken between the last fetch and the end are still in the ring.
  if (!limitReached) (void)fetchWaiting();
  EX_GetScanOverrunCount(&overruns);
  std::string logPath;
  if (!logName.empty()) logPath = fs::absolute(logName).string();
  live.Finish(runTime, overruns);
  if (table) table->Flush();
  (void)outputFailed();

  // A run that ended by itself before its length (or an unlimited one) was
  // not a finished run: the port went away, or the library could not time
  // the length.  Only --stop-when-full lets the library end it early.
  std::string earlyEnd;
  if (endedByItself && !o.stopWhenFull && (runMs == 0 || runTime + 1.0 < runMs / 1000.0)) {
    earlyEnd = "the scan ended by itself after " + Fixed(runTime, 1) + " s" +
               (runMs ? " of " + Fixed(runMs / 1000.0, 1) + " s" : std::string());
    // The library's own word for why, when it recorded one.
    int32_t code = 0;
    char why[128] = "";
    if (EX_GetErrorType(&code, why, sizeof why) == 1 && code != 0) earlyEnd += std::string(": ") + why;
  }

  // The gaps after the last scan handed out (the run's end), then the
  // account: every scan the instrument sent, those written, those lost.
  Q583RunSummary account{};
  account.size = sizeof account;
  const bool accounted = EX_GetRunSummary(&account) == 1;
  (void)scanLogFailed();  // a write that failed in the run's last moments
  std::vector<Q583Gap> gaps(64);
  uint32_t gapCount = 0;
  if (accounted && EX_GetRunGaps(gaps.data(), static_cast<uint32_t>(gaps.size()), &gapCount) == 1) {
    gaps.resize(std::min<size_t>(gapCount, gaps.size()));
    for (const Q583Gap& gap : gaps) {
      if (gap.first < expected) continue;  // said as it came
      std::fprintf(stderr, "q583: %s\n", GapLine(gap.first, gap.count, gap.cause).c_str());
    }
  }
  const uint64_t sent = accounted ? std::max<uint64_t>(account.scansSent, fetched) : fetched;
  uint64_t lost = 0;
  std::string causes;
  if (accounted) {
    const std::pair<uint64_t, uint32_t> byCause[] = {{account.lostOverrun, Q583_GAP_OVERRUN},
                                                     {account.lostFrameFault, Q583_GAP_FRAME_FAULT},
                                                     {account.lostLineLost, Q583_GAP_LINE_LOST},
                                                     {account.lostQueueOverflow, Q583_GAP_QUEUE_OVERFLOW},
                                                     {account.lostRunEnded, Q583_GAP_RUN_ENDED}};
    for (const auto& [count, cause] : byCause) {
      if (count == 0) continue;
      lost += count;
      causes += (causes.empty() ? "" : ", ") + std::string(GapCauseWord(cause));
    }
  }
  lost = std::max(lost, lostSeen);
  std::string summary = "q583: " + Grouped(sent) + " scans in " + Fixed(runTime, 1) + " s, " + Grouped(fetched) +
                        " written";
  if (lost != 0) summary += ", " + Grouped(lost) + " lost (" + (causes.empty() ? "overrun" : causes) + ")";
  if (accounted) summary += "; " + EndReasonText(account);
  if (StopSignals::Stopped()) summary += " (stopped)";
  else if (!writeFailure.empty()) summary += " (stopped: an output failed)";
  else if (!earlyEnd.empty()) summary += " (ended early)";
  else if (endedByItself) summary += runMs && runTime + 1.0 >= runMs / 1000.0 ? " (timed run over)" : " (memory full)";
  if (!logPath.empty()) summary += "\nscan log: " + logPath;
  if (!outputPath.empty() && outputPath != "-") summary += "\n" + format + ": " + outputPath;
  std::fprintf(stderr, "%s\n", summary.c_str());
  const std::string unconfirmed = "the instrument on " + session.PortName() + " did not confirm the end of the scan";
  if (StopSignals::Stopped()) {
    if (!stopped) std::fprintf(stderr, "q583: %s\n", unconfirmed.c_str());
    throw StopSignals::Ending(true);
  }
  if (!stopped) throw Failure(unconfirmed);
  if (!writeFailure.empty()) throw Failure(writeFailure);
  // A run that lost scans is not a whole run, however it ended.
  if (lost != 0)
    throw Failure((earlyEnd.empty() ? std::string() : earlyEnd + "; ") + Grouped(lost) + " of " + Grouped(sent) +
                      " scans lost",
                  kScansLostStatus);
  if (!earlyEnd.empty()) throw Failure(earlyEnd);
}

}  // namespace

void AddScanCommand(CLI::App& app) {
  auto o = std::make_shared<ScanOptions>();
  auto* cmd = app.add_subcommand("scan", "Configure the instrument, scan, show the values and save them");
  // One line a paragraph: the help is wrapped to the terminal's width.
  cmd->footer(
      "Examples:\n"
      "  q583 scan --port /dev/ttyUSB0 --codes 0x03,0x00 --seconds 60 -o run.csv\n"
      "  q583 scan --sim --codes 0,0,0,0,16,16 --seconds 10 --description test\n"
      "The library writes ScanLog_<n>.txt (tab-separated, with a trailer) into --log-dir.\n"
      "--seconds S runs S*1000 ms (the library's millisecond timer: about S + 0.1 s), at most 2000000 s; "
      "--seconds 0 and --ms 0 set no time limit, as giving neither does. Ctrl-C ends any run cleanly (scan log "
      "trailer written, instrument stopped).\n"
      "Every argument is checked before the port is touched.\n"
      "-o overwrites FILE if it exists. Every output is tried before the instrument is touched; the first failed "
      "write to FILE or standard output stops the run in order (the scan log keeps every scan up to then), and so "
      "does a scan log that cannot be written (a full disk).\n"
      "Output: the table of -o begins with each scan's number in its run (from 0, in the order the instrument "
      "sent them) and the receive time of its frame in seconds since the start, so a missing scan leaves a gap "
      "in the numbers, never a shifted time. Lost scans are said on standard error as they are found (\"12 scans "
      "lost at 500-511: the host fell behind\"), and the last line sums the run up: scans sent, written, lost and "
      "why, and how the run ended.\n"
      "Exit status: 0 the run finished whole (its length or --scans reached); 1 a failure (port, instrument, "
      "output, or a run that ended by itself early); 2 a mistake on the command line; 3 the run lost scans (the "
      "host fell behind, a frame fault, a lost line or an overflow; the rest is written); 128 + the signal's "
      "number when a "
      "signal stopped the run, after ending it in order: 130 Ctrl-C (SIGINT), 143 SIGTERM, 129 SIGHUP, 141 "
      "standard output closed (SIGPIPE, e.g. '| head').");
  AddConnectionOptions(*cmd, o->connection);
  AddConverterOptions(*cmd, o->settings);
  AddPolledChannelOptions(*cmd, o->settings);
  cmd->add_option("--type", o->type,
                  "Scan type: single (the --channel/--sub channel), multi (the --codes channels), multi-cal "
                  "(multi plus offset and full-scale readings)")
      ->check(CLI::IsMember({"single", "multi", "multi-cal"}))
      ->capture_default_str();
  cmd->add_option("--codes", o->codes,
                  "Channel codes of main channels 0-5, comma-separated: first sub-channel in the high nibble, "
                  "last in the low nibble, 16 = not scanned (e.g. 0x03,0x00,16 = 0-0..0-3 and 1-0); missing "
                  "codes are 16")
      ->capture_default_str();
  auto* interval = cmd->add_option("--interval", o->interval, "Scan interval in seconds")->check(AboveZero());
  cmd->add_flag("--min-interval", o->minInterval, "Scan at the minimal interval of the settings (the default)")
      ->excludes(interval);
  auto* seconds =
      cmd->add_option("--seconds", o->seconds, "Timed run: end after this many seconds (0: no time limit)");
  cmd->add_option("--ms", o->ms, "Timed run: end after this many milliseconds (0: no time limit)")->excludes(seconds);
  cmd->add_option("--scans", o->scans, "End after this many scans")->check(AboveZero());
  auto* noLog = cmd->add_flag("--no-log-file", o->noLogFile, "Write no scan log file");
  cmd->add_option("--log-limit", o->logLimit, "Close the scan log file when it reaches this many bytes")
      ->check(AboveZero())
      ->excludes(noLog);
  cmd->add_flag("--stop-when-full", o->stopWhenFull, "End the run when the memory ring is full");
  cmd->add_option("--comment", o->comment, "Comment appended to every scan log line")->check(AtMostCharacters(511));
  cmd->add_option("--description", o->description, "Experiment description (scan log trailer, plot title)")
      ->check(AtMostCharacters(511));
  cmd->add_flag("--digin", o->digin, "Read the digital inputs along with the scan (an extra column)");
  cmd->add_option("-o,--output", o->output, "Also write the scans to FILE as CSV or TSV ('-' = standard output); FILE is overwritten");
  cmd->add_option("--format", o->format, "csv or tsv (default: from the file name; csv)")
      ->check(CLI::IsMember({"csv", "tsv"}));
  cmd->add_flag("-q,--quiet", o->quiet, "Show no scan values, only the progress");
  cmd->callback([o] { RunScan(*o); });
}

}  // namespace q583cli
