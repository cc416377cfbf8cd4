// `q583 ports`: the machine's serial ports, and with --probe which of them
// the instrument answers on.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "ports.h"

namespace q583cli {

namespace {

struct PortsOptions {
  bool probe = false;
  std::vector<std::string> devices;
};

void Ports(const PortsOptions& o) {
  const auto listed = ListPorts(PortsRoot());
  if (!o.probe) {
    for (const auto& port : listed) std::printf("%s\n", PortLine(port).c_str());
    return;
  }
  std::vector<std::pair<std::string, std::string>> targets;  // shown name, what is opened
  if (o.devices.empty()) {
    for (const auto& port : listed) targets.emplace_back(port.device, port.path);
  } else {
    for (const auto& device : o.devices) targets.emplace_back(device, device);
  }
  if (targets.empty()) throw Failure("no serial ports to probe");
  if (o.devices.empty()) AnnounceProbe(targets);
  int answered = 0;
  for (const auto& [name, path] : targets) {
    const Probe probe = ProbePort(path);
    answered += probe.result == ProbeResult::Instrument ? 1 : 0;
    std::printf("%s\t%s%s%s\n", name.c_str(), ProbeText(probe.result), probe.detail.empty() ? "" : ": ",
                probe.detail.c_str());
    std::fflush(stdout);
  }
  if (answered == 0) throw Failure("the instrument answered on none of the ports tried");
}

}  // namespace

void AddPortsCommand(CLI::App& app) {
  auto o = std::make_shared<PortsOptions>();
  auto* cmd = app.add_subcommand("ports", "List the serial ports; with --probe, find the ones the instrument is on");
  cmd->add_flag("--probe", o->probe,
                "Ask each port whether the instrument is on it.  This WRITES ONE BYTE to every port tried "
                "(the sign-on's wake-up byte, 0x00 at 300 baud); ports another process has open and the kernel's "
                "console are left alone, line settings restored");
  cmd->add_option("PORT", o->devices, "With --probe: the ports to try (default: every listed port)")->needs("--probe");
  cmd->footer(
      "Without --probe nothing is opened or sent: one line per port, the device, then tab-separated fields "
      "by-id= (the /dev/serial/by-id/ link), usb=VID:PID, manufacturer=, product=, serial=, driver= and "
      "console=yes, as sysfs knows them.\n"
      "With --probe: first, on standard error, the ports it will write to; then one line per port, 'instrument', "
      "'no answer', 'busy: why', 'left alone: the kernel's console' or 'failed: why'; each takes at most 0.7 s.  "
      "Exits 1 when the instrument answered on none.\n"
      "Any command takes --port auto: the one port that answers a probe.\n"
      "Q583_PORTS_ROOT=DIR reads DIR/sys and DIR/dev in place of /sys and /dev.");
  cmd->callback([o] { Ports(*o); });
}

}  // namespace q583cli
