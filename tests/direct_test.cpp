// Direct operations against the simulated instrument: single conversions
// and their error codes, digital I/O, the calibrations, standby, the
// polled-mode channel and reset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/q583.h"
#include "link/commands.h"
#include "link/direct.h"
#include "link/serial.h"
#include "q583_sp.h"
#include "support/sim_wait.h"
#include "support/test_env.h"

namespace {

using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;
using q583test::SimTest;

q583sim::Signal Constant(double volts) {
  q583sim::Signal s;
  s.offset = volts;
  return s;
}

class DirectTest : public SimTest {};

TEST_F(DirectTest, OneConversionSignsOnSelectsAndConverts) {
  Sim().SetInput(0, 0, Constant(1.234));
  double mv = 0.0;
  ASSERT_EQ(EX_GetOneConversion(&mv), 1);
  EXPECT_TRUE(fDevSignedOn);
  EXPECT_EQ(Sim().GetState().signOns, 1U);
  EXPECT_NEAR(mv, 1234.0, 0.01);
  EXPECT_EQ(Q583.rawCount, Sim().VoltsToCount(1.234));
  EXPECT_DOUBLE_EQ(Q583.voltage, mv);
  const auto packets = PacketPairs();
  ASSERT_GE(packets.size(), 2U);
  EXPECT_EQ(packets[packets.size() - 2], std::make_pair(uint8_t{0x01}, uint8_t{0x00}));
  EXPECT_EQ(packets.back(), std::make_pair(uint8_t{0x81}, uint8_t{0x00}));
}

TEST_F(DirectTest, CountBytesComeLeastSignificantFirst) {
  q583test::SignOnSettled(Sim());
  const double volts = CountToMillivolts(0x332211, 3, 1) / 1000.0;
  Sim().SetInput(0, 0, Constant(volts));
  double mv = 0.0;
  ASSERT_EQ(EX_GetOneConversion(&mv), 1);
  EXPECT_EQ(Q583.rawCount, 0x332211);
  EXPECT_DOUBLE_EQ(mv, CountToMillivolts(0x332211, 3, 1));
}

TEST_F(DirectTest, WrongEchoIsTheErrorType) {
  q583test::SignOnSettled(Sim());
  q583sim::CommandFault fault;
  fault.command = 0x81;
  fault.kind = q583sim::ReplyFault::WrongEcho;
  fault.echo = 0x45;
  fault.count = -1;
  Sim().AddCommandFault(fault);
  double mv = 42.0;
  EXPECT_EQ(EX_GetOneConversion(&mv), 0);
  EXPECT_EQ(mv, 42.0);
  EXPECT_EQ(Q583.errorType, 69);
  EXPECT_FALSE(fDevSignedOn);  // failed again after a new sign-on
  EXPECT_EQ(Sim().GetState().signOns, 2U);
}

TEST_F(DirectTest, ShortCountIsErrorTypeOne) {
  q583test::SignOnSettled(Sim());
  q583sim::CommandFault fault;
  fault.command = 0x81;
  fault.kind = q583sim::ReplyFault::Cut;
  fault.cutAfter = 2;  // the echo and one count byte
  fault.count = 1;
  Sim().AddCommandFault(fault);
  EXPECT_FALSE(GetOneConversion());
  EXPECT_EQ(Q583.errorType, 1);
  EXPECT_EQ(echoByte.load(), 0x81);
}

TEST_F(DirectTest, DigitalInputAndOutput) {
  ASSERT_EQ(EX_DoDebugNorm(1), 1);
  Sim().SetDigitalInput(0x5A);
  uint8_t value = 0;
  ASSERT_EQ(EX_GetDigin(&value), 1);  // signs on first
  EXPECT_EQ(value, 0x5A);
  EXPECT_EQ(Q583.lastDigInp, 0x5A);
  uint8_t last = 0;
  EXPECT_EQ(EX_GetDiginWScan(&last), 1);
  EXPECT_EQ(last, 0x5A);

  Sim().ClearLog();
  EXPECT_EQ(EX_SendDigout(0xA5), 1);
  uint8_t busy = 9;
  EXPECT_EQ(EX_SendDigoutWScan(0x3C, &busy), 1);
  EXPECT_EQ(busy, 0);
  const Pairs expected = {{0x02, 0xA5}, {0x02, 0x3C}};
  ASSERT_TRUE(Sim().WaitForReceived(6, 2000));
  EXPECT_EQ(PacketPairs(), expected);
  EXPECT_EQ(Sim().GetState().digitalOutput, 0x3C);
  EXPECT_NE(ReadFile("583_debug.txt").find("#1 SetDigOut()-> send success \n"), std::string::npos);
}

TEST_F(DirectTest, CalibrationsUseThePolledChannelAndSelectItAgain) {
  q583test::SignOnSettled(Sim());
  ASSERT_EQ(EX_SetPolledModeChan(2, 3), 1);
  EXPECT_EQ(EX_OffsetCalibration(), 1);
  EXPECT_EQ(EX_FullScaleCalibration(), 1);
  const Pairs expected = {{0x01, 0x23}, {0x82, 0x23}, {0x01, 0x23}, {0x83, 0x23}, {0x01, 0x23}};
  ASSERT_TRUE(q583test::WaitForPackets(Sim(), expected.size()));
  EXPECT_EQ(PacketPairs(), expected);
  EXPECT_EQ(Q583.channel, 2);
  EXPECT_EQ(Q583.subChan, 3);

  q583sim::CommandFault fault;
  fault.command = 0x83;
  fault.kind = q583sim::ReplyFault::WrongEcho;
  fault.echo = 0x82;
  fault.count = 1;
  Sim().AddCommandFault(fault);
  EXPECT_EQ(EX_FullScaleCalibration(), 0);
  EXPECT_EQ(Q583.channel, 2);
  EXPECT_EQ(Q583.subChan, 3);
  EXPECT_TRUE(fDevSignedOn);  // no retry for the calibration itself
}

TEST_F(DirectTest, PolledChannelIsLimited) {
  q583test::SignOnSettled(Sim());
  EXPECT_EQ(EX_SetPolledModeChan(9, 20), 1);
  EXPECT_EQ(Q583.channel, 7);
  EXPECT_EQ(Q583.subChan, 15);
  const Pairs expected = {{0x01, 0x7F}};
  ASSERT_TRUE(q583test::WaitForPackets(Sim(), expected.size()));
  EXPECT_EQ(PacketPairs(), expected);
  EXPECT_EQ(Sim().GetState().selectedChannel, 0x7F);
  uint8_t channel = 0, sub = 0;
  EXPECT_EQ(EX_GetPolledModeChan(&channel, &sub), 1);
  EXPECT_EQ(channel, 7);
  EXPECT_EQ(sub, 15);
}

TEST_F(DirectTest, StandbyWritesTheRegistersAndForgetsTheSignOn) {
  q583test::SignOnSettled(Sim());
  EXPECT_EQ(EX_Standby(1), 1);
  EXPECT_EQ(Q583.fStandby, 1);
  EXPECT_FALSE(fDevSignedOn);
  const Pairs expected = {{0x84, 0x00}, {0x01, 0x81}, {0x45, 0x00}};
  EXPECT_EQ(PacketPairs(), expected);
  EXPECT_TRUE(Sim().GetState().standby);

  // The next operation signs on again, which ends the standby.
  uint8_t value = 0;
  EXPECT_EQ(EX_GetDigin(&value), 1);
  EXPECT_EQ(Q583.fStandby, 0);
  EXPECT_FALSE(Sim().GetState().standby);
  EXPECT_EQ(Sim().GetState().signOns, 2U);
}

TEST_F(DirectTest, ResetRestoresTheDefaultsAndSignsOn) {
  q583test::SignOnSettled(Sim());
  ASSERT_EQ(EX_SetGain(4), 1);
  ASSERT_EQ(EX_SetFilter(0), 1);
  EXPECT_EQ(EX_Reset(), 1);
  EXPECT_EQ(Q583.gain, 1);
  EXPECT_EQ(Q583.filter, 2);
  EXPECT_TRUE(fDevSignedOn);
  EXPECT_EQ(Sim().GetState().signOns, 2U);
  EXPECT_EQ(Sim().GetState().filter, 2);
}

}  // namespace
