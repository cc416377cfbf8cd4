// Where a run meets other calls: after a run, before a run, between two runs
// and from two host threads.  A ramp of 1 V/s on channel 0 makes every
// value tell the index of the frame it came from, so each scan handed out
// can be checked to be whole, in order and not repeated.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>

#include "device/q583.h"
#include "link/packets.h"
#include "logging/scan_log.h"
#include "scan/scan_run.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"
#include "support/run_helpers.h"

namespace q583test {
namespace {

class RunEdges : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    Sim().SetInput(0, 0, {q583sim::SignalKind::Ramp, 0.0, 4.0, 4.0});
    Sim().SetInput(1, 0, {q583sim::SignalKind::Constant, -1.5});
  }
  // The frame a channel-0 value came from (the ramp's time, 1 V/s, is
  // (index + 1) x the instrument's frame interval).
  long FrameOf(double volts) { return std::lround(volts / Sim().GetState().frameIntervalS) - 1; }

  // Every scan left in the ring, values per scan `points`.
  std::vector<double> DrainRing(uint32_t points, uint8_t& lastRunning) {
    std::vector<double> all, chunk(64 * points);
    int32_t returned = 0, unread = 0;
    while (EX_GetScanDataDbl(chunk.data(), 64, &returned, &unread, &lastRunning) && returned > 0)
      all.insert(all.end(), chunk.begin(), chunk.begin() + returned * static_cast<long>(points));
    return all;
  }

  // Channel-0 values of consecutive frames from the first: whole scans in order.
  void ExpectConsecutiveFrames(const std::vector<double>& values, uint32_t points) {
    ASSERT_EQ(values.size() % points, 0U);
    for (size_t i = 0; i < values.size() / points; ++i)
      ASSERT_EQ(FrameOf(values[i * points]), static_cast<long>(i)) << "scan " << i;
  }

  size_t Trailers() { return CountOf(ReadFile("ScanLog_0.txt"), "Minimal System Interval:"); }

  // Time of the first packet with this command byte (-1: none).
  double PacketTime(uint8_t first) {
    for (const auto& p : Sim().Packets())
      if (p.first == first) return p.timeS;
    return -1.0;
  }
};

// Items 1, 5, 6: a single-channel run that ends by itself, then a direct
// operation, then a two-channel run.
TEST_F(RunEdges, RunsThatEndByThemselvesKeepTheirScansAndStopTheInstrument) {
  SetChannelCodes({0x00, 0x00});
  Q583.tScan = 0;
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_SetLengthOfRunMs(800), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  for (int i = 0; i < 300 && EX_CheckRun(); ++i) SleepMs(20);
  ASSERT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(Q583.numChannels, 2);  // never the single-channel run's 1

  // Nothing was read during the run: all of it comes out now, once.
  uint8_t running = 1;
  const auto values = DrainRing(1, running);
  EXPECT_EQ(running, 0);
  EXPECT_GE(values.size(), static_cast<size_t>(0.8 / Q583.scanInterval) - 2);
  ExpectConsecutiveFrames(values, 1);
  uint32_t lost = 1;
  ASSERT_EQ(EX_GetScanOverrunCount(&lost), 1);
  EXPECT_EQ(lost, 0U);

  // The instrument is stopped before the conversion talks to it.
  double mv = 0.0;
  ASSERT_EQ(EX_GetOneConversion(&mv), 1);
  EXPECT_FALSE(Sim().GetState().scanning);
  ASSERT_GT(PacketTime(0x8A), 0.0);
  EXPECT_LT(PacketTime(0x8A), PacketTime(0x81));

  // A two-channel run takes two values from each frame, also when the scan
  // type is set to another during the run (the next run's).
  Q583.tScan = 1;
  ASSERT_EQ(EX_SetLengthOfRunMs(500), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_EQ(EX_SetScanType(0), 1);
  for (int i = 0; i < 300 && EX_CheckRun(); ++i) SleepMs(20);
  EXPECT_EQ(Q583.errorType, 0);
  const auto pairs = DrainRing(2, running);
  ASSERT_GE(pairs.size(), 4U);
  ExpectConsecutiveFrames(pairs, 2);
  for (size_t i = 1; i < pairs.size(); i += 2) EXPECT_NEAR(pairs[i], -1.5, 1e-5);
}

// Bytes that nobody asked for (line noise while idle, a reply come too
// late) never reach a run: a single-channel frame has no marker, so one
// stale byte would shift every value after it.  And a run ended at once
// leaves no instrument streaming behind the configuration load.
TEST_F(RunEdges, StaleInputAndAStreamingInstrumentReachNoLaterCall) {
  SetChannelCodes({0x00});
  Q583.tScan = 0;
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  auto noiseWhileIdle = [this] {
    Sim().SetLineNoise(400);
    SleepMs(150);
    Sim().SetLineNoise(0);
  };
  noiseWhileIdle();
  ASSERT_EQ(EX_SetLengthOfRunMs(700), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  for (int i = 0; i < 300 && EX_CheckRun(); ++i) SleepMs(20);
  uint8_t running = 1;
  const auto values = DrainRing(1, running);
  ASSERT_GE(values.size(), 3U);
  ExpectConsecutiveFrames(values, 1);

  // The same for a reply: the conversion reads its own value.
  noiseWhileIdle();
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 2.5});
  double mv = 0.0;
  ASSERT_EQ(EX_GetOneConversion(&mv), 1);
  EXPECT_NEAR(mv, 2500.0, 0.01);

  ASSERT_EQ(EX_SetLengthOfRunMs(0), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  ASSERT_EQ(EX_SetLengthOfRunSec(5), 1);  // ends the run at once
  EXPECT_EQ(EX_CheckRun(), 0);
  WriteFile("Q583_SP.ini", "[MAIN]\ncomPort=0\ntScan=1\n");
  EX_SetIniDirectory(".");
  (void)EX_SetDevToIniSetup();
  EXPECT_FALSE(Sim().GetState().scanning);
}

// Items 3 and 7: a sign-on asked for during a run ends the run in order
// first; the end closes a scan log even after file logging was switched off.
TEST_F(RunEdges, SignOnDuringARunEndsItFirstAndEveryEndClosesTheLog) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(3, 3000));
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  ASSERT_EQ(EX_EndScan(), 1);
  EXPECT_FALSE(RunLogOpen());
  EXPECT_EQ(Trailers(), 2U);  // as any orderly end: the thread's and the end's

  // Codes asked for during a run started without EX_InitDev: no sign-on.
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  fDevSignedOn = false;
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(3, 3000));
  const uint32_t signOns = Sim().GetState().signOns;
  uint8_t c[6] = {}, count = 0;
  ASSERT_EQ(EX_GetMultiChanScanChanCodes(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &count), 1);
  EXPECT_EQ(count, 1);
  EXPECT_EQ(Sim().GetState().signOns, signOns);
  EXPECT_EQ(EX_CheckRun(), 0);  // a run without a sign-on of the host's

  // EX_InitDev during the run: the stop goes out before any sign-on byte.
  Sim().ClearLog();
  ASSERT_EQ(EX_InitDev(), 1);
  EXPECT_EQ(CountOf(ReadFile("ScanLog_1.txt"), "Minimal System Interval:"), 2U);
  const double stop = PacketTime(0x8A);
  ASSERT_GT(stop, 0.0);
  for (const auto& byte : Sim().Received()) {
    if (byte.baud == 300) {
      EXPECT_GT(byte.timeS, stop);
    }
  }
  EXPECT_FALSE(Sim().GetState().scanning);

  // A run that ends by itself closes its file with the trailer, also when
  // file logging was switched off while it ran.
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  ASSERT_EQ(EX_SetLengthOfRunMs(600), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  for (int i = 0; i < 300 && EX_CheckRun(); ++i) SleepMs(20);
  ASSERT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(CountOf(ReadFile("ScanLog_2.txt"), "Minimal System Interval:"), 1U);
}

// Item 4: a queued digital-output byte goes out before its run ends, or
// with the end; a direct write outside a run replaces anything queued.
TEST_F(RunEdges, QueuedDigoutBelongsToItsRun) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(2, 3000));
  fSendPacketBusy = true;  // another sender holds the line: the byte stays queued
  uint8_t busy = 1;
  ASSERT_EQ(EX_SendDigoutWScan(0x3C, &busy), 1);
  EXPECT_EQ(busy, 0);
  SleepMs(50);
  EXPECT_TRUE(DigoutQueued());
  fSendPacketBusy = false;
  ASSERT_EQ(EX_EndScan(), 1);
  EXPECT_FALSE(DigoutQueued());
  EXPECT_EQ(Sim().GetState().digitalOutput, 0x3C);

  ASSERT_EQ(EX_SendDigout(0x11), 1);
  EXPECT_EQ(Sim().GetState().digitalOutput, 0x11);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_EQ(EX_SendDigoutWScan(0x22, &busy), 1);  // nothing left over from before
  EXPECT_EQ(busy, 0);
  ASSERT_EQ(EX_EndScan(), 1);
  const auto outputs = Sim().GetState().digitalOutputs;
  ASSERT_FALSE(outputs.empty());
  EXPECT_EQ(outputs.back(), 0x22);
  EXPECT_EQ(std::count(outputs.begin(), outputs.end(), 0x3C), 1);
}

// Item 8: one host thread starts and ends runs while another wakes the
// acquisition thread with digital-output bytes and polls.
TEST_F(RunEdges, TwoHostThreadsStartEndAndWakeTheRun) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  std::atomic<bool> done{false};
  std::thread other([&] {
    std::vector<double> values(64);
    for (uint8_t v = 0; !done; ++v) {
      uint8_t busy = 0;
      int32_t returned = 0, unread = 0;
      uint8_t running = 0;
      EX_SendDigoutWScan(v, &busy);
      EX_GetScanDataDbl(values.data(), 64, &returned, &unread, &running);
      EX_CheckRun();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (int run = 0; run < 3; ++run) {
    ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
    SleepMs(100);
    EX_EndScan();
  }
  done = true;
  other.join();
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_FALSE(ScanThreadAlive());
}

}  // namespace
}  // namespace q583test
