// The private-profile reader and writer on text and on files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/files_ext.h"
#include "platform/ini_parse.h"
#include "platform/platform.h"
#include "support/test_env.h"

using platform::ProfileStringFromText;

namespace {

struct Read {
  uint32_t count;
  std::string text;
};

Read Get(const std::string& file, const char* section, const char* key, const char* def = "dflt",
         uint32_t size = 64) {
  char buffer[64];
  std::memset(buffer, 'Z', sizeof buffer);
  const uint32_t n = ProfileStringFromText(file, section, key, def, buffer, size);
  return {n, size > 0 ? std::string(buffer) : std::string()};
}

}  // namespace

TEST(IniParse, NamesMatchWithoutCaseAndBlanksAroundKeyAndValueGo) {
  const std::string file = "[Main]\n  gAiN   =   64  \n[subchannels]\n\t0\t=\t37\t\n";
  EXPECT_EQ(Get(file, "MAIN", "gain").text, "64");
  EXPECT_EQ(Get(file, "MAIN", "gain").count, 2U);
  EXPECT_EQ(Get(file, "SubChannels", "0").text, "37");
}

TEST(IniParse, MissingSectionOrKeyGivesTheDefaultAndItsLength) {
  const std::string file = "[MAIN]\ngain=4\n";
  EXPECT_EQ(Get(file, "OTHER", "gain").text, "dflt");
  EXPECT_EQ(Get(file, "OTHER", "gain").count, 4U);
  EXPECT_EQ(Get(file, "MAIN", "filter", "?").text, "?");
  EXPECT_EQ(Get(file, "MAIN", "filter", "?").count, 1U);
  // Trailing blanks of the default go, as with the Windows reader.
  EXPECT_EQ(Get(file, "MAIN", "filter", "ab  ").text, "ab");
  EXPECT_EQ(Get(file, "MAIN", "filter", nullptr).count, 0U);
  EXPECT_EQ(Get("", "MAIN", "gain").text, "dflt");
}

TEST(IniParse, PresentEmptyValueCountsZero) {
  const std::string file = "[MAIN]\ngain=\nfilter=   \nbare\n";
  EXPECT_EQ(Get(file, "MAIN", "gain").count, 0U);
  EXPECT_EQ(Get(file, "MAIN", "gain").text, "");
  EXPECT_EQ(Get(file, "MAIN", "filter").count, 0U);
  EXPECT_EQ(Get(file, "MAIN", "bare").count, 0U);
}

TEST(IniParse, ValueIsCutToOneLessThanTheBuffer) {
  const std::string file = "[MAIN]\nTXQUEUESIZE=123456789\n";
  const Read r = Get(file, "MAIN", "TXQUEUESIZE", "?", 8);
  EXPECT_EQ(r.text, "1234567");
  EXPECT_EQ(r.count, 7U);
  EXPECT_EQ(Get(file, "MAIN", "nothere", "abcdef", 4).text, "abc");
  EXPECT_EQ(Get(file, "MAIN", "TXQUEUESIZE", "?", 1).count, 0U);
  char untouched = 'Q';
  EXPECT_EQ(ProfileStringFromText(file, "MAIN", "TXQUEUESIZE", "?", &untouched, 0), 0U);
  EXPECT_EQ(untouched, 'Q');
}

TEST(IniParse, CommentsAreSkippedAndTheFirstSectionAndKeyCount) {
  const std::string file =
      "; gain=8 in a comment\n[MAIN]\n;gain=2\n  ; gain=16\ngain=4\ngain=32\n[MAIN]\ngain=64\nrate=5\n";
  EXPECT_EQ(Get(file, "MAIN", "gain").text, "4");
  EXPECT_EQ(Get(file, "MAIN", "rate").text, "dflt");
  EXPECT_EQ(Get(file, "MAIN", ";gain").text, "dflt");
}

TEST(IniParse, KeysOutsideAnySectionAreNotFound) {
  EXPECT_EQ(Get("gain=4\n[MAIN]\n", "MAIN", "gain").text, "dflt");
}

TEST(IniParse, MatchingQuotesAreStripped) {
  const std::string file = "[MAIN]\na=\"16\"\nb='2'\nc=\"3'\nd=\"\ne=\"\"\n";
  EXPECT_EQ(Get(file, "MAIN", "a").text, "16");
  EXPECT_EQ(Get(file, "MAIN", "b").text, "2");
  EXPECT_EQ(Get(file, "MAIN", "c").text, "\"3'");
  EXPECT_EQ(Get(file, "MAIN", "d").text, "\"");
  EXPECT_EQ(Get(file, "MAIN", "e").count, 0U);
}

TEST(IniParse, LineEndsAndByteOrderMark) {
  EXPECT_EQ(Get("\xEF\xBB\xBF[MAIN]\r\ngain=8\r\n", "MAIN", "gain").text, "8");
  EXPECT_EQ(Get("[MAIN]\rgain=8\rfilter=1", "MAIN", "filter").text, "1");
  EXPECT_EQ(Get("[MAIN]\n[broken\ngain=2\n", "MAIN", "gain").text, "2");
}

TEST(IniParse, SettingValuesKeepsTheRestOfTheText) {
  const std::string before = "; settings\n[MAIN]\nGain = 4\nother=x\n\n[Keep]\nk=v\n";
  const std::string after = platform::SetProfileValues(
      before, {{"MAIN", "gain", "64"}, {"MAIN", "filter", "1"}, {"SubChannels", "0", "37"}});
  EXPECT_EQ(after,
            "; settings\n[MAIN]\nGain=64\nother=x\nfilter=1\n\n[Keep]\nk=v\n\n[SubChannels]\n0=37\n");
  EXPECT_EQ(Get(after, "MAIN", "gain").text, "64");
  EXPECT_EQ(Get(after, "Keep", "k").text, "v");
}

TEST(IniParse, SettingValuesOnEmptyTextAndCrLfText) {
  EXPECT_EQ(platform::SetProfileValues("", {{"MAIN", "a", "1"}, {"MAIN", "b", "2"}}), "[MAIN]\na=1\nb=2\n");
  EXPECT_EQ(platform::SetProfileValues("[MAIN]\r\na=0", {{"MAIN", "b", "2"}}), "[MAIN]\r\na=0\r\nb=2\r\n");
}

class IniFileTest : public q583test::LibraryTest {};

TEST_F(IniFileTest, BareNameIsFoundInTheConfigurationDirectoryInAnyCase) {
  WriteFile("q583_sp.INI", "[MAIN]\ngain=8\n");
  platform::SetConfigDirectory(WorkDir());
  char buffer[8];
  EXPECT_EQ(platform::GetPrivateProfileString("MAIN", "gain", "?", buffer, sizeof buffer, "Q583_SP.INI"), 1U);
  EXPECT_STREQ(buffer, "8");
  // A missing file gives the default.
  EXPECT_EQ(platform::GetPrivateProfileString("MAIN", "gain", "?", buffer, sizeof buffer, "none.ini"), 1U);
  EXPECT_STREQ(buffer, "?");
}

TEST_F(IniFileTest, AtomicWriteReplacesTheFileAndLeavesNoTemporary) {
  const std::string path = WorkDir() + "/out.ini";
  WriteFile("out.ini", "old");
  std::filesystem::permissions(path, std::filesystem::perms(0600));
  ASSERT_TRUE(platform::WriteFileAtomically(path, "new text\n"));
  EXPECT_EQ(ReadFile("out.ini"), "new text\n");
  EXPECT_EQ(std::filesystem::status(path).permissions() & std::filesystem::perms::all,
            std::filesystem::perms(0600));
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(WorkDir())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
  // A directory that does not exist: false, nothing created.
  EXPECT_FALSE(platform::WriteFileAtomically(WorkDir() + "/no/such/dir/x.ini", "x"));
  std::string text;
  EXPECT_TRUE(platform::ReadWholeFile(path, text));
  EXPECT_EQ(text, "new text\n");
  EXPECT_FALSE(platform::ReadWholeFile(WorkDir(), text));
}
