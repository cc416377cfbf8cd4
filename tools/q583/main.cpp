// q583: the command-line host program of the Q583 instrument.  It uses only
// the library's public C interface, as any host application does.
#include <cstdio>
#include <exception>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "common.h"
#include "help_format.h"

int main(int argc, char** argv) {
  CLI::App app{"q583 - drive a Q583 A/D instrument: scan, convert, digital I/O, calibrate, configure, plot, self-test"};
  app.formatter(q583cli::WrappingFormatter());
  app.require_subcommand(1);
  app.footer(
      "Every command but plot and ports needs --port DEVICE (e.g. /dev/ttyUSB0, or auto: the port that "
      "answers as the instrument) or --sim (the simulated instrument).\n"
      "Run 'q583 COMMAND --help' for the options of a command.");
  q583cli::AddScanCommand(app);
  q583cli::AddDeviceCommands(app);
  q583cli::AddPlotCommand(app);
  q583cli::AddPortsCommand(app);
  q583cli::AddSelftestCommand(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help answers 0; every mistake on the command line answers 2.
    return app.exit(e) == 0 ? 0 : 2;
  } catch (const q583cli::Failure& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "q583: %s\n", e.what());
    return e.ExitCode();
  } catch (const std::exception& e) {
    std::fflush(stdout);
    std::fprintf(stderr, "q583: %s\n", e.what());
    return 1;
  }
  return 0;
}
