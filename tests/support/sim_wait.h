// Waits on what the simulator has received, for tests that look at the wire
// right after the library returns: the library's last bytes may still be on
// their way through the pseudo-terminal then.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "q583_sp.h"
#include "q583sim/simulator.h"

namespace q583test {

// True once the simulator has decoded at least n command packets.
inline bool WaitForPackets(const q583sim::Simulator& sim, size_t n, int ms = 3000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (sim.Packets().size() < n) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

// EX_InitDev, then waits until its last packet (the averaging command) has
// arrived before the simulator's log is cleared, so that the log holds only
// what the test itself causes.
inline void SignOnSettled(q583sim::Simulator& sim) {
  ASSERT_EQ(EX_InitDev(), 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  for (;;) {
    const auto packets = sim.Packets();
    if (!packets.empty() && packets.back().first == 0x04) break;
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "averaging command never arrived";
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  sim.ClearLog();
}

}  // namespace q583test
