// The numbered scan log file: header, one row per scan, trailer.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

// Scan frames taken in the current run (the acquisition thread counts them;
// the trailer reports them).
extern std::atomic<double> scanCounter;

bool OpenScanLogFile();
bool ScanLogOpen();
// Writes one row (text without the line feed) and flushes.
void ScanLogWriteRow(const std::string& row);
// Writes the six trailer lines and flushes (ApplyScanTiming first).
void ScanLogWriteTrailer();
void ScanLogClose();
long ScanLogPosition();
// The next free name "ScanLog_<n>.txt" in the current directory; false when
// no number is left.
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
// Sets the texts and the run start text to their load state.
void ResetScanLogForLoad();
void SetRunStartText(const std::string& text);
