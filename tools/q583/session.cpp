#include "session.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>

#include "common.h"
#include "ports.h"
#include "q583_sp.h"
#include "q583sim/simulator.h"

namespace q583cli {

namespace fs = std::filesystem;

namespace {

// ---- message boxes --------------------------------------------------------

std::vector<std::string>& Boxes() {
  static std::vector<std::string> boxes;
  return boxes;
}
bool gQuietBoxes = false;

std::string OneLine(const std::string& text) {
  std::string line;
  for (char c : Trim(text)) {
    if (c == '\n' || c == '\r') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else {
      line += c;
    }
  }
  return line;
}

int Q583_CALL OnMessageBox(const char* text, const char* caption, uint32_t style) {
  const std::string body = text ? text : "";
  Boxes().push_back(body);
  constexpr uint32_t kOkCancel = 0x1;
  if ((style & 0xF) == kOkCancel) return 2;  // Cancel: see InstallMessageBoxHandler
  if (!gQuietBoxes) std::cerr << "q583: " << Trim(caption ? caption : "") << ": " << OneLine(body) << '\n';
  return 1;
}

// ---- the port ---------------------------------------------------------------

// The library only says that the sign-on failed; look at the port first so
// that a missing or busy port is named as such.
void CheckPort(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw Failure("port " + path + " missing: " + ErrorText(errno));
  if (!S_ISCHR(st.st_mode)) throw Failure("port " + path + " is not a serial port");
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EBUSY) throw Failure("port " + path + " busy: another program has it open");
    if (error == EACCES)
      throw Failure("port " + path + ": permission denied (is your user in the group that owns it, e.g. dialout?)");
    throw Failure("port " + path + " cannot be opened: " + ErrorText(error));
  }
  if (!isatty(fd)) {
    close(fd);
    throw Failure("port " + path + " is not a serial port");
  }
  // The library takes the port with an exclusive lock; a lock held
  // elsewhere means another program is using the instrument.
  const bool busy = flock(fd, LOCK_EX | LOCK_NB) != 0;
  if (!busy) flock(fd, LOCK_UN);
  close(fd);
  if (busy) throw Failure("port " + path + " busy: another program has it open");
}

// ---- the simulator's inputs -------------------------------------------------

struct SignalDefaults {
  q583sim::SignalKind kind;
  double a, b, period;  // the meaning of a and b depends on the kind
};

const std::map<std::string, SignalDefaults>& SignalKinds() {
  // sine: amplitude, offset; ramp: span, start; constant: level;
  // noise: amplitude, offset.
  static const std::map<std::string, SignalDefaults> kinds = {
      {"sine", {q583sim::SignalKind::Sine, 2.0, 0.0, 4.0}},
      {"ramp", {q583sim::SignalKind::Ramp, 4.0, -2.0, 5.0}},
      {"constant", {q583sim::SignalKind::Constant, 1.25, 0.0, 1.0}},
      {"noise", {q583sim::SignalKind::Noise, 0.1, 0.0, 1.0}},
  };
  return kinds;
}

struct InputSignal {
  int main = 0, sub = 0;
  q583sim::Signal signal;
};

double ParseVolts(const std::string& text, const std::string& what) {
  try {
    size_t used = 0;
    const double v = std::stod(text, &used);
    if (used != text.size()) throw std::invalid_argument(text);
    return v;
  } catch (const std::exception&) {
    throw Failure(what + ": '" + text + "' is not a number", 2);
  }
}

// "CH=KIND[,A[,B[,PERIOD]]]", CH being "M" or "M.S".
InputSignal ParseSignal(const std::string& spec) {
  const std::string what = "--sim-signal " + spec;
  const auto eq = spec.find('=');
  if (eq == std::string::npos) throw Failure(what + ": expected CH=KIND, e.g. 0=sine or 1.2=constant,1.5", 2);
  InputSignal input;
  const auto channel = Split(spec.substr(0, eq), '.');
  if (channel.size() > 2) throw Failure(what + ": channel is MAIN or MAIN.SUB", 2);
  input.main = static_cast<int>(ParseUnsigned(channel[0], 5, what + " (main channel)"));
  if (channel.size() == 2) input.sub = static_cast<int>(ParseUnsigned(channel[1], 15, what + " (sub-channel)"));
  const auto fields = Split(spec.substr(eq + 1), ',');
  const auto kind = SignalKinds().find(Trim(fields[0]));
  if (kind == SignalKinds().end()) throw Failure(what + ": kind is sine, ramp, constant or noise", 2);
  if (fields.size() > 4) throw Failure(what + ": at most three numbers follow the kind", 2);
  double a = kind->second.a, b = kind->second.b, period = kind->second.period;
  if (fields.size() > 1) a = ParseVolts(fields[1], what);
  if (fields.size() > 2) b = ParseVolts(fields[2], what);
  if (fields.size() > 3) period = ParseVolts(fields[3], what);
  if (period <= 0) throw Failure(what + ": the period must be above 0 s", 2);
  input.signal.kind = kind->second.kind;
  input.signal.periodS = period;
  if (input.signal.kind == q583sim::SignalKind::Constant) {
    input.signal.offset = a;
  } else {
    input.signal.amplitude = a;
    input.signal.offset = b;
  }
  return input;
}

// Four distinct known signals on main channels 0 to 3, sub-channel 0.
std::vector<std::string> DefaultSignals() { return {"0=sine", "1=ramp", "2=constant", "3=noise"}; }

// ---- settings ------------------------------------------------------------------

int FilterIndex(int hz) { return hz == 4 ? 0 : hz == 40 ? 1 : 2; }

int BaudIndex(int bitsPerSecond) {
  static const int table[] = {9600, 4800, 2400, 1200, 600, 300};
  for (int i = 0; i < 6; ++i)
    if (table[i] == bitsPerSecond) return i;
  return 0;
}

bool IsPowerOfTwo(long value) { return value > 0 && (value & (value - 1)) == 0; }

// The configuration file the library loads: every key written, so that
// nothing falls back to the file's own defaults (which differ from the
// library's, e.g. for the first channel code).
std::string IniText(const Settings& s) {
  char rate[16] = "60";
  if (s.rate && *s.rate < 1000.0) std::snprintf(rate, sizeof rate, "%.6g", *s.rate);
  rate[7] = '\0';  // the library reads at most seven characters
  const int average = s.average && *s.average <= 128 ? *s.average : 1;
  std::string text = "[MAIN]\n";
  auto key = [&text](const char* name, const std::string& value) { text += std::string(name) + "=" + value + "\n"; };
  key("TXQUEUESIZE", "16");
  key("RXQUEUESIZE", "32000");
  key("BAUD", std::to_string(s.baud ? BaudIndex(*s.baud) : 0));
  key("comPort", "0");
  key("remoteAvg", std::to_string(average));
  key("tScan", std::to_string(s.scanType));
  key("Rate", rate);
  key("ScanInterval", "0");  // computed by the load
  key("singleChanScanMainChan", std::to_string(s.channel));
  key("singleChanScanSubChan", std::to_string(s.subChannel));
  key("channel", std::to_string(s.channel));
  key("subChan", std::to_string(s.subChannel));
  key("wordCnt", s.wordBits && *s.wordBits == 16 ? "2" : "3");
  key("biPolar", s.polarity && *s.polarity == "unipolar" ? "0" : "1");
  key("filter", std::to_string(s.filterHz ? FilterIndex(*s.filterHz) : 2));
  key("gain", std::to_string(s.gain ? *s.gain : 1));
  key("LogScans", std::to_string(s.logFlags & 3));
  text += "[SubChannels]\n";
  for (int i = 0; i < 6; ++i) text += std::to_string(i) + "=" + std::to_string(s.codes[i]) + "\n";
  return text;
}

}  // namespace

void InstallMessageBoxHandler() { EX_SetMessageBoxHandler(&OnMessageBox); }

std::vector<std::string> TakeMessageBoxes() {
  std::vector<std::string> boxes;
  boxes.swap(Boxes());
  return boxes;
}

void SetMessageBoxesQuiet(bool quiet) { gQuietBoxes = quiet; }

std::string SetupReport() {
  SetMessageBoxesQuiet(true);
  TakeMessageBoxes();
  EX_ShowDevSetupInfo_MsgBox();
  SetMessageBoxesQuiet(false);
  std::string report;
  for (const auto& box : TakeMessageBoxes()) report += box;
  if (!report.empty() && report.back() != '\n') report += '\n';
  return report;
}

void AddConnectionOptions(CLI::App& command, ConnectionOptions& options) {
  auto* port = command.add_option("--port", options.port,
                                  "Serial device of the instrument, e.g. /dev/ttyUSB0; auto: the one port that "
                                  "answers as the instrument (q583 ports --probe)");
  auto* sim = command.add_flag("--sim", options.sim,
                               "Use the simulated instrument (started in this process on a pseudo-terminal)");
  port->excludes(sim);
  command.add_option("--sim-signal", options.simSignals,
                     "Input of the simulator: CH=KIND[,A[,B[,PERIOD]]], CH is MAIN or MAIN.SUB, KIND is "
                     "sine (A amplitude, B offset), ramp (A span, B start), constant (A level) or noise "
                     "(A amplitude, B offset); volts and seconds. Repeatable. Default: 0=sine 1=ramp "
                     "2=constant 3=noise")
      ->needs(sim);
  command.add_option("--sim-digin", options.simDigin, "Digital input byte of the simulator (0-255)")->needs(sim);
  command.add_flag("--debug-logs", options.debugLogs,
                   "Write the library's debug logs VexNewDbg.txt, ScanOut.txt and 583_debug.txt");
  command.add_option("--wire-trace", options.wireTrace,
                     "Write every byte sent to and received from the instrument, with its direction and time, "
                     "to FILE (replaced; q583-sim --replay FILE plays it back)")
      ->type_name("FILE");
  command.add_option("--log-dir", options.workDir,
                     "Directory for the scan log and debug logs (created; default: the current directory)");
}

CLI::Validator AboveZero() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0') return "'" + text + "' is not a number";
        return value > 0 && std::isfinite(value) ? "" : "must be above 0, not " + text;
      },
      "NUMBER > 0");
}

CLI::Validator AtMostCharacters(size_t characters) {
  return CLI::Validator(
      [characters](std::string& text) -> std::string {
        return text.size() <= characters ? ""
                                         : "at most " + std::to_string(characters) + " characters, not " +
                                               std::to_string(text.size());
      },
      "TEXT");
}

void AddConverterOptions(CLI::App& command, Settings& s) {
  command.add_option("--gain", s.gain, "Input gain")->check(CLI::IsMember({1, 2, 4, 8, 16, 32, 64, 128}));
  command.add_option("--filter", s.filterHz, "Filter in Hz")->check(CLI::IsMember({4, 40, 400}));
  command.add_option("--rate", s.rate, "Conversion rate, conversions per second")->check(AboveZero());
  command.add_option("--average", s.average, "Remote averaging, a power of two from 1 to 32768")
      ->check(CLI::Validator(
          [](std::string& text) -> std::string {
            try {
              const long v = std::stol(text);
              return IsPowerOfTwo(v) && v <= 32768 ? "" : "not a power of two from 1 to 32768";
            } catch (const std::exception&) {
              return "not a number";
            }
          },
          "POWER OF 2"));
  command.add_option("--polarity", s.polarity, "Input range")->check(CLI::IsMember({"bipolar", "unipolar"}));
  command.add_option("--word-size", s.wordBits, "Bits per conversion the instrument sends")
      ->check(CLI::IsMember({16, 24}));
  command.add_option("--baud", s.baud, "Line rate after the sign-on")
      ->check(CLI::IsMember({300, 600, 1200, 2400, 4800, 9600}));
}

void AddPolledChannelOptions(CLI::App& command, Settings& s) {
  command.add_option("--channel", s.channel, "Main channel (0-5)")->check(CLI::Range(0, 5));
  command.add_option("--sub", s.subChannel, "Sub-channel (0-15)")->check(CLI::Range(0, 15));
}

int ChannelCount(const std::array<uint8_t, 6>& codes) {
  int count = 0;
  for (uint8_t code : codes)
    if (code != 16 && (code >> 4) <= (code & 0xF)) count += (code & 0xF) - (code >> 4) + 1;
  return count;
}

std::vector<std::string> ChannelLabels(const Settings& s) {
  std::vector<std::string> labels;
  for (int slot = 0; slot < 6; ++slot) {
    const uint8_t code = s.codes[slot];
    if (code == 16) continue;
    for (int c = code >> 4; c <= (code & 0xF); ++c) labels.push_back(std::to_string(slot) + "-" + std::to_string(c));
  }
  if (s.scanType == 2) {
    labels.push_back("offset");
    labels.push_back("fullscale");
  }
  return labels;
}

std::array<uint8_t, 6> ParseCodes(const std::string& text) {
  const auto fields = Split(text, ',');
  if (fields.size() > 6) throw Failure("--codes: at most six channel codes, one per main channel", 2);
  std::array<uint8_t, 6> codes{{16, 16, 16, 16, 16, 16}};
  for (size_t i = 0; i < fields.size(); ++i) {
    const std::string what = "--codes, main channel " + std::to_string(i);
    if (Trim(fields[i]).empty()) continue;
    const auto code = static_cast<uint8_t>(ParseUnsigned(fields[i], 255, what));
    if (code != 16 && (code >> 4) > (code & 0xF)) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", code);
      throw Failure(what + ": code " + hex + " has its first sub-channel (high nibble) after its last (low "
                    "nibble); use 16 for a main channel that is not scanned", 2);
    }
    codes[i] = code;
  }
  if (ChannelCount(codes) == 0) throw Failure("--codes: no channel selected (every code is 16)", 2);
  return codes;
}

Session::Session(const ConnectionOptions& options) {
  InstallMessageBoxHandler();
  if (options.sim) {
    q583sim::Options simOptions;
    if (!options.simDigin.empty())
      simOptions.digitalInput = static_cast<uint8_t>(ParseUnsigned(options.simDigin, 255, "--sim-digin"));
    std::vector<InputSignal> inputs;
    for (const auto& spec : options.simSignals.empty() ? DefaultSignals() : options.simSignals)
      inputs.push_back(ParseSignal(spec));
    try {
      sim_ = std::make_unique<q583sim::Simulator>(simOptions);
    } catch (const std::exception& e) {
      throw Failure(std::string("the simulator did not start: ") + e.what());
    }
    for (const auto& input : inputs) sim_->SetInput(input.main, input.sub, input.signal);
    portName_ = "the simulator (" + sim_->DevicePath() + ")";
    device_ = sim_->DevicePath();
    EX_SetCOMportDevice(0, device_.c_str());
  } else if (!options.port.empty()) {
    const std::string path = options.port == "auto" ? FindInstrument() : options.port;
    CheckPort(path);
    portName_ = path;
    device_ = path;
    EX_SetCOMportDevice(0, device_.c_str());
  } else {
    throw Failure("no instrument given: use --port DEVICE (e.g. --port /dev/ttyUSB0) or --sim", 2);
  }
  EX_SetCOMport(0);
  // Before the work directory: a relative FILE is the caller's.
  if (!options.wireTrace.empty()) {
    if (!EX_SetWireTrace(options.wireTrace.c_str()))
      throw Failure("cannot write the wire trace " + options.wireTrace);
    wireTrace_ = true;
  }

  if (!options.workDir.empty()) {
    std::error_code ec;
    fs::create_directories(options.workDir, ec);
    if (ec) throw Failure("cannot create the directory " + options.workDir + ": " + ec.message());
    fs::current_path(options.workDir, ec);
    if (ec) throw Failure("cannot work in " + options.workDir + ": " + ec.message());
  }
  if (options.debugLogs) {
    debugLogs_ = true;
    if (!EX_DoVexDbgNew(1)) throw Failure("cannot create the debug log VexNewDbg.txt in " + fs::current_path().string());
    EX_DoScanDebug(1);
    EX_DoDebugNorm(1);
  }
}

Session::~Session() {
  if (wireTrace_) EX_SetWireTrace(nullptr);
  if (debugLogs_) {
    EX_DoVexDbgNew(0);
    EX_DoScanDebug(0);
  }
}

void Session::Configure(const Settings& s) { ConfigureLibrary(s); }

void Session::MapPort(uint8_t comPort) { EX_SetCOMportDevice(comPort, device_.c_str()); }

void ConfigureLibrary(const Settings& s) {
  {
    TempDir dir("q583-config-");
    const fs::path file = dir.Path() / "Q583_SP.ini";
    std::ofstream(file) << IniText(s);
    EX_SetIniDirectory(dir.Path().c_str());
    const bool loaded = EX_SetDevToIniSetup() != 0;
    EX_SetIniDirectory(nullptr);
    if (!loaded) throw Failure("the library did not take the settings (configuration load failed)");
  }
  EX_SetCOMport(0);
  if (s.gain && !EX_SetGain(static_cast<uint8_t>(*s.gain))) throw Failure("gain " + std::to_string(*s.gain) + " refused", 2);
  if (s.filterHz) EX_SetFilter(static_cast<uint8_t>(FilterIndex(*s.filterHz)));
  if (s.rate && !EX_SetRate(*s.rate)) throw Failure("rate " + std::to_string(*s.rate) + " refused", 2);
  if (s.average && !EX_SetRemoteAverage(static_cast<uint16_t>(*s.average)))
    throw Failure("averaging " + std::to_string(*s.average) + " refused", 2);
  if (s.polarity) EX_SetPolarity(*s.polarity == "unipolar" ? 0 : 1);
  EX_SetScanType(static_cast<uint8_t>(s.scanType));
  EX_SetDataLogOptions(s.logFlags, s.logSizeLimit, 0);
}

void Session::SignOn() {
  if (!EX_InitDev()) throw Failure("no sign-on: the instrument on " + portName_ + " is not answering");
}

}  // namespace q583cli
