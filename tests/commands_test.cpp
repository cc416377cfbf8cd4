// Configuration commands against the simulated instrument: averaging, the
// register write and its echo, the system calibration around a gain, the
// extended registers, the version and the model code, sleep.
#include <gtest/gtest.h>

#include <vector>

#include "device/q583.h"
#include "link/commands.h"
#include "link/serial.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "support/sim_wait.h"
#include "support/test_env.h"

namespace {

using Pairs = std::vector<std::pair<uint8_t, uint8_t>>;
using q583test::SimTest;

class CommandsTest : public SimTest {};

TEST_F(CommandsTest, AveragingSendsItsLogarithmAndRefreshesTheTimeout) {
  q583test::SignOnSettled(Sim());
  Q583.average = 1;
  Q583.rate = 10.0F;
  Q583.baud = 0;
  EXPECT_TRUE(SetAveraging());
  EXPECT_EQ(replyTimeout.load(), 4200);
  EXPECT_EQ(Q583.rate, 10.0F);  // the rate is not recomputed
  Q583.average = 32768;
  EXPECT_TRUE(SetAveraging());
  const std::vector<uint8_t> expected = {0x04, 0x00, 0x04, 0x04, 0x0F, 0x13};
  ASSERT_TRUE(Sim().WaitForReceived(expected.size(), 2000));
  EXPECT_EQ(Sim().ReceivedValues(), expected);
  EXPECT_EQ(Sim().GetState().averagingCode, 15);
}

TEST_F(CommandsTest, ModeRegisterWriteChecksEchoAndReadBack) {
  q583test::SignOnSettled(Sim());
  Q583.gain = 16;
  EXPECT_TRUE(WriteModeRegisters());
  EXPECT_EQ(Q583.modeRegHi, 4 * 4);
  EXPECT_EQ(Sim().GetState().modeRegHi, 16);
  const Pairs expected = {{0x84, 0x00}, {16, 0x81}, {0x45, 0x00}};
  EXPECT_EQ(PacketPairs(), expected);

  q583sim::CommandFault wrongEcho;
  wrongEcho.command = 0x84;
  wrongEcho.kind = q583sim::ReplyFault::WrongEcho;
  wrongEcho.echo = 0x85;
  wrongEcho.count = 1;
  Sim().AddCommandFault(wrongEcho);
  EXPECT_FALSE(WriteModeRegisters());
}

TEST_F(CommandsTest, SystemCalibrationRunsAtGainOneAndRestoresTheGain) {
  q583test::SignOnSettled(Sim());
  ASSERT_EQ(EX_SetGain(4), 1);
  EXPECT_EQ(EX_SystemCalibration(), 1);
  EXPECT_EQ(Q583.gain, 4);
  const Pairs expected = {
      {0x84, 0x00}, {0x00, 0x81}, {0x45, 0x00},  // gain 1
      {0x82, 0x70}, {0x83, 0x60},                // offset, full scale
      {0x84, 0x00}, {0x08, 0x81}, {0x45, 0x00},  // gain 4 again
      {0x82, 0x70},                              // offset at that gain
      {0x01, 0x00},                              // the polled channel selected again
  };
  ASSERT_TRUE(q583test::WaitForPackets(Sim(), expected.size()));
  EXPECT_EQ(PacketPairs(), expected);
  EXPECT_EQ(Sim().GetState().modeRegHi, 0x08);
}

TEST_F(CommandsTest, SystemCalibrationAtGainOneSkipsTheRegisters) {
  q583test::SignOnSettled(Sim());
  EXPECT_TRUE(SystemCalibrate());
  const Pairs expected = {{0x82, 0x70}, {0x83, 0x60}};
  EXPECT_EQ(PacketPairs(), expected);
}

TEST_F(CommandsTest, ExtendedRegisterWriteSplitsTheValue) {
  q583test::SignOnSettled(Sim());
  Q583.channel = 2;
  Q583.subChan = 3;
  EXPECT_TRUE(WriteExtRegister(1, 10000));
  EXPECT_TRUE(WriteExtRegister(0, -1));
  const Pairs expected = {{0x01, 0xA7}, {0x07, 0x72}, {0x01, 0xA7}, {0x07, 0x10}, {0x07, 0x27},
                          {0x01, 0xA7}, {0x07, 0x34}, {0x01, 0xA7}, {0x07, 0xFF}, {0x07, 0x00}};
  ASSERT_TRUE(q583test::WaitForPackets(Sim(), expected.size()));
  EXPECT_EQ(PacketPairs(), expected);

  // On channel 0, sub-channel 0 the instrument takes the value apart again.
  Q583.channel = 0;
  Q583.subChan = 0;
  EXPECT_TRUE(WriteExtRegister(1, 10000));
  ASSERT_TRUE(q583test::WaitForPackets(Sim(), expected.size() + 5));
  EXPECT_EQ(Sim().GetState().extRegisters[1], 10000);
}

TEST_F(CommandsTest, SetModelFollowsTheFirmwareVersion) {
  q583test::SignOnSettled(Sim());
  int16_t version = 0;
  Sim().SetVersion(131);
  ASSERT_EQ(EX_SetModel(&version), 1);
  EXPECT_EQ(version, 131);
  EXPECT_EQ(Q583.modelCode, -1);
  EXPECT_TRUE(fDevSignedOn);

  Sim().SetVersion(150);
  ASSERT_EQ(EX_SetModel(&version), 1);
  EXPECT_EQ(version, 150);
  EXPECT_TRUE(fDevSignedOn);

  Sim().SetVersion(140);
  ASSERT_EQ(EX_SetModel(&version), 1);
  EXPECT_EQ(version, 140);
  EXPECT_EQ(Q583.modelCode, 10000);
  EXPECT_FALSE(fDevSignedOn);  // the next operation signs on with the new time base
  EXPECT_EQ(EX_SetModel(&version), 0);
}

TEST_F(CommandsTest, SetModelFailsWhenTheVersionDoesNotCome) {
  q583test::SignOnSettled(Sim());
  q583sim::CommandFault noReply;
  noReply.command = 0x86;
  noReply.kind = q583sim::ReplyFault::NoReply;
  noReply.count = 1;
  Sim().AddCommandFault(noReply);
  Sim().SetVersion(140);
  int16_t version = 77;
  EXPECT_EQ(EX_SetModel(&version), 0);
  EXPECT_EQ(version, 77);
  EXPECT_EQ(Q583.modelCode, -1);
  EXPECT_TRUE(fDevSignedOn);
}

TEST_F(CommandsTest, SleepIsSentWhateverTheFlag) {
  q583test::SignOnSettled(Sim());
  EXPECT_EQ(EX_Sleep(0), 1);
  EXPECT_FALSE(fDevSignedOn);
  EXPECT_EQ(Q583.fSleep, 0);
  const std::vector<uint8_t> expected = {0x88, 0x00, 0x88};
  EXPECT_EQ(Sim().ReceivedValues(), expected);
  EXPECT_EQ(echoByte.load(), 0x80);  // the instrument's answer, drained after 500 ms
  EXPECT_TRUE(Sim().GetState().asleep);

  EXPECT_EQ(EX_Sleep(1), 1);
  EXPECT_EQ(Q583.fSleep, 1);
  // The next operation that needs the instrument wakes it with a sign-on.
  uint8_t digin = 0;
  EXPECT_EQ(EX_GetDigin(&digin), 1);
  EXPECT_EQ(Q583.fSleep, 0);
  EXPECT_EQ(Sim().GetState().signOns, 2U);
  EXPECT_FALSE(Sim().GetState().asleep);
}

}  // namespace
