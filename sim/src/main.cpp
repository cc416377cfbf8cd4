// q583-sim: runs the instrument simulator on a pseudo-terminal until it is
// interrupted.  The first line of standard output is the device path.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "q583sim/simulator.h"

namespace {

const char kUsage[] =
    "Usage: q583-sim [options]\n"
    "Simulates a Q583 instrument on a pseudo-terminal; prints the device path\n"
    "as the first line of standard output and runs until SIGINT, SIGTERM or\n"
    "SIGHUP.\n"
    "\n"
    "  --link PATH              symlink PATH -> the device (removed at exit)\n"
    "  --trace                  print every byte sent and received to stderr\n"
    "  --no-pacing              send as fast as the pty takes it\n"
    "  --version N              firmware version reported (default 100)\n"
    "  --next-version N         version reported from the next sign-on on\n"
    "  --digin N                digital input byte\n"
    "  --signal M:S:KIND:OFFSET[:AMPLITUDE[:PERIOD]]\n"
    "                           input of main channel M, sub-channel S; KIND is\n"
    "                           constant, sine, ramp or noise; volts, seconds\n"
    "                           (repeatable)\n"
    "  --calibration OFF:FS     offset and full-scale readings, volts\n"
    "  --seed N                 seed of the noise generators\n"
    "  --latency MS             a USB adapter's latency timer: what the\n"
    "                           instrument sends reaches the host every MS ms\n"
    "                           (1-255), or at once when 4096 bytes wait\n"
    "  --clock-ppm N            the instrument's scan clock N ppm fast\n"
    "                           (negative: slow); frames (1 + N 1e-6) as often\n"
    "Faults:\n"
    "  --no-wake-reply          never answer the wake-up\n"
    "  --reply-to-baud-change N\n"
    "                           answer the lone 0x88 of the next N sign-ons\n"
    "                           (-1: always)\n"
    "  --wrong-baud-echo N      echo a wrong baud index N times\n"
    "  --no-baud-echo N         no baud echo N times\n"
    "  --wrong-register-echo N  echo wrong mode registers N times\n"
    "  --register-echo-high-bits  set bits 5-7 of the first register echoed\n"
    "  --command-fault CMD:KIND[:ARG[:COUNT]]\n"
    "                           KIND noreply, late (ARG ms), wrongecho (ARG byte),\n"
    "                           cut (ARG bytes); COUNT times (-1: always, default)\n"
    "                           (repeatable), e.g. 0x81:wrongecho:0x45\n"
    "  --frame-fault KIND:INDEX\n"
    "                           KIND marker, drop or add; INDEX the frame of\n"
    "                           the run (repeatable)\n"
    "  --frame-interval S       send frames every S seconds\n"
    "  --no-stop-echo           do not echo the stop command\n"
    "  --line-noise R           about R random bytes a second on the line\n"
    "  --hangup-after S         close the line S seconds after the start\n"
    "  --help\n";

enum Opt {
  kLink = 1000,
  kTrace,
  kNoPacing,
  kVersion,
  kNextVersion,
  kDigin,
  kSignal,
  kCalibration,
  kSeed,
  kLatency,
  kClockPpm,
  kNoWakeReply,
  kReplyToBaud,
  kWrongBaudEcho,
  kNoBaudEcho,
  kWrongRegEcho,
  kRegHighBits,
  kCommandFault,
  kFrameFault,
  kFrameInterval,
  kNoStopEcho,
  kLineNoise,
  kHangUpAfter,
  kHelp,
};

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "q583-sim: %s\n", what.c_str());
  std::fprintf(stderr, "%s", kUsage);
  std::exit(2);
}

long ParseInt(const std::string& text, long lo, long hi, const char* what) {
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (text.empty() || *end != '\0' || errno != 0 || v < lo || v > hi) Fail(std::string("bad ") + what + ": " + text);
  return v;
}

double ParseDouble(const std::string& text, const char* what) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v)) Fail(std::string("bad ") + what + ": " + text);
  return v;
}

std::vector<std::string> Split(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon - start));
    if (colon == std::string::npos) return parts;
    start = colon + 1;
  }
}

struct SignalSpec {
  int mainChannel, subChannel;
  q583sim::Signal signal;
};

SignalSpec ParseSignal(const std::string& text) {
  const auto p = Split(text);
  if (p.size() < 4 || p.size() > 6) Fail("bad --signal: " + text);
  SignalSpec s{};
  s.mainChannel = static_cast<int>(ParseInt(p[0], 0, 7, "main channel"));
  s.subChannel = static_cast<int>(ParseInt(p[1], 0, 15, "sub-channel"));
  if (p[2] == "constant")
    s.signal.kind = q583sim::SignalKind::Constant;
  else if (p[2] == "sine")
    s.signal.kind = q583sim::SignalKind::Sine;
  else if (p[2] == "ramp")
    s.signal.kind = q583sim::SignalKind::Ramp;
  else if (p[2] == "noise")
    s.signal.kind = q583sim::SignalKind::Noise;
  else
    Fail("bad signal kind: " + p[2]);
  s.signal.offset = ParseDouble(p[3], "offset");
  if (p.size() > 4) s.signal.amplitude = ParseDouble(p[4], "amplitude");
  if (p.size() > 5) s.signal.periodS = ParseDouble(p[5], "period");
  return s;
}

q583sim::CommandFault ParseCommandFault(const std::string& text) {
  const auto p = Split(text);
  if (p.size() < 2 || p.size() > 4) Fail("bad --command-fault: " + text);
  q583sim::CommandFault f;
  f.command = static_cast<uint8_t>(ParseInt(p[0], 0, 255, "command"));
  const long arg = p.size() > 2 ? ParseInt(p[2], 0, 1000000, "fault argument") : 0;
  if (p[1] == "noreply") {
    f.kind = q583sim::ReplyFault::NoReply;
  } else if (p[1] == "late") {
    f.kind = q583sim::ReplyFault::Late;
    f.delayMs = static_cast<int>(arg);
  } else if (p[1] == "wrongecho") {
    f.kind = q583sim::ReplyFault::WrongEcho;
    if (arg > 255) Fail("bad echo byte: " + p[2]);
    f.echo = static_cast<uint8_t>(arg);
  } else if (p[1] == "cut") {
    f.kind = q583sim::ReplyFault::Cut;
    f.cutAfter = static_cast<int>(arg);
  } else {
    Fail("bad fault kind: " + p[1]);
  }
  if (p.size() > 3) f.count = static_cast<int>(ParseInt(p[3], -1, 1000000, "count"));
  return f;
}

q583sim::FrameFault ParseFrameFault(const std::string& text) {
  const auto p = Split(text);
  if (p.size() != 2) Fail("bad --frame-fault: " + text);
  q583sim::FrameFault f;
  if (p[0] == "marker")
    f.kind = q583sim::FrameFaultKind::WrongMarker;
  else if (p[0] == "drop")
    f.kind = q583sim::FrameFaultKind::DropByte;
  else if (p[0] == "add")
    f.kind = q583sim::FrameFaultKind::AddByte;
  else
    Fail("bad frame fault kind: " + p[0]);
  f.frameIndex = static_cast<uint32_t>(ParseInt(p[1], 0, 0x7FFFFFFF, "frame index"));
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  static const option kLong[] = {
      {"link", required_argument, nullptr, kLink},
      {"trace", no_argument, nullptr, kTrace},
      {"no-pacing", no_argument, nullptr, kNoPacing},
      {"version", required_argument, nullptr, kVersion},
      {"next-version", required_argument, nullptr, kNextVersion},
      {"digin", required_argument, nullptr, kDigin},
      {"signal", required_argument, nullptr, kSignal},
      {"calibration", required_argument, nullptr, kCalibration},
      {"seed", required_argument, nullptr, kSeed},
      {"latency", required_argument, nullptr, kLatency},
      {"clock-ppm", required_argument, nullptr, kClockPpm},
      {"no-wake-reply", no_argument, nullptr, kNoWakeReply},
      {"reply-to-baud-change", required_argument, nullptr, kReplyToBaud},
      {"wrong-baud-echo", required_argument, nullptr, kWrongBaudEcho},
      {"no-baud-echo", required_argument, nullptr, kNoBaudEcho},
      {"wrong-register-echo", required_argument, nullptr, kWrongRegEcho},
      {"register-echo-high-bits", no_argument, nullptr, kRegHighBits},
      {"command-fault", required_argument, nullptr, kCommandFault},
      {"frame-fault", required_argument, nullptr, kFrameFault},
      {"frame-interval", required_argument, nullptr, kFrameInterval},
      {"no-stop-echo", no_argument, nullptr, kNoStopEcho},
      {"line-noise", required_argument, nullptr, kLineNoise},
      {"hangup-after", required_argument, nullptr, kHangUpAfter},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };

  q583sim::Options options;
  options.keepLog = false;  // nobody inspects the log of the program
  std::string link;
  std::vector<SignalSpec> signals;
  std::vector<q583sim::CommandFault> commandFaults;
  std::vector<q583sim::FrameFault> frameFaults;
  bool haveCal = false, noWakeReply = false, regHighBits = false, noStopEcho = false;
  double calOffset = 0, calFull = 0, frameInterval = 0, lineNoise = 0, hangUpAfter = -1;
  int latencyMs = 0;
  double clockPpm = 0;
  int replyToBaud = 0, wrongBaudEcho = 0, noBaudEcho = 0, wrongRegEcho = 0, nextVersion = -1;

  int c;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    const std::string arg = optarg ? optarg : "";
    switch (c) {
      case kLink: link = arg; break;
      case kTrace: options.trace = true; break;
      case kNoPacing: options.pacing = false; break;
      case kVersion: options.version = static_cast<uint8_t>(ParseInt(arg, 0, 255, "version")); break;
      case kNextVersion: nextVersion = static_cast<int>(ParseInt(arg, 0, 255, "version")); break;
      case kDigin: options.digitalInput = static_cast<uint8_t>(ParseInt(arg, 0, 255, "digital input")); break;
      case kSignal: signals.push_back(ParseSignal(arg)); break;
      case kCalibration: {
        const auto p = Split(arg);
        if (p.size() != 2) Fail("bad --calibration: " + arg);
        calOffset = ParseDouble(p[0], "offset");
        calFull = ParseDouble(p[1], "full scale");
        haveCal = true;
        break;
      }
      case kSeed: options.seed = static_cast<uint32_t>(ParseInt(arg, 0, 0xFFFFFFFFL, "seed")); break;
      case kLatency: latencyMs = static_cast<int>(ParseInt(arg, 1, 255, "latency")); break;
      case kClockPpm: clockPpm = static_cast<double>(ParseInt(arg, -100000, 100000, "clock error")); break;
      case kNoWakeReply: noWakeReply = true; break;
      case kReplyToBaud: replyToBaud = static_cast<int>(ParseInt(arg, -1, 1000000, "count")); break;
      case kWrongBaudEcho: wrongBaudEcho = static_cast<int>(ParseInt(arg, -1, 1000000, "count")); break;
      case kNoBaudEcho: noBaudEcho = static_cast<int>(ParseInt(arg, -1, 1000000, "count")); break;
      case kWrongRegEcho: wrongRegEcho = static_cast<int>(ParseInt(arg, -1, 1000000, "count")); break;
      case kRegHighBits: regHighBits = true; break;
      case kCommandFault: commandFaults.push_back(ParseCommandFault(arg)); break;
      case kFrameFault: frameFaults.push_back(ParseFrameFault(arg)); break;
      case kFrameInterval: frameInterval = ParseDouble(arg, "frame interval"); break;
      case kNoStopEcho: noStopEcho = true; break;
      case kLineNoise: lineNoise = ParseDouble(arg, "line noise"); break;
      case kHangUpAfter: hangUpAfter = ParseDouble(arg, "hang-up time"); break;
      case kHelp: std::printf("%s", kUsage); return 0;
      default: Fail("unknown option");
    }
  }
  if (optind < argc) Fail(std::string("unexpected argument: ") + argv[optind]);

  // Block the stop signals before the simulator's thread starts, so that
  // they are taken here by sigwait and nowhere else.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  int status = 0;
  {
    std::unique_ptr<q583sim::Simulator> sim;
    try {
      sim = std::make_unique<q583sim::Simulator>(options);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "q583-sim: %s\n", e.what());
      return 1;
    }
    for (const auto& s : signals) sim->SetInput(s.mainChannel, s.subChannel, s.signal);
    if (haveCal) sim->SetCalibrationReadings(calOffset, calFull);
    if (nextVersion >= 0) sim->SetVersionAtNextSignOn(static_cast<uint8_t>(nextVersion));
    sim->SetNoWakeReply(noWakeReply);
    sim->SetReplyToBaudChange(replyToBaud);
    sim->SetWrongBaudEcho(wrongBaudEcho);
    sim->SetNoBaudEcho(noBaudEcho);
    sim->SetWrongRegisterEcho(wrongRegEcho);
    sim->SetRegisterEchoHighBits(regHighBits);
    for (const auto& f : commandFaults) sim->AddCommandFault(f);
    for (const auto& f : frameFaults) sim->AddFrameFault(f);
    sim->SetFrameIntervalOverride(frameInterval);
    sim->SetNoStopEcho(noStopEcho);
    sim->SetLineNoise(lineNoise);
    sim->SetLatencyTimer(latencyMs);
    sim->SetClockPpm(clockPpm);

    if (!link.empty()) {
      unlink(link.c_str());  // a stale link of an earlier run
      if (symlink(sim->DevicePath().c_str(), link.c_str()) != 0) {
        std::fprintf(stderr, "q583-sim: cannot create %s: %s\n", link.c_str(), std::strerror(errno));
        return 1;
      }
    }
    std::printf("%s\n", sim->DevicePath().c_str());
    std::fflush(stdout);

    bool hungUp = false;
    for (;;) {
      int sig;
      if (hangUpAfter >= 0 && !hungUp) {
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(hangUpAfter);
        ts.tv_nsec = static_cast<long>((hangUpAfter - static_cast<double>(ts.tv_sec)) * 1e9);
        sig = sigtimedwait(&stopSignals, nullptr, &ts);
        if (sig < 0 && errno == EAGAIN) {
          sim->HangUp();
          hungUp = true;
          continue;
        }
        if (sig < 0) continue;  // EINTR
      } else if (sigwait(&stopSignals, &sig) != 0) {
        continue;
      }
      break;
    }
    if (!link.empty()) unlink(link.c_str());
  }
  return status;
}
