// q583 ports, --probe and --port auto, run as a user runs them, against a
// fake sysfs tree (Q583_PORTS_ROOT) that holds a USB adapter, a built-in
// port, a port that is no USB device, an empty UART slot and a virtual
// terminal.  The three ports' /dev entries lead to two simulators (the USB
// adapter and the non-USB port) and to a pseudo-terminal that stays silent
// (the built-in port).
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "q583sim/simulator.h"

namespace {

namespace fs = std::filesystem;

const char* const kByIdName = "usb-FTDI_FT232R_USB_UART_A1B2C3D4-if00-port0";

class PortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "q583-ports-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    usbSim_ = std::make_unique<q583sim::Simulator>();
    amaSim_ = std::make_unique<q583sim::Simulator>();
    silent_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(silent_, 0);
    ASSERT_EQ(grantpt(silent_), 0);
    ASSERT_EQ(unlockpt(silent_), 0);
    BuildTree();
  }
  void TearDown() override {
    close(silent_);
    fs::remove_all(root_);
  }

  void Write(const std::string& file, const std::string& text) {
    fs::create_directories((root_ / file).parent_path());
    std::ofstream(root_ / file) << text << "\n";
  }
  void Link(const std::string& link, const std::string& target) {
    fs::create_directories((root_ / link).parent_path());
    fs::create_symlink(target, root_ / link);
  }

  // The tree as sysfs shows these ports, relative links and all.
  void BuildTree() {
    const std::string usb = "sys/devices/pci0000:00/0000:00:14.0/usb1/1-2";
    Write(usb + "/idVendor", "0403");
    Write(usb + "/idProduct", "6001");
    Write(usb + "/manufacturer", "FTDI");
    Write(usb + "/product", "FT232R USB UART");
    Write(usb + "/serial", "A1B2C3D4");
    const std::string usbPort = usb + "/1-2:1.0/ttyUSB0";
    Link(usbPort + "/driver", "../../../../../../../bus/usb-serial/drivers/ftdi_sio");
    Link(usbPort + "/subsystem", "../../../../../../../bus/usb-serial");
    Link(usbPort + "/tty/ttyUSB0/device", "../../../ttyUSB0");
    Link("sys/class/tty/ttyUSB0", "../../devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0");

    // A built-in UART as newer kernels show it: a controller and a port
    // device (bus serial-base) between the PnP device and the tty.
    const std::string pnp = "sys/devices/pnp0/00:05";
    Link(pnp + "/driver", "../../../bus/pnp/drivers/serial");
    Link(pnp + "/00:05:0/subsystem", "../../../../bus/serial-base");
    Link(pnp + "/00:05:0/driver", "../../../../bus/serial-base/drivers/ctrl");
    Link(pnp + "/00:05:0/00:05:0.0/subsystem", "../../../../../bus/serial-base");
    Link(pnp + "/00:05:0/00:05:0.0/driver", "../../../../../bus/serial-base/drivers/port");
    Write(pnp + "/00:05:0/00:05:0.0/tty/ttyS0/type", "4");
    Link(pnp + "/00:05:0/00:05:0.0/tty/ttyS0/device", "../../../00:05:0.0");
    Link("sys/class/tty/ttyS0", "../../devices/pnp0/00:05/00:05:0/00:05:0.0/tty/ttyS0");

    // A UART slot with no UART behind it (type 0).
    Link("sys/devices/platform/serial8250/driver", "../../../bus/platform/drivers/serial8250");
    Write("sys/devices/platform/serial8250/tty/ttyS1/type", "0");
    Link("sys/devices/platform/serial8250/tty/ttyS1/device", "../../../serial8250");
    Link("sys/class/tty/ttyS1", "../../devices/platform/serial8250/tty/ttyS1");

    // A port of a system-on-chip's own UART: no USB device above it.
    Link("sys/devices/platform/fe201000.serial/driver", "../../../bus/amba/drivers/uart-pl011");
    Link("sys/devices/platform/fe201000.serial/tty/ttyAMA0/device", "../../../fe201000.serial");
    Link("sys/class/tty/ttyAMA0", "../../devices/platform/fe201000.serial/tty/ttyAMA0");

    // A virtual terminal: no device at all.
    Write("sys/devices/virtual/tty/tty0/dev", "4:0");
    Link("sys/class/tty/tty0", "../../devices/virtual/tty/tty0");

    Link(std::string("dev/serial/by-id/") + kByIdName, "../../ttyUSB0");
    Link("dev/ttyUSB0", usbSim_->DevicePath());
    Link("dev/ttyAMA0", amaSim_->DevicePath());
    Link("dev/ttyS0", ptsname(silent_));
  }

  struct Result {
    int exitCode = -1;
    std::vector<std::string> out;
    std::string err;
  };
  // Runs q583 with the fake tree as its root, in the tree's directory.
  Result Run(const std::string& args) {
    const std::string command = "cd '" + root_.string() + "' && Q583_PORTS_ROOT='" + root_.string() + "' '" +
                                Q583_CLI_PATH + "' " + args + " >out.txt 2>err.txt </dev/null";
    const int status = std::system(command.c_str());
    Result result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream out(root_ / "out.txt");
    for (std::string line; std::getline(out, line);) result.out.push_back(line);
    std::ostringstream err;
    err << std::ifstream(root_ / "err.txt").rdbuf();
    result.err = err.str();
    return result;
  }

  // What arrived at the silent port.
  std::string SilentReceived() {
    std::string bytes;
    char buffer[64];
    for (ssize_t n; (n = read(silent_, buffer, sizeof buffer)) > 0;) bytes.append(buffer, static_cast<size_t>(n));
    return bytes;
  }

  fs::path root_;
  std::unique_ptr<q583sim::Simulator> usbSim_, amaSim_;
  int silent_ = -1;
};

TEST_F(PortsTest, ListsTheUsbAdapterTheBuiltInPortAndTheNonUsbPortAndSendsNothing) {
  const Result r = Run("ports");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, (std::vector<std::string>{
                       "/dev/ttyAMA0\tdriver=uart-pl011",
                       "/dev/ttyS0\tdriver=serial",
                       std::string("/dev/ttyUSB0\tby-id=/dev/serial/by-id/") + kByIdName +
                           "\tusb=0403:6001\tmanufacturer=FTDI\tproduct=FT232R USB UART\tserial=A1B2C3D4"
                           "\tdriver=ftdi_sio",
                   }));
  // A listing opens nothing.
  EXPECT_TRUE(usbSim_->ReceivedValues().empty());
  EXPECT_TRUE(amaSim_->ReceivedValues().empty());
  EXPECT_EQ(SilentReceived(), "");
}

TEST_F(PortsTest, ProbeFindsBothSimulatorsWithOneByteEachAndRestoresTheSilentPort) {
  termios before{};
  ASSERT_EQ(tcgetattr(silent_, &before), 0);
  before.c_lflag |= ICANON | ECHO;  // a terminal's settings, unlike the probe's raw ones
  ASSERT_EQ(cfsetospeed(&before, B9600), 0);
  ASSERT_EQ(tcsetattr(silent_, TCSANOW, &before), 0);

  const Result r = Run("ports --probe");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, (std::vector<std::string>{"/dev/ttyAMA0\tinstrument", "/dev/ttyS0\tno answer",
                                             "/dev/ttyUSB0\tinstrument"}));
  // One wake-up byte for each port, nothing more.
  EXPECT_EQ(usbSim_->ReceivedValues(), std::vector<uint8_t>{0x00});
  EXPECT_EQ(amaSim_->ReceivedValues(), std::vector<uint8_t>{0x00});
  EXPECT_EQ(SilentReceived(), std::string(1, '\0'));

  termios after{};
  ASSERT_EQ(tcgetattr(silent_, &after), 0);
  EXPECT_EQ(cfgetospeed(&after), B9600);
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), static_cast<tcflag_t>(ICANON | ECHO));
  EXPECT_EQ(after.c_cflag, before.c_cflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
}

TEST_F(PortsTest, ProbeLeavesTheConsoleAndAPortOpenElsewhereAlone) {
  Write("sys/class/tty/console/active", "tty0 ttyAMA0");
  // Another program has the silent port open, without a lock.
  const std::string port = ptsname(silent_);
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  const pid_t holder = fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    close(silent_);  // the master: its holder would be the line's other end
    if (open(port.c_str(), O_RDWR | O_NOCTTY) < 0 || write(ready[1], "x", 1) != 1) _exit(1);
    pause();
    _exit(0);
  }
  close(ready[1]);
  char byte = 0;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  const Result r = Run("ports --probe");
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, (std::vector<std::string>{"/dev/ttyAMA0\tleft alone: the kernel's console",
                                             "/dev/ttyS0\tbusy: open in process " + std::to_string(holder) +
                                                 " (ports_test)",
                                             "/dev/ttyUSB0\tinstrument"}));
  EXPECT_NE(r.err.find("to each port not busy: /dev/ttyUSB0\n"), std::string::npos) << r.err;
  EXPECT_EQ(SilentReceived(), "");
  EXPECT_TRUE(amaSim_->ReceivedValues().empty());
}

TEST_F(PortsTest, PortAutoNeedsExactlyOneAnsweringPort) {
  // Two answer: the command fails and names what it tried.
  Result r = Run("info --port auto");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("more than one port answered as the instrument"), std::string::npos) << r.err;
  for (const char* port : {"/dev/ttyAMA0 (instrument)", "/dev/ttyS0 (no answer)", "/dev/ttyUSB0 (instrument)"})
    EXPECT_NE(r.err.find(port), std::string::npos) << port << "\n" << r.err;

  // None answers.
  fs::remove(root_ / "sys/class/tty/ttyUSB0");
  fs::remove(root_ / "sys/class/tty/ttyAMA0");
  r = Run("info --port auto");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("the instrument answered on no port; tried " + (root_ / "dev/ttyS0").string() +
                       " (no answer)"),
            std::string::npos)
      << r.err;

  // One answers: the command signs on there, after its probe.
  fs::create_symlink("../../devices/platform/fe201000.serial/tty/ttyAMA0", root_ / "sys/class/tty/ttyAMA0");
  r = Run("info --port auto");
  ASSERT_EQ(r.exitCode, 0) << r.err;
  std::string out;
  for (const auto& line : r.out) out += line + "\n";
  EXPECT_NE(out.find("firmware"), std::string::npos) << out;
}

}  // namespace
