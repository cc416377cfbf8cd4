// The three debug logs: creation, headers, writers, closing, and writers on
// one thread racing the close on another.
#include <sys/stat.h>

#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include "device/q583.h"
#include "api/entry.h"
#include "logging/debug_log.h"
#include "q583_sp.h"
#include "support/test_env.h"

namespace {

using DebugLogTest = q583test::LibraryTest;

const char* const kCtime = "[A-Z][a-z]{2} [A-Z][a-z]{2} [ 0-9]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(DebugLogTest, GeneralLogIsRecreatedEmptyOnEveryCall) {
  ASSERT_EQ(EX_DoVexDbgNew(1), 1);
  EXPECT_TRUE(DebugLogOpen(DebugLog::General));
  DebugPrintFlush(DebugLog::General, "SIGNON: top of restart:");
  EXPECT_TRUE(std::regex_match(ReadFile("VexNewDbg.txt"),
                               std::regex(std::string("This log file created:  ") + kCtime + "\nSIGNON: top of restart:")));

  ASSERT_EQ(EX_DoVexDbgNew(1), 1);
  const std::string text = ReadFile("VexNewDbg.txt");
  EXPECT_TRUE(std::regex_match(text, std::regex(std::string("This log file created:  ") + kCtime + "\n"))) << text;
  EXPECT_EQ(Count(text, "This log file created:"), 1U);
}

TEST_F(DebugLogTest, GeneralLogClosedWithZero) {
  ASSERT_EQ(EX_DoVexDbgNew(1), 1);
  ASSERT_EQ(EX_DoVexDbgNew(0), 1);
  EXPECT_FALSE(DebugLogOpen(DebugLog::General));
  DebugPrintFlush(DebugLog::General, "after close\n");
  EXPECT_EQ(Count(ReadFile("VexNewDbg.txt"), "after close"), 0U);
}

TEST_F(DebugLogTest, LogsThatCannotBeCreated) {
  for (const char* name : {"VexNewDbg.txt", "ScanOut.txt", "583_debug.txt"}) {
    ASSERT_EQ(mkdir((WorkDir() + "/" + name).c_str(), 0755), 0);
  }
  EXPECT_EQ(EX_DoVexDbgNew(1), 0);
  EXPECT_EQ(EX_DoScanDebug(1), 1);  // true all the same
  EXPECT_EQ(EX_DoDebugNorm(3), 0);
  EXPECT_FALSE(DebugLogOpen(DebugLog::General));
  EXPECT_FALSE(DebugLogOpen(DebugLog::Scan));
  EXPECT_FALSE(DebugLogOpen(DebugLog::Levelled));
  DebugPrintFlush(DebugLog::Scan, "nowhere\n");  // a closed log is skipped
}

TEST_F(DebugLogTest, ScanLogHeaderIsWrittenOnce) {
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  DebugPrint(DebugLog::Scan, "[GetOneScan]  scanWords: %u, numChannels: %u\n", 7U, 2U);
  ASSERT_EQ(EX_DoScanDebug(0), 1);
  EXPECT_FALSE(DebugLogOpen(DebugLog::Scan));
  const std::string text = ReadFile("ScanOut.txt");
  const std::string expected = std::string("This log file created:  ") + kCtime +
                               "This DLL compilation date/time: [A-Z][a-z]{2} [ 0-9]\\d \\d{4}, \\d\\d:\\d\\d:\\d\\d\r\n"
                               "This DLL version: 10,26,2012,0\r\n\r\n"
                               "\\[GetOneScan\\]  scanWords: 7, numChannels: 2\n";
  EXPECT_TRUE(std::regex_match(text, std::regex(expected))) << text;
}

TEST_F(DebugLogTest, ScanLogCreatesANewFileAfterItWasClosed) {
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  DebugPrintFlush(DebugLog::Scan, "first run\n");
  DebugClose(DebugLog::Scan);  // as the acquisition thread does at the end of a run
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  DebugFlush(DebugLog::Scan);
  const std::string text = ReadFile("ScanOut.txt");
  EXPECT_EQ(Count(text, "first run"), 0U);
  EXPECT_EQ(Count(text, "This log file created:"), 1U);
}

TEST_F(DebugLogTest, LevelledLogKeepsTheFirstLevel) {
  ASSERT_EQ(EX_DoDebugNorm(3), 1);
  ASSERT_EQ(EX_DoDebugNorm(7), 1);
  EXPECT_EQ(DebugLevel(), 3);
  EXPECT_TRUE(fDevSetupPending);  // the logs need no device record
  const std::string text = ReadFile("583_debug.txt");
  EXPECT_TRUE(std::regex_match(text, std::regex(std::string("This log file created:  ") + kCtime +
                                                "\nbDbgLvl:  3\nbDbgLvl:  3\n")))
      << text;
}

TEST_F(DebugLogTest, PositionCountsWhatWasWritten) {
  EXPECT_EQ(DebugPosition(DebugLog::Scan), 0);
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  const long start = DebugPosition(DebugLog::Scan);
  EXPECT_GT(start, 0);
  DebugPrint(DebugLog::Scan, "%s", "12345");
  EXPECT_EQ(DebugPosition(DebugLog::Scan), start + 5);
}

TEST_F(DebugLogTest, UnloadClosesEveryLog) {
  ASSERT_EQ(EX_DoVexDbgNew(1), 1);
  ASSERT_EQ(EX_DoScanDebug(1), 1);
  ASSERT_EQ(EX_DoDebugNorm(1), 1);
  DebugPrint(DebugLog::Scan, "buffered\n");
  ReloadLibrary();
  EXPECT_FALSE(DebugLogOpen(DebugLog::General));
  EXPECT_FALSE(DebugLogOpen(DebugLog::Scan));
  EXPECT_FALSE(DebugLogOpen(DebugLog::Levelled));
  EXPECT_EQ(Count(ReadFile("ScanOut.txt"), "buffered\n"), 1U);  // flushed by the close
}

TEST_F(DebugLogTest, CloseOnAnotherThreadNeverTearsAWriter) {
  ASSERT_EQ(EX_DoVexDbgNew(1), 1);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    while (!stop) DebugPrintFlush(DebugLog::General, "line %d\n", 42);
  });
  for (int i = 0; i < 200; ++i) {
    DebugClose(DebugLog::General);
    ASSERT_EQ(EX_DoVexDbgNew(1), 1);
  }
  DebugClose(DebugLog::General);
  stop = true;
  writer.join();
  // The last file holds its header and whole lines only.  The lines are
  // checked one by one: std::regex recurses once per character repeated,
  // and a writer can fill the file with enough lines to overflow the stack.
  const std::string text = ReadFile("VexNewDbg.txt");
  const size_t headerEnd = text.find('\n');
  ASSERT_NE(headerEnd, std::string::npos) << text;
  EXPECT_TRUE(std::regex_match(text.substr(0, headerEnd + 1),
                               std::regex(std::string("This log file created:  ") + kCtime + "\n")));
  size_t lines = 0;
  for (size_t at = headerEnd + 1; at < text.size(); at += 8, ++lines) {
    ASSERT_EQ(text.compare(at, 8, "line 42\n"), 0) << "torn after " << lines << " whole lines: " << text.substr(at, 40);
  }
}

}  // namespace
