// The device record at load, its defaults, the lazy initialisation and the
// channel-code rules.
#include <cstdint>
#include <functional>
#include <vector>

#include "device/q583.h"
#include "api/entry.h"
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

using DeviceTest = q583test::LibraryTest;

void ExpectRecordZero() {
  EXPECT_EQ(Q583.comPort, 0);
  EXPECT_EQ(Q583.scanInterval, 0.0);
  EXPECT_EQ(Q583.numChannels, 0);
  EXPECT_EQ(Q583.tScan, 0);
  for (const auto& code : Q583.chan) EXPECT_EQ(code, 0);
  EXPECT_EQ(Q583.wordCnt, 0);
  EXPECT_EQ(Q583.biPolar, 0);
  EXPECT_EQ(Q583.filter, 0);
  EXPECT_EQ(Q583.gain, 0);
  EXPECT_EQ(Q583.rate, 0.0F);
  EXPECT_EQ(Q583.modelCode, 0);
  EXPECT_EQ(Q583.average, 0U);
  EXPECT_EQ(Q583.TXQUEUESIZE, 0U);
  EXPECT_EQ(Q583.RXQUEUESIZE, 0U);
}

TEST_F(DeviceTest, RecordIsZeroAtLoadUntilTheLazyInitialisation) {
  ExpectRecordZero();
  EXPECT_TRUE(fDevSetupPending);
  EXPECT_FALSE(fDevSignedOn);
  EXPECT_TRUE(fLogScansToFile);
  EXPECT_FALSE(fLogScansToMemory);
  EXPECT_FALSE(fStopWhenMemoryFull);
  EXPECT_FALSE(fLimitLogFileSize);
  EXPECT_EQ(uiLogFileSizeLimit, 0U);

  // The rate getter does not initialise.
  double rate = -1.0;
  ASSERT_EQ(EX_GetRate(&rate), 1);
  EXPECT_EQ(rate, 0.0);
  EXPECT_TRUE(fDevSetupPending);
  // The single-channel code setter does, so that the defaults cannot
  // overwrite what it sets: 0x23 reads back as 0x20.
  ASSERT_EQ(EX_SetSingleChanScanChanCode(0x23), 1);
  EXPECT_FALSE(fDevSetupPending);
  EXPECT_EQ(Q583.gain, 1);
  uint8_t code = 0;
  ASSERT_EQ(EX_GetSingleChanScanChanCode(&code), 1);
  EXPECT_EQ(code, 0x20);
  EXPECT_EQ(Q583.subChan, 3);
}

TEST_F(DeviceTest, ReloadBringsTheRecordBackToZero) {
  ASSERT_EQ(EX_SetDevToDefaultSetup(), 1);
  ASSERT_EQ(EX_SetCOMport(7), 1);
  ASSERT_EQ(EX_SetDataLogOptions(14, 0, 0), 1);
  ReloadLibrary();
  ExpectRecordZero();
  EXPECT_TRUE(fDevSetupPending);
  EXPECT_TRUE(fLogScansToFile);
  EXPECT_FALSE(fLogScansToMemory);
  EXPECT_FALSE(fStopWhenMemoryFull);
}

TEST_F(DeviceTest, FirstGetterOfAFreshLibraryAppliesTheDefaults) {
  const std::vector<std::pair<std::function<uint8_t(uint8_t*)>, uint8_t>> getters = {
      {EX_GetScanType, 1}, {EX_GetGain, 1}, {EX_GetFilter, 2}, {EX_GetPolarity, 1}, {EX_GetCOMport, 0}};
  for (const auto& [getter, expected] : getters) {
    ReloadLibrary();
    ASSERT_TRUE(fDevSetupPending);
    uint8_t value = 0xEE;
    ASSERT_EQ(getter(&value), 1);
    EXPECT_EQ(value, expected);
    EXPECT_FALSE(fDevSetupPending);
  }
}

TEST_F(DeviceTest, DefaultsGiveEveryField) {
  ASSERT_TRUE(LazyInit());
  EXPECT_EQ(Q583.numChannels, 1);
  EXPECT_EQ(Q583.tScan, 1);
  EXPECT_EQ(Q583.chan[0], 0);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(Q583.chan[i], 16) << i;
  EXPECT_EQ(Q583.wordCnt, 3);
  EXPECT_EQ(Q583.biPolar, 1);
  EXPECT_EQ(Q583.filter, 2);
  EXPECT_EQ(Q583.gain, 1);
  EXPECT_EQ(Q583.rate, 60.0F);
  EXPECT_EQ(Q583.baud, 0);
  EXPECT_EQ(Q583.modelCode, -1);
  EXPECT_EQ(Q583.average, 1U);
  EXPECT_EQ(Q583.TXQUEUESIZE, 16U);
  EXPECT_EQ(Q583.RXQUEUESIZE, 32000U);
  EXPECT_EQ(Q583.version, 0);
  // The minimal interval of the defaults: 338 ticks of 256 us.
  EXPECT_EQ(Q583.scanInterval, 338 / 3906.25);
  EXPECT_NEAR(Q583.scanInterval, 0.086528, 1e-12);
  EXPECT_FALSE(fDevSetupPending);
  EXPECT_TRUE(fLogScansToFile);
}

TEST_F(DeviceTest, DefaultSetupClearsTheLastResults) {
  ASSERT_TRUE(LazyInit());
  Q583.singleChan = 0x30;
  Q583.lastDigInp = 5;
  Q583.version = 140;
  Q583.channel = 2;
  Q583.subChan = 9;
  Q583.rawCount = 1234;
  Q583.voltage = 12.5;
  Q583.digOutWord = 3;
  Q583.errorType = 10;
  Q583.modeRegLo = 1;
  Q583.modeRegMid = 2;
  Q583.modeRegHi = 3;
  Q583.fSleep = 1;
  Q583.fStandby = 1;
  Q583.baud = 4;
  Q583.modelCode = 10000;
  Q583.average = 64;
  Q583.wordCnt = 2;
  ASSERT_EQ(EX_SetDevToDefaultSetup(), 1);
  EXPECT_EQ(Q583.singleChan, 0);
  EXPECT_EQ(Q583.lastDigInp, 0);
  EXPECT_EQ(Q583.version, 0);
  EXPECT_EQ(Q583.channel, 0);
  EXPECT_EQ(Q583.subChan, 0);
  EXPECT_EQ(Q583.rawCount, 0);
  EXPECT_EQ(Q583.voltage, 0.0);
  EXPECT_EQ(Q583.digOutWord, 0);
  EXPECT_EQ(Q583.errorType, 0);
  EXPECT_EQ(Q583.modeRegLo, 0);
  EXPECT_EQ(Q583.modeRegMid, 0);
  EXPECT_EQ(Q583.modeRegHi, 0);
  EXPECT_EQ(Q583.fSleep, 0);
  EXPECT_EQ(Q583.fStandby, 0);
  EXPECT_EQ(Q583.baud, 0);
  EXPECT_EQ(Q583.modelCode, -1);
  EXPECT_EQ(Q583.average, 1U);
  EXPECT_EQ(Q583.wordCnt, 3);
  EXPECT_EQ(Q583.scanInterval, 338 / 3906.25);
}

TEST_F(DeviceTest, DefaultSetupKeepsThePortAndForgetsTheSignOn) {
  ASSERT_EQ(EX_SetCOMport(3), 1);
  ASSERT_EQ(EX_SetGain(64), 1);
  fDevSignedOn = true;
  ASSERT_EQ(EX_SetDevToDefaultSetup(), 1);
  EXPECT_EQ(Q583.comPort, 3);
  EXPECT_EQ(Q583.gain, 1);
  EXPECT_FALSE(fDevSignedOn);
  uint8_t port = 0;
  ASSERT_EQ(EX_GetCOMport(&port), 1);
  EXPECT_EQ(port, 3);
}

TEST_F(DeviceTest, DefaultSetupTurnsFileLoggingOnAndKeepsTheOtherOptions) {
  ASSERT_EQ(EX_SetDataLogOptions(1 | 2 | 4 | 8, 5000, 0), 1);
  ASSERT_EQ(EX_SetDataLogOptions(2 | 4, 0, 0), 1);  // file logging off, limit kept
  ASSERT_FALSE(fLogScansToFile);
  ASSERT_EQ(EX_SetDevToDefaultSetup(), 1);
  EXPECT_TRUE(fLogScansToFile);
  EXPECT_TRUE(fLogScansToMemory);
  EXPECT_TRUE(fStopWhenMemoryFull);
  EXPECT_TRUE(fLimitLogFileSize);
  EXPECT_EQ(uiLogFileSizeLimit, 5000U);
}

TEST_F(DeviceTest, DefaultSetupDuringAScanLeavesTheScanRunning) {
  ASSERT_TRUE(LazyInit());
  InstallIdleRun();
  fDevSignedOn = true;
  ASSERT_EQ(EX_SetDevToDefaultSetup(), 1);
  EXPECT_TRUE(ScanRunning());
  EXPECT_FALSE(fDevSignedOn);
  InstallRun(nullptr);
}

TEST_F(DeviceTest, BackwardsCodesAreNormalisedToNotScanned) {
  EXPECT_EQ(NormaliseChannelCode(0x52), kChannelOff);
  EXPECT_EQ(NormaliseChannelCode(0xF0), kChannelOff);
  EXPECT_EQ(NormaliseChannelCode(0x03), 0x03);
  EXPECT_EQ(NormaliseChannelCode(0x55), 0x55);
  EXPECT_EQ(NormaliseChannelCode(16), 16);
  // The whole value is compared with 16, the nibbles come from the low byte.
  EXPECT_EQ(NormaliseChannelCode(0x110), kChannelOff);
  EXPECT_EQ(NormaliseChannelCode(0x125), 0x125);
}

TEST_F(DeviceTest, ChannelCountFollowsTheCodes) {
  ASSERT_TRUE(LazyInit());
  const int16_t codes[6] = {0x03, 0x25, 0x52, 16, 16, 16};
  for (int i = 0; i < 6; ++i) Q583.chan[i] = codes[i];
  NormaliseChannelCodes(0);
  EXPECT_EQ(Q583.chan[2], 16);
  EXPECT_EQ(Q583.numChannels, 8);

  for (auto& code : Q583.chan) code = 16;
  CountChannels();
  EXPECT_EQ(Q583.numChannels, 0);

  for (auto& code : Q583.chan) code = 0x0F;
  CountChannels();
  EXPECT_EQ(Q583.numChannels, 96);
}

TEST_F(DeviceTest, NormalisingFromChannelOneLeavesChannelZero) {
  ASSERT_TRUE(LazyInit());
  Q583.chan[0] = 0x52;
  Q583.chan[1] = 0x21;
  Q583.chan[2] = 0x24;
  NormaliseChannelCodes(1);
  EXPECT_EQ(Q583.chan[0], 0x52);
  EXPECT_EQ(Q583.chan[1], 16);
  EXPECT_EQ(Q583.chan[2], 0x24);
  // A backwards code left in chan[0] converts nothing: never a negative count.
  EXPECT_EQ(Q583.numChannels, 3);
}

TEST_F(DeviceTest, DefaultsNormaliseAllSixCodes) {
  ASSERT_TRUE(LazyInit());
  Q583.chan[0] = 0x52;
  ASSERT_EQ(EX_SetDevToDefaultSetup(), 1);
  EXPECT_EQ(Q583.chan[0], 0);
  EXPECT_EQ(Q583.numChannels, 1);
}

TEST_F(DeviceTest, ResetForLoadRestoresTheLoadState) {
  ASSERT_TRUE(LazyInit());
  fDevSignedOn = true;
  fLogScansToFile = false;
  fLogScansToMemory = true;
  fLimitLogFileSize = true;
  uiLogFileSizeLimit = 12;
  ResetDeviceRecordForLoad();
  ExpectRecordZero();
  EXPECT_TRUE(fDevSetupPending);
  EXPECT_FALSE(fDevSignedOn);
  EXPECT_TRUE(fLogScansToFile);
  EXPECT_FALSE(fLogScansToMemory);
  EXPECT_FALSE(fLimitLogFileSize);
  EXPECT_EQ(uiLogFileSizeLimit, 0U);
}

}  // namespace
