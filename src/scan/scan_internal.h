// What the scan files share among themselves: the frame readers, the
// timed-run check and the beep thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/platform.h"
#include "scan/scan_run.h"

// ---- Ending a run: the pieces EndRun is made of ----------------------------

// Stops a run's thread: asked to end and given a while (orderly), or ended
// at once.  The handle is released either way.
void StopRunThread(ScanRun& run, EndHow how);
// The run's trailer, of its own facts (nothing is sent, the record is not
// read); nothing when its file is closed.
void WriteRunTrailer(ScanRun& run);
// A byte that the run's thread could not send goes out now: a byte the
// host was told was accepted is never dropped while the line is there.
bool SendLeftDigout(ScanRun& run, const char* dropText = "## digout byte 0x%02X dropped: its run has ended \n");
// The host's part of an orderly end: the instrument stopped, the queued
// byte after the stop, the polled-mode channel back.
bool FinishOrderlyEnd(ScanRun* run);
// Whole frames waiting in the receive queue will never be taken: they are
// lost to the run, for `cause`.
void NoteFramesLeft(ScanRun& run, GapCause cause);

// ---- Frame readers (on the run's own frame buffer and format) ---------------

// Removes n bytes from the front of the run's frame buffer.
void ConsumeScanBytes(ScanRun& run, uint32_t n);
// Takes one value from the front of the frame buffer: its raw count.
int32_t DecodeScanPoint(ScanRun& run);
// Whole frames waiting in the receive queue; all ones on an overflow.
uint32_t CountScansWaiting(ScanRun& run);
bool GetOneScan(ScanRun& run);
bool GetOneScanWithDigin(ScanRun& run, bool& diginReceived);
// The receive-queue count, 0 when the port cannot be asked.
uint32_t ReceiveQueueCount();
// A wake-up's take: all that is waiting read into the frame buffer in one
// read, and the receive queue guarded against what was waiting.  The bytes
// read; -1 on an overflow (errorType set).
int32_t TakeWaitingBytes(ScanRun& run);
// The receive queue's bound in bytes: past it a run ends (asks the port's
// capacity, once a run).
uint32_t ReceiveQueueBound(const ScanRun& run);
// The marker test of a frame at the front of `frame`, with its scan debug
// lines; WrongMarker in errorType when it fails.
bool FrameMarkerOk(const ScanRun& run, const uint8_t* frame);
// The debug-log lines of a digital-input request, which name the reader
// that sends it.
struct DiginRequestLines {
  const char* refused;         // general log: the first send was refused
  const char* overflowPrefix;  // levelled log: before the overflow line of a retry
  const char* gaveUp;          // levelled log: not sent within 200 ms
  const char* sent;            // general log
};
// Sends the digital-input request (0x80, 0x4C), again for up to 200 ms
// after a refusal, and marks its reply due.  False when it could not be
// sent (the time ran out, the line was lost, the receive queue overflowed).
bool RequestDigin(ScanRun& run, const DiginRequestLines& lines);

// The debug-log lines of a queued output byte's send.
struct DigoutLines {
  const char* sending;       // general log, with the byte (%u); may be null
  const char* sent;          // general log
  const char* failedHeader;  // levelled log, before "   failed sending ..."
  const char* failed;        // general log
};
// Sends the run's queued digital-output byte; true when none is left.
bool SendQueuedDigout(ScanRun& run, const DigoutLines& lines);

// ---- Timed runs -----------------------------------------------------------

// A run's length is counted in 64 bits from the clock's steps, so that a
// length beyond what the 32-bit clock can hold as a deadline still lasts
// as long as asked.
struct TimedRun {
  bool fUseLimitedTimeRun_LOCAL = false;
  uint64_t periodMs = 0;   // one period: the whole run in ms, a tenth in seconds
  uint64_t elapsedMs = 0;  // of the period going on
  int32_t lastClock = 0;
  uint32_t extensions = 0;
};
// Set-up when the acquisition thread starts (writes its scan debug lines).
TimedRun SetUpTimedRun();
// True when the run is over; starts the next period on an extension.
bool TimedRunOver(TimedRun& run);
// Milliseconds until the next check can change anything (a cap otherwise).
int32_t TimedRunWaitMs(const TimedRun& run, int32_t cap);

// Run-length and beep settings and the beep thread's flags.
extern std::atomic<uint32_t> uiRunLengthMode;
extern std::atomic<uint32_t> uiLengthOfRunMs;
extern std::atomic<uint32_t> uiLengthOfRunSec;
extern std::atomic<bool> fRunEndBeepEnabled;
extern std::atomic<uint32_t> uiBeepFrequencyHz;
extern std::atomic<uint32_t> uiBeepDurationMs;
extern std::atomic<uint32_t> uiBeepIntervalSec;
extern std::atomic<uint32_t> uiBeepTotalSec;
extern std::atomic<bool> fRunEndBeepThreadRunning;
extern std::atomic<bool> fStopRunEndBeep;

// ---- Beep thread ------------------------------------------------------------

// Starts the run-end beep thread when enabled (scan start, before the
// acquisition thread is resumed).
void StartRunEndBeepThread();
// Beep threads not yet finished: the last run's and earlier ones still
// beeping (a start does not end them).
size_t BeepThreadsAlive();
// Run lengths and beep options as at library load.
void ResetTimedRunsForLoad();
// Tells beep threads waiting for the end of the run to look again.
void NotifyScanEnded();

// ---- Acquisition thread -----------------------------------------------------

// The thread body of one run.
void ThreadFunc_GetScanData(const std::shared_ptr<ScanRun>& run);
// Makes the run's thread, suspended; false when it could not be made.
bool CreateScanThread(const std::shared_ptr<ScanRun>& run);
