// A driver that runs for weeks behind adapters that get unplugged: a line
// that hangs up, the millisecond clock's wraps, rates the instrument cannot
// run, configuration files with odd intervals, and forced ends of a thread
// that sits in a host callback.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

#include "device/config_file.h"
#include "device/q583.h"
#include "device/timing.h"
#include "api/entry.h"
#include "link/commands.h"
#include "link/serial.h"
#include "logging/scan_log.h"
#include "platform/platform.h"
#include "scan/scan_run.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"

namespace q583test {
namespace {

using Clock = std::chrono::steady_clock;
double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class LineAndClock : public SimTest {
 protected:
  void StartLoggedScan() {
    SetChannelCodes({0x00});
    ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
    SignOnQuiet(Sim());
    ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
    ASSERT_TRUE(Sim().WaitForFrames(3, 3000));
  }
  // A new instrument on the same port number, as when the adapter is
  // plugged in again: sign-on and a conversion work in the same process.
  void ExpectANewInstrumentWorks() {
    q583sim::Simulator fresh;
    ASSERT_EQ(EX_SetCOMportDevice(0, fresh.DevicePath().c_str()), 1);
    ASSERT_EQ(EX_InitDev(), 1);
    double mv = 0.0;
    EXPECT_EQ(EX_GetOneConversion(&mv), 1);
    ReloadLibrary();  // before the simulator goes
  }
  size_t Trailers() { return CountOf(ReadFile("ScanLog_0.txt"), "Minimal System Interval:"); }
};

TEST_F(LineAndClock, HangUpDuringAScanEndsTheRunAndANewLineWorks) {
  StartLoggedScan();
  Sim().HangUp();
  for (int i = 0; i < 150 && EX_CheckRun(); ++i) SleepMs(20);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(Q583.errorType, 2);
  EXPECT_EQ(Trailers(), 1U);  // the thread's own, before any end
  const auto start = Clock::now();
  EXPECT_EQ(EX_EndScan(), 0);
  EXPECT_LT(SecondsSince(start), 1.0);
  EXPECT_EQ(Trailers(), 2U);
  EXPECT_EQ(CurrentPort(), INVALIDCOMDEV);  // the dead port is closed
  ExpectANewInstrumentWorks();
}

// The adapter goes while a frame is awaited, part of it already in: from
// then on the tty polls readable with nothing to read.  The wait ends as
// lost at once; before, it spun a core to its time-out, and a run went on
// for up to two idle passes (two seconds) on the dead line.
TEST_F(LibraryTest, AWaitWithPartOfAFrameInHandSeesTheHangUp) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  platform::SetPortDevice(0, ptsname(master));
  const platform::PortHandle port = platform::OpenPort(0);
  ASSERT_NE(port, platform::kInvalidPort);
  ASSERT_TRUE(platform::SetLine(port, 9600));
  ASSERT_TRUE(platform::SetImmediateReads(port));
  const uint8_t part[2] = {0x80, 0x12};
  ASSERT_EQ(write(master, part, sizeof part), 2);
  ASSERT_EQ(platform::WaitReadable(port, 2000, 2), platform::WaitResult::Ready);
  close(master);
  EXPECT_EQ(platform::WaitReadable(port, 4000, 5), platform::WaitResult::Lost);
  platform::ClosePort(port, 100);
  platform::SetPortDevice(0, "");
}

TEST_F(LineAndClock, HangUpDuringAReplyOrBetweenCallsFailsPromptly) {
  SignOnQuiet(Sim());
  Sim().AddCommandFault({0x81, q583sim::ReplyFault::NoReply});
  std::atomic<bool> returned{false};
  std::thread conversion([&] {
    double mv = 0.0;
    EXPECT_EQ(EX_GetOneConversion(&mv), 0);
    returned = true;
  });
  ASSERT_TRUE(Sim().WaitForReceived(3, 3000));
  Sim().HangUp();
  const auto start = Clock::now();
  conversion.join();
  EXPECT_LT(SecondsSince(start), 2.0);  // not the reply time-out twice over
  uint8_t value = 0;
  EXPECT_EQ(EX_GetDigin(&value), 0);   // between calls: the port is gone
  ExpectANewInstrumentWorks();
}

// The receive queue of a tty holds about 4 KB, far below the default queue
// size: a host that cannot keep up is told of the overflow, not of a wrong
// marker.
TEST_F(LineAndClock, OverflowIsSeenAgainstWhatTheDriverHolds) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(Q583.RXQUEUESIZE, 32000U);
  Sim().SetPacing(false);
  Sim().SetFrameIntervalOverride(0.00001);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  for (int i = 0; i < 250 && EX_CheckRun(); ++i) SleepMs(20);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(Q583.errorType, 3);
}

// No time at all reads nothing, even what is already waiting.
TEST_F(LineAndClock, ReadWithoutTimeTakesNothing) {
  SignOnQuiet(Sim());
  ASSERT_EQ(DLL_SendPacket(0x86, 0x00), 1);  // the version reply: two bytes
  ASSERT_TRUE(Sim().WaitForReceived(3, 2000));
  SleepMs(100);
  uint8_t reply[2] = {};
  EXPECT_FALSE(ReadComBytes(2, 0, reply));
  EXPECT_TRUE(ReadComBytes(2, 500, reply));
  EXPECT_EQ(reply[0], 0x86);
}

// A sign-on, a scan and its end across each wrap of the clock.
class ClockWrap : public LineAndClock, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(ClockWrap, SignOnScanAndEndAcrossTheWrap) {
  platform::SetClockStart(GetParam() - 1500);
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  const auto start = Clock::now();
  ASSERT_EQ(EX_InitDev(), 1);  // its tick waits cross the wrap
  EXPECT_LT(SecondsSince(start), 10.0);
  ASSERT_EQ(EX_SetLengthOfRunMs(1000), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  for (int i = 0; i < 150 && EX_CheckRun(); ++i) SleepMs(20);
  EXPECT_EQ(EX_CheckRun(), 0);
  const auto values = CollectScans(1000, 1, 2000);
  EXPECT_GE(values.size(), static_cast<size_t>(1.0 / Q583.scanInterval) - 2);
  EXPECT_EQ(EX_EndScan(), 1);
}

INSTANTIATE_TEST_SUITE_P(Wraps, ClockWrap, ::testing::Values(0x80000000U, 0U));

TEST_F(LineAndClock, WaitsFollowTheRateTheInstrumentRuns) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_SetRate(0.001), 1);
  double rate = 0.0;
  ASSERT_EQ(EX_GetRate(&rate), 1);
  EXPECT_FLOAT_EQ(static_cast<float>(rate), 0.001F);  // kept as stored
  EXPECT_GE(EffectiveRate(0.001), 9.5);
  ASSERT_EQ(EX_SetRemoteAverage(1), 1);
  ASSERT_TRUE(SetAveraging());
  EXPECT_LT(replyTimeout.load(), 10000);  // not days
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const auto start = Clock::now();
  EX_EndScan();
  EXPECT_LT(SecondsSince(start), 30.0);  // not twice 5000 s

  // Longer than the 24-bit timer holds: the instrument is given its longest
  // interval, not the count cut to three bytes, and the run is timed with it.
  Q583.scanInterval = 6000.0;
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  EXPECT_EQ(Sim().GetState().timerCount, 0xFFFFFFU);
  EXPECT_NEAR(CurrentRun()->format.interval, Sim().GetState().frameIntervalS, 1e-6);
  EX_EndScan();

  // Too slow for the timer at an averaging of 1: it stays 1.
  Q583.average = 1;
  Q583.scanInterval = 1.0e6;
  double maximum = 0.0, minimum = 0.0;
  ApplyScanTiming(maximum, minimum);
  EXPECT_EQ(Q583.average, 1U);
}

// An instrument whose scan clock runs fast sends its frames a little sooner
// than the interval it was given.  The thread, which sleeps until a frame is
// due, must keep up: each frame is in hand a steady time after it was sent.
TEST_F(LineAndClock, AFastInstrumentClockIsKeptUpWith) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_SetRate(1000.0), 1);
  ASSERT_EQ(EX_SetToMinScanInterval(), 1);
  const double fast = QuantisedAppliedInterval() * 0.97;  // 3 % fast
  Sim().SetFrameIntervalOverride(fast);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  std::vector<double> late;  // receive time less the instrument's schedule
  const auto start = Clock::now();
  while (SecondsSince(start) < 3.0) {
    uint64_t numbers[64];
    double times[64];
    int32_t counts[64], returned = 0, unread = 0;
    uint8_t running = 0;
    ASSERT_EQ(EX_GetNumberedScanData(nullptr, counts, numbers, times, 64, &returned, &unread, &running), 1);
    ASSERT_EQ(running, 1);
    for (int i = 0; i < returned; ++i) late.push_back(times[i] - static_cast<double>(numbers[i]) * fast);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EX_EndScan();
  ASSERT_GT(late.size(), 60U) << "frames " << fast << " s apart";
  // Behind a thread that does not keep up, the delay climbs by about 1 ms a
  // frame until it has lost most of a frame's time, and starts again.
  std::sort(late.begin() + 10, late.end());
  const size_t n = late.size() - 10;
  EXPECT_LT(late[10 + n * 95 / 100] - late[10 + n * 5 / 100], 0.02);
}

// The interval of a loaded file is checked against the loaded settings.
class ConfigInterval : public LibraryTest {
 protected:
  double LoadWithInterval(const std::string& interval, const std::string& codes) {
    WriteFile("Q583_SP.ini", "[MAIN]\n" + (interval.empty() ? "" : "ScanInterval=" + interval + "\n") +
                                 "wordCnt=3\n" + codes);
    EX_SetIniDirectory(WorkDir().c_str());
    EXPECT_EQ(EX_SetDevToIniSetup(), 1);
    return Q583.scanInterval;
  }
  double Minimum() {
    double maximum = 0.0, minimum = 0.0;
    Q583Record copy = Q583;
    ComputeScanIntervalLimits(maximum, minimum, copy);
    return minimum;
  }
};

TEST_F(ConfigInterval, OutsideTheLimitsBecomesTheMinimumInsideIsKept) {
  // No codes: channels 0 and 1 by default, so two channels' minimum.
  const double missing = LoadWithInterval("", "");
  EXPECT_NEAR(missing, Minimum(), 0.001);
  EXPECT_GT(missing, 0.0);
  const double twoChannels = Minimum();
  EXPECT_NEAR(LoadWithInterval("5000", ""), twoChannels, 0.001);
  EXPECT_NEAR(LoadWithInterval("-1", ""), twoChannels, 0.001);
  EXPECT_EQ(LoadWithInterval("0.5", ""), 0.5);
  // Six channels of sixteen: 0.05 s is below their minimum.
  const std::string wide = "[SubChannels]\n0=15\n1=15\n2=15\n3=15\n4=15\n5=15\n";
  const double six = LoadWithInterval("0.05", wide);
  EXPECT_GT(six, 0.05);
  EXPECT_NEAR(six, Minimum(), 0.001);
}

TEST_F(ConfigInterval, UnreadableFilesFailAndUnholdableRecordsAreNotWritten) {
  // A file the reader refuses (beyond the size it reads) fails the load.
  WriteFile("Q583_SP.ini", "[MAIN]\n" + std::string(17U * 1024U * 1024U, ';') + "\n");
  EX_SetIniDirectory(WorkDir().c_str());
  EXPECT_EQ(EX_SetDevToIniSetup(), 0);
  EXPECT_TRUE(fDevSetupPending);

  WriteFile("Q583_SP.ini", "[MAIN]\nBAUD=0\n");
  ASSERT_EQ(EX_SetIniWriteEnabled(1), 1);
  ASSERT_TRUE(LazyInit());
  Q583.tScan = 9;
  ASSERT_EQ(EX_WriteCurrentConfigToIniFile(), 1);
  EXPECT_NE(ReadFile("Q583_SP.ini").find("tScan=1"), std::string::npos);
  const std::string before = ReadFile("Q583_SP.ini");
  Q583.average = 256;
  EXPECT_EQ(EX_WriteCurrentConfigToIniFile(), 0);
  EXPECT_EQ(ReadFile("Q583_SP.ini"), before);
}

}  // namespace
}  // namespace q583test
