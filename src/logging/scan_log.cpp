// The numbered scan log file "ScanLog_<n>.txt": a header naming the
// columns, one row of volts per scan, and a trailer with the run's timing,
// its times of day and the experiment description.
//
// Scan start opens the file, the acquisition thread writes rows, and the
// thread or scan end writes the trailer.  They do not overlap in time, but
// the stream still has a lock so that no write can meet a close.  The host
// may rewrite the comment and the description while the thread reads them:
// those are copied under their own lock and never read torn.
#include "logging/scan_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "device/q583.h"
#include "device/timing.h"
#include "platform/platform.h"

std::atomic<double> scanCounter{0.0};

namespace {

constexpr size_t kTextSize = 512;        // description and comment, terminator included
constexpr size_t kRunStartSize = 128;
constexpr uint32_t kNumberCount = 65536;  // log numbers are 16-bit

std::mutex gStreamMutex;
std::FILE* gScanLog = nullptr;  // none when null; guarded by gStreamMutex

std::mutex gTextMutex;  // guards the three texts
char gExperiment[kTextSize] = "none";
char gComment[kTextSize] = "";
char gRunStart[kRunStartSize] = "";

void CloseLocked() {
  if (gScanLog != nullptr) std::fclose(gScanLog);  // errors ignored
  gScanLog = nullptr;                               // none, whatever the close says
}

bool StoreText(char* target, const char* text) {
  if (text == nullptr) return false;
  const size_t length = std::strlen(text);
  if (length > kTextSize - 1) return false;
  std::lock_guard<std::mutex> lock(gTextMutex);
  std::memcpy(target, text, length + 1);
  return true;
}

std::string HeaderLine() {
  std::string header = "Time / s   \t";
  char label[32];
  for (int slot = 0; slot < 6; ++slot) {
    const int16_t code = Q583.chan[slot];
    if (code == kChannelOff) continue;
    const int first = (code & 0xF0) >> 4;
    const int last = code & 0x0F;
    for (int c = first; c <= last; ++c) {
      std::snprintf(label, sizeof label, "%d - %d    \t", slot, c);
      header += label;
    }
  }
  if (Q583.tScan == 2) header += "offset  \tfullscale  \t";
  return header;
}

}  // namespace

bool NextScanLogName(std::string& name) {
  std::vector<bool> taken(kNumberCount, false);
  bool found = false;
  uint32_t largest = 0;
  platform::FindFiles(".", "ScanLog_*.*", [&](const std::string& file) {
    const uint16_t number = static_cast<uint16_t>(std::atoi(file.c_str() + 8));
    taken[number] = true;
    found = true;
    if (number > largest) largest = number;
  });
  uint32_t number = 0;
  if (found) {
    number = largest + 1;
    if (number >= kNumberCount) {
      // The numbers ran out at the top: take the lowest one still free
      // rather than wrap onto an existing file.
      number = 0;
      while (number < kNumberCount && taken[number]) ++number;
      if (number >= kNumberCount) return false;
    }
  }
  char text[32];
  std::snprintf(text, sizeof text, "ScanLog_%u.txt", number);
  name = text;
  return true;
}

bool OpenScanLogFile() {
  std::string name;
  const bool haveName = NextScanLogName(name);
  const std::string header = HeaderLine();
  std::lock_guard<std::mutex> lock(gStreamMutex);
  CloseLocked();  // a file left open by an earlier run gets no trailer
  if (!haveName) return false;
  gScanLog = std::fopen(name.c_str(), "wt");
  if (gScanLog == nullptr) return false;
  std::fprintf(gScanLog, "%s\n", header.c_str());
  std::fflush(gScanLog);
  return true;
}

bool ScanLogOpen() {
  std::lock_guard<std::mutex> lock(gStreamMutex);
  return gScanLog != nullptr;
}

void ScanLogWriteRow(const std::string& row) {
  std::lock_guard<std::mutex> lock(gStreamMutex);
  if (gScanLog == nullptr) return;
  std::fprintf(gScanLog, "%s\n", row.c_str());
  std::fflush(gScanLog);
}

void ScanLogWriteTrailer() {
  double maximum = 0.0;
  double minimum = 0.0;
  ApplyScanTiming(maximum, minimum);
  char runStart[kRunStartSize];
  char experiment[kTextSize];
  {
    std::lock_guard<std::mutex> lock(gTextMutex);
    std::memcpy(runStart, gRunStart, sizeof runStart);
    std::memcpy(experiment, gExperiment, sizeof experiment);
  }
  const std::string finished = platform::CtimeNow();
  const double counter = scanCounter.load();
  std::lock_guard<std::mutex> lock(gStreamMutex);
  if (gScanLog == nullptr) return;
  std::fprintf(gScanLog, "\nMinimal System Interval:\t%2.5lf\n", minimum);
  std::fprintf(gScanLog, "Applied Interval:        \t%2.5lf\n", static_cast<double>(Q583.scanInterval));
  std::fprintf(gScanLog, "Subcycles averaged:      \t%u\n",
               counter > 0.0 && counter < 4294967296.0 ? static_cast<unsigned>(counter) : 0U);
  std::fprintf(gScanLog, "Started:                 \t%s", runStart);
  std::fprintf(gScanLog, "Finished:                \t%s", finished.c_str());
  std::fprintf(gScanLog, "Experiment Description:  \t%s\n", experiment);
  std::fflush(gScanLog);
}

void ScanLogClose() {
  std::lock_guard<std::mutex> lock(gStreamMutex);
  CloseLocked();
}

long ScanLogPosition() {
  std::lock_guard<std::mutex> lock(gStreamMutex);
  return gScanLog != nullptr ? std::ftell(gScanLog) : 0L;
}

bool SetExperimentName(const char* text) { return StoreText(gExperiment, text); }

bool AddLogFileComment(const char* text) { return StoreText(gComment, text); }

std::string ExperimentName() {
  std::lock_guard<std::mutex> lock(gTextMutex);
  return gExperiment;
}

std::string LogComment() {
  std::lock_guard<std::mutex> lock(gTextMutex);
  return gComment;
}

void ScanLogAppendTime(std::string& row, double framesBefore, double interval) {
  char field[64];
  std::snprintf(field, sizeof field, "%07.1lf   \t", interval * framesBefore);
  row += field;
}

void ScanLogAppendVolts(std::string& row, double volts) {
  char field[64];
  std::snprintf(field, sizeof field, "% 2.7lf\t", volts);
  row += field;
}

void AppendLogComment(std::string& row) {
  std::lock_guard<std::mutex> lock(gTextMutex);
  if (gComment[0] != '\0') row += gComment;
}

void ResetScanLogForLoad() {
  std::lock_guard<std::mutex> lock(gTextMutex);
  std::memset(gExperiment, 0, sizeof gExperiment);
  std::strcpy(gExperiment, "none");
  std::memset(gComment, 0, sizeof gComment);
  std::memset(gRunStart, 0, sizeof gRunStart);
}

void SetRunStartText(const std::string& text) {
  std::lock_guard<std::mutex> lock(gTextMutex);
  std::memset(gRunStart, 0, sizeof gRunStart);
  std::strncpy(gRunStart, text.c_str(), sizeof gRunStart - 1);
}
