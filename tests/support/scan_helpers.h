// Helpers shared by the scan tests: setting up a channel list without an
// extra sign-on, collecting scans from the memory ring, and reading the
// scan log file back.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "device/q583.h"
#include "q583_sp.h"
#include "q583sim/simulator.h"

namespace q583test {

constexpr uint32_t kLogFile = 1;
constexpr uint32_t kLogMemory = 2;
constexpr uint32_t kStopWhenFull = 4;
constexpr uint32_t kLimitSize = 8;

// Stores the channel codes in the record (the next sign-on sends them) and
// counts them, as the codes export does but without its own sign-on.
inline void SetChannelCodes(std::initializer_list<int16_t> codes) {
  ASSERT_TRUE(LazyInit());
  int i = 0;
  for (int16_t code : codes) Q583.chan[i++] = code;
  for (; i < 6; ++i) Q583.chan[i] = kChannelOff;
  CountChannels();
}

// Takes scans from the ring until `wanted` have come or ms pass.
inline std::vector<double> CollectScans(uint32_t wanted, uint32_t points, int ms) {
  std::vector<double> all;
  std::vector<double> chunk(static_cast<size_t>(wanted) * points + 1);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  uint32_t have = 0;
  while (have < wanted && std::chrono::steady_clock::now() < deadline) {
    int32_t returned = 0, unread = 0;
    uint8_t running = 0;
    if (!EX_GetScanDataDbl(chunk.data(), wanted - have, &returned, &unread, &running)) break;
    all.insert(all.end(), chunk.begin(), chunk.begin() + static_cast<long>(returned) * points);
    have += static_cast<uint32_t>(returned);
    if (returned == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return all;
}

inline void SleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Signs on, lets the last packets of the sign-on reach the simulator, and
// forgets them.
inline void SignOnQuiet(q583sim::Simulator& sim) {
  ASSERT_EQ(EX_InitDev(), 1);
  SleepMs(150);
  sim.ClearLog();
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

inline std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

inline size_t CountOf(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + what.size())) ++n;
  return n;
}

// Volts per count of a 24-bit bipolar value: one count's width.
constexpr double kBipolarCountVolts = 2.0 * 0.0002980232 * 0.001;

}  // namespace q583test
