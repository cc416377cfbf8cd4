// The library calls a step makes, each with what the model expects of its
// result and time, and what it changes in the model.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "device/q583.h"
#include "model/state.h"
#include "scan/scan_run.h"

namespace q583model {

namespace {
// The steps whose call may talk to the instrument.
bool Talks(Op op) {
  switch (op) {
    case Op::Start: case Op::EndScan: case Op::Stop: case Op::Run: case Op::InitDev: case Op::SetCodes:
    case Op::GetCodes: case Op::Digout: case Op::DigoutNearEnd: case Op::GetDigin: case Op::OneConversion:
    case Op::PolledChan: case Op::Calibrate: case Op::Standby: case Op::Sleep: case Op::Reset:
    case Op::TwoThreads: case Op::LostCalibration: case Op::DigoutThenEnd: case Op::NoLogFile:
    case Op::SetModel: case Op::NoPort: case Op::CallIn:
      return true;
    default:
      return false;
  }
}
}  // namespace

void Rig::Execute(const Step& s) {
  ++stepNo_;
  CountStep();
  const std::string what = Show(s);
  Trail() += "  " + std::to_string(stepNo_) + ". " + what + "\n";
  if (std::getenv("Q583_MODEL_TRACE")) std::fprintf(stderr, "[model] %s\n", what.c_str());
  lenient_ = Lenient();
  alive_ = lineAlive_;
  begin_ = Clock::now();
  beginWall_ = std::chrono::system_clock::now();
  bool talked = false;  // the library talked to the instrument without starting a scan
  logsBefore_ = ScanLogs();
  // Whichever instrument this step's start meets, its run takes the next number.
  if (other_)
    other_->SetRunOffsetStep(kRunStep, kRunOffsets, otherBase_ = ScansStarted() - other_->GetState().scansStarted);
  simRunsBefore_ = ScansStarted();
  // A call absorbed by a run the library still holds (a byte queued into a
  // run whose thread has not yet seen its line go) meets no line.
  const bool runHeld = ScanRunning();
  if (!CallLibrary(s, what, talked)) InjectFault(s, what);
  if (alive_ && Talks(s.op) && !runHeld) {
    // The library has met the new line (or the old one's loss) by now; the
    // call that met it may have failed and left it not signed on.
    if (replugGrace_) signedOn_ = Tri::Maybe;
    replugGrace_ = false;
    lineChanged_ = false;
  }
  CheckAfterStep(what, talked, alive_);
}

void Rig::SleepWatching(Clock::time_point until) {
  while (Clock::now() < until) {
    if (RunGoing() && !run_->endSeen && !ScanRunning()) run_->endSeen = Clock::now();
    std::this_thread::sleep_until(std::min(until, Clock::now() + std::chrono::milliseconds(10)));
  }
}

void Rig::SendDigout(const std::string& what, uint8_t value, bool withScan, bool& talked) {
  uint8_t busy = 9;
  const bool during = RunGoing();
  const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound(),
                           [&] { return withScan ? EX_SendDigoutWScan(value, &busy) : EX_SendDigout(value); });
  if (during && ScanRunning()) {
    // Queued: busy only when this run already queued a byte.
    if (!ok && withScan) Require(busy == 1, what + ": false during a scan, busy " + std::to_string(busy));
    if (!ok && !lenient_) Require(run_->digoutQueued, what + ": busy with a byte that no host call of this run queued");
    if (ok) run_->digoutQueued = true;
  } else if (!during) {
    Expect(what, ok, alive_ ? 1 : 0);
    talked = ok;
    if (ok) signedOn_ = Tri::Yes;
  }
  if (ok) asked_.push_back(value);
  // A byte queued into a run on a line that hung up has no way out: the run
  // keeps the dead line until the host ends it.
  if (ok && during && !run_->lineDead) accepted_.push_back(value);
  if (ok && !during) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < deadline &&
           (sim_->GetState().digitalOutputs.empty() || sim_->GetState().digitalOutputs.back() != value))
      SleepMs(2);
    const auto wire = sim_->GetState().digitalOutputs;
    Require(!wire.empty() && wire.back() == value, what + ": the byte is not the last on the wire");
  }
}

bool Rig::CallLibrary(const Step& s, const std::string& what, bool& talked) {
  switch (s.op) {
    case Op::Wait:
      SleepWatching(Clock::now() + std::chrono::milliseconds(s.a));
      break;
    case Op::Retrieve:
      Retrieve(s.a != 0, static_cast<uint32_t>(s.b), lenient_);
      break;
    case Op::Start: {
      const bool signsOn = signedOn_ != Tri::Yes;
      const int typeZeroWait = settings_.type == 0 ? (settings_.filter == 1 ? 2 * 560 + 1002 : 2 * 36 + 1002) : 0;
      // A stop (with its settling) may go first when a run ended at once.
      const int bound = (signsOn ? SignOnBound() : 0) + EndScanBound() + (s.a ? 0 : CalibrationMs()) +
                        2 * ReplyMs() + typeZeroWait + Slack();
      const uint8_t ok = Timed(what, bound, [&] { return s.a ? EX_StartScan_NoSysCal() : EX_StartScan(); });
      if (!s.a) replyTimeoutSet_ = replyTimeoutSet_ || ok;
      if (s.a && !replyTimeoutSet_ && !ok) break;  // no averaging command yet: no echo awaited
      Expect(what, ok, cancelLogBox_ && (settings_.logFlags & 1) ? 0 : 1);
      if (ok) {
        Started(begin_);
      } else if (run_ && run_->going) {
        EndRun(Ending::AtOnce);  // a stale thread ends before the start
      }
      break;
    }
    case Op::EndScan:
    case Op::Stop: {
      const bool hung = !alive_;
      const int bound = hung ? 2500 : EndScanBound();
      const uint8_t ok = Timed(what, bound, [&] { return s.op == Op::Stop ? EX_Stop() : EX_EndScan(); });
      if (s.op == Op::Stop && signedOn_ == Tri::No) {
        Require(ok == 0, what + " while not signed on");
        break;
      }
      if (hung && RunGoing()) Require(ok == 0, what + " succeeded on a hung-up line");
      if (signedOn_ == Tri::Yes && lateAllowance_ < 0.1 && burstFrames_ == 0) Expect(what, ok, 1);  // (a stop echo held behind split frames)
      if (signedOn_ != Tri::Yes) signedOn_ = Tri::Maybe;  // a failed channel select signs on
      EndRun(Ending::Orderly);
      talked = true;
      break;
    }
    case Op::Run: {
      const uint8_t ok = Timed(what, EndScanBound() + SignOnBound() + CalibrationMs() + 2 * ReplyMs(), [] { return EX_Run(); });
      EndRun(Ending::AtOnce);
      if (alive_) Expect(what, ok, 1);
      if (ok) {
        replyTimeoutSet_ = true;
        initialised_ = true;
        signedOn_ = Tri::Yes;
        Started(begin_);
      }
      break;
    }
    case Op::InitDev: {
      const uint8_t ok = Timed(what, EndScanBound() + SignOnBound(), [] { return EX_InitDev(); });
      Expect(what, ok, alive_ ? 1 : 0);
      EndRun(Ending::Orderly);
      if (ok) replyTimeoutSet_ = initialised_ = true;
      if (ok) {
        lineChanged_ = false;
        signedOn_ = Tri::Yes;
      }
      talked = ok;
      break;
    }
    case Op::NoPort: {
      // The port's name leads nowhere: the sign-on fails at once and leaves
      // the library not signed on.  The host then names the instrument again.
      EX_SetCOMportDevice(static_cast<uint8_t>(port_), (dir_ + "/no-such-port").c_str());
      const uint8_t ok = Timed(what, EndScanBound() + SignOnBound(), [] { return EX_InitDev(); });
      Require(ok == 0, what + " signed on through a port that does not exist");
      EndRun(Ending::Orderly);
      signedOn_ = Tri::No;
      initialised_ = true;
      EX_SetCOMportDevice(static_cast<uint8_t>(port_), PathOfPort(port_).c_str());
      break;
    }
    case Op::SetScanType: {
      Expect(what, Timed(what, kInstantMs, [&] { return EX_SetScanType(static_cast<uint8_t>(s.a)); }), 1);
      settings_.type = static_cast<uint8_t>(s.a);
      initialised_ = true;
      // A run keeps the type of its start: the new one is the next run's.
      break;
    }
    case Op::SetCodes: {
      const auto& c = s.codes;
      const uint8_t ok = Timed(what, EndScanBound() + SignOnBound() + 2 * ReplyMs(),
                               [&] { return EX_SetMultiChanScanChanCodes(c[0], c[1], c[2], c[3], c[4], c[5], 0); });
      Expect(what, ok, alive_ ? 1 : 0);
      EndRun(Ending::Orderly);
      for (int i = 0; i < 6; ++i) settings_.codes[i] = ((c[i] >> 4) > (c[i] & 15)) ? kOff : c[i];
      if (ok) replyTimeoutSet_ = true;
      initialised_ = true;
      talked = ok;
      break;
    }
    case Op::GetCodes: {
      std::array<uint8_t, 7> out{};
      const bool signsOn = signedOn_ != Tri::Yes && !RunGoing();
      const uint8_t ok = Timed(what, signsOn ? SignOnBound() : kInstantMs, [&] {
        return EX_GetMultiChanScanChanCodes(&out[0], &out[1], &out[2], &out[3], &out[4], &out[5], &out[6]);
      });
      if (!lenient_) Require(ok == 1, what + " failed");
      if (ok) {
        for (int i = 0; i < 6; ++i)
          if (initialised_) Require(out[i] == settings_.codes[i], what + ": code " + std::to_string(i) + " reads " + std::to_string(out[i]));
        const int expectCount = ChannelCount(settings_.codes);
        if (initialised_) Require(out[6] == expectCount, what + ": count " + std::to_string(out[6]) + ", the codes make " + std::to_string(expectCount));
        if (signsOn) {
          replyTimeoutSet_ = initialised_ = true;
          signedOn_ = Tri::Yes;
        }
      }
      break;
    }
    case Op::SetSingleCode: {
      Expect(what, Timed(what, kForcedEndMs, [&] { return EX_SetSingleChanScanChanCode(static_cast<uint8_t>(s.a)); }), 1);
      EndRun(Ending::AtOnce);
      uint8_t code = 0xEE;
      Require(EX_GetSingleChanScanChanCode(&code) == 1 && code == (s.a & 0xF0),
              what + ": the getter reads " + std::to_string(code) + ", expected the high nibble of the code set");
      initialised_ = true;
      break;
    }
    case Op::SetLogOptions: {
      Expect(what, Timed(what, kInstantMs, [&] { return EX_SetDataLogOptions(static_cast<uint32_t>(s.a), static_cast<uint32_t>(s.b), 0); }), 1);
      uint32_t flags = 0, limit = 0;
      Require(EX_GetDataLogOptions(&flags, &limit, 0) == 1, "EX_GetDataLogOptions failed");
      Require((flags & 7) == (static_cast<uint32_t>(s.a) & 7), what + ": EX_GetDataLogOptions reads " + std::to_string(flags));
      settings_.logFlags = flags;
      if (run_ && (flags & 2) == 0) run_->memoryGap = true;
      initialised_ = true;
      break;
    }
    case Op::SetRunLength: {
      Expect(what, Timed(what, kForcedEndMs, [&] {
               return s.a ? EX_SetLengthOfRunSec(static_cast<uint32_t>(s.b)) : EX_SetLengthOfRunMs(static_cast<uint32_t>(s.b));
             }), 1);
      EndRun(Ending::AtOnce);
      settings_.lengthMode = s.b == 0 ? 1 : (s.a ? 3 : 2);
      settings_.length = static_cast<uint32_t>(s.b);
      break;
    }
    case Op::SetRate: {
      const uint8_t ok = Timed(what, kForcedEndMs, [&] { return EX_SetRate(s.x); });
      Expect(what, ok, s.x > 0 ? 1 : 0);
      if (ok) {
        EndRun(Ending::AtOnce);
        settings_.rate = static_cast<float>(s.x);
      }
      initialised_ = true;
      break;
    }
    case Op::DigoutThenEnd: {
      // A byte queued the moment before the run ends at once goes out with
      // the run's end, which may come before its thread has sent it.
      SendDigout(what, static_cast<uint8_t>(s.a), true, talked);
      Step rate;
      rate.op = Op::SetRate;
      rate.x = settings_.rate;
      CallLibrary(rate, what, talked);
      break;
    }
    case Op::SetGain: {
      const bool valid = s.a >= 1 && s.a <= 128 && (s.a & (s.a - 1)) == 0;
      Expect(what, Timed(what, kInstantMs, [&] { return EX_SetGain(static_cast<uint8_t>(s.a)); }), valid ? 1 : 0);
      initialised_ = true;
      break;
    }
    case Op::SetAverage: {
      const bool valid = s.a >= 1 && (s.a & (s.a - 1)) == 0;
      const uint8_t ok = Timed(what, kInstantMs, [&] { return EX_SetRemoteAverage(static_cast<uint16_t>(s.a)); });
      Expect(what, ok, valid ? 1 : 0);
      if (ok) settings_.average = static_cast<uint16_t>(s.a);
      initialised_ = true;
      break;
    }
    case Op::SetFilter:
      Expect(what, Timed(what, kInstantMs, [&] { return EX_SetFilter(static_cast<uint8_t>(s.a)); }), 1);
      settings_.filter = static_cast<uint8_t>(s.a);
      initialised_ = true;
      break;
    case Op::Interval: {
      double lo = 0, hi = 0;
      EX_GetScanIntervalMinMax(&lo, &hi);
      double want = lo * (s.a + 1);
      const uint8_t ok = Timed(what, kInstantMs, [&] { return s.a == 0 ? EX_SetToMinScanInterval() : EX_SetToUserScanInterval(&want); });
      Expect(what, ok, s.a == 0 || (want > lo && want < hi) ? 1 : 0);
      initialised_ = true;
      break;
    }
    case Op::Digout:
      SendDigout(what, static_cast<uint8_t>(s.a), s.b != 0, talked);
      break;
    case Op::DigoutNearEnd: {
      // The host's bytes up to a timed run's end: from s.b ms before the
      // end the model expects, one byte after another until the run is over
      // (at most 400 ms), so that the last meets the thread's last moments.
      // Every byte accepted, queued or written, must reach the instrument.
      if (!RunGoing() || run_->lengthMode != 2) {
        SendDigout(what, static_cast<uint8_t>(s.a), true, talked);
        break;
      }
      const auto end = run_->started + std::chrono::milliseconds(run_->length);
      SleepWatching(end - std::chrono::milliseconds(s.b));
      const auto stop = Clock::now() + std::chrono::milliseconds(400);
      uint8_t value = static_cast<uint8_t>(s.a);
      // While the run goes on: the last byte accepted is then one offered
      // in the thread's last moments, with no later call to carry it out.
      while (Clock::now() < stop && ScanRunning()) {
        uint8_t busy = 9;
        const uint8_t ok = Timed(what, DirectBound(), [&] { return EX_SendDigoutWScan(value, &busy); });
        if (ok) {
          asked_.push_back(value);
          if (!run_->lineDead) accepted_.push_back(value);
          run_->digoutQueued = true;
          ++value;
        } else {
          Require(busy == 1 || lenient_, what + ": refused, busy " + std::to_string(busy));
          std::this_thread::yield();
        }
      }
      // A byte that met the run's end is written directly, signing on first
      // (the stop of an instrument left streaming is the next call's).
      signedOn_ = Tri::Maybe;
      break;
    }
    case Op::DiginWScan: {
      uint8_t v = 0xEE;
      Expect(what, Timed(what, kInstantMs, [&] { return EX_GetDiginWScan(&v); }), 1);
      // The last digital input known: none read yet, or the instrument's.
      if (!lenient_) Require(v == 0 || v == kDigitalInput, what + " read " + std::to_string(v));
      break;
    }
    case Op::DefaultSetup: {
      Expect(what, Timed(what, kInstantMs, [] { return EX_SetDevToDefaultSetup(); }), 1);
      // The defaults apply from the next start; a run goes on with its own.
      // The run length is not among them: a timed run stays timed.
      const Settings before = settings_;
      settings_ = Settings{};
      settings_.lengthMode = before.lengthMode;
      settings_.length = before.length;
      ReadBackSettings();
      uint8_t type = 9;
      EX_GetScanType(&type);
      Require(type == 1, what + ": scan type " + std::to_string(type) + " after the defaults");
      signedOn_ = RunGoing() ? Tri::Maybe : Tri::No;
      break;
    }
    case Op::Polarity:
      Expect(what, Timed(what, kInstantMs, [&] { return EX_SetPolarity(static_cast<uint8_t>(s.a)); }), 1);
      settings_.bipolar = s.a != 0;
      initialised_ = true;
      break;
    case Op::GetDigin: {
      uint8_t v = 0;
      const bool during = RunGoing();
      const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound(), [&] { return EX_GetDigin(&v); });
      if (during && ScanRunning()) Require(ok == 0, what + " during a scan");
      if (!during) Expect(what, ok, alive_ ? 1 : 0);
      if (ok && !lenient_) Require(v == kDigitalInput, what + " read " + std::to_string(v));
      talked = ok;
      if (ok) signedOn_ = Tri::Yes;
      break;
    }
    case Op::SetModel: {
      // The version read again; refused without a sign-on and during a scan.
      int16_t v = -1;
      const bool during = RunGoing();
      const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound(), [&] { return EX_SetModel(&v); });
      if (during && ScanRunning()) Require(ok == 0, what + " during a scan");
      if (signedOn_ == Tri::No) Require(ok == 0, what + " while not signed on");
      if (!during && signedOn_ == Tri::Yes) Expect(what, ok, alive_ ? 1 : 0);
      if (ok && !lenient_) Require(v == q583sim::Options{}.version, what + " read version " + std::to_string(v));
      if (!ok && signedOn_ == Tri::Yes && !during) signedOn_ = Tri::Maybe;
      talked = ok;
      break;
    }
    case Op::OneConversion: {
      double mv = 0;
      const bool during = RunGoing();
      const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound() + 500, [&] { return EX_GetOneConversion(&mv); });
      if (during && ScanRunning()) Require(ok == 0, what + " during a scan");
      if (!during) Expect(what, ok, alive_ ? 1 : 0);
      if (ok && !lenient_) Require(mv >= kRampOffset * 1000 - 1 && mv <= (kRampOffset + kRampAmplitude) * 1000 + 1, what + ": " + std::to_string(mv) + " mV");
      talked = ok;
      if (ok) signedOn_ = Tri::Yes;
      break;
    }
    case Op::PolledChan: {
      const bool during = RunGoing();
      const uint8_t ok = Timed(what, during ? kInstantMs : DirectBound(),
                               [&] { return EX_SetPolledModeChan(static_cast<uint8_t>(s.a), static_cast<uint8_t>(s.b)); });
      if (during && ScanRunning()) Require(ok == 0, what + " during a scan");
      if (!during) Expect(what, ok, alive_ ? 1 : 0);
      talked = ok;
      if (ok) signedOn_ = Tri::Yes;
      initialised_ = true;
      break;
    }
    case Op::DiginScan:
      Expect(what, Timed(what, kInstantMs, [&] { return EX_SetDiginScan(static_cast<uint8_t>(s.a)); }), 1);
      if (RunGoing() && s.a == 0) run_->mayEnd = true;  // a reply on its way meets the frame reader
      break;
    case Op::Calibrate: {
      const uint8_t ok = Timed(what, kForcedEndMs + DirectBound(), [&] {
        return s.a == 0 ? EX_SystemCalibration() : s.a == 1 ? EX_FullScaleCalibration() : EX_OffsetCalibration();
      });
      EndRun(Ending::AtOnce);
      Expect(what, ok, alive_ ? 1 : 0);
      talked = ok;
      initialised_ = true;
      break;
    }
    case Op::Standby:
    case Op::Sleep: {
      const uint8_t ok = Timed(what, EndScanBound() + ReplyMs() + (alive_ ? 0 : 2500), [&] {
        return s.op == Op::Sleep ? EX_Sleep(1) : EX_Standby(static_cast<uint8_t>(s.a));
      });
      Expect(what, ok, 1);
      EndRun(Ending::Orderly);
      signedOn_ = Tri::No;
      talked = alive_;
      initialised_ = true;
      break;
    }
    case Op::Reset: {
      const uint8_t ok = Timed(what, kForcedEndMs + SignOnBound(), [] { return EX_Reset(); });
      Expect(what, ok, 1);
      EndRun(Ending::AtOnce);
      settings_.codes = {0, kOff, kOff, kOff, kOff, kOff};
      ReadBackSettings();
      signedOn_ = alive_ ? Tri::Yes : Tri::No;
      if (faultSteps_ > 0) signedOn_ = Tri::Maybe;
      replyTimeoutSet_ = replyTimeoutSet_ || alive_;
      initialised_ = true;
      talked = alive_;
      break;
    }
    case Op::IniLoad: {
      {
        std::ofstream out(fs::path(dir_) / "Q583_SP.ini", std::ios::binary);
        out << kIniFiles[s.a];
      }
      const uint8_t ok = Timed(what, EndScanBound() + kInstantMs, [] { return EX_SetDevToIniSetup(); });
      EndRun(Ending::Orderly);
      // Not every file sets every key: the load reports true only for a whole one.
      (void)ok;
      settings_.codes = kIniCodes[s.a];
      settings_.smallQueue = s.a == kSmallQueueIni;
      ReadBackSettings();
      Require(settings_.type == kIniScanType[s.a], what + ": scan type " + std::to_string(settings_.type) + " after the load");
      uint8_t port = 9;
      EX_GetCOMport(&port);
      Require(port == 0, what + ": COM port " + std::to_string(port) + " after the load");
      port_ = 0;
      signedOn_ = Tri::No;
      initialised_ = true;
      talked = false;  // the load talks to the instrument only to end a running scan
      break;
    }
    case Op::DebugLogs:
      // The three debug logs, opened or closed (their writers run on both
      // the host's threads and the acquisition thread).
      Expect(what, Timed(what, kInstantMs, [&] { return EX_DoVexDbgNew(static_cast<uint8_t>(s.a)); }), 1);
      Expect(what, Timed(what, kInstantMs, [&] { return EX_DoScanDebug(static_cast<uint8_t>(s.a)); }), 1);
      if (s.a) Expect(what, Timed(what, kInstantMs, [] { return EX_DoDebugNorm(3); }), 1);
      break;
    case Op::Beep:
      Expect(what, Timed(what, kInstantMs, [&] { return EX_SetRunEndBeepOptions(static_cast<uint8_t>(s.a), 880, 5, 1, 2); }), 1);
      break;
    case Op::StopBeep:
      Expect(what, Timed(what, kInstantMs, [] { return EX_StopRunEndBeep(); }), 1);
      initialised_ = true;
      break;
    case Op::DigoutPriority:
      Expect(what, Timed(what, kInstantMs, [&] { return SetDigOutPriorityOption(static_cast<uint8_t>(s.a)); }), 1);
      break;
    case Op::LogText:
      SetLogText(s, what);
      break;
    case Op::NoLogFile:
      StartWithoutLogFile(s, what, talked);
      break;
    default:
      return false;
  }
  return true;
}

// The experiment description (a == 0) or the log comment (a == 1): a short
// text, "", the longest taken (511 characters), one too long, or none.
void Rig::SetLogText(const Step& s, const std::string& what) {
  std::string text = (s.a ? "note " : "experiment ") + std::to_string(++textsMade_);
  if (s.b == 1) text.clear();
  if (s.b == 2 || s.b == 3) text.resize(s.b == 2 ? 511 : 512, '-');
  const char* arg = s.b == 4 ? nullptr : text.c_str();
  const uint8_t ok = Timed(what, kInstantMs, [&] { return s.a ? EX_AddLogFileComment(arg) : EX_SetExperimentName(arg); });
  Require(ok == (s.b <= 2 ? 1 : 0), what + " returned " + std::to_string(ok));
  if (ok) (s.a ? comments_ : experiments_).push_back(text);
}

}  // namespace q583model
