// The serial link, packets, register arithmetic and direct operations that
// need no instrument: the clock arithmetic, the time-outs on a closed port,
// the busy flag, and the refusals.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "device/q583.h"
#include "link/commands.h"
#include "link/direct.h"
#include "link/packets.h"
#include "link/serial.h"
#include "link/signon.h"
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

namespace {

using q583test::LibraryTest;

class LinkUnitTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_TRUE(LazyInit());
  }
};

struct TimerCase {
  double interval;
  int32_t modelCode;
  int16_t baud;
  uint8_t high, middle, low;
};

TEST_F(LinkUnitTest, TimerCountBytesFollowTheTimeBase) {
  const TimerCase cases[] = {
      {1.0, 10000, 0, 0, 19, 18},
      {0.01, -1, 0, 0, 0, 38},
      {10.0, -1, 5, 0, 4, 195},
      {100.0, 10000, 0, 7, 115, 88},
  };
  for (const auto& c : cases) {
    uint8_t high = 0xEE, middle = 0xEE, low = 0xEE;
    TimerCountBytes(c.interval, c.modelCode, c.baud, high, middle, low);
    EXPECT_EQ(high, c.high) << c.interval;
    EXPECT_EQ(middle, c.middle) << c.interval;
    EXPECT_EQ(low, c.low) << c.interval;
  }
}

TEST_F(LinkUnitTest, TicksCountEighteenPointTwoASecond) {
  EXPECT_EQ(TicksFromMs(1000), 18);
  EXPECT_EQ(TicksFromMs(55), 0);
  EXPECT_EQ(TicksFromMs(110), 1);
  EXPECT_EQ(TicksFromMs(std::numeric_limits<int32_t>::max()), 39084202);  // no overflow
  // MsAtTicks is the first reading at which a tick count is reached: the
  // waits sleep until then.
  for (int32_t t = -300; t <= 3000; ++t) {
    const int32_t ms = MsAtTicks(t);
    EXPECT_GE(TicksFromMs(ms), t) << t;
    EXPECT_LT(TicksFromMs(ms - 1), t) << t;
  }
}

TEST_F(LinkUnitTest, RateRegistersAndAchievedRate) {
  struct Case {
    float rate;
    int16_t mid, lo;
    double achieved;
  } cases[] = {
      {10.0F, 7, 0xA1, 10.00064},
      {100.0F, 0, 0xC3, 100.16026},
      {1000.0F, 0, 19, 1027.0},
      {1.0F, 4, 0x4B, 17.7718},
  };
  for (const auto& c : cases) {
    Q583.rate = c.rate;
    ComputeRateRegisters();
    EXPECT_EQ(Q583.modeRegMid, c.mid) << c.rate;
    EXPECT_EQ(Q583.modeRegLo, c.lo) << c.rate;
    EXPECT_NEAR(Q583.rate, c.achieved, 1e-4) << c.rate;
  }
}

TEST_F(LinkUnitTest, RateRegistersNeverDivideByZero) {
  // 19531.25 / 2048: a divider whose low 11 bits are all zero.
  const float odd[] = {0.0F, -5.0F, std::numeric_limits<float>::quiet_NaN(),
                       std::numeric_limits<float>::infinity(), 9.5367431640625F, 1e-30F};
  for (float rate : odd) {
    Q583.rate = rate;
    ComputeRateRegisters();
    const float achieved = Q583.rate;
    EXPECT_TRUE(std::isfinite(achieved)) << rate;
    EXPECT_GT(achieved, 0.0F) << rate;
    EXPECT_LE(achieved, 1027.0F) << rate;
    EXPECT_GT(replyTimeout.load(), 0) << rate;
  }
}

TEST_F(LinkUnitTest, ModeRegistersPackGainStandbyWordSizeAndPolarity) {
  Q583.gain = 128;
  Q583.fStandby = 1;
  Q583.wordCnt = 3;
  Q583.biPolar = 0;
  Q583.rate = 10.0F;
  ComputeModeRegisters();
  EXPECT_EQ(Q583.modeRegHi, 0x1D);
  EXPECT_EQ(Q583.modeRegMid, 0x97);
  EXPECT_EQ(Q583.modeRegLo, 0xA1);

  Q583.gain = 1;
  Q583.fStandby = 0;
  Q583.wordCnt = 2;
  Q583.biPolar = 1;
  Q583.rate = 100.0F;
  ComputeModeRegisters();
  EXPECT_EQ(Q583.modeRegHi, 0x00);
  EXPECT_EQ(Q583.modeRegMid, 0x00);
  EXPECT_EQ(Q583.modeRegLo, 0xC3);

  Q583.gain = 8;
  ComputeModeRegisters();
  EXPECT_EQ(Q583.modeRegHi, 3 * 4);
}

TEST_F(LinkUnitTest, ReplyTimeoutFollowsAveragingRateAndBaud) {
  Q583.average = 1;
  Q583.rate = 1027.0F;
  Q583.baud = 5;
  ComputeRateRegisters();  // 19531.25 / 1027 -> divider 19 -> cut to 1027
  EXPECT_EQ(replyTimeout.load(), 5001);
  Q583.average = 32768;
  Q583.baud = 0;
  ComputeRateRegisters();
  EXPECT_EQ(replyTimeout.load(), static_cast<int32_t>((32768.0 / 1027.0 + 2.0) * 2000.0));
}

TEST_F(LinkUnitTest, RawCountToMillivolts) {
  Q583.rawCount = 0x800000;
  Q583.wordCnt = 3;
  Q583.biPolar = 1;
  EXPECT_NEAR(RawCountToVoltage(), -0.0004, 1e-4);
  EXPECT_NE(RawCountToVoltage(), 0.0);
  Q583.rawCount = 0xFFFF;
  Q583.wordCnt = 2;
  Q583.biPolar = 0;
  EXPECT_NEAR(RawCountToVoltage(), 4999.9233, 1e-3);
  Q583.gain = 128;  // the gain does not enter the conversion
  EXPECT_NEAR(RawCountToVoltage(), 4999.9233, 1e-3);
  EXPECT_DOUBLE_EQ(CountToMillivolts(0, 3, 1), -5000.0);
}

TEST_F(LinkUnitTest, ClosedPortReadsTimeOutAndPurgeStillSucceeds) {
  ASSERT_EQ(CurrentPort(), INVALIDCOMDEV);
  uint8_t buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  int64_t start = platform::MonotonicMicros();
  EXPECT_FALSE(ReadComBytes(3, 0, buffer));
  EXPECT_FALSE(ReadComBytes(3, -5, buffer));
  EXPECT_LT(platform::MonotonicMicros() - start, 100'000);
  EXPECT_EQ(buffer[0], 0xAA);

  start = platform::MonotonicMicros();
  EXPECT_FALSE(ReadComBytes(3, 300, buffer));
  EXPECT_GE(platform::MonotonicMicros() - start, 295'000);

  uint8_t byte = 0;
  EXPECT_FALSE(ReadComByte(byte));
  EXPECT_TRUE(PurgeComBuffers());
}

TEST_F(LinkUnitTest, WritesToAClosedPortFailAtOnce) {
  const int64_t start = platform::MonotonicMicros();
  EXPECT_FALSE(WriteComByte(0x55));
  EXPECT_FALSE(DLL_SendPacket(0x86, 0x00));
  EXPECT_LT(platform::MonotonicMicros() - start, 1'000'000);  // not the 3 s retry of a full queue
  EXPECT_FALSE(fSendPacketBusy);
}

TEST_F(LinkUnitTest, WaitsLastTheirTime) {
  int64_t start = platform::MonotonicMicros();
  WaitMs(120);
  EXPECT_GE(platform::MonotonicMicros() - start, 119'000);
  start = platform::MonotonicMicros();
  WaitTicks(2);  // at least one whole tick of about 55 ms
  EXPECT_GE(platform::MonotonicMicros() - start, 54'000);
}

TEST_F(LinkUnitTest, BusyCheckRefusesWithTwoLogLines) {
  ASSERT_EQ(EX_DoVexDbgNew(1), 1);
  ASSERT_EQ(EX_DoDebugNorm(1), 1);
  fSendPacketBusy = true;
  const int64_t start = platform::MonotonicMicros();
  EXPECT_FALSE(SendPacketWithBusyCheck(0x02, 0x11));
  EXPECT_LT(platform::MonotonicMicros() - start, 500'000);  // no port touched
  EXPECT_TRUE(fSendPacketBusy);  // the other sender still owns it
  fSendPacketBusy = false;
  EXPECT_NE(ReadFile("VexNewDbg.txt").find("SPWBC()->(fSendPacketBusy == TRUE) \n"), std::string::npos);
  EXPECT_NE(ReadFile("583_debug.txt").find("SendPacketWithBusyCheck()-> fSendPacketBusy=TRUE -> returning FALSE\n"),
            std::string::npos);
}

TEST_F(LinkUnitTest, SetDigOutGivesUpAfterTwoHundredMsOfBusy) {
  ASSERT_EQ(EX_DoDebugNorm(1), 1);
  fSendPacketBusy = true;
  const int64_t start = platform::MonotonicMicros();
  EXPECT_FALSE(SetDigOut(0x12));
  const int64_t took = platform::MonotonicMicros() - start;
  EXPECT_GE(took, 195'000);
  EXPECT_LT(took, 2'000'000);
  fSendPacketBusy = false;
  EXPECT_NE(ReadFile("583_debug.txt").find("SetDigOut()-> timeout while fSendPacketBusy \n"), std::string::npos);
}

TEST_F(LinkUnitTest, SetDigOutWithoutTheLogFailsTheSameWay) {
  fSendPacketBusy = true;
  const int64_t start = platform::MonotonicMicros();
  EXPECT_FALSE(SetDigOut(0x12));
  EXPECT_GE(platform::MonotonicMicros() - start, 195'000);
  fSendPacketBusy = false;
}

TEST_F(LinkUnitTest, NullOutPointersAreRefused) {
  EXPECT_EQ(EX_SetModel(nullptr), 0);
  EXPECT_EQ(EX_GetDigin(nullptr), 0);
  EXPECT_EQ(EX_GetDiginWScan(nullptr), 0);
  EXPECT_EQ(EX_GetOneConversion(nullptr), 0);
  EXPECT_EQ(EX_SendDigoutWScan(0x01, nullptr), 0);
}

TEST_F(LinkUnitTest, SetModelNeedsTheSignOn) {
  int16_t version = 1234;
  EXPECT_EQ(EX_SetModel(&version), 0);
  EXPECT_EQ(version, 1234);
  EXPECT_EQ(Q583.modelCode, -1);
}

TEST_F(LinkUnitTest, DigitalInputWithScanTouchesOnlyMemory) {
  Q583.lastDigInp = 0x1A5;
  uint8_t value = 0;
  EXPECT_EQ(EX_GetDiginWScan(&value), 1);
  EXPECT_EQ(value, 0xA5);
  EXPECT_EQ(EX_SetDiginScan(7), 1);
  EXPECT_TRUE(fDiginWithScan);
  EXPECT_EQ(EX_SetDiginScan(0), 1);
  EXPECT_FALSE(fDiginWithScan);
}

// While a scan runs the acquisition thread owns the port.
class DuringScanTest : public LinkUnitTest {
 protected:
  void SetUp() override {
    LinkUnitTest::SetUp();
    fDevSignedOn = true;
    run_ = InstallIdleRun();
  }
  void TearDown() override {
    InstallRun(nullptr);
    run_.reset();
    LinkUnitTest::TearDown();
  }
  // What the thread would send now (0 when nothing waits).
  uint8_t ThreadSends() {
    uint8_t sent = 0;
    run_->digout.SendWaiting([&](uint8_t value) {
      sent = value;
      return true;
    });
    return sent;
  }
  std::shared_ptr<ScanRun> run_;
};

TEST_F(DuringScanTest, DigitalOutputIsQueuedOnceForTheThread) {
  EXPECT_EQ(EX_SendDigout(0x3C), 1);
  EXPECT_TRUE(DigoutQueued());
  EXPECT_EQ(EX_SendDigout(0x44), 0);  // one byte already waits
  uint8_t busy = 7;
  EXPECT_EQ(EX_SendDigoutWScan(0x55, &busy), 0);
  EXPECT_EQ(busy, 1);
  EXPECT_EQ(ThreadSends(), 0x3C);

  busy = 7;
  EXPECT_EQ(EX_SendDigoutWScan(0x66, &busy), 1);
  EXPECT_EQ(busy, 0);
  EXPECT_EQ(ThreadSends(), 0x66);
}

TEST_F(DuringScanTest, DigitalOutputDuringAScanNeverSignsOn) {
  fDevSignedOn = false;  // a scan started by its own sign-on
  const int64_t start = platform::MonotonicMicros();
  EXPECT_EQ(EX_SendDigout(0x3C), 1);
  EXPECT_LT(platform::MonotonicMicros() - start, 500'000);
  EXPECT_EQ(CurrentPort(), INVALIDCOMDEV);
  EXPECT_TRUE(DigoutQueued());
}

TEST_F(DuringScanTest, ReadsAndChannelChangesAreRefused) {
  const int64_t start = platform::MonotonicMicros();
  double mv = 12.5;
  EXPECT_EQ(EX_GetOneConversion(&mv), 0);
  EXPECT_EQ(mv, 12.5);
  uint8_t digin = 0x77;
  EXPECT_EQ(EX_GetDigin(&digin), 0);
  EXPECT_EQ(digin, 0x77);
  EXPECT_EQ(EX_SetPolledModeChan(1, 1), 0);
  EXPECT_EQ(Q583.channel, 0);
  int16_t version = 9;
  EXPECT_EQ(EX_SetModel(&version), 0);
  EXPECT_EQ(version, 9);
  EXPECT_LT(platform::MonotonicMicros() - start, 500'000);  // nothing waited on the port
  EXPECT_TRUE(ScanRunning());
}

TEST_F(LinkUnitTest, SignOnFailsAtOnceWithoutAPort) {
  ASSERT_EQ(EX_DoVexDbgNew(1), 1);
  ASSERT_EQ(EX_SetCOMportDevice(0, "/nonexistent/q583-port"), 1);
  const int64_t start = platform::MonotonicMicros();
  EXPECT_EQ(EX_InitDev(), 0);
  EXPECT_LT(platform::MonotonicMicros() - start, 1'000'000);
  EXPECT_FALSE(fDevSignedOn);
  EXPECT_EQ(idComDev[0], INVALIDCOMDEV);
  const std::string log = ReadFile("VexNewDbg.txt");
  EXPECT_NE(log.find("SIGNON: top of restart:SIGNON: (idComDev[ComHandleNum]==INVALIDCOMDEV) goto error"),
            std::string::npos);
  EXPECT_EQ(log.find("SIGNON: at marker 1"), std::string::npos);
}

TEST_F(LinkUnitTest, PortDeviceMappingCanBeRestored) {
  EXPECT_EQ(platform::PortDevice(4), "/dev/ttyS4");
  EXPECT_EQ(EX_SetCOMportDevice(4, "/tmp/q583-x"), 1);
  EXPECT_EQ(platform::PortDevice(4), "/tmp/q583-x");
  EXPECT_EQ(Q583.comPort, 0);  // the port setting is not changed
  EXPECT_EQ(EX_SetCOMportDevice(4, nullptr), 1);
  EXPECT_EQ(platform::PortDevice(4), "/dev/ttyS4");
  EXPECT_EQ(EX_SetCOMportDevice(4, "/tmp/q583-y"), 1);
  EXPECT_EQ(EX_SetCOMportDevice(4, ""), 1);
  EXPECT_EQ(platform::PortDevice(4), "/dev/ttyS4");
}

TEST_F(LinkUnitTest, ComPort255IsRefusedAtOnce) {
  Q583.comPort = 255;
  const int64_t start = platform::MonotonicMicros();
  EXPECT_FALSE(SIGNON());
  EXPECT_LT(platform::MonotonicMicros() - start, 1'000'000);
}

}  // namespace
