// Three-byte command packets and the busy flag that keeps two senders apart.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<bool> fSendPacketBusy;

bool SendPacket(uint32_t first, uint32_t data);
bool SendPacketWithBusyCheck(uint32_t first, uint32_t data);
// For an exchange on the host's side that reads a reply: what is already
// waiting (line noise, a late reply) is not this reply and is dropped first.
bool SendCommandForReply(uint32_t first, uint32_t data);
