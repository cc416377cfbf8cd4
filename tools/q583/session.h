// The connection every subcommand opens: a real port (--port) or the
// simulated instrument started in this process (--sim), the debug logs, and
// the settings that reach the instrument at its sign-on.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace q583sim {
class Simulator;
}

namespace q583cli {

struct ConnectionOptions {
  std::string port;                    // device path of the instrument's port
  bool sim = false;                    // use the built-in simulator instead
  std::vector<std::string> simSignals; // CH=KIND[,A[,B[,PERIOD]]]
  std::string simDigin;                // digital input byte of the simulator
  bool debugLogs = false;              // the library's three debug logs
  std::string wireTrace;               // file of the library's wire trace
  std::string workDir;                 // where logs are written (the current directory)
};

void AddConnectionOptions(CLI::App& command, ConnectionOptions& options);

// Instrument settings.  Unset optionals keep the library's defaults.
struct Settings {
  std::optional<int> gain;          // 1 ... 128
  std::optional<int> filterHz;      // 4, 40, 400
  std::optional<double> rate;       // conversions per second
  std::optional<int> average;       // remote averaging, 1 ... 32768
  std::optional<std::string> polarity;  // "bipolar" or "unipolar"
  std::optional<int> wordBits;      // 16 or 24
  std::optional<int> baud;          // 300 ... 9600
  int scanType = 1;                 // 0 single channel, 1 multi, 2 multi + offset/full scale
  std::array<uint8_t, 6> codes{{0x00, 16, 16, 16, 16, 16}};
  int channel = 0;                  // polled-mode channel (single conversions,
  int subChannel = 0;               // calibrations, single-channel scans)
  uint32_t logFlags = 1 | 2;        // file and memory
  uint32_t logSizeLimit = 0;
};

// Option checks whose messages name no bound the user did not give: a
// finite number above 0 (CLI11's PositiveNumber prints its upper bound,
// about 1.8e308, in full), and a text of at most `characters`.
CLI::Validator AboveZero();
CLI::Validator AtMostCharacters(size_t characters);

// Options that set the converter (gain, filter, rate, averaging, polarity,
// word size, baud rate).
void AddConverterOptions(CLI::App& command, Settings& settings);
// --channel and --sub, the polled-mode channel.
void AddPolledChannelOptions(CLI::App& command, Settings& settings);

// Values of one scan in the order the library hands them over, named as
// the scan log names them ("0 - 1"), plus "offset" and "fullscale".
std::vector<std::string> ChannelLabels(const Settings& settings);
// Number of converted channels the codes select.
int ChannelCount(const std::array<uint8_t, 6>& codes);
// Parses "0x00,0x00,16" (missing codes are 16); throws Failure.
std::array<uint8_t, 6> ParseCodes(const std::string& text);

class Session {
 public:
  // Maps the port (or starts the simulator), moves into the work directory,
  // opens the debug logs.  Throws Failure when the port cannot be used.
  explicit Session(const ConnectionOptions& options);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // What the port is, for messages ("/dev/ttyUSB0", "the simulator").
  const std::string& PortName() const { return portName_; }
  q583sim::Simulator* Sim() { return sim_.get(); }

  // Puts the settings into the library's device record: through a
  // configuration file written to a private directory (the word size, baud
  // rate, channel codes and polled channel have no setter of their own),
  // then through the setters.  Nothing is sent to the instrument.
  void Configure(const Settings& settings);
  // Maps the device to another port number (after a configuration file set
  // the library's COM port).
  void MapPort(uint8_t comPort);

  // Signs the instrument on (EX_InitDev); throws Failure naming the port
  // when it does not answer.
  void SignOn();

 private:
  std::unique_ptr<q583sim::Simulator> sim_;
  std::string portName_;
  std::string device_;
  bool debugLogs_ = false;
  bool wireTrace_ = false;
};

// The settings as Session::Configure puts them, for commands that need no
// instrument.
void ConfigureLibrary(const Settings& settings);

// Message boxes of the library go through this handler: OK-only boxes are
// recorded and printed on standard error; OK/Cancel boxes (the scan log
// that cannot be created) are answered Cancel so that the command fails
// instead of running without the file it was asked for.
void InstallMessageBoxHandler();
// Texts of the boxes shown since the last call (and forgets them).
std::vector<std::string> TakeMessageBoxes();
// Quiet mode: boxes are recorded but not printed (the setup report).
void SetMessageBoxesQuiet(bool quiet);
// The setup report as the library builds it, taken from its message box.
std::string SetupReport();

}  // namespace q583cli
