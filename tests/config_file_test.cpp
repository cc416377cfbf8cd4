// Loading the device record from "Q583_SP.ini" and writing it back.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "device/config_file.h"
#include "device/q583.h"
#include "device/timing.h"
#include "api/entry.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "scan/scan_run.h"
#include "support/test_env.h"
#include "support/run_helpers.h"

using q583test::InstallIdleRun;
using q583test::DigoutQueued;
using q583test::RunLogOpen;
using q583test::RunUnread;
using q583test::RunPoints;

namespace fs = std::filesystem;

namespace {

class ConfigFileTest : public q583test::LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_EQ(EX_SetIniDirectory(WorkDir().c_str()), 1);
  }

  // Writes the file and loads it.
  uint8_t Load(const std::string& text, const std::string& name = "Q583_SP.ini") {
    WriteFile(name, text);
    return EX_SetDevToIniSetup();
  }

  // The scan interval that the load computes: the timing model run with the
  // link and conversion keys applied and every later setting at its default.
  static double ComputedInterval(uint32_t average, float rate, int16_t tScan, int16_t baud, int16_t chan0 = 0) {
    EX_SetDevToDefaultSetup();
    Q583.chan[0] = chan0;
    CountChannels();
    Q583.average = average;
    Q583.rate = rate;
    Q583.tScan = tScan;
    Q583.baud = baud;
    double maximum = 0.0;
    double minimum = 0.0;
    ApplyScanTiming(maximum, minimum);
    EX_SetDevToDefaultSetup();
    return minimum;
  }

  static uint32_t LogOptions() {
    uint32_t flags = 99;
    uint32_t limit = 99;
    EXPECT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
    return flags;
  }
};

TEST_F(ConfigFileTest, NoFileGivesFalseAndTheDefaults) {
  EX_SetGain(8);
  EXPECT_EQ(EX_SetDevToIniSetup(), 0);
  EXPECT_FALSE(fDevSetupPending);
  EXPECT_EQ(Q583.gain, 1);
  EXPECT_EQ(Q583.chan[0], 0);
  EXPECT_EQ(Q583.numChannels, 1);
  // The default directory holds no such file either (or a real one): the
  // directory named last is the one searched.
  ASSERT_EQ(EX_SetIniDirectory((WorkDir() + "/missing").c_str()), 1);
  EXPECT_EQ(EX_SetDevToIniSetup(), 0);
}

TEST_F(ConfigFileTest, SectionHeaderAloneLoadsTheMissingValues) {
  // Without codes channel 0 scans sub-channels 0 and 1: two values.
  const double expected = ComputedInterval(1, 60.0F, 1, 0, 1);
  EX_SetGain(8);
  EX_SetCOMport(7);
  ASSERT_EQ(Load("[MAIN]\n"), 1);
  EXPECT_FALSE(fDevSetupPending);
  EXPECT_FALSE(fDevSignedOn);
  EXPECT_EQ(Q583.TXQUEUESIZE, 16U);
  EXPECT_EQ(Q583.RXQUEUESIZE, 32000U);
  EXPECT_EQ(Q583.baud, 0);
  EXPECT_EQ(Q583.comPort, 0);
  EXPECT_EQ(Q583.average, 1U);
  EXPECT_EQ(Q583.tScan, 1);
  EXPECT_EQ(Q583.rate, 60.0F);
  EXPECT_DOUBLE_EQ(Q583.scanInterval, expected);
  const int16_t chans[6] = {1, 16, 16, 16, 16, 16};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Q583.chan[i], chans[i]) << i;
  EXPECT_EQ(Q583.numChannels, 2);
  EXPECT_EQ(Q583.singleChan, 0);
  EXPECT_EQ(Q583.channel, 0);
  EXPECT_EQ(Q583.subChan, 0);
  EXPECT_EQ(Q583.wordCnt, 3);
  EXPECT_EQ(Q583.biPolar, 1);
  EXPECT_EQ(Q583.filter, 2);
  EXPECT_EQ(Q583.gain, 1);
  EXPECT_EQ(LogOptions(), 1U);
}

TEST_F(ConfigFileTest, EveryKeyLoads) {
  ASSERT_EQ(Load("[MAIN]\nTXQUEUESIZE=64\nRXQUEUESIZE=4000\nBAUD=2\ncomPort=3\nremoteAvg=4\ntScan=2\n"
                 "Rate=100\nScanInterval=9.25\nsingleChanScanMainChan=3\nsingleChanScanSubChan=4\n"
                 "channel=2\nsubChan=7\nwordCnt=2\nbiPolar=0\nfilter=1\ngain=64\nLogScans=3\n"
                 "[SubChannels]\n0=3\n1=37\n2=16\n3=0\n4=255\n5=16\n"),
            1);
  EXPECT_EQ(Q583.TXQUEUESIZE, 64U);
  EXPECT_EQ(Q583.RXQUEUESIZE, 4000U);
  EXPECT_EQ(Q583.baud, 2);
  EXPECT_EQ(Q583.comPort, 3);
  EXPECT_EQ(Q583.average, 4U);
  EXPECT_EQ(Q583.tScan, 2);
  EXPECT_EQ(Q583.rate, 100.0F);
  EXPECT_EQ(Q583.scanInterval, 9.25);  // inside the limits of what was loaded
  const int16_t chans[6] = {3, 37, 16, 0, 255, 16};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Q583.chan[i], chans[i]) << i;
  EXPECT_EQ(Q583.numChannels, 4 + 4 + 1 + 1);
  EXPECT_EQ(Q583.singleChan, 0x34);
  EXPECT_EQ(Q583.channel, 2);
  EXPECT_EQ(Q583.subChan, 7);
  EXPECT_EQ(Q583.wordCnt, 2);
  EXPECT_EQ(Q583.biPolar, 0);
  EXPECT_EQ(Q583.filter, 1);
  EXPECT_EQ(Q583.gain, 64);
  EXPECT_EQ(LogOptions(), 3U);
}

TEST_F(ConfigFileTest, FileNameSectionsAndKeysMatchInAnyCase) {
  ASSERT_EQ(Load("[main]\n  GAIN = 16 \n; gain=2\n[subCHANNELS]\n1 = 34\n", "q583_sp.INI"), 1);
  EXPECT_EQ(Q583.gain, 16);
  EXPECT_EQ(Q583.chan[1], 34);
}

TEST_F(ConfigFileTest, EmptyValueEndsTheLoadAndLeavesTheSetupPending) {
  ASSERT_EQ(Load("[MAIN]\nBAUD=3\nwordCnt=2\ngain=\nLogScans=2\n"), 0);
  EXPECT_TRUE(fDevSetupPending);
  // The keys before the failing one were loaded; those after were not.
  EXPECT_EQ(Q583.baud, 3);
  EXPECT_EQ(Q583.wordCnt, 2);
  EXPECT_EQ(LogOptions() & 2U, 0U);
  // The next operation that initialises starts from the defaults again.
  uint8_t gain = 0;
  EXPECT_EQ(EX_GetGain(&gain), 1);
  EXPECT_EQ(Q583.baud, 0);
  EXPECT_EQ(Q583.wordCnt, 3);
}

TEST_F(ConfigFileTest, GainValues) {
  ASSERT_EQ(Load("[MAIN]\ngain=3\n"), 1);
  EXPECT_EQ(Q583.gain, 1);
  ASSERT_EQ(Load("[MAIN]\ngain=64\n"), 1);
  EXPECT_EQ(Q583.gain, 64);
  ASSERT_EQ(Load("[MAIN]\ngain=x\n"), 1);
  EXPECT_EQ(Q583.gain, 1);
  ASSERT_EQ(Load("[MAIN]\ngain=?5\n"), 1);
  EXPECT_EQ(Q583.gain, 1);
}

TEST_F(ConfigFileTest, RateValues) {
  ASSERT_EQ(Load("[MAIN]\nRate=1001\n"), 1);
  EXPECT_EQ(Q583.rate, 60.0F);
  ASSERT_EQ(Load("[MAIN]\nRate=1000.5\n"), 1);
  EXPECT_EQ(Q583.rate, 1000.5F);
  ASSERT_EQ(Load("[MAIN]\nRate=12.5xyz\n"), 1);
  EXPECT_EQ(Q583.rate, 12.5F);
  // A rate the rate programming would divide by zero or below with gets
  // the same 60 as one that is too high.
  for (const char* bad : {"-5", "0", "x", "nan", "1e-60", "-inf"}) {
    ASSERT_EQ(Load(std::string("[MAIN]\nRate=") + bad + "\n"), 1) << bad;
    EXPECT_EQ(Q583.rate, 60.0F) << bad;
  }
}

TEST_F(ConfigFileTest, ScanIntervalStoredOrComputed) {
  ASSERT_EQ(Load("[MAIN]\nScanInterval=0.25\n"), 1);
  EXPECT_EQ(Q583.scanInterval, 0.25);
  // A missing, unreadable, non-positive or out-of-range interval becomes
  // the minimum of everything loaded: the later keys (more channels,
  // another filter and word count) count too.
  for (const char* keys : {"remoteAvg=1\nRate=1000\n", "remoteAvg=8\nRate=100\n"}) {
    for (const char* value : {"ScanInterval=0\n", "ScanInterval=x\n", "ScanInterval=\n", "ScanInterval=?\n", "",
                              "ScanInterval=nan\n", "ScanInterval=-1\n", "ScanInterval=50000\n"}) {
      ASSERT_EQ(Load(std::string("[MAIN]\nBAUD=1\n") + keys + value +
                     "filter=0\nwordCnt=2\n[SubChannels]\n0=15\n1=15\n"),
                1)
          << value;
      const double loaded = Q583.scanInterval;
      double minimum = 0.0, maximum = 0.0;
      ASSERT_EQ(EX_GetScanIntervalMinMax(&minimum, &maximum), 1);
      EXPECT_NEAR(loaded, minimum, 0.001) << keys << value;
      EXPECT_GT(loaded, 1.0) << keys << value;  // 32 values through the slow filter
    }
  }
  EXPECT_LT(ComputedInterval(1, 1000.0F, 1, 1), ComputedInterval(1, 60.0F, 1, 0));
}

TEST_F(ConfigFileTest, LowBitsRangesAndWordCount) {
  ASSERT_EQ(Load("[MAIN]\nBAUD=6\ntScan=3\nwordCnt=16\n"), 1);
  EXPECT_EQ(Q583.baud, 0);
  EXPECT_EQ(Q583.tScan, 0);
  EXPECT_EQ(Q583.wordCnt, 3);
  ASSERT_EQ(Load("[MAIN]\nBAUD=261\ncomPort=258\nremoteAvg=256\nbiPolar=2\nfilter=3\n"), 1);
  EXPECT_EQ(Q583.baud, 5);
  EXPECT_EQ(Q583.comPort, 2);
  EXPECT_EQ(Q583.average, 1U);
  EXPECT_EQ(Q583.biPolar, 1);
  EXPECT_EQ(Q583.filter, 2);
  ASSERT_EQ(Load("[MAIN]\nTXQUEUESIZE=123456789\nRXQUEUESIZE= +42abc\n"), 1);
  EXPECT_EQ(Q583.TXQUEUESIZE, 1234567U);
  EXPECT_EQ(Q583.RXQUEUESIZE, 42U);
}

TEST_F(ConfigFileTest, ChannelCodesAreNormalisedAllSix) {
  // 82 is 0x52: first sub-channel 5, last 2, a backwards range.
  ASSERT_EQ(Load("[SubChannels]\n0=37\n1=82\n2=255\n"), 1);
  EXPECT_EQ(Q583.chan[0], 0x25);
  EXPECT_EQ(Q583.chan[1], 16);
  EXPECT_EQ(Q583.chan[2], 0xFF);
  EXPECT_EQ(Q583.numChannels, 4 + 1);
  // In chan[0] too: otherwise it would count as -2 values per scan.
  ASSERT_EQ(Load("[SubChannels]\n0=82\n"), 1);
  EXPECT_EQ(Q583.chan[0], 16);
  EXPECT_EQ(Q583.numChannels, 0);
  ASSERT_EQ(Load("[SubChannels]\n3=\n"), 0);
  EXPECT_EQ(Q583.chan[0], 1);
}

TEST_F(ConfigFileTest, ChannelSelection) {
  ASSERT_EQ(Load("[MAIN]\nchannel=9\nsubChan=20\nsingleChanScanMainChan=3\nsingleChanScanSubChan=4\n"), 1);
  EXPECT_EQ(Q583.channel, 5);
  EXPECT_EQ(Q583.subChan, 15);
  EXPECT_EQ(Q583.singleChan, 52);
  ASSERT_EQ(Load("[MAIN]\nchannel=-1\nsingleChanScanMainChan=9\nsingleChanScanSubChan=99\n"), 1);
  EXPECT_EQ(Q583.channel, -1);
  EXPECT_EQ(Q583.singleChan, 5 * 16 + 15);
  // The sub-channel takes an empty value as 0 and "?" as no number.
  ASSERT_EQ(Load("[MAIN]\nsingleChanScanMainChan=2\nsingleChanScanSubChan=\n"), 1);
  EXPECT_EQ(Q583.singleChan, 32);
  ASSERT_EQ(Load("[MAIN]\nsingleChanScanMainChan=2\nsingleChanScanSubChan=?7\n"), 1);
  EXPECT_EQ(Q583.singleChan, 32);
}

TEST_F(ConfigFileTest, EmptyChannelOrSubChannelIsZeroedAndFails) {
  Q583.channel = 3;
  ASSERT_EQ(Load("[MAIN]\nchannel=\nsubChan=4\n"), 0);
  EXPECT_EQ(Q583.channel, 0);
  ASSERT_EQ(Load("[MAIN]\nchannel=4\nsubChan=\n"), 0);
  EXPECT_EQ(Q583.channel, 4);
  EXPECT_EQ(Q583.subChan, 0);
  EXPECT_TRUE(fDevSetupPending);
}

TEST_F(ConfigFileTest, LogScansSetsTheDataLogOptions) {
  ASSERT_EQ(EX_SetDataLogOptions(4 | 8 | 1, 5000, 0), 1);
  ASSERT_EQ(Load("[MAIN]\nLogScans=2\n"), 1);
  uint32_t flags = 0;
  uint32_t limit = 0;
  EXPECT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
  EXPECT_EQ(flags, 2U | 8U);  // memory only; stop-when-full cleared, the limit kept
  EXPECT_EQ(limit, 5000U);
  ASSERT_EQ(Load("[MAIN]\nLogScans=7\n"), 1);
  EXPECT_EQ(EX_GetDataLogOptions(&flags, &limit, 0), 1);
  EXPECT_EQ(flags, 1U);  // file logging turned on clears the limit
  EXPECT_EQ(limit, 0U);
  ASSERT_EQ(Load("[MAIN]\nLogScans=0\n"), 1);
  EXPECT_EQ(LogOptions(), 0U);
}

TEST_F(ConfigFileTest, TheCurrentDirectoryIsLeftAlone) {
  const fs::path before = fs::current_path();
  ASSERT_EQ(Load("[MAIN]\ngain=2\n"), 1);
  EXPECT_EQ(fs::current_path(), before);
  ASSERT_EQ(Load("[MAIN]\ngain=\n"), 0);
  EXPECT_EQ(fs::current_path(), before);
  EX_SetIniDirectory("/nonexistent/q583");
  EXPECT_EQ(EX_SetDevToIniSetup(), 0);
  EXPECT_EQ(fs::current_path(), before);
}

TEST_F(ConfigFileTest, WritingIsOffAndLeavesTheFileAlone) {
  const std::string original = "; hand-written\n[MAIN]\r\ngain = 8\n[SubChannels]\n0=3";
  WriteFile("Q583_SP.ini", original);
  const auto stamp = fs::last_write_time(WorkDir() + "/Q583_SP.ini");
  EX_SetGain(64);
  EXPECT_EQ(EX_WriteCurrentConfigToIniFile(), 0);
  EXPECT_EQ(ReadFile("Q583_SP.ini"), original);
  EXPECT_EQ(fs::last_write_time(WorkDir() + "/Q583_SP.ini"), stamp);
  ASSERT_EQ(EX_SetIniWriteEnabled(1), 1);
  ASSERT_EQ(EX_SetIniWriteEnabled(0), 1);
  EXPECT_EQ(EX_WriteCurrentConfigToIniFile(), 0);
  EXPECT_EQ(ReadFile("Q583_SP.ini"), original);
}

TEST_F(ConfigFileTest, WriteThenLoadGivesBackTheSameRecord) {
  ASSERT_EQ(EX_SetIniWriteEnabled(1), 1);
  EX_SetCOMport(4);
  EX_SetGain(32);
  EX_SetRemoteAverage(16);
  EX_SetPolarity(0);
  EX_SetFilter(1);
  EX_SetScanType(2);
  EX_SetRate(123.456);  // seven characters: the longest the load reads
  EX_SetSingleChanScanChanCode(0x3B);
  EX_SetDataLogOptions(2, 0, 0);
  Q583.chan[0] = 0x03;
  Q583.chan[1] = 0x25;
  NormaliseChannelCodes(0);
  Q583.channel = 4;
  Q583.subChan = 11;
  Q583.baud = 1;
  Q583.wordCnt = 2;
  Q583.TXQUEUESIZE = 128;
  Q583.RXQUEUESIZE = 65000;
  Q583.scanInterval = 19530.0 / 1953.125;  // whole timer ticks, inside the limits
  const Q583Record written = Q583;
  ASSERT_EQ(EX_WriteCurrentConfigToIniFile(), 1);

  EX_SetDevToDefaultSetup();
  ASSERT_EQ(EX_SetDevToIniSetup(), 1) << ReadFile("Q583_SP.ini");
  EXPECT_EQ(Q583.comPort, written.comPort);
  EXPECT_EQ(Q583.gain, written.gain);
  EXPECT_EQ(Q583.average, written.average);
  EXPECT_EQ(Q583.biPolar, written.biPolar);
  EXPECT_EQ(Q583.filter, written.filter);
  EXPECT_EQ(Q583.tScan, written.tScan);
  EXPECT_EQ(Q583.rate, written.rate);
  EXPECT_EQ(Q583.singleChan, written.singleChan);
  EXPECT_EQ(Q583.channel, written.channel);
  EXPECT_EQ(Q583.subChan, written.subChan);
  EXPECT_EQ(Q583.baud, written.baud);
  EXPECT_EQ(Q583.wordCnt, written.wordCnt);
  EXPECT_EQ(Q583.TXQUEUESIZE, written.TXQUEUESIZE);
  EXPECT_EQ(Q583.RXQUEUESIZE, written.RXQUEUESIZE);
  EXPECT_EQ(Q583.scanInterval, written.scanInterval);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(Q583.chan[i], written.chan[i]) << i;
  EXPECT_EQ(Q583.numChannels, written.numChannels);
  EXPECT_EQ(LogOptions(), 2U);
}

// A rate so low that the timer cannot meet the averaging asked: the load
// halves it until the timer can (or to 1), so that the record's interval is
// one of its own averaging and the file written from it loads back to it.
TEST_F(ConfigFileTest, AveragingTheTimerCannotMeetSettlesOnceAndLoadsBackAsWritten) {
  ASSERT_EQ(EX_SetIniWriteEnabled(1), 1);
  for (const char* scanType : {"1", "2"}) {  // met at an averaging of 1; never met
    SCOPED_TRACE(scanType);
    ASSERT_EQ(Load(std::string("[MAIN]\nremoteAvg=4\nRate=.00150\ntScan=") + scanType + "\n"), 1);
    EXPECT_EQ(Q583.average, 1U);
    const Q583Record loaded = Q583;
    ASSERT_EQ(EX_WriteCurrentConfigToIniFile(), 1);
    ASSERT_EQ(EX_SetDevToIniSetup(), 1) << ReadFile("Q583_SP.ini");
    EXPECT_EQ(Q583.average, loaded.average);
    EXPECT_NEAR(Q583.scanInterval, loaded.scanInterval, 1e-5 * loaded.scanInterval);
    fs::remove(WorkDir() + "/Q583_SP.ini");
  }
}

TEST_F(ConfigFileTest, WriterKeepsOtherContentAndUsesTheExistingFile) {
  ASSERT_EQ(EX_SetIniWriteEnabled(1), 1);
  WriteFile("q583_sp.INI", "; site settings\n[MAIN]\ngain=8\nOperator=Lee\n[Extra]\nx=1\n");
  EX_SetGain(2);
  ASSERT_EQ(EX_WriteCurrentConfigToIniFile(), 1);
  const std::string text = ReadFile("q583_sp.INI");
  EXPECT_NE(text.find("; site settings\n"), std::string::npos) << text;
  EXPECT_NE(text.find("gain=2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("Operator=Lee\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[Extra]\nx=1\n"), std::string::npos) << text;
  EXPECT_FALSE(FileExists("Q583_SP.ini"));
  int entries = 0;
  for (const auto& e : fs::directory_iterator(WorkDir())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);  // no temporary left behind
}

TEST_F(ConfigFileTest, WriterCreatesTheFileAndFailsWithoutADirectory) {
  ASSERT_EQ(EX_SetIniWriteEnabled(1), 1);
  ASSERT_EQ(EX_WriteCurrentConfigToIniFile(), 1);
  EXPECT_TRUE(FileExists("Q583_SP.ini"));
  ASSERT_EQ(EX_SetDevToIniSetup(), 1);
  EX_SetIniDirectory((WorkDir() + "/gone").c_str());
  EXPECT_EQ(EX_WriteCurrentConfigToIniFile(), 0);
}

TEST_F(ConfigFileTest, DirectoryAndWriteSwitchAreResetAtLoad) {
  EX_SetIniWriteEnabled(1);
  ReloadLibrary();
  EXPECT_FALSE(fIniWriteEnabled);
  EXPECT_EQ(platform::ConfigDirectory(), "/etc");
  EX_SetIniDirectory(WorkDir().c_str());
  EXPECT_EQ(platform::ConfigDirectory(), WorkDir());
  EX_SetIniDirectory(nullptr);
  EXPECT_EQ(platform::ConfigDirectory(), "/etc");
  EX_SetIniDirectory(WorkDir().c_str());
  EX_SetIniDirectory("");
  EXPECT_EQ(platform::ConfigDirectory(), "/etc");
}

class ConfigFileScanTest : public q583test::SimTest {};

TEST_F(ConfigFileScanTest, LoadStopsARunningScanFirst) {
  ASSERT_EQ(EX_SetIniDirectory(WorkDir().c_str()), 1);
  WriteFile("Q583_SP.ini", "[MAIN]\ngain=4\n");
  EX_SetDataLogOptions(2, 0, 0);
  ASSERT_EQ(EX_StartScan(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(2, 5000));
  ASSERT_EQ(EX_SetDevToIniSetup(), 1);
  EXPECT_FALSE(ScanRunning());
  EXPECT_EQ(Q583.gain, 4);
  EXPECT_TRUE(Sim().WaitForScanning(false, 3000));
  bool stopSent = false;
  for (const auto& p : PacketPairs()) stopSent = stopSent || p.first == 0x8A;
  EXPECT_TRUE(stopSent);
}

}  // namespace
