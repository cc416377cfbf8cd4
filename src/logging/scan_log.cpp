// The numbered scan log file "ScanLog_<n>.txt": a header naming the
// columns, one row of volts per scan, and a trailer with the run's timing,
// its times of day and the experiment description.
//
// Each run owns its file.  The host may rewrite the comment and the
// description while the thread reads them: those are copied under their own
// lock and never read torn.
#include "logging/scan_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr size_t kTextSize = 512;        // description and comment, terminator included
constexpr uint32_t kNumberCount = 65536;  // log numbers are 16-bit

std::mutex gTextMutex;  // guards the two texts and the directory
char gExperiment[kTextSize] = "none";
char gComment[kTextSize] = "";
// The directory of the scan log files; empty: the current directory.  Made
// on first use: the load runs before the library's other objects are made.
std::string& Directory() {
  static std::string directory;
  return directory;
}

bool StoreText(char* target, const char* text) {
  if (text == nullptr) return false;
  const size_t length = std::strlen(text);
  if (length > kTextSize - 1) return false;
  std::lock_guard<std::mutex> lock(gTextMutex);
  std::memcpy(target, text, length + 1);
  return true;
}

}  // namespace

std::string ScanLogHeader(const int16_t codes[6], int16_t scanType) {
  constexpr int16_t kChannelOff = 16;
  std::string header = "Time / s   \t";
  char label[32];
  for (int slot = 0; slot < 6; ++slot) {
    const int16_t code = codes[slot];
    if (code == kChannelOff) continue;
    const int first = (code & 0xF0) >> 4;
    const int last = code & 0x0F;
    for (int c = first; c <= last; ++c) {
      std::snprintf(label, sizeof label, "%d - %d    \t", slot, c);
      header += label;
    }
  }
  if (scanType == 2) header += "offset  \tfullscale  \t";
  return header;
}

void SetScanLogDirectory(const std::string& directory) {
  std::lock_guard<std::mutex> lock(gTextMutex);
  Directory() = directory;
}

std::string ScanLogDirectory() {
  std::lock_guard<std::mutex> lock(gTextMutex);
  return Directory().empty() ? std::string(".") : Directory();
}

bool NextScanLogName(std::string& name) {
  std::vector<bool> taken(kNumberCount, false);
  bool found = false;
  uint32_t largest = 0;
  platform::FindFiles(ScanLogDirectory(), "ScanLog_*.*", [&](const std::string& file) {
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

bool ScanLog::Open(const std::string& header) {
  std::string name;
  if (!NextScanLogName(name)) return false;
  const std::string path = ScanLogDirectory() + "/" + name;
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "wt");
  if (file_ == nullptr) return false;
  std::fprintf(file_, "%s\n", header.c_str());
  std::fflush(file_);
  return true;
}

bool ScanLog::IsOpen() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_ != nullptr;
}

bool ScanLog::WriteRow(const std::string& row) { return WriteRows(row + '\n'); }

bool ScanLog::WriteRows(const std::string& rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr || rows.empty()) return true;
  const bool written = std::fwrite(rows.data(), 1, rows.size(), file_) == rows.size() && std::fflush(file_) == 0;
  if (!written) {
    // A full disk or a size limit: the file ends where the write failed,
    // and nothing more is written to it (no row after a gap, no trailer).
    std::fclose(file_);
    file_ = nullptr;
  }
  return written;
}

void ScanLog::WriteTrailer(double minimum, double applied, double scans, const std::string& started,
                           const std::string& finished) {
  const std::string experiment = ExperimentName();
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr) return;
  std::fprintf(file_, "\nMinimal System Interval:\t%2.5lf\n", minimum);
  std::fprintf(file_, "Applied Interval:        \t%2.5lf\n", applied);
  std::fprintf(file_, "Subcycles averaged:      \t%u\n",
               scans > 0.0 && scans < 4294967296.0 ? static_cast<unsigned>(scans) : 0U);
  // The start text is a ctime() line; its line feed is never left out.
  const bool ended = !started.empty() && started.back() == '\n';
  std::fprintf(file_, "Started:                 \t%s%s", started.c_str(), ended ? "" : "\n");
  std::fprintf(file_, "Finished:                \t%s", finished.c_str());
  std::fprintf(file_, "Experiment Description:  \t%s\n", experiment.c_str());
  std::fflush(file_);
}

void ScanLog::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);  // errors ignored
  file_ = nullptr;                            // none, whatever the close says
}

long ScanLog::Position() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return file_ != nullptr ? std::ftell(file_) : 0L;
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
  Directory().clear();
}
