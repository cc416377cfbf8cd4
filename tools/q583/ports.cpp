// The serial ports of the machine from sysfs, and the probe for the
// instrument.  sysfs is read directly rather than through a library such as
// libserialport: the few attributes wanted here are plain files, the same
// code then reads a fake tree in the tests, and the tools keep no
// dependency beyond the C++ library.
#include "ports.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "common.h"

namespace fs = std::filesystem;

namespace q583cli {

namespace {

// The wake-up byte of the sign-on and the instrument's answer to it.
constexpr uint8_t kWakeByte = 0x00;
constexpr uint8_t kWakeReply = 0x03;

// First line of a sysfs attribute, "" when there is none.
std::string Attribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return Trim(line);
}

std::string LinkName(const fs::path& link) {
  std::error_code ec;
  const fs::path target = fs::read_symlink(link, ec);
  return ec ? std::string() : target.filename().string();
}

// ttyS2 before ttyS10: names compared with their trailing numbers as numbers.
bool DeviceOrder(const PortInfo& a, const PortInfo& b) {
  auto split = [](const std::string& name) {
    size_t digits = name.size();
    while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
    const std::string number = name.substr(digits);
    return std::make_pair(name.substr(0, digits), number.empty() ? -1L : std::stol(number));
  };
  return split(a.device) < split(b.device);
}

// /dev/serial/by-id: device path -> link.
std::map<std::string, std::string> ByIdLinks(const fs::path& root) {
  std::map<std::string, std::string> links;
  std::error_code ec;
  const fs::path dir = root / "dev/serial/by-id";
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    const fs::path target = fs::read_symlink(entry.path(), ec);
    if (ec) continue;
    const fs::path live = fs::path("/dev/serial/by-id") / entry.path().filename();
    links[(live.parent_path() / target).lexically_normal().string()] = live.string();
  }
  return links;
}

// The device of a tty as its driver sees it.  Newer kernels put a port
// device and a controller device of their own ("serial-base") between a
// UART and the tty; the device that matters is the one above them.
fs::path OwnDevice(fs::path device) {
  while (LinkName(device / "subsystem") == "serial-base") device = device.parent_path();
  return device;
}

// Fills in the USB fields when the device hangs below a USB device.
void AddUsb(const fs::path& device, const fs::path& devicesRoot, PortInfo& port) {
  for (fs::path dir = device; dir.has_relative_path() && dir != devicesRoot && dir != dir.parent_path();
       dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor")) continue;
    port.vendorId = Attribute(dir / "idVendor");
    port.productId = Attribute(dir / "idProduct");
    port.manufacturer = Attribute(dir / "manufacturer");
    port.product = Attribute(dir / "product");
    port.serial = Attribute(dir / "serial");
    return;
  }
}

// Closes a descriptor when it goes.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) close(fd);
  }
};

// Reads until the wake reply comes or the deadline passes.
bool AwaitWakeReply(int fd, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, static_cast<int>(left));
    if (rc < 0 && errno != EINTR) return false;
    if (rc <= 0 || (p.revents & POLLIN) == 0) {
      if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return false;
      continue;
    }
    uint8_t bytes[64];
    const ssize_t n = read(fd, bytes, sizeof bytes);
    if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    if (n > 0 && std::find(bytes, bytes + n, kWakeReply) != bytes + n) return true;
  }
}

// The device number of a character device, none for anything else.
std::optional<dev_t> CharDevice(const fs::path& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  return st.st_rdev;
}

bool AllDigits(const std::string& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The number of a pseudo-terminal's slave side (/dev/pts/N), none for
// anything else.
std::optional<std::string> PtyNumber(const fs::path& path) {
  std::error_code ec;
  const fs::path real = fs::canonical(path, ec);
  if (ec || real.parent_path() != "/dev/pts" || !AllDigits(real.filename().string())) return std::nullopt;
  return real.filename().string();
}

// The kernel's console: /dev/console itself, or a device that
// ROOT/sys/class/tty/console/active names.
bool IsConsole(const fs::path& root, dev_t device) {
  if (device == makedev(5, 1)) return true;
  std::ifstream active(root / "sys/class/tty/console/active");
  for (std::string name; active >> name;)
    if (CharDevice(root / "dev" / name) == device) return true;
  return false;
}

// "PID (name)" of a process other than this one that has the device open,
// "" when none is seen.  A process holding a pseudo-terminal master whose
// slave is the device is the line's other end.
std::string HolderOf(dev_t device, const std::optional<std::string>& pty) {
  const std::string self = std::to_string(getpid());
  std::error_code ec;
  for (const auto& process : fs::directory_iterator("/proc", ec)) {
    const std::string pid = process.path().filename().string();
    if (!AllDigits(pid) || pid == self) continue;
    bool holds = false, otherEnd = false;
    std::error_code fdError;
    for (const auto& fd : fs::directory_iterator(process.path() / "fd", fdError)) {
      const auto opened = CharDevice(fd.path());
      if (!opened) continue;
      if (*opened == device) {
        holds = true;
      } else if (pty && LinkName(fd.path()) == "ptmx") {
        std::ifstream info(process.path() / "fdinfo" / fd.path().filename());
        for (std::string line; std::getline(info, line);)
          if (line.rfind("tty-index:", 0) == 0 && Trim(line.substr(10)) == *pty) otherEnd = true;
      }
    }
    if (holds && !otherEnd) return pid + " (" + Attribute(process.path() / "comm") + ")";
  }
  return "";
}

}  // namespace

std::vector<PortInfo> ListPorts(const std::string& rootText) {
  const fs::path root = rootText.empty() ? fs::path("/") : fs::path(rootText);
  const fs::path devicesRoot = fs::weakly_canonical(root / "sys/devices");
  const auto byId = ByIdLinks(root);
  std::vector<PortInfo> ports;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root / "sys/class/tty", ec)) {
    const fs::path tty = entry.path();
    // Virtual terminals, the console and pseudo-terminals have no device.
    std::error_code linkError;
    const fs::path device = fs::canonical(tty / "device", linkError);
    if (linkError) continue;
    // A UART slot that the 8250 driver registered but that holds no UART.
    if (fs::exists(tty / "type") && Attribute(tty / "type") == "0") continue;
    PortInfo port;
    port.device = "/dev/" + tty.filename().string();
    port.path = (root / "dev" / tty.filename()).string();
    const fs::path own = OwnDevice(device);
    port.driver = LinkName(own / "driver");
    AddUsb(own, devicesRoot, port);
    if (const auto it = byId.find(port.device); it != byId.end()) port.byId = it->second;
    const auto number = CharDevice(port.path);
    port.console = number && IsConsole(root, *number);
    ports.push_back(port);
  }
  std::sort(ports.begin(), ports.end(), DeviceOrder);
  return ports;
}

std::string PortLine(const PortInfo& port) {
  std::string line = port.device;
  auto field = [&line](const char* key, const std::string& value) {
    if (!value.empty()) line += std::string("\t") + key + "=" + value;
  };
  field("by-id", port.byId);
  if (!port.vendorId.empty()) field("usb", port.vendorId + ":" + port.productId);
  field("manufacturer", port.manufacturer);
  field("product", port.product);
  field("serial", port.serial);
  field("driver", port.driver);
  field("console", port.console ? "yes" : "");
  return line;
}

const char* ProbeText(ProbeResult result) {
  switch (result) {
    case ProbeResult::Instrument: return "instrument";
    case ProbeResult::NoAnswer: return "no answer";
    case ProbeResult::Busy: return "busy";
    case ProbeResult::Console: return "left alone";
    case ProbeResult::Failed: break;
  }
  return "failed";
}

std::optional<Probe> LeftAlone(const std::string& device) {
  const auto number = CharDevice(device);
  if (!number) return std::nullopt;
  if (IsConsole(PortsRoot(), *number)) return Probe{device, ProbeResult::Console, "the kernel's console"};
  const std::string holder = HolderOf(*number, PtyNumber(device));
  if (!holder.empty()) return Probe{device, ProbeResult::Busy, "open in process " + holder};
  return std::nullopt;
}

void AnnounceProbe(const std::vector<std::pair<std::string, std::string>>& targets) {
  std::string names;
  for (const auto& [name, path] : targets)
    if (!LeftAlone(path)) names += (names.empty() ? "" : ", ") + name;
  std::fprintf(stderr, "q583: probing writes one byte (0x00 at 300 baud) to each port not busy: %s\n",
               names.empty() ? "none" : names.c_str());
  std::fflush(stderr);
}

Probe ProbePort(const std::string& device, int answerMs) {
  if (auto skipped = LeftAlone(device)) return *skipped;
  Probe probe{device, ProbeResult::Failed, ""};
  Descriptor port{open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  if (port.fd < 0) {
    probe.result = errno == EBUSY ? ProbeResult::Busy : ProbeResult::Failed;
    probe.detail = ErrorText(errno);
    return probe;
  }
  if (!isatty(port.fd)) {
    probe.detail = "not a serial port";
    return probe;
  }
  // The library holds its port with this lock; so does a probe, so that
  // nothing else starts on the port meanwhile.
  if (flock(port.fd, LOCK_EX | LOCK_NB) != 0) {
    probe.result = ProbeResult::Busy;
    return probe;
  }
  termios saved{};
  if (tcgetattr(port.fd, &saved) != 0) {
    probe.detail = ErrorText(errno);
    return probe;
  }
  (void)ioctl(port.fd, TIOCEXCL);
  termios wake = saved;
  cfmakeraw(&wake);
  wake.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  wake.c_cflag |= CS8 | CLOCAL | CREAD;
  wake.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  wake.c_cc[VMIN] = 0;
  wake.c_cc[VTIME] = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(answerMs);
  if (cfsetispeed(&wake, B300) != 0 || cfsetospeed(&wake, B300) != 0 || tcsetattr(port.fd, TCSANOW, &wake) != 0) {
    probe.detail = "300 baud refused: " + ErrorText(errno);
  } else {
    // Both queues emptied, as the library does after every open: only an
    // answer to this byte counts, and it goes out alone at 300 baud.
    (void)tcflush(port.fd, TCIOFLUSH);
    const uint8_t byte = kWakeByte;
    if (write(port.fd, &byte, 1) != 1) {
      probe.detail = "write: " + ErrorText(errno);
    } else {
      probe.result = AwaitWakeReply(port.fd, deadline) ? ProbeResult::Instrument : ProbeResult::NoAnswer;
    }
  }
  // The byte has left by now (it takes 33 ms at 300 baud, the wait is
  // longer or ended with the answer to it), so the old settings can return
  // without cutting it off.
  (void)tcsetattr(port.fd, TCSANOW, &saved);
  (void)ioctl(port.fd, TIOCNXCL);
  return probe;
}

std::string FindInstrument(const std::vector<std::string>& devices) {
  if (devices.empty()) throw Failure("--port auto: no serial ports found");
  std::vector<std::string> found;
  std::string tried;
  for (const auto& device : devices) {
    const Probe probe = ProbePort(device);
    if (probe.result == ProbeResult::Instrument) found.push_back(device);
    tried += (tried.empty() ? "" : ", ") + device + " (" + ProbeText(probe.result) +
             (probe.detail.empty() ? "" : ": " + probe.detail) + ")";
  }
  if (found.size() == 1) return found.front();
  throw Failure(found.empty() ? "--port auto: the instrument answered on no port; tried " + tried
                              : "--port auto: more than one port answered as the instrument; tried " + tried +
                                    "; name one with --port");
}

std::string PortsRoot() {
  const char* root = std::getenv("Q583_PORTS_ROOT");
  return root != nullptr && *root != '\0' ? root : "/";
}

std::string FindInstrument() {
  std::vector<std::string> paths;
  std::vector<std::pair<std::string, std::string>> targets;
  for (const auto& port : ListPorts(PortsRoot())) {
    paths.push_back(port.path);
    targets.emplace_back(port.device, port.path);
  }
  if (!targets.empty()) AnnounceProbe(targets);
  return FindInstrument(paths);
}

}  // namespace q583cli
