// The subcommands of the q583 host program.
#pragma once

#include <CLI/CLI.hpp>

namespace q583cli {

void AddScanCommand(CLI::App& app);
void AddDeviceCommands(CLI::App& app);  // convert, digin, digout, calibrate, standby, sleep, reset, info, config
void AddPlotCommand(CLI::App& app);
void AddPortsCommand(CLI::App& app);  // ports [--probe]
void AddSelftestCommand(CLI::App& app);

}  // namespace q583cli
