// Scans of each type end to end against the simulator: known input voltages
// come back through the memory ring and the scan log file within one count.
#include <cstdlib>

#include "scan/scan_internal.h"
#include "scan/scan_run.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"
#include "support/run_helpers.h"

namespace q583test {
namespace {

class ScanTypes : public SimTest {
 protected:
  void ExpectRowsMatch(const std::vector<std::string>& lines, size_t firstRow, size_t rows,
                       const std::vector<double>& expected, double interval) {
    for (size_t r = 0; r < rows; ++r) {
      const auto fields = Fields(lines[firstRow + r]);
      ASSERT_EQ(fields.size(), expected.size() + 1) << lines[firstRow + r];
      EXPECT_NEAR(std::atof(fields[0].c_str()), interval * static_cast<double>(r), 0.051);
      for (size_t v = 0; v < expected.size(); ++v)
        EXPECT_NEAR(std::atof(fields[v + 1].c_str()), expected[v], 1.01 * kBipolarCountVolts) << "row " << r;
    }
  }
};

TEST_F(ScanTypes, MultiChannelValuesReachRingAndLogFile) {
  SetChannelCodes({0x00, 0x12});  // 0-0, 1-1, 1-2
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 1.2345678});
  Sim().SetInput(1, 1, {q583sim::SignalKind::Constant, -0.5});
  Sim().SetInput(1, 2, {q583sim::SignalKind::Constant, 3.75});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());

  ASSERT_EQ(EX_StartScan(), 1);
  EXPECT_EQ(EX_CheckRun(), 1);
  // Calibration and averaging go first, then the start command.
  const auto packets = PacketPairs();
  ASSERT_GE(packets.size(), 4U);
  EXPECT_EQ(packets[0].first, 0x82);
  EXPECT_EQ(packets[1].first, 0x83);
  EXPECT_EQ(packets[2].first, 0x04);
  EXPECT_EQ(packets.back(), std::make_pair(uint8_t{0x89}, uint8_t{0x00}));
  EXPECT_EQ(RunPoints(), 3U);

  const auto values = CollectScans(5, 3, 5000);
  ASSERT_EQ(values.size(), 15U);
  for (size_t s = 0; s < 5; ++s) {
    EXPECT_NEAR(values[s * 3 + 0], 1.2345678, 1.01 * kBipolarCountVolts);
    EXPECT_NEAR(values[s * 3 + 1], -0.5, 1.01 * kBipolarCountVolts);
    EXPECT_NEAR(values[s * 3 + 2], 3.75, 1.01 * kBipolarCountVolts);
  }
  // The raw form gives the counts the instrument sent.
  std::vector<int32_t> raw(3);
  int32_t returned = 0, unread = 0;
  uint8_t running = 0;
  ASSERT_TRUE(Sim().WaitForFrames(Sim().FramesSent() + 2, 3000));
  ASSERT_EQ(EX_GetScanDataInt(raw.data(), 1, &returned, &unread, &running), 1);
  ASSERT_EQ(returned, 1);
  EXPECT_EQ(running, 1);
  EXPECT_NEAR(raw[0], Sim().VoltsToCount(1.2345678), 1);
  EXPECT_NEAR(raw[2], Sim().VoltsToCount(3.75), 1);

  ASSERT_EQ(EX_EndScan(), 1);
  SleepMs(100);  // the last packets are still on the line
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_FALSE(Sim().GetState().scanning);
  // The stop, then the channel selection twice (the stop's, the restore's).
  const auto after = PacketPairs();
  ASSERT_GE(after.size(), 3U);
  EXPECT_EQ(after[after.size() - 3], std::make_pair(uint8_t{0x8A}, uint8_t{0x00}));
  EXPECT_EQ(after[after.size() - 1].first, 0x01);

  const auto lines = Lines(ReadFile("ScanLog_0.txt"));
  ASSERT_GE(lines.size(), 1U + 5U + 14U);
  EXPECT_EQ(lines[0], "Time / s   \t0 - 0    \t1 - 1    \t1 - 2    \t");
  const size_t rows = lines.size() - 1 - 14;  // two trailer blocks of seven lines
  EXPECT_GE(rows, 6U);
  ExpectRowsMatch(lines, 1, rows, {1.2345678, -0.5, 3.75}, Q583.scanInterval);
  EXPECT_EQ(lines[rows + 1], "");
  EXPECT_EQ(lines[rows + 3 + 0].rfind("Applied Interval:        \t", 0), 0U);
  EXPECT_EQ(lines[rows + 3 + 1], "Subcycles averaged:      \t" + std::to_string(rows));
  EXPECT_EQ(CountOf(ReadFile("ScanLog_0.txt"), "Experiment Description:  \tnone\n"), 2U);
}

TEST_F(ScanTypes, OffsetAndFullScaleComeAfterTheChannels) {
  SetChannelCodes({0x00, 0x00});
  Q583.tScan = 2;
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 0.75});
  Sim().SetInput(1, 0, {q583sim::SignalKind::Constant, -2.25});
  Sim().SetCalibrationReadings(0.001, 4.5);
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());

  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  SleepMs(50);
  // Signed on: only the start command goes out.
  ASSERT_EQ(PacketPairs().size(), 1U);
  EXPECT_EQ(PacketPairs()[0].first, 0x8C);
  EXPECT_EQ(RunPoints(), 4U);
  const auto values = CollectScans(3, 4, 5000);
  ASSERT_EQ(values.size(), 12U);
  for (size_t s = 0; s < 3; ++s) {
    EXPECT_NEAR(values[s * 4 + 0], 0.75, 1.01 * kBipolarCountVolts);
    EXPECT_NEAR(values[s * 4 + 1], -2.25, 1.01 * kBipolarCountVolts);
    EXPECT_NEAR(values[s * 4 + 2], 0.001, 1.01 * kBipolarCountVolts);
    EXPECT_NEAR(values[s * 4 + 3], 4.5, 1.01 * kBipolarCountVolts);
  }
  ASSERT_EQ(EX_EndScan(), 1);

  const auto lines = Lines(ReadFile("ScanLog_0.txt"));
  ASSERT_GE(lines.size(), 1U + 3U + 14U);
  EXPECT_EQ(lines[0], "Time / s   \t0 - 0    \t1 - 0    \toffset  \tfullscale  \t");
  ExpectRowsMatch(lines, 1, lines.size() - 15, {0.75, -2.25, 0.001, 4.5}, Q583.scanInterval);
}

TEST_F(ScanTypes, SingleChannelScanOnThePolledChannel) {
  SetChannelCodes({0x01, 0x33});  // the list does not matter for this type
  Q583.tScan = 0;
  Q583.channel = 2;
  Q583.subChan = 5;
  Sim().SetInput(2, 5, {q583sim::SignalKind::Constant, -4.125});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());

  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  SleepMs(50);
  // Channel select, settling (572 + 502 ms for the fast filter), start.
  const auto packets = Sim().Packets();
  ASSERT_EQ(packets.size(), 2U);
  EXPECT_EQ(packets[0].first, 0x01);
  EXPECT_EQ(packets[0].data, 0x25);
  EXPECT_EQ(packets[1].first, 0x8B);
  EXPECT_EQ(packets[1].data, 0x05);
  EXPECT_GE(packets[1].timeS - packets[0].timeS, 1.0);
  // One value per scan, whatever the channel list counts.
  EXPECT_EQ(RunPoints(), 1U);

  const auto values = CollectScans(4, 1, 5000);
  ASSERT_EQ(values.size(), 4U);
  for (double v : values) EXPECT_NEAR(v, -4.125, 1.01 * kBipolarCountVolts);
  // The channel count stays that of the codes, during and after the run.
  EXPECT_EQ(Q583.numChannels, 3);
  ASSERT_EQ(EX_EndScan(), 1);
  EXPECT_EQ(Q583.numChannels, 3);

  const auto lines = Lines(ReadFile("ScanLog_0.txt"));
  ASSERT_GE(lines.size(), 1U + 4U + 14U);
  EXPECT_EQ(lines[0], "Time / s   \t0 - 0    \t0 - 1    \t1 - 3    \t");
  ExpectRowsMatch(lines, 1, lines.size() - 15, {-4.125}, Q583.scanInterval);
}

// A digital-input reply among bare single-channel values could not be told
// from them and would shift every value after it: none is asked for.
TEST_F(ScanTypes, SingleChannelScanAsksForNoDigitalInputs) {
  SetChannelCodes({0x00});
  Q583.tScan = 0;
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 1.75});
  ASSERT_EQ(EX_SetDiginScan(1), 1);
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const auto values = CollectScans(12, 1, 8000);
  ASSERT_EQ(EX_EndScan(), 1);
  ASSERT_EQ(values.size(), 12U);
  for (double v : values) EXPECT_NEAR(v, 1.75, 1.01 * kBipolarCountVolts);
  for (const auto& p : Sim().Packets()) EXPECT_NE(p.first, 0x80) << "a digital-input request";
}

TEST_F(ScanTypes, SixteenBitUnipolarValues) {
  SetChannelCodes({0x00});
  Q583.wordCnt = 2;
  Q583.biPolar = 0;
  Sim().SetInput(0, 0, {q583sim::SignalKind::Constant, 2.5});
  ASSERT_EQ(EX_SetDataLogOptions(kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const auto values = CollectScans(3, 1, 5000);
  ASSERT_EQ(values.size(), 3U);
  for (double v : values) EXPECT_NEAR(v, 2.5, 1.01 * 0.0002980232 * 256 * 0.001);
  ASSERT_EQ(EX_EndScan(), 1);
  // Memory only: no scan log file.
  EXPECT_FALSE(FileExists("ScanLog_0.txt"));
}

TEST_F(ScanTypes, ScanWithoutValuesIsRefusedBeforeAnythingIsSent) {
  SignOnQuiet(Sim());
  for (int i = 0; i < 6; ++i) Q583.chan[i] = kChannelOff;
  CountChannels();
  ASSERT_EQ(Q583.numChannels, 0);
  for (int16_t type : {0, 1}) {
    Q583.tScan = type;
    EXPECT_EQ(EX_StartScan(), 0);
    EXPECT_EQ(EX_StartScan_NoSysCal(), 0);
  }
  EXPECT_TRUE(Sim().Packets().empty());
  EXPECT_EQ(EX_CheckRun(), 0);
  EXPECT_FALSE(FileExists("ScanLog_0.txt"));
}

}  // namespace
}  // namespace q583test
