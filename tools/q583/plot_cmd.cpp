// `q583 plot`: a PNG of a scan log, drawn by gnuplot run as a program.
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>

#include "commands.h"
#include "common.h"
#include "scanlog.h"

extern char** environ;

namespace q583cli {

namespace fs = std::filesystem;

namespace {

struct PlotOptions {
  std::string log;
  std::string output;
  std::string title;
  std::string size = "1200x700";
};

// A gnuplot single-quoted string: only the quote itself needs doubling.
std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') quoted += "''";
    else if (c != '\n' && c != '\r') quoted += c;
  }
  return quoted + "'";
}

int RunGnuplot(const fs::path& script) {
  const std::string program = "gnuplot";
  const std::string scriptPath = script.string();
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(scriptPath.c_str()), nullptr};
  pid_t pid = 0;
  const int error = posix_spawnp(&pid, program.c_str(), nullptr, nullptr, argv, environ);
  if (error == ENOENT)
    throw Failure("gnuplot not found: the plot is drawn by gnuplot; install the package gnuplot-nox "
                  "(apt install gnuplot-nox) or gnuplot");
  if (error != 0) throw Failure("gnuplot could not be started: " + ErrorText(error));
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) throw Failure("waiting for gnuplot failed: " + ErrorText(errno));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void Plot(PlotOptions& o) {
  int width = 0, height = 0;
  if (std::sscanf(o.size.c_str(), "%dx%d", &width, &height) != 2 || width < 200 || height < 150 || width > 8000 ||
      height > 8000)
    throw Failure("--size: WIDTHxHEIGHT in pixels, from 200x150 to 8000x8000", 2);
  const ScanLog log = ReadScanLog(o.log);
  if (log.rows.empty()) throw Failure(o.log + " holds no scans");

  // The logged time has a tenth of a second's resolution; the trailer's
  // applied interval gives each scan its exact time.
  TempDir dir("q583-plot-");
  const fs::path data = dir.Path() / "scans.tsv";
  {
    std::ofstream out(data);
    for (size_t i = 0; i < log.rows.size(); ++i) {
      char text[48];
      const double time = log.appliedInterval ? static_cast<double>(i) * *log.appliedInterval : log.times[i];
      std::snprintf(text, sizeof text, "%.6f", time);
      out << text;
      for (double v : log.rows[i]) {
        std::snprintf(text, sizeof text, "\t%.7f", v);
        out << text;
      }
      out << '\n';
    }
    if (!out) throw Failure("cannot write the plot data to " + dir.Path().string());
  }

  std::string title = o.title;
  if (title.empty() && log.description && !Trim(*log.description).empty() && Trim(*log.description) != "none")
    title = Trim(*log.description);
  if (title.empty()) title = fs::path(o.log).filename().string();

  const std::string output = fs::absolute(o.output).string();
  const std::string size = std::to_string(width) + "," + std::to_string(height);
  std::string script;
  script += "if (strstrt(GPVAL_TERMINALS, 'pngcairo') > 0) {\n";
  script += "  set terminal pngcairo size " + size + " enhanced font 'Sans,11' linewidth 1.5\n";
  script += "} else {\n";
  script += "  set terminal png size " + size + "\n";
  script += "}\n";
  script += "set output " + Quoted(output) + "\n";
  script += "set title " + Quoted(title) + " noenhanced\n";
  script += "set xlabel 'Time (s)'\n";
  script += "set ylabel 'Voltage (V)'\n";
  script += "set grid\n";
  script += "set offsets 0, 0, graph 0.05, graph 0.05\n";  // lines at the extremes stay off the frame
  script += "set key outside right top noenhanced title 'channel'\n";
  script += "set datafile separator '\\t'\n";
  script += "plot ";
  for (size_t i = 0; i < log.labels.size(); ++i) {
    if (i) script += ", \\\n     ";
    script += Quoted(data.string()) + " using 1:" + std::to_string(i + 2) + " with lines title " +
              Quoted(log.labels[i]);
  }
  script += "\nset output\n";
  const fs::path scriptPath = dir.Path() / "plot.gp";
  std::ofstream(scriptPath) << script;

  std::error_code ec;
  fs::remove(output, ec);
  const int status = RunGnuplot(scriptPath);
  if (status != 0 || !fs::exists(output, ec) || fs::file_size(output, ec) == 0)
    throw Failure("gnuplot could not draw " + output + " (exit status " + std::to_string(status) + ")");
  std::printf("%s: %zu scans of %zu channels, %dx%d\n", output.c_str(), log.rows.size(), log.labels.size(), width,
              height);
}

}  // namespace

void AddPlotCommand(CLI::App& app) {
  auto o = std::make_shared<PlotOptions>();
  auto* cmd = app.add_subcommand(
      "plot", "Draw a scan log as a PNG: one line per channel against time, titled with the experiment description");
  cmd->add_option("LOGFILE", o->log, "A scan log file (ScanLog_<n>.txt)")->required()->check(CLI::ExistingFile);
  cmd->add_option("-o,--output", o->output, "The PNG to write")->required();
  cmd->add_option("--title", o->title, "Title (default: the experiment description, else the file name)");
  cmd->add_option("--size", o->size, "WIDTHxHEIGHT in pixels")->capture_default_str();
  cmd->footer("The plot needs no instrument: it takes no --port or --sim.");
  cmd->callback([o] { Plot(*o); });
}

}  // namespace q583cli
