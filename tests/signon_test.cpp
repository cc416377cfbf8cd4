// The sign-on against the simulated instrument: the exchange on the wire,
// every restart and failure path, the timer count, and the model-code
// repeat with its message box.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/q583.h"
#include "link/commands.h"
#include "link/serial.h"
#include "link/signon.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "support/sim_wait.h"
#include "support/test_env.h"

namespace {

using q583test::MessageBoxRecorder;
using q583test::SimTest;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

uint32_t TimerCount(double interval, int32_t modelCode, int16_t baud) {
  uint8_t high = 0, middle = 0, low = 0;
  TimerCountBytes(interval, modelCode, baud, high, middle, low);
  return static_cast<uint32_t>(high) << 16 | static_cast<uint32_t>(middle) << 8 | low;
}

// Data bytes of the 0x07 packets: what the extended-register writes carried.
std::vector<uint8_t> ExtRegisterBytes(const std::vector<q583sim::Packet>& packets) {
  std::vector<uint8_t> bytes;
  for (const auto& p : packets)
    if (p.first == 0x07) bytes.push_back(p.data);
  return bytes;
}

class SignonTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(EX_DoVexDbgNew(1), 1);
    ASSERT_TRUE(LazyInit());  // SIGNON itself runs on the record as it finds it
  }
  // Waits until the simulator has decoded n command packets.
  bool WaitForPackets(size_t n) {
    const int64_t deadline = platform::MonotonicMicros() + 2'000'000;
    while (Sim().Packets().size() < n) {
      if (platform::MonotonicMicros() > deadline) return false;
      platform::SleepMs(5);
    }
    return true;
  }
  std::string Log() const { return ReadFile("VexNewDbg.txt"); }
  int64_t ElapsedMs(int64_t startMicros) const { return (platform::MonotonicMicros() - startMicros) / 1000; }
};

TEST_F(SignonTest, AQuietInstrumentSignsOnInOneAttempt) {
  ASSERT_EQ(EX_InitDev(), 1);
  EXPECT_TRUE(fDevSignedOn);
  const std::string log = Log();
  EXPECT_EQ(Count(log, "SIGNON: top of restart:"), 1U);
  EXPECT_NE(log.find("SIGNON: top of restart:SIGNON: at marker 1"), std::string::npos);  // no line ends

  const auto state = Sim().GetState();
  EXPECT_EQ(state.signOns, 1U);
  EXPECT_EQ(state.baud, 9600U);
  EXPECT_EQ(state.modeRegHi, Q583.modeRegHi & 0xFF);
  EXPECT_EQ(state.modeRegMid, Q583.modeRegMid & 0xFF);
  EXPECT_EQ(state.modeRegLo, Q583.modeRegLo & 0xFF);
  EXPECT_EQ(state.modeRegMid, 0x81);  // 24-bit words, divider 325 for 60 per second
  EXPECT_EQ(state.modeRegLo, 0x45);
  EXPECT_EQ(state.filter, 2);
  EXPECT_EQ(state.averagingCode, 0);
  const uint8_t codes[6] = {0, 16, 16, 16, 16, 16};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(state.channelCodes[i], codes[i]) << i;
  EXPECT_EQ(state.timerCount, TimerCount(Q583.scanInterval, -1, 0));
  EXPECT_EQ(Q583.version, 100);
  EXPECT_EQ(Q583.modelCode, -1);
  EXPECT_NEAR(Q583.rate, 19531.25 / 325, 1e-3);

  // The lone bytes at 300 baud: wake-up, baud change, baud index; then the
  // wake byte again at the new rate.
  const auto received = Sim().Received();
  ASSERT_GE(received.size(), 4U);
  EXPECT_EQ(received[0].value, 0x00);
  EXPECT_EQ(received[0].baud, 300U);
  EXPECT_EQ(received[1].value, 0x88);
  EXPECT_EQ(received[1].baud, 300U);
  EXPECT_EQ(received[2].value, 0x00);
  EXPECT_EQ(received[2].baud, 300U);
  EXPECT_EQ(received[3].value, 0x00);
  EXPECT_EQ(received[3].baud, 9600U);

  // Firmware 100 is not told the model code; the calibration, version and
  // averaging follow the exchange.
  const auto packets = Sim().Packets();
  EXPECT_TRUE(ExtRegisterBytes(packets).empty());
  std::vector<std::pair<uint8_t, uint8_t>> expected = {
      {0x86, 0x00}, {0x82, 0x70}, {0x83, 0x60}, {0x86, 0x00}, {0x04, 0x00}};
  ASSERT_TRUE(WaitForPackets(expected.size()));
  EXPECT_EQ(PacketPairs(), expected);
  EXPECT_EQ(CurrentPort(), idComDev[0]);
  EXPECT_NE(idComDev[0], INVALIDCOMDEV);
}

TEST_F(SignonTest, NoWakeReplyFailsAfterTenTriesWithoutRestart) {
  Sim().SetNoWakeReply(true);
  const int64_t start = platform::MonotonicMicros();
  EXPECT_EQ(EX_InitDev(), 0);
  const int64_t took = ElapsedMs(start);
  EXPECT_GE(took, 5000);
  EXPECT_LT(took, 9000);
  EXPECT_EQ(Count(Log(), "SIGNON: top of restart:"), 1U);
  size_t wakes = 0;
  for (const auto& b : Sim().Received()) {
    EXPECT_EQ(b.value, 0x00);
    EXPECT_EQ(b.baud, 300U);
    ++wakes;
  }
  EXPECT_EQ(wakes, 10U);
  EXPECT_EQ(idComDev[0], INVALIDCOMDEV);
  EXPECT_FALSE(fDevSignedOn);
}

// A sign-on that fails after an earlier one succeeded (noise on the line,
// an instrument switched off) leaves the library not signed on: the next
// start signs on again instead of talking to an instrument in no known state.
TEST_F(SignonTest, AFailedSignOnIsNotTakenForTheEarlierOne) {
  ASSERT_EQ(EX_InitDev(), 1);
  Sim().SetNoWakeReply(true);
  EXPECT_EQ(EX_SetMultiChanScanChanCodes(0x00, 0x10, 16, 16, 16, 16, 0), 0);
  EXPECT_FALSE(fDevSignedOn);
  Sim().SetNoWakeReply(false);
  const uint32_t signOns = Sim().GetState().signOns;
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  EXPECT_EQ(Sim().GetState().signOns, signOns + 1);
  EXPECT_EQ(EX_EndScan(), 1);
}

TEST_F(SignonTest, AnswerToTheBaudChangeRestartsUntilFourAttemptsFail) {
  Sim().SetReplyToBaudChange(-1);
  EXPECT_FALSE(SIGNON());
  // Four attempts, and the fifth entry that gives up.
  EXPECT_EQ(Count(Log(), "SIGNON: top of restart:"), 5U);
  size_t changes = 0;
  for (uint8_t v : Sim().ReceivedValues()) changes += v == 0x88 ? 1 : 0;
  EXPECT_EQ(changes, 4U);
  EXPECT_EQ(idComDev[0], INVALIDCOMDEV);
  EXPECT_EQ(Sim().GetState().signOns, 0U);
}

TEST_F(SignonTest, WrongBaudEchoRestartsOnce) {
  Sim().SetWrongBaudEcho(1);
  EXPECT_TRUE(SIGNON());
  EXPECT_EQ(Count(Log(), "SIGNON: top of restart:"), 2U);
  EXPECT_EQ(Sim().GetState().signOns, 1U);
}

TEST_F(SignonTest, MissingBaudEchoFailsWithoutRestart) {
  Sim().SetNoBaudEcho(1);
  EXPECT_FALSE(SIGNON());
  EXPECT_EQ(Count(Log(), "SIGNON: top of restart:"), 1U);
  EXPECT_EQ(idComDev[0], INVALIDCOMDEV);
}

TEST_F(SignonTest, WrongRegisterEchoRestartsEachTime) {
  Sim().SetWrongRegisterEcho(2);
  EXPECT_TRUE(SIGNON());
  EXPECT_EQ(Count(Log(), "SIGNON: top of restart:"), 3U);
  EXPECT_EQ(Sim().GetState().signOns, 1U);
}

TEST_F(SignonTest, RegisterEchoMayCarryHighBits) {
  Sim().SetRegisterEchoHighBits(true);
  EXPECT_TRUE(SIGNON());
  EXPECT_EQ(Count(Log(), "SIGNON: top of restart:"), 1U);
  // The register write after the sign-on checks the echo the same way.
  EXPECT_TRUE(WriteModeRegisters());
}

TEST_F(SignonTest, TimerCountAtThreeHundredBaud) {
  Q583.baud = 5;
  Q583.scanInterval = 10.0;
  ASSERT_TRUE(SIGNON());
  const auto state = Sim().GetState();
  EXPECT_EQ(state.baud, 300U);
  EXPECT_EQ(state.timerCount, (4U << 8) | 195U);
  const auto data = Sim().SignOnPackets();
  ASSERT_EQ(data.size(), 9U);
  EXPECT_EQ(data[4].first, 195);
  EXPECT_EQ(data[4].data, 4);
  EXPECT_EQ(data[5].first, 0);
}

TEST_F(SignonTest, NewFirmwareRepeatsTheSignOnWithItsModelCode) {
  Sim().SetVersion(140);
  const double interval = Q583.scanInterval;
  ASSERT_EQ(EX_InitDev(), 1);
  EXPECT_EQ(Q583.modelCode, 10000);
  EXPECT_EQ(Q583.version, 140);
  EXPECT_TRUE(MessageBoxRecorder::Boxes().empty());
  EXPECT_EQ(Count(Log(), "SIGNON: top of restart:"), 2U);

  // First pass with the old time base, second with the new one.
  const auto data = Sim().SignOnPackets();
  ASSERT_EQ(data.size(), 18U);
  auto timer = [&](size_t pass) {
    const auto& lowMid = data[pass * 9 + 4];
    const auto& high = data[pass * 9 + 5];
    return static_cast<uint32_t>(high.first) << 16 | static_cast<uint32_t>(lowMid.data) << 8 | lowMid.first;
  };
  EXPECT_EQ(timer(0), TimerCount(interval, -1, 0));
  EXPECT_EQ(timer(1), TimerCount(interval, 10000, 0));
  EXPECT_NE(timer(0), timer(1));

  // -1 went out before the port was closed for the second pass, 10000 after.
  const std::vector<uint8_t> expected = {0x34, 0xFF, 0x00, 0x72, 0xFF, 0x00, 0xB2, 0x01, 0x00,
                                         0x34, 0x10, 0x27, 0x72, 0x10, 0x27, 0xB2, 0x01, 0x00};
  ASSERT_TRUE(WaitForPackets(2 * 16)) << testing::PrintToString(PacketPairs());
  EXPECT_EQ(ExtRegisterBytes(Sim().Packets()), expected);
  const auto state = Sim().GetState();
  EXPECT_EQ(state.extRegisters[0], 10000);
  EXPECT_EQ(state.extRegisters[1], 10000);
  EXPECT_EQ(state.extRegisters[2], 1);
  EXPECT_EQ(state.signOns, 2U);
}

TEST_F(SignonTest, VersionThatChangesBetweenThePassesShowsTheBoxOnce) {
  Sim().SetVersion(140);
  Sim().SetVersionAfterSignOns(1, 150);
  EXPECT_EQ(EX_InitDev(), 0);
  ASSERT_EQ(MessageBoxRecorder::Boxes().size(), 1U);
  const auto& box = MessageBoxRecorder::Boxes()[0];
  EXPECT_EQ(box.text, "Too many signons. Check configuration and try again");
  EXPECT_EQ(box.caption, "in DLL");
  EXPECT_EQ(box.style, platform::kMbOk);
  EXPECT_FALSE(fSignonRepeated);
  EXPECT_FALSE(fDevSignedOn);
  EXPECT_EQ(Q583.modelCode, 10000);   // set for the repeat
  EXPECT_NE(idComDev[0], INVALIDCOMDEV);  // the box leaves the port open
}

TEST_F(SignonTest, FirmwareAbove100IsToldTheModelCode) {
  Sim().SetVersion(101);
  Q583.channel = 2;
  Q583.subChan = 3;
  ASSERT_TRUE(SIGNON());
  EXPECT_EQ(Q583.modelCode, -1);
  std::vector<std::pair<uint8_t, uint8_t>> expected = {
      {0x86, 0x00},                                                    // version
      {0x01, 0xA7}, {0x07, 0x34}, {0x01, 0xA7}, {0x07, 0xFF}, {0x07, 0x00},  // register 0 = -1
      {0x01, 0xA7}, {0x07, 0x72}, {0x01, 0xA7}, {0x07, 0xFF}, {0x07, 0x00},  // register 1 = -1
      {0x01, 0xA7}, {0x07, 0xB2}, {0x01, 0xA7}, {0x07, 0x01}, {0x07, 0x00},  // register 2 = 1
  };
  ASSERT_TRUE(WaitForPackets(expected.size()));
  EXPECT_EQ(PacketPairs(), expected);
}

TEST_F(SignonTest, PortNumber255ClosesThePortInUseAndOpensNone) {
  q583test::SignOnSettled(Sim());
  ASSERT_NE(idComDev[0], INVALIDCOMDEV);
  ASSERT_EQ(EX_SetCOMport(255), 1);
  const int64_t start = platform::MonotonicMicros();
  EXPECT_FALSE(SIGNON());
  EXPECT_LT(ElapsedMs(start), 3500);  // only the close waits for the line
  for (int i = 0; i < kNumPortSlots; ++i) EXPECT_EQ(idComDev[i], INVALIDCOMDEV) << i;
}

}  // namespace
