// The scan log file: its exact layout, the numbering of its name, the texts
// that go into it, the size limit and a file that cannot be created.
#include <filesystem>

#include "device/timing.h"
#include "logging/scan_log.h"
#include "scan/scan_run.h"
#include "support/scan_helpers.h"
#include "support/test_env.h"
#include "support/run_helpers.h"

namespace q583test {
namespace {

class ScanLogFile : public LibraryTest {};

// The header of a run started with the record as it stands.
std::string RecordHeader() { return ScanLogHeader(FormatFromSettings().codes.data(), Q583.tScan); }

TEST_F(ScanLogFile, ExampleFileExactly) {
  ASSERT_TRUE(LazyInit());
  Q583.chan[0] = 0x00;
  Q583.chan[1] = 0x00;
  for (int i = 2; i < 6; ++i) Q583.chan[i] = kChannelOff;
  CountChannels();
  Q583.tScan = 1;
  Q583.rate = 100.0F;
  Q583.version = 100;
  Q583.scanInterval = 0.5;

  ScanLog log;
  ASSERT_TRUE(log.Open(RecordHeader()));
  const std::string started = "Wed Jun 30 21:49:08 1993\n";
  double scans = 0.0;
  const double rows[2][2] = {{1.2345678, -0.5}, {2.0, 0.25}};
  for (const auto& values : rows) {
    std::string row;
    ScanLogAppendTime(row, scans, Q583.scanInterval);
    scans += 1.0;
    for (double v : values) ScanLogAppendVolts(row, v);
    AppendLogComment(row);
    log.WriteRow(row);
  }
  // The thread's trailer and scan end's write the run's own figures, frozen
  // at its start.
  const RunFormat format = FormatFromSettings();
  for (int trailer = 0; trailer < 2; ++trailer)
    log.WriteTrailer(format.minimumInterval, format.appliedInterval, scans, started, platform::CtimeNow());
  log.Close();
  EXPECT_FALSE(log.IsOpen());

  const auto lines = Lines(ReadFile("ScanLog_0.txt"));
  ASSERT_EQ(lines.size(), 17U);
  EXPECT_EQ(lines[0], "Time / s   \t0 - 0    \t1 - 0    \t");
  EXPECT_EQ(lines[1], "00000.0   \t 1.2345678\t-0.5000000\t");
  EXPECT_EQ(lines[2], "00000.5   \t 2.0000000\t 0.2500000\t");
  for (size_t block : {3U, 10U}) {
    EXPECT_EQ(lines[block + 0], "");
    EXPECT_EQ(lines[block + 1], "Minimal System Interval:\t0.12595");
    EXPECT_EQ(lines[block + 2], "Applied Interval:        \t0.49997");
    EXPECT_EQ(lines[block + 3], "Subcycles averaged:      \t2");
    EXPECT_EQ(lines[block + 4], "Started:                 \tWed Jun 30 21:49:08 1993");
    EXPECT_EQ(lines[block + 5].rfind("Finished:                \t", 0), 0U);
    EXPECT_EQ(lines[block + 5].size(), std::string("Finished:                \t").size() + 24);
    EXPECT_EQ(lines[block + 6], "Experiment Description:  \tnone");
  }
}

TEST_F(ScanLogFile, HeaderOfScanTypeTwoAndFieldForms) {
  ASSERT_TRUE(LazyInit());
  Q583.chan[0] = 0x00;
  Q583.chan[1] = 0x00;
  Q583.chan[2] = 0x52;  // first above last: adds nothing
  Q583.tScan = 2;
  ASSERT_TRUE(ScanLog().Open(RecordHeader()));
  EXPECT_EQ(Lines(ReadFile("ScanLog_0.txt"))[0], "Time / s   \t0 - 0    \t1 - 0    \toffset  \tfullscale  \t");

  std::string row;
  ScanLogAppendVolts(row, 2.4999998);
  ScanLogAppendVolts(row, -1.25);
  EXPECT_EQ(row, " 2.4999998\t-1.2500000\t");
  row.clear();
  ScanLogAppendTime(row, 3.0, 0.5);
  EXPECT_EQ(row, "00001.5   \t");
}

TEST_F(ScanLogFile, NumberFollowsTheLargestFound) {
  std::string name;
  ASSERT_TRUE(NextScanLogName(name));
  EXPECT_EQ(name, "ScanLog_0.txt");
  WriteFile("ScanLog_0.txt", "");
  WriteFile("ScanLog_7.csv", "");
  ASSERT_TRUE(NextScanLogName(name));
  EXPECT_EQ(name, "ScanLog_8.txt");
}

// A directory of the host's choice holds the files: numbered by what is
// there, and the current directory left as it is.
TEST_F(ScanLogFile, FilesGoToTheDirectoryGiven) {
  std::filesystem::create_directory("logs");
  WriteFile("logs/ScanLog_4.txt", "");
  ASSERT_EQ(EX_SetScanLogDirectory("logs"), 1);
  ASSERT_TRUE(LazyInit());
  ASSERT_TRUE(ScanLog().Open(RecordHeader()));
  EXPECT_TRUE(FileExists("logs/ScanLog_5.txt"));
  EXPECT_FALSE(FileExists("ScanLog_0.txt"));
  ASSERT_EQ(EX_SetScanLogDirectory(nullptr), 1);
  ASSERT_TRUE(ScanLog().Open(RecordHeader()));
  EXPECT_TRUE(FileExists("ScanLog_0.txt"));
}

TEST_F(ScanLogFile, NameWithoutDigitsCountsAsZero) {
  WriteFile("ScanLog_x.txt", "");
  std::string name;
  ASSERT_TRUE(NextScanLogName(name));
  EXPECT_EQ(name, "ScanLog_1.txt");
}

TEST_F(ScanLogFile, NumberNeverWrapsOntoAnExistingFile) {
  WriteFile("ScanLog_65535.txt", "keep");
  WriteFile("ScanLog_0.txt", "keep");
  WriteFile("ScanLog_1.txt", "keep");
  std::string name;
  ASSERT_TRUE(NextScanLogName(name));
  EXPECT_EQ(name, "ScanLog_2.txt");
  ASSERT_TRUE(LazyInit());
  ASSERT_TRUE(ScanLog().Open(RecordHeader()));
  EXPECT_EQ(ReadFile("ScanLog_0.txt"), "keep");
  EXPECT_EQ(ReadFile("ScanLog_1.txt"), "keep");
  EXPECT_TRUE(FileExists("ScanLog_2.txt"));
}

TEST_F(ScanLogFile, TextsUpTo511Characters) {
  EXPECT_EQ(EX_SetExperimentName(std::string(511, 'd').c_str()), 1);
  EXPECT_EQ(ExperimentName(), std::string(511, 'd'));
  EXPECT_EQ(EX_SetExperimentName(std::string(512, 'e').c_str()), 0);
  EXPECT_EQ(ExperimentName(), std::string(511, 'd'));
  EXPECT_EQ(EX_SetExperimentName(nullptr), 0);

  EXPECT_EQ(EX_AddLogFileComment(std::string(511, 'c').c_str()), 1);
  EXPECT_EQ(EX_AddLogFileComment(std::string(512, 'c').c_str()), 0);
  EXPECT_EQ(LogComment(), std::string(511, 'c'));
  EXPECT_EQ(EX_AddLogFileComment(""), 1);
  EXPECT_EQ(LogComment(), "");
}

class ScanLogRun : public SimTest {};

TEST_F(ScanLogRun, CommentAndDescriptionInTheFile) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile, 0, 0), 1);
  ASSERT_EQ(EX_SetExperimentName("bench 4, cold run"), 1);
  ASSERT_EQ(EX_AddLogFileComment("x"), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(3, 5000));
  SleepMs(100);
  ASSERT_EQ(EX_EndScan(), 1);
  const std::string text = ReadFile("ScanLog_0.txt");
  const auto lines = Lines(text);
  ASSERT_GE(lines.size(), 1U + 3U + 14U);
  for (size_t r = 1; r < lines.size() - 14; ++r) {
    EXPECT_EQ(lines[r].substr(lines[r].size() - 2), "\tx") << lines[r];
  }
  EXPECT_EQ(CountOf(text, "Experiment Description:  \tbench 4, cold run\n"), 2U);
}

TEST_F(ScanLogRun, SizeLimitClosesTheFileWithOneTrailer) {
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory | kLimitSize, 100, 0), 1);
  SignOnQuiet(Sim());
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  ASSERT_TRUE(Sim().WaitForFrames(8, 5000));
  SleepMs(100);
  // The run goes on into memory after the file is closed.
  EXPECT_EQ(EX_CheckRun(), 1);
  EXPECT_FALSE(RunLogOpen());
  const auto values = CollectScans(6, 1, 3000);
  EXPECT_EQ(values.size(), 6U);
  ASSERT_EQ(EX_EndScan(), 1);

  const std::string text = ReadFile("ScanLog_0.txt");
  const auto lines = Lines(text);
  EXPECT_EQ(CountOf(text, "Minimal System Interval:"), 1U);
  // Header and rows are 23 bytes each: the fourth row brings it to 115.
  ASSERT_EQ(lines.size(), 1U + 4U + 7U);
  EXPECT_EQ(lines[5], "");
}

TEST_F(ScanLogRun, FileThatCannotBeCreatedAsksTheUser) {
  std::filesystem::create_directory(WorkDir() + "/ScanLog_0.txt");  // fopen on it fails
  SetChannelCodes({0x00});
  ASSERT_EQ(EX_SetDataLogOptions(kLogFile | kLogMemory, 0, 0), 1);
  SignOnQuiet(Sim());

  MessageBoxRecorder::Answer() = platform::kIdCancel;
  EXPECT_EQ(EX_StartScan_NoSysCal(), 0);
  ASSERT_EQ(MessageBoxRecorder::Boxes().size(), 1U);
  const auto& box = MessageBoxRecorder::Boxes()[0];
  EXPECT_EQ(box.caption, " CRITICAL ERROR");
  EXPECT_EQ(box.style, 0x11031U);
  EXPECT_EQ(box.text,
            "\n\nUnable to create LOG FILE for data writing!\n\nIf you are not also logging to memory, you may want to "
            "CANCEL the scan startup\nand try again with a memory logging method.\n\nNOTE: One cause of this error "
            "is that you may not have \"File Create\"\nprivileges for this directory. If you think that may be the "
            "problem - check \nwith your system administrator");
  SleepMs(100);
  EXPECT_TRUE(Sim().Packets().empty());
  EXPECT_EQ(EX_CheckRun(), 0);

  // OK: the scan runs without a file.
  MessageBoxRecorder::Answer() = platform::kIdOk;
  ASSERT_EQ(EX_StartScan_NoSysCal(), 1);
  EXPECT_EQ(MessageBoxRecorder::Boxes().size(), 2U);
  EXPECT_EQ(CollectScans(2, 1, 3000).size(), 2U);
  ASSERT_EQ(EX_EndScan(), 1);
}

}  // namespace
}  // namespace q583test
