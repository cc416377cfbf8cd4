// The host beyond its plain calls: handlers that call back into the
// library, a second instrument on another port, the delivery of bytes
// shaped as adapters shape it; and what is checked of them: the threads and
// pseudo-terminals the library holds, what the instrument was given, and
// each trailer against its run.
#include <dirent.h>
#include <unistd.h>

#include <cmath>
#include <ctime>

#include "model/state.h"
#include "scan/scan_internal.h"
#include "scan/scan_run.h"

namespace q583model {

namespace {

// The process's threads, and its descriptors that are pseudo-terminals.
int Threads() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/task")) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

}  // namespace

int ProcessTerminals() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (dirent* e = readdir(d)) {
      char link[256] = {};
      const std::string path = std::string("/proc/self/fd/") + e->d_name;
      if (e->d_name[0] != '.' && readlink(path.c_str(), link, sizeof link - 1) > 0)
        n += std::string(link).rfind("/dev/pts/", 0) == 0;
    }
    closedir(d);
  }
  return n;
}

namespace {

// A simulator holds its own slave side open until it hangs up.
int OwnTerminal(const q583sim::Simulator* sim) { return sim && !sim->GetState().hungUp ? 1 : 0; }

int EffectiveCode(uint8_t c) { return c == kOff || (c >> 4) > (c & 15) ? kOff : c; }

// The time of a trailer's ctime() line, in the local zone as written.
std::optional<std::chrono::system_clock::time_point> ParseCtime(const std::string& text) {
  std::tm tm{};
  if (strptime(text.c_str(), "%a %b %d %H:%M:%S %Y", &tm) == nullptr) return std::nullopt;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

}  // namespace

std::atomic<int>& CallInKind() {
  static std::atomic<int> kind{-1};
  return kind;
}

std::atomic<int>& CallInResult() {
  static std::atomic<int> result{-1};
  return result;
}

// From inside a handler: a start, an end, a setter (the rate it has), a
// conversion or a retrieval, once.
void CallInFromHandler() {
  const int kind = CallInKind().exchange(-1);
  if (kind < 0) return;
  double rate = 60.0, mv = 0.0, values[64];
  int32_t got = 0, unread = 0;
  uint8_t running = 0;
  uint8_t ok = 0;
  switch (kind) {
    case 0: ok = EX_StartScan_NoSysCal(); break;
    case 1: ok = EX_EndScan(); break;
    case 2: ok = EX_GetRate(&rate) && EX_SetRate(rate); break;
    case 3: ok = EX_GetOneConversion(&mv); break;
    default: ok = EX_GetScanDataDbl(values, 0, &got, &unread, &running); break;
  }
  CallInResult() = ok;
}

void Rig::CallFromHandler(const Step& s, const std::string& what, bool& talked) {
  CallInResult() = -1;
  CallInKind() = s.a;
  if (s.b == 0) {
    // The box of a start whose scan log cannot be made, answered OK.
    Step start;
    start.op = Op::NoLogFile;
    StartWithoutLogFile(start, what, talked);
  } else {
    SleepWatching(Clock::now() + std::chrono::milliseconds(800));  // a timed run's beep may come
  }
  CallInKind() = -1;
  const int result = CallInResult();
  // Run control from inside a handler finds the run state half made: it is
  // refused.  (A setter with no run to end has nothing to refuse.)
  if (s.a <= 1) Require(result != 1, what + ": the handler's " + (s.a ? "end" : "start") + " was let through");
  if (result >= 0) signedOn_ = Tri::Maybe;
}

void Rig::PrepareOther() {
  if (!other_) return;
  const q583sim::State st = other_->GetState();
  otherBase_ = ScansStarted() - st.scansStarted;
  other_->SetRunOffsetStep(kRunStep, kRunOffsets, otherBase_);
  otherSignOns_ = st.signOns;
  otherModes_ = st.modesAtConversions.size();
  otherWrites_ = st.registerWrites;
}

// a == 0: EX_SetCOMport to the other port; 1: EX_ClosePort, then the two
// ports' devices swapped (the record's port now reaches the other
// instrument); 2: EX_ClosePort, then EX_SetCOMport.
void Rig::SwitchPort(const Step& s, const std::string& what) {
  if (s.a > 0) {
    Require(Timed(what, EndScanBound() + kInstantMs, [] { return EX_ClosePort(); }) == 1, what + ": EX_ClosePort failed");
    EndRun(Ending::Orderly);
    signedOn_ = Tri::No;
    Require(ProcessTerminals() - ptsBase_ - OwnTerminal(sim_.get()) - OwnTerminal(other_.get()) == 0 || Skipped("ports"),
            what + ": EX_ClosePort left a port open");
  }
  if (s.a == 1) {
    const std::string mine = sim_->DevicePath(), theirs = other_->DevicePath();
    EX_SetCOMportDevice(static_cast<uint8_t>(simPort_), theirs.c_str());
    EX_SetCOMportDevice(static_cast<uint8_t>(1 - simPort_), mine.c_str());
    simPort_ = 1 - simPort_;
  } else {
    port_ = 1 - port_;
    Require(EX_SetCOMport(static_cast<uint8_t>(port_)) == 1, what + ": EX_SetCOMport failed");
  }
  PrepareOther();
}

void Rig::FollowSignOn(const std::string& what) {
  if (!other_ || other_->GetState().signOns == otherSignOns_) return;
  Require(1 - simPort_ == port_ || Skipped("ports"), what + ": the library signed on to port " +
                                                          std::to_string(1 - simPort_) + ", its record names port " +
                                                          std::to_string(port_));
  // The bookkeeping of one instrument goes over to the other.
  std::swap(sim_, other_);
  std::swap(lineAlive_, otherAlive_);
  simPort_ = 1 - simPort_;
  simRunBase_ = otherBase_;
  accepted_.clear();
  asked_ = sim_->GetState().digitalOutputs;
  wireSeen_ = asked_.size();
  modesSeen_ = otherModes_;
  registerWritesSeen_ = otherWrites_;
  mode_ = Mode{};
  PrepareOther();
}

// Delivery: a == 0 a latency timer of b ms, 1 bursts of b frames, 2 each
// frame (or burst) split after byte b, its rest x seconds later (past the
// next frame's head at 0.15 s: the rest comes with more), 3 every byte at
// the line's pace; for the next steps.
void Rig::SetDelivery(const Step& s) {
  if (s.a == 0) sim_->SetLatencyTimer(s.b);
  if (s.a == 1) sim_->SetFrameBurst(static_cast<uint32_t>(s.b));
  if (s.a == 2) sim_->SetFrameSplit(static_cast<uint32_t>(s.b), s.x);
  if (s.a == 3) sim_->SetPacing(true);
  burst_ = burst_ || s.a == 1 || s.a == 0;
  deliverySteps_ = 8;
  if (s.a == 1) burstFrames_ = static_cast<uint32_t>(s.b);
  lateAllowance_ += s.a == 0 ? s.b * 1e-3 : s.a == 2 ? s.x : 0.0;
  if (run_) run_->lateAllowance = std::max(run_->lateAllowance, lateAllowance_ + burstFrames_ * run_->interval);
}

void Rig::EndDelivery() {
  sim_->SetLatencyTimer(0);
  sim_->SetFrameBurst(0);
  sim_->SetFrameSplit(0, 0.0);
  sim_->SetPacing(false);
  burst_ = false;
  lateAllowance_ = 0.0;
  burstFrames_ = 0;
  deliverySteps_ = 0;
}

void Rig::CheckHeld(const std::string& what) {
  // The library's threads: the acquisition thread of a run going and the
  // beep threads of runs still beeping (a start leaves earlier ones be),
  // none else once a step is over (a thread ending may take a moment).
  auto extra = [&] { return Threads() - threadsBase_ - (ScanRunning() ? 1 : 0) - static_cast<int>(BeepThreadsAlive()); };
  int unowned = extra();
  for (int i = 0; i < 125 && unowned > 0; ++i, unowned = extra()) SleepMs(20);
  Require(unowned <= 0 || Skipped("threads"), what + ": " + std::to_string(unowned) +
                                                  " thread(s) of the library that no run owns");
  // At most the port in use is open.
  const int held = ProcessTerminals() - ptsBase_ - OwnTerminal(sim_.get()) - OwnTerminal(other_.get());
  Require(held <= 1 || Lenient() || Skipped("ports"), what + ": the library holds " + std::to_string(held) + " ports open");
}

void Rig::CheckGiven(const std::string& what) {
  const q583sim::State st = sim_->GetState();
  if (Lenient() || !run_ || !run_->ownInterval || !st.scanning || Skipped("given")) return;
  // The run's own interval: the record's may since have been moved by a
  // getter to the minimum of settings changed after the start.
  const auto going = CurrentRun();
  if (!going) return;
  const double interval = going->format.interval;
  Require(std::fabs(st.frameIntervalS - interval) <= 3e-4 + 1e-3 * interval,
          what + ": the run is timed with " + std::to_string(interval) + " s, the instrument was given timer count " +
              std::to_string(st.timerCount) + " (" + std::to_string(st.frameIntervalS) + " s)");
  uint16_t average = 0;
  EX_GetRemoteAverage(&average);
  Require((1u << st.averagingCode) == average, what + ": the instrument averages " + std::to_string(1u << st.averagingCode) +
                                                   ", the library " + std::to_string(average));
  if (run_->type == 0 || !initialised_) return;
  for (int i = 0; i < 6; ++i)
    Require(EffectiveCode(st.channelCodes[i]) == EffectiveCode(settings_.codes[i]),
            what + ": the instrument scans code " + std::to_string(st.channelCodes[i]) + " on main channel " +
                std::to_string(i) + ", the run decodes " + std::to_string(settings_.codes[i]));
}

void Rig::CheckTrailer(const std::vector<std::string>& lines, size_t at, const std::string& where) {
  const auto field = [&](size_t i) { return lines[i].substr(lines[i].find('\t') + 1); };
  if (run_->ownInterval && !Skipped("trailers")) {
    const double applied = std::atof(field(at + 2).c_str());
    Require(std::fabs(applied - run_->interval) <= 2e-5 + 1e-4 * run_->interval,
            where + ": trailer gives the interval " + field(at + 2) + ", the run's is " + std::to_string(run_->interval));
  }
  size_t finished = at + 4;
  while (finished < lines.size() && lines[finished].rfind("Finished:", 0) != 0 &&
         lines[finished].find("Finished:") == std::string::npos)
    ++finished;
  if (finished >= lines.size() || Skipped("trailers")) return;
  const std::string text = lines[finished].substr(lines[finished].find("Finished:") + 9);
  const auto end = ParseCtime(text.substr(text.find_first_not_of(" \t")));
  Require(end.has_value(), where + ": trailer without its end time");
  const auto slack = std::chrono::seconds(2);
  auto from = run_->startedWall - slack, to = std::chrono::system_clock::now() + slack;
  if (run_->endWall && run_->endedBy == Ending::Orderly && !run_->selfEnded && !run_->fileLimited) {
    from = run_->endWall->first - slack;
    to = run_->endWall->second + slack;
  }
  Require(*end >= from && *end <= to, where + ": trailer's end time " + text.substr(0, 24) + " is not the run's end");
}

}  // namespace q583model
