// Command packets on the wire: first byte, data byte, checksum; the raw
// packet export; the busy check that keeps two senders apart.
#include <gtest/gtest.h>

#include <vector>

#include "device/q583.h"
#include "link/packets.h"
#include "q583_sp.h"
#include "support/sim_wait.h"
#include "support/test_env.h"

namespace {

using q583test::SimTest;

class PacketsTest : public SimTest {};

TEST_F(PacketsTest, PacketsCarryTheirChecksum) {
  q583test::SignOnSettled(Sim());
  EXPECT_EQ(DLL_SendPacket(0x81, 0x00), 1);
  EXPECT_EQ(DLL_SendPacket(0x80, 0x4C), 1);
  EXPECT_EQ(DLL_SendPacket(0xC8, 0x64), 1);   // the sum wraps
  EXPECT_EQ(DLL_SendPacket(0x1FF, 0x102), 1);  // only the low bytes go out
  EXPECT_TRUE(SendPacket(0x84, 0x00));
  const std::vector<uint8_t> expected = {0x81, 0x00, 0x81, 0x80, 0x4C, 0xCC, 0xC8, 0x64,
                                         0x2C, 0xFF, 0x02, 0x01, 0x84, 0x00, 0x84};
  ASSERT_TRUE(Sim().WaitForReceived(expected.size(), 2000));
  EXPECT_EQ(Sim().ReceivedValues(), expected);
  for (const auto& p : Sim().Packets()) EXPECT_TRUE(p.checksumOk);
  EXPECT_FALSE(fSendPacketBusy);
}

TEST_F(PacketsTest, BusyCheckStepsBackWithoutTouchingThePort) {
  q583test::SignOnSettled(Sim());
  fSendPacketBusy = true;
  EXPECT_FALSE(SendPacketWithBusyCheck(0x02, 0x11));
  fSendPacketBusy = false;
  EXPECT_TRUE(SendPacketWithBusyCheck(0x02, 0x33));
  EXPECT_FALSE(fSendPacketBusy);
  ASSERT_TRUE(Sim().WaitForReceived(3, 2000));
  const std::vector<uint8_t> expected = {0x02, 0x33, 0x35};
  EXPECT_EQ(Sim().ReceivedValues(), expected);
  EXPECT_EQ(Sim().GetState().digitalOutput, 0x33);
}

TEST_F(PacketsTest, RawPacketsNeedNoSignOnButAnOpenPort) {
  // Nothing opened the port yet: the write gives up after its time-out.
  EXPECT_EQ(DLL_SendPacket(0x02, 0x01), 0);
  EXPECT_FALSE(fSendPacketBusy);
  EXPECT_TRUE(Sim().ReceivedValues().empty());
}

}  // namespace
