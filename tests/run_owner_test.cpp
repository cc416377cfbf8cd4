// Each run keeps what is its own: its format, its stored scans, its log
// file and its queued output byte, whatever other calls meet it; and a
// calibration that fails midway never leaves the library believing in a
// gain the instrument does not have.
#include <cmath>
#include <string>

#include "device/q583.h"
#include "link/commands.h"
#include "link/packets.h"
#include "scan/scan_run.h"
#include "support/run_helpers.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"

namespace q583test {
namespace {

class RunOwner : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 1.0});
    Sim().SetInput(1, 0, {q583sim::SignalKind::Constant, -1.5});
  }
  bool WaitRunEnded(int ms) {
    for (int waited = 0; waited < ms && EX_CheckRun(); waited += 20) SleepMs(20);
    return EX_CheckRun() == 0;
  }
  // Every scan left in the ring.
  std::vector<double> Drain(uint32_t points) {
    std::vector<double> all, chunk(64 * points);
    int32_t returned = 0, unread = 0;
    uint8_t running = 0;
    while (EX_GetScanDataDbl(chunk.data(), 64, &returned, &unread, &running) && returned > 0)
      all.insert(all.end(), chunk.begin(), chunk.begin() + returned * static_cast<long>(points));
    return all;
  }
};

TEST_F(RunOwner, AFailedCalibrationStepLeavesTheLibraryNotSignedOn) {
  ASSERT_EQ(EX_SetGain(8), 1);
  ASSERT_EQ(EX_InitDev(), 1);
  // The offset step at gain 1 goes unanswered once: the instrument is left
  // at gain 1 and the sign-on has failed with it.
  Sim().AddCommandFault({0x82, q583sim::ReplyFault::NoReply, 0, 0, 0, 1});
  EXPECT_EQ(EX_InitDev(), 0);
  const uint32_t signOns = Sim().GetState().signOns;
  double mv = 0.0;
  ASSERT_EQ(EX_GetOneConversion(&mv), 1);
  EXPECT_EQ(Sim().GetState().signOns, signOns + 1);  // signed on afresh
  ComputeModeRegisters();
  const auto state = Sim().GetState();
  EXPECT_EQ(state.modeRegHi & 0x1F, Q583.modeRegHi & 0x1F);
  EXPECT_EQ(state.modeRegMid, Q583.modeRegMid & 0xFF);
  EXPECT_EQ(state.modeRegLo, Q583.modeRegLo & 0xFF);
}

// A run reads its frames with the format of its start; defaults applied
// during the run are the next run's.
TEST_F(RunOwner, DefaultsDuringARunLeaveItsFormat) {
  SetChannelCodes({0x00, 0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_SetLengthOfRunMs(1200), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  ASSERT_EQ(EX_SetDevToDefaultSetup(), 1);
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  // The defaults forget the sign-on, so EX_CheckRun says 0: wait on the run.
  for (int i = 0; i < 250 && ScanRunning(); ++i) SleepMs(20);
  ASSERT_FALSE(ScanRunning());
  EXPECT_EQ(Q583.errorType, 0);
  const auto values = Drain(2);
  ASSERT_GE(values.size(), 6U);
  for (size_t i = 0; i < values.size(); i += 2) {
    ASSERT_NEAR(values[i], 1.0, 1e-4) << "scan " << i / 2;
    ASSERT_NEAR(values[i + 1], -1.5, 1e-4) << "scan " << i / 2;
  }
}

// Only stored scans are counted: memory logging switched on during a run
// hands out that run's values and nothing of an earlier run's.
TEST_F(RunOwner, MemoryLoggingSwitchedOnHandsOutOnlyStoredScans) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 2.0});
  ASSERT_EQ(EX_SetLengthOfRunMs(600), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(WaitRunEnded(5000));

  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 1.0});
  ASSERT_EQ(EX_SetDataLogOptions(0, 0, 0), 1);
  ASSERT_EQ(EX_SetLengthOfRunMs(0), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const uint32_t before = Sim().FramesSent();
  ASSERT_TRUE(Sim().WaitForFrames(before + 4, 3000));
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  ASSERT_TRUE(Sim().WaitForFrames(Sim().FramesSent() + 3, 3000));
  ASSERT_EQ(EX_EndScan(), 1);
  const auto values = Drain(1);
  ASSERT_FALSE(values.empty());
  for (double v : values) ASSERT_NEAR(v, 1.0, 1e-4);
}

// A log file belongs to its run: the next start closes the file that a run
// which ended by itself left open, without a word of its own, and no later
// run writes into it.
TEST_F(RunOwner, ALaterRunNeverWritesIntoAnEarlierRunsFile) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_SetLengthOfRunMs(500), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(WaitRunEnded(5000));
  const std::string first = ReadFile("ScanLog_0.txt");
  ASSERT_EQ(CountOf(first, "Minimal System Interval:"), 1U);  // the thread's

  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  ASSERT_EQ(EX_SetLengthOfRunMs(0), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  SleepMs(300);
  ASSERT_EQ(EX_EndScan(), 1);
  const std::string text = ReadFile("ScanLog_0.txt");
  EXPECT_EQ(text, first);  // the next start closed it as it stood
  const auto lines = Lines(text);
  std::string started;
  for (const auto& line : lines) {
    if (line.rfind("Started:", 0) != 0) continue;
    if (started.empty()) started = line;
    EXPECT_EQ(line, started);  // every trailer is the first run's
  }
  EXPECT_FALSE(FileExists("ScanLog_1.txt"));
}

// A run's file ends with whole trailers however early the run ends: a start
// that fails, or an end that comes before the thread has run.  The start
// time is the start's, not the thread's.
TEST_F(RunOwner, EveryTrailerHasItsRunsStartTime) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  Sim().AddCommandFault({0x89, q583sim::ReplyFault::NoReply, 0, 0, 0, 1});
  EXPECT_EQ(EX_StartScan_NoSysCal(), 0);
  ASSERT_EQ(EX_InitDev(), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_EQ(EX_EndScan(), 1);
  const std::string startedField = "Started:                 \t";
  for (const char* name : {"ScanLog_0.txt", "ScanLog_1.txt"}) {
    size_t started = 0;
    for (const auto& line : Lines(ReadFile(name))) {
      if (line.rfind(startedField, 0) != 0) continue;
      ++started;
      EXPECT_GT(line.size(), startedField.size() + 20) << name;  // a ctime() date
    }
    EXPECT_GE(started, 1U) << name;
  }
}

// A byte accepted with result 1 near a run's end reaches the instrument,
// in its run or right after its end.
TEST_F(RunOwner, EveryAcceptedOutputByteReachesTheInstrument) {
  SetChannelCodes({0x00});
  // Both logs: the thread's end takes a while, which leaves room for a
  // byte to come late.
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  SignOnQuiet(Sim());
  for (int run = 0; run < 8; ++run) {
    ASSERT_EQ(EX_SetLengthOfRunMs(250 + 37 * run), 1);
    ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
    uint8_t lastAccepted = 0;
    bool any = false;
    for (uint8_t v = static_cast<uint8_t>(run * 40 + 1); EX_CheckRun(); ++v) {
      uint8_t busy = 0;
      if (EX_SendDigoutWScan(v, &busy) == 1) {
        lastAccepted = v;
        any = true;
      }
    }
    ASSERT_TRUE(any);
    SleepMs(100);  // the thread's last byte on its way
    const auto outputs = Sim().GetState().digitalOutputs;
    ASSERT_FALSE(outputs.empty());
    EXPECT_EQ(outputs.back(), lastAccepted) << "run " << run;
  }
  EXPECT_EQ(EX_EndScan(), 1);
}

// A start that fails keeps the unread scans of the run before.
TEST_F(RunOwner, AFailedStartKeepsTheLastRunsScans) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_SetLengthOfRunMs(500), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(WaitRunEnded(5000));
  const uint32_t unread = RunUnread();
  ASSERT_GT(unread, 2U);
  Sim().AddCommandFault({0x89, q583sim::ReplyFault::NoReply, 0, 0, 0, 1});
  EXPECT_EQ(EX_StartScan_NoSysCal(), 0);
  EXPECT_EQ(Drain(1).size(), unread);
}

// A setting changed while signed on reaches the instrument before a run or
// a conversion reads values with it.
TEST_F(RunOwner, APolarityChangedAfterTheSignOnIsSentBeforeValuesAreRead) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 0.25});
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_SetPolarity(0), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const auto values = CollectScans(3, 1, 5000);
  ASSERT_EQ(EX_EndScan(), 1);
  ASSERT_FALSE(values.empty());
  for (double v : values) EXPECT_NEAR(v, 0.25, 1e-4);
  ASSERT_EQ(EX_SetPolarity(1), 1);
  double mv = 0.0;
  ASSERT_EQ(EX_GetOneConversion(&mv), 1);
  EXPECT_NEAR(mv, 250.0, 0.1);
}

// Lengths beyond what the clock holds as a deadline still last.
TEST_F(RunOwner, VeryLongRunsDoNotEndAtOnce) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  for (int form = 0; form < 2; ++form) {
    if (form == 0) {
      ASSERT_EQ(EX_SetLengthOfRunMs(0x80000000U), 1);
    } else {
      ASSERT_EQ(EX_SetLengthOfRunSec(21474837U), 1);  // x 100 is past 2^31
    }
    ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
    SleepMs(700);
    EXPECT_EQ(EX_CheckRun(), 1) << "form " << form;
    ASSERT_EQ(EX_EndScan(), 1);
  }
}

}  // namespace
}  // namespace q583test
