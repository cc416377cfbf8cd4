// What the scan files share among themselves: the frame buffer and its
// readers, the memory ring, the timed-run check and the beep thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/platform.h"

// ---- Frame buffer and frame readers -----------------------------------

constexpr int32_t kScanDataBuffSize = 8640;
extern uint8_t scanDataBuff[kScanDataBuffSize];
extern uint8_t* pScanDataBuffPointer;
extern std::atomic<int32_t> scanDataBuffCount;

// Removes n bytes from the front of the frame buffer.
void ConsumeScanBytes(uint32_t n);
// Takes one value from the front of the frame buffer into the record's
// rawCount (and voltage, millivolts).
void DecodeScanPoint();
// The scan type the frames have: that of the run going on, fixed at its
// start, so that a type stored by the setter during a run cannot change how
// the run's frames are read; outside a run, the record's.
int16_t FrameScanType();
// Fixes the run's scan type (scan start) or lets it follow the record again.
void FixRunScanType(bool fixed);
// Bytes of one frame of the current scan type (wide: frames may exceed 255
// bytes).
uint32_t ScanFrameBytes();
// Whole frames waiting in the receive queue; all ones on an overflow.
uint32_t CountScansWaiting();
bool GetOneScan();
bool GetOneScanWithDigin(bool& diginReceived);
// The receive-queue count, 0 when the port cannot be asked.
uint32_t ReceiveQueueCount();
// After a refused digital-input request (0x80, 0x4C): sends it again for up
// to 200 ms.  False when that ran out or the receive queue overflowed
// meanwhile (the overflow lines begin with overflowLogPrefix).
bool RetryDiginRequest(const char* overflowLogPrefix);

// ---- Memory ring --------------------------------------------------------

constexpr int32_t kScanRingSize = 8640;
extern std::atomic<uint32_t> uiNumScansInRing;

// Empties the ring and zeroes the overrun count (scan start).
void ResetScanRing();
// Stores one scan's raw counts (count values; store false: only counts the
// scan) and counts it.  Returns true when stop-when-full asks the run to end.
bool StoreScanInRing(const int32_t* values, uint32_t count, bool store);
// Scans the ring holds without overwriting an unread value.
uint32_t RingCapacityInScans();

// ---- Timed runs -----------------------------------------------------------

struct TimedRun {
  bool fUseLimitedTimeRun_LOCAL = false;
  int32_t uiLimitedTimeRunTimeout = 0;  // clock ms
  uint32_t extensions = 0;
};
// Set-up when the acquisition thread starts (writes its scan debug lines).
TimedRun SetUpTimedRun();
// True when the run is over; moves the deadline on an extension.
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
// Run lengths and beep options as at library load.
void ResetTimedRunsForLoad();
// Tells beep threads waiting for the end of the run to look again.
void NotifyScanEnded();

// ---- Acquisition thread -----------------------------------------------------

void ThreadFunc_GetScanData();
