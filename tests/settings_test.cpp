// The settings exports that need no instrument, and the channel-code
// exports with no instrument attached.
#include <chrono>
#include <cmath>
#include <cstdint>
#include <limits>
#include <thread>
#include <utility>
#include <vector>

#include "device/q583.h"
#include "q583_sp.h"
#include "scan/scan_run.h"
#include "support/test_env.h"
#include "support/run_helpers.h"

using q583test::InstallIdleRun;
using q583test::DigoutQueued;
using q583test::RunLogOpen;
using q583test::RunUnread;
using q583test::RunPoints;

namespace {

using SettingsTest = q583test::LibraryTest;

uint8_t Gain() {
  uint8_t gain = 0;
  EXPECT_EQ(EX_GetGain(&gain), 1);
  return gain;
}

TEST_F(SettingsTest, GainAcceptsOnlyPowersOfTwoUpTo128) {
  ASSERT_EQ(EX_SetGain(8), 1);
  for (uint8_t refused : {0, 3, 6, 100, 255}) {
    EXPECT_EQ(EX_SetGain(refused), 0) << int(refused);
    EXPECT_EQ(Gain(), 8);
  }
  for (unsigned g = 1; g <= 128; g <<= 1) {
    EXPECT_EQ(EX_SetGain(static_cast<uint8_t>(g)), 1);
    EXPECT_EQ(Gain(), g);
  }
}

TEST_F(SettingsTest, RemoteAverageAcceptsPowersOfTwoUpTo32768) {
  uint16_t average = 0;
  ASSERT_EQ(EX_SetRemoteAverage(32768), 1);
  ASSERT_EQ(EX_GetRemoteAverage(&average), 1);
  EXPECT_EQ(average, 32768);
  EXPECT_EQ(EX_SetRemoteAverage(3), 0);
  EXPECT_EQ(EX_SetRemoteAverage(0), 0);
  EXPECT_EQ(EX_SetRemoteAverage(65535), 0);
  ASSERT_EQ(EX_GetRemoteAverage(&average), 1);
  EXPECT_EQ(average, 32768);
  ASSERT_EQ(EX_SetRemoteAverage(1), 1);
  EXPECT_EQ(Q583.average, 1U);
}

TEST_F(SettingsTest, PolarityStoresOneForAnythingButZero) {
  uint8_t polarity = 9;
  ASSERT_EQ(EX_SetPolarity(0), 1);
  ASSERT_EQ(EX_GetPolarity(&polarity), 1);
  EXPECT_EQ(polarity, 0);
  ASSERT_EQ(EX_SetPolarity(5), 1);
  ASSERT_EQ(EX_GetPolarity(&polarity), 1);
  EXPECT_EQ(polarity, 1);
}

TEST_F(SettingsTest, FilterAndScanTypeStoreAnyByte) {
  uint8_t value = 0;
  ASSERT_EQ(EX_SetFilter(7), 1);
  ASSERT_EQ(EX_GetFilter(&value), 1);
  EXPECT_EQ(value, 7);
  ASSERT_EQ(EX_SetScanType(9), 1);
  ASSERT_EQ(EX_GetScanType(&value), 1);
  EXPECT_EQ(value, 9);
}

TEST_F(SettingsTest, ComPortTakesAnyByte) {
  uint8_t port = 0;
  ASSERT_EQ(EX_SetCOMport(255), 1);
  ASSERT_EQ(EX_GetCOMport(&port), 1);
  EXPECT_EQ(port, 255);
  EXPECT_EQ(Q583.comPort, 255);
}

TEST_F(SettingsTest, RateIsKeptInSinglePrecision) {
  double rate = 0.0;
  ASSERT_EQ(EX_GetRate(&rate), 1);
  EXPECT_EQ(rate, 0.0);  // fresh library: no initialisation
  ASSERT_EQ(EX_SetRate(60.1), 1);
  ASSERT_EQ(EX_GetRate(&rate), 1);
  EXPECT_EQ(rate, 60.099998474121094);
}

TEST_F(SettingsTest, UnusableRatesAreRefusedAndTheOldRateKept) {
  ASSERT_EQ(EX_SetRate(50.0), 1);
  for (double bad : {0.0, -0.0, -5.0, std::nan(""), std::numeric_limits<double>::infinity(), 1e-50, 1e300}) {
    EXPECT_EQ(EX_SetRate(bad), 0) << bad;
  }
  double rate = 0.0;
  ASSERT_EQ(EX_GetRate(&rate), 1);
  EXPECT_EQ(rate, 50.0);
}

TEST_F(SettingsTest, SetRateEndsARunningScanButARefusedRateDoesNot) {
  ASSERT_EQ(EX_SetRate(50.0), 1);
  InstallIdleRun();
  EXPECT_EQ(EX_SetRate(0.0), 0);
  EXPECT_TRUE(ScanRunning());
  EXPECT_EQ(EX_SetRate(10.0), 1);
  EXPECT_FALSE(ScanRunning());
  EXPECT_EQ(Q583.rate, 10.0F);
}

TEST_F(SettingsTest, SingleChannelCodeSplitsIntoSubChannelAndCode) {
  ASSERT_TRUE(LazyInit());
  Q583.channel = 4;
  ASSERT_EQ(EX_SetSingleChanScanChanCode(0x23), 1);
  EXPECT_EQ(Q583.subChan, 3);
  EXPECT_EQ(Q583.singleChan, 0x20);
  EXPECT_EQ(Q583.channel, 4);
  uint8_t code = 0;
  ASSERT_EQ(EX_GetSingleChanScanChanCode(&code), 1);
  EXPECT_EQ(code, 0x20);
  uint8_t channel = 0;
  uint8_t sub = 0;
  ASSERT_EQ(EX_GetPolledModeChan(&channel, &sub), 1);
  EXPECT_EQ(channel, 4);
  EXPECT_EQ(sub, 3);

  InstallIdleRun();
  ASSERT_EQ(EX_SetSingleChanScanChanCode(0x41), 1);
  EXPECT_FALSE(ScanRunning());  // ended at once
}

TEST_F(SettingsTest, DataLogOptionsWithSizeLimit) {
  uint32_t flags = 0;
  uint32_t limit = 0;
  ASSERT_EQ(EX_SetDataLogOptions(9, 100000, 0), 1);
  ASSERT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
  EXPECT_EQ(flags, 9U);
  EXPECT_EQ(limit, 100000U);

  // File logging off: the limit stays.
  ASSERT_EQ(EX_SetDataLogOptions(8, 5000, 0), 1);
  ASSERT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
  EXPECT_EQ(flags, 8U);
  EXPECT_EQ(limit, 100000U);

  // File logging without a limit.
  ASSERT_EQ(EX_SetDataLogOptions(9, 0, 0), 1);
  ASSERT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
  EXPECT_EQ(flags, 1U);
  EXPECT_EQ(limit, 0U);
}

TEST_F(SettingsTest, DataLogOptionsMemoryBitsAndDefaults) {
  uint32_t flags = 0;
  uint32_t limit = 7;
  ASSERT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
  EXPECT_EQ(flags, 1U);
  EXPECT_EQ(limit, 0U);
  ASSERT_EQ(EX_SetDataLogOptions(0xFFFFFFF6U, 123, 0), 1);  // only bits 0 to 3 count
  ASSERT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
  EXPECT_EQ(flags, 6U);
  EXPECT_EQ(limit, 0U);
  ASSERT_EQ(EX_SetDataLogOptions(1, 0, 0), 1);
  ASSERT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
  EXPECT_EQ(flags, 1U);
}

TEST_F(SettingsTest, NullOutPointersAreRefusedAndNothingWritten) {
  uint8_t byte = 0xAB;
  uint32_t word = 0xABCD;
  EXPECT_EQ(EX_GetCOMport(nullptr), 0);
  EXPECT_EQ(EX_GetGain(nullptr), 0);
  EXPECT_EQ(EX_GetRemoteAverage(nullptr), 0);
  EXPECT_EQ(EX_GetPolarity(nullptr), 0);
  EXPECT_EQ(EX_GetFilter(nullptr), 0);
  EXPECT_EQ(EX_GetRate(nullptr), 0);
  EXPECT_EQ(EX_GetScanType(nullptr), 0);
  EXPECT_EQ(EX_GetSingleChanScanChanCode(nullptr), 0);
  EXPECT_EQ(EX_GetPolledModeChan(&byte, nullptr), 0);
  EXPECT_EQ(EX_GetPolledModeChan(nullptr, &byte), 0);
  EXPECT_EQ(EX_GetDataLogOptions(&word, nullptr, 0), 0);
  EXPECT_EQ(EX_GetDataLogOptions(nullptr, &word, 0), 0);
  EXPECT_EQ(EX_GetMultiChanScanChanCodes(&byte, &byte, &byte, &byte, &byte, &byte, nullptr), 0);
  EXPECT_EQ(EX_GetMultiChanScanChanCodes(nullptr, &byte, &byte, &byte, &byte, &byte, &byte), 0);
  EXPECT_EQ(byte, 0xAB);
  EXPECT_EQ(word, 0xABCDU);
}

class NoInstrumentTest : public q583test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    // The port open fails at once.
    ASSERT_EQ(EX_SetCOMportDevice(0, "/nonexistent/tty"), 1);
  }
};

TEST_F(NoInstrumentTest, MultiChannelCodesAreKeptWhenTheSignOnFails) {
  ASSERT_TRUE(LazyInit());
  EXPECT_EQ(EX_SetMultiChanScanChanCodes(0x03, 0x25, 0x52, 16, 16, 16, 0xDEADBEEF), 0);
  const int16_t expected[6] = {0x03, 0x25, 16, 16, 16, 16};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Q583.chan[i], expected[i]) << i;
  EXPECT_EQ(Q583.numChannels, 8);
  // The interval is the minimum for eight channels:
  // 8 x (3/60 + 0.82 x 0.036) + 0.007 s, quantised to 256 us ticks.
  EXPECT_EQ(Q583.scanInterval, 2512 / 3906.25);
  EXPECT_FALSE(fDevSignedOn);
}

TEST_F(NoInstrumentTest, MultiChannelCodesCheckChannelZeroToo) {
  ASSERT_TRUE(LazyInit());
  EXPECT_EQ(EX_SetMultiChanScanChanCodes(0x21, 0x00, 16, 16, 16, 0xFF, 0), 0);
  EXPECT_EQ(Q583.chan[0], 16);
  EXPECT_EQ(Q583.chan[5], 0xFF);
  EXPECT_EQ(Q583.numChannels, 2);
}

TEST_F(NoInstrumentTest, MultiChannelSetterInitialisesTheRecordFirst) {
  EXPECT_EQ(EX_SetMultiChanScanChanCodes(0x03, 16, 16, 16, 16, 16, 0), 0);
  EXPECT_FALSE(fDevSetupPending);
  // Kept over the defaults, and the sign-on tried with them.
  EXPECT_EQ(Q583.chan[0], 0x03);
  EXPECT_EQ(Q583.numChannels, 4);
  EXPECT_EQ(Q583.gain, 1);
  EXPECT_GT(Q583.rate, 0.0F);
}

TEST_F(NoInstrumentTest, MultiChannelGetterSignsOnFirstAndWritesNothingOnFailure) {
  ASSERT_TRUE(LazyInit());
  uint8_t codes[7] = {0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_EQ(EX_GetMultiChanScanChanCodes(&codes[0], &codes[1], &codes[2], &codes[3], &codes[4], &codes[5],
                                         &codes[6]),
            0);
  for (uint8_t c : codes) EXPECT_EQ(c, 0xAA);
  EXPECT_FALSE(fDevSignedOn);
}

TEST_F(SettingsTest, MultiChannelGetterWhenSignedOnReadsTheRecord) {
  ASSERT_TRUE(LazyInit());
  fDevSignedOn = true;  // no traffic is needed then
  Q583.chan[1] = 0x25;
  Q583.numChannels = 5;
  uint8_t codes[7] = {};
  ASSERT_EQ(EX_GetMultiChanScanChanCodes(&codes[0], &codes[1], &codes[2], &codes[3], &codes[4], &codes[5],
                                         &codes[6]),
            1);
  EXPECT_EQ(codes[0], 0);
  EXPECT_EQ(codes[1], 0x25);
  for (int i = 2; i < 6; ++i) EXPECT_EQ(codes[i], 16);
  EXPECT_EQ(codes[6], 5);
}

}  // namespace

namespace {

class SettingsSimTest : public q583test::SimTest {};

TEST_F(SettingsSimTest, MultiChannelCodesReachTheInstrumentThroughASignOn) {
  ASSERT_TRUE(LazyInit());
  ASSERT_EQ(EX_SetMultiChanScanChanCodes(0x03, 0x25, 0x52, 16, 16, 16, 0), 1);
  const q583sim::State state = Sim().GetState();
  EXPECT_EQ(state.signOns, 1U);
  const uint8_t expected[6] = {0x03, 0x25, 16, 16, 16, 16};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(state.channelCodes[i], expected[i]) << i;
  // The timer runs the minimal interval of eight channels: 2512 ticks.
  EXPECT_EQ(state.timerCount, 2511U);
  EXPECT_EQ(Q583.scanInterval, 2512 / 3906.25);
  // Then the version is read and the averaging sent, as after EX_InitDev.
  // The last packet needs no reply: give the simulator time to take it.
  auto packets = PacketPairs();
  for (int i = 0; i < 100 && (packets.empty() || packets.back().first != 0x04); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    packets = PacketPairs();
  }
  // Calibration (offset on channel 7, full scale on channel 6), version,
  // averaging of 1, after the sign-on's own version read.
  const std::vector<std::pair<uint8_t, uint8_t>> tail = {{0x82, 0x70}, {0x83, 0x60}, {0x86, 0x00}, {0x04, 0x00}};
  ASSERT_GE(packets.size(), tail.size());
  const std::vector<std::pair<uint8_t, uint8_t>> last(packets.end() - 4, packets.end());
  EXPECT_EQ(last, tail);
  // Not marked signed on: only EX_InitDev does that.
  EXPECT_FALSE(fDevSignedOn);
}

TEST_F(SettingsSimTest, MultiChannelGetterSignsOnWhenNotSignedOn) {
  uint8_t codes[7] = {};
  ASSERT_EQ(EX_GetMultiChanScanChanCodes(&codes[0], &codes[1], &codes[2], &codes[3], &codes[4], &codes[5],
                                         &codes[6]),
            1);
  EXPECT_EQ(Sim().GetState().signOns, 1U);
  EXPECT_TRUE(fDevSignedOn);
  EXPECT_EQ(codes[0], 0);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(codes[i], 16);
  EXPECT_EQ(codes[6], 1);
}

}  // namespace
