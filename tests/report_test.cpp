// The device setup report: its text, the message box and "DevInfo.txt".
#include <sys/stat.h>

#include <cstdint>
#include <regex>
#include <string>

#include "device/q583.h"
#include "device/report.h"
#include "q583_sp.h"
#include "support/test_env.h"

namespace {

using ReportTest = q583test::LibraryTest;
using q583test::MessageBoxRecorder;

const std::string kDefaultReport =
    "TXQUEUESIZE: 16\n"
    "RXQUEUESIZE: 32000\n"
    "average: 1\n"
    "comPort (zero based): 0\n"
    "scanInterval (valid after a signon): 0.086528\n"
    "numChannels: 1\n"
    "   Q583.chan[0]: 0x0\n"
    "   Q583.chan[1]: 0x10\n"
    "   Q583.chan[2]: 0x10\n"
    "   Q583.chan[3]: 0x10\n"
    "   Q583.chan[4]: 0x10\n"
    "   Q583.chan[5]: 0x10\n"
    "tScan: 1\n"
    "singleChan: 0\n"
    "lastDigInp: 0\n"
    "version (valid after a signon): 0\n"
    "channel: 0\n"
    "subChan: 0\n"
    "last rawCount: 0\n"
    "last voltage: 0.000000\n"
    "digOutWord: 0\n"
    "wordCnt: 3\n"
    "biPolar: 1\n"
    "errorType (valid after a failed scan): 0\n"
    "filter: 2  (400Hz.)\n"
    "gain: 1\n"
    "rate: 60.000000\n"
    "modeRegLo (valid after a signon): 0\n"
    "modeRegMid (valid after a signon): 0\n"
    "modeRegHi (valid after a signon): 0\n"
    "baud: 0  (9600)\n";

bool Contains(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

TEST_F(ReportTest, MessageBoxShowsTheDefaultsLineByLine) {
  ASSERT_EQ(EX_ShowDevSetupInfo_MsgBox(), 1);  // runs the lazy initialisation first
  ASSERT_EQ(MessageBoxRecorder::Boxes().size(), 1U);
  const auto& box = MessageBoxRecorder::Boxes()[0];
  EXPECT_EQ(box.text, kDefaultReport);
  EXPECT_EQ(box.caption, "in DLL");
  EXPECT_EQ(box.style, 0U);  // OK button only
}

TEST_F(ReportTest, MessageBoxAnswerIsNotLookedAt) {
  MessageBoxRecorder::Answer() = 2;
  EXPECT_EQ(EX_ShowDevSetupInfo_MsgBox(), 1);
  EXPECT_EQ(MessageBoxRecorder::Boxes().size(), 1U);
}

TEST_F(ReportTest, NullMessageBoxHandlerRestoresThePlatformBox) {
  ASSERT_EQ(EX_SetMessageBoxHandler(nullptr), 1);
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(EX_ShowDevSetupInfo_MsgBox(), 1);
  const std::string shown = ::testing::internal::GetCapturedStderr();
  EXPECT_TRUE(MessageBoxRecorder::Boxes().empty());
  EXPECT_TRUE(Contains(shown, "baud: 0  (9600)")) << shown;
}

TEST_F(ReportTest, FileHasTheCreationTimeThenTheReport) {
  ASSERT_EQ(EX_ShowDevSetupInfo_WriteToFile(), 1);
  const std::string text = ReadFile("DevInfo.txt");
  const std::regex header("This log file created:  [A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}\n\n\n");
  std::smatch match;
  ASSERT_TRUE(std::regex_search(text, match, header)) << text;
  EXPECT_EQ(match.position(0), 0);
  EXPECT_EQ(text.substr(static_cast<size_t>(match.length(0))), kDefaultReport + "\n\n");
}

TEST_F(ReportTest, SecondFileReportReplacesTheFirst) {
  ASSERT_EQ(EX_ShowDevSetupInfo_WriteToFile(), 1);
  ASSERT_EQ(EX_SetGain(32), 1);
  ASSERT_EQ(EX_ShowDevSetupInfo_WriteToFile(), 1);
  const std::string text = ReadFile("DevInfo.txt");
  EXPECT_EQ(text.find("This log file created:"), 0U);
  EXPECT_EQ(text.find("This log file created:", 1), std::string::npos);
  EXPECT_TRUE(Contains(text, "\ngain: 32\n"));
  EXPECT_FALSE(Contains(text, "\ngain: 1\n"));
}

TEST_F(ReportTest, FileThatCannotBeCreatedStillReportsTrue) {
  ASSERT_EQ(mkdir((WorkDir() + "/DevInfo.txt").c_str(), 0755), 0);
  EXPECT_EQ(EX_ShowDevSetupInfo_WriteToFile(), 1);
  EXPECT_TRUE(MessageBoxRecorder::Boxes().empty());
}

TEST_F(ReportTest, VoltageIsPrintedInVolts) {
  ASSERT_TRUE(LazyInit());
  Q583.voltage = 2500.0;
  EXPECT_TRUE(Contains(BuildDevSetupReport(), "\nlast voltage: 2.500000\n"));
}

TEST_F(ReportTest, NegativeCodesPrintWithTheirSign) {
  ASSERT_TRUE(LazyInit());
  Q583.chan[1] = -2;
  Q583.rawCount = -17;
  const std::string text = BuildDevSetupReport();
  EXPECT_TRUE(Contains(text, "   Q583.chan[1]: 0xFFFFFFFE\n"));
  EXPECT_TRUE(Contains(text, "\nlast rawCount: -17\n"));
}

TEST_F(ReportTest, FilterAndBaudTables) {
  ASSERT_TRUE(LazyInit());
  const char* const filters[] = {"filter: 0  (4Hz.)", "filter: 1  (40Hz.)", "filter: 2  (400Hz.)"};
  for (int f = 0; f < 3; ++f) {
    Q583.filter = static_cast<int16_t>(f);
    EXPECT_TRUE(Contains(BuildDevSetupReport(), filters[f]));
  }
  const char* const bauds[] = {"baud: 0  (9600)", "baud: 1  (4800)", "baud: 2  (2400)",
                               "baud: 3  (1200)", "baud: 4  (600)",  "baud: 5  (300)"};
  for (int b = 0; b < 6; ++b) {
    Q583.baud = static_cast<int16_t>(b);
    EXPECT_TRUE(Contains(BuildDevSetupReport(), bauds[b]));
  }
}

TEST_F(ReportTest, SettingsOutsideTheTablesPrintZeroFrequency) {
  ASSERT_EQ(EX_SetFilter(7), 1);
  Q583.baud = 9;
  std::string text = BuildDevSetupReport();
  EXPECT_TRUE(Contains(text, "\nfilter: 7  (0Hz.)\n"));
  EXPECT_TRUE(Contains(text, "\nbaud: 9  (0)\n"));
  Q583.filter = -1;
  Q583.baud = -1;
  text = BuildDevSetupReport();
  EXPECT_TRUE(Contains(text, "\nfilter: -1  (0Hz.)\n"));
  EXPECT_TRUE(Contains(text, "\nbaud: -1  (0)\n"));
}

TEST_F(ReportTest, HugeValuesCannotOverrunTheReport) {
  ASSERT_TRUE(LazyInit());
  Q583.scanInterval = -1.7e308;
  Q583.voltage = 1.7e308;  // printed times 0.001
  Q583.rate = 3.4e38F;
  const std::string text = BuildDevSetupReport();
  EXPECT_GT(text.size(), 800U);
  EXPECT_TRUE(std::regex_search(text, std::regex("\nscanInterval \\(valid after a signon\\): -1\\d{308}\\.\\d{6}\n")));
  const std::string last = "\nbaud: 0  (9600)\n";
  ASSERT_GE(text.size(), last.size());
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
  ASSERT_EQ(EX_ShowDevSetupInfo_WriteToFile(), 1);
  EXPECT_TRUE(Contains(ReadFile("DevInfo.txt"), text));
}

}  // namespace

namespace {

class ReportSimTest : public q583test::SimTest {};

TEST_F(ReportSimTest, AfterASignOnTheProgrammedRateIsReported) {
  SignOn();
  ASSERT_EQ(EX_ShowDevSetupInfo_MsgBox(), 1);
  ASSERT_EQ(MessageBoxRecorder::Boxes().size(), 1U);
  EXPECT_TRUE(Contains(MessageBoxRecorder::Boxes()[0].text, "\nrate: 60.096153\n"))
      << MessageBoxRecorder::Boxes()[0].text;
}

}  // namespace
