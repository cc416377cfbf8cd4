// The commands and their generator weights: how a step shows in a trail,
// and which steps a sequence is drawn from.
#include <rapidcheck/state.h>

#include <algorithm>
#include <sstream>

#include "model/commands.h"

namespace q583model {

// The configuration files the load is given: a plain one, one without
// channel codes, and two with an interval the settings cannot run.
const char* const kIniFiles[4] = {
    "[MAIN]\ncomPort=0\ntScan=1\nRate=60\nScanInterval=0.05\nLogScans=3\n[SubChannels]\n0=0\n1=1\n2=16\n3=16\n4=16\n5=16\n",
    "[MAIN]\ncomPort=0\ntScan=1\nLogScans=2\n",
    "[MAIN]\ncomPort=0\ntScan=2\nScanInterval=5000\nLogScans=3\n[SubChannels]\n0=0\n1=16\n2=16\n3=16\n4=16\n5=16\n",
    "[MAIN]\ncomPort=0\ntScan=1\nScanInterval=-1\nLogScans=1\n[SubChannels]\n0=0\n1=0\n2=0\n3=16\n4=16\n5=16\n",
};
// Codes and scan type each file leaves (a missing key reads as its default:
// "1" for the first code, sub-channels 0 and 1, and 16 for the others).
const std::array<uint8_t, 6> kIniCodes[4] = {
    {0, 1, kOff, kOff, kOff, kOff}, {1, kOff, kOff, kOff, kOff, kOff},
    {0, kOff, kOff, kOff, kOff, kOff}, {0, 0, 0, kOff, kOff, kOff}};
const uint8_t kIniScanType[4] = {1, 1, 2, 1};

const uint8_t kFaultCommands[10] = {0x81, 0x84, 0x86, 0x80, 0x82, 0x83, 0x89, 0x8A, 0x8B, 0x8C};

namespace {
const char* const kFaultNames[] = {"NoReply", "Late", "WrongEcho", "Cut"};
const char* const kFrameFaultNames[] = {"WrongMarker", "DropByte", "AddByte"};
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

// ---- RapidCheck: the model for generation and the one command -------------

struct GenModel {
  bool lineAlive = true;
};

struct StepCommand : rc::state::Command<GenModel, Rig> {
  Step step;
  explicit StepCommand(Step s) : step(s) {}
  void checkPreconditions(const GenModel& m) const override {
    if (step.op == Op::Reconnect) RC_PRE(!m.lineAlive);
    if (step.op == Op::HangUp) RC_PRE(m.lineAlive);
  }
  void apply(GenModel& m) const override {
    if (step.op == Op::HangUp) m.lineAlive = false;
    if (step.op == Op::Reconnect) m.lineAlive = true;
  }
  void run(const GenModel&, Rig& rig) const override { rig.Execute(step); }
  void show(std::ostream& os) const override { os << Show(step); }
};

rc::Gen<Step> GenStep(const GenModel& m) {
  using rc::gen::element;
  using rc::gen::inRange;
  auto make = [](Op op, rc::Gen<int> a = rc::gen::just(0), rc::Gen<int> b = rc::gen::just(0)) {
    return rc::gen::apply([op](int x, int y) { Step s; s.op = op; s.a = x; s.b = y; return s; }, a, b);
  };
  if (!m.lineAlive) {
    // A dead line is replugged after a while; calls and waits meet it
    // first, long enough for a run on it to have to end.
    return rc::gen::weightedOneOf<Step>({
        {3, make(Op::Reconnect)},
        {1, make(Op::EndScan)},
        {1, make(Op::Digout, inRange(0, 256), element(0, 1))},
        {2, make(Op::Wait, element(300, 1500, 3000))},
        {1, make(Op::Retrieve, element(0, 1), element(5, 500))},
        {1, make(Op::InitDev)},
    });
  }
  auto codes = rc::gen::apply(
      [](int n, int first, int span, int weird) {
        Step s;
        s.op = Op::SetCodes;
        s.codes.fill(kOff);
        for (int i = 0; i < n; ++i) s.codes[i] = static_cast<uint8_t>((first << 4) | std::min(15, first + span));
        if (weird) s.codes[n % 6] = 0x52;  // first above last: not scanned
        return s;
      },
      inRange(1, 7), inRange(0, 3), inRange(0, 3), element(0, 0, 0, 1));
  auto rate = rc::gen::apply([](double r) { Step s; s.op = Op::SetRate; s.x = r; return s; },
                             element(60.0, 120.0, 30.0, 0.0, -1.0, 0.001));
  auto fast = rc::gen::apply([](double r) { Step s; s.op = Op::FastFrames; s.x = r; return s; }, element(0.002, 0.001));
  return rc::gen::weightedOneOf<Step>({
      {8, make(Op::Wait, element(20, 50, 120, 300, 800))},
      {10, make(Op::Retrieve, element(0, 1), element(1, 5, 50, 500))},
      {7, make(Op::Start, element(0, 1))},
      {3, make(Op::EndScan)},
      {1, make(Op::Stop)},
      {1, make(Op::Run)},
      {1, make(Op::InitDev)},
      {3, make(Op::SetScanType, element(0, 1, 2, 9))},
      {2, codes},
      {2, make(Op::GetCodes)},
      {2, make(Op::SetSingleCode, element(0x00, 0x23, 0x31, 0x5F))},
      {3, make(Op::SetLogOptions, element(1, 2, 3, 6, 7, 0, 9, 11), element(0, 600, 2000))},
      {2, make(Op::SetRunLength, element(0, 0, 1), element(0, 300, 1500, 1))},
      {1, rate},
      {1, make(Op::SetGain, element(1, 2, 64, 128, 3, 0))},
      {1, make(Op::SetAverage, element(1, 2, 3, 0))},
      {1, make(Op::SetFilter, element(1, 2, 7))},
      {1, make(Op::Interval, element(0, 1, 4))},
      {3, make(Op::Digout, inRange(0, 256), element(0, 1))},
      {1, make(Op::GetDigin)},
      {1, make(Op::OneConversion)},
      {1, make(Op::PolledChan, inRange(0, 9), inRange(0, 17))},
      {1, make(Op::DiginScan, element(0, 1))},
      {1, make(Op::Calibrate, element(0, 1, 2))},
      {1, make(Op::Standby, element(0, 1))},
      {1, make(Op::IniLoad, element(0, 1, 2, 3))},
      {1, make(Op::Beep, element(0, 1))},
      {2, make(Op::CommandFault, inRange(0, 4), inRange(0, 10))},
      {2, make(Op::FrameFault, inRange(0, 3), element(1, 3, 10))},
      {1, make(Op::Noise, element(20, 200))},
      {1, fast},
      {2, make(Op::HangUp)},
      {2, make(Op::TwoThreads, element(0, 1, 2, 3))},
      {0, make(Op::Sleep)},
      {0, make(Op::Reset)},
  });
}

}  // namespace

void RunCommands(Rig& rig) {
  rc::state::check(GenModel{}, rig, [](const GenModel& m) {
    return rc::gen::map(GenStep(m), [](Step s) {
      return std::shared_ptr<const rc::state::Command<GenModel, Rig>>(std::make_shared<StepCommand>(s));
    });
  });
}

}  // namespace q583model
