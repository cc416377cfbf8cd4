// The injected faults: command replies that go wrong, damaged frames, line
// noise, fast frames, a hang-up and its replug, a second host thread that
// meets the first's run control, and a scan log that cannot be made.
#include <atomic>
#include <thread>

#include "model/state.h"
#include "scan/scan_run.h"

namespace q583model {

void Rig::InjectFault(const Step& s, const std::string& what) {
  switch (s.op) {
    case Op::CommandFault: {
      q583sim::CommandFault f;
      f.command = kFaultCommands[s.b];
      f.kind = static_cast<q583sim::ReplyFault>(s.a + 1);
      f.delayMs = 700;
      f.echo = 0x55;
      f.cutAfter = 1;
      f.count = 1;
      sim_->AddCommandFault(f);
      faultSteps_ = 4;
      if (RunGoing()) run_->mayEnd = true;
      signedOn_ = Tri::Maybe;
      break;
    }
    case Op::FrameFault: {
      const uint32_t base = sim_->GetState().scanning ? sim_->FramesSent() : 0;
      sim_->AddFrameFault({static_cast<q583sim::FrameFaultKind>(s.a), base + static_cast<uint32_t>(s.b)});
      faultSteps_ = std::max(faultSteps_, 2);
      if (RunGoing()) run_->mayEnd = true;
      if (s.a != static_cast<int>(q583sim::FrameFaultKind::WrongMarker)) {
        shiftFault_ = true;
        if (RunGoing()) run_->noisy = true;
      }
      signedOn_ = Tri::Maybe;  // a frame reader's failure may sign on again
      break;
    }
    case Op::Noise:
      sim_->SetLineNoise(s.a);
      noiseOn_ = true;
      faultSteps_ = std::max(faultSteps_, 3);
      if (RunGoing()) {
        run_->mayEnd = true;
        run_->noisy = true;
      }
      signedOn_ = Tri::Maybe;
      break;
    case Op::FastFrames:
      sim_->SetFrameIntervalOverride(s.x);
      fastNext_ = true;
      break;
    case Op::HangUp:
      sim_->HangUp();
      lineAlive_ = false;
      lineChanged_ = true;
      hungUpAt_ = Clock::now();
      accepted_.clear();  // a dead line takes no byte
      if (RunGoing()) run_->mayEnd = run_->lineDead = true;
      break;
    case Op::Reconnect: {
      // The old run's thread must be gone before its line is replaced.
      NewSimulator();
      signedOn_ = Tri::Maybe;
      replugGrace_ = true;
      break;
    }
    case Op::TwoThreads: {
      std::atomic<bool> stop{false};
      std::vector<uint8_t> workerAsked;
      std::thread worker([&] {
        uint8_t v = 0xA0;
        while (!stop) {
          uint8_t busy = 0;
          if (EX_SendDigoutWScan(v, &busy)) workerAsked.push_back(v);
          ++v;
          EX_CheckRun();
          uint32_t lost = 0;
          EX_GetScanOverrunCount(&lost);
          SleepMs(1);
        }
      });
      uint8_t ok = 0;
      const int bound = EndScanBound() + SignOnBound() + CalibrationMs() + 2 * ReplyMs() + 2000;
      if (s.a == 0) ok = Timed(what, bound, [] { return EX_EndScan(); });
      if (s.a == 1) ok = Timed(what, bound, [] { return EX_StartScan_NoSysCal(); });
      if (s.a == 2) ok = Timed(what, bound, [] { return EX_SetRate(60.0); });
      if (s.a == 3) ok = Timed(what, bound, [] { return EX_Run(); });
      SleepMs(30);
      stop = true;
      worker.join();
      // The worker's bytes interleave with the host's: the order check starts afresh.
      asked_ = sim_->GetState().digitalOutputs;
      asked_.insert(asked_.end(), workerAsked.begin(), workerAsked.end());
      accepted_.insert(accepted_.end(), workerAsked.begin(), workerAsked.end());  // each must reach the wire
      wireSeen_ = asked_.size();
      if (s.a == 0) EndRun(Ending::Orderly);
      if (s.a == 2) {
        EndRun(Ending::AtOnce);
        settings_.rate = 60.0F;
      }
      if (s.a == 1 || s.a == 3) {
        if (s.a == 3) EndRun(Ending::AtOnce);
        if (ok) Started(begin_);
        if (s.a == 3 && ok) replyTimeoutSet_ = true;
      }
      if (s.a == 3 && alive_) Expect(what, ok, 1);
      signedOn_ = Tri::Maybe;  // the worker's byte may sign on too
      initialised_ = true;
      break;
    }
    case Op::LostCalibration: {
      // The instrument does not answer one calibration command, during the
      // call that calibrates.
      q583sim::CommandFault f;
      f.command = s.b ? 0x83 : 0x82;
      f.kind = q583sim::ReplyFault::NoReply;
      f.count = 1;
      sim_->AddCommandFault(f);
      faultSteps_ = std::max(faultSteps_, 2);
      lenient_ = true;
      uint8_t gain = 1;
      EX_GetGain(&gain);  // no I/O: the gain the calibration must come back to
      const int bound = EndScanBound() + SignOnBound() + CalibrationMs() + 2 * ReplyMs() + kFaultSlackMs;
      uint8_t ok = 0;
      if (s.a == 0) ok = Timed(what, bound, [] { return EX_InitDev(); });
      if (s.a == 1) ok = Timed(what, bound, [] { return EX_SystemCalibration(); });
      if (s.a == 2) ok = Timed(what, bound, [] { return EX_StartScan(); });
      // A calibration without its answer fails the call that asked for it.
      // A sign-on forgives it only at gain 1, where the instrument is left
      // at the gain the library believes.
      Require(ok == 0 || s.a == 2 || (s.a == 0 && gain == 1),
              what + " returned 1, though the instrument never answered a calibration command (gain " + std::to_string(gain) + ")");
      EndRun(s.a == 0 ? Ending::Orderly : Ending::AtOnce);
      if (s.a == 2 && ok) Started(begin_);
      if (ok) replyTimeoutSet_ = true;
      signedOn_ = Tri::Maybe;
      initialised_ = true;
      break;
    }
    case Op::CallIn: {
      bool talked = false;
      CallFromHandler(s, what, talked);
      break;
    }
    case Op::SwitchPort:
      SwitchPort(s, what);
      break;
    case Op::Delivery:
      SetDelivery(s);
      break;
    default:
      break;
  }
}

// A start whose scan log cannot be made (a directory holds the next log's
// name): the host is asked once, and answers that the run goes on without
// the file (a == 0) or that it does not start (a == 1).
void Rig::StartWithoutLogFile(const Step& s, const std::string& what, bool& talked) {
  int next = 0;
  for (const auto& name : ScanLogs()) next = std::max(next, std::atoi(name.c_str() + 8) + 1);
  const fs::path blocker = fs::path(dir_) / ("ScanLog_" + std::to_string(next) + ".txt");
  fs::create_directory(blocker);
  BoxAnswer() = s.a ? 2 : 1;
  BoxesShown() = 0;
  cancelLogBox_ = s.a == 1;
  Step start;
  start.op = Op::Start;
  start.a = 1;
  CallLibrary(start, what, talked);
  cancelLogBox_ = false;
  BoxAnswer() = 1;
  std::error_code ec;
  fs::remove(blocker, ec);
  const bool fileWanted = (settings_.logFlags & 1) != 0;
  Require(BoxesShown() <= (fileWanted ? 1 : 0), what + ": " + std::to_string(BoxesShown()) + " message boxes");
  if (RunGoing() && run_->started >= begin_ && fileWanted)
    Require(BoxesShown() == 1 && run_->file.empty(), what + ": the run began without asking the host");
}

}  // namespace q583model
