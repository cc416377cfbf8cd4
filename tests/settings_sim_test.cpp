// The settings that talk to the instrument: the channel codes are signed on
// at once, and reading them signs on when needed.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "device/q583.h"
#include "link/serial.h"
#include "q583_sp.h"
#include "support/sim_wait.h"
#include "support/test_env.h"

namespace {

using q583test::LibraryTest;
using q583test::SimTest;

class SettingsSimTest : public SimTest {};

TEST_F(SettingsSimTest, NewChannelCodesAreSignedOnAtOnce) {
  uint8_t gain = 0;
  ASSERT_EQ(EX_GetGain(&gain), 1);  // the defaults, which this export does not apply itself
  EXPECT_EQ(EX_SetMultiChanScanChanCodes(0x03, 0x25, 0x52, 16, 16, 16, 0), 1);
  EXPECT_EQ(Q583.numChannels, 8);
  const auto state = Sim().GetState();
  EXPECT_EQ(state.signOns, 1U);
  const uint8_t expected[6] = {0x03, 0x25, 16, 16, 16, 16};
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(state.channelCodes[i], expected[i]) << i;
    EXPECT_EQ(Q583.chan[i], expected[i]) << i;
  }
  EXPECT_FALSE(fDevSignedOn);  // neither set nor cleared here
  // The calibration, version and averaging follow the sign-on's own version
  // read.
  ASSERT_TRUE(q583test::WaitForPackets(Sim(), 5));
  const std::vector<std::pair<uint8_t, uint8_t>> packets = {
      {0x86, 0x00}, {0x82, 0x70}, {0x83, 0x60}, {0x86, 0x00}, {0x04, 0x00}};
  EXPECT_EQ(PacketPairs(), packets);
}

// A setting changed after the sign-on reaches the instrument before a run
// is timed or read with it: the interval by a sign-on, the averaging by
// its command.
TEST_F(SettingsSimTest, AStartGivesTheInstrumentWhatTheRunIsTimedWith) {
  SignOn();
  double interval = 0.5;
  ASSERT_EQ(EX_SetToUserScanInterval(&interval), 1);
  ASSERT_EQ(EX_SetRemoteAverage(2), 1);
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  const auto state = Sim().GetState();
  EXPECT_NEAR(state.frameIntervalS, 0.5, 0.001);
  EXPECT_EQ(state.averagingCode, 1);
  EXPECT_EQ(EX_EndScan(), 1);
}

TEST_F(SettingsSimTest, ReadingTheCodesSignsOnWhenNeeded) {
  uint8_t c[6] = {9, 9, 9, 9, 9, 9};
  uint8_t count = 9;
  ASSERT_EQ(EX_GetMultiChanScanChanCodes(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &count), 1);
  EXPECT_TRUE(fDevSignedOn);
  EXPECT_EQ(Sim().GetState().signOns, 1U);
  const uint8_t expected[6] = {0, 16, 16, 16, 16, 16};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(c[i], expected[i]) << i;
  EXPECT_EQ(count, 1);
  // Signed on now: no second sign-on.
  ASSERT_EQ(EX_GetMultiChanScanChanCodes(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &count), 1);
  EXPECT_EQ(Sim().GetState().signOns, 1U);
}

class SettingsNoInstrumentTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_EQ(EX_SetCOMportDevice(0, "/nonexistent/q583-port"), 1);
  }
};

TEST_F(SettingsNoInstrumentTest, CodesAreKeptWhenTheSignOnFails) {
  EXPECT_EQ(EX_SetMultiChanScanChanCodes(0x03, 0x25, 0x52, 16, 16, 16, 0), 0);
  EXPECT_EQ(Q583.chan[0], 0x03);
  EXPECT_EQ(Q583.chan[1], 0x25);
  EXPECT_EQ(Q583.chan[2], 16);
  EXPECT_EQ(Q583.numChannels, 8);
  EXPECT_EQ(idComDev[0], INVALIDCOMDEV);
}

TEST_F(SettingsNoInstrumentTest, ReadingTheCodesWithoutInstrumentWritesNothing) {
  uint8_t c[6] = {9, 9, 9, 9, 9, 9};
  uint8_t count = 9;
  EXPECT_EQ(EX_GetMultiChanScanChanCodes(&c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &count), 0);
  for (uint8_t v : c) EXPECT_EQ(v, 9);
  EXPECT_EQ(count, 9);
}

}  // namespace
