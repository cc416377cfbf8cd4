// Timed runs, the run-end beep, and digital input and output during a scan.
#include <chrono>
#include <mutex>

#include "scan/scan_internal.h"
#include "scan/scan_run.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"
#include "support/run_helpers.h"

namespace q583test {
namespace {

using Clock = std::chrono::steady_clock;

struct Tone {
  uint32_t hz, ms;
  Clock::time_point at;
};
std::mutex gToneMutex;
std::vector<Tone> gTones;

void Q583_CALL RecordTone(uint32_t hz, uint32_t ms) {
  std::lock_guard<std::mutex> lock(gToneMutex);
  gTones.push_back({hz, ms, Clock::now()});
}

std::vector<Tone> Tones() {
  std::lock_guard<std::mutex> lock(gToneMutex);
  return gTones;
}

class ScanTimed : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    std::lock_guard<std::mutex> lock(gToneMutex);
    gTones.clear();
  }
  void TearDown() override {
    SimTest::TearDown();
    EX_SetBeepHandler(nullptr);
  }
  void Prepare() {
    SetChannelCodes({0x00});
    ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
    SignOnQuiet(Sim());
  }
  double WaitForEnd(Clock::time_point start, int ms) {
    for (int waited = 0; waited < ms && EX_CheckRun(); waited += 10) SleepMs(10);
    return std::chrono::duration<double>(Clock::now() - start).count();
  }
};

TEST_F(ScanTimed, RunInMillisecondsEndsByItself) {
  Prepare();
  ASSERT_EQ(EX_SetLengthOfRunMs(1000), 1);
  const auto start = Clock::now();
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const double took = WaitForEnd(start, 5000);
  EXPECT_GE(took, 1.1);
  EXPECT_LT(took, 2.5);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(fDevSignedOn.load(), true);
  // Every scan of the run stays retrievable after its end.
  std::vector<double> values(10);
  int32_t returned = 0, unread = 0;
  uint8_t running = 1;
  ASSERT_EQ(EX_GetScanDataDbl(values.data(), 10, &returned, &unread, &running), 1);
  EXPECT_GT(returned, 0);
  EXPECT_EQ(running, 0);
  const Q583RunSummary summary = Summary();
  EXPECT_EQ(summary.endReason, static_cast<uint32_t>(Q583_END_TIMED));
  EXPECT_EQ(summary.scansSent, summary.scansTaken);  // nothing lost
  EXPECT_EQ(summary.scansStored, summary.scansTaken);
  EXPECT_EQ(summary.scansHandedOut, static_cast<uint64_t>(returned));
  EXPECT_GT(summary.endTime, summary.startTime);
  EXPECT_TRUE(Gaps().empty());
  EXPECT_EQ(CountOf(ReadFile("ScanLog_0.txt"), "Minimal System Interval:"), 1U);
  ASSERT_EQ(EX_EndScan(), 1);
}

TEST_F(ScanTimed, RunInSecondsRunsElevenPeriods) {
  Prepare();
  ASSERT_EQ(EX_SetLengthOfRunSec(1), 1);
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  const auto start = Clock::now();
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const double took = WaitForEnd(start, 8000);
  EXPECT_GE(took, 2.2);
  EXPECT_LT(took, 4.0);
  const std::string debug = ReadFile("ScanOut.txt");
  EXPECT_EQ(CountOf(debug, "ThreadFunc_GetScanData()-> resetting clock timeout \n"), 10U);
  EXPECT_EQ(CountOf(debug, "ThreadFunc_GetScanData()-> setting fUseLimitedTimeRun_LOCAL = TRUE\n"), 1U);
  EXPECT_EQ(CountOf(debug, " uiLengthOfRunSec: 1\n"), 1U);
  EXPECT_EQ(CountOf(debug, "ThreadFunc_GetScanData()-> ending thread()\n"), 1U);
  // Zero gives an unlimited run again.
  ASSERT_EQ(EX_SetLengthOfRunSec(0), 1);
  EXPECT_EQ(uiRunLengthMode.load(), 1U);
  ASSERT_EQ(EX_SetLengthOfRunMs(0), 1);
  EXPECT_EQ(uiRunLengthMode.load(), 1U);
}

TEST_F(ScanTimed, SettingTheLengthEndsARunningScanAtOnce) {
  Prepare();
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  ASSERT_EQ(EX_SetLengthOfRunMs(500), 1);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(CountOf(ReadFile("ScanLog_0.txt"), "Minimal System Interval:"), 0U);
  EXPECT_EQ(uiRunLengthMode.load(), 2U);
}

TEST_F(ScanTimed, BeepScheduleAfterTheRun) {
  ASSERT_EQ(EX_SetBeepHandler(&RecordTone), 1);
  ASSERT_EQ(EX_SetRunEndBeepOptions(1, 0, 0, 0, 0), 1);
  EXPECT_EQ(uiBeepFrequencyHz.load(), 440U);
  EXPECT_EQ(uiBeepDurationMs.load(), 50U);
  EXPECT_EQ(uiBeepIntervalSec.load(), 2U);
  EXPECT_EQ(uiBeepTotalSec.load(), 10U);
  ASSERT_EQ(EX_SetRunEndBeepOptions(1, 880, 30, 1, 3), 1);
  Prepare();
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  const auto start = Clock::now();
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  EXPECT_EQ(CountOf(ReadFile("ScanOut.txt"),
                    "ThreadFunc_GetScanData()-> success: to get valid hScanEndBeepThread_HANDLE\n"),
            1U);
  SleepMs(500);
  EXPECT_TRUE(Tones().empty());  // nothing while the run goes on
  ASSERT_EQ(EX_EndScan(), 1);
  for (int i = 0; i < 60 && fRunEndBeepThreadRunning; ++i) SleepMs(100);
  EXPECT_FALSE(fRunEndBeepThreadRunning);

  // Tones at the end of the run (about 0.5 s) and every second after it,
  // the last being the first after the 3 s total.
  const auto tones = Tones();
  ASSERT_EQ(tones.size(), 4U);
  const double first = std::chrono::duration<double>(tones[0].at - start).count();
  EXPECT_GE(first, 0.45);
  EXPECT_LT(first, 1.0);
  for (size_t i = 0; i < tones.size(); ++i) {
    EXPECT_EQ(tones[i].hz, 880U);
    EXPECT_EQ(tones[i].ms, 30U);
    if (i > 0) {
      const double gap = std::chrono::duration<double>(tones[i].at - tones[i - 1].at).count();
      EXPECT_GE(gap, 0.95);
      EXPECT_LT(gap, 1.4);
    }
  }
}

TEST_F(ScanTimed, StopRunEndBeepEndsTheThreadAndDisablesBeeping) {
  ASSERT_EQ(EX_SetBeepHandler(&RecordTone), 1);
  ASSERT_EQ(EX_SetRunEndBeepOptions(1, 0, 0, 0, 0), 1);
  Prepare();
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  EXPECT_TRUE(fRunEndBeepThreadRunning);
  ASSERT_EQ(EX_StopRunEndBeep(), 1);
  EXPECT_FALSE(fRunEndBeepThreadRunning);
  ASSERT_EQ(EX_EndScan(), 1);
  SleepMs(200);
  EXPECT_TRUE(Tones().empty());

  ASSERT_EQ(EX_DoScanDebug(1), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  EXPECT_EQ(CountOf(ReadFile("ScanOut.txt"), "ThreadFunc_GetScanData()-> DID NOT ATTEMPT TO CREATE NEW THREAD \n"),
            1U);
  EXPECT_FALSE(fRunEndBeepThreadRunning);
}

TEST_F(ScanTimed, DigitalOutputQueuedDuringAScan) {
  Prepare();
  Sim().SetFrameIntervalOverride(0.3);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(1, 3000));
  ASSERT_EQ(EX_SendDigout(0x5A), 1);
  for (int i = 0; i < 50 && DigoutQueued(); ++i) SleepMs(10);
  EXPECT_FALSE(DigoutQueued());
  SleepMs(100);
  const auto outputs = Sim().GetState().digitalOutputs;
  ASSERT_FALSE(outputs.empty());
  EXPECT_EQ(outputs.back(), 0x5A);
  EXPECT_TRUE(Sim().GetState().scanning);
  EXPECT_EQ(CollectScans(2, 1, 3000).size(), 2U);
  ASSERT_EQ(EX_EndScan(), 1);
}

TEST_F(ScanTimed, DigitalInputReadWithTheScan) {
  SetChannelCodes({0x01});
  Sim().SetInput(0, 1, {q583sim::SignalKind::Constant, 2.0});
  Sim().SetDigitalInput(0xA5);
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  ASSERT_EQ(EX_SetDiginScan(1), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const auto values = CollectScans(4, 2, 5000);
  ASSERT_EQ(values.size(), 8U);
  for (size_t s = 0; s < 4; ++s) EXPECT_NEAR(values[2 * s + 1], 2.0, 1e-5);
  uint8_t input = 0;
  ASSERT_EQ(EX_GetDiginWScan(&input), 1);
  EXPECT_EQ(input, 0xA5);
  Sim().SetDigitalInput(0x3C);
  for (int i = 0; i < 100 && input != 0x3C; ++i) {
    SleepMs(20);
    EX_GetDiginWScan(&input);
  }
  EXPECT_EQ(input, 0x3C);
  EXPECT_EQ(EX_CheckRun(), 1);
  ASSERT_EQ(EX_EndScan(), 1);
}

}  // namespace
}  // namespace q583test
