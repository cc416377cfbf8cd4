#include "support/test_env.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "api/entry.h"
#include "q583_sp.h"
#include "support/sim_wait.h"

namespace fs = std::filesystem;

namespace q583test {

namespace {
int Q583_CALL RecordBox(const char* text, const char* caption, uint32_t style) {
  MessageBoxRecorder::Boxes().push_back({text ? text : "", caption ? caption : "", style});
  return MessageBoxRecorder::Answer();
}
}  // namespace

void LibraryTest::SetUp() {
  oldDir_ = fs::current_path().string();
  std::string pattern = (fs::temp_directory_path() / "q583-test-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  workDir_ = pattern;
  fs::current_path(workDir_);
  ReloadLibrary();
  MessageBoxRecorder::Install();
}

void LibraryTest::TearDown() {
  ReloadLibrary();
  EX_SetMessageBoxHandler(nullptr);
  fs::current_path(oldDir_);
  std::error_code ec;
  if (!std::getenv("Q583_KEEP_TEST_DIRS")) fs::remove_all(workDir_, ec);
}

std::string LibraryTest::ReadFile(const std::string& name) const {
  std::ifstream in(fs::path(workDir_) / name, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool LibraryTest::FileExists(const std::string& name) const { return fs::exists(fs::path(workDir_) / name); }

void LibraryTest::WriteFile(const std::string& name, const std::string& text) const {
  std::ofstream out(fs::path(workDir_) / name, std::ios::binary);
  out << text;
}

void SimTest::SetUp() {
  LibraryTest::SetUp();
  sim_ = std::make_unique<q583sim::Simulator>(SimOptions());
  ASSERT_EQ(EX_SetCOMportDevice(0, sim_->DevicePath().c_str()), 1);
}

void SimTest::TearDown() {
  ReloadLibrary();  // closes the port and ends the threads before the simulator goes
  sim_.reset();
  LibraryTest::TearDown();
}

std::vector<std::pair<uint8_t, uint8_t>> SimTest::PacketPairs() const {
  std::vector<std::pair<uint8_t, uint8_t>> pairs;
  for (const auto& p : sim_->Packets()) pairs.emplace_back(p.first, p.data);
  return pairs;
}

void SimTest::SignOn() { SignOnSettled(*sim_); }

std::vector<MessageBoxRecorder::Box>& MessageBoxRecorder::Boxes() {
  static std::vector<Box> boxes;
  return boxes;
}

int& MessageBoxRecorder::Answer() {
  static int answer = 1;
  return answer;
}

void MessageBoxRecorder::Install() {
  Boxes().clear();
  Answer() = 1;
  EX_SetMessageBoxHandler(&RecordBox);
}

}  // namespace q583test
