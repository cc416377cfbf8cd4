// The rig: a fresh library on a fresh simulator in its own working
// directory, and the model's bookkeeping of runs as they start and end.
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "device/q583.h"
#include "api/entry.h"
#include "model/model.h"
#include "model/state.h"
#include "platform/platform.h"
#include "scan/scan_run.h"
#include "support/run_helpers.h"

namespace q583model {

namespace {
int Q583_CALL AnswerBox(const char*, const char*, uint32_t) {
  ++BoxesShown();
  CallInFromHandler();
  return BoxAnswer();
}
void Q583_CALL NoTone(uint32_t, uint32_t) { CallInFromHandler(); }

std::unique_ptr<q583sim::Simulator> MakeSimulator(uint32_t seed) {
  q583sim::Options o;
  o.pacing = false;
  o.seed = seed;
  auto sim = std::make_unique<q583sim::Simulator>(o);
  for (int m = 0; m < 8; ++m)
    for (int c = 0; c < 16; ++c) sim->SetInput(m, c, {q583sim::SignalKind::Ramp, kRampOffset, kRampAmplitude, kRampPeriod});
  sim->SetCalibrationReadings(kOffsetReading, kFullScaleReading);
  sim->SetDigitalInput(kDigitalInput);
  return sim;
}
}  // namespace

std::atomic<int>& BoxAnswer() {
  static std::atomic<int> answer{1};
  return answer;
}

std::atomic<int>& BoxesShown() {
  static std::atomic<int> shown{0};
  return shown;
}

int ChannelCount(const std::array<uint8_t, 6>& codes) {
  int n = 0;
  for (uint8_t c : codes)
    if (c != kOff && (c >> 4) <= (c & 15)) n += (c & 15) - (c >> 4) + 1;
  return n;
}

Rig::Rig(bool signOn, uint32_t clockStart) {
  oldDir_ = fs::current_path();
  std::string pattern = (fs::temp_directory_path() / "q583-model-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = pattern;
  fs::current_path(dir_);
  ReloadLibrary();
  platform::SetClockStart(clockStart);
  EX_SetMessageBoxHandler(&AnswerBox);
  EX_SetBeepHandler(&NoTone);
  ptsBase_ = ProcessTerminals();  // its own (its output, when run from one)
  NewSimulator();
  // The second instrument, on port 1, with the same inputs.
  other_ = MakeSimulator(simSeed_++);
  EX_SetCOMportDevice(1, other_->DevicePath().c_str());
  PrepareOther();
  threadsBase_ = Figures().threads;
  EX_SetIniDirectory(dir_.c_str());
  if (std::getenv("Q583_MODEL_DEBUG_LOGS")) {  // kept with Q583_KEEP_TEST_DIRS
    EX_DoVexDbgNew(1);
    EX_DoScanDebug(1);
  }
  if (signOn) {
    Require(EX_InitDev() == 1, "setup: EX_InitDev failed");
    signedOn_ = Tri::Yes;
    replyTimeoutSet_ = true;
    initialised_ = true;
  }
}

Rig::~Rig() {
  ReloadLibrary();  // the unload: threads ended, port and logs closed
  sim_.reset();
  other_.reset();
  std::error_code ec;
  fs::current_path(oldDir_, ec);
  if (!std::getenv("Q583_KEEP_TEST_DIRS")) fs::remove_all(dir_, ec);
}

void Rig::NewSimulator() {
  if (sim_) simRunBase_ += sim_->GetState().scansStarted;
  sim_ = MakeSimulator(simSeed_++);
  sim_->SetRunOffsetStep(kRunStep, kRunOffsets, simRunBase_);
  EX_SetCOMportDevice(static_cast<uint8_t>(simPort_), sim_->DevicePath().c_str());
  burst_ = false;
  deliverySteps_ = 0;
  lineAlive_ = true;
  asked_.clear();
  accepted_.clear();
  wireSeen_ = 0;
  modesSeen_ = 0;
  registerWritesSeen_ = 0;
}

void Rig::EndRun(Ending how) {
  if (!run_) return;
  if (run_->going) {
    run_->going = false;
    run_->endedBy = how;
    run_->endWall = std::make_pair(beginWall_, std::chrono::system_clock::now());
    ending_ = how;
  } else if (how == Ending::Orderly) {
    ending_ = Ending::Orderly;
  }
  CheckScanLog();
  // An orderly end closes the file of a run still going.  A run that has
  // ended by itself keeps its file (with the thread's trailer) open until
  // the host ends it or starts the next: EX_InitDev, for one, leaves it.
  if (how == Ending::Orderly && !q583test::RunLogOpen()) NoteLogClosed();
}

std::set<std::string> Rig::ScanLogs() const {
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_)) {
    const std::string n = e.path().filename().string();
    if (n.rfind("ScanLog_", 0) == 0 && e.is_regular_file()) names.insert(n);
  }
  return names;
}

void Rig::Started(Clock::time_point begin) {
  FollowSignOn("the start");
  if (run_ && !run_->fileChecked) {
    ending_ = run_->going ? Ending::NewStart : ending_;
    run_->going = false;
    CheckScanLog();
  }
  NoteLogClosed();  // the start closed the file an ended run had left open
  RunRecord r;
  r.id = run_ ? run_->id + 1 : 1;
  r.begin = begin;
  r.started = Clock::now();
  r.startedWall = std::chrono::system_clock::now();
  r.type = settings_.type;
  r.bipolar = settings_.bipolar;
  r.simRunFirst = simRunsBefore_;
  r.firstExperiment = experiments_.size() - 1;
  r.firstComment = comments_.size() - 1;
  const int n = settings_.type == 0 ? 1 : ChannelCount(settings_.codes);
  r.points = static_cast<uint32_t>(n + (settings_.type == 2 ? 2 : 0));
  r.interval = sim_->GetState().frameIntervalS;
  r.lengthMode = settings_.lengthMode;
  r.length = settings_.length;
  r.stopWhenFull = (settings_.logFlags & 6) == 6;
  r.fileLimited = (settings_.logFlags & 8) != 0;
  r.ownInterval = !fastNext_;
  r.timely = !fastNext_ || r.interval >= kTimelyS;
  r.lateAllowance = lateAllowance_ + burstFrames_ * r.interval;
  r.memoryGap = (settings_.logFlags & 2) == 0;
  if (shiftFault_ && sim_->PendingFrameFaults() == 0) shiftFault_ = false;
  r.noisy = noiseOn_ || shiftFault_;
  // A small receive queue overflows when frames come faster than the
  // thread's wake-ups are sure to keep up with, or several at once.
  r.mayEnd = !r.timely || faultSteps_ > 0 || !lineAlive_ ||
             (settings_.smallQueue && (burst_ || r.interval < 0.02 || Skipped("queue")));
  if (settings_.logFlags & 1) {
    const auto now = ScanLogs();
    for (const auto& n2 : now)
      if (!logsBefore_.count(n2)) r.file = n2;
  }
  ending_ = Ending::AtOnce;
  run_ = r;
  CheckGiven("the start");
  if (fastNext_) {
    // The start may have met the other instrument: neither keeps the pace.
    sim_->SetFrameIntervalOverride(0.0);
    if (other_) other_->SetFrameIntervalOverride(0.0);
    fastNext_ = false;
  }
}

void Rig::ReadBackSettings() {
  uint8_t type = 0;
  uint32_t flags = 0, limit = 0;
  EX_GetScanType(&type);
  EX_GetDataLogOptions(&flags, &limit, 0);
  double rate = 0;
  EX_GetRate(&rate);
  uint16_t average = 0;
  EX_GetRemoteAverage(&average);
  settings_.type = type;
  settings_.logFlags = flags;
  settings_.rate = static_cast<float>(rate);
  settings_.average = average;
  uint8_t polarity = 1;
  EX_GetPolarity(&polarity);
  settings_.bipolar = polarity != 0;
  settings_.single.reset();
}

Belief Rig::Believed() const {
  Belief b;
  b.lineAlive = lineAlive_;
  b.fresh = !initialised_ && signedOn_ == Tri::No;
  b.runGoing = RunGoing();
  b.timedMs = settings_.lengthMode == 2 ? settings_.length : 0;
  return b;
}

std::string Rig::UnloadAndCount(int descriptorsBefore, int threadsBefore) {
  DllEntryPoint(nullptr, 0, nullptr);  // the detach, as the loader calls it
  // What is left besides the simulator's own descriptors and its thread.
  auto left = [&] {
    const ProcessFigures f = Figures();
    return std::make_pair(f.descriptors - sim_->GetState().ownDescriptors - other_->GetState().ownDescriptors - descriptorsBefore,
                          f.threads - 2 - threadsBefore);
  };
  auto now = left();
  for (int i = 0; i < 100 && (now.first != 0 || now.second != 0); ++i) {
    SleepMs(20);
    now = left();
  }
  if (now.first != 0) return "the unload left " + std::to_string(now.first) + " descriptors of the library open";
  if (now.second != 0) return "the unload left " + std::to_string(now.second) + " threads of the library running";
  return {};
}

}  // namespace q583model
