// The commands and their generator weights: how a step shows in a trail,
// and which steps a sequence is drawn from.
#include <rapidcheck/state.h>

#include <algorithm>
#include <sstream>
#include <utility>
#include <vector>

#include "model/commands.h"

namespace q583model {

// The configuration files the load is given: a plain one, a single-channel
// one without channel codes, two of scan type 2 with an interval the
// settings cannot run, and one whose receive queue holds two frames of its
// one channel (a thread a millisecond late overflows it).
const char* const kIniFiles[5] = {
    "[MAIN]\ncomPort=0\ntScan=1\nRate=60\nScanInterval=0.05\nLogScans=3\n[SubChannels]\n0=0\n1=1\n2=16\n3=16\n4=16\n5=16\n",
    "[MAIN]\ncomPort=0\ntScan=0\nLogScans=2\n",
    "[MAIN]\ncomPort=0\ntScan=2\nScanInterval=5000\nLogScans=3\n[SubChannels]\n0=0\n1=16\n2=16\n3=16\n4=16\n5=16\n",
    "[MAIN]\ncomPort=0\ntScan=2\nScanInterval=-1\nLogScans=1\n[SubChannels]\n0=0\n1=0\n2=0\n3=16\n4=16\n5=16\n",
    "[MAIN]\ncomPort=0\nRXQUEUESIZE=16\ntScan=1\nLogScans=3\n[SubChannels]\n0=0\n1=16\n2=16\n3=16\n4=16\n5=16\n",
};
// Codes and scan type each file leaves (a missing key reads as its default:
// "1" for the first code, sub-channels 0 and 1, and 16 for the others).
const std::array<uint8_t, 6> kIniCodes[5] = {
    {0, 1, kOff, kOff, kOff, kOff}, {1, kOff, kOff, kOff, kOff, kOff},
    {0, kOff, kOff, kOff, kOff, kOff}, {0, 0, 0, kOff, kOff, kOff}, {0, kOff, kOff, kOff, kOff, kOff}};
const uint8_t kIniScanType[5] = {1, 0, 2, 2, 1};

const uint8_t kFaultCommands[10] = {0x81, 0x84, 0x86, 0x80, 0x82, 0x83, 0x89, 0x8A, 0x8B, 0x8C};

namespace {
const char* const kFaultNames[] = {"NoReply", "Late", "WrongEcho", "Cut"};
const char* const kFrameFaultNames[] = {"WrongMarker", "DropByte", "AddByte"};
const char* const kCallInNames[] = {"EX_StartScan_NoSysCal()", "EX_EndScan()", "EX_SetRate(the rate it has)",
                                    "EX_GetOneConversion()", "EX_GetScanDataDbl(0)"};
}  // namespace

std::string Show(const Step& s) {
  std::ostringstream o;
  switch (s.op) {
    case Op::Wait: o << "wait " << s.a << " ms"; break;
    case Op::Retrieve: o << (s.a ? "EX_GetScanDataInt" : "EX_GetScanDataDbl") << "(up to " << s.b << ")"; break;
    case Op::Start: o << (s.a ? "EX_StartScan_NoSysCal()" : "EX_StartScan()"); break;
    case Op::EndScan: o << "EX_EndScan()"; break;
    case Op::Stop: o << "EX_Stop()"; break;
    case Op::Run: o << "EX_Run()"; break;
    case Op::InitDev: o << "EX_InitDev()"; break;
    case Op::SetScanType: o << "EX_SetScanType(" << s.a << ")"; break;
    case Op::SetCodes:
      o << "EX_SetMultiChanScanChanCodes(";
      for (int i = 0; i < 6; ++i) o << "0x" << std::hex << int(s.codes[i]) << std::dec << (i < 5 ? ", " : ", 0)");
      break;
    case Op::GetCodes: o << "EX_GetMultiChanScanChanCodes()"; break;
    case Op::SetSingleCode: o << "EX_SetSingleChanScanChanCode(0x" << std::hex << s.a << std::dec << "), then the getter"; break;
    case Op::SetLogOptions: o << "EX_SetDataLogOptions(" << s.a << ", " << s.b << ", 0)"; break;
    case Op::SetRunLength: o << (s.a ? "EX_SetLengthOfRunSec(" : "EX_SetLengthOfRunMs(") << s.b << ")"; break;
    case Op::SetRate: o << "EX_SetRate(" << s.x << ")"; break;
    case Op::SetGain: o << "EX_SetGain(" << s.a << ")"; break;
    case Op::SetAverage: o << "EX_SetRemoteAverage(" << s.a << ")"; break;
    case Op::SetFilter: o << "EX_SetFilter(" << s.a << ")"; break;
    case Op::Interval: o << (s.a == 0 ? "EX_SetToMinScanInterval()" : "EX_SetToUserScanInterval(min x ") << (s.a ? std::to_string(s.a + 1) + ")" : ""); break;
    case Op::Digout: o << (s.b ? "EX_SendDigoutWScan(" : "EX_SendDigout(") << s.a << ")"; break;
    case Op::GetDigin: o << "EX_GetDigin()"; break;
    case Op::OneConversion: o << "EX_GetOneConversion()"; break;
    case Op::PolledChan: o << "EX_SetPolledModeChan(" << s.a << ", " << s.b << ")"; break;
    case Op::DiginScan: o << "EX_SetDiginScan(" << s.a << ")"; break;
    case Op::Calibrate: o << (s.a == 0 ? "EX_SystemCalibration()" : s.a == 1 ? "EX_FullScaleCalibration()" : "EX_OffsetCalibration()"); break;
    case Op::Standby: o << "EX_Standby(" << s.a << ")"; break;
    case Op::Sleep: o << "EX_Sleep(1)"; break;
    case Op::Reset: o << "EX_Reset()"; break;
    case Op::IniLoad: o << "EX_SetDevToIniSetup() with file " << s.a; break;
    case Op::Beep: o << "EX_SetRunEndBeepOptions(" << s.a << ", 880, 5, 1, 2)"; break;
    case Op::DiginWScan: o << "EX_GetDiginWScan()"; break;
    case Op::DefaultSetup: o << "EX_SetDevToDefaultSetup()"; break;
    case Op::Polarity: o << "EX_SetPolarity(" << s.a << ")"; break;
    case Op::DigoutNearEnd: o << "EX_SendDigoutWScan(" << s.a << ", then on) from " << s.b << " ms before the timed run's end until it is over"; break;
    case Op::DebugLogs: o << (s.a ? "EX_DoVexDbgNew(1), EX_DoScanDebug(1), EX_DoDebugNorm(3)" : "EX_DoVexDbgNew(0), EX_DoScanDebug(0)"); break;
    case Op::DigoutThenEnd: o << "EX_SendDigoutWScan(" << s.a << "), at once EX_SetRate(the rate it has)"; break;
    case Op::LogText:
      o << (s.a ? "EX_AddLogFileComment(" : "EX_SetExperimentName(")
        << (s.b == 0 ? "a short text" : s.b == 1 ? "\"\"" : s.b == 2 ? "511 characters" : s.b == 3 ? "512 characters" : "null") << ")";
      break;
    case Op::DigoutPriority: o << "SetDigOutPriorityOption(" << s.a << ")"; break;
    case Op::StopBeep: o << "EX_StopRunEndBeep()"; break;
    case Op::SetModel: o << "EX_SetModel()"; break;
    case Op::NoPort: o << "EX_SetCOMportDevice(0, a path to nothing), EX_InitDev(), the simulator's path again"; break;
    case Op::NoLogFile: o << "EX_StartScan_NoSysCal() with the next scan log's name taken by a directory, answering " << (s.a ? "Cancel" : "OK"); break;
    case Op::LostCalibration:
      o << "fault: no reply to 0x" << (s.b ? "83" : "82") << " once, during "
        << (s.a == 0 ? "EX_InitDev()" : s.a == 1 ? "EX_SystemCalibration()" : "EX_StartScan()");
      break;
    case Op::CallIn:
      o << "from inside the host's " << (s.b ? "beep handler (within 800 ms)" : "message box of a start whose scan log cannot be made")
        << ": " << kCallInNames[s.a];
      break;
    case Op::SwitchPort:
      o << (s.a == 0 ? "EX_SetCOMport(the other port)"
                     : s.a == 1 ? "EX_ClosePort(), EX_SetCOMportDevice: this port's device and the other's swapped"
                                : "EX_ClosePort(), EX_SetCOMport(the other port)");
      break;
    case Op::Delivery:
      if (s.a == 3) {
        o << "delivery: each byte at the line's pace";
        break;
      }
      o << "delivery: " << (s.a == 0 ? "a latency timer of " : s.a == 1 ? "bursts of " : "each frame split after byte ") << s.b
        << (s.a == 0 ? " ms" : s.a == 1 ? " frames" : ", its rest " + std::to_string(static_cast<int>(s.x * 1e6)) + " us later");
      break;
    case Op::CommandFault:
      o << "fault: " << kFaultNames[s.a] << " on command 0x" << std::hex << int(kFaultCommands[s.b]) << std::dec;
      break;
    case Op::FrameFault: o << "fault: " << kFrameFaultNames[s.a] << " in frame " << s.b << " of the run"; break;
    case Op::Noise: o << "fault: line noise " << s.a << " bytes/s for one step"; break;
    case Op::FastFrames: o << "fault: next run sends a frame every " << s.x * 1000 << " ms"; break;
    case Op::HangUp: o << "fault: hang-up"; break;
    case Op::Reconnect: o << "new simulator, EX_SetCOMportDevice(0, its path)"; break;
    case Op::TwoThreads:
      o << "second host thread: EX_SendDigoutWScan/EX_CheckRun while the first calls "
        << (s.a == 0 ? "EX_EndScan()" : s.a == 1 ? "EX_StartScan_NoSysCal()" : s.a == 2 ? "EX_SetRate(60)" : "EX_Run()");
      break;
  }
  return o.str();
}

namespace {

// ---- RapidCheck: the generator's belief and the one command ----------------

// The generator runs ahead of the rig: it knows the rig's state at the
// sequence's start and follows what each step is meant to do.
struct GenModel {
  Belief b;
  bool ended = false;      // a run is believed to have ended just now
  uint32_t sinceStartMs = 0;
};

bool EndsRun(const Step& s) {
  switch (s.op) {
    case Op::EndScan: case Op::Stop: case Op::InitDev: case Op::SetCodes: case Op::SetSingleCode:
    case Op::SetRunLength: case Op::SetRate: case Op::Calibrate: case Op::Standby: case Op::Sleep:
    case Op::Reset: case Op::IniLoad: case Op::LostCalibration: case Op::DigoutThenEnd:
      return true;
    case Op::TwoThreads:
      return s.a == 0 || s.a == 2;
    case Op::SwitchPort:
      return s.a > 0;
    default:
      return false;
  }
}

bool StartsRun(const Step& s) {
  return s.op == Op::Start || s.op == Op::Run || (s.op == Op::TwoThreads && (s.a == 1 || s.a == 3)) ||
         (s.op == Op::LostCalibration && s.a == 2) || (s.op == Op::NoLogFile && s.a == 0) || (s.op == Op::CallIn && s.b == 0);
}

struct StepCommand : rc::state::Command<GenModel, Rig> {
  Step step;
  explicit StepCommand(Step s) : step(s) {}
  void checkPreconditions(const GenModel& m) const override {
    if (step.op == Op::Reconnect) RC_PRE(!m.b.lineAlive);
    if (step.op == Op::HangUp || step.op == Op::SwitchPort) RC_PRE(m.b.lineAlive);
  }
  void apply(GenModel& m) const override {
    if (step.op == Op::HangUp) m.b.lineAlive = false;
    if (step.op == Op::Reconnect) m.b.lineAlive = true;
    if (step.op == Op::SetRunLength) m.b.timedMs = step.a == 0 ? static_cast<uint32_t>(step.b) : 0;
    if (step.op < Op::CommandFault) m.b.fresh = false;
    m.ended = m.b.runGoing && EndsRun(step);  // the host ended it: its unread scans are met next
    if (EndsRun(step)) m.b.runGoing = false;
    if (StartsRun(step)) {
      m.b.runGoing = true;
      m.sinceStartMs = 0;
    } else if (m.b.runGoing) {
      m.sinceStartMs += step.op == Op::Wait ? static_cast<uint32_t>(step.a) : 30;
      if (m.b.timedMs > 0 && m.sinceStartMs > m.b.timedMs + 300) {
        m.b.runGoing = false;
        m.ended = true;
      }
    }
  }
  void run(const GenModel&, Rig& rig) const override { rig.Execute(step); }
  void show(std::ostream& os) const override { os << Show(step); }
};

using rc::gen::element;
using rc::gen::inRange;
using Weighted = std::vector<std::pair<uint32_t, rc::Gen<Step>>>;

// One of the generators, chosen by weight (shrinking towards the first).
rc::Gen<Step> OneOf(Weighted v) {
  uint32_t total = 0;
  for (const auto& e : v) total += e.first;
  return rc::gen::mapcat(inRange<uint32_t>(0, total), [v = std::move(v)](uint32_t pick) {
    for (const auto& e : v) {
      if (pick < e.first) return e.second;
      pick -= e.first;
    }
    return v.back().second;
  });
}

rc::Gen<Step> Make(Op op, rc::Gen<int> a = rc::gen::just(0), rc::Gen<int> b = rc::gen::just(0)) {
  return rc::gen::apply([op](int x, int y) { Step s; s.op = op; s.a = x; s.b = y; return s; }, a, b);
}

rc::Gen<Step> GenCodes() {
  return rc::gen::apply(
      [](int n, int first, int span, int weird) {
        Step s;
        s.op = Op::SetCodes;
        s.codes.fill(kOff);
        for (int i = 0; i < n; ++i) s.codes[i] = static_cast<uint8_t>((first << 4) | std::min(15, first + span));
        if (weird) s.codes[n % 6] = 0x52;  // first above last: not scanned
        return s;
      },
      inRange(1, 7), inRange(0, 3), inRange(0, 3), element(0, 0, 0, 1));
}

rc::Gen<Step> GenRate() {
  return rc::gen::apply([](double r) { Step s; s.op = Op::SetRate; s.x = r; return s; },
                        element(60.0, 120.0, 30.0, 0.0, -1.0, 0.001));
}

rc::Gen<Step> GenFast() {
  return rc::gen::apply([](double r) { Step s; s.op = Op::FastFrames; s.x = r; return s; }, element(0.002, 0.001));
}

rc::Gen<Step> GenDelivery() {
  return rc::gen::mapcat(inRange(0, 4), [](int kind) {
    return rc::gen::apply([kind](int b, double gap) { Step s; s.op = Op::Delivery; s.a = kind; s.b = b; s.x = gap; return s; },
                          kind == 0 ? inRange(1, 17) : kind == 1 ? inRange(2, 5) : inRange(1, 9), element(0.003, 2e-4, 5e-5, 0.15));
  });
}

// Memory logging on (2, 3, 7) more often than off: values are checked when
// they are stored.
rc::Gen<Step> GenLogOptions() { return Make(Op::SetLogOptions, element(3, 3, 2, 7, 6, 1, 0, 9, 11), element(0, 600, 2000)); }

// The setters and getters, as a fresh library meets them.
Weighted Setters() {
  return {
      {3, Make(Op::SetScanType, element(0, 1, 2, 9))},
      {3, GenCodes()},
      {2, Make(Op::GetCodes)},
      {2, Make(Op::SetSingleCode, element(0x00, 0x23, 0x31, 0x5F))},
      {3, GenLogOptions()},
      {2, Make(Op::SetRunLength, element(0, 0, 1), element(0, 300, 600, 1500, 1))},
      {1, GenRate()},
      {1, Make(Op::SetGain, element(1, 2, 8, 64, 128, 3, 0))},
      {1, Make(Op::SetAverage, element(1, 2, 3, 0))},
      {1, Make(Op::SetFilter, element(1, 2, 7))},
      {1, Make(Op::Polarity, element(0, 1, 1, 2))},
      {1, Make(Op::Interval, element(0, 1, 4))},
      {1, Make(Op::DefaultSetup)},
      {2, Make(Op::IniLoad, element(0, 1, 2, 2, 3))},
      {1, Make(Op::DebugLogs, element(1, 1, 0))},
      {1, Make(Op::LogText, element(0, 1, 1), element(0, 0, 0, 1, 2, 3, 4))},
      {1, Make(Op::DigoutPriority, element(1, 0))},
  };
}

// The calls that meet a run going on: everything that reads or changes run
// state, each setter, the calibrations, standby, a second start.
Weighted RunMeeting(const GenModel& m) {
  Weighted v = {
      {8, Make(Op::Wait, element(20, 50, 120, 300, 800, 2500))},
      {10, Make(Op::Retrieve, element(0, 1), element(1, 5, 50, 500, 5000))},
      {3, Make(Op::EndScan)},
      {2, Make(Op::Stop)},
      {1, Make(Op::LogText, element(0, 1, 1), element(0, 0, 1, 2))},
      {2, Make(Op::Start, element(0, 1))},
      {1, Make(Op::NoLogFile, element(0, 1))},
      {1, Make(Op::Run)},
      {1, Make(Op::InitDev)},
      {1, Make(Op::Reset)},
      {2, Make(Op::DefaultSetup)},
      {3, GenLogOptions()},
      {1, Make(Op::LostCalibration, element(0, 1, 2), element(0, 1))},
      {3, Make(Op::Digout, inRange(0, 256), element(0, 1))},
      {2, Make(Op::DigoutThenEnd, inRange(0, 256))},
      {2, Make(Op::DiginWScan)},
      {1, Make(Op::GetDigin)},
      {1, Make(Op::SetModel)},
      {1, Make(Op::OneConversion)},
      {1, Make(Op::PolledChan, inRange(0, 9), inRange(0, 17))},
      {1, Make(Op::DiginScan, element(0, 1))},
      {1, Make(Op::Calibrate, element(0, 1, 2))},
      {1, Make(Op::Standby, element(0, 1))},
      {1, Make(Op::Sleep)},
      {2, Make(Op::TwoThreads, element(0, 1, 2, 3))},
      {1, Make(Op::HangUp)},
      {1, Make(Op::FrameFault, inRange(0, 3), element(1, 3, 10))},
      {1, Make(Op::Noise, element(20, 200))},
      {1, Make(Op::CommandFault, inRange(0, 4), inRange(0, 10))},
      {1, Make(Op::SwitchPort, inRange(0, 3))},
      {1, GenDelivery()},
  };
  if (m.b.timedMs > 0) {
    v.push_back({1, Make(Op::CallIn, inRange(0, 5), rc::gen::just(1))});
    v.push_back({4, Make(Op::DigoutNearEnd, inRange(0, 256), element(150, 60, 0))});
    v.push_back({1, Make(Op::Beep, element(1, 0))});
    v.push_back({1, Make(Op::StopBeep)});
  }
  for (auto& s : Setters()) v.push_back({1, s.second});
  return v;
}

// The calls that meet a run that has just ended (by itself or by the host).
Weighted EndedMeeting() {
  return {
      {8, Make(Op::Retrieve, element(0, 1), element(1, 50, 5000))},
      {4, Make(Op::Start, element(0, 1))},
      {1, Make(Op::NoLogFile, element(0, 1))},
      {3, Make(Op::EndScan)},
      {1, Make(Op::Stop)},
      {1, Make(Op::StopBeep)},
      {1, Make(Op::NoPort)},
      {2, Make(Op::Digout, inRange(0, 256), element(0, 1))},
      {2, Make(Op::GetCodes)},
      {2, Make(Op::DiginWScan)},
      {2, Make(Op::OneConversion)},
      {1, Make(Op::GetDigin)},
      {1, Make(Op::InitDev)},
      {1, Make(Op::Calibrate, element(0, 1, 2))},
      {2, GenLogOptions()},
      {1, Make(Op::DefaultSetup)},
      {2, Make(Op::Wait, element(20, 300))},
      {1, Make(Op::SwitchPort, inRange(0, 3))},
  };
}

rc::Gen<Step> GenStep(const GenModel& m) {
  if (!m.b.lineAlive) {
    // A dead line is replugged after a while; calls and waits meet it
    // first, long enough for a run on it to have to end.
    return rc::gen::weightedOneOf<Step>({
        {3, Make(Op::Reconnect)},
        {1, Make(Op::EndScan)},
        {1, Make(Op::Digout, inRange(0, 256), element(0, 1))},
        {2, Make(Op::Wait, element(300, 1500, 3000))},
        {1, Make(Op::Retrieve, element(0, 1), element(5, 500))},
        {1, Make(Op::InitDev)},
    });
  }
  if (m.b.fresh) {
    auto v = Setters();
    v.push_back({4, Make(Op::Start, element(0, 1))});
    v.push_back({1, Make(Op::InitDev)});
    v.push_back({1, Make(Op::OneConversion)});
    return OneOf(std::move(v));
  }
  if (m.b.runGoing) return OneOf(RunMeeting(m));
  if (m.ended) return OneOf(EndedMeeting());
  Weighted v = Setters();
  v.insert(v.end(), {
      {6, Make(Op::Wait, element(20, 50, 120, 300, 800))},
      {6, Make(Op::Retrieve, element(0, 1), element(1, 5, 50, 500))},
      {9, Make(Op::Start, element(0, 1))},
      {1, Make(Op::NoLogFile, element(0, 1))},
      {1, Make(Op::EndScan)},
      {1, Make(Op::Run)},
      {1, Make(Op::InitDev)},
      {2, Make(Op::Digout, inRange(0, 256), element(0, 1))},
      {1, Make(Op::GetDigin)},
      {1, Make(Op::SetModel)},
      {1, Make(Op::NoPort)},
      {1, Make(Op::DiginWScan)},
      {2, Make(Op::OneConversion)},
      {1, Make(Op::PolledChan, inRange(0, 9), inRange(0, 17))},
      {1, Make(Op::DiginScan, element(0, 1))},
      {1, Make(Op::Calibrate, element(0, 1, 2))},
      {1, Make(Op::LostCalibration, element(0, 1, 2), element(0, 1))},
      {1, Make(Op::Standby, element(0, 1))},
      {1, Make(Op::Beep, element(0, 1))},
      {1, Make(Op::StopBeep)},
      {2, Make(Op::CommandFault, inRange(0, 4), inRange(0, 10))},
      {1, Make(Op::FrameFault, inRange(0, 3), element(1, 3, 10))},
      {1, Make(Op::Noise, element(20, 200))},
      {2, GenFast()},
      {1, Make(Op::HangUp)},
      {1, Make(Op::TwoThreads, element(0, 1, 2, 3))},
      {2, Make(Op::CallIn, inRange(0, 5))},
      {2, Make(Op::Interval, element(1, 4))},
      {1, Make(Op::SetAverage, element(2, 4))},
      {2, Make(Op::SwitchPort, inRange(0, 3))},
      {2, GenDelivery()},
  });
  return OneOf(std::move(v));
}

}  // namespace

void RunCommands(Rig& rig) {
  GenModel start;
  start.b = rig.Believed();
  rc::state::check(start, rig, [](const GenModel& m) {
    return rc::gen::map(GenStep(m), [](Step s) {
      return std::shared_ptr<const rc::state::Command<GenModel, Rig>>(std::make_shared<StepCommand>(s));
    });
  });
}

}  // namespace q583model
