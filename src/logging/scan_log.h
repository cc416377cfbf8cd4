// The numbered scan log file: header, one row per scan, trailer.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

// One run's scan log file.  The scan start opens it, the acquisition thread
// writes rows, and the thread or the run's end writes trailers; a lock keeps
// a write from meeting a close.  Closed when the object goes.
class ScanLog {
 public:
  ScanLog() = default;
  ~ScanLog() { Close(); }
  ScanLog(const ScanLog&) = delete;
  ScanLog& operator=(const ScanLog&) = delete;

  // Opens the next free "ScanLog_<n>.txt" with its header line.
  bool Open(const std::string& header);
  bool IsOpen() const;
  // Writes one row (text without the line feed) and flushes.  False when
  // that failed: the file is then closed where it stands.
  bool WriteRow(const std::string& row);
  // Writes rows that each end with their line feed, in one write, and
  // flushes: a reader never finds part of a row.  False as WriteRow.
  bool WriteRows(const std::string& rows);
  // Writes the six trailer lines and flushes: the interval bounds as given,
  // the scans counted, the run's start and end texts (ctime lines).
  void WriteTrailer(double minimum, double applied, double scans, const std::string& started,
                    const std::string& finished);
  void Close();
  long Position() const;

 private:
  mutable std::mutex mutex_;
  std::FILE* file_ = nullptr;  // guarded by mutex_
};

// The header line of a run: the columns of its six channel codes (16: a
// main channel not scanned), and the calibration columns of scan type 2.
std::string ScanLogHeader(const int16_t codes[6], int16_t scanType);

// The directory the scan log files go to (empty: the current directory, as
// at load), and the one in use ("." for the current directory).
void SetScanLogDirectory(const std::string& directory);
std::string ScanLogDirectory();
// The next free name "ScanLog_<n>.txt" in that directory; false when no
// number is left.
bool NextScanLogName(std::string& name);

bool SetExperimentName(const char* text);
bool AddLogFileComment(const char* text);
std::string ExperimentName();  // copies, never torn
std::string LogComment();
// The fields of a row: the time column of the scan that follows
// `framesBefore` frames, and one value in volts.
void ScanLogAppendTime(std::string& row, double framesBefore, double interval);
void ScanLogAppendVolts(std::string& row, double volts);
// Appends the log comment (when not empty) to a row, under the texts' lock.
void AppendLogComment(std::string& row);
// Sets the texts to their load state.
void ResetScanLogForLoad();
