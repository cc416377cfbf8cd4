// Test fixtures: every test runs in its own temporary working directory on a
// freshly loaded library, and the simulator tests each get their own
// instrument on a pseudo-terminal mapped to COM1.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "q583sim/simulator.h"

namespace q583test {

// Temporary working directory, the library reloaded before and after.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  const std::string& WorkDir() const { return workDir_; }
  // Whole contents of a file in the working directory ("" when missing).
  std::string ReadFile(const std::string& name) const;
  bool FileExists(const std::string& name) const;
  void WriteFile(const std::string& name, const std::string& text) const;

 private:
  std::string workDir_;
  std::string oldDir_;
};

// LibraryTest plus a simulator whose pseudo-terminal is COM1 (port 0).
class SimTest : public LibraryTest {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Options for the simulator; override before SetUp runs.
  virtual q583sim::Options SimOptions() const { return {}; }
  q583sim::Simulator& Sim() { return *sim_; }
  // Packets the simulator decoded, as (first, data) pairs.
  std::vector<std::pair<uint8_t, uint8_t>> PacketPairs() const;
  // Signs on with EX_InitDev and clears the simulator's log.
  void SignOn();

 private:
  std::unique_ptr<q583sim::Simulator> sim_;
};

// Records message boxes shown by the library and answers with `answer`.
struct MessageBoxRecorder {
  struct Box {
    std::string text, caption;
    uint32_t style;
  };
  static std::vector<Box>& Boxes();
  static int& Answer();
  static void Install();  // clears, answers OK
};

}  // namespace q583test
