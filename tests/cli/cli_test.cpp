// The q583 host program seen from outside: each test runs the built binary
// in a fresh temporary directory and looks at its exit status, its output
// and the files it leaves.  Instruments are the program's own simulator
// (--sim) or pseudo-terminals the test holds itself.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "q583sim/simulator.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Result {
  int exitCode = -1;  // -1 when ended by a signal
  std::string out, err;
};

std::string Slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> Fields(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, separator)) fields.push_back(field);
  return fields;
}

// The data rows of a scan log: the values after the time column.
struct LogFile {
  std::vector<std::string> header;
  std::vector<std::vector<double>> rows;
  int trailers = 0;
  std::string text;
};

LogFile ReadLog(const fs::path& path) {
  LogFile log;
  log.text = Slurp(path);
  const auto lines = Lines(log.text);
  if (lines.empty()) return log;
  log.header = Fields(lines[0], '\t');
  size_t i = 1;
  for (; i < lines.size() && !lines[i].empty(); ++i) {
    const auto fields = Fields(lines[i], '\t');
    std::vector<double> row;
    for (size_t f = 1; f < fields.size(); ++f) row.push_back(std::stod(fields[f]));
    log.rows.push_back(row);
  }
  for (; i < lines.size(); ++i)
    if (lines[i].rfind("Experiment Description:", 0) == 0) ++log.trailers;
  return log;
}

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    old_ = fs::current_path();
    std::string pattern = (fs::temp_directory_path() / "q583-cli-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    fs::current_path(dir_);
  }
  void TearDown() override {
    fs::current_path(old_);
    std::error_code ec;
    if (!std::getenv("Q583_KEEP_TEST_DIRS")) fs::remove_all(dir_, ec);
  }

  // Starts q583 with stdout and stderr going to files; stdin is empty.
  // Standard output goes instead to the descriptor `outFd` or the file
  // `outFile` when one is given.
  pid_t Start(const std::vector<std::string>& args, int outFd = -1, const char* outFile = nullptr) {
    const int n = ++runs_;
    outPath_ = dir_ / ("stdout" + std::to_string(n) + ".txt");
    errPath_ = dir_ / ("stderr" + std::to_string(n) + ".txt");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0)
      posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    else
      posix_spawn_file_actions_addopen(&actions, 1, outFile ? outFile : outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                       0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{Q583_CLI_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, Q583_CLI_PATH, &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << "cannot start " << Q583_CLI_PATH;
    return error == 0 ? pid : -1;
  }

  // Waits for the program to end (killing it after `timeoutS`).
  Result Finish(pid_t pid, int timeoutS = 90) {
    Result result;
    if (pid < 0) return result;
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
    for (;;) {
      const pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) break;
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "q583 did not end within " << timeoutS << " s";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.out = Slurp(outPath_);
    result.err = Slurp(errPath_);
    return result;
  }

  Result Run(const std::vector<std::string>& args, int timeoutS = 90) { return Finish(Start(args), timeoutS); }

  const fs::path& Dir() const { return dir_; }
  std::vector<std::string> ScanLogs() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(dir_))
      if (entry.path().filename().string().rfind("ScanLog_", 0) == 0) names.push_back(entry.path().string());
    return names;
  }

 private:
  fs::path old_, dir_, outPath_, errPath_;
  int runs_ = 0;
};

// A pseudo-terminal held by the test: a port where nothing answers.
class QuietPort {
 public:
  QuietPort() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0) path_ = ptsname(master_);
  }
  ~QuietPort() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }
  const std::string& Path() const { return path_; }
  // Opens the slave side and locks it as a program using the port does.
  bool Hold() {
    slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
    return slave_ >= 0 && flock(slave_, LOCK_EX | LOCK_NB) == 0;
  }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

// ---------------------------------------------------------------------------

TEST_F(CliTest, EverySubcommandHasHelp) {
  for (const std::string command :
       {"scan", "convert", "digin", "digout", "calibrate", "standby", "sleep", "reset", "info", "plot", "selftest"}) {
    const Result r = Run({command, "--help"});
    EXPECT_EQ(r.exitCode, 0) << command;
    EXPECT_NE(r.out.find("Usage:"), std::string::npos) << command;
  }
  for (const std::string command : {"load", "save"}) {
    const Result r = Run({"config", command, "--help"});
    EXPECT_EQ(r.exitCode, 0) << command;
    EXPECT_NE(r.out.find("--dir"), std::string::npos) << command;
  }
  const Result scan = Run({"scan", "--help"});
  for (const char* option : {"--port", "--sim", "--sim-signal", "--debug-logs", "--wire-trace", "--codes", "--interval",
                             "--seconds", "--ms", "--word-size", "--comment", "--description", "--digin", "--output"})
    EXPECT_NE(scan.out.find(option), std::string::npos) << option;
  // Scripts need the exit status of an interrupted run and of one that lost
  // scans, and that -o overwrites (the help is wrapped to the terminal).
  std::string help = scan.out;
  std::replace(help.begin(), help.end(), '\n', ' ');
  for (const char* text : {"Exit status", "130 Ctrl-C (SIGINT)", "141", "-o overwrites FILE", "3 the run lost scans"})
    EXPECT_NE(help.find(text), std::string::npos) << text;
  help = Run({"selftest", "--help"}).out;
  std::replace(help.begin(), help.end(), '\n', ' ');
  for (const char* text : {"What it sends:", "0 every line ok; 4 a line warns; 5 a line fails", "--yes", "--json"})
    EXPECT_NE(help.find(text), std::string::npos) << text;
}

TEST_F(CliTest, TimedScanWritesItsRowsToTheLogTheCsvAndStandardOutput) {
  const Result r = Run({"scan", "--sim", "--codes", "0,0,0,0,16,16", "--interval", "0.5", "--seconds", "3", "-o",
                        "out.csv", "--description", "timed run test"});
  ASSERT_EQ(r.exitCode, 0) << r.err;

  const LogFile log = ReadLog(Dir() / "ScanLog_0.txt");
  ASSERT_EQ(log.header.size(), 5u);  // time and four channels
  EXPECT_EQ(log.header[1], "0 - 0    ");
  EXPECT_EQ(log.header[4], "3 - 0    ");
  // 3 s (plus the timer's 100 ms) of scans every 0.49997 s.
  EXPECT_GE(log.rows.size(), 5u);
  EXPECT_LE(log.rows.size(), 7u);
  EXPECT_GE(log.trailers, 1);
  EXPECT_NE(log.text.find("Experiment Description:  \ttimed run test"), std::string::npos);

  // The CSV holds the same scans with the same values, each with its number
  // and the receive time of its frame, one interval after the one before.
  const auto csv = Lines(Slurp(Dir() / "out.csv"));
  ASSERT_EQ(csv.size(), log.rows.size() + 1);
  EXPECT_EQ(csv[0], "scan,time_s,0-0,1-0,2-0,3-0");
  double received = -1.0;
  for (size_t i = 0; i < log.rows.size(); ++i) {
    const auto fields = Fields(csv[i + 1], ',');
    ASSERT_EQ(fields.size(), 6u) << csv[i + 1];
    EXPECT_EQ(std::stoul(fields[0]), i);
    const double time = std::stod(fields[1]);
    if (i > 0) {
      EXPECT_NEAR(time - received, 0.5, 0.1) << "row " << i;
    }
    received = time;
    for (size_t c = 0; c < 4; ++c) EXPECT_NEAR(std::stod(fields[c + 2]), log.rows[i][c], 1e-9) << "row " << i;
  }

  // The default simulated inputs: a 2 V sine, a ramp from -2 V, 1.25 V, and
  // noise of 0.1 V.
  for (const auto& row : log.rows) {
    EXPECT_LE(std::fabs(row[0]), 2.001);
    EXPECT_NEAR(row[2], 1.25, 0.001);
    EXPECT_LE(std::fabs(row[3]), 0.101);
  }
  // The ramp rises 4 V in 5 s, 0.4 V a scan, and falls back by 4 V once a period.
  for (size_t i = 1; i < log.rows.size(); ++i) {
    const double rise = log.rows[i][1] - log.rows[i - 1][1];
    EXPECT_NEAR(rise < 0 ? rise + 4.0 : rise, 0.4, 0.01) << "row " << i;
  }

  // Standard output is no terminal: one plain line per scan.
  const auto plain = Lines(r.out);
  ASSERT_EQ(plain.size(), log.rows.size());
  EXPECT_EQ(Fields(plain[0], '\t').size(), 6u);
  EXPECT_NE(r.err.find("timed run over"), std::string::npos) << r.err;
}

TEST_F(CliTest, CtrlCEndsTheScanWithTheTrailerWritten) {
  const pid_t pid = Start({"scan", "--sim", "--codes", "0,0", "--sim-signal", "1=constant,-0.75", "-o", "run.tsv"});
  ASSERT_GT(pid, 0);
  // Wait for a few scans in the log, then interrupt.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadLog(Dir() / "ScanLog_0.txt").rows.size() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_GE(ReadLog(Dir() / "ScanLog_0.txt").rows.size(), 3u) << "no scans arrived";
  ASSERT_EQ(kill(pid, SIGINT), 0);
  const Result r = Finish(pid, 30);
  // Ended in order, and told apart from a finished run.
  EXPECT_EQ(r.exitCode, 130) << r.err;
  EXPECT_NE(r.err.find("(stopped)"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("q583: interrupted (SIGINT); the scan was stopped\n"), std::string::npos) << r.err;

  const LogFile log = ReadLog(Dir() / "ScanLog_0.txt");
  EXPECT_GE(log.trailers, 1) << log.text;
  EXPECT_NE(log.text.find("Finished:"), std::string::npos);
  const auto tsv = Lines(Slurp(Dir() / "run.tsv"));
  ASSERT_EQ(tsv.size(), log.rows.size() + 1);
  EXPECT_EQ(tsv[0], "scan\ttime_s\t0-0\t1-0");
  for (size_t i = 1; i < tsv.size(); ++i) EXPECT_NEAR(std::stod(Fields(tsv[i], '\t')[3]), -0.75, 0.001);
}

// Outputs that go away during an unlimited run: each must end it in order,
// with the scan log's trailer written and the cause named, instead of
// killing the program (a closed pipe) or running on with holes in the
// table (a full device).
TEST_F(CliTest, AFailedOutputStopsTheRunInOrder) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);
  const pid_t pid = Start({"scan", "--sim", "--codes", "0", "--log-dir", "pipe"}, ends[1]);
  close(ends[1]);
  // Read two rows, as `| head -2` does, then go away.
  std::string text;
  char buffer[256];
  pollfd fd{ends[0], POLLIN, 0};
  while (std::count(text.begin(), text.end(), '\n') < 2 && poll(&fd, 1, 30000) > 0) {
    const ssize_t n = read(ends[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(ends[0]);
  ASSERT_GE(std::count(text.begin(), text.end(), '\n'), 2) << text;
  Result r = Finish(pid, 30);
  EXPECT_EQ(r.exitCode, 141) << r.err;
  EXPECT_NE(r.err.find("q583: standard output was closed (SIGPIPE); the scan was stopped\n"), std::string::npos)
      << r.err;
  LogFile log = ReadLog(Dir() / "pipe" / "ScanLog_0.txt");
  EXPECT_GE(log.rows.size(), 2u);
  EXPECT_NE(log.text.find("Finished:"), std::string::npos) << log.text;

  r = Finish(Start({"scan", "--sim", "--codes", "0", "--log-dir", "full"}, -1, "/dev/full"), 30);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("q583: writing standard output failed: No space left on device; the scan was stopped\n"),
            std::string::npos)
      << r.err;
  log = ReadLog(Dir() / "full" / "ScanLog_0.txt");
  EXPECT_NE(log.text.find("Finished:"), std::string::npos) << log.text;
}

// An output that cannot be written is found before the sign-on: nothing
// reaches the instrument and no scan log is left.
// A scan log that stops taking rows (a full disk; here a file-size limit)
// stops the run in order, and the run fails naming the scan log.
TEST_F(CliTest, AScanLogThatCannotBeWrittenStopsTheRun) {
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const rlimit small{1024, old.rlim_max};
  const auto oldHandler = signal(SIGXFSZ, SIG_IGN);  // inherited: the write fails instead
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const pid_t pid = Start({"scan", "--sim", "--codes", "0,0,0,0,16,16", "--seconds", "60", "-q"});
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  const Result r = Finish(pid);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("writing the scan log " + (Dir() / "ScanLog_0.txt").string() + " failed"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("(stopped: an output failed)"), std::string::npos) << r.err;
}

TEST_F(CliTest, UnwritableOutputsFailBeforeTheSignOn) {
  for (const std::vector<std::string>& output :
       {std::vector<std::string>{"-o", "/nonexistent/x.csv"}, {"-o", "/dev/full"}, {"--log-dir", "/proc/self"},
        {"--wire-trace", "/nonexistent/x.trace"}}) {
    std::vector<std::string> args{"scan", "--sim", "--seconds", "3"};
    args.insert(args.end(), output.begin(), output.end());
    const Result r = Run(args);
    EXPECT_EQ(r.exitCode, 1) << output[1] << ": " << r.err;
    const auto lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;  // no "signing on"
    EXPECT_EQ(lines[0].rfind("q583: cannot ", 0), 0u) << lines[0];
    EXPECT_TRUE(ScanLogs().empty()) << output[1];
  }
  EXPECT_NE(Run({"scan", "--sim", "--seconds", "3", "-o", "/dev/full"}).err.find("No space left on device"),
            std::string::npos);
}

// The library's millisecond timer ends a run 2^31 ms or more ahead at once;
// such lengths are refused before the sign-on, and the longest one taken
// runs.  A length of 0 sets no limit.
TEST_F(CliTest, RunLengthsPastTheLibraryTimerAreRefused) {
  for (const std::vector<std::string>& length :
       {std::vector<std::string>{"--seconds", "2200000"}, {"--ms", "2147483648"}, {"--seconds", "4000000"}}) {
    const Result r = Run({"scan", "--sim", length[0], length[1]});
    EXPECT_EQ(r.exitCode, 2) << length[1] << ": " << r.err;
    EXPECT_NE(r.err.find("the longest run the library can time"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("signing on"), std::string::npos) << r.err;
  }
  EXPECT_TRUE(ScanLogs().empty());
  // 0 is no time limit, in seconds as in milliseconds.
  for (const char* length : {"--seconds", "--ms"}) {
    const Result r = Run({"scan", "--sim", "--codes", "0", length, "0", "--scans", "2", "--no-log-file", "--quiet"});
    EXPECT_EQ(r.exitCode, 0) << length << ": " << r.err;
  }

  const pid_t pid = Start({"scan", "--sim", "--codes", "0", "--seconds", "2000000", "--quiet"});
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (ReadLog(Dir() / "ScanLog_0.txt").rows.size() < 10 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_EQ(kill(pid, SIGINT), 0);
  const Result r = Finish(pid, 30);
  EXPECT_EQ(r.exitCode, 130) << "the run did not last until interrupted: " << r.err;
  EXPECT_GE(ReadLog(Dir() / "ScanLog_0.txt").rows.size(), 10u);
}

TEST_F(CliTest, MissingPortIsNamedAndFails) {
  const std::string port = (Dir() / "ttyUSB-none").string();
  for (const std::string command : {"digin", "scan", "info"}) {
    const Result r = Run({command, "--port", port});
    EXPECT_NE(r.exitCode, 0) << command;
    const auto lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 1u) << r.err;
    EXPECT_EQ(lines[0], "q583: port " + port + " missing: No such file or directory");
  }
  EXPECT_EQ(Run({"digin", "--port", "/dev/null"}).err, "q583: port /dev/null is not a serial port\n");
}

// Scans lost at a frame fault are named with their numbers and cause, the
// summary counts them, and the run's status tells it from a whole one.
TEST_F(CliTest, LostScansAreNamedAndGiveTheirOwnStatus) {
  q583sim::Simulator sim;
  sim.AddFrameFault({q583sim::FrameFaultKind::WrongMarker, 5});
  const Result r = Run({"scan", "--port", sim.DevicePath(), "--seconds", "5", "-q", "-o", "out.csv"});
  EXPECT_EQ(r.exitCode, 3) << r.err;
  EXPECT_NE(r.err.find("lost at 5"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(": a frame fault ended the run\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("5 written, "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" lost (frame fault); a frame fault"), std::string::npos) << r.err;
  const auto csv = Lines(Slurp(Dir() / "out.csv"));
  ASSERT_EQ(csv.size(), 6u);
  for (size_t i = 1; i < csv.size(); ++i) EXPECT_EQ(std::stoul(Fields(csv[i], ',')[0]), i - 1);
}

TEST_F(CliTest, BusyPortIsNamedAndFails) {
  QuietPort port;
  ASSERT_FALSE(port.Path().empty());
  ASSERT_TRUE(port.Hold());
  const Result r = Run({"digin", "--port", port.Path()});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.err, "q583: port " + port.Path() + " busy: another program has it open\n");
}

TEST_F(CliTest, SilentInstrumentGivesNoSignOn) {
  QuietPort port;
  ASSERT_FALSE(port.Path().empty());
  const Result r = Run({"convert", "--port", port.Path()});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_EQ(r.err, "q583: no sign-on: the instrument on " + port.Path() + " is not answering\n");
  EXPECT_TRUE(r.out.empty());
}

TEST_F(CliTest, UsageErrorsFailBeforeTouchingAPort) {
  Result r = Run({"digin"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("--port DEVICE"), std::string::npos) << r.err;
  r = Run({"scan", "--sim", "--codes", "0x52"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("0x52"), std::string::npos) << r.err;
  r = Run({"scan", "--sim", "--codes", "0,0,0,0", "--interval", "0.1"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("outside the limits"), std::string::npos) << r.err;
  r = Run({"scan", "--sim", "--gain", "3"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("--gain"), std::string::npos) << r.err;
  r = Run({"scan", "--port", "/dev/null", "--sim"});
  EXPECT_EQ(r.exitCode, 2);
  r = Run({"scan", "--sim", "--sim-signal", "9=sine"});
  EXPECT_EQ(r.exitCode, 2);
  r = Run({"scan", "--sim", "--rate", "0"});  // no bound of 1.8e308 written out
  EXPECT_EQ(r.err.rfind("--rate: must be above 0, not 0\n", 0), 0u) << r.err;
  // Refused at once, not after a sign-on that the silent port never answers.
  QuietPort port;
  r = Run({"scan", "--port", port.Path(), "--description", std::string(512, 'x')});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err.rfind("--description: at most 511 characters", 0), 0u) << r.err;
  EXPECT_FALSE(fs::exists(Dir() / "ScanLog_0.txt"));
  // The self-test writes to a real port only when told to.
  r = Run({"selftest", "--port", port.Path()});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("give --yes"), std::string::npos) << r.err;
}

TEST_F(CliTest, ConvertPrintsVoltsOfTheChannel) {
  const Result r =
      Run({"convert", "--sim", "--sim-signal", "1.2=constant,1.5", "--channel", "1", "--sub", "2", "--count", "3"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 3u) << r.out;
  for (const auto& line : lines) EXPECT_NEAR(std::stod(line), 1.5, 0.001) << line;
}

TEST_F(CliTest, SixteenBitWordsScanTheSameVolts) {
  const Result r = Run({"scan", "--sim", "--word-size", "16", "--sim-signal", "0=constant,-3.2", "--codes", "0",
                        "--scans", "3", "--no-log-file", "-o", "-", "--format", "tsv"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const auto lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0], "scan\ttime_s\t0-0");
  // One count of a 16-bit word is 10 V / 65536, about 0.15 mV.
  for (size_t i = 1; i < lines.size(); ++i) EXPECT_NEAR(std::stod(Fields(lines[i], '\t')[2]), -3.2, 0.0005);
  EXPECT_FALSE(fs::exists(Dir() / "ScanLog_0.txt"));
}

TEST_F(CliTest, DigitalInputsAndOutputs) {
  Result r = Run({"digin", "--sim", "--sim-digin", "0xA5"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "165 0xA5 10100101\n");
  r = Run({"digout", "--sim", "0x3c"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "digital outputs set to 60 (0x3C)\n");
  r = Run({"digout", "--sim", "256"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("256"), std::string::npos);
}

TEST_F(CliTest, InfoPrintsVersionModelAndSetupReport) {
  const Result r = Run({"info", "--sim"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("firmware version: 100\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("model code: -1\n"), std::string::npos);
  EXPECT_NE(r.out.find("TXQUEUESIZE: 16\n"), std::string::npos);
  EXPECT_NE(r.out.find("version (valid after a signon): 100\n"), std::string::npos);
  EXPECT_NE(r.out.find("baud: 0  (9600)\n"), std::string::npos);
}

// The verdict of a check of q583 selftest ("ok", "warn", "fail"), from the
// line that names it.
std::string SelftestVerdict(const std::string& out, const std::string& check) {
  for (const std::string& line : Lines(out))
    if (line.size() > 6 && line.compare(6, check.size() + 1, check + " ") == 0) return line.substr(0, line.find(' '));
  return "(no line " + check + ")";
}

// Each fault of a set-up gives its own verdict; the clean one passes.
TEST_F(CliTest, SelftestPassesACleanSetUp) {
  q583sim::Simulator sim;
  const Result r = Run({"selftest", "--port", sim.DevicePath(), "--yes", "--seconds", "12"});
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
  for (const char* check : {"sign-on", "round trip", "run", "frame delay", "clock drift", "low latency",
                            "receive queue", "debug logs"})
    EXPECT_EQ(SelftestVerdict(r.out, check), "ok") << check << "\n" << r.out;
  // The library's own words: its sign-on attempts and the low-latency outcome.
  EXPECT_NE(r.out.find(", 0 retries; firmware version 100"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("low-latency request: refused"), std::string::npos) << r.out;
}

TEST_F(CliTest, SelftestNamesAnAdaptersLatencyTimer) {
  q583sim::Simulator sim;
  sim.SetLatencyTimer(16);
  const Result r = Run({"selftest", "--port", sim.DevicePath(), "--yes", "--seconds", "12"});
  EXPECT_EQ(r.exitCode, 4) << r.out << r.err;
  EXPECT_EQ(SelftestVerdict(r.out, "round trip"), "warn") << r.out;
  EXPECT_EQ(SelftestVerdict(r.out, "run"), "ok") << r.out;
  EXPECT_NE(r.out.find("/latency_timer"), std::string::npos) << r.out;
}

TEST_F(CliTest, SelftestMeasuresAScanClockOff) {
  q583sim::Simulator sim;
  sim.SetClockPpm(500);
  const Result r = Run({"selftest", "--port", sim.DevicePath(), "--yes", "--seconds", "12", "--json", "--debug-logs",
                        "--log-dir", "logs"});
  EXPECT_EQ(r.exitCode, 4) << r.out << r.err;
  EXPECT_NE(r.out.find("{\"check\": \"clock drift\", \"verdict\": \"warn\", \"text\": \"the instrument's scan clock "
                       "runs "),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(" ppm fast "), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("{\"check\": \"run\", \"verdict\": \"ok\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"retries\": 0,"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\"text\": \"on, in " + fs::canonical(Dir() / "logs").string()), std::string::npos) << r.out;
}

TEST_F(CliTest, SelftestFailsARunThatLosesFrames) {
  q583sim::Simulator sim;
  sim.AddFrameFault({q583sim::FrameFaultKind::DropByte, 40});
  sim.SetWrongBaudEcho(1);  // and a sign-on that needs a second attempt
  const Result r = Run({"selftest", "--port", sim.DevicePath(), "--yes", "--seconds", "12"});
  EXPECT_EQ(r.exitCode, 5) << r.out << r.err;
  EXPECT_EQ(SelftestVerdict(r.out, "sign-on"), "warn") << r.out;
  EXPECT_NE(r.out.find(", 1 retries;"), std::string::npos) << r.out;
  EXPECT_EQ(SelftestVerdict(r.out, "run"), "fail") << r.out;
  EXPECT_NE(r.out.find("frame fault"), std::string::npos) << r.out;
}

TEST_F(CliTest, ConfigSaveThenLoadKeepsTheSettings) {
  Result r = Run({"config", "save", "--dir", "cfg", "--gain", "4", "--word-size", "16", "--codes", "0x01,16,0x22",
                  "--polarity", "unipolar"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string ini = Slurp(Dir() / "cfg" / "Q583_SP.ini");
  EXPECT_NE(ini.find("gain=4"), std::string::npos) << ini;
  EXPECT_NE(ini.find("wordCnt=2"), std::string::npos) << ini;

  r = Run({"config", "load", "--dir", "cfg", "--sim"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_NE(r.out.find("signed on"), std::string::npos) << r.out;
  for (const char* line : {"gain: 4\n", "wordCnt: 2\n", "biPolar: 0\n", "numChannels: 3\n", "Q583.chan[0]: 0x1\n",
                           "Q583.chan[2]: 0x22\n"})
    EXPECT_NE(r.out.find(line), std::string::npos) << line << "\n" << r.out;

  // The system's file only when asked for, and named.
  r = Run({"config", "save", "--gain", "4"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("or --system to write /etc/Q583_SP.ini"), std::string::npos) << r.err;

  r = Run({"config", "load", "--dir", "nowhere"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("Q583_SP.ini not found"), std::string::npos) << r.err;
}

TEST_F(CliTest, InstrumentCommandsRunAgainstTheSimulator) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"calibrate", "system", "--sim"}, {"calibrate", "offset", "--sim", "--channel", "2"},
        {"standby", "on", "--sim"}, {"sleep", "--sim"}, {"reset", "--sim"}}) {
    const Result r = Run(args);
    EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
    EXPECT_FALSE(r.out.empty()) << args[0];
  }
}

TEST_F(CliTest, DebugLogsAreWrittenToTheLogDirectory) {
  const Result r = Run({"scan", "--sim", "--debug-logs", "--log-dir", "logs", "--scans", "2", "--quiet"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  for (const char* name : {"VexNewDbg.txt", "ScanOut.txt", "583_debug.txt", "ScanLog_0.txt"})
    EXPECT_TRUE(fs::exists(Dir() / "logs" / name)) << name;
  EXPECT_NE(Slurp(Dir() / "logs" / "VexNewDbg.txt").find("This log file created:"), std::string::npos);
}

// ---- plot ---------------------------------------------------------------------

struct PngSize {
  uint32_t width = 0, height = 0;
};

// Width and height from the IHDR chunk, which must come first.
bool ReadPngSize(const fs::path& path, PngSize& size) {
  const std::string bytes = Slurp(path);
  static const char kSignature[] = "\x89PNG\r\n\x1a\n";
  if (bytes.size() < 24 || bytes.compare(0, 8, kSignature, 8) != 0 || bytes.compare(12, 4, "IHDR") != 0) return false;
  auto be32 = [&bytes](size_t at) {
    return (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at])) << 24) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 2])) << 8) |
           static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 3]));
  };
  size.width = be32(16);
  size.height = be32(20);
  return true;
}

void WriteSampleLog(const fs::path& path, const std::string& description) {
  std::ofstream out(path);
  out << "Time / s   \t0 - 0    \t0 - 1    \t2 - 0    \t\n";
  for (int i = 0; i < 40; ++i) {
    char line[160];
    const double t = i * 0.25;
    std::snprintf(line, sizeof line, "%07.1lf   \t% 2.7lf\t% 2.7lf\t% 2.7lf\tnote\n", t, 2 * std::sin(t), t / 5 - 1,
                  1.25);
    out << line;
  }
  const char* trailer =
      "\nMinimal System Interval:\t0.12595\nApplied Interval:        \t0.24986\nSubcycles averaged:      \t40\n"
      "Started:                 \tMon Jan  5 10:00:00 2026\nFinished:                \tMon Jan  5 10:00:10 2026\n";
  out << trailer << "Experiment Description:  \t" << description << "\n";
}

TEST_F(CliTest, PlotWritesAPngOfTheRequestedSize) {
  WriteSampleLog(Dir() / "ScanLog_3.txt", "Bench 'A' run");
  Result r = Run({"plot", "ScanLog_3.txt", "-o", "plot.png"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  PngSize size;
  ASSERT_TRUE(ReadPngSize(Dir() / "plot.png", size));
  EXPECT_EQ(size.width, 1200u);
  EXPECT_EQ(size.height, 700u);
  EXPECT_GT(fs::file_size(Dir() / "plot.png"), 10000u);  // lines, labels and a title, not a blank image
  EXPECT_NE(r.out.find("40 scans of 3 channels"), std::string::npos) << r.out;

  r = Run({"plot", "ScanLog_3.txt", "-o", "small.png", "--size", "640x400"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  ASSERT_TRUE(ReadPngSize(Dir() / "small.png", size));
  EXPECT_EQ(size.width, 640u);
  EXPECT_EQ(size.height, 400u);
  if (const char* keep = std::getenv("Q583_PLOT_SAMPLE")) fs::copy_file(Dir() / "plot.png", keep,
                                                                         fs::copy_options::overwrite_existing);
}

TEST_F(CliTest, PlotRefusesWhatIsNoScanLogAndNamesAMissingGnuplot) {
  std::ofstream(Dir() / "notes.txt") << "hello\n";
  Result r = Run({"plot", "notes.txt", "-o", "x.png"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("is not a scan log"), std::string::npos) << r.err;
  EXPECT_FALSE(fs::exists(Dir() / "x.png"));

  std::ofstream(Dir() / "ScanLog_1.txt") << "Time / s   \t0 - 0    \t\n";
  r = Run({"plot", "ScanLog_1.txt", "-o", "x.png"});
  EXPECT_NE(r.exitCode, 0);
  EXPECT_NE(r.err.find("holds no scans"), std::string::npos) << r.err;

  WriteSampleLog(Dir() / "ScanLog_2.txt", "no gnuplot");
  const std::string path = std::getenv("PATH");
  setenv("PATH", Dir().c_str(), 1);
  r = Run({"plot", "ScanLog_2.txt", "-o", "x.png"});
  setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("install the package gnuplot-nox"), std::string::npos) << r.err;
}

// ---- wire traces and their replay ----------------------------------------------

// q583-sim --replay of a trace, on a pseudo-terminal of its own; what it
// says goes to errPath.
class Replay {
 public:
  Replay(const std::string& trace, const fs::path& errPath) : errPath_(errPath) {
    int out[2];
    if (pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<std::string> all{Q583_SIM_PATH, "--replay", trace};
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, Q583_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    // The first line is the device; none when it could not start.
    std::unique_ptr<FILE, int (*)(FILE*)> lines(fdopen(out[0], "r"), fclose);
    char line[256];
    if (lines && std::fgets(line, sizeof line, lines.get()) != nullptr) device_ = Lines(line)[0];
  }
  ~Replay() { Finish(); }
  Replay(const Replay&) = delete;
  Replay& operator=(const Replay&) = delete;

  const std::string& Device() const { return device_; }

  // Stops it (unless it ended by itself): its status and what it said.
  Result Finish() {
    Result result;
    if (pid_ < 0) return result;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
    result.err = Slurp(errPath_);
    return result;
  }

 private:
  fs::path errPath_;
  pid_t pid_ = -1;
  std::string device_;
};

struct RecordedSession {
  const char* name;  // tests/wire/<name>.trace
  std::vector<std::string> args;
};

void PrintTo(const RecordedSession& session, std::ostream* out) { *out << session.name; }

class WireReplayTest : public CliTest, public ::testing::WithParamInterface<RecordedSession> {};

// Each checked-in recording replays against this build: a change to what
// the library sends fails here, at the byte.
TEST_P(WireReplayTest, TheRecordedSessionReplays) {
  Replay replay(std::string(Q583_WIRE_DIR) + "/" + GetParam().name + ".trace", Dir() / "replay.txt");
  ASSERT_FALSE(replay.Device().empty());
  std::vector<std::string> args = GetParam().args;
  args.insert(args.end(), {"--port", replay.Device()});
  const Result r = Run(args);
  const Result played = replay.Finish();
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(played.exitCode, 0) << played.err;
}

INSTANTIATE_TEST_SUITE_P(
    Recorded, WireReplayTest,
    ::testing::Values(RecordedSession{"convert", {"convert", "--channel", "1", "--sub", "2", "--count", "3"}},
                      RecordedSession{"digin", {"digin"}},
                      RecordedSession{"scan", {"scan", "--codes", "0,0", "--interval", "0.2", "--seconds", "1",
                                               "--no-log-file", "-o", "-"}},
                      RecordedSession{"calibrate", {"calibrate", "system"}}),
    [](const ::testing::TestParamInfo<RecordedSession>& info) { return std::string(info.param.name); });

TEST_F(CliTest, AWireTraceRecordedNowReplaysAndADifferenceIsNamed) {
  Result r = Run({"digin", "--sim", "--wire-trace", "digin.trace"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  const std::string trace = Slurp(Dir() / "digin.trace");
  EXPECT_EQ(trace.substr(trace.size() - 4), "end\n") << trace;
  // The bytes the host sent before the digital-input command (0x80).
  size_t before = 0;
  for (const auto& line : Lines(trace.substr(0, trace.find(" > 80\n"))))
    before += line.find(" > ") != std::string::npos;
  {
    Replay replay("digin.trace", Dir() / "replay1.txt");
    r = Run({"digin", "--port", replay.Device()});
    const Result played = replay.Finish();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(played.exitCode, 0) << played.err;
  }
  // Another command: the same sign-on, then digital outputs (0x02).
  Replay replay("digin.trace", Dir() / "replay2.txt");
  Run({"digout", "0x3c", "--port", replay.Device()});  // it may or may not see the line go
  const Result played = replay.Finish();
  EXPECT_EQ(played.exitCode, 1);
  EXPECT_NE(played.err.find("byte " + std::to_string(before) + " differs: expected 0x80, came 0x02"),
            std::string::npos)
      << played.err;
}

}  // namespace
