// Finding the instrument's port: the machine's serial ports as sysfs shows
// them, and a probe that asks a port whether the instrument is on it.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace q583cli {

// A serial port and what is known of it; empty where nothing is.
struct PortInfo {
  std::string device;        // /dev/ttyUSB0
  std::string path;          // what is opened: the device, under the root of ListPorts
  std::string byId;          // its /dev/serial/by-id/ link
  std::string vendorId;      // USB adapters: 4 hex digits
  std::string productId;
  std::string manufacturer;
  std::string product;
  std::string serial;
  std::string driver;        // ftdi_sio, cdc_acm, serial8250, ...
  bool console = false;      // the kernel writes its console to it
};

// The serial ports of the machine in device order, read from ROOT/sys/class/tty
// and ROOT/dev/serial/by-id, each to be opened as ROOT/dev/<name>.  ROOT is
// "/" on a live system; the tests give a tree of their own.  Opens no port:
// virtual terminals, pseudo-terminals and the UART slots that hold no UART
// are left out by what sysfs says of them.
std::vector<PortInfo> ListPorts(const std::string& root);
// The root that the ports command and --port auto read: $Q583_PORTS_ROOT,
// else "/".
std::string PortsRoot();

// One line per port: the device, then tab-separated key=value fields.
std::string PortLine(const PortInfo& port);

enum class ProbeResult { Instrument, NoAnswer, Busy, Console, Failed };

struct Probe {
  std::string device;
  ProbeResult result = ProbeResult::Failed;
  std::string detail;  // why it failed
};

// Why a probe leaves the port alone without opening it: the kernel's
// console (Console), or a port that another process has open, with a lock
// or without (Busy, naming the process).  A process that holds the master
// side of a pseudo-terminal as well as the port is the line's other end (a
// simulator), not a user of it.  Processes whose descriptors this user
// may not read are not seen.
std::optional<Probe> LeftAlone(const std::string& device);

// Asks the port whether the instrument is on it: leaves it alone when
// LeftAlone says so, else opens it exclusively (a port locked or held
// exclusively by another program is busy), sends the sign-on's wake-up byte
// at 300 baud, and waits at most answerMs for the instrument's answer.  The
// port's line settings are put back as they were before it is closed.
// Writes exactly one byte to a port it could open.
Probe ProbePort(const std::string& device, int answerMs = 700);

// Says on standard error which ports the probe will write to: those of
// `targets` (the name shown, the path opened) that LeftAlone lets through,
// unless found busy on opening.
void AnnounceProbe(const std::vector<std::pair<std::string, std::string>>& targets);

// The one port among `devices` where the instrument answers.  Throws
// Failure, naming the ports tried and what each said, when none or more
// than one does.
std::string FindInstrument(const std::vector<std::string>& devices);
// The same among the ports that ListPorts(PortsRoot()) gives.
std::string FindInstrument();

const char* ProbeText(ProbeResult result);

}  // namespace q583cli
