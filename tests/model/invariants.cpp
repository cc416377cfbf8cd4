// The invariants: what holds after every step, whatever the sequence.
// Every scan handed out or logged is whole, its own run's and in order;
// EX_CheckRun agrees with the model's run; a run ends by itself only where
// something may end it; the digital-output bytes on the wire are the ones
// asked for; the scan interval stays inside its limits.
#include <algorithm>
#include <cstdlib>
#include <cstdio>
#include <cmath>
#include <fstream>
#include <sstream>

#include "device/q583.h"
#include "model/state.h"
#include "scan/scan_run.h"

namespace q583model {

FrameId Rig::FrameOf(double volts, const RunRecord& r, uint32_t lastRun) const {
  const double tolerance = std::max(0.25 * r.interval, 1e-4);
  for (int64_t q = lastRun; q >= static_cast<int64_t>(r.simRunFirst) && q + static_cast<int64_t>(kRunOffsets) > lastRun; --q) {
    const double t = (volts - kRampOffset - kRunStep * static_cast<double>(q % kRunOffsets)) / kRampAmplitude * kRampPeriod;
    if (t < 0 || t > kRunStep / kRampAmplitude * kRampPeriod) continue;
    const double k = std::round(t / r.interval) - 1.0;
    if (k >= 0 && std::fabs(t - (k + 1.0) * r.interval) <= tolerance) return {q, static_cast<int64_t>(k)};
  }
  return {};
}

FrameId Rig::CheckScan(const double* v, const RunRecord& r, const std::string& where) const {
  const uint32_t channels = r.points - (r.type == 2 ? 2 : 0);
  const uint32_t scans = ScansStarted();
  const FrameId id = FrameOf(v[0], r, scans == 0 ? 0 : scans - 1);
  if (id.run < 0 && !Skipped("runs")) {
    // Say whose value it is, when it is some run's.
    RunRecord any = r;
    any.simRunFirst = 0;
    const FrameId other = FrameOf(v[0], any, scans == 0 ? 0 : scans - 1);
    Require(false, where + ": value " + std::to_string(v[0]) + " is no frame's value of this run" +
                       (other.run >= 0 ? " (it is a value of an earlier run)" : ""));
  }
  for (uint32_t i = 1; i < channels; ++i)
    Require(std::fabs(v[i] - v[0]) < 2e-6, where + ": a scan mixes values of different frames (" +
                                               std::to_string(v[0]) + " and " + std::to_string(v[i]) + ")");
  if (r.type == 2) {
    Require(std::fabs(v[channels] - kOffsetReading) < 1e-5 && std::fabs(v[channels + 1] - kFullScaleReading) < 1e-5,
            where + ": the offset and full-scale readings are not at the end of the scan");
  }
  return id;
}

// Every closed scan log: the trailer its ending requires, and rows that are
// the run's scans, whole and in order, none missing.
void Rig::CheckScanLog() {
  if (!run_ || run_->fileChecked || run_->file.empty()) return;
  run_->fileChecked = true;
  std::ifstream in(fs::path(dir_) / run_->file);
  std::string line;
  std::vector<std::string> lines;
  while (std::getline(in, line)) lines.push_back(line);
  const std::string where = "scan log " + run_->file;
  Require(!lines.empty() && lines[0].rfind("Time / s", 0) == 0, where + ": no header line");
  FrameId last{static_cast<int64_t>(run_->simRunFirst), -1};
  size_t comment = run_->firstComment;
  size_t i = 1;
  for (; i < lines.size() && !lines[i].empty(); ++i) {
    if (run_->noisy) continue;  // the rows are there; their values may carry noise
    std::vector<std::string> texts;
    std::istringstream fields(lines[i]);
    std::string f;
    std::getline(fields, f, '\t');  // the time column
    while (std::getline(fields, f, '\t')) texts.push_back(f);
    // A row ends with the comment the host had given when it was written:
    // one given since the run began, and never an older one than the last.
    const std::string text = texts.size() == run_->points + 1 ? texts.back() : std::string();
    if (!text.empty()) texts.pop_back();
    while (comment < comments_.size() && comments_[comment] != text) ++comment;
    Require(comment < comments_.size(), where + " row " + std::to_string(i) + " ends with the comment \"" +
                                            text.substr(0, 40) + "\", not one given since the run began, after the last");
    std::vector<double> values;
    for (const auto& t : texts) values.push_back(std::atof(t.c_str()));
    Require(values.size() == run_->points, where + " row " + std::to_string(i) + ": " + std::to_string(values.size()) +
                                               " values, the run takes " + std::to_string(run_->points));
    const FrameId id = CheckScan(values.data(), *run_, where + " row " + std::to_string(i));
    if (id.run < 0) continue;  // (not its run's: a check skipped)
    // The next frame, or the first of a scan the run started again.
    const bool next = (id.run == last.run && id.k == last.k + 1) || (id.run > last.run && id.k == 0);
    Require(next, where + " row " + std::to_string(i) + " holds frame " + std::to_string(id.k) + ", expected " +
                      std::to_string(last.k + 1));
    last = id;
  }
  const int rows = static_cast<int>(i - 1);
  int trailers = 0;
  while (i < lines.size()) {
    Require(lines[i].empty() && i + 1 < lines.size() && lines[i + 1].rfind("Minimal System Interval:", 0) == 0,
            where + ": junk after the rows");
    Require(i + 3 < lines.size(), where + ": trailer cut short");
    const auto& sub = lines[i + 3];
    Require(sub.rfind("Subcycles averaged:", 0) == 0, where + ": trailer without its count");
    if (trailers == 0)
      Require(std::atoi(sub.substr(sub.find('\t') + 1).c_str()) == rows,
              where + ": trailer counts " + sub.substr(sub.find('\t') + 1) + " scans, the file has " + std::to_string(rows));
    // "Started:" holds the run's start time; without one, "Finished:"
    // follows on the same line.
    const bool noStart = i + 4 < lines.size() && lines[i + 4].find("Finished:") != std::string::npos;
    Require(!noStart || Skipped("starttext"), where + ": a trailer without its run's start time");
    const size_t length = noStart ? 6 : 7;
    Require(i + length - 1 < lines.size() && lines[i + length - 1].rfind("Experiment Description:", 0) == 0,
            where + ": trailer cut short");
    // The description the host had given when the trailer was written.
    const std::string& described = lines[i + length - 1];
    const std::string name = described.substr(described.find('\t') + 1);
    Require(std::find(experiments_.begin() + static_cast<std::ptrdiff_t>(run_->firstExperiment), experiments_.end(), name) !=
                experiments_.end(),
            where + ": trailer describes the experiment \"" + name.substr(0, 40) + "\", not one given since the run began");
    CheckTrailer(lines, i, where);
    i += length;
    ++trailers;
  }
  Require(trailers <= 2, where + ": more than two trailers");
  // A run ended at once (by a setter, a calibration, the next start) and
  // never ended by the host afterwards gets none.
  const bool atOnce = !run_->selfEnded && run_->endedBy != Ending::Orderly && ending_ != Ending::Orderly;
  Require(!atOnce || trailers <= (run_->fileLimited ? 1 : 0) || Skipped("trailers"),
          where + ": a run ended at once has a trailer");
  const bool required = ending_ == Ending::Orderly || run_->selfEnded;
  Require(!required || trailers >= 1, where + ": closed without its trailer (" +
                                          (run_->selfEnded ? "the run ended by itself" : "an orderly end") + ")");
}

// The run's file is closed for good (an orderly end, or the next start):
// from now on it stays as it is.
void Rig::NoteLogClosed() {
  if (!run_ || run_->file.empty()) return;
  std::error_code ec;
  closedLogs_[run_->file] = fs::file_size(fs::path(dir_) / run_->file, ec);
}

// A log file belongs to its run: once closed, no later run writes into it.
void Rig::CheckClosedLogs(const std::string& after) {
  if (Skipped("logs")) return;
  for (const auto& [name, size] : closedLogs_) {
    std::error_code ec;
    const uintmax_t now = fs::file_size(fs::path(dir_) / name, ec);
    Require(ec || now == size, after + ": scan log " + name + " of an earlier run changed from " + std::to_string(size) +
                                   " to " + std::to_string(now) + " bytes after it was closed");
  }
}

// A byte accepted with result 1 reaches the instrument, in its run or
// right after the run's end.
void Rig::CheckAcceptedDigout(const std::string& after) {
  if (accepted_.empty() || RunGoing() || !lineAlive_ || lineChanged_) return;
  if (Skipped("digout")) {
    accepted_.clear();
    return;
  }
  auto missing = [this] {
    const auto wire = sim_->GetState().digitalOutputs;
    std::vector<uint8_t> left;
    size_t w = 0;  // in the order accepted, anywhere on this line
    for (uint8_t b : accepted_) {
      while (w < wire.size() && wire[w] != b) ++w;
      if (w == wire.size()) left.push_back(b);
      else ++w;
    }
    return left;
  };
  std::vector<uint8_t> left = missing();
  for (int i = 0; i < 25 && !left.empty(); ++i) {
    SleepMs(20);
    left = missing();
  }
  if (!Lenient() && !left.empty()) {
    std::string seen;
    const auto wire = sim_->GetState().digitalOutputs;
    for (size_t i = wire.size() > 6 ? wire.size() - 6 : 0; i < wire.size(); ++i) seen += " " + std::to_string(wire[i]);
    size_t badSums = 0;
    std::string bad;
    const auto packets = sim_->Packets();
    for (size_t i = 0; i < packets.size(); ++i) {
      if (packets[i].checksumOk) continue;
      ++badSums;
      for (size_t j = i > 2 ? i - 2 : 0; j <= i + 1 && j < packets.size(); ++j)
        bad += " [" + std::to_string(packets[j].first) + " " + std::to_string(packets[j].data) + " " +
               std::to_string(packets[j].sum) + "]";
    }
    Require(false, after + ": digital output " + std::to_string(left.front()) +
                       ", accepted with result 1 during the run, never reached the instrument (its last outputs:" + seen +
                       "; packets with a bad sum: " + std::to_string(badSums) + bad + ")");
  }
  accepted_.clear();
}

Mode Rig::LibraryMode() const {
  Mode m;
  m.known = true;
  double rate = 0;
  uint8_t polarity = 1;
  EX_GetGain(&m.gain);
  EX_GetRate(&rate);
  EX_GetPolarity(&polarity);
  m.rate = rate;
  m.bipolar = polarity != 0;
  return m;
}

// At every conversion the instrument runs at the gain, rate and polarity
// the library last gave it: those of the library when the registers were
// last written.  In a step that wrote them, a conversion may have come
// before or after the write.
void Rig::CheckConversionModes(const std::string& after) {
  const q583sim::State st = sim_->GetState();
  const bool written = st.registerWrites != registerWritesSeen_;
  const Mode now = written ? LibraryMode() : mode_;
  auto agrees = [](const q583sim::ModeAtConversion& c, const Mode& m) {
    if (!m.known) return true;
    int code = 0;
    for (int g = m.gain; g > 1; g /= 2) ++code;
    const uint32_t divider = ((c.mid & 7u) << 8) | c.lo;
    const double rate = divider ? 19531.25 / divider : 1e9;
    const bool rateOk = rate > 1027.0 || std::fabs(rate - m.rate) <= 1e-3 * m.rate + 1e-3;
    return ((c.hi >> 2) & 7) == code && rateOk && ((c.mid & 0x10) == 0) == m.bipolar;
  };
  for (size_t i = Skipped("modes") ? st.modesAtConversions.size() : modesSeen_; i < st.modesAtConversions.size(); ++i) {
    const auto& c = st.modesAtConversions[i];
    const bool ok = agrees(c, mode_) || (written && agrees(c, now));
    const Mode& m = written ? now : mode_;
    Require(ok, after + ": a conversion (command 0x" + [&] { char b[8]; std::snprintf(b, sizeof b, "%02X", c.command); return std::string(b); }() +
                    ") ran at gain code " + std::to_string((c.hi >> 2) & 7) + ", divider " +
                    std::to_string(((c.mid & 7u) << 8) | c.lo) + ", " + ((c.mid & 0x10) ? "unipolar" : "bipolar") +
                    "; the library gave gain " + std::to_string(m.gain) + ", rate " + std::to_string(m.rate) + ", " +
                    (m.bipolar ? "bipolar" : "unipolar"));
  }
  // A run's values are decoded with the polarity the library has at its
  // start: the instrument must be running that polarity.
  if (!Skipped("polarity") && !Skipped("modes")) {
    const bool bipolar = LibraryMode().bipolar;
    for (size_t i = modesSeen_; i < st.modesAtConversions.size(); ++i) {
      const auto& c = st.modesAtConversions[i];
      if (c.command == 0x81) continue;
      Require(((c.mid & 0x10) == 0) == bipolar, after + ": a run started with the instrument " +
                                                    ((c.mid & 0x10) ? "unipolar" : "bipolar") + ", the library " +
                                                    (bipolar ? "bipolar" : "unipolar") + " (its values decode wrong)");
    }
  }
  modesSeen_ = st.modesAtConversions.size();
  registerWritesSeen_ = st.registerWrites;
  if (written) mode_ = now;
}

// EX_CheckRun against the model; the acquisition thread may end by itself
// only where the model allows it.
void Rig::CheckRunState(const std::string& after) {
  const bool alive1 = ScanRunning();
  const uint8_t checkRun = Timed("EX_CheckRun()", kInstantMs, [] { return EX_CheckRun(); });
  const bool signedOn = fDevSignedOn;
  const bool alive2 = ScanRunning();
  if (alive1 == alive2) Require(checkRun == (signedOn && alive1 ? 1 : 0), after + ": EX_CheckRun disagrees with the run state");
  if (signedOn_ != Tri::Maybe && !Lenient() && !lineChanged_)
    Require(signedOn == (signedOn_ == Tri::Yes), after + ": signed on is " + std::to_string(signedOn) + ", expected " +
                                                      std::to_string(signedOn_ == Tri::Yes));
  signedOn_ = signedOn ? Tri::Yes : Tri::No;
  if (!RunGoing()) {
    Require(!alive2, after + ": an acquisition thread runs that the model does not know of");
    return;
  }
  RunRecord& r = *run_;
  const double sinceStarted = Ms(Clock::now() - r.started);
  // The earliest end counts from the start call's return (the run's clock
  // starts as the call returns), up to the first moment a wait saw the run
  // over.
  const double endedAfter = Ms((alive2 ? Clock::now() : r.endSeen.value_or(Clock::now())) - r.started) + kTimerSlackMs;
  bool mayEnd = r.mayEnd || Lenient();
  bool mustEnd = false;
  const double frameWait = r.interval * 1000.0 + 3000.0;
  if (r.lengthMode == 2) {
    mayEnd = mayEnd || endedAfter >= r.length;
    mustEnd = sinceStarted > r.length + 100 + frameWait + 1000;
  } else if (r.lengthMode == 3) {
    mayEnd = mayEnd || endedAfter >= r.length * 1100.0;
    mustEnd = sinceStarted > r.length * 1100.0 + 1100 + frameWait + 1000;
  }
  if (r.stopWhenFull) mayEnd = mayEnd || endedAfter >= 8000 * r.interval * 1000.0;
  if (!lineAlive_) mustEnd = mustEnd || Ms(Clock::now() - hungUpAt_) > 2500;
  if (!alive2) {
    Require(mayEnd, after + ": the run ended by itself after " + std::to_string(static_cast<int>(endedAfter - kTimerSlackMs)) +
                        " ms, with nothing to end it");
    r.going = false;
    r.selfEnded = true;
    r.endWall = std::make_pair(r.startedWall, std::chrono::system_clock::now());
    ending_ = Ending::AtOnce;
  } else {
    Require(!mustEnd, after + ": the run should have ended by now (" + std::to_string(static_cast<int>(sinceStarted)) +
                          " ms" + (lineAlive_ ? "" : ", the line hung up") + ")");
  }
}

// The digital-output bytes on the wire are the ones the host asked for, in
// the order asked; a queued byte may be dropped with its run, never sent late.
void Rig::CheckDigout(const std::string& after) {
  const auto wire = sim_->GetState().digitalOutputs;
  size_t p = 0;
  bool any = false;
  for (size_t w = 0; w < wire.size(); ++w) {
    if (any && asked_[p] == wire[w]) continue;  // sent again (a sign-on)
    size_t q = any ? p + 1 : 0;
    while (q < asked_.size() && asked_[q] != wire[w]) ++q;
    if (q == asked_.size() && w < wireSeen_) continue;  // before the model knew
    Require(q < asked_.size(), after + ": digital output " + std::to_string(wire[w]) +
                                   " on the wire, not in the order the host asked for");
    p = q;
    any = true;
  }
}

void Rig::CheckInterval() {
  double interval = 0, lo = 0, hi = 0;
  Require(Timed("EX_GetScanIntervalMinMax", kInstantMs, [&] { return EX_GetScanIntervalMinMax(&lo, &hi); }) == 1,
          "EX_GetScanIntervalMinMax failed");
  Require(EX_GetScanInterval(&interval) == 1, "EX_GetScanInterval failed");
  // Settings that no interval can meet (a stored rate far below what the
  // divider runs, say) have a minimum above the maximum: only positive.
  if (lo > hi + 1e-3) {
    Require(interval > 0, "scan interval " + std::to_string(interval) + " not positive");
    return;
  }
  Require(interval > 0 && interval >= lo - 1e-3 && interval <= hi + 1e-3,
          "scan interval " + std::to_string(interval) + " outside its limits " + std::to_string(lo) + ".." + std::to_string(hi));
}

void Rig::CheckAfterStep(const std::string& what, bool talked, bool alive) {
  FollowSignOn(what);
  CheckRunState(what);
  CheckHeld(what);
  if (talked && alive && !Lenient() && !ScanRunning()) {
    // After a run has ended, the library does not leave the instrument streaming.
    SleepMs(20);
    Require(!sim_->GetState().scanning, what + ": the instrument still streams after the library talked to it");
  }
  if (run_ && !run_->going && ending_ == Ending::Orderly) CheckScanLog();
  if (!noiseOn_) CheckDigout(what);
  CheckAcceptedDigout(what);
  CheckClosedLogs(what);
  CheckAccount(what);
  CheckConversionModes(what);
  if (initialised_ && !Lenient()) CheckInterval();
  if (faultSteps_ > 0 && --faultSteps_ == 0) {
    sim_->ClearFaults();
    noiseOn_ = false;
    EndDelivery();
  }
  if (deliverySteps_ > 0 && --deliverySteps_ == 0) EndDelivery();
}

// Takes scans from the ring and checks every one: whole, in order, never
// repeated; a skipped frame must be counted as an overrun.
void Rig::Retrieve(bool asInt, uint32_t wanted, bool lenient) {
  const std::string name = asInt ? "EX_GetScanDataInt" : "EX_GetScanDataDbl";
  const uint32_t points = run_ ? run_->points : 1;
  std::vector<double> dbl(static_cast<size_t>(wanted) * 32 + 64, NAN);
  std::vector<int32_t> raw(dbl.size(), 0);
  std::vector<uint64_t> numbers(dbl.size(), 0);
  std::vector<double> times(dbl.size(), 0.0);
  int32_t returned = -1, unread = -1;
  uint8_t running = 7;
  // Ask first how many wait: a request beyond the unread count is the host's error.
  auto call = [&](uint32_t n) {
    return Timed(name, kInstantMs + (lenient ? kForcedEndMs : 0), [&] {
      // Volts come with each scan's number: the same scans as the plain call.
      return asInt ? EX_GetScanDataInt(raw.data(), n, &returned, &unread, &running)
                   : EX_GetNumberedScanData(dbl.data(), nullptr, numbers.data(), times.data(), n, &returned, &unread, &running);
    });
  };
  uint8_t ok = call(0);
  if (signedOn_ == Tri::No && RunGoing()) {
    // The unread scans of an ended run are handed out also then: a run
    // whose thread ended since the last step (its end is judged after this
    // step) may give them.
    Require(ok == 0 || !ScanRunning(), name + " gave scans while not signed on");
    return;
  }
  if (!ok) {
    Require(running == 0 || running == 7, name + ": false with the running output set");
    // Unread scans of an ended run stay retrievable until the next start.
    if (run_ && !RunGoing() && !lenient)
      Require(run_->lastUnread == 0, name + ": false after the run ended, with " + std::to_string(run_->lastUnread) +
                                         " scans unread at the last call");
    if (RunGoing() && !lenient && !run_->mayEnd) Require(!ScanRunning(), name + ": false while the run goes on");
    return;
  }
  if (run_ && unread >= 0) run_->lastUnread = unread;
  if (!run_ || unread <= 0) return;
  const uint32_t n = std::min<uint32_t>(wanted, static_cast<uint32_t>(std::max(0, unread)));
  if (n == 0) return;
  returned = -1;
  ok = call(n);
  Require(ok == 1, name + " failed with " + std::to_string(unread) + " scans unread");
  Require(returned >= 0 && static_cast<uint32_t>(returned) <= n, name + " returned " + std::to_string(returned) +
                                                                     " scans of " + std::to_string(n) + " asked");
  RunRecord& r = *run_;
  r.lastUnread = unread;
  if (r.noisy) return;  // values that met noise
  for (int32_t s = 0; s < returned; ++s) {
    std::vector<double> v(points);
    for (uint32_t j = 0; j < points; ++j) {
      const size_t idx = static_cast<size_t>(s) * points + j;
      if (asInt) {
        const double mv = raw[idx] * 0.0002980232;
        v[j] = (r.bipolar ? 2.0 * mv - 5000.0 : mv) * 0.001;
      } else {
        v[j] = dbl[idx];
      }
    }
    const FrameId id = CheckScan(v.data(), r, name + " scan " + std::to_string(r.taken));
    if (id.run < 0) continue;  // (not its run's: a check skipped)
    Require(id.run > r.lastRun || id.k > r.lastK, name + ": frame " + std::to_string(id.k) + " handed out after frame " +
                                                      std::to_string(r.lastK) + " (repeated or out of order)");
    if (!asInt) {
      // Numbers rise, and the frames between two scans of one simulator
      // run are exactly the numbers missing between them.
      const uint64_t number = numbers[static_cast<size_t>(s)];
      const bool known = r.lastNumber != UINT64_MAX;
      Require(!known || number > r.lastNumber, name + ": scan number " + std::to_string(number) + " after " +
                                                   std::to_string(r.lastNumber));
      Require(!known || id.run != r.lastRun || number - r.lastNumber == static_cast<uint64_t>(id.k - r.lastK),
              name + ": scan number " + std::to_string(number) + " for frame " + std::to_string(id.k) + ", after " +
                  std::to_string(r.lastNumber) + " for frame " + std::to_string(r.lastK));
      r.lastNumber = number;
      // Taken when it came: a frame of the run's own scan is received
      // within a bound of when it was sent and delivered.
      const double late = times[static_cast<size_t>(s)] - static_cast<double>(id.k + 1) * r.interval;
      if (std::getenv("Q583_MODEL_TRACE") && late > r.lateSeen) r.lateSeen = late;
      Require(lenient || !r.timely || id.run != static_cast<int64_t>(r.simRunFirst) || Skipped("late") ||
                  late <= kLateS + r.lateAllowance,
              name + ": frame " + std::to_string(id.k) + " taken " + std::to_string(late) + " s after it was sent");
    } else {
      r.lastNumber = UINT64_MAX;  // not asked this time
    }
    // Frames before this one that were never handed out: from the last
    // one handed out, or from the start of its scan.
    r.missing += static_cast<uint64_t>(id.run == r.lastRun ? id.k - r.lastK - 1 : id.k);
    r.lastRun = id.run;
    r.lastK = id.k;
    ++r.taken;
  }
  r.lastUnread = unread;
  uint32_t overruns = 0;
  EX_GetScanOverrunCount(&overruns);
  if (std::getenv("Q583_MODEL_TRACE"))
    std::fprintf(stderr, "[model]   %u scans taken, %llu frames skipped, %u overruns, %.3f s late at most\n",
                 static_cast<unsigned>(returned), static_cast<unsigned long long>(r.missing), overruns, r.lateSeen);
  Require(r.memoryGap || r.missing <= overruns, name + ": " + std::to_string(r.missing) + " frames skipped, " +
                                     std::to_string(overruns) + " counted as overruns");
}

void Rig::CheckAccount(const std::string& after) {
  if (!run_) return;
  Q583RunSummary s{};
  s.size = sizeof s;
  if (EX_GetRunSummary(&s) != 1) return;  // no run since the library was loaded
  const uint64_t lostAfter = s.lostFrameFault + s.lostLineLost + s.lostQueueOverflow + s.lostRunEnded;
  Require(s.scansSent >= s.scansTaken && s.scansSent <= s.scansTaken + lostAfter,
          after + ": the run's account gives " + std::to_string(s.scansSent) + " scans sent, " +
              std::to_string(s.scansTaken) + " taken and " + std::to_string(lostAfter) + " lost after them");
  Require(s.scansStored + s.notStored == s.scansTaken, after + ": " + std::to_string(s.scansStored) + " scans stored and " +
                                                           std::to_string(s.notStored) + " not, of " +
                                                           std::to_string(s.scansTaken) + " taken");
  Require(s.scansHandedOut + s.lostOverrun <= s.scansStored, after + ": more scans handed out and overrun than stored");
  const bool hostReason = s.endReason == Q583_END_HOST || s.endReason == Q583_END_AT_ONCE;
  // A run with a length, stop-when-full, faults or a dead line may have
  // ended by itself just before the host's end.
  const bool couldEndItself =
      run_->mayEnd || run_->lengthMode != 1 || run_->stopWhenFull || !lineAlive_ || run_->lineDead || Lenient();
  if (run_->going) {
    Require(!hostReason, after + ": the run that goes on was ended by the host (reason " +
                             std::to_string(s.endReason) + ")");
  } else if (run_->selfEnded) {
    Require(!hostReason && s.endReason != Q583_END_RUNNING,
            after + ": a run that ended by itself has the end reason " + std::to_string(s.endReason));
  } else if (!couldEndItself && s.endReason != Q583_END_UNLOAD) {
    const uint32_t wanted = run_->endedBy == Ending::Orderly ? Q583_END_HOST : Q583_END_AT_ONCE;
    Require(s.endReason == wanted, after + ": the run the host ended has the end reason " +
                                       std::to_string(s.endReason) + ", not " + std::to_string(wanted));
  }
}

}  // namespace q583model
