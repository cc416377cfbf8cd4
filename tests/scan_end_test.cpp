// Every way a run ends: the host's end and stop, a new run over a running
// one, the operations that stop a scan first, and each error exit of the
// acquisition thread.  Afterwards the run is over, the trailer is where it
// belongs and nothing hangs.
#include <algorithm>
#include <chrono>

#include "device/q583.h"
#include "link/serial.h"
#include "logging/scan_log.h"
#include "scan/scan_internal.h"
#include "scan/scan_run.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"
#include "support/run_helpers.h"

namespace q583test {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

class ScanEnd : public SimTest {
 protected:
  void StartOneChannel(uint32_t logOptions = kLogFile | kLogMemory) {
    SetChannelCodes({0x00});
    Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 0.5});
    ASSERT_EQ(EX_SetDataLogOptions(logOptions, 0, 0), 1);
    SignOnQuiet(Sim());
    ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  }
  size_t Trailers(const std::string& file) { return CountOf(ReadFile(file), "Minimal System Interval:"); }
  bool Sent(uint8_t first) {
    for (const auto& p : Sim().Packets())
      if (p.first == first) return true;
    return false;
  }
  bool WaitRunEnded(int ms) {
    for (int waited = 0; waited < ms; waited += 20) {
      if (!ScanRunning()) return true;
      SleepMs(20);
    }
    return !ScanRunning();
  }
};

TEST_F(ScanEnd, StopNeedsTheSignOn) {
  EXPECT_EQ(EX_Stop(), 0);
  SleepMs(50);
  EXPECT_TRUE(Sim().Received().empty());
}

TEST_F(ScanEnd, StopEndsLikeEndScan) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  const auto start = Clock::now();
  ASSERT_EQ(EX_Stop(), 1);
  EXPECT_GE(SecondsSince(start), 1.5);  // the drain
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_FALSE(Sim().GetState().scanning);
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 2U);
  EXPECT_FALSE(RunLogOpen());
}

TEST_F(ScanEnd, RunOverARunningScanStartsAfresh) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  const uint32_t signOns = Sim().GetState().signOns;
  ASSERT_EQ(EX_Run(), 1);
  EXPECT_EQ(Sim().GetState().signOns, signOns + 1);
  EXPECT_FALSE(Sent(0x8A));  // no stop command
  EXPECT_EQ(EX_CheckRun(), 1);
  // Ended without ceremony: no trailer, and the new start closes its file
  // as it stands.
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 0U);
  EXPECT_EQ(CollectScans(2, 1, 3000).size(), 2U);
  ASSERT_EQ(EX_EndScan(), 1);
  EXPECT_EQ(Trailers("ScanLog_1.txt"), 2U);
}

TEST_F(ScanEnd, StandbyEndsTheScanInOrder) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  ASSERT_EQ(EX_Standby(1), 1);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_TRUE(Sent(0x8A));
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 2U);
}

TEST_F(ScanEnd, SleepEndsTheScanInOrder) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  ASSERT_EQ(EX_Sleep(1), 1);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_TRUE(Sent(0x8A));
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 2U);
}

TEST_F(ScanEnd, CalibrationEndsTheScanAtOnce) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  EX_SystemCalibration();
  EXPECT_FALSE(ScanRunning());
  EXPECT_EQ(EX_CheckRun(), 0);
  // No trailer (the run ended at once), but the instrument was told to stop
  // before the calibration talked to it.
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 0U);
  const auto packets = Sim().Packets();
  const auto stop = std::find_if(packets.begin(), packets.end(), [](const auto& p) { return p.first == 0x8A; });
  ASSERT_NE(stop, packets.end());
  EXPECT_TRUE(std::any_of(stop, packets.end(), [](const auto& p) { return p.first == 0x82 || p.first == 0x83; }));
  EXPECT_FALSE(Sim().GetState().scanning);
}

TEST_F(ScanEnd, ResetEndsTheScanAtOnce) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  EXPECT_EQ(EX_Reset(), 1);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_FALSE(Sent(0x8A));
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 0U);
}

TEST_F(ScanEnd, SetRateEndsTheScanAtOnce) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  ASSERT_EQ(EX_SetRate(100.0), 1);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 0U);
  const Q583RunSummary summary = Summary();
  EXPECT_EQ(summary.endReason, static_cast<uint32_t>(Q583_END_AT_ONCE));
  EXPECT_STREQ(summary.endCall, "EX_SetRate");
  // The file of the cut run is closed by the next start, as it stands: no
  // trailer of the next start's time and interval.
  ASSERT_EQ(EX_InitDev(), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  EXPECT_TRUE(FileExists("ScanLog_1.txt"));
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 0U);
}

TEST_F(ScanEnd, WrongMarkerEndsTheRun) {
  SetChannelCodes({0x01});
  Sim().AddFrameFault({q583sim::FrameFaultKind::WrongMarker, 2});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(WaitRunEnded(5000));
  int32_t code = 0;
  char text[24];
  ASSERT_EQ(EX_GetErrorType(&code, text, sizeof text), 1);
  EXPECT_EQ(code, 1);
  EXPECT_STREQ(text, "a frame began with a wr");  // cut to the buffer, ended with a zero
  EXPECT_EQ(EX_CheckRun(), 0);
  const Q583RunSummary summary = Summary();
  EXPECT_EQ(summary.endReason, static_cast<uint32_t>(Q583_END_FRAME_ERROR));
  EXPECT_EQ(summary.scansTaken, 2U);
  const auto gaps = Gaps();
  ASSERT_FALSE(gaps.empty());
  EXPECT_EQ(gaps[0].first, 2U);  // the third frame, the faulty one, and any after it
  EXPECT_EQ(gaps[0].cause, static_cast<uint32_t>(Q583_GAP_FRAME_FAULT));
  EXPECT_EQ(summary.lostFrameFault, summary.scansSent - 2);
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 1U);  // the thread's
  EXPECT_EQ(CountOf(ReadFile("ScanLog_0.txt"), "Subcycles averaged:      \t2\n"), 1U);
  const std::string debug = ReadFile("ScanOut.txt");
  EXPECT_EQ(CountOf(debug, "[GetOneScan]  pScanDataBuffPointer[0xF1] should be: 0xF0\n"), 1U);
  EXPECT_EQ(CountOf(debug, "ThreadFunc_GetScanData()-> fGetScanRetVal == FAILED\n"), 1U);
  EXPECT_EQ(CountOf(debug, "ThreadFunc_GetScanData()-> ending thread()\n"), 1U);
  ASSERT_EQ(EX_EndScan(), 1);
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 2U);
}

TEST_F(ScanEnd, AByteLostInAFrameEndsTheRunWhileDigitalInputsAreRead) {
  // Without the marker test, every frame after the lost byte would be read
  // shifted by one byte: every value of the rest of the run wrong.
  SetChannelCodes({0x01});
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 0.5});
  Sim().SetInput(0, 1, {q583sim::SignalKind::Constant, 0.5});
  Sim().AddFrameFault({q583sim::FrameFaultKind::DropByte, 3});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  ASSERT_EQ(EX_SetDiginScan(1), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(WaitRunEnded(5000));
  EXPECT_EQ(Q583.errorType, 1);
  double values[64] = {};
  int32_t returned = 0, unread = 0;
  uint8_t running = 1;
  ASSERT_EQ(EX_GetScanDataDbl(values, 32, &returned, &unread, &running), 1);
  EXPECT_EQ(running, 0);
  // Frames 0-2 whole; the damaged frame 3 is the last stored (its damage
  // shows only at the next frame's first byte).
  ASSERT_GE(returned, 3);
  EXPECT_LE(returned, 4);
  for (int i = 0; i < 2 * 3; ++i) EXPECT_NEAR(values[i], 0.5, 0.01) << "value " << i;
}

TEST_F(ScanEnd, ShortFrameSignsOnAgain) {
  // The reader on its own: the port holds part of a frame and the line
  // then stays quiet.
  SetChannelCodes({0x01});
  SignOnQuiet(Sim());
  Sim().SetFrameIntervalOverride(3.0);
  Sim().AddFrameFault({q583sim::FrameFaultKind::DropByte, 0});
  ASSERT_EQ(DLL_SendPacket(0x89, 0x00), 1);
  ASSERT_TRUE(Sim().WaitForFrames(1, 5000));
  SleepMs(50);
  uint8_t echo = 0;
  ASSERT_TRUE(platform::ReadByte(CurrentPort(), echo));
  EXPECT_EQ(echo, 0x89);
  Q583.scanInterval = 0.2;  // the reader waits 2.2 s, the next frame comes 3 s later
  ScanRun run(FormatFromSettings());
  const uint32_t signOns = Sim().GetState().signOns;
  const auto start = Clock::now();
  EXPECT_FALSE(GetOneScan(run));
  EXPECT_GE(SecondsSince(start), 2.2 + 0.2);
  EXPECT_EQ(Q583.errorType, 2);
  EXPECT_EQ(Sim().GetState().signOns, signOns + 1);
}

TEST_F(ScanEnd, ReceiveQueueOverflowEndsTheRun) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  Q583.RXQUEUESIZE = 60;  // six frames of five bytes may wait
  Sim().SetPacing(false);
  Sim().SetFrameIntervalOverride(0.00002);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(WaitRunEnded(5000));
  EXPECT_EQ(Q583.errorType, 3);
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 1U);
  // The instrument floods on: the end may not see its stop echo, but it
  // closes the file with its trailer and returns.
  EXPECT_EQ(EX_CheckRun(), 0);
  EX_EndScan();
  EXPECT_FALSE(RunLogOpen());
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 2U);
}

TEST_F(ScanEnd, HangUpLeavesNothingHanging) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(3, 3000));
  SleepMs(100);
  Sim().HangUp();
  SleepMs(200);
  const auto start = Clock::now();
  EXPECT_EQ(EX_EndScan(), 0);  // no stop echo from an unplugged line
  EXPECT_LT(SecondsSince(start), 15.0);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(Summary().endReason, static_cast<uint32_t>(Q583_END_LINE_LOST));
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 2U);
  EXPECT_FALSE(RunLogOpen());
}

TEST_F(ScanEnd, NoStopEchoFailsTheEnd) {
  StartOneChannel();
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  Sim().SetNoStopEcho(true);
  EXPECT_EQ(EX_EndScan(), 0);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_TRUE(Sent(0x8A));
}

TEST_F(ScanEnd, ReaderStuckInAFrameIsEndedAfter200ms) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile, 0, 0), 1);
  ASSERT_EQ(EX_SetDiginScan(1), 1);
  SignOnQuiet(Sim());
  Sim().SetFrameIntervalOverride(3.0);
  Sim().AddFrameFault({q583sim::FrameFaultKind::DropByte, 0});
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(1, 5000));
  SleepMs(300);  // the reader now waits for the rest of the frame
  const auto start = Clock::now();
  ASSERT_EQ(EX_EndScan(), 1);
  EXPECT_LT(SecondsSince(start), 2.8);
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(Trailers("ScanLog_0.txt"), 1U);  // scan end's only: the thread was ended
}

}  // namespace
}  // namespace q583test
