// The low-latency request made when a port opens: what a USB-serial
// adapter's driver is asked (through TIOCGSERIAL/TIOCSSERIAL), that it is
// taken back at close, and that a port which refuses it (the simulator's
// pseudo-terminal) signs on all the same, with the outcome in the scan debug
// log.
//
// The adapter's driver is played by this program's own ioctl(), which
// stands in front of the C library's for the library code linked into it:
// while a driver is "plugged in" it answers the two serial requests, and
// passes every other request on.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "q583_sp.h"
#include "support/test_env.h"

namespace {

// Read by every ioctl() of the process, the simulator's thread among them.
std::atomic<bool> gPlugged{false};
// A burst due on the line: the next count of waiting bytes on the port
// (FIONREAD) sees none, and the burst arrives just after it, before
// anything else of the wait runs.
std::atomic<int> gBurstPort{-1};
std::atomic<int> gBurstMaster{-1};
std::atomic<size_t> gBurstBytes{0};

// Touched only by the library's opens and closes, on the test's thread.
struct FakeAdapterDriver {
  bool refuseSet = false;    // TIOCSSERIAL fails with EPERM
  int flags = 0;             // the port's serial flags as the driver holds them
  int gets = 0;
  std::vector<int> setFlags;  // the flags of every TIOCSSERIAL, in order
};
FakeAdapterDriver gDriver;

int Answer(unsigned long request, void* arg) {
  auto* serial = static_cast<serial_struct*>(arg);
  if (request == TIOCGSERIAL) {
    ++gDriver.gets;
    *serial = serial_struct{};
    serial->type = PORT_16550A;
    serial->flags = gDriver.flags;
    return 0;
  }
  gDriver.setFlags.push_back(serial->flags);
  if (gDriver.refuseSet) {
    errno = EPERM;
    return -1;
  }
  gDriver.flags = serial->flags;
  return 0;
}

}  // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  if ((request == TIOCGSERIAL || request == TIOCSSERIAL) && gPlugged) return Answer(request, arg);
  using IoctlFn = int (*)(int, unsigned long, ...);
  static const auto real = reinterpret_cast<IoctlFn>(dlsym(RTLD_NEXT, "ioctl"));
  const int rc = real(fd, request, arg);
  if (request == FIONREAD && fd == gBurstPort.exchange(-1)) {
    const std::vector<uint8_t> burst(gBurstBytes, 0x5A);
    (void)!write(gBurstMaster, burst.data(), burst.size());
    usleep(20000);  // delivered to the port's side before the wait goes on
  }
  return rc;
}

namespace {

// A pseudo-terminal whose other side this test holds, as port 0.
class LowLatencyPortTest : public q583test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(grantpt(master_), 0);
    ASSERT_EQ(unlockpt(master_), 0);
    platform::SetPortDevice(0, ptsname(master_));
    gDriver = FakeAdapterDriver{};
  }
  void TearDown() override {
    gPlugged = false;
    gDriver = FakeAdapterDriver{};
    platform::SetPortDevice(0, "");
    close(master_);
    LibraryTest::TearDown();
  }
  int master_ = -1;
};

TEST_F(LowLatencyPortTest, AdapterIsAskedForLowLatencyAndGetsItsFlagsBackAtClose) {
  gPlugged = true;
  gDriver.flags = ASYNC_SKIP_TEST | ASYNC_SPD_HI;
  const platform::PortHandle port = platform::OpenPort(0);
  ASSERT_NE(port, platform::kInvalidPort);
  EXPECT_EQ(platform::PortLowLatency(port), platform::LowLatency::Set);
  // Only the one flag is added; the driver's other flags stay.
  ASSERT_EQ(gDriver.setFlags.size(), 1U);
  EXPECT_EQ(gDriver.setFlags[0], ASYNC_SKIP_TEST | ASYNC_SPD_HI | ASYNC_LOW_LATENCY);
  platform::ClosePort(port, 100);
  EXPECT_EQ(gDriver.flags, ASYNC_SKIP_TEST | ASYNC_SPD_HI);  // left as found
  EXPECT_EQ(platform::PortLowLatency(port), platform::LowLatency::Unavailable);  // no longer open
}

TEST_F(LowLatencyPortTest, PortAlreadyInLowLatencyIsLeftAlone) {
  gPlugged = true;
  gDriver.flags = ASYNC_LOW_LATENCY;
  const platform::PortHandle port = platform::OpenPort(0);
  ASSERT_NE(port, platform::kInvalidPort);
  EXPECT_EQ(platform::PortLowLatency(port), platform::LowLatency::AlreadySet);
  platform::ClosePort(port, 100);
  EXPECT_TRUE(gDriver.setFlags.empty());  // not set, and not cleared at close: it was not ours
  EXPECT_EQ(gDriver.flags, ASYNC_LOW_LATENCY);
}

TEST_F(LowLatencyPortTest, RefusalsLeaveAWorkingPort) {
  // A driver that refuses the change, then a pseudo-terminal's own refusal
  // of both requests (the real ioctl).
  gPlugged = true;
  gDriver.refuseSet = true;
  for (int round = 0; round < 2; ++round) {
    const platform::PortHandle port = platform::OpenPort(0);
    ASSERT_NE(port, platform::kInvalidPort) << round;
    EXPECT_EQ(platform::PortLowLatency(port), platform::LowLatency::Refused) << round;
    ASSERT_TRUE(platform::SetLine(port, 9600)) << round;
    ASSERT_TRUE(platform::WriteByte(port, 0x5A)) << round;
    uint8_t byte = 0;
    ASSERT_EQ(read(master_, &byte, 1), 1) << round;
    EXPECT_EQ(byte, 0x5A) << round;
    platform::ClosePort(port, 100);
    EXPECT_EQ(gDriver.setFlags.size(), round == 0 ? 1U : 0U) << round;  // nothing to take back
    gPlugged = false;
    gDriver = FakeAdapterDriver{};
  }
}

// Bytes that arrive in a burst, more than the wait wants, just after a
// count: the wait sees them at its next look and returns at once.
TEST_F(LowLatencyPortTest, BurstAfterACountEndsTheWaitAtOnce) {
  const platform::PortHandle port = platform::OpenPort(0);
  ASSERT_NE(port, platform::kInvalidPort);
  ASSERT_TRUE(platform::SetLine(port, 38400));
  for (const size_t burst : {size_t{40}, size_t{20}, size_t{21}}) {
    gBurstMaster = master_;
    gBurstBytes = burst;
    gBurstPort = static_cast<int>(port);
    const int64_t start = platform::MonotonicMicros();
    EXPECT_EQ(platform::WaitReadable(port, 2000, 20), platform::WaitResult::Ready) << burst;
    EXPECT_LT(platform::MonotonicMicros() - start, 1'000'000) << burst << " bytes: slept blind";
    std::vector<uint8_t> drain(burst);
    EXPECT_EQ(platform::ReadBytes(port, drain.data(), static_cast<int>(burst)), static_cast<int>(burst));
  }
  gBurstPort = -1;
  platform::ClosePort(port, 100);
}

// The simulator's pseudo-terminal refuses the request: the sign-on works,
// and the scan debug log says which it was, for every open of the sign-on.
class LowLatencySignOnTest : public q583test::SimTest {};

TEST_F(LowLatencySignOnTest, SignOnOnAPortThatRefusesAndTheScanDebugLogSaysSo) {
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  SignOn();
  const std::string log = ReadFile("ScanOut.txt");
  const std::string line = "[OpenComPort]  " + Sim().DevicePath() + ": low latency refused\n";
  // The sign-on opens the port at the wake-up rate and again at the working rate.
  size_t count = 0;
  for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) ++count;
  EXPECT_EQ(count, 2U) << log;
}

TEST_F(LowLatencySignOnTest, SignOnThroughAnAdapterThatTakesIt) {
  gDriver = FakeAdapterDriver{};
  gPlugged = true;
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  SignOn();
  gPlugged = false;
  EXPECT_NE(ReadFile("ScanOut.txt").find(": low latency set\n"), std::string::npos);
  // Set at each open and taken back at each close but the last (still open).
  EXPECT_EQ(gDriver.setFlags, (std::vector<int>{ASYNC_LOW_LATENCY, 0, ASYNC_LOW_LATENCY}));
}

}  // namespace
