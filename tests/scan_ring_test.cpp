// The memory ring and its retrieval: argument checks, never more than the
// unread scans, no overwritten values when the host falls behind, the
// stop-when-full end, and frames longer than 255 bytes.
#include <chrono>
#include <future>
#include <thread>

#include "scan/scan_internal.h"
#include "scan/scan_run.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"
#include "support/run_helpers.h"

namespace q583test {
namespace {

class ScanRing : public SimTest {
 protected:
  // Frames as fast as the host side can take them.
  void FastFrames(double intervalS) {
    Sim().SetPacing(false);
    Sim().SetFrameIntervalOverride(intervalS);
  }
};

TEST_F(ScanRing, RetrievalChecksItsArguments) {
  std::vector<double> values(4);
  int32_t returned = -7, unread = -7;
  uint8_t running = 9;
  // Not signed on: false and nothing written.
  EXPECT_EQ(EX_GetScanDataDbl(values.data(), 1, &returned, &unread, &running), 0);
  EXPECT_EQ(returned, -7);
  EXPECT_EQ(running, 9);

  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(3, 5000));
  SleepMs(50);
  EXPECT_EQ(EX_GetScanDataDbl(nullptr, 1, &returned, &unread, &running), 0);
  EXPECT_EQ(EX_GetScanDataDbl(values.data(), 1, nullptr, &unread, &running), 0);
  EXPECT_EQ(EX_GetScanDataDbl(values.data(), 1, &returned, nullptr, &running), 0);
  EXPECT_EQ(EX_GetScanDataDbl(values.data(), 1, &returned, &unread, nullptr), 0);
  EXPECT_EQ(EX_GetScanDataInt(nullptr, 1, &returned, &unread, &running), 0);
  EXPECT_EQ(returned, -7);
  EXPECT_EQ(EX_GetScanOverrunCount(nullptr), 0);

  // Zero scans asked: nothing taken, the unread count reported.
  ASSERT_EQ(EX_GetScanDataDbl(values.data(), 0, &returned, &unread, &running), 1);
  EXPECT_EQ(returned, 0);
  EXPECT_GE(unread, 3);
  EXPECT_EQ(running, 1);
  ASSERT_EQ(EX_EndScan(), 1);
  // After the run its unread scans still come out, with running false; then
  // false.
  for (int32_t left = unread; left > 0; left = unread) {
    ASSERT_EQ(EX_GetScanDataDbl(values.data(), 1, &returned, &unread, &running), 1);
    EXPECT_EQ(returned, 1);
    EXPECT_EQ(unread, left - 1);
    EXPECT_EQ(running, 0);
  }
  EXPECT_EQ(EX_GetScanDataDbl(values.data(), 1, &returned, &unread, &running), 0);
  EXPECT_EQ(running, 0);
}

TEST_F(ScanRing, NeverMoreThanTheUnreadScans) {
  SetChannelCodes({0x01});
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 1.0});
  Sim().SetInput(0, 1, {q583sim::SignalKind::Constant, -1.0});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(3, 5000));
  SleepMs(30);
  std::vector<double> values(2 * 1000, 99.0);
  int32_t returned = 0, unread = 0;
  uint8_t running = 0;
  ASSERT_EQ(EX_GetScanDataDbl(values.data(), 1000, &returned, &unread, &running), 1);
  ASSERT_GE(returned, 3);
  EXPECT_LT(returned, 1000);
  EXPECT_GE(unread, 0);
  EXPECT_LT(unread, 100);  // no wrap of the count
  for (int i = 0; i < returned; ++i) {
    EXPECT_NEAR(values[2 * i], 1.0, 1e-5);
    EXPECT_NEAR(values[2 * i + 1], -1.0, 1e-5);
  }
  EXPECT_EQ(values[2 * returned], 99.0);  // nothing written beyond
  ASSERT_EQ(EX_EndScan(), 1);
}

TEST_F(ScanRing, HostFallingBehindLosesOldestScansNeverValues) {
  // 96 channels of scan type 2: 98 values a scan, frames of 296 bytes, and a
  // ring of 88 scans.
  SetChannelCodes({0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F});
  ASSERT_EQ(Q583.numChannels, 96);
  Q583.tScan = 2;
  for (int m = 0; m < 6; ++m)
    for (int s = 0; s < 16; ++s) Sim().SetInput(m, s, {q583sim::SignalKind::Ramp, -4.0, 8.0, 20.0});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  FastFrames(0.002);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_EQ(CurrentRun()->ring.CapacityInScans(), 88U);
  ASSERT_TRUE(Sim().WaitForFrames(400, 10000));
  SleepMs(50);

  uint32_t lost = 0;
  ASSERT_EQ(EX_GetScanOverrunCount(&lost), 1);
  EXPECT_GT(lost, 200U);
  std::vector<double> values(98 * 88);
  std::vector<uint64_t> numbers(88);
  std::vector<double> times(88);
  int32_t returned = 0, unread = 0;
  uint8_t running = 0;
  ASSERT_EQ(EX_GetNumberedScanData(values.data(), nullptr, numbers.data(), times.data(), 88, &returned, &unread, &running), 1);
  EXPECT_EQ(returned, 88);
  EXPECT_EQ(running, 1);
  // The scans handed out follow each other, and every number before them is
  // accounted for by the overrun gaps.
  for (int s = 1; s < returned; ++s) {
    EXPECT_EQ(numbers[s], numbers[s - 1] + 1);
    EXPECT_GT(times[s], times[s - 1]);
  }
  const Q583RunSummary summary = Summary();
  EXPECT_GE(summary.lostOverrun, lost);
  uint64_t missing = 0;
  for (const Q583Gap& gap : Gaps()) {
    EXPECT_EQ(gap.cause, static_cast<uint32_t>(Q583_GAP_OVERRUN));
    if (gap.first < numbers[0]) missing += std::min<uint64_t>(gap.count, numbers[0] - gap.first);
  }
  EXPECT_EQ(missing, numbers[0]);
  // Every scan whole: its 96 channel values belong to one moment, and the
  // scans follow each other in time.
  double previous = -10.0;
  for (int s = 0; s < returned; ++s) {
    const double first = values[98 * s];
    for (int v = 1; v < 96; ++v) ASSERT_NEAR(values[98 * s + v], first, 1e-5) << "scan " << s;
    EXPECT_GE(first, previous - 1e-5);
    previous = first;
  }
  const uint32_t frames = Sim().FramesSent();
  EXPECT_EQ(Q583.errorType, 0);
  EXPECT_LE(lost + 88, frames);
  // A flooding instrument with 96 channels takes long to stop in order:
  // end the run at once and sign on afresh.
  ASSERT_EQ(EX_SetRate(60.0), 1);
  EXPECT_EQ(EX_CheckRun(), 0);
  ASSERT_EQ(EX_InitDev(), 1);

  // The count starts again with the next run.
  Sim().SetFrameIntervalOverride(0.5);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_EQ(EX_GetScanOverrunCount(&lost), 1);
  EXPECT_EQ(lost, 0U);
}

TEST_F(ScanRing, StopWhenFullEndsAfter8640Scans) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory | kStopWhenFull, 0, 0), 1);
  SignOnQuiet(Sim());
  FastFrames(0.0002);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  for (int i = 0; i < 300 && EX_CheckRun(); ++i) SleepMs(50);
  ASSERT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(RunUnread(), 8639U);
  EXPECT_EQ(Q583.errorType, 0);
  // The instrument still floods the line, so the stop's echo may be lost
  // among frame bytes; the trailer is written before the stop either way.
  EX_EndScan();
  const std::string text = ReadFile("ScanLog_0.txt");
  EXPECT_EQ(CountOf(text, "Subcycles averaged:      \t8640\n"), 2U);
  EXPECT_EQ(Lines(text).size(), 1U + 8640U + 14U);
}

TEST_F(ScanRing, StopWhenFullCountsTheRingInScans) {
  SetChannelCodes({0x03});  // four values a scan: 2160 scans fill the ring
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory | kStopWhenFull, 0, 0), 1);
  SignOnQuiet(Sim());
  FastFrames(0.0003);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  for (int i = 0; i < 200 && EX_CheckRun(); ++i) SleepMs(50);
  ASSERT_EQ(EX_CheckRun(), 0);
  EXPECT_EQ(RunUnread(), 2159U);
  uint32_t lost = 1;
  ASSERT_EQ(EX_GetScanOverrunCount(&lost), 1);
  EXPECT_EQ(lost, 0U);
}

TEST_F(ScanRing, FramesArrivingSeveralAtOnceAreAllTakenInOrder) {
  // 5,000 frames a second: each read takes several; the ramp climbs one
  // step a frame, so a frame skipped, repeated or swapped shows.
  SetChannelCodes({0x00});
  Sim().SetInput(0, 0, {q583sim::SignalKind::Ramp, -4.0, 8.0, 10.0});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  FastFrames(0.0002);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  // Read while frames come, the account counts each frame taken with its
  // fate in one step.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (Q583RunSummary summary{}; summary.scansTaken < 1000 && std::chrono::steady_clock::now() < until;) {
    summary = Summary();
    ASSERT_EQ(summary.scansStored + summary.notStored, summary.scansTaken);
  }
  ASSERT_TRUE(Sim().WaitForFrames(1000, 10000));
  SleepMs(50);
  ASSERT_EQ(EX_EndScan(), 1);
  std::vector<double> values(4000);
  int32_t returned = 0, unread = 0;
  uint8_t running = 0;
  ASSERT_EQ(EX_GetScanDataDbl(values.data(), 4000, &returned, &unread, &running), 1);
  const double step = 8.0 * 0.0002 / 10.0;
  for (int s = 1; s < returned; ++s) ASSERT_NEAR(values[s] - values[s - 1], step, step / 4) << "scan " << s;
  EXPECT_GE(returned, 1000);
  // Every scan also has its row, written a wake-up's rows at a time.
  size_t rows = 0;
  for (const std::string& line : Lines(ReadFile("ScanLog_0.txt"))) rows += !line.empty() && line[0] == '0';
  EXPECT_EQ(rows, static_cast<size_t>(returned));
}

// The thread's send of a queued byte may wait seconds for room on the line;
// a host's offer meanwhile is answered at once (Busy), not held up by it.
TEST(DigoutQueueTest, AnOfferDuringASlowSendIsAnsweredAtOnce) {
  DigoutQueue queue;
  ASSERT_EQ(queue.Put(1), DigoutQueue::Offer::Queued);
  std::atomic<bool> sending{false};
  std::atomic<bool> release{false};
  std::thread thread([&] {
    queue.SendWaiting([&](uint8_t) {
      sending = true;
      while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      return true;
    });
  });
  while (!sending) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  auto offer = std::async(std::launch::async, [&] { return queue.Put(2); });
  const bool answered = offer.wait_for(std::chrono::seconds(1)) == std::future_status::ready;
  release = true;
  thread.join();
  ASSERT_TRUE(answered) << "the offer waited for the send";
  EXPECT_EQ(offer.get(), DigoutQueue::Offer::Busy);
  EXPECT_EQ(queue.Put(3), DigoutQueue::Offer::Queued);  // the first byte is out
}

}  // namespace
}  // namespace q583test
