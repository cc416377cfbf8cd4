// EX_ClosePort: the host lets go of the port without unloading the library,
// as a script that closes and reopens the instrument (or hands it to
// another program) needs.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "device/q583.h"
#include "q583_sp.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"

namespace q583test {
namespace {

// True when this open of the device can take the exclusive lock that the
// library holds on the port it has open.
bool AnotherOpenGetsThePort(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return false;
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return locked;
}

class ClosePort : public SimTest {};

TEST_F(ClosePort, ReleasesThePortAndTheNextCallSignsOnAfresh) {
  SignOn();
  ASSERT_FALSE(AnotherOpenGetsThePort(Sim().DevicePath())) << "the library holds the port while signed on";
  ASSERT_EQ(EX_ClosePort(), 1);
  EXPECT_TRUE(AnotherOpenGetsThePort(Sim().DevicePath()));
  EXPECT_EQ(EX_ClosePort(), 1);  // nothing open: still true

  const uint32_t signOns = Sim().GetState().signOns;
  double mv = 0.0;
  ASSERT_EQ(EX_GetOneConversion(&mv), 1);
  EXPECT_EQ(Sim().GetState().signOns, signOns + 1);
  EXPECT_FALSE(AnotherOpenGetsThePort(Sim().DevicePath()));
}

TEST_F(ClosePort, EndsARunningScanWithItsTrailerFirst) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(3, 3000));
  ASSERT_EQ(EX_ClosePort(), 1);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_FALSE(Sim().GetState().scanning);
  EXPECT_GE(CountOf(ReadFile("ScanLog_0.txt"), "Minimal System Interval:"), 1U);
  EXPECT_TRUE(AnotherOpenGetsThePort(Sim().DevicePath()));
}

// A sign-on on another port lets go of the old one; the close and the
// next sign-on on the first port work as ever.
TEST_F(ClosePort, ASignOnOnAnotherPortClosesTheOldOne) {
  q583sim::Simulator second;
  ASSERT_EQ(EX_SetCOMportDevice(1, second.DevicePath().c_str()), 1);
  SignOn();
  ASSERT_EQ(EX_SetCOMport(1), 1);
  ASSERT_EQ(EX_InitDev(), 1);
  EXPECT_EQ(second.GetState().signOns, 1U);
  EXPECT_TRUE(AnotherOpenGetsThePort(Sim().DevicePath())) << "the old port stayed open";
  EXPECT_FALSE(AnotherOpenGetsThePort(second.DevicePath()));
  ASSERT_EQ(EX_ClosePort(), 1);
  EXPECT_TRUE(AnotherOpenGetsThePort(second.DevicePath()));
  EX_SetCOMportDevice(1, nullptr);
}

}  // namespace
}  // namespace q583test
